// Pseudo-terminal lines for the benchmark, and the floor: the least any
// program can spend on a transaction over such a line, measured with plain
// blocking writes and reads against a responder that answers at once.
#ifndef HUX_BENCH_PTY_LINE_H
#define HUX_BENCH_PTY_LINE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/scenarios.h"
#include "bench/stats.h"

namespace bench {

struct PtyPair {
    int master = -1;
    int slave = -1;        // opened raw; -1 once handed away
    std::string slaveName; // /dev/pts/N
};

// Opens a pseudo-terminal pair with its slave side in raw mode.
bool OpenPty(PtyPair *pty, std::string *error);
void ClosePty(PtyPair *pty);

// Starts the floor's responder in a child process on the master side: it
// reads each request and answers it with a prepared reply of the right
// length (read reply, or the acknowledgement 06) as fast as it can. Closes
// the master in the parent. Returns the child's pid, or -1.
pid_t StartFloorResponder(PtyPair *pty);

// Waits for a child to end (sending it SIGTERM first).
void StopChild(pid_t pid);

// The floor: n transactions of the scenario's exchanges over the slave side,
// each exchange one blocking write of the request and blocking reads until
// the reply is complete.
Run RunFloor(int slave, const std::vector<Exchange> &exchanges, int n);

// Writes all bytes; reads exactly n bytes. false on error or end of line.
bool WriteAll(int fd, const uint8_t *bytes, size_t n);
bool ReadExact(int fd, uint8_t *bytes, size_t n);

} // namespace bench

#endif // HUX_BENCH_PTY_LINE_H
