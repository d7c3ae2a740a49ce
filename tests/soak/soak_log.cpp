// The soak's logger: the driver's err. Counts the lines and keeps the last
// few for the report of a finding; a long run must not grow without bound.
#include "tests/soak/soak_log.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

constexpr size_t kKept = 40;

struct State {
    std::mutex mu;
    std::deque<std::string> lines;
    uint64_t count = 0;
};

State &S() {
    static State state;
    return state;
}

} // namespace

extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) int err(int32_t level,
                                                                                const char *format, ...);
extern "C" int err(int32_t level, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    State &s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    ++s.count;
    s.lines.push_back(std::to_string(level) + " " + line);
    if (s.lines.size() > kKept) {
        s.lines.pop_front();
    }
    return n;
}

namespace soaklog {

std::vector<std::string> Recent() {
    State &s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    return std::vector<std::string>(s.lines.begin(), s.lines.end());
}

uint64_t Count() {
    State &s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.count;
}

void Mark(const std::string &text) {
    State &s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    s.lines.push_back("-- " + text);
    if (s.lines.size() > kKept) {
        s.lines.pop_front();
    }
}

void Clear() {
    State &s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    s.lines.clear();
}

} // namespace soaklog
