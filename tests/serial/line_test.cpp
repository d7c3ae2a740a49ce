// The serial module over the termios layer, against real pseudo-terminal
// pairs: the test holds the controller's end (the master) and the driver opens
// the slave by its path, as it opens the simulator's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver/serial/serial.h"
#include "driver/serial/winapi_linux.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr LineSettings k9600_8N1{9600, 8, 0, 0};

long long MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One pseudo-terminal pair; the master is raw and non-blocking.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
            return;
        }
        slave = ptsname(master);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    void CloseMaster() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }

    void Send(const Bytes &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{master, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }

    // Collects up to count bytes the driver wrote, waiting at most waitMs
    // for each of them.
    Bytes Receive(size_t count, int waitMs = 2000) const {
        Bytes out;
        uint8_t buf[4096];
        while (out.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, waitMs) <= 0) {
                break;
            }
            ssize_t n = read(master, buf, std::min(sizeof(buf), count - out.size()));
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
};

class Line : public ::testing::Test {
  protected:
    void TearDown() override {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SerialClose(handle);
        }
    }

    HANDLE Open(uint16_t flags = 0x0303, const LineSettings &settings = k9600_8N1) {
        EXPECT_EQ(SerialOpen(pty.slave.c_str(), &settings, flags, &handle), SERIAL_OK);
        return handle;
    }

    Pty pty;
    HANDLE handle = nullptr;
};

TEST_F(Line, BytesPassUnchangedBothWays) {
    Open();
    EXPECT_NE(PortFromHandle(handle), 0u);
    // Every byte value, including the ones a cooked terminal would act on
    // (interrupt, XON/XOFF, CR, LF, erase, EOF).
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    int32_t written = 0;
    ASSERT_EQ(SerialWrite(handle, all.data(), 256, &written), SERIAL_OK);
    EXPECT_EQ(written, 256);
    EXPECT_EQ(pty.Receive(256), all);

    pty.Send(all);
    Bytes in(256);
    int32_t received = 0;
    ASSERT_EQ(SerialRead(handle, in.data(), 256, &received), SERIAL_OK);
    EXPECT_EQ(received, 256);
    EXPECT_EQ(in, all);
    EXPECT_TRUE(pty.Receive(1, 50).empty()) << "nothing is echoed back";
}

TEST_F(Line, AnUnconfiguredOpenIsRawToo) {
    Open(0);
    const Bytes special{0x03, 0x04, 0x0D, 0x0A, 0x11, 0x13, 0x1A, 0x7F, 0x00};
    pty.Send(special);
    Bytes in(special.size());
    int32_t received = 0;
    ASSERT_EQ(SerialRead(handle, in.data(), static_cast<int32_t>(in.size()), &received), SERIAL_OK);
    EXPECT_EQ(in, special);
    EXPECT_TRUE(pty.Receive(1, 50).empty()) << "nothing is echoed back";
    // The one-second read timeout a device without one gets at open.
    EXPECT_EQ(SerialSetReadTimeout(handle, 100), 100);
}

TEST_F(Line, ReadReturnsAsSoonAsItsBytesAreIn) {
    Open();
    ASSERT_EQ(SerialSetReadTimeout(handle, 1000), 100); // 10 s
    std::thread controller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send({4, 5, 6, 7, 8});
    });
    uint8_t in[8] = {};
    int32_t received = 0;
    const auto start = Clock::now();
    const int32_t result = SerialRead(handle, in, 8, &received);
    const long long ms = MillisSince(start);
    controller.join();
    EXPECT_EQ(result, SERIAL_OK);
    EXPECT_EQ(received, 8);
    EXPECT_EQ(in[7], 8);
    EXPECT_LT(ms, 5000) << "the read waited for its timeout, not for its bytes";
}

TEST_F(Line, ReadGivesUpAfterItsTimeout) {
    struct Case {
        Bytes sent;
        int32_t received;
    };
    const Case cases[] = {{{}, 0}, {{9, 8, 7}, 3}};
    Open();
    ASSERT_EQ(SerialSetReadTimeout(handle, 10), 100); // 100 ms
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent.size());
        pty.Send(c.sent);
        uint8_t in[8] = {};
        int32_t received = -1;
        const auto start = Clock::now();
        EXPECT_EQ(SerialRead(handle, in, 8, &received), SERIAL_IO_FAILED);
        const long long ms = MillisSince(start);
        EXPECT_EQ(received, c.received);
        EXPECT_GE(ms, 100);
        EXPECT_LT(ms, 5000);
    }
}

