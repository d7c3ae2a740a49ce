// hux_bench: what the driver costs on the line, measured side by side with
// the least any program could spend there.
//
//   line   HuxMain (the product library) over a pseudo-terminal against the
//          simulated controller, and the floor: the same request bytes
//          written and the same reply bytes read with plain blocking calls
//          on the same kind of pseudo-terminal, against a responder that
//          answers at once. Rates, median and 99th-percentile latencies,
//          and the driver's figures as ratios to the floor's.
//   core   The driver alone: HuxMain over an in-memory controller. CPU time,
//          instructions (callgrind) and heap allocations per transaction.
//   paced  HuxMain against the simulator pacing its line at 9600 and
//          115200 bit/s: the time the bytes need on the wire over the
//          measured transaction time.
//
// Figures go to stdout as tables and, with --json FILE, to a JSON file.
#include <dlfcn.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/driver_runs.h"
#include "bench/mem_device.h"
#include "bench/pty_line.h"
#include "bench/scenarios.h"
#include "bench/stats.h"
#include "driver/serial/winapi.h"
#if HUX_BENCH_HAVE_SIM
#include "bench/sim_process.h"
#endif

// The driver linked into this program (over the in-memory device).
extern "C" int32_t HuxMain(DriverRequest *request);

namespace {

using namespace bench;

struct Options {
    int iterations = 500;        // line: transactions per round and side
    int rounds = 10;             // line: floor and driver take turns
    int coreIterations = 200000; // core: transactions timed in process
    int callgrindIterations = 2000;
    int paced9600 = 15;    // paced: transactions per scenario at 9600 bit/s
    int paced115200 = 150; // and at 115200 bit/s
    bool callgrind = true;
    int realtime = 0; // SCHED_FIFO priority for the bench and its children; 0: normal
    std::set<std::string> parts = {"line", "core", "paced"};
    std::set<std::string> scenarios; // empty: all
    std::string side = "both";       // line: driver, floor or both
    std::string json;
    std::string driverPath = HUX_BENCH_DRIVER_PATH;
};

void Usage() {
    std::printf("usage: hux_bench [options]\n"
                "  --parts LIST          line,core,paced (default: all)\n"
                "  --scenario LIST       byte_read,word_write,bit_write,block_read_64,block_write_64\n"
                "  --iterations N        line: transactions per round and side (default 500)\n"
                "  --rounds N            line: rounds of floor and driver in turn (default 10)\n"
                "  --side S              line: driver, floor or both (default both)\n"
                "  --core-iterations N   core: timed transactions (default 200000)\n"
                "  --callgrind-iterations N  core: transactions under callgrind (default 2000)\n"
                "  --no-callgrind        core: skip instruction counts\n"
                "  --paced N9600,N115200 paced: transactions per scenario (default 15,150)\n"
                "  --realtime PRIO       run under SCHED_FIFO at PRIO (1-99), children too, to keep\n"
                "                        other work on the machine from deciding the figures\n"
                "  --smoke               a few of everything, no callgrind (for the test suite)\n"
                "  --json FILE           write the figures as JSON\n"
                "  --driver PATH         the driver library (default: the one built with this)\n");
}

std::set<std::string> SplitSet(const std::string &text) {
    std::set<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            out.insert(item);
        }
    }
    return out;
}

[[maybe_unused]] double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool Selected(const Options &o, const Scenario &s) {
    return o.scenarios.empty() || o.scenarios.count(s.name) > 0;
}

// ---------------------------------------------------------------- JSON

