#include "bench/driver_runs.h"

#include <cstdio>
#include <cstring>

#include "bench/alloc_count.h"
#include "kelvor.h"

namespace bench {

namespace {

uint64_t g_logLines = 0;
char g_lastLine[256] = {};

void CountingSink(int32_t, const char *line, void *) {
    ++g_logLines;
    std::snprintf(g_lastLine, sizeof g_lastLine, "%s", line);
}

std::string LastLine() {
    return g_lastLine;
}

} // namespace

uint64_t LogLines() {
    return g_logLines;
}

void CountLogLines() {
    kelvor_set_sink(CountingSink, nullptr);
}

bool OpenSession(DriverSession *session, HuxMainFn huxMain, const char *device, int32_t timeoutUnits,
                 std::string *error) {
    session->huxMain = huxMain;
    session->context = ComContext{};
    StartParams start{};
    std::snprintf(start.name, sizeof start.name, "%s", device);
    start.enabled = 1;
    start.timeout = timeoutUnits;
    start.settings = LineSettings{9600, 8, 0, 0};
    DriverRequest request{};
    request.context = &session->context;
    request.op = HUX_OP_COLD_START;
    request.data = &start;
    const int32_t result = huxMain(&request);
    if (result != HUX_OK || session->context.port == 0) {
        *error =
            "ColdStart on " + std::string(device) + " returned " + std::to_string(result) + ": " + LastLine();
        return false;
    }
    if (session->context.markerEnd == 0) {
        *error = "ColdStart on " + std::string(device) + " did not read the marker area: " + LastLine();
        return false;
    }
    return true;
}

bool PrepareGate(DriverSession *session, const Scenario &scenario, std::string *error) {
    const bool block = scenario.op == HUX_OP_BLOCK_READ || scenario.op == HUX_OP_BLOCK_WRITE;
    GateDef def{};
    def.address = scenario.address;
    def.gateType = scenario.gateType;
    def.blockSize = scenario.count;
    DriverRequest request{};
    request.context = &session->context;
    request.op = block ? HUX_OP_BLOCK_PARSE : HUX_OP_SINGLE_PARSE;
    request.data = &def;
    if (session->huxMain(&request) != HUX_OK) {
        *error = std::string("the driver refused the gate ") + scenario.address + ": " + LastLine();
        return false;
    }
    session->scenario = &scenario;
    session->transfer = GateTransfer{};
    session->transfer.address = scenario.address;
    session->transfer.gateAddr = def.gateAddr;
    session->transfer.count = scenario.count;
    session->transfer.values = session->values;
    for (size_t i = 0; i < sizeof session->values; ++i) {
        session->values[i] = static_cast<uint8_t>(i * 3 + 1);
    }
    return true;
}

void CloseSession(DriverSession *session) {
    if (session->huxMain == nullptr || session->context.port == 0) {
        return;
    }
    DriverRequest request{};
    request.context = &session->context;
    request.op = HUX_OP_CLOSE_COM;
    session->huxMain(&request);
}

int32_t Transaction(DriverSession *session, int i) {
    const Scenario &s = *session->scenario;
    if (s.op == HUX_OP_SINGLE_WRITE) {
        // A word write sends a changing value; a bit write sets and clears.
        const uint16_t value =
            std::strlen(s.address) == 9 ? static_cast<uint16_t>(i & 1) : static_cast<uint16_t>(0x1234 + i);
        session->values[2] = static_cast<uint8_t>(value & 0xFF);
        session->values[3] = static_cast<uint8_t>(value >> 8);
    } else if (s.op == HUX_OP_BLOCK_WRITE) {
        session->values[0] = static_cast<uint8_t>(i);
    }
    DriverRequest request{};
    request.context = &session->context;
    request.op = s.op;
    request.data = &session->transfer;
    return session->huxMain(&request);
}

Run RunDriver(DriverSession *session, int n, int warmup, bool timeEach) {
    for (int i = 0; i < warmup; ++i) {
        Transaction(session, i);
    }
    Run run;
    if (timeEach) {
        run.Reserve(static_cast<size_t>(n));
    }
    const uint64_t allocs = ThreadAllocations();
    const int64_t cpu = ThreadCpuNs();
    const int64_t start = NowNs();
    if (timeEach) {
        for (int i = 0; i < n; ++i) {
            const int64_t t0 = NowNs();
            const int32_t result = Transaction(session, i);
            run.latencyNs.push_back(NowNs() - t0);
            run.failures += result != HUX_OK ? 1 : 0;
        }
    } else {
        for (int i = 0; i < n; ++i) {
            run.failures += Transaction(session, i) != HUX_OK ? 1 : 0;
        }
    }
    run.transactions = n;
    run.wallNs = NowNs() - start;
    run.cpuNs = ThreadCpuNs() - cpu;
    run.allocations = ThreadAllocations() - allocs;
    return run;
}

} // namespace bench