TEST_F(Line, ReadFileFollowsTheWindowsTimeoutRules) {
    Open();
    struct Case {
        const char *what;
        COMMTIMEOUTS timeouts;
        Bytes before;       // waiting when the read starts
        Bytes later;        // sent 40 ms into the read
        DWORD expected;     // bytes the read returns (of 8 asked for)
        long long minMs;    // it cannot return sooner
        bool waitsForLater; // returns only after the later bytes came
    };
    const Case cases[] = {
        {"interval MAXDWORD, 0, 0: at once with nothing", {MAXDWORD, 0, 0, 0, 0}, {}, {}, 0, 0, false},
        {"interval MAXDWORD, 0, 0: at once with what is there",
         {MAXDWORD, 0, 0, 0, 0},
         {1, 2},
         {},
         2,
         0,
         false},
        {"MAXDWORD, MAXDWORD, c: any byte there", {MAXDWORD, MAXDWORD, 3000, 0, 0}, {1}, {}, 1, 0, false},
        {"MAXDWORD, MAXDWORD, c: the first byte that comes",
         {MAXDWORD, MAXDWORD, 3000, 0, 0},
         {},
         {1, 2},
         2,
         0,
         true},
        {"MAXDWORD, MAXDWORD, c: nothing within c", {MAXDWORD, MAXDWORD, 80, 0, 0}, {}, {}, 0, 80, false},
        {"all zero: waits for every byte", {0, 0, 0, 0, 0}, {1, 2, 3}, {4, 5, 6, 7, 8}, 8, 0, true},
        {"constant only: all bytes in time", {0, 0, 3000, 0, 0}, {1}, {2, 3, 4, 5, 6, 7, 8}, 8, 0, true},
        {"multiplier x bytes + constant", {0, 10, 20, 0, 0}, {1}, {}, 1, 100, false},
        {"interval ends a read after its last byte", {60, 0, 0, 0, 0}, {1, 2}, {}, 2, 60, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        COMMTIMEOUTS t = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(handle, &t));
        pty.Send(c.before);
        std::thread controller([this, &c] {
            if (!c.later.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                pty.Send(c.later);
            }
        });
        uint8_t in[8] = {};
        DWORD got = 99;
        const auto start = Clock::now();
        const BOOL ok = ReadFile(handle, in, 8, &got, nullptr);
        const long long ms = MillisSince(start);
        controller.join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, c.expected);
        EXPECT_GE(ms, c.waitsForLater ? 40 : c.minMs);
        EXPECT_LT(ms, 2500);
        // Whatever the read left behind is gone before the next case.
        COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(handle, &atOnce);
        while (ReadFile(handle, in, 8, &got, nullptr) && got > 0) {
        }
    }
}

