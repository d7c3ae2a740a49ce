// The soak: see soak.h.
#include "tests/soak/soak.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "driver/host/huxdrvr.h"
#include "sim/simulator.h"
#include "tests/soak/soak_log.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

// The simulated controller's marker area: 0x1000..0x1FFF (4 KiB).
constexpr uint16_t kMarkerStart = 0x1000;
constexpr uint16_t kMarkerEnd = 0x1FFF;
constexpr int kAreaBytes = kMarkerEnd - kMarkerStart + 1;
// Frames an operation may send at most: a bit write's read half (6) and six
// attempts of two frames each.
constexpr int kFramesPerOp = 18;
// Kept findings in the report.
constexpr size_t kMaxFindings = 12;

// Where the model's value of a marker byte comes from.
enum class Source : uint8_t { Unknown, Initial, Read, Write };

struct Cell {
    uint8_t value = 0;
    Source source = Source::Unknown;
    uint64_t op = 0; // the operation that last wrote or read it
};

enum Kind {
    kReadByte,
    kReadWord,
    kReadBitB,
    kReadBitW,
    kBlockReadB,
    kBlockReadW,
    kWriteByte,
    kWriteWord,
    kWriteBitB,
    kWriteBitW,
    kBlockWriteB,
    kBlockWriteW,
    kKindCount
};

const char *KindName(Kind kind) {
    static const char *const kNames[kKindCount] = {
        "single read B",  "single read W",  "bit read B",  "bit read W",  "block read B",  "block read W",
        "single write B", "single write W", "bit write B", "bit write W", "block write B", "block write W"};
    return kNames[kind];
}

bool IsRead(Kind kind) {
    return kind <= kBlockReadW;
}
bool IsBlock(Kind kind) {
    return kind == kBlockReadB || kind == kBlockReadW || kind == kBlockWriteB || kind == kBlockWriteW;
}
bool IsWord(Kind kind) {
    return kind == kReadWord || kind == kReadBitW || kind == kBlockReadW || kind == kWriteWord ||
           kind == kWriteBitW || kind == kBlockWriteW;
}
bool IsBit(Kind kind) {
    return kind == kReadBitB || kind == kReadBitW || kind == kWriteBitB || kind == kWriteBitW;
}

class Soak {
  public:
    Soak(const Options &options, Report &report)
        : options_(options), report_(report), rng_(options.seed), sim_(SimConfig(options)) {}

    bool Setup();
    void RunOne(uint64_t n);
    void Checkpoint();
    void Finish();

  private:
    static ps4sim::Config SimConfig(const Options &options) {
        ps4sim::Config config;
        config.seed = options.seed;
        return config;
    }

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    void Finding(const std::string &what);
    void ScriptFaults(int answerLength);
    int64_t BoundMs(Kind kind) const;
    bool ParseGate(const std::string &text, bool block, int32_t gateType, int32_t blockSize, GateAddr *gate);
    void CheckRead(Kind kind, const GateAddr &gate, int bytes, int valueKind, const std::vector<uint8_t> &buf,
                   const std::string &text);
    void ApplyWrite(Kind kind, const GateAddr &gate, int bytes, uint16_t requested,
                    const std::vector<uint8_t> &data, uint64_t n);

    const Options &options_;
    Report &report_;
    std::mt19937_64 rng_;
    ps4sim::Simulator sim_;
    std::array<Cell, kAreaBytes> model_{};
    ComContext context_{};
    std::mutex faultsMu_;
    std::map<std::string, uint64_t> faults_; // applied, by kind, from the controller's trace
    // The successful writes since the last checkpoint: what they were, and
    // with --verbose the driver's lines of them.
    std::map<uint64_t, std::string> writes_;
};

void Soak::Finding(const std::string &what) {
    if (report_.findings.size() < kMaxFindings) {
        std::string text = what;
        if (options_.verbose && what.rfind("lost write", 0) != 0) {
            for (const std::string &line : soaklog::Recent()) {
                text += "\n    log: " + line;
            }
        }
        report_.findings.push_back(text);
    }
    if (options_.verbose) {
        std::fprintf(stderr, "finding: %s\n", what.c_str());
    }
}

