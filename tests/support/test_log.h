// A logger for tests: records every line the driver logs, with its level.
#ifndef HUX_TESTS_TEST_LOG_H
#define HUX_TESTS_TEST_LOG_H

#include <cstdint>
#include <string>
#include <vector>

struct LogLine {
    int32_t level;
    std::string text;
    bool operator==(const LogLine &other) const = default;
};

namespace testlog {
const std::vector<LogLine> &Lines();
std::vector<std::string> Texts();
void Clear();
} // namespace testlog

#endif // HUX_TESTS_TEST_LOG_H
