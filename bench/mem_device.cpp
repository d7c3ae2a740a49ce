// The Windows communications calls over an in-memory controller.
#include "bench/mem_device.h"

#include <cstring>

#include "bench/scenarios.h"
#include "driver/serial/winapi.h"

namespace {

struct Controller {
    bool open = false;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    uint8_t memory[65536] = {};
    uint8_t answer[80] = {};
    DWORD answerLength = 0;
    DWORD answerTaken = 0;
    uint16_t permitFirst = 0;
    bool permitted = false;
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

Controller g_plc;

HANDLE DeviceHandle() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4D454D));
}

bool IsDevice(HANDLE handle) {
    return g_plc.open && handle == DeviceHandle();
}

void Answer(const uint8_t *bytes, DWORD n) {
    std::memcpy(g_plc.answer, bytes, n);
    g_plc.answerLength = n;
    g_plc.answerTaken = 0;
}

// Answers one frame the driver wrote.
void Handle(const uint8_t *frame, DWORD n) {
    ++g_plc.frames;
    const uint8_t ack = 0x06;
    if (n == 8 && (frame[2] == 0x82 || frame[2] == 0x83)) {
        const uint16_t first = static_cast<uint16_t>(frame[3] << 8 | frame[4]);
        const uint16_t last = static_cast<uint16_t>(frame[5] << 8 | frame[6]);
        const int k = last - first + 1;
        if (k < 1 || k > 64) {
            return;
        }
        if (frame[2] == 0x83) {
            g_plc.permitFirst = first;
            g_plc.permitted = true;
            Answer(&ack, 1);
            return;
        }
        uint8_t reply[69];
        reply[0] = 0x0C;
        reply[1] = 0x07;
        reply[2] = 0x14;
        reply[3] = static_cast<uint8_t>(k);
        std::memcpy(reply + 4, g_plc.memory + first, static_cast<size_t>(k));
        reply[4 + k] = bench::Lrc(reply, 4 + k);
        Answer(reply, static_cast<DWORD>(k) + 5);
        return;
    }
    if (n >= 6 && frame[2] == 0x14 && g_plc.permitted && frame[3] + 5u == n) {
        std::memcpy(g_plc.memory + g_plc.permitFirst, frame + 4, frame[3]);
        g_plc.permitted = false;
        Answer(&ack, 1);
    }
}

} // namespace

namespace bench {
uint64_t MemDeviceFrames() {
    return g_plc.frames;
}
uint64_t MemDeviceBytes() {
    return g_plc.bytes;
}
} // namespace bench

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    if (g_plc.open || std::strcmp(fileName, bench::kMemDeviceName) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    g_plc.open = true;
    // The marker area: start word 0x1000 at 0x0040, end bound 0x2001 at 0x004A.
    g_plc.memory[0x40] = bench::kMarkerStart >> 8;
    g_plc.memory[0x41] = bench::kMarkerStart & 0xFF;
    g_plc.memory[0x4A] = 0x20;
    g_plc.memory[0x4B] = 0x01;
    g_plc.timeouts.ReadTotalTimeoutConstant = 1000;
    g_plc.dcb.DCBlength = sizeof(DCB);
    g_plc.dcb.BaudRate = 9600;
    g_plc.dcb.ByteSize = 8;
    return DeviceHandle();
}

BOOL CloseHandle(HANDLE handle) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    g_plc.open = false;
    return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB *dcb) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    *dcb = g_plc.dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB *dcb) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    g_plc.dcb = *dcb;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    *timeouts = g_plc.timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    g_plc.timeouts = *timeouts;
    return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    return IsDevice(handle) ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *stat) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    if (errors != nullptr) {
        *errors = 0;
    }
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = g_plc.answerLength - g_plc.answerTaken;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD toRead, DWORD *read, void *) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    DWORD n = g_plc.answerLength - g_plc.answerTaken;
    if (n > toRead) {
        n = toRead;
    }
    std::memcpy(buffer, g_plc.answer + g_plc.answerTaken, n);
    g_plc.answerTaken += n;
    g_plc.bytes += n;
    *read = n;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written, void *) {
    if (!IsDevice(handle)) {
        return FALSE;
    }
    *written = toWrite;
    g_plc.bytes += toWrite;
    Handle(static_cast<const uint8_t *>(buffer), toWrite);
    return TRUE;
}