bool Soak::Setup() {
    std::string error;
    if (!sim_.OpenPty(&error) || !sim_.Start(&error)) {
        Finding("simulator: " + error);
        return false;
    }
    report_.line = sim_.Path();
    sim_.SetTraceSink([this](const ps4sim::TraceEvent &event) {
        if (event.toController || event.verdict.rfind("fault ", 0) != 0) {
            return;
        }
        const std::string text = event.verdict.substr(6);
        std::lock_guard<std::mutex> lock(faultsMu_);
        ++faults_[text.substr(0, text.find_first_of("=, "))];
    });

    // Random memory, known to the model.
    ps4sim::Bytes image(kAreaBytes);
    for (int i = 0; i < kAreaBytes; ++i) {
        image[i] = static_cast<uint8_t>(rng_());
        model_[i] = Cell{image[i], Source::Initial};
    }
    sim_.Poke(kMarkerStart, image);

    StartParams start{};
    const std::string name = sim_.DriverName();
    std::snprintf(start.name, sizeof start.name, "%s", name.c_str());
    start.enabled = 1;
    start.timeout = options_.timeout;
    start.settings = LineSettings{9600, 8, 0, 0};
    context_.portParams.flags = 0x0303;
    DriverRequest request{};
    request.context = &context_;
    request.op = HUX_OP_COLD_START;
    request.data = &start;
    const int32_t result = HuxMain(&request);
    if (result != HUX_OK || context_.port == 0 || context_.markerStart != kMarkerStart ||
        context_.markerEnd != kMarkerEnd) {
        char b[160];
        std::snprintf(b, sizeof b, "cold start on %s: result %d, port %u, marker area %04x..%04x",
                      name.c_str(), result, context_.port, context_.markerStart, context_.markerEnd);
        Finding(b);
        return false;
    }
    return true;
}

// Faults for the frames the next operation sends: each answer gets one with
// the configured probability. answerLength is the length of the answers the
// operation expects (a read reply, or 1 for acknowledgements; 0 when both
// occur), so that cuts and corruption land anywhere inside them.
void Soak::ScriptFaults(int answerLength) {
    static const ps4sim::FaultKind kAll[] = {ps4sim::FaultKind::Drop,    ps4sim::FaultKind::Short,
                                             ps4sim::FaultKind::Corrupt, ps4sim::FaultKind::Lrc,
                                             ps4sim::FaultKind::Count,   ps4sim::FaultKind::Nack,
                                             ps4sim::FaultKind::Noise,   ps4sim::FaultKind::Delay};
    const uint64_t base = sim_.GetStats().frames;
    for (int i = 1; i <= kFramesPerOp; ++i) {
        if (!Chance(options_.rate)) {
            continue;
        }
        ps4sim::FaultRule rule;
        rule.atFrame = base + static_cast<uint64_t>(i);
        rule.times = 1;
        rule.fault.kind = options_.kinds.empty()
                              ? kAll[Below(8)]
                              : options_.kinds[Below(static_cast<uint32_t>(options_.kinds.size()))];
        const int length = answerLength > 0 ? answerLength : 6;
        switch (rule.fault.kind) {
        case ps4sim::FaultKind::Short:
            rule.fault.arg = answerLength > 1 ? static_cast<int>(Below(static_cast<uint32_t>(length))) : -1;
            break;
        case ps4sim::FaultKind::Corrupt:
            rule.fault.arg = static_cast<int>(Below(static_cast<uint32_t>(length)));
            break;
        case ps4sim::FaultKind::Nack: {
            int code = static_cast<int>(Below(256));
            rule.fault.arg = code == 0x06 ? 0x15 : code; // 0x06 would be a yes
            break;
        }
        case ps4sim::FaultKind::Noise:
            rule.fault.arg = 1 + static_cast<int>(Below(8));
            break;
        case ps4sim::FaultKind::Delay:
            rule.fault.arg =
                1 + static_cast<int>(Below(static_cast<uint32_t>(std::max(1, options_.maxDelayMs))));
            break;
        default:
            break;
        }
        sim_.AddFault(rule);
    }
}

