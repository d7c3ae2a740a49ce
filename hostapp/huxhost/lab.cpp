#include "hostapp/huxhost/lab.h"

#include <cstdio>
#include <cstdlib>

#if defined(HUXHOST_WITH_SIM)
#include "sim/simulator.h"
#else
// No simulator in this build; Lab still owns (empty) pointers to one.
namespace ps4sim {
class Simulator {};
} // namespace ps4sim
#endif

namespace hh {

#if defined(HUXHOST_WITH_SIM)

namespace {

bool ParseHex(const std::string &text, unsigned long maxValue, unsigned long *out) {
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || v > maxValue || text[0] == '-') {
        return false;
    }
    *out = v;
    return true;
}

} // namespace

Lab::Lab() = default;

Lab::~Lab() {
    StopAll();
}

bool Lab::Available() {
    return true;
}

bool Lab::Start(int which, const SimOptions &options, std::string *driverName, std::string *error) {
    if (sims_[which]) {
        *driverName = names_[which];
        return true;
    }
    ps4sim::Config config;
    config.pace = options.pace;
    config.baud = options.baud;
    config.randomRate = options.randomRate;
    config.seed = options.seed;
    for (const auto &p : options.protect) {
        config.protect.push_back({p.first, p.second});
    }
    auto sim = std::make_unique<ps4sim::Simulator>(config);
    for (const std::string &ruleText : options.faults) {
        if (!sim->AddFault(ruleText, error)) {
            return false;
        }
    }
    for (const auto &poke : options.pokes) {
        sim->Poke(poke.first, poke.second);
    }
    if (!options.trace.empty()) {
        FILE *f = stderr;
        if (options.trace != "-") {
            f = std::fopen(options.trace.c_str(), which == 0 ? "w" : "a");
            if (f == nullptr) {
                *error = "cannot create trace file " + options.trace;
                return false;
            }
            traceFiles_[which] = f;
        }
        sim->TraceTo(f, false);
    }
    std::string why;
    if (!sim->OpenPty(&why) || !sim->Start(&why)) {
        *error = "cannot start the simulated controller: " + why;
        return false;
    }
    names_[which] = sim->DriverName();
    *driverName = names_[which];
    sims_[which] = std::move(sim);
    return true;
}

bool Lab::Running(int which) const {
    return static_cast<bool>(sims_[which]);
}

const std::string &Lab::DriverName(int which) const {
    return names_[which];
}

ps4sim::Simulator *Lab::Sim(int which) {
    return sims_[which].get();
}

void Lab::RecordTrace(int which, bool on) {
    recording_[which] = on;
    if (sims_[which]) {
        sims_[which]->RecordTrace(on);
        sims_[which]->ClearTrace();
    }
}

std::vector<std::string> Lab::TakeTrace(int which) {
    if (!sims_[which] || !recording_[which]) {
        return {};
    }
    std::vector<std::string> lines = sims_[which]->TraceLines();
    sims_[which]->ClearTrace();
    return lines;
}

