// The tests' own libkelvor.so: err() records each line with its level.
#include "tests/support/test_log.h"

#include <cstdarg>
#include <cstdio>

namespace {
std::vector<LogLine> &Store() {
    static std::vector<LogLine> lines;
    return lines;
}
} // namespace

extern "C" __attribute__((visibility("default"))) int err(int32_t level, const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Store().push_back(LogLine{level, line});
    return n;
}

namespace testlog {
const std::vector<LogLine> &Lines() {
    return Store();
}
std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto &line : Store()) {
        texts.push_back(line.text);
    }
    return texts;
}
void Clear() {
    Store().clear();
}
} // namespace testlog