// How long an operation may take at most: every attempt with a drain (one
// read of 50 ms) and each of its answers collected by two reads of the
// timeout (a reply cut short costs one read with bytes and one without),
// after a missed answer the wait for the line to fall quiet (two reads of
// the timeout), and a second of slack for a loaded machine.
int64_t Soak::BoundMs(Kind kind) const {
    const int64_t t = int64_t{options_.timeout} * 10;
    const int64_t readTx = 6 * (50 + 2 * t) + 2 * t;
    const int64_t writeTx = 6 * (50 + 4 * t) + 2 * t;
    int64_t bound = IsRead(kind) ? readTx : writeTx;
    if (kind == kWriteBitB || kind == kWriteBitW) {
        bound += readTx;
    }
    return bound + 1000;
}

bool Soak::ParseGate(const std::string &text, bool block, int32_t gateType, int32_t blockSize,
                     GateAddr *gate) {
    GateDef def{};
    def.address = text.c_str();
    def.gateType = gateType;
    def.blockSize = blockSize;
    DriverRequest request{};
    request.context = &context_;
    request.op = block ? HUX_OP_BLOCK_PARSE : HUX_OP_SINGLE_PARSE;
    request.data = &def;
    if (HuxMain(&request) != HUX_OK) {
        Finding("the parser refused " + text);
        ++report_.unexpectedResults;
        return false;
    }
    *gate = def.gateAddr;
    return true;
}

void Soak::CheckRead(Kind kind, const GateAddr &gate, int bytes, int valueKind,
                     const std::vector<uint8_t> &buf, const std::string &text) {
    const int offset = IsWord(kind) ? gate.index * 2 : gate.index;
    // The bytes the read delivered, where it delivered them whole.
    std::vector<int> got(static_cast<size_t>(bytes), -1);
    uint16_t word = static_cast<uint16_t>(buf[2] | (buf[3] << 8));
    if (IsBlock(kind)) {
        for (int i = 0; i < bytes; ++i) {
            got[i] = buf[i];
        }
    } else if (!IsBit(kind)) {
        got[0] = word & 0xFF;
        if (bytes == 2) {
            got[1] = word >> 8;
        }
    }
    bool wrong = false;
    std::string detail;
    if (IsBit(kind)) {
        const Cell &cell = model_[offset]; // bits 0 to 7 lie in the first byte
        if (cell.source != Source::Unknown && word != ((cell.value >> gate.bit) & 1)) {
            wrong = true;
        }
    } else {
        if (!IsBlock(kind) && bytes == 1) {
            // The byte's extension to 16 bits.
            const uint16_t want = valueKind == 1 ? static_cast<uint16_t>(static_cast<int8_t>(word & 0xFF))
                                                 : static_cast<uint16_t>(word & 0xFF);
            if (word != want) {
                wrong = true;
            }
        }
        for (int i = 0; i < bytes; ++i) {
            Cell &cell = model_[offset + i];
            if (cell.source == Source::Unknown) {
                cell = Cell{static_cast<uint8_t>(got[i]), Source::Read};
                ++report_.unknownResolved;
            } else if (cell.value != got[i]) {
                wrong = true;
                char b[64];
                std::snprintf(b, sizeof b, " [%d]: got %02x, memory %02x", i, got[i], cell.value);
                detail += b;
            }
        }
    }
    if (wrong) {
        ++report_.wrongValues;
        Finding(std::string("wrong value: ") + KindName(kind) + " " + text + detail);
        // The controller's memory is the truth from here on.
        const ps4sim::Bytes now =
            sim_.Peek(static_cast<uint16_t>(kMarkerStart + offset), static_cast<size_t>(bytes));
        for (int i = 0; i < bytes; ++i) {
            model_[offset + i] = Cell{now[i], Source::Read};
        }
    }
}

void Soak::ApplyWrite(Kind kind, const GateAddr &gate, int bytes, uint16_t requested,
                      const std::vector<uint8_t> &data, uint64_t n) {
    const int offset = IsWord(kind) ? gate.index * 2 : gate.index;
    if (IsBlock(kind)) {
        for (int i = 0; i < bytes; ++i) {
            model_[offset + i] = Cell{data[i], Source::Write, n};
        }
    } else if (IsBit(kind)) {
        Cell &cell = model_[offset];
        if (cell.source != Source::Unknown) {
            const uint8_t mask = static_cast<uint8_t>(1u << gate.bit);
            cell.value = requested != 0 ? (cell.value | mask) : (cell.value & ~mask);
            cell.source = Source::Write;
            cell.op = n;
        }
        // The rest of the byte or word went back as it was read.
    } else {
        model_[offset] = Cell{static_cast<uint8_t>(requested & 0xFF), Source::Write, n};
        if (bytes == 2) {
            model_[offset + 1] = Cell{static_cast<uint8_t>(requested >> 8), Source::Write, n};
        }
    }
}

