// In-memory fake of the Windows communications calls for unit tests.
#include "tests/fake/fake_device.h"

#include <algorithm>
#include <cstring>

namespace fake {
namespace {

struct Fault {
    Fn fn;
    int skip; // calls of fn still to let pass before this one fails
};

// The first handle handed out; handles step by 4 like the system's, never 0
// and never INVALID_HANDLE_VALUE, and they fit in 32 bits.
constexpr uintptr_t kFirstHandle = 0x100;

struct State {
    std::deque<Device> devices; // a deque keeps references from AddDevice valid
    std::vector<Call> calls;
    std::vector<Fault> faults;
    bool shortWrite = false;
    DWORD shortWriteCount = 0;
    uintptr_t nextHandle = kFirstHandle;
};

State &S() {
    static State state;
    return state;
}

// Counts one call of fn against the armed faults; true when this call fails.
// A fault that fires is used up.
bool Fails(Fn fn) {
    bool fail = false;
    auto &faults = S().faults;
    for (auto it = faults.begin(); it != faults.end();) {
        if (it->fn != fn) {
            ++it;
        } else if (it->skip == 0) {
            fail = true;
            it = faults.erase(it);
        } else {
            --it->skip;
            ++it;
        }
    }
    return fail;
}

Call &Record(Fn fn, HANDLE handle) {
    Call call;
    call.fn = fn;
    call.handle = handle;
    S().calls.push_back(call);
    return S().calls.back();
}

// The open device behind a handle, or null. A fault armed for fn is counted
// even when the handle is bad, so that the n-th call is the n-th call.
Device *Begin(Fn fn, HANDLE handle, Call *&call, bool &fail) {
    fail = Fails(fn);
    call = &Record(fn, handle);
    Device *dev = FindDevice(handle);
    if (dev == nullptr) {
        fail = true;
    }
    if (fail) {
        call->ok = FALSE;
    }
    return dev;
}

} // namespace

DWORD Device::Waiting() const {
    DWORD n = 0;
    for (const Bytes &piece : pieces) {
        n += static_cast<DWORD>(piece.size());
    }
    return n;
}

void Reset() {
    State &s = S();
    s.devices.clear();
    s.calls.clear();
    s.faults.clear();
    s.shortWrite = false;
    s.shortWriteCount = 0;
    s.nextHandle = kFirstHandle;
}

Device &AddDevice(const std::string &name) {
    Device &dev = S().devices.emplace_back();
    dev.name = name;
    dev.dcb.DCBlength = sizeof(DCB);
    dev.dcb.fBinary = 1;
    return dev;
}

Device *FindDevice(const std::string &name) {
    for (Device &dev : S().devices) {
        if (dev.name == name) {
            return &dev;
        }
    }
    return nullptr;
}

Device *FindDevice(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    for (Device &dev : S().devices) {
        if (dev.open && dev.handle == handle) {
            return &dev;
        }
    }
    return nullptr;
}

void FailCall(Fn fn, int skip) {
    S().faults.push_back(Fault{fn, skip < 0 ? 0 : skip});
}

void ShortWrite(DWORD n) {
    S().shortWrite = true;
    S().shortWriteCount = n;
}

const std::vector<Call> &Calls() {
    return S().calls;
}

std::vector<Call> CallsOf(Fn fn) {
    std::vector<Call> out;
    for (const Call &call : S().calls) {
        if (call.fn == fn) {
            out.push_back(call);
        }
    }
    return out;
}

int CountOf(Fn fn) {
    return static_cast<int>(
        std::count_if(S().calls.begin(), S().calls.end(), [fn](const Call &c) { return c.fn == fn; }));
}

void ClearCalls() {
    S().calls.clear();
}

} // namespace fake