class Json {
  public:
    void Open(const char *key, char bracket) {
        Key(key);
        out_ << bracket;
        first_.push_back(true);
    }
    void Close(char bracket) {
        out_ << bracket;
        first_.pop_back();
    }
    void Num(const char *key, double v) {
        Key(key);
        char b[64];
        std::snprintf(b, sizeof b, "%.6g", v);
        out_ << b;
    }
    void Str(const char *key, const std::string &v) {
        Key(key);
        out_ << '"';
        for (char c : v) {
            if (c == '"' || c == '\\') {
                out_ << '\\';
            }
            out_ << (static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
        }
        out_ << '"';
    }
    void Bool(const char *key, bool v) {
        Key(key);
        out_ << (v ? "true" : "false");
    }
    std::string Text() const { return out_.str(); }

  private:
    void Key(const char *key) {
        if (!first_.empty()) {
            if (!first_.back()) {
                out_ << ',';
            }
            first_.back() = false;
        }
        if (key != nullptr) {
            out_ << '"' << key << "\":";
        }
    }
    std::ostringstream out_;
    std::vector<bool> first_;
};

[[maybe_unused]] void SummaryJson(Json &j, const char *key, const Summary &s) {
    j.Open(key, '{');
    j.Num("transactions", static_cast<double>(s.transactions));
    j.Num("per_second", s.perSecond);
    j.Num("median_us", s.medianUs);
    j.Num("p99_us", s.p99Us);
    j.Num("mean_us", s.meanUs);
    j.Num("max_us", s.maxUs);
    j.Num("cpu_us_per_tx", s.cpuUsPerTx);
    j.Num("allocs_per_tx", s.allocsPerTx);
    j.Num("peer_cpu_us_per_tx", s.peerCpuUsPerTx);
    j.Num("failures", s.failures);
    j.Close('}');
}

// ---------------------------------------------------------------- targets

struct Target {
    std::string what;
    double value;
    std::string bound; // ">= 0.90"
    bool met;
};

std::vector<Target> g_targets;

void Check(const std::string &what, double value, const char *op, double limit) {
    const bool met = std::strcmp(op, ">=") == 0 ? value >= limit : value <= limit;
    char bound[32];
    std::snprintf(bound, sizeof bound, "%s %.2f", op, limit);
    g_targets.push_back({what, value, bound, met});
}

bool g_functionalFailure = false;

void Fail(const std::string &what) {
    std::fprintf(stderr, "hux_bench: %s\n", what.c_str());
    g_functionalFailure = true;
}

// ---------------------------------------------------------------- line

#if HUX_BENCH_HAVE_SIM

HuxMainFn LoadDriver(const std::string &path) {
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        Fail(std::string("cannot load the driver: ") + dlerror());
        return nullptr;
    }
    auto fn = reinterpret_cast<HuxMainFn>(dlsym(lib, "HuxMain"));
    if (fn == nullptr) {
        Fail("the driver library exports no HuxMain");
    }
    return fn;
}