void Soak::RunOne(uint64_t n) {
    const Kind kind = static_cast<Kind>(Below(kKindCount));
    const bool word = IsWord(kind);
    const bool block = IsBlock(kind);
    const bool bit = IsBit(kind);
    const int elementBytes = word ? 2 : 1;
    const int maxElements = word ? 32 : 64;
    const int count = block ? 1 + static_cast<int>(Below(static_cast<uint32_t>(maxElements))) : 1;
    const int bytes = count * elementBytes;
    // Now and then a gate whose range ends beyond the marker area.
    const bool outside = Chance(0.02);
    const int areaElements = kAreaBytes / elementBytes;
    int index = 0;
    if (outside) {
        index = areaElements - count + 1 + static_cast<int>(Below(40));
    } else {
        index = static_cast<int>(Below(static_cast<uint32_t>(areaElements - count + 1)));
    }
    const int bitNumber = bit ? static_cast<int>(Below(8)) : -1;
    // A word gate's text names its byte offset, which is even.
    const int textNumber = word ? index * 2 : index;
    char text[16];
    if (bit) {
        std::snprintf(text, sizeof text, "M%c%05d.%d", word ? 'W' : 'B', textNumber, bitNumber);
    } else {
        std::snprintf(text, sizeof text, "M%c%05d", word ? 'W' : 'B', textNumber);
    }
    GateAddr gate{};
    if (!ParseGate(text, block, bit ? 6 : 0, count, &gate)) {
        return;
    }

    // The host's buffer with a canary behind what the operation may use.
    const size_t used = block ? static_cast<size_t>(bytes) : 4;
    std::vector<uint8_t> buf(used + 16);
    for (uint8_t &b : buf) {
        b = static_cast<uint8_t>(rng_());
    }
    uint16_t requested = 0;
    if (!IsRead(kind) && !block) {
        requested =
            bit ? (Chance(0.1) ? 0x0100 : static_cast<uint16_t>(Below(2))) : static_cast<uint16_t>(rng_());
        buf[2] = static_cast<uint8_t>(requested & 0xFF);
        buf[3] = static_cast<uint8_t>(requested >> 8);
    }
    const std::vector<uint8_t> before = buf;
    const int valueKind = static_cast<int>(Below(3));

    GateTransfer transfer{};
    transfer.address = text;
    transfer.gateAddr = gate;
    transfer.valueKind = valueKind;
    transfer.count = block ? count : 7;
    transfer.values = buf.data();
    DriverRequest request{};
    request.context = &context_;
    request.data = &transfer;
    switch (kind) {
    case kBlockReadB:
    case kBlockReadW:
        request.op = HUX_OP_BLOCK_READ;
        break;
    case kBlockWriteB:
    case kBlockWriteW:
        request.op = HUX_OP_BLOCK_WRITE;
        break;
    default:
        request.op = IsRead(kind) ? HUX_OP_SINGLE_READ : HUX_OP_SINGLE_WRITE;
        break;
    }

    const int answerLength = IsRead(kind) ? bytes + 5 : (kind == kWriteBitB || kind == kWriteBitW) ? 0 : 1;
    ScriptFaults(answerLength);
    if (options_.verbose) {
        soaklog::Mark("operation " + std::to_string(n) + ": " + KindName(kind) + " " + text);
    }
    const auto t0 = Clock::now();
    const int32_t result = HuxMain(&request);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    sim_.ClearFaults();

    ++report_.ops;
    ++report_.opsByKind[KindName(kind)];
    if (options_.verbose) {
        soaklog::Mark("result " + std::to_string(result));
    }
    if (options_.trace) {
        std::fprintf(stderr, "%llu %s %s count %d -> %d in %.1f ms, buffer",
                     static_cast<unsigned long long>(n), KindName(kind), text, count, result, ms);
        for (size_t i = 0; i < std::min<size_t>(buf.size() - 16, 8); ++i) {
            std::fprintf(stderr, " %02x", buf[i]);
        }
        std::fprintf(stderr, "\n");
    }
    if (result >= 0 && result <= 2) {
        ++report_.results[result];
    }
    char where[48];
    std::snprintf(where, sizeof where, " (operation %llu)", static_cast<unsigned long long>(n));

    // Time.
    const int64_t bound = BoundMs(kind);
    if (ms > report_.longestMs) {
        report_.longestMs = ms;
        report_.longestKind = KindName(kind);
        report_.boundOfLongestMs = static_cast<double>(bound);
    }
    if (ms > static_cast<double>(bound)) {
        ++report_.timeoutsExceeded;
        Finding(std::string(KindName(kind)) + " " + text + " took " + std::to_string(ms) + " ms" + where);
    }

    // Result.
    const int want = outside ? (kind == kWriteBitB || kind == kWriteBitW ? HUX_FAILED : HUX_REFUSED) : -1;
    if (outside) {
        if (result != want) {
            ++report_.unexpectedResults;
            Finding(std::string(KindName(kind)) + " " + text + " outside the marker area gave " +
                    std::to_string(result) + where);
        } else {
            ++report_.refusedOutside;
        }
    } else if (result != HUX_OK && result != HUX_FAILED) {
        ++report_.unexpectedResults;
        Finding(std::string(KindName(kind)) + " " + text + " gave " + std::to_string(result) + where);
    }

    // The record and the buffer.
    if (std::memcmp(&transfer.gateAddr, &gate, sizeof gate) != 0 ||
        (!block && transfer.count != 1 && result != HUX_REFUSED) || (block && transfer.count != count)) {
        ++report_.bufferViolations;
        Finding(std::string("transfer record changed: ") + text + where);
    }
    bool bufferOk = std::equal(buf.begin() + static_cast<long>(used), buf.end(),
                               before.begin() + static_cast<long>(used));
    if (result != HUX_OK || !IsRead(kind)) {
        bufferOk = bufferOk && buf == before;
    } else if (!block) {
        bufferOk = bufferOk && buf[0] == before[0] && buf[1] == before[1];
    }
    if (!bufferOk) {
        ++report_.bufferViolations;
        Finding(std::string("host's buffer changed: ") + KindName(kind) + " " + text + " result " +
                std::to_string(result) + where);
    }

    // The model.
    if (outside) {
        return;
    }
    const int offset = word ? gate.index * 2 : gate.index;
    if (result == HUX_OK) {
        if (IsRead(kind)) {
            CheckRead(kind, gate, bytes, valueKind, buf, std::string(text) + where);
        } else {
            ApplyWrite(kind, gate, bytes, requested, before, n);
            std::string info = std::string(KindName(kind)) + " " + text + where;
            if (options_.verbose) {
                const std::vector<std::string> lines = soaklog::Recent();
                size_t from = lines.size();
                while (from > 0 && lines[from - 1].rfind("-- operation ", 0) != 0) {
                    --from;
                }
                for (size_t i = from; i < lines.size(); ++i) {
                    info += "\n    log: " + lines[i];
                }
            }
            writes_[n] = info;
        }
    } else if (!IsRead(kind)) {
        // A failed write may still have reached the controller: its range is
        // unknown until the next successful read or write.
        for (int i = 0; i < bytes; ++i) {
            model_[offset + i].source = Source::Unknown;
        }
    }
}

