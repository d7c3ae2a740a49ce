#include "hostapp/huxhost/platform.h"

#include <chrono>
#include <thread>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace hh {

#if defined(_WIN32)

bool LoadDriver(const std::string &path, DriverLibrary *library, std::string *error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    FARPROC entry = GetProcAddress(module, "HuxMain");
    if (entry == nullptr) {
        *error = path + " exports no HuxMain";
        FreeLibrary(module);
        return false;
    }
    library->handle = module;
    library->entry = reinterpret_cast<HuxMainFn>(reinterpret_cast<void *>(entry));
    return true;
}

std::string DefaultDriverPath() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dir(self, n);
    const auto slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    return dir + "\\HUXDRVR.dll";
}

bool IsTerminal(FILE *file) {
    return _isatty(_fileno(file)) != 0;
}

#else

bool LoadDriver(const std::string &path, DriverLibrary *library, std::string *error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = std::string("cannot load the driver: ") + (why != nullptr ? why : path);
        return false;
    }
    void *entry = dlsym(handle, "HuxMain");
    if (entry == nullptr) {
        *error = path + " exports no HuxMain";
        dlclose(handle);
        return false;
    }
    library->handle = handle;
    library->entry = reinterpret_cast<HuxMainFn>(entry);
    return true;
}

std::string DefaultDriverPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    return dir + "/../lib/libhuxdrvr.so";
}

bool IsTerminal(FILE *file) {
    return isatty(fileno(file)) != 0;
}

#endif

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace hh
