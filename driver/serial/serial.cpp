// Serial port module over the Windows communications calls.
#include "driver/serial/serial.h"

namespace {

constexpr DWORD kOpenReadTimeoutMs = 1000; // total read timeout right after an open
constexpr int32_t kPurgeTimeoutUnits = 5;  // 50 ms while input is drained
constexpr DWORD kPurgeChunk = 512;         // one read of the drain
// A device that streams input faster than the drain reads it would keep every
// read full; the drain gives up after this many full reads (64 KiB).
constexpr int kPurgeMaxReads = 128;
constexpr DWORD kQueueSize = 1200;
constexpr char kErrorChar = static_cast<char>(0xFC);
// Units of 10 ms above this would overflow units x 10 in 32 bits.
constexpr int32_t kMaxTimeoutUnits = INT32_MAX / 10;

// A read with these timeouts would wait for its bytes without any bound: no
// total timeout, and not the "return at once" setting.
bool ReadWaitsForever(const COMMTIMEOUTS &t) {
    return t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0 &&
           t.ReadIntervalTimeout != MAXDWORD;
}

// Closes a handle that failed during the open and hands back the result.
int32_t AbandonOpen(HANDLE *handle, int32_t result) {
    CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
    return result;
}

// The DTR, RTS and output-flow groups of the flags word: in each group the
// first row with any of its bits set applies; output-flow members are only
// ever set.
void ApplyFlags(uint16_t flags, DCB *dcb) {
    if (flags & 0x0101) {
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
    } else if (flags & 0x8000) {
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    }
    if (flags & 0x0202) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    } else if (flags & 0x1000) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (flags & 0x2000) {
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    }
    if (flags & 0x0010) {
        dcb->fOutxCtsFlow = 1;
    } else if (flags & 0x0020) {
        dcb->fOutxDsrFlow = 1;
    } else if (flags & 0x4000) {
        dcb->fDsrSensitivity = 1;
    }
}

} // namespace

int32_t SerialOpen(const char *name, const LineSettings *settings, uint16_t flags, HANDLE *handle) {
    *handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (*handle == INVALID_HANDLE_VALUE) {
        return SERIAL_OPEN_FAILED;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(*handle, &dcb)) {
        return AbandonOpen(handle, SERIAL_GET_STATE);
    }

    if (flags == 0) {
        // The device keeps its configuration, but a read must never wait
        // without bound: a device left with no total read timeout gets the
        // one second an open gives, its write timeouts untouched.
        COMMTIMEOUTS kept{};
        if (!GetCommTimeouts(*handle, &kept) || ReadWaitsForever(kept)) {
            kept.ReadIntervalTimeout = 0;
            kept.ReadTotalTimeoutMultiplier = 0;
            kept.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
            if (!SetCommTimeouts(*handle, &kept)) {
                return AbandonOpen(handle, SERIAL_OPEN_FAILED);
            }
        }
        return SERIAL_OK;
    }

    dcb.BaudRate = settings->baud;
    dcb.ByteSize = static_cast<BYTE>(settings->dataBits & 0xFF);
    dcb.Parity = static_cast<BYTE>(settings->parity & 0xFF);
    if (dcb.Parity != 0) {
        dcb.fParity = 1;
    }
    dcb.StopBits = static_cast<BYTE>(settings->stopBits & 0xFF);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(*handle, &timeouts)) {
        return AbandonOpen(handle, SERIAL_OPEN_FAILED);
    }

    // Bytes received with a parity error are passed on as they came.
    dcb.ErrorChar = kErrorChar;
    dcb.fErrorChar = 0;
    ApplyFlags(flags, &dcb);

    if (!SetCommState(*handle, &dcb)) {
        return AbandonOpen(handle, SERIAL_SET_STATE);
    }
    SetupComm(*handle, kQueueSize, kQueueSize);
    return SERIAL_OK;
}

int32_t SerialClose(HANDLE handle) {
    return CloseHandle(handle) ? SERIAL_OK : SERIAL_IO_FAILED;
}

int32_t SerialSetReadTimeout(HANDLE handle, int32_t units) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) {
        return 0;
    }
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    // Unsigned, so a device constant above 2^31 ms still gives a positive count.
    const int32_t previousUnits = static_cast<int32_t>(previous / 10);
    if (units <= 0) {
        // 0 would make a read wait for all its bytes, a negative count a
        // timeout of weeks: the timeout in force stays.
        return previousUnits;
    }
    if (units > kMaxTimeoutUnits) {
        units = kMaxTimeoutUnits;
    }
    const DWORD wanted = static_cast<DWORD>(units) * 10;
    if (previous != wanted) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(handle, &timeouts)) {
            return 0;
        }
    }
    return previousUnits;
}

int32_t SerialPurge(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle, &errors, &stat) && stat.cbInQue == 0) {
        return SERIAL_OK;
    }

    const int32_t previous = SerialSetReadTimeout(handle, kPurgeTimeoutUnits);
    uint8_t scratch[kPurgeChunk];
    DWORD got = 0;
    BOOL ok = FALSE;
    int reads = 0;
    do {
        got = 0;
        ok = ReadFile(handle, scratch, kPurgeChunk, &got, nullptr);
        ++reads;
    } while (ok && got == kPurgeChunk && reads < kPurgeMaxReads);

    if (previous != 0) {
        SerialSetReadTimeout(handle, previous);
    }
    return ok ? SERIAL_OK : SERIAL_OPEN_FAILED;
}

int32_t SerialWrite(HANDLE handle, const uint8_t *bytes, int32_t count, int32_t *written) {
    if (count < 0) {
        return SERIAL_IO_FAILED;
    }
    DWORD done = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(count), &done, nullptr)) {
        return SERIAL_IO_FAILED;
    }
    if (written != nullptr) {
        *written = static_cast<int32_t>(done);
    }
    return static_cast<int32_t>(done) == count ? SERIAL_OK : SERIAL_SHORT_WRITE;
}

int32_t SerialRead(HANDLE handle, uint8_t *buffer, int32_t count, int32_t *received) {
    if (received != nullptr) {
        *received = 0;
    }
    int32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(count - total);
        if (!ReadFile(handle, buffer + total, wanted, &got, nullptr) || got == 0) {
            return SERIAL_IO_FAILED;
        }
        // The platform never returns more than asked; do not trust it to.
        total += static_cast<int32_t>(got < wanted ? got : wanted);
        if (received != nullptr) {
            *received = total;
        }
    }
    return SERIAL_OK;
}
