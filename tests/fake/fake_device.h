// In-memory fake of the Windows communications calls for unit tests.
// It records every call with its arguments, delivers scripted input in
// chosen pieces, lets a scripted controller answer what is written, and
// makes any call fail or fall short on demand.
#ifndef HUX_TESTS_FAKE_DEVICE_H
#define HUX_TESTS_FAKE_DEVICE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "driver/serial/winapi.h"

namespace fake {

enum class Fn {
    CreateFile,
    CloseHandle,
    GetCommState,
    SetCommState,
    GetCommTimeouts,
    SetCommTimeouts,
    SetupComm,
    ClearCommError,
    ReadFile,
    WriteFile
};

using Bytes = std::vector<uint8_t>;

// One recorded call. Only the members that belong to the call are set.
struct Call {
    Fn fn{};
    HANDLE handle = nullptr; // the handle passed (CreateFile: the one returned)
    std::string name;        // CreateFile
    DWORD access = 0, share = 0, disposition = 0, flags = 0; // CreateFile
    DCB dcb{};                                               // SetCommState: the block written
    COMMTIMEOUTS timeouts{};                                 // SetCommTimeouts: the values written
    DWORD inQueue = 0, outQueue = 0;                         // SetupComm
    DWORD requested = 0; // ReadFile: bytes asked for; WriteFile: bytes offered
    Bytes bytes;         // ReadFile: bytes returned; WriteFile: bytes written
    BOOL ok = TRUE;      // what the call returned
};

struct Device {
    std::string name;
    bool isComm = true;      // false: GetCommState fails, as for a plain file
    DCB dcb{};               // the device's control block
    COMMTIMEOUTS timeouts{}; // the device's timeouts
    // Input waiting, in pieces: one ReadFile takes bytes from the front piece
    // only, as if the read timeout ran out after that piece had arrived.
    // ReadFile with no input waiting succeeds with 0 bytes (timeout).
    // An empty piece is one such timeout between pieces of input.
    std::deque<Bytes> pieces;
    Bytes written; // everything written so far
    // A scripted controller: called after every successful WriteFile with the
    // bytes written; it may queue pieces of input (its answer).
    std::function<void(Device &, const Bytes &)> onWrite;
    bool open = false;
    HANDLE handle = nullptr;

    void Queue(const Bytes &piece) { pieces.push_back(piece); }
    DWORD Waiting() const;
};

// Forget every device, call and fault.
void Reset();
// Add a device that CreateFileA can open by this exact name.
Device &AddDevice(const std::string &name);
Device *FindDevice(const std::string &name);
Device *FindDevice(HANDLE handle);

// Fault injection: the (skip+1)-th next call of fn returns FALSE (CreateFile:
// INVALID_HANDLE_VALUE). Several faults may be armed at once.
void FailCall(Fn fn, int skip = 0);
// The next WriteFile writes only n bytes and reports that, successfully.
void ShortWrite(DWORD n);

const std::vector<Call> &Calls();
std::vector<Call> CallsOf(Fn fn);
int CountOf(Fn fn);
void ClearCalls();

} // namespace fake

#endif // HUX_TESTS_FAKE_DEVICE_H