void LinePart(const Options &o, HuxMainFn driver, Json &j) {
    const bool wantDriver = o.side != "floor";
    const bool wantFloor = o.side != "driver";

    SimProcess sim;
    DriverSession session;
    std::string error;
    if (wantDriver) {
        if (!StartSim(&sim, 0, &error) ||
            !OpenSession(&session, driver, sim.driverName.c_str(), 100, &error)) {
            Fail("line: " + error);
            StopSim(&sim);
            return;
        }
    }
    PtyPair floorPty;
    pid_t responder = -1;
    if (wantFloor) {
        if (!OpenPty(&floorPty, &error) || (responder = StartFloorResponder(&floorPty)) < 0) {
            Fail("line: floor: " + error);
            CloseSession(&session);
            StopSim(&sim);
            return;
        }
    }

    // Diagnosis: the driver against the floor's own responder tells the
    // driver's share of the difference to the floor from the simulator's.
    const bool split = wantDriver && wantFloor;
    PtyPair splitPty;
    pid_t splitResponder = -1;
    DriverSession splitSession;
    if (split) {
        if (!OpenPty(&splitPty, &error) || (splitResponder = StartFloorResponder(&splitPty)) < 0) {
            Fail("line: responder: " + error);
        } else {
            std::string name = splitPty.slaveName;
            if (name.size() > 11 && name.rfind("/dev/", 0) == 0) {
                name = name.substr(5);
            }
            if (!OpenSession(&splitSession, driver, name.c_str(), 100, &error)) {
                Fail("line: driver against the responder: " + error);
            }
            // The driver holds the line now; the responder sees it as long
            // as the driver has it open.
            close(splitPty.slave);
            splitPty.slave = -1;
        }
    }

    std::printf("\nLine: HuxMain over a pseudo-terminal against ps4sim, and the floor on the same kind of\n"
                "pseudo-terminal (plain blocking write/read against a responder that answers at once).\n"
                "%d rounds x %d transactions per side, taking turns. Latencies in microseconds. Rate ratio:\n"
                "the driver's rate over the floor's within a round, median over the rounds.\n\n",
                o.rounds, o.iterations);
    std::printf("%-16s %9s %9s %6s | %7s %7s %6s | %7s %7s %6s | %7s %7s | %5s\n", "scenario", "drv tx/s",
                "floor", "rate", "drv med", "floor", "x", "drv p99", "floor", "x", "drv p99", "floor",
                "alloc");
    std::printf("%-16s %9s %9s %6s | %7s %7s %6s | %7s %7s %6s | %7s %7s | %5s\n", "", "", "", "ratio", "",
                "", "", "", "", "", "/med", "/med", "/tx");

    struct CpuLine {
        const char *name;
        double driver, sim, floor, responder, splitDriver, splitResponder;
        double floorMedian, splitMedian, driverMedian;
        double floorRate, splitRate, driverRate;
    };
    std::vector<CpuLine> cpuLines;
    j.Open("line", '[');
    for (const Scenario &s : Scenarios()) {
        if (!Selected(o, s)) {
            continue;
        }
        if (wantDriver && !PrepareGate(&session, s, &error)) {
            Fail("line: " + error);
            continue;
        }
        const bool splitOk = split && splitSession.context.port != 0 && PrepareGate(&splitSession, s, &error);
        const std::vector<Exchange> exchanges = ExchangesOf(s);
        Run drv;
        Run flr;
        Run drvRsp;
        // Rates of each round: floor and driver ran back to back, so their
        // ratio within a round is little moved by other work on the machine.
        std::vector<double> roundRatios;
        std::vector<double> roundSplitRatios;
        double floorRoundRate = 0;
        const uint64_t logBefore = LogLines();
        for (int r = 0; r < o.rounds; ++r) {
            if (wantFloor) {
                // Untimed warm-up, then the measured run.
                RunFloor(floorPty.slave, exchanges, std::min(100, o.iterations));
                const int64_t peer = ProcessCpuNs(responder);
                Run run = RunFloor(floorPty.slave, exchanges, o.iterations);
                run.peerCpuNs = ProcessCpuNs(responder) - peer;
                floorRoundRate =
                    run.wallNs > 0 ? static_cast<double>(run.transactions) * 1e9 / run.wallNs : 0;
                flr.Add(run);
            }
            if (wantDriver) {
                RunDriver(&session, std::min(100, o.iterations), 0, false);
                const int64_t peer = ProcessCpuNs(sim.pid);
                Run run = RunDriver(&session, o.iterations, 0);
                run.peerCpuNs = ProcessCpuNs(sim.pid) - peer;
                if (floorRoundRate > 0 && run.wallNs > 0) {
                    roundRatios.push_back(static_cast<double>(run.transactions) * 1e9 / run.wallNs /
                                          floorRoundRate);
                }
                drv.Add(run);
            }
            if (splitOk) {
                RunDriver(&splitSession, std::min(100, o.iterations), 0, false);
                const int64_t peer = ProcessCpuNs(splitResponder);
                Run run = RunDriver(&splitSession, o.iterations, 0);
                run.peerCpuNs = ProcessCpuNs(splitResponder) - peer;
                if (floorRoundRate > 0 && run.wallNs > 0) {
                    roundSplitRatios.push_back(static_cast<double>(run.transactions) * 1e9 / run.wallNs /
                                               floorRoundRate);
                }
                drvRsp.Add(run);
            }
        }
        const uint64_t logLines = LogLines() - logBefore;
        const Summary d = Summarize(drv);
        const Summary f = Summarize(flr);
        if (d.failures > 0 || f.failures > 0) {
            Fail(std::string("line: ") + s.name + ": " + std::to_string(d.failures) + " driver and " +
                 std::to_string(f.failures) + " floor transactions failed");
        }
        const double pooledRate = f.perSecond > 0 ? d.perSecond / f.perSecond : 0;
        const double rate = roundRatios.empty() ? pooledRate : Median(roundRatios);
        const double med = f.medianUs > 0 ? d.medianUs / f.medianUs : 0;
        const double p99 = f.p99Us > 0 ? d.p99Us / f.p99Us : 0;
        const double spread = d.medianUs > 0 ? d.p99Us / d.medianUs : 0;
        const double floorSpread = f.medianUs > 0 ? f.p99Us / f.medianUs : 0;
        std::printf("%-16s %9.0f %9.0f %6.3f | %7.1f %7.1f %6.3f | %7.1f %7.1f %6.3f | %7.2f %7.2f | %5.2f\n",
                    s.name, d.perSecond, f.perSecond, rate, d.medianUs, f.medianUs, med, d.p99Us, f.p99Us,
                    p99, spread, floorSpread, d.allocsPerTx);
        const Summary dr = Summarize(drvRsp);
        cpuLines.push_back({s.name, d.cpuUsPerTx, d.peerCpuUsPerTx, f.cpuUsPerTx, f.peerCpuUsPerTx,
                            dr.cpuUsPerTx, dr.peerCpuUsPerTx, f.medianUs, dr.medianUs, d.medianUs, 1.0,
                            roundSplitRatios.empty() ? 0 : Median(roundSplitRatios), rate});

        j.Open(nullptr, '{');
        j.Str("scenario", s.name);
        j.Str("label", s.label);
        j.Num("wire_bytes", WireBytes(s));
        if (wantDriver) {
            SummaryJson(j, "driver", d);
            j.Num("driver_log_lines", static_cast<double>(logLines));
            j.Num("driver_p99_over_median", spread);
        }
        if (wantFloor) {
            SummaryJson(j, "floor", f);
            j.Num("floor_p99_over_median", floorSpread);
        }
        if (splitOk) {
            SummaryJson(j, "driver_with_responder", dr);
        }
        if (wantDriver && wantFloor) {
            j.Num("rate_ratio", rate);
            j.Num("rate_ratio_pooled", pooledRate);
            if (!roundSplitRatios.empty()) {
                j.Num("rate_ratio_driver_with_responder", Median(roundSplitRatios));
            }
            j.Num("median_ratio", med);
            j.Num("p99_ratio", p99);
        }
        j.Close('}');

        if (wantDriver && wantFloor) {
            const std::string name = s.name;
            if (name == "byte_read" || name == "block_read_64" || name == "block_write_64") {
                Check("line " + name + ": rate / floor rate", rate, ">=", 0.90);
            }
        }
        if (wantDriver) {
            Check(std::string("line ") + s.name + ": p99 / median", spread, "<=", 2.0);
            Check(std::string("line ") + s.name + ": heap allocations per transaction", d.allocsPerTx,
                  "<=", 0);
            if (logLines > 0) {
                std::printf("  (the driver logged %llu lines: retries or failures)\n",
                            static_cast<unsigned long long>(logLines));
            }
        }
    }
    j.Close(']');

    std::printf("\nCPU per transaction (us): the host's side / the other end of the line.\n");
    std::printf("%-16s %17s %17s %17s\n", "scenario", "floor/responder", "driver/responder", "driver/ps4sim");
    for (const CpuLine &c : cpuLines) {
        std::printf("%-16s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f\n", c.name, c.floor, c.responder,
                    c.splitDriver, c.splitResponder, c.driver, c.sim);
    }
    if (split) {
        std::printf(
            "\nWhere the time goes: median latency (us) of the floor, of the driver against the floor's own\n"
            "responder and of the driver against ps4sim; then the two driver rates as fractions of the\n"
            "floor's (median over the rounds).\n");
        std::printf("%-16s %8s %8s %8s | %8s %8s\n", "scenario", "floor", "drv/rsp", "drv/sim", "drv/rsp",
                    "drv/sim");
        for (const CpuLine &c : cpuLines) {
            std::printf("%-16s %8.1f %8.1f %8.1f | %8.3f %8.3f\n", c.name, c.floorMedian, c.splitMedian,
                        c.driverMedian, c.floorRate > 0 ? c.splitRate / c.floorRate : 0,
                        c.floorRate > 0 ? c.driverRate / c.floorRate : 0);
        }
    }

    CloseSession(&session);
    StopSim(&sim);
    if (wantFloor) {
        ClosePty(&floorPty);
        StopChild(responder);
    }
    if (split) {
        CloseSession(&splitSession);
        ClosePty(&splitPty);
        StopChild(splitResponder);
    }
}

