// The Windows communications calls over Linux terminals, with the semantics
// the serial module relies on.
//
// Handles: a handle is the file descriptor plus one, so it is never 0 (which
// means "no port" to the driver), never INVALID_HANDLE_VALUE, and always fits
// in 32 bits.
//
// Device state: the line settings live in the terminal's termios. The
// COMMTIMEOUTS live there too, in the control-character slots that raw mode
// leaves without effect (all but VMIN and VTIME), so that like on Windows they
// belong to the device, persist between calls and opens, and need no table in
// the process. A check byte tells a device whose timeouts were set through
// this layer from one that never was; the latter reads as all-zero timeouts,
// the Windows default. The price is one TCGETS2 per ReadFile.
//
// Only the kernel's own termios2 interface is used (no <termios.h>, whose
// struct termios clashes with it); it carries any rate the kernel accepts.
#include "driver/serial/winapi_linux.h"
#include "driver/serial/winapi.h"

#include <asm/termbits.h>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// ---- Handles ---------------------------------------------------------------

int FdFromHandle(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value > static_cast<uintptr_t>(INT_MAX)) {
        return -1;
    }
    return static_cast<int>(value - 1);
}

HANDLE HandleFromFd(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(fd) + 1);
}

// The descriptor behind a handle; sets EBADF for a handle that is none.
bool Fd(HANDLE handle, int *fd) {
    *fd = FdFromHandle(handle);
    if (*fd < 0) {
        errno = EBADF;
        return false;
    }
    return true;
}

// ---- Terminal attributes ---------------------------------------------------

bool GetTermios(int fd, termios2 *tio) {
    return ioctl(fd, TCGETS2, tio) == 0;
}
bool SetTermios(int fd, const termios2 *tio) {
    return ioctl(fd, TCSETS2, tio) == 0;
}

// Raw mode as a Windows serial device always is: no line editing, echo,
// signals, software flow control or character translation; a read takes what
// has arrived (VMIN 1, VTIME 0, together with O_NONBLOCK: a read never waits
// in the kernel, and poll() reports input from the first byte on). With
// line, also the modem's carrier ignored and the receiver on; without, only
// what the line discipline does is looked at, which no device driver
// overrides. Returns true when anything changed.
bool MakeRaw(termios2 *tio, bool line) {
    const termios2 before = *tio;
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                           IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL | IUTF8);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE |
                                           ICANON | ISIG | IEXTEN | XCASE | TOSTOP | EXTPROC);
    if (line) {
        tio->c_cflag |= CREAD | CLOCAL;
    }
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    return std::memcmp(&before, tio, sizeof(before)) != 0;
}

// ---- Timeouts in the device -------------------------------------------------

// Slots of c_cc that carry the timeouts: every slot but VMIN and VTIME (which
// decide when poll() reports input). In raw mode none of them has an effect.
// The last one holds the marker.
constexpr unsigned char kTimeoutMarker = 0xA7;
constexpr int kTimeoutSlots = 17;

constexpr bool SlotUsable(int slot) {
    return slot != VMIN && slot != VTIME;
}

struct SlotList {
    int at[kTimeoutSlots];
};

constexpr SlotList MakeSlots() {
    SlotList list{};
    int n = 0;
    for (int slot = 0; slot < NCCS && n < kTimeoutSlots; ++slot) {
        if (SlotUsable(slot)) {
            list.at[n++] = slot;
        }
    }
    return list;
}

static_assert(NCCS - 2 >= kTimeoutSlots, "too few control-character slots for the timeouts");
constexpr SlotList kSlots = MakeSlots();

// Layout: read interval, multiplier and constant in full (4 bytes each, low
// byte first), write multiplier and constant in 2 bytes each (saturated at
// 65535 ms), then the marker: 0xA7 XOR every byte before it, so that slots
// that hold anything else (a terminal's default characters, or whatever
// another program wrote there) are not taken for timeouts.
constexpr int kDataSlots = 16;
constexpr int kMarkerSlot = kDataSlots;