TEST_F(Line, PurgeDrainsWaitingInputAndRestoresTheTimeout) {
    Open();
    ASSERT_EQ(SerialSetReadTimeout(handle, 25), 100);
    EXPECT_EQ(SerialPurge(handle), SERIAL_OK) << "nothing waiting";

    pty.Send(Bytes(1000, 0x5A));
    // The bytes reach the slave's queue through the kernel's flip buffer.
    DWORD errors = 0;
    COMSTAT stat{};
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ClearCommError(handle, &errors, &stat));
        if (stat.cbInQue == 1000) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(stat.cbInQue, 1000u);
    EXPECT_EQ(SerialPurge(handle), SERIAL_OK);
    ASSERT_TRUE(ClearCommError(handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(SerialSetReadTimeout(handle, 25), 25) << "the previous timeout is in force again";

    pty.Send({0x42});
    uint8_t in = 0;
    EXPECT_EQ(SerialRead(handle, &in, 1, nullptr), SERIAL_OK);
    EXPECT_EQ(in, 0x42);
}

TEST_F(Line, ASecondOpenIsRefusedUntilTheFirstCloses) {
    Open();
    HANDLE second = nullptr;
    EXPECT_EQ(SerialOpen(pty.slave.c_str(), &k9600_8N1, 0x0303, &second), SERIAL_OPEN_FAILED);
    EXPECT_EQ(SerialOpen(pty.slave.c_str(), &k9600_8N1, 0, &second), SERIAL_OPEN_FAILED);

    // Another process using the driver is refused as well.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = CreateFileA(pty.slave.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        _exit(h == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_EQ(SerialClose(handle), SERIAL_OK);
    handle = nullptr;
    Open();
}

TEST_F(Line, TimeoutsLiveInTheDevice) {
    HANDLE h =
        CreateFileA(pty.slave.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u) << "a device never configured has no timeouts";
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

    COMMTIMEOUTS set{0xDEADBEEF, 0x01020304, 0xFFFFFFFF, 70000, 1234};
    ASSERT_TRUE(SetCommTimeouts(h, &set));
    ASSERT_TRUE(CloseHandle(h));

    // On a pseudo-terminal the other end's termios calls act on this end's
    // settings. The usual raw setup there (read, make raw, write back) keeps
    // the timeouts.
    termios m{};
    tcgetattr(pty.master, &m);
    cfmakeraw(&m);
    tcsetattr(pty.master, TCSANOW, &m);

    h = CreateFileA(pty.slave.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0xDEADBEEFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0x01020304u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0xFFFFFFFFu);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 65535u) << "write values saturate at 16 bits";
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1234u);

    // The line settings leave the timeouts alone, and the timeouts leave the
    // terminal raw.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0xDEADBEEFu);

    // Slots overwritten by someone else read as no timeouts, not as garbage.
    tcgetattr(pty.master, &m);
    for (cc_t &c : m.c_cc) {
        c = 0x55;
    }
    tcsetattr(pty.master, TCSANOW, &m);
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Line, AReadPutsBackRawModeThatSomeoneElseUndid) {
    Open();
    ASSERT_EQ(SerialSetReadTimeout(handle, 300), 100); // 3 s
    // Cooked mode from the other end: line editing, echo, signals, and a
    // poll() that would wake only with 4 bytes in.
    termios m{};
    tcgetattr(pty.master, &m);
    m.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    m.c_iflag |= ICRNL | IXON;
    m.c_cc[VMIN] = 4;
    m.c_cc[VTIME] = 0;
    tcsetattr(pty.master, TCSANOW, &m);

    // Bytes that arrive while the terminal is cooked are processed cooked;
    // the reply comes once the read is waiting, as a controller's does.
    std::thread controller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty.Send({0x06});
    });
    uint8_t in = 0;
    const auto start = Clock::now();
    EXPECT_EQ(SerialRead(handle, &in, 1, nullptr), SERIAL_OK);
    const long long ms = MillisSince(start);
    controller.join();
    EXPECT_LT(ms, 2500) << "the read waited for a line or for 4 bytes";
    EXPECT_EQ(in, 0x06);
    const Bytes special{0x03, 0x0D, 0x11, 0x13, 0x7F};
    pty.Send(special);
    Bytes got(special.size());
    EXPECT_EQ(SerialRead(handle, got.data(), static_cast<int32_t>(got.size()), nullptr), SERIAL_OK);
    EXPECT_EQ(got, special);
    EXPECT_TRUE(pty.Receive(1, 50).empty()) << "nothing is echoed back";
    EXPECT_EQ(SerialSetReadTimeout(handle, 100), 300) << "the timeouts survived";
}

TEST_F(Line, LineSettingsThatAPseudoTerminalCannotKeepStillConfigure) {
    // A pseudo-terminal forces 8 data bits and no parity and has no modem
    // lines; every setting must still be accepted.
    struct Case {
        LineSettings settings;
        uint16_t flags;
    };
    const Case cases[] = {
        {{9600, 8, 0, 0}, 0x0303}, {{12345, 8, 0, 0}, 0x0303}, {{65535, 7, 2, 2}, 0x0303},
        {{300, 5, 1, 3}, 0x0303},  {{1200, 6, 0, 4}, 0x0303},  {{9600, 7, 0, 1}, 0x8000},
        {{9600, 8, 0, 0}, 0x1010}, {{9600, 8, 0, 0}, 0x2000},  {{9600, 8, 0, 0}, 0x4020},
        {{9600, 8, 0, 0}, 0x0004},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.settings.baud << " flags 0x" << std::hex << c.flags);
        HANDLE h = nullptr;
        ASSERT_EQ(SerialOpen(pty.slave.c_str(), &c.settings, c.flags, &h), SERIAL_OK);
        DCB dcb{};
        EXPECT_TRUE(GetCommState(h, &dcb));
        EXPECT_EQ(dcb.BaudRate, c.settings.baud) << "the rate is kept, though a pseudo-terminal ignores it";
        EXPECT_EQ(SerialClose(h), SERIAL_OK);
    }
}