// How late this machine wakes a thread that sleeps to a deadline (without
// timer slack), as the paced simulator does for every byte: median and 90th
// percentile in microseconds over n sleeps of one byte time at 115200 bit/s.
std::pair<double, double> WakeLateness(int n) {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<int64_t> late;
    late.reserve(static_cast<size_t>(n));
    const int64_t byteNs = 10 * 1000000000LL / 115200;
    const int64_t start = NowNs();
    for (int i = 1; i <= n; ++i) {
        const int64_t deadline = start + i * byteNs;
        const int64_t now = NowNs();
        if (deadline > now) {
            timespec ts{0, static_cast<long>(deadline - now)};
            ppoll(nullptr, 0, &ts, nullptr);
        }
        late.push_back(NowNs() - deadline);
    }
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack > 0 ? slack : 50000), 0UL, 0UL, 0UL);
    std::sort(late.begin(), late.end());
    return {static_cast<double>(late[late.size() / 2]) / 1000.0,
            static_cast<double>(late[late.size() * 9 / 10]) / 1000.0};
}

void PacedPart(const Options &o, HuxMainFn driver, Json &j) {
    const auto [lateMedian, lateP90] = WakeLateness(o.paced115200 > 2 ? 1000 : 20);
    std::printf("\nPaced line: HuxMain against ps4sim pacing its line (10 bits a byte, both directions).\n"
                "Wire time = bytes on the line x 10 / rate; ratio = wire time / measured mean time.\n"
                "This machine wakes a sleeper %.1f us late (median), %.1f us (90th percentile).\n\n",
                lateMedian, lateP90);
    j.Num("wake_late_median_us", lateMedian);
    j.Num("wake_late_p90_us", lateP90);
    std::printf("%-8s %-16s %6s %10s %10s %10s %10s %7s\n", "bit/s", "scenario", "bytes", "wire ms",
                "mean ms", "median ms", "p99 ms", "ratio");
    j.Open("paced", '[');
    const std::pair<uint32_t, int> rates[] = {{9600, o.paced9600}, {115200, o.paced115200}};
    for (const auto &[baud, n] : rates) {
        if (n <= 0) {
            continue;
        }
        SimProcess sim;
        DriverSession session;
        std::string error;
        if (!StartSim(&sim, baud, &error) ||
            !OpenSession(&session, driver, sim.driverName.c_str(), 100, &error)) {
            Fail("paced: " + error);
            StopSim(&sim);
            continue;
        }
        for (const Scenario &s : Scenarios()) {
            if (!Selected(o, s)) {
                continue;
            }
            if (!PrepareGate(&session, s, &error)) {
                Fail("paced: " + error);
                continue;
            }
            const Run run = RunDriver(&session, n, 2);
            const Summary m = Summarize(run);
            if (m.failures > 0) {
                Fail(std::string("paced: ") + s.name + ": " + std::to_string(m.failures) +
                     " transactions failed");
            }
            const int bytes = WireBytes(s);
            const double wireMs = bytes * 10.0 * 1000.0 / baud;
            const double meanMs = m.meanUs / 1000.0;
            const double ratio = meanMs > 0 ? wireMs / meanMs : 0;
            std::printf("%-8u %-16s %6d %10.3f %10.3f %10.3f %10.3f %7.4f\n", baud, s.name, bytes, wireMs,
                        meanMs, m.medianUs / 1000.0, m.p99Us / 1000.0, ratio);
            j.Open(nullptr, '{');
            j.Num("baud", baud);
            j.Str("scenario", s.name);
            j.Num("wire_bytes", bytes);
            j.Num("wire_ms", wireMs);
            SummaryJson(j, "driver", m);
            j.Num("wire_over_measured", ratio);
            j.Num("wire_over_median", m.medianUs > 0 ? wireMs * 1000.0 / m.medianUs : 0);
            j.Close('}');
            Check("paced " + std::to_string(baud) + " " + s.name + ": wire / measured", ratio, ">=", 0.97);
        }
        CloseSession(&session);
        StopSim(&sim);
    }
    j.Close(']');
}