// Compares the model with the controller's memory once the line is quiet:
// a byte written by a write that returned 0 and holding something else is a
// lost write; any other known byte that changed was changed behind the
// driver's back.
void Soak::Checkpoint() {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(options_.maxDelayMs + 3 * options_.timeout * 10 + 50));
    ++report_.checkpoints;
    const ps4sim::Bytes memory = sim_.Peek(kMarkerStart, kAreaBytes);
    std::map<uint64_t, int> lost; // write operation -> bytes of it not in memory
    for (int i = 0; i < kAreaBytes; ++i) {
        Cell &cell = model_[i];
        if (cell.source == Source::Unknown) {
            ++report_.unknownResolved;
        } else if (cell.value != memory[i]) {
            if (cell.source == Source::Write) {
                ++lost[cell.op];
                ++report_.lostBytes;
            } else {
                char b[96];
                std::snprintf(b, sizeof b, "memory at %04x holds %02x, the model %02x (read or initial)",
                              kMarkerStart + i, memory[i], cell.value);
                Finding(b);
                ++report_.strayWrites;
            }
        }
        cell = Cell{memory[i], cell.source == Source::Unknown ? Source::Read : cell.source, cell.op};
    }
    for (const auto &entry : lost) {
        ++report_.lostWrites;
        const auto it = writes_.find(entry.first);
        const std::string what =
            it != writes_.end() ? it->second : "operation " + std::to_string(entry.first);
        Finding("lost write, " + std::to_string(entry.second) + " bytes not in memory: " + what);
    }
    writes_.clear();
}

