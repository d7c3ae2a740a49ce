#include "bench/pty_line.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bench/alloc_count.h"

namespace bench {

bool WriteAll(int fd, const uint8_t *bytes, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = write(fd, bytes + done, n - done);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool ReadExact(int fd, uint8_t *bytes, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = read(fd, bytes + done, n - done);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool OpenPty(PtyPair *pty, std::string *error) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
        *error = std::string("posix_openpt: ") + std::strerror(errno);
        ClosePty(pty);
        return false;
    }
    char name[128] = {};
    if (ptsname_r(pty->master, name, sizeof name) != 0) {
        *error = std::string("ptsname_r: ") + std::strerror(errno);
        ClosePty(pty);
        return false;
    }
    pty->slaveName = name;
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->slave < 0) {
        *error = std::string("open ") + name + ": " + std::strerror(errno);
        ClosePty(pty);
        return false;
    }
    termios tio{};
    tcgetattr(pty->slave, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(pty->slave, TCSANOW, &tio);
    return true;
}

void ClosePty(PtyPair *pty) {
    if (pty->master >= 0) {
        close(pty->master);
    }
    if (pty->slave >= 0) {
        close(pty->slave);
    }
    pty->master = -1;
    pty->slave = -1;
}

namespace {

// Reads until at least `want` bytes are in; takes whatever has arrived in
// each read (the host sends one frame at a time, so nothing of a next frame
// can be in yet).
bool ReadAtLeast(int fd, uint8_t *buf, size_t size, size_t *have, size_t want) {
    while (*have < want) {
        const ssize_t r = read(fd, buf + *have, size - *have);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        *have += static_cast<size_t>(r);
    }
    return true;
}

// The responder: one request at a time, as the host sends them.
[[noreturn]] void Respond(int master) {
    // Read replies for every range length, prepared once: 0C 07 14 k data LRC.
    static uint8_t replies[256][256 + 5];
    for (int k = 1; k <= 255; ++k) {
        uint8_t *r = replies[k];
        r[0] = 0x0C;
        r[1] = 0x07;
        r[2] = 0x14;
        r[3] = static_cast<uint8_t>(k);
        for (int i = 0; i < k; ++i) {
            r[4 + i] = static_cast<uint8_t>(i);
        }
        r[4 + k] = Lrc(r, 4 + k);
    }
    const uint8_t ack = 0x06;
    uint8_t buf[512];
    for (;;) {
        size_t have = 0;
        if (!ReadAtLeast(master, buf, sizeof buf, &have, 8)) {
            _exit(0);
        }
        const int first = buf[3] << 8 | buf[4];
        const int last = buf[5] << 8 | buf[6];
        int k = last - first + 1;
        if (k < 1 || k > 255) {
            k = 1;
        }
        if (buf[2] == 0x82) {
            WriteAll(master, replies[k], static_cast<size_t>(k) + 5);
        } else if (buf[2] == 0x83) {
            WriteAll(master, &ack, 1);
            have = 0;
            if (!ReadAtLeast(master, buf, sizeof buf, &have, 4) ||
                !ReadAtLeast(master, buf, sizeof buf, &have, static_cast<size_t>(buf[3]) + 5)) {
                _exit(0);
            }
            WriteAll(master, &ack, 1);
        }
    }
}

} // namespace

pid_t StartFloorResponder(PtyPair *pty) {
    const pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (pty->slave >= 0) {
            close(pty->slave);
        }
        Respond(pty->master);
    }
    close(pty->master);
    pty->master = -1;
    return pid;
}

void StopChild(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

Run RunFloor(int slave, const std::vector<Exchange> &exchanges, int n) {
    Run run;
    run.Reserve(static_cast<size_t>(n));
    uint8_t reply[512];
    const uint64_t allocs = ThreadAllocations();
    const int64_t cpu = ThreadCpuNs();
    const int64_t start = NowNs();
    for (int i = 0; i < n; ++i) {
        const int64_t t0 = NowNs();
        bool ok = true;
        for (const Exchange &e : exchanges) {
            ok = ok && WriteAll(slave, e.request.data(), e.request.size()) &&
                 ReadExact(slave, reply, static_cast<size_t>(e.replyBytes));
        }
        run.latencyNs.push_back(NowNs() - t0);
        if (!ok) {
            ++run.failures;
            break;
        }
    }
    run.transactions = static_cast<int64_t>(run.latencyNs.size());
    run.wallNs = NowNs() - start;
    run.cpuNs = ThreadCpuNs() - cpu;
    run.allocations = ThreadAllocations() - allocs;
    return run;
}

} // namespace bench