#endif // HUX_BENCH_HAVE_SIM

// ---------------------------------------------------------------- core

// The same calls to the in-memory device that the driver makes for one
// transaction, without the driver: what the device itself costs.
__attribute__((noinline)) void DeviceExchanges(HANDLE device, const std::vector<Exchange> &exchanges) {
    uint8_t reply[128];
    for (const Exchange &e : exchanges) {
        DWORD done = 0;
        WriteFile(device, e.request.data(), static_cast<DWORD>(e.request.size()), &done, nullptr);
        ReadFile(device, reply, static_cast<DWORD>(e.replyBytes), &done, nullptr);
    }
}

HANDLE DeviceOf(const DriverSession &session) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(session.context.port));
}

} // namespace

// The loops callgrind counts (--toggle-collect names them).
extern "C" __attribute__((noinline, visibility("default"))) void hux_bench_driver_loop(DriverSession *session,
                                                                                       int n) {
    for (int i = 0; i < n; ++i) {
        Transaction(session, i);
    }
}

extern "C" __attribute__((noinline, visibility("default"))) void
hux_bench_device_loop(HANDLE device, const std::vector<Exchange> *exchanges, int n) {
    for (int i = 0; i < n; ++i) {
        DeviceExchanges(device, *exchanges);
    }
}