void Soak::Finish() {
    std::lock_guard<std::mutex> lock(faultsMu_);
    report_.faultsByKind = faults_;
    report_.faults = 0;
    for (const auto &entry : faults_) {
        report_.faults += entry.second;
    }
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

Report Run(const Options &options) {
    Report report;
    const auto t0 = Clock::now();
    const double cpu0 = CpuSeconds();
    {
        Soak soak(options, report);
        if (!soak.Setup()) {
            report.setupFailed = true;
            return report;
        }
        const uint64_t step = std::max<uint64_t>(1, options.ops / 20);
        for (uint64_t n = 1; n <= options.ops; ++n) {
            soak.RunOne(n);
            if (options.checkEvery != 0 && n % options.checkEvery == 0 && n != options.ops) {
                soak.Checkpoint();
            }
            if (options.progress && n % step == 0) {
                const double s = std::chrono::duration<double>(Clock::now() - t0).count();
                std::fprintf(stderr,
                             "hux_soak: %llu operations, %.1f s, wrong values %llu, lost writes %llu\n",
                             static_cast<unsigned long long>(n), s,
                             static_cast<unsigned long long>(report.wrongValues),
                             static_cast<unsigned long long>(report.lostWrites));
            }
        }
        soak.Checkpoint();
        soak.Finish();
    }
    report.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    report.cpuSeconds = CpuSeconds() - cpu0;
    return report;
}

std::string Format(const Options &options, const Report &report) {
    std::ostringstream out;
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    char b[256];
    std::snprintf(
        b, sizeof b,
        "hux_soak: seed %llu, fault rate %.3f per answer, delays up to %d ms, driver timeout %d ms, "
        "line %s\n",
        u(options.seed), options.rate, options.maxDelayMs, options.timeout * 10, report.line.c_str());
    out << b;
    out << "operations done:         " << report.ops << "\n";
    for (const auto &entry : report.opsByKind) {
        std::snprintf(b, sizeof b, "  %-22s %llu\n", entry.first.c_str(), u(entry.second));
        out << b;
    }
    std::snprintf(
        b, sizeof b,
        "results:                 0: %llu, 1: %llu (%llu outside the marker area, as expected), 2: %llu\n",
        u(report.results[0]), u(report.results[1]), u(report.refusedOutside), u(report.results[2]));
    out << b;
    out << "faults injected:         " << report.faults;
    if (!report.faultsByKind.empty()) {
        out << " (";
        bool first = true;
        for (const auto &entry : report.faultsByKind) {
            out << (first ? "" : ", ") << entry.first << " " << entry.second;
            first = false;
        }
        out << ")";
    }
    out << "\n";
    out << "wrong values delivered:  " << report.wrongValues << "\n";
    out << "lost writes:             " << report.lostWrites << " (" << report.lostBytes << " bytes)\n";
    out << "stray writes:            " << report.strayWrites << "\n";
    std::snprintf(
        b, sizeof b, "timeouts exceeded:       %llu (longest operation %.1f ms, a %s, bound %.0f ms)\n",
        u(report.timeoutsExceeded), report.longestMs, report.longestKind.c_str(), report.boundOfLongestMs);
    out << b;
    out << "buffer violations:       " << report.bufferViolations << "\n";
    out << "unexpected results:      " << report.unexpectedResults << "\n";
    std::snprintf(b, sizeof b,
                  "model:                   %llu checkpoints, %llu unknown bytes learned again\n",
                  u(report.checkpoints), u(report.unknownResolved));
    out << b;
    std::snprintf(b, sizeof b, "time:                    %.1f s wall, %.1f s CPU\n", report.wallSeconds,
                  report.cpuSeconds);
    out << b;
    for (const std::string &finding : report.findings) {
        out << "finding: " << finding << "\n";
    }
    out << (report.Clean() ? "PASS" : "FAIL") << "\n";
    return out.str();
}

} // namespace soak