cc_t Marker(const termios2 &tio) {
    cc_t marker = kTimeoutMarker;
    for (int i = 0; i < kDataSlots; ++i) {
        marker ^= tio.c_cc[kSlots.at[i]];
    }
    return marker;
}

void PutBytes(termios2 *tio, int first, DWORD value, int count) {
    for (int i = 0; i < count; ++i) {
        tio->c_cc[kSlots.at[first + i]] = static_cast<cc_t>((value >> (8 * i)) & 0xFF);
    }
}

DWORD GetBytes(const termios2 &tio, int first, int count) {
    DWORD value = 0;
    for (int i = 0; i < count; ++i) {
        value |= static_cast<DWORD>(tio.c_cc[kSlots.at[first + i]]) << (8 * i);
    }
    return value;
}

DWORD Saturate16(DWORD value) {
    return value > 0xFFFF ? 0xFFFF : value;
}

void DecodeTimeouts(const termios2 &tio, COMMTIMEOUTS *t) {
    *t = COMMTIMEOUTS{};
    if (tio.c_cc[kSlots.at[kMarkerSlot]] != Marker(tio)) {
        return; // never set through this layer: the Windows default, all zero
    }
    t->ReadIntervalTimeout = GetBytes(tio, 0, 4);
    t->ReadTotalTimeoutMultiplier = GetBytes(tio, 4, 4);
    t->ReadTotalTimeoutConstant = GetBytes(tio, 8, 4);
    t->WriteTotalTimeoutMultiplier = GetBytes(tio, 12, 2);
    t->WriteTotalTimeoutConstant = GetBytes(tio, 14, 2);
}

void EncodeTimeouts(const COMMTIMEOUTS &t, termios2 *tio) {
    PutBytes(tio, 0, t.ReadIntervalTimeout, 4);
    PutBytes(tio, 4, t.ReadTotalTimeoutMultiplier, 4);
    PutBytes(tio, 8, t.ReadTotalTimeoutConstant, 4);
    PutBytes(tio, 12, Saturate16(t.WriteTotalTimeoutMultiplier), 2);
    PutBytes(tio, 14, Saturate16(t.WriteTotalTimeoutConstant), 2);
    tio->c_cc[kSlots.at[kMarkerSlot]] = Marker(*tio);
}

// The timeouts of a descriptor for a read or write. Something that is no
// terminal (a plain file) has none: its reads and writes complete by
// themselves. For a read the terminal is also put back into raw mode if
// anyone changed it: on a pseudo-terminal the other end's termios calls act
// on this end's settings, and a read must neither wait for a line nor for
// more than one byte to wake up.
bool LoadTimeouts(int fd, COMMTIMEOUTS *t, bool forRead) {
    termios2 tio{};
    if (GetTermios(fd, &tio)) {
        DecodeTimeouts(tio, t);
        if (forRead && MakeRaw(&tio, false)) {
            SetTermios(fd, &tio);
        }
        return true;
    }
    *t = COMMTIMEOUTS{};
    return errno == ENOTTY || errno == EINVAL;
}

// ---- Clock -----------------------------------------------------------------

using Nanos = int64_t;
constexpr Nanos kNoDeadline = INT64_MAX;

Nanos Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Nanos AddMillis(Nanos at, uint64_t ms) {
    const uint64_t limit = static_cast<uint64_t>(kNoDeadline - at) / 1000000;
    return ms >= limit ? kNoDeadline - 1 : at + static_cast<Nanos>(ms) * 1000000;
}

// Waits for an event on fd until deadline (kNoDeadline: without limit).
// Returns 1 when an event is there, 0 when the deadline has passed, -1 on an
// error.
int WaitFor(int fd, short events, Nanos deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kNoDeadline) {
            const Nanos left = deadline - Now();
            if (left <= 0) {
                return 0;
            }
            // Round up: poll() never returns before its timeout has run out,
            // so the deadline is met, not missed by a fraction of a millisecond.
            const Nanos ms = (left + 999999) / 1000000;
            timeout = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1; // input, room, hang-up or error: the next call tells
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        // Timed out or interrupted: look at the clock again.
    }
}

