// What the termios layer adds to the Windows calls it provides.
#ifndef HUX_SERIAL_WINAPI_LINUX_H
#define HUX_SERIAL_WINAPI_LINUX_H

#include <cstddef>

// The path CreateFileA opens for a device name: an absolute path as it is,
// "COMn" (any case, also \\.\COMn) as /dev/ttyS(n-1), any other name relative
// to /dev/. False (errno ENOENT or ENAMETOOLONG) for an empty name or a path
// longer than size - 1.
bool LinuxDevicePath(const char *name, char *path, size_t size);

#endif // HUX_SERIAL_WINAPI_LINUX_H
