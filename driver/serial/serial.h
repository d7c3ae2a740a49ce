// Serial port module: open and configure a device, close it, set its read
// timeout, drain its input, write and read bytes. Logs nothing, keeps no
// state; the caller holds the handle and the device holds its configuration.
#ifndef HUX_SERIAL_SERIAL_H
#define HUX_SERIAL_SERIAL_H

#include <cstdint>

#include "driver/host/huxdrvr.h"
#include "driver/serial/winapi.h"

// Result codes of the module.
enum SerialResult : int32_t {
    SERIAL_OK = 0,
    SERIAL_OPEN_FAILED = 1, // open or timeouts failed (SerialOpen); drain's last read failed (SerialPurge)
    SERIAL_SHORT_WRITE = 2, // fewer bytes written than asked for
    SERIAL_GET_STATE = 4,   // control block cannot be read
    SERIAL_SET_STATE = 5,   // control block cannot be set
    SERIAL_IO_FAILED = 7    // close, write or read failed; a read returned no bytes
};

int32_t SerialOpen(const char *name, const LineSettings *settings, uint16_t flags, HANDLE *handle);
int32_t SerialClose(HANDLE handle);
int32_t SerialSetReadTimeout(HANDLE handle, int32_t units);
int32_t SerialPurge(HANDLE handle);
int32_t SerialWrite(HANDLE handle, const uint8_t *bytes, int32_t count, int32_t *written);
int32_t SerialRead(HANDLE handle, uint8_t *buffer, int32_t count, int32_t *received);

// ComContext.port holds a handle as a 32-bit value; 0 means no port.
inline uint32_t PortFromHandle(HANDLE handle) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}
inline HANDLE HandleFromPort(uint32_t port) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port));
}

#endif // HUX_SERIAL_SERIAL_H