namespace {

// Runs under callgrind: one loop of one scenario.
int CallgrindChild(const std::string &what, const std::string &name, int n) {
    const Scenario *s = FindScenario(name.c_str());
    DriverSession session;
    std::string error;
    if (s == nullptr || !OpenSession(&session, HuxMain, kMemDeviceName, 100, &error) ||
        !PrepareGate(&session, *s, &error)) {
        std::fprintf(stderr, "callgrind child: %s\n", error.c_str());
        return 1;
    }
    const std::vector<Exchange> exchanges = ExchangesOf(*s);
    hux_bench_driver_loop(&session, 10); // warm
    if (what == "driver") {
        hux_bench_driver_loop(&session, n);
    } else {
        hux_bench_device_loop(DeviceOf(session), &exchanges, n);
    }
    return 0;
}

// Instructions of one loop under callgrind; -1 when valgrind is missing.
double CallgrindCount(const std::string &self, const std::string &what, const char *scenario, int n) {
    char out[] = "/tmp/hux_bench_cg.XXXXXX";
    const int fd = mkstemp(out);
    if (fd < 0) {
        return -1;
    }
    close(fd);
    const std::string toggle = what == "driver" ? "hux_bench_driver_loop" : "hux_bench_device_loop";
    const std::string command = "valgrind --tool=callgrind --callgrind-out-file=" + std::string(out) +
                                " --toggle-collect=" + toggle + " '" + self + "' --callgrind-child " + what +
                                " " + scenario + " " + std::to_string(n) + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    double total = -1;
    if (status == 0) {
        std::ifstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0) {
                total = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
                break;
            }
        }
    }
    std::remove(out);
    return total < 0 ? -1 : total / n;
}

bool HaveValgrind() {
    return std::system("valgrind --version >/dev/null 2>&1") == 0;
}

