// The fuzz targets' logger: formats every line (so a placeholder that does
// not match its argument shows up under the sanitizers) and drops it.
#include <cstdarg>
#include <cstdint>
#include <cstdio>

extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) int err(int32_t level,
                                                                                const char *format, ...);
extern "C" int err(int32_t level, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    (void)level;
    return n;
}