TEST_F(Line, SetCommStateRefusesWhatNoLineCanDo) {
    Open();
    DCB good{};
    ASSERT_TRUE(GetCommState(handle, &good));
    struct Case {
        const char *what;
        DWORD baud;
        BYTE size, parity, stop;
    };
    const Case cases[] = {
        {"rate 0", 0, 8, 0, 0},      {"4 data bits", 9600, 4, 0, 0}, {"9 data bits", 9600, 9, 0, 0},
        {"parity 5", 9600, 8, 5, 0}, {"stop bits 3", 9600, 8, 0, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb = good;
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        EXPECT_FALSE(SetCommState(handle, &dcb));
    }
}

TEST_F(Line, DevicesThatCannotBeUsed) {
    HANDLE h = nullptr;
    EXPECT_EQ(SerialOpen("/dev/hux-no-such-device", &k9600_8N1, 0x0303, &h), SERIAL_OPEN_FAILED);
    EXPECT_EQ(SerialOpen("hux-no-such-device", &k9600_8N1, 0x0303, &h), SERIAL_OPEN_FAILED);
    EXPECT_EQ(SerialOpen("", &k9600_8N1, 0x0303, &h), SERIAL_OPEN_FAILED);

    // Not terminals: they open, but have no control block.
    h = CreateFileA("/dev/null", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(h, &dcb));
    COMMTIMEOUTS t{};
    EXPECT_FALSE(GetCommTimeouts(h, &t));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(SerialOpen("/dev/null", &k9600_8N1, 0x0303, &h), SERIAL_GET_STATE);
    EXPECT_EQ(SerialOpen("null", &k9600_8N1, 0, &h), SERIAL_GET_STATE);

    char file[] = "/tmp/hux-line-test-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(SerialOpen(file, &k9600_8N1, 0x0303, &h), SERIAL_GET_STATE);
    unlink(file);
    // The refused opens left nothing locked.
    EXPECT_EQ(SerialOpen("/dev/null", &k9600_8N1, 0, &h), SERIAL_GET_STATE);
}

TEST_F(Line, DeviceNames) {
    struct Case {
        const char *name;
        const char *path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"COM10", "/dev/ttyS9"},
        {"com3", "/dev/ttyS2"},
        {"\\\\.\\COM12", "/dev/ttyS11"},
        {"COM0", "/dev/COM0"},
        {"COM01", "/dev/COM01"},
        {"COM", "/dev/COM"},
        {"COM1x", "/dev/COM1x"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/3", "/dev/pts/3"},
        {"/dev/ttyACM0", "/dev/ttyACM0"},
        {"/tmp/sim-port", "/tmp/sim-port"},
    };
    for (const Case &c : cases) {
        char path[64] = {};
        ASSERT_TRUE(LinuxDevicePath(c.name, path, sizeof(path))) << c.name;
        EXPECT_STREQ(path, c.path) << c.name;
    }
    char small[8];
    EXPECT_FALSE(LinuxDevicePath("ttyUSB0", small, sizeof(small)));
    EXPECT_FALSE(LinuxDevicePath("", small, sizeof(small)));

    // A pseudo-terminal by its path relative to /dev/.
    const std::string relative = pty.slave.substr(std::strlen("/dev/"));
    ASSERT_EQ(SerialOpen(relative.c_str(), &k9600_8N1, 0x0303, &handle), SERIAL_OK);
}

TEST_F(Line, ALongWriteWaitsForRoomAndWritesEverything) {
    Open();
    Bytes out(64 * 1024);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(i * 7);
    }
    Bytes got;
    std::thread controller([this, &got, &out] { got = pty.Receive(out.size()); });
    int32_t written = 0;
    EXPECT_EQ(SerialWrite(handle, out.data(), static_cast<int32_t>(out.size()), &written), SERIAL_OK);
    controller.join();
    EXPECT_EQ(written, static_cast<int32_t>(out.size()));
    EXPECT_EQ(got, out);
}

TEST_F(Line, AVanishedControllerEndsReadsAndWrites) {
    Open();
    ASSERT_EQ(SerialSetReadTimeout(handle, 1000), 100); // 10 s
    pty.CloseMaster();
    uint8_t in[4];
    const auto start = Clock::now();
    EXPECT_EQ(SerialRead(handle, in, 4, nullptr), SERIAL_IO_FAILED);
    EXPECT_LT(MillisSince(start), 5000) << "a hung-up line does not hold a read for its timeout";
    EXPECT_EQ(SerialWrite(handle, in, 4, nullptr), SERIAL_IO_FAILED);
}

} // namespace
