// The few things huxhost does differently on Windows and Linux: loading the
// driver, where it lies by default, sleeping, the clock, terminals.
#ifndef HUXHOST_PLATFORM_H
#define HUXHOST_PLATFORM_H

#include <cstdio>
#include <string>

#include "driver/host/huxdrvr.h"

namespace hh {

struct DriverLibrary {
    void *handle = nullptr;
    HuxMainFn entry = nullptr;
};

// Loads the driver library at `path` and finds HuxMain in it.
bool LoadDriver(const std::string &path, DriverLibrary *library, std::string *error);
// Linux: <dir of huxhost>/../lib/libhuxdrvr.so; Windows: HUXDRVR.dll next to
// huxhost.exe.
std::string DefaultDriverPath();
void SleepMs(int ms);
double NowMs(); // a monotonic clock
bool IsTerminal(FILE *file);

} // namespace hh

#endif // HUXHOST_PLATFORM_H
