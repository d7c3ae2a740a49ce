// Connection management: opening a port and the helpers the lifecycle
// operations share.
#ifndef HUX_LINK_LINK_H
#define HUX_LINK_LINK_H

#include <cstddef>
#include <cstdint>

#include "driver/host/huxdrvr.h"

// Line-control flags of a cold start's open: DTR and RTS on.
constexpr uint16_t kColdStartFlags = 0x0303;

// Opens the device of params through the serial module and logs the outcome.
// Returns the handle as ComContext.port holds it, or 0 when the device cannot
// be opened (also when its name has no terminator within its 12 bytes).
uint32_t OpenCom(const PortParams *params);

// Whether a 12-byte name field holds exactly "NULLDEV" or "NUL".
bool IsNullDevice(const char *name);

// Whether a 12-byte name field holds its terminator.
bool NameTerminated(const char *name);

// Copies a name field up to and including its terminator, never more than
// its 12 bytes.
void CopyName(char *to, const char *from);

// Writes the compiler's build date ("Jul  3 1997", the day padded with a
// space) as month, day of the month and year ("Jul 3 1997") into out.
void FormatBuildDate(const char *compilerDate, char *out, size_t size);

#endif // HUX_LINK_LINK_H