void CorePart(const Options &o, const std::string &self, Json &j) {
    DriverSession session;
    std::string error;
    if (!OpenSession(&session, HuxMain, kMemDeviceName, 100, &error)) {
        Fail("core: " + error);
        return;
    }
    const bool callgrind = o.callgrind && HaveValgrind();
    std::printf("\nCore: HuxMain over an in-memory controller (no system calls): the driver's own cost.\n"
                "%d timed transactions per scenario; instructions from callgrind over %d (%s).\n"
                "'device' is the in-memory controller alone doing the same exchanges; 'driver' is the\n"
                "difference.\n\n",
                o.coreIterations, o.callgrindIterations, callgrind ? "valgrind" : "skipped");
    std::printf("%-16s %10s %10s %12s %12s %12s %9s\n", "scenario", "ns/tx", "cpu ns/tx", "instr/tx",
                "device", "driver", "alloc/tx");
    j.Open("core", '[');
    for (const Scenario &s : Scenarios()) {
        if (!Selected(o, s)) {
            continue;
        }
        if (!PrepareGate(&session, s, &error)) {
            Fail("core: " + error);
            continue;
        }
        const std::vector<Exchange> exchanges = ExchangesOf(s);
        const uint64_t framesBefore = MemDeviceFrames();
        const uint64_t bytesBefore = MemDeviceBytes();
        const Run run = RunDriver(&session, o.coreIterations, 1000, false);
        const uint64_t frames = MemDeviceFrames() - framesBefore;
        // The floor and the wire times stand for the driver's exchanges only
        // if the driver moves exactly the bytes they assume.
        const uint64_t bytes = MemDeviceBytes() - bytesBefore;
        const uint64_t expected = static_cast<uint64_t>(WireBytes(s)) * (1000 + o.coreIterations);
        if (bytes != expected) {
            Fail(std::string("core: ") + s.name + ": the driver moved " + std::to_string(bytes) +
                 " bytes, the floor assumes " + std::to_string(expected));
        }
        const Summary m = Summarize(run);
        if (m.failures > 0) {
            Fail(std::string("core: ") + s.name + ": " + std::to_string(m.failures) + " transactions failed");
        }
        const double wallNs = static_cast<double>(run.wallNs) / o.coreIterations;
        const double cpuNs = static_cast<double>(run.cpuNs) / o.coreIterations;
        double total = -1;
        double device = -1;
        if (callgrind) {
            total = CallgrindCount(self, "driver", s.name, o.callgrindIterations);
            device = CallgrindCount(self, "device", s.name, o.callgrindIterations);
        }
        const double own = total >= 0 && device >= 0 ? total - device : -1;
        std::printf("%-16s %10.1f %10.1f %12.0f %12.0f %12.0f %9.2f\n", s.name, wallNs, cpuNs, total, device,
                    own, m.allocsPerTx);
        j.Open(nullptr, '{');
        j.Str("scenario", s.name);
        j.Num("transactions", static_cast<double>(m.transactions));
        j.Num("frames_per_tx", static_cast<double>(frames) / static_cast<double>(1000 + o.coreIterations));
        j.Num("wall_ns_per_tx", wallNs);
        j.Num("cpu_ns_per_tx", cpuNs);
        j.Num("allocs_per_tx", m.allocsPerTx);
        if (callgrind) {
            j.Num("instructions_per_tx", total);
            j.Num("device_instructions_per_tx", device);
            j.Num("driver_instructions_per_tx", own);
        }
        j.Close('}');
        Check(std::string("core ") + s.name + ": heap allocations per transaction", m.allocsPerTx, "<=", 0);
    }
    j.Close(']');
    CloseSession(&session);
}

// ---------------------------------------------------------------- conditions

