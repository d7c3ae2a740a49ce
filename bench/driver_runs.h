// Transactions through HuxMain: set up a connection and a gate, and run one
// scenario many times, timing each call.
#ifndef HUX_BENCH_DRIVER_RUNS_H
#define HUX_BENCH_DRIVER_RUNS_H

#include <cstdint>
#include <string>

#include "bench/scenarios.h"
#include "bench/stats.h"
#include "driver/host/huxdrvr.h"

namespace bench {

using HuxMainFn = int32_t (*)(DriverRequest *request);

// One connection and one gate of a scenario, as a host keeps them.
struct DriverSession {
    HuxMainFn huxMain = nullptr;
    ComContext context{};
    GateTransfer transfer{};
    alignas(8) uint8_t values[128] = {};
    const Scenario *scenario = nullptr;
};

// ColdStart on the named device (9600 8N1, read timeout in 10 ms units).
// false when the port could not be opened or the marker area not read.
bool OpenSession(DriverSession *session, HuxMainFn huxMain, const char *device, int32_t timeoutUnits,
                 std::string *error);
// Validates the scenario's gate and prepares its transfer record.
bool PrepareGate(DriverSession *session, const Scenario &scenario, std::string *error);
// CloseCom.
void CloseSession(DriverSession *session);

// One transaction; i varies the value written.
int32_t Transaction(DriverSession *session, int i);

// n transactions after `warmup` unmeasured ones; with timeEach each one is
// timed (latencies), else only the whole loop.
Run RunDriver(DriverSession *session, int n, int warmup, bool timeEach = true);

// Log lines the driver has written since the start (every one during a
// measured run is a retry or a failure).
uint64_t LogLines();
// Installs the counting logger sink.
void CountLogLines();

} // namespace bench

#endif // HUX_BENCH_DRIVER_RUNS_H