bool Lab::Command(int which, const std::vector<std::string> &args, std::vector<std::string> *out,
                  std::string *error) {
    ps4sim::Simulator *sim = sims_[which].get();
    if (sim == nullptr) {
        *error = "no simulated controller is running there";
        return false;
    }
    if (args.empty()) {
        *error = "sim: what? (fault, clear, poke, peek, protect, random, trace)";
        return false;
    }
    const std::string &cmd = args[0];
    unsigned long a = 0, b = 0;
    if (cmd == "fault" && args.size() == 2) {
        return sim->AddFault(args[1], error);
    }
    if (cmd == "clear" && args.size() == 1) {
        sim->ClearFaults();
        sim->SetRandomFaults(0, 1);
        return true;
    }
    if (cmd == "poke" && args.size() >= 3 && ParseHex(args[1], 0xFFFF, &a)) {
        std::vector<uint8_t> bytes;
        for (size_t i = 2; i < args.size(); ++i) {
            if (!ParseHex(args[i], 0xFF, &b)) {
                *error = "sim poke: bad byte '" + args[i] + "' (hexadecimal)";
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(b));
        }
        sim->Poke(static_cast<uint16_t>(a), bytes);
        return true;
    }
    if (cmd == "peek" && args.size() == 3 && ParseHex(args[1], 0xFFFF, &a)) {
        char *end = nullptr;
        const long n = std::strtol(args[2].c_str(), &end, 0);
        if (*end != '\0' || n < 1 || n > 256) {
            *error = "sim peek: count 1 to 256";
            return false;
        }
        const std::vector<uint8_t> bytes = sim->Peek(static_cast<uint16_t>(a), static_cast<size_t>(n));
        for (size_t i = 0; i < bytes.size(); i += 16) {
            char head[16];
            std::snprintf(head, sizeof head, "%04lX:", (a + i) & 0xFFFF);
            std::string line = head;
            for (size_t j = i; j < bytes.size() && j < i + 16; ++j) {
                char h[4];
                std::snprintf(h, sizeof h, " %02X", bytes[j]);
                line += h;
            }
            out->push_back(line);
        }
        return true;
    }
    if (cmd == "protect" && args.size() == 2 && args[1] == "off") {
        sim->SetProtect({});
        return true;
    }
    if (cmd == "protect" && args.size() == 2) {
        const auto dash = args[1].find('-');
        if (dash == std::string::npos || !ParseHex(args[1].substr(0, dash), 0xFFFF, &a) ||
            !ParseHex(args[1].substr(dash + 1), 0xFFFF, &b) || b < a) {
            *error = "sim protect: A-B in hexadecimal";
            return false;
        }
        sim->SetProtect({{static_cast<uint16_t>(a), static_cast<uint16_t>(b)}});
        return true;
    }
    if (cmd == "random" && args.size() == 3) {
        char *end = nullptr;
        const double rate = std::strtod(args[1].c_str(), &end);
        char *end2 = nullptr;
        const unsigned long long seed = std::strtoull(args[2].c_str(), &end2, 0);
        if (*end != '\0' || *end2 != '\0' || !(rate >= 0 && rate <= 1)) {
            *error = "sim random RATE SEED";
            return false;
        }
        sim->SetRandomFaults(rate, seed);
        return true;
    }
    if (cmd == "trace" && args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
        RecordTrace(which, args[1] == "on");
        return true;
    }
    *error = "sim: cannot understand '" + cmd + "' here (fault RULE, clear, poke ADDR BB.., peek ADDR N, " +
             "protect A-B|off, random RATE SEED, trace on|off)";
    return false;
}

void Lab::StopAll() {
    for (int i = 0; i < 2; ++i) {
        if (sims_[i]) {
            sims_[i]->Stop();
            sims_[i].reset();
        }
        if (traceFiles_[i] != nullptr) {
            std::fclose(static_cast<FILE *>(traceFiles_[i]));
            traceFiles_[i] = nullptr;
        }
    }
}

#else // no embedded simulator on this platform

Lab::Lab() = default;
Lab::~Lab() = default;
bool Lab::Available() {
    return false;
}
bool Lab::Start(int, const SimOptions &, std::string *, std::string *error) {
    *error = "no embedded simulated controller on this platform: give --port";
    return false;
}
bool Lab::Running(int) const {
    return false;
}
const std::string &Lab::DriverName(int which) const {
    return names_[which];
}
ps4sim::Simulator *Lab::Sim(int) {
    return nullptr;
}
bool Lab::Command(int, const std::vector<std::string> &, std::vector<std::string> *, std::string *error) {
    *error = "no embedded simulated controller on this platform";
    return false;
}
std::vector<std::string> Lab::TakeTrace(int) {
    return {};
}
void Lab::RecordTrace(int, bool) {}
void Lab::StopAll() {}

#endif

} // namespace hh
