// The transactions the benchmark measures, and the frames each puts on the
// line, so that the floor and the wire-time figures mirror the driver's own
// exchanges byte for byte.
#ifndef HUX_BENCH_SCENARIOS_H
#define HUX_BENCH_SCENARIOS_H

#include <cstdint>
#include <vector>

#include "driver/host/huxdrvr.h"

namespace bench {

// Marker area of the controllers the benchmark talks to (the simulator's
// default and the in-memory device): marker byte 0 at 0x1000.
constexpr uint16_t kMarkerStart = 0x1000;

struct Scenario {
    const char *name;    // short name used on the command line and in JSON
    const char *label;   // what a person reads in the table
    const char *address; // gate address text
    uint32_t op;         // HuxMain operation
    int32_t gateType;    // for the address parser (6: digital)
    int32_t count;       // elements of a block (1 for single values)
};

// The five transactions of the issue.
const std::vector<Scenario> &Scenarios();
const Scenario *FindScenario(const char *name);

// One exchange: the bytes the host writes, then the number of bytes it reads.
struct Exchange {
    std::vector<uint8_t> request;
    int replyBytes = 0;
};

// The exchanges of one transaction that succeeds at the first attempt, with
// the frames the driver builds for it (LRC included).
std::vector<Exchange> ExchangesOf(const Scenario &scenario);

// Bytes the transaction puts on the line in both directions.
int WireBytes(const Scenario &scenario);

// LRC: XOR of bytes 1 to n-1.
uint8_t Lrc(const uint8_t *bytes, int n);

} // namespace bench

#endif // HUX_BENCH_SCENARIOS_H
