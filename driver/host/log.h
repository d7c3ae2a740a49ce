// The host's logging service: err, exported by the host module KELVOR.DLL
// (on Linux by libkelvor.so under the symbol version KELVOR, so that it can
// never bind to the C library's err(3)). Variadic, C calling convention; the
// driver never looks at its result.
#ifndef HUX_HOST_LOG_H
#define HUX_HOST_LOG_H

#include <cstdint>

#if defined(_WIN32)
extern "C" __declspec(dllimport) int __cdecl err(int32_t level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
#else
extern "C" int err(int32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
#endif

#endif // HUX_HOST_LOG_H