std::string ReadFirstLine(const char *path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

void Conditions(const Options &o, Json &j, const char *key) {
    utsname u{};
    uname(&u);
    char when[64];
    const time_t now = time(nullptr);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    const std::string load = ReadFirstLine("/proc/loadavg");
    j.Open(key, '{');
    j.Str("time", when);
    j.Str("kernel", std::string(u.sysname) + " " + u.release + " " + u.machine);
    j.Num("cpus", std::thread::hardware_concurrency());
    j.Str("loadavg", load);
    j.Str("driver", o.driverPath);
    j.Num("sched_fifo_priority", o.realtime);
    j.Close('}');
    std::printf("%s: %s, %u CPUs, load average %s\n", key, when, std::thread::hardware_concurrency(),
                load.c_str());
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "hux_bench: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--callgrind-child" && i + 3 < argc) {
            return CallgrindChild(argv[i + 1], argv[i + 2], std::atoi(argv[i + 3]));
        } else if (a == "--parts") {
            o.parts = SplitSet(next());
        } else if (a == "--scenario") {
            o.scenarios = SplitSet(next());
        } else if (a == "--iterations") {
            o.iterations = std::max(1, std::atoi(next().c_str()));
        } else if (a == "--rounds") {
            o.rounds = std::max(1, std::atoi(next().c_str()));
        } else if (a == "--side") {
            o.side = next();
        } else if (a == "--core-iterations") {
            o.coreIterations = std::max(1, std::atoi(next().c_str()));
        } else if (a == "--callgrind-iterations") {
            o.callgrindIterations = std::max(1, std::atoi(next().c_str()));
        } else if (a == "--no-callgrind") {
            o.callgrind = false;
        } else if (a == "--paced") {
            const std::string v = next();
            o.paced9600 = std::atoi(v.c_str());
            const size_t comma = v.find(',');
            o.paced115200 = comma == std::string::npos ? o.paced9600 : std::atoi(v.c_str() + comma + 1);
        } else if (a == "--smoke") {
            o.iterations = 20;
            o.rounds = 1;
            o.coreIterations = 200;
            o.callgrind = false;
            o.paced9600 = 0;
            o.paced115200 = 2;
        } else if (a == "--realtime") {
            o.realtime = std::atoi(next().c_str());
        } else if (a == "--json") {
            o.json = next();
        } else if (a == "--driver") {
            o.driverPath = next();
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "hux_bench: unknown option %s\n", a.c_str());
            Usage();
            return 2;
        }
    }
    for (const std::string &name : o.scenarios) {
        if (FindScenario(name.c_str()) == nullptr) {
            std::fprintf(stderr, "hux_bench: unknown scenario %s\n", name.c_str());
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CountLogLines();
    {
        // The allocation figures mean something only if malloc is counted.
        const uint64_t before = ThreadAllocations();
        void *volatile block = std::malloc(24);
        std::free(block);
        if (ThreadAllocations() == before) {
            Fail("heap allocations are not being counted");
        }
    }

    char self[4096] = {};
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::snprintf(self, sizeof self, "%s", argv[0]);
    }

    if (o.realtime > 0) {
        sched_param param{};
        param.sched_priority = o.realtime;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
            std::fprintf(stderr, "hux_bench: SCHED_FIFO %d: %s\n", o.realtime, std::strerror(errno));
            return 2;
        }
    }

    Json j;
    j.Open(nullptr, '{');
    Conditions(o, j, "start");

    if (o.parts.count("core") > 0) {
        CorePart(o, self, j);
    }
#if HUX_BENCH_HAVE_SIM
    const bool onLine = o.parts.count("line") > 0 || o.parts.count("paced") > 0;
    HuxMainFn driver = onLine ? LoadDriver(o.driverPath) : nullptr;
    if (driver != nullptr && o.parts.count("line") > 0) {
        LinePart(o, driver, j);
    }
    if (driver != nullptr && o.parts.count("paced") > 0) {
        PacedPart(o, driver, j);
    }
#else
    if (o.parts.count("line") > 0 || o.parts.count("paced") > 0) {
        std::printf("\n(line and paced parts need the simulator, which this build does not have)\n");
    }
#endif

    std::printf("\nTargets:\n");
    j.Open("targets", '[');
    for (const Target &t : g_targets) {
        std::printf("  %-6s %-58s %8.3f  (%s)\n", t.met ? "met" : "MISSED", t.what.c_str(), t.value,
                    t.bound.c_str());
        j.Open(nullptr, '{');
        j.Str("what", t.what);
        j.Num("value", t.value);
        j.Str("bound", t.bound);
        j.Bool("met", t.met);
        j.Close('}');
    }
    j.Close(']');
    Conditions(o, j, "end");
    j.Bool("all_transactions_ok", !g_functionalFailure);
    j.Close('}');

    if (!o.json.empty()) {
        std::ofstream out(o.json);
        out << j.Text() << '\n';
        if (!out) {
            std::fprintf(stderr, "hux_bench: cannot write %s\n", o.json.c_str());
            return 1;
        }
    }
    return g_functionalFailure ? 1 : 0;
}