// ---- Line settings -----------------------------------------------------------

struct Rate {
    speed_t code;
    DWORD bps;
};

constexpr Rate kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

// A standard rate by its code, any other as BOTHER with the rate itself.
void SetRate(termios2 *tio, DWORD bps) {
    speed_t code = BOTHER;
    for (const Rate &r : kRates) {
        if (r.bps == bps) {
            code = r.code;
        }
    }
    tio->c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    tio->c_cflag |= code | (code << IBSHIFT);
    tio->c_ospeed = bps;
    tio->c_ispeed = bps;
}

DWORD GetRate(const termios2 &tio) {
    const speed_t code = tio.c_cflag & CBAUD;
    for (const Rate &r : kRates) {
        if (r.code == code) {
            return r.bps;
        }
    }
    return tio.c_ospeed;
}

// A modem-control request that the device cannot serve because it has no
// modem lines (a pseudo-terminal, a bare USB bridge).
bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP;
}

bool ModemLines(int fd, int request, int bits) {
    if (bits == 0) {
        return true;
    }
    if (ioctl(fd, request, &bits) == 0) {
        return true;
    }
    return NoModemLines(errno);
}

} // namespace

bool LinuxDevicePath(const char *name, char *path, size_t size) {
    if (name == nullptr || name[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    int written = 0;
    if (name[0] == '/') {
        written = snprintf(path, size, "%s", name);
    } else {
        const char *n = name;
        if (std::strncmp(n, "\\\\.\\", 4) == 0) {
            n += 4;
        }
        unsigned long number = 0;
        bool com = (n[0] == 'C' || n[0] == 'c') && (n[1] == 'O' || n[1] == 'o') &&
                   (n[2] == 'M' || n[2] == 'm') && n[3] >= '1' && n[3] <= '9';
        for (const char *d = n + 3; com && *d != '\0'; ++d) {
            if (*d < '0' || *d > '9' || number > 100000) {
                com = false;
            } else {
                number = number * 10 + static_cast<unsigned long>(*d - '0');
            }
        }
        if (com) {
            written = snprintf(path, size, "/dev/ttyS%lu", number - 1);
        } else {
            written = snprintf(path, size, "/dev/%s", name);
        }
    }
    if (written < 0 || static_cast<size_t>(written) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD /*access*/, DWORD /*shareMode*/, void * /*security*/,
                   DWORD /*disposition*/, DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    // Read and write, existing devices only, exclusive use: what the serial
    // module asks for, whatever the arguments say.
    char path[PATH_MAX];
    if (!LinuxDevicePath(fileName, path, sizeof(path))) {
        return INVALID_HANDLE_VALUE;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive use: the advisory lock stops a second open through this layer
    // in any process, root's included; TIOCEXCL stops other programs that do
    // not take the lock (except root's).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return INVALID_HANDLE_VALUE;
    }
    termios2 tio{};
    if (GetTermios(fd, &tio)) {
        ioctl(fd, TIOCEXCL);
        if (MakeRaw(&tio, true) && !SetTermios(fd, &tio)) {
            const int error = errno;
            ioctl(fd, TIOCNXCL);
            close(fd);
            errno = error;
            return INVALID_HANDLE_VALUE;
        }
    }
    return HandleFromFd(fd);
}

BOOL CloseHandle(HANDLE handle) {
    int fd = -1;
    if (!Fd(handle, &fd)) {
        return FALSE;
    }
    // Someone else may still hold the terminal open (the other program on a
    // pseudo-terminal): leave it open to the next user.
    termios2 tio{};
    if (GetTermios(fd, &tio)) {
        ioctl(fd, TIOCNXCL);
    }
    return close(fd) == 0 ? TRUE : FALSE;
}

BOOL GetCommState(HANDLE handle, DCB *dcb) {
    int fd = -1;
    termios2 tio{};
    if (!Fd(handle, &fd) || !GetTermios(fd, &tio)) {
        return FALSE;
    }
    int lines = 0;
    const bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
    const bool crtscts = (tio.c_cflag & CRTSCTS) != 0;

    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = GetRate(tio);
    dcb->fBinary = 1;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = crtscts ? 1 : 0;
    dcb->fDtrControl = haveLines && (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (crtscts) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb->fRtsControl = haveLines && (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb->ByteSize = 5;
        break;
    case CS6:
        dcb->ByteSize = 6;
        break;
    case CS7:
        dcb->ByteSize = 7;
        break;
    default:
        dcb->ByteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (!(tio.c_cflag & CSTOPB)) {
        dcb->StopBits = ONESTOPBIT;
    } else {
        // A UART sends one and a half stop bits where two are asked for
        // with five data bits.
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB *dcb) {
    int fd = -1;
    if (!Fd(handle, &fd)) {
        return FALSE;
    }
    if (dcb == nullptr || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS) {
        errno = EINVAL;
        return FALSE;
    }
    termios2 tio{};
    if (!GetTermios(fd, &tio)) {
        return FALSE;
    }
    MakeRaw(&tio, true);
    SetRate(&tio, dcb->BaudRate);

    tcflag_t c = tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    c |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
    case ODDPARITY:
        c |= PARENB | PARODD;
        break;
    case EVENPARITY:
        c |= PARENB;
        break;
    case MARKPARITY:
        c |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        c |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb->StopBits != ONESTOPBIT) {
        c |= CSTOPB; // one and a half: as the UART makes of two (1.5 with five data bits)
    }
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        c |= CRTSCTS;
    }
    tio.c_cflag = c;
    if (!SetTermios(fd, &tio)) {
        return FALSE;
    }

    // DTR and RTS levels. The handshake modes raise their line (the kernel
    // then drives RTS under CRTSCTS); RTS toggling has no equivalent and
    // leaves RTS low, its level between transmissions.
    int raise = 0;
    int lower = 0;
    (dcb->fDtrControl == DTR_CONTROL_DISABLE ? lower : raise) |= TIOCM_DTR;
    (dcb->fRtsControl == RTS_CONTROL_DISABLE || dcb->fRtsControl == RTS_CONTROL_TOGGLE ? lower : raise) |=
        TIOCM_RTS;
    return ModemLines(fd, TIOCMBIS, raise) && ModemLines(fd, TIOCMBIC, lower) ? TRUE : FALSE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    int fd = -1;
    termios2 tio{};
    if (!Fd(handle, &fd) || !GetTermios(fd, &tio)) {
        return FALSE;
    }
    DecodeTimeouts(tio, timeouts);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    int fd = -1;
    termios2 tio{};
    if (!Fd(handle, &fd) || !GetTermios(fd, &tio)) {
        return FALSE;
    }
    const termios2 before = tio;
    EncodeTimeouts(*timeouts, &tio);
    if (std::memcmp(&before, &tio, sizeof(tio)) == 0) {
        return TRUE;
    }
    return SetTermios(fd, &tio) ? TRUE : FALSE;
}

BOOL SetupComm(HANDLE handle, DWORD /*inQueue*/, DWORD /*outQueue*/) {
    // The kernel sizes a terminal's queues itself.
    int fd = -1;
    return Fd(handle, &fd) ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *stat) {
    int fd = -1;
    int waiting = 0;
    if (!Fd(handle, &fd) || ioctl(fd, FIONREAD, &waiting) != 0) {
        return FALSE;
    }
    if (errors != nullptr) {
        *errors = 0; // line errors are not reported: bytes are passed on as they came
    }
    if (stat != nullptr) {
        // Only the input count is filled in: the driver drains input before
        // every attempt, so this call sits between two transactions, and a
        // second query for the output queue (which no caller looks at) would
        // cost each of them another system call. cbOutQue reads 0.
        std::memset(static_cast<void *>(stat), 0, sizeof(*stat));
        stat->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD toRead, DWORD *read, void * /*overlapped*/) {
    if (read != nullptr) {
        *read = 0;
    }
    int fd = -1;
    if (!Fd(handle, &fd)) {
        return FALSE;
    }
    if (toRead == 0) {
        return TRUE;
    }
    COMMTIMEOUTS t{};
    if (!LoadTimeouts(fd, &t, true)) {
        return FALSE;
    }

    // The Windows rules. An interval of MAXDWORD returns as soon as any byte
    // is in; with multiplier and constant 0 it returns at once with what is
    // there, with multiplier MAXDWORD it waits up to the constant for the
    // first byte. Otherwise the total timeout is multiplier x bytes asked for
    // + constant (none when both are 0), and an interval other than 0 ends the
    // read when that many ms pass after a byte without another.
    const bool anyByte = t.ReadIntervalTimeout == MAXDWORD;
    uint64_t totalMs = 0;
    if (anyByte && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        totalMs = t.ReadTotalTimeoutConstant;
    } else {
        totalMs = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
    }
    const DWORD intervalMs = anyByte ? 0 : t.ReadIntervalTimeout;
    const bool atOnce = anyByte && totalMs == 0;
    const Nanos totalDeadline = totalMs != 0 ? AddMillis(Now(), totalMs) : kNoDeadline;
    Nanos intervalDeadline = kNoDeadline;

    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    DWORD got = 0;
    // Reply bytes are rarely in yet when a read starts; wait before the first
    // read instead of trying one that finds nothing.
    bool wait = !atOnce;
    for (;;) {
        if (wait) {
            const Nanos deadline = totalDeadline < intervalDeadline ? totalDeadline : intervalDeadline;
            const int r = WaitFor(fd, POLLIN, deadline);
            if (r == 0) {
                break; // timed out: a successful read of what arrived
            }
            if (r < 0) {
                if (read != nullptr) {
                    *read = got;
                }
                return FALSE;
            }
        }
        const ssize_t n = ::read(fd, bytes + got, toRead - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            if (got >= toRead || anyByte) {
                break;
            }
            if (intervalMs != 0) {
                intervalDeadline = AddMillis(Now(), intervalMs);
            }
            wait = true; // what had arrived is taken: wait for more
            continue;
        }
        if (n == 0) {
            break; // end of file, or the device hung up
        }
        if (errno == EAGAIN || errno == EINTR) {
            if (atOnce) {
                break;
            }
            wait = true;
            continue;
        }
        if (read != nullptr) {
            *read = got;
        }
        return FALSE;
    }
    if (read != nullptr) {
        *read = got;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written, void * /*overlapped*/) {
    if (written != nullptr) {
        *written = 0;
    }
    int fd = -1;
    if (!Fd(handle, &fd)) {
        return FALSE;
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    DWORD done = 0;
    bool timed = false; // the write timeouts are looked up only once a write has to wait
    Nanos deadline = kNoDeadline;
    BOOL ok = TRUE;
    while (done < toWrite) {
        const ssize_t n = ::write(fd, bytes + done, toWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            if (!timed) {
                timed = true;
                COMMTIMEOUTS t{};
                if (LoadTimeouts(fd, &t, false)) {
                    const uint64_t ms = static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * toWrite +
                                        t.WriteTotalTimeoutConstant;
                    if (ms != 0) {
                        deadline = AddMillis(Now(), ms);
                    }
                }
            }
            const int r = WaitFor(fd, POLLOUT, deadline);
            if (r == 0) {
                break; // timed out: a successful write of fewer bytes
            }
            if (r > 0) {
                continue;
            }
        } else if (n == 0) {
            errno = EIO;
        }
        ok = FALSE;
        break;
    }
    if (written != nullptr) {
        *written = done;
    }
    return ok;
}
