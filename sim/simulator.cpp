#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace ps4sim {

namespace {

struct BaudCode {
    uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedFor(uint32_t baud, speed_t *code) {
    for (const BaudCode &b : kBauds) {
        if (b.baud == baud) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

std::string Errno(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

bool IsStandardBaud(uint32_t baud) {
    speed_t code{};
    return SpeedFor(baud, &code);
}

bool ParseParity(const std::string &text, char *parity) {
    static const struct {
        const char *name;
        char code;
    } kNames[] = {{"none", 'N'}, {"odd", 'O'}, {"even", 'E'}, {"mark", 'M'}, {"space", 'S'},
                  {"n", 'N'},    {"o", 'O'},   {"e", 'E'},    {"m", 'M'},    {"s", 'S'}};
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const auto &n : kNames) {
        if (lower == n.name) {
            *parity = n.code;
            return true;
        }
    }
    return false;
}

Simulator::Simulator(const Config &config) : config_(config), t0_(Clock::now()), controller_(config) {
    const uint32_t baud = config.baud == 0 ? 9600 : config.baud;
    byteTime_ =
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000ull / baud));
    if (pipe2(stopPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
        stopPipe_[0] = stopPipe_[1] = -1;
    }
}

Simulator::~Simulator() {
    Stop();
    if (fd_ >= 0) {
        close(fd_);
    }
    for (int fd : stopPipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool Simulator::OpenPty(std::string *error) {
    if (fd_ >= 0) {
        *error = "the simulator already has a line";
        return false;
    }
    const int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) {
        *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        *error = Errno("pseudo-terminal setup");
        close(m);
        return false;
    }
    // Raw both ways before anyone opens the slave: the master's termios
    // calls reach the slave's settings, and opening the slave once makes
    // sure of it. The slave is closed again; the host opens it.
    MakeRaw(m);
    const int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0 || !MakeRaw(s)) {
        *error = Errno(std::string("raw mode on ") + name);
        if (s >= 0) {
            close(s);
        }
        close(m);
        return false;
    }
    close(s);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fd_ = m;
    isPty_ = true;
    path_ = name;
    return true;
}

bool Simulator::OpenDevice(const std::string &path, const LineConfig &line, std::string *error) {
    if (fd_ >= 0) {
        *error = "the simulator already has a line";
        return false;
    }
    speed_t speed{};
    if (!SpeedFor(line.baud, &speed)) {
        *error = "rate " + std::to_string(line.baud) + " is not a standard rate";
        return false;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno("open " + path);
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        *error = Errno(path + " is not a terminal");
        close(fd);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (line.dataBits) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    switch (line.parity) {
    case 'O':
        t.c_cflag |= PARENB | PARODD;
        break;
    case 'E':
        t.c_cflag |= PARENB;
        break;
    case 'M':
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 'S':
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (line.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = Errno("configure " + path);
        close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    isPty_ = false;
    path_ = path;
    return true;
}

std::string Simulator::DriverName() const {
    if (path_.size() <= 11) {
        return path_;
    }
    if (path_.rfind("/dev/", 0) == 0) {
        return path_.substr(5);
    }
    return path_;
}

bool Simulator::Start(std::string *error) {
    if (fd_ < 0) {
        if (error != nullptr) {
            *error = "no line to serve: open a pseudo-terminal or a device first";
        }
        return false;
    }
    if (thread_.joinable()) {
        return true;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void Simulator::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    RequestStop();
    thread_.join();
    // Empty the stop pipe so that serving can start again.
    char b[16];
    while (read(stopPipe_[0], b, sizeof b) > 0) {
    }
}

void Simulator::RequestStop() {
    const char b = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe_[1], &b, 1);
}

bool Simulator::StopRequested() const {
    pollfd p{stopPipe_[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool Simulator::SleepUntil(Clock::time_point t) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= t) {
            return !StopRequested();
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd p{stopPipe_[0], POLLIN, 0};
        const int n = ppoll(&p, 1, &ts, nullptr);
        if (n > 0) {
            return false;
        }
    }
}

void Simulator::Serve() {
    if (config_.pace) {
        // Paced bytes leave at deadlines a byte time apart; the default timer
        // slack (50 us) would add to every answer.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    uint8_t buf[4096];
    int backoffMs = 1;
    auto lastByte = Clock::now();
    const auto frameTimeout = std::chrono::milliseconds(std::max(1, config_.frameTimeoutMs));
    wireInFree_ = wireOutFree_ = Clock::now();
    for (;;) {
        int timeoutMs = -1;
        if (parser_.Partial()) {
            const auto now = Clock::now();
            const auto deadline = lastByte + frameTimeout;
            if (now >= deadline) {
                const Bytes dropped = parser_.Reset();
                std::lock_guard<std::mutex> lock(mu_);
                stats_.droppedBytes += dropped.size();
                TraceEvent e = controller_.DroppedEvent(dropped, "timeout");
                Emit(std::move(e));
                continue;
            }
            timeoutMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        }
        pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        const int n = poll(fds, 2, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (n == 0) {
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t r = read(fd_, buf, sizeof buf);
            if (r > 0) {
                lastByte = Clock::now();
                backoffMs = 1;
                HandleInput(buf, static_cast<size_t>(r), lastByte);
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            continue;
        }
        // Nobody holds the other end (a pseudo-terminal whose slave is
        // closed reports hangup until it is opened again): wait a little
        // rather than spin.
        if (fds[1].revents & POLLNVAL) {
            return;
        }
        if (!SleepUntil(Clock::now() + std::chrono::milliseconds(backoffMs))) {
            return;
        }
        backoffMs = std::min(backoffMs * 2, 10);
    }
}

void Simulator::HandleInput(const uint8_t *bytes, size_t n, Clock::time_point seen) {
    Clock::time_point firstByteEnd = seen;
    if (config_.pace) {
        // The bytes arrived at once, but on the wire they follow each other
        // at the line rate: byte i has crossed at firstByteEnd + i byte times.
        firstByteEnd = std::max(seen, wireInFree_) + byteTime_;
        wireInFree_ = firstByteEnd + byteTime_ * static_cast<long>(n - 1);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        stats_.bytesIn += n;
    }
    std::vector<ParsedItem> items = parser_.Feed(bytes, n);
    for (ParsedItem &item : items) {
        if (item.type == ParsedItem::Dropped) {
            std::lock_guard<std::mutex> lock(mu_);
            stats_.droppedBytes += item.dropped.size();
            Emit(controller_.DroppedEvent(item.dropped, item.why));
            continue;
        }
        Clock::time_point arrived = Clock::now();
        if (config_.pace) {
            // The request counts as arrived when its last byte has crossed.
            arrived = firstByteEnd + byteTime_ * static_cast<long>(item.endOffset - 1);
            if (!SleepUntil(arrived)) {
                return;
            }
        }
        Answer a;
        {
            std::lock_guard<std::mutex> lock(mu_);
            const uint64_t seq = ++stats_.frames;
            a = controller_.Handle(item.frame, seq);
            stats_.faults = controller_.FaultsApplied();
            Emit(a.rx);
        }
        if (a.delayMs > 0) {
            arrived = Clock::now() + std::chrono::milliseconds(a.delayMs);
            if (!SleepUntil(arrived)) {
                return;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            Emit(a.tx);
            if (!a.bytes.empty()) {
                ++stats_.answers;
                stats_.bytesOut += a.bytes.size();
            }
        }
        if (!a.bytes.empty() && !Send(a.bytes, arrived)) {
            return;
        }
    }
}

bool Simulator::SendRaw(const Bytes &bytes) {
    if (fd_ < 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        TraceEvent e;
        e.toController = false;
        e.kind = "unasked";
        e.verdict = "sent";
        e.raw = bytes;
        Emit(std::move(e));
        stats_.bytesOut += bytes.size();
    }
    return Send(bytes, Clock::now());
}

bool Simulator::Send(const Bytes &bytes, Clock::time_point from) {
    std::lock_guard<std::mutex> writing(writeMu_);
    auto writeAll = [this](const uint8_t *p, size_t n) {
        while (n > 0) {
            const ssize_t w = write(fd_, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0 && errno == EAGAIN) {
                pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {fd_, POLLOUT, 0}};
                if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                    return false;
                }
                if (fds[0].revents != 0) {
                    return false;
                }
                continue;
            }
            // The other side went away (EIO on a pseudo-terminal): the
            // answer is lost, as on a cut line.
            return true;
        }
        return true;
    };
    if (!config_.pace) {
        return writeAll(bytes.data(), bytes.size());
    }
    // Each byte leaves when its last bit would have crossed the wire.
    // The answer goes on the wire as soon as the request is in (or the line is
    // free), not when this thread got round to it.
    const auto start = std::max(from, wireOutFree_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!SleepUntil(start + byteTime_ * static_cast<long>(i + 1))) {
            return false;
        }
        if (!writeAll(&bytes[i], 1)) {
            return false;
        }
    }
    wireOutFree_ = start + byteTime_ * static_cast<long>(bytes.size());
    return true;
}

void Simulator::Emit(const TraceEvent &event) {
    if (traceFile_ == nullptr && !traceSink_ && !recordTrace_) {
        return; // nobody listens: keep the answer path short
    }
    EmitCopy(event);
}

void Simulator::EmitCopy(TraceEvent event) {
    event.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0_).count();
    if (traceFile_ != nullptr) {
        const std::string line = FormatTrace(event, traceTime_);
        std::fprintf(traceFile_, "%s\n", line.c_str());
        std::fflush(traceFile_);
    }
    if (traceSink_) {
        traceSink_(event);
    }
    if (recordTrace_) {
        trace_.push_back(std::move(event));
    }
}

Bytes Simulator::Peek(uint16_t addr, size_t n) const {
    std::lock_guard<std::mutex> lock(mu_);
    Bytes out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(controller_.Memory()[static_cast<uint16_t>(addr + i)]);
    }
    return out;
}

void Simulator::Poke(uint16_t addr, const Bytes &bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        controller_.Memory()[static_cast<uint16_t>(addr + i)] = bytes[i];
    }
}

void Simulator::SetMarkerWords(uint16_t startWord, uint16_t endWord) {
    std::lock_guard<std::mutex> lock(mu_);
    controller_.SetMarkerWords(startWord, endWord);
}

bool Simulator::LoadImage(const std::string &path, uint16_t addr, std::string *error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = Errno("open " + path);
        return false;
    }
    Bytes data(65536 - addr);
    const size_t n = std::fread(data.data(), 1, data.size(), f);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) {
        *error = "read error on " + path;
        return false;
    }
    data.resize(n);
    Poke(addr, data);
    return true;
}

bool Simulator::DumpImage(const std::string &path, std::string *error) const {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = Errno("create " + path);
        return false;
    }
    const Bytes all = Peek(0, 65536);
    const bool ok = std::fwrite(all.data(), 1, all.size(), f) == all.size();
    if (std::fclose(f) != 0 || !ok) {
        *error = "write error on " + path;
        return false;
    }
    return true;
}

void Simulator::AddFault(const FaultRule &rule) {
    std::lock_guard<std::mutex> lock(mu_);
    controller_.AddRule(rule);
}

bool Simulator::AddFault(const std::string &ruleText, std::string *error) {
    FaultRule rule;
    if (!ParseFault(ruleText, &rule, error)) {
        return false;
    }
    AddFault(rule);
    return true;
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    controller_.ClearRules();
}

size_t Simulator::PendingFaults() const {
    std::lock_guard<std::mutex> lock(mu_);
    return controller_.PendingRules();
}

void Simulator::SetRandomFaults(double rate, uint64_t seed, std::vector<FaultKind> kinds) {
    std::lock_guard<std::mutex> lock(mu_);
    controller_.SetRandom(rate, seed, std::move(kinds));
}

void Simulator::SetProtect(std::vector<Range> ranges) {
    std::lock_guard<std::mutex> lock(mu_);
    controller_.SetProtect(std::move(ranges));
}

void Simulator::TraceTo(FILE *file, bool withTime) {
    std::lock_guard<std::mutex> lock(mu_);
    traceFile_ = file;
    traceTime_ = withTime;
}

void Simulator::SetTraceSink(std::function<void(const TraceEvent &)> sink) {
    std::lock_guard<std::mutex> lock(mu_);
    traceSink_ = std::move(sink);
}

void Simulator::RecordTrace(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    recordTrace_ = on;
}

std::vector<TraceEvent> Simulator::Trace() const {
    std::lock_guard<std::mutex> lock(mu_);
    return trace_;
}

std::vector<std::string> Simulator::TraceLines() const {
    std::vector<std::string> lines;
    for (const TraceEvent &e : Trace()) {
        lines.push_back(FormatTrace(e, false));
    }
    return lines;
}

void Simulator::ClearTrace() {
    std::lock_guard<std::mutex> lock(mu_);
    trace_.clear();
}

Stats Simulator::GetStats() const {
    std::lock_guard<std::mutex> lock(mu_);
    return stats_;
}

} // namespace ps4sim
