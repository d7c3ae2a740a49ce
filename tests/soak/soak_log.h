// The soak's logger: counts the driver's log lines and keeps the last few.
#ifndef HUX_TESTS_SOAK_SOAK_LOG_H
#define HUX_TESTS_SOAK_SOAK_LOG_H

#include <cstdint>
#include <string>
#include <vector>

namespace soaklog {
std::vector<std::string> Recent(); // the last lines, oldest first, "level text"
uint64_t Count();
void Clear();                       // forgets the kept lines (the count stays)
void Mark(const std::string &text); // a line of the soak's own among the kept ones
} // namespace soaklog

#endif // HUX_TESTS_SOAK_SOAK_LOG_H