using fake::Call;
using fake::Device;
using fake::Fn;

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, void * /*security*/, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    bool fail = fake::Fails(Fn::CreateFile);
    Call &call = fake::Record(Fn::CreateFile, INVALID_HANDLE_VALUE);
    call.name = fileName != nullptr ? fileName : "";
    call.access = access;
    call.share = shareMode;
    call.disposition = disposition;
    call.flags = flagsAndAttributes;
    Device *dev = fileName != nullptr ? fake::FindDevice(std::string(fileName)) : nullptr;
    if (fail || dev == nullptr || dev->open) {
        call.ok = FALSE;
        return INVALID_HANDLE_VALUE;
    }
    fake::State &s = fake::S();
    dev->open = true;
    dev->handle = reinterpret_cast<HANDLE>(s.nextHandle);
    s.nextHandle += 4;
    call.handle = dev->handle;
    return dev->handle;
}

BOOL CloseHandle(HANDLE handle) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::CloseHandle, handle, call, fail);
    if (fail) {
        return FALSE; // a handle that fails to close stays open
    }
    dev->open = false;
    return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB *dcb) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::GetCommState, handle, call, fail);
    if (fail || !dev->isComm || dcb == nullptr) {
        call->ok = FALSE;
        return FALSE;
    }
    *dcb = dev->dcb;
    dcb->DCBlength = sizeof(DCB);
    call->dcb = *dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB *dcb) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::SetCommState, handle, call, fail);
    if (dcb != nullptr) {
        call->dcb = *dcb;
    }
    if (fail || !dev->isComm || dcb == nullptr) {
        call->ok = FALSE;
        return FALSE;
    }
    dev->dcb = *dcb;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::GetCommTimeouts, handle, call, fail);
    if (fail || !dev->isComm || timeouts == nullptr) {
        call->ok = FALSE;
        return FALSE;
    }
    *timeouts = dev->timeouts;
    call->timeouts = dev->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::SetCommTimeouts, handle, call, fail);
    if (timeouts != nullptr) {
        call->timeouts = *timeouts;
    }
    if (fail || !dev->isComm || timeouts == nullptr) {
        call->ok = FALSE;
        return FALSE;
    }
    dev->timeouts = *timeouts;
    return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::SetupComm, handle, call, fail);
    call->inQueue = inQueue;
    call->outQueue = outQueue;
    if (fail || !dev->isComm) {
        call->ok = FALSE;
        return FALSE;
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *stat) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::ClearCommError, handle, call, fail);
    if (fail || !dev->isComm) {
        call->ok = FALSE;
        return FALSE;
    }
    if (errors != nullptr) {
        *errors = 0;
    }
    if (stat != nullptr) {
        std::memset(static_cast<void *>(stat), 0, sizeof(*stat));
        stat->cbInQue = dev->Waiting();
    }
    return TRUE;
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD toRead, DWORD *read, void * /*overlapped*/) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::ReadFile, handle, call, fail);
    call->requested = toRead;
    if (read != nullptr) {
        *read = 0;
    }
    if (fail) {
        return FALSE;
    }
    if (dev->pieces.empty()) {
        return TRUE; // the timeout ran out with nothing received
    }
    fake::Bytes &piece = dev->pieces.front();
    DWORD n = std::min<DWORD>(toRead, static_cast<DWORD>(piece.size()));
    if (n > 0) {
        std::memcpy(buffer, piece.data(), n);
    }
    call->bytes.assign(piece.begin(), piece.begin() + n);
    piece.erase(piece.begin(), piece.begin() + n);
    // An empty piece stands for a read that times out with nothing: it is
    // used up by the read that meets it.
    if (piece.empty()) {
        dev->pieces.pop_front();
    }
    if (read != nullptr) {
        *read = n;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written, void * /*overlapped*/) {
    Call *call = nullptr;
    bool fail = false;
    Device *dev = fake::Begin(Fn::WriteFile, handle, call, fail);
    call->requested = toWrite;
    if (fail) {
        return FALSE;
    }
    fake::State &s = fake::S();
    DWORD n = toWrite;
    if (s.shortWrite) {
        s.shortWrite = false;
        n = std::min(n, s.shortWriteCount);
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    fake::Bytes out(bytes, bytes + n);
    call->bytes = out;
    dev->written.insert(dev->written.end(), out.begin(), out.end());
    if (written != nullptr) {
        *written = n;
    }
    if (dev->onWrite) {
        dev->onWrite(*dev, out);
    }
    return TRUE;
}
