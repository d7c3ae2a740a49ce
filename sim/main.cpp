// ps4sim: serves a simulated PS4-201-MM1 controller until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/simulator.h"

namespace {

const char kUsage[] =
    "Usage: ps4sim [options]\n"
    "\n"
    "Serves a simulated PS4-201-MM1 controller on a new pseudo-terminal (default)\n"
    "or on a serial device, until interrupted (Ctrl-C). The first line on stdout\n"
    "is the path the host opens; give the driver that path (or, when longer than\n"
    "11 characters, the part after /dev/).\n"
    "\n"
    "Line:\n"
    "  --device PATH        serve on this serial device instead of a pseudo-terminal\n"
    "  --baud N             line rate (default 9600); also the rate --pace keeps\n"
    "  --data-bits N        5 to 8 (default 8)\n"
    "  --parity P           none, odd, even, mark or space (default none)\n"
    "  --stop-bits N        1 or 2 (default 1)\n"
    "  --pace               pace the line at the rate, 10 bits a byte, both ways\n"
    "  --frame-timeout MS   drop a partial frame after MS of silence (default 100)\n"
    "  --link PATH          also create PATH as a symbolic link to the pseudo-terminal\n"
    "\n"
    "Memory (64 KiB, all zero at first):\n"
    "  --marker-start HEX   word at 0040: first address of the marker area (default 1000)\n"
    "  --marker-size N      bytes in the marker area (default 4096); the word at 004A\n"
    "                       becomes start + size + 1, since the host takes that word\n"
    "                       minus 2 as the last address it may touch\n"
    "  --end-word HEX       set the word at 004A directly instead\n"
    "  --load FILE[@HEX]    load a memory image at address HEX (default 0); the marker\n"
    "                       words given on the command line are applied afterwards\n"
    "  --poke HEX=BB,BB..   put bytes at an address, e.g. --poke 100C=41\n"
    "  --dump FILE          write all 64 KiB to FILE when the simulator stops\n"
    "\n"
    "Refusals and faults:\n"
    "  --protect A-B        refuse (NACK) write requests that touch A..B (hex), repeatable\n"
    "  --nack-code HEX      the refusal code (default 15)\n"
    "  --fault RULE         a scripted fault, repeatable (below)\n"
    "  --random RATE        give each answer a random fault with probability RATE (0..1)\n"
    "  --seed N             seed of the random faults (default 1)\n"
    "  --random-kinds LIST  kinds to draw from (default drop,short,corrupt,lrc,count,nack,noise)\n"
    "\n"
    "Trace:\n"
    "  --trace FILE|-       one decoded line per frame to FILE, or - for stderr\n"
    "  --trace-time         prefix each trace line with milliseconds since the start\n"
    "  --quiet              no messages on stderr besides the trace\n"
    "  --help\n"
    "\n"
    "Fault RULE: [WHEN:]KIND[=ARG][*TIMES]\n"
    "  WHEN   any (the default), read (a read request), permit (a write request),\n"
    "         data (a write data frame), or N: the N-th frame received, from 1\n"
    "  KIND   drop             send no answer\n"
    "         short[=N]        send only the first N bytes (default all but the last)\n"
    "         corrupt[=I]      flip byte I (default: the first data byte of a reply,\n"
    "                          the acknowledgement byte otherwise)\n"
    "         lrc              flip the last byte (a reply's LRC)\n"
    "         count[=K]        put K in a reply's byte count (default one more) and\n"
    "                          keep its LRC right\n"
    "         nack[=CODE]      refuse with CODE (default the refusal code); a refused\n"
    "                          write request or data frame writes nothing\n"
    "         noise[=N]        send N noise bytes before the answer (default 3)\n"
    "         delay[=MS]       send the answer MS later (default 200)\n"
    "  TIMES  apply to that many matching frames (default 1)\n"
    "  e.g.   --fault read:drop*6   --fault permit:nack=0x15   --fault 3:lrc\n"
    "\n"
    "Except for nack, a fault changes only the answer: the controller still does\n"
    "what the frame asked (a write whose confirmation is dropped is written).\n";

ps4sim::Simulator *gSim = nullptr;

void OnSignal(int) {
    if (gSim != nullptr) {
        gSim->RequestStop();
    }
}

bool ParseU(const std::string &text, int base, unsigned long long maxValue, unsigned long long *out) {
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > maxValue || text[0] == '-') {
        return false;
    }
    *out = v;
    return true;
}

int Fail(const std::string &message) {
    std::fprintf(stderr, "ps4sim: %s\n", message.c_str());
    return 2;
}

struct Poke {
    uint16_t addr;
    ps4sim::Bytes bytes;
};

struct Load {
    std::string path;
    uint16_t addr;
};

} // namespace

int main(int argc, char **argv) {
    ps4sim::Config config;
    ps4sim::LineConfig line;
    std::string device, link, dump, traceTarget;
    bool traceTime = false, quiet = false;
    bool markerGiven = false;
    std::vector<Load> loads;
    std::vector<Poke> pokes;
    std::vector<ps4sim::FaultRule> faults;
    unsigned long long markerSize = 4096;
    bool endWordGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        unsigned long long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--pace") {
            config.pace = true;
        } else if (arg == "--trace-time") {
            traceTime = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (!value(&v)) {
            return Fail(arg.rfind("--", 0) == 0 ? arg + " needs a value (see --help)"
                                                : "unexpected argument '" + arg + "' (see --help)");
        } else if (arg == "--device") {
            device = v;
        } else if (arg == "--link") {
            link = v;
        } else if (arg == "--baud") {
            if (!ParseU(v, 10, 4000000, &n) || n == 0) {
                return Fail("bad rate '" + v + "'");
            }
            line.baud = static_cast<uint32_t>(n);
            config.baud = line.baud;
        } else if (arg == "--data-bits") {
            if (!ParseU(v, 10, 8, &n) || n < 5) {
                return Fail("data bits must be 5 to 8");
            }
            line.dataBits = static_cast<int>(n);
        } else if (arg == "--parity") {
            if (!ps4sim::ParseParity(v, &line.parity)) {
                return Fail("parity must be none, odd, even, mark or space");
            }
        } else if (arg == "--stop-bits") {
            if (v != "1" && v != "2") {
                return Fail("stop bits must be 1 or 2");
            }
            line.stopBits = v == "2" ? 2 : 1;
        } else if (arg == "--frame-timeout") {
            if (!ParseU(v, 10, 600000, &n) || n == 0) {
                return Fail("bad frame timeout '" + v + "'");
            }
            config.frameTimeoutMs = static_cast<int>(n);
        } else if (arg == "--marker-start") {
            if (!ParseU(v, 16, 0xFFFF, &n)) {
                return Fail("bad marker start '" + v + "' (hexadecimal)");
            }
            config.markerStartWord = static_cast<uint16_t>(n);
            markerGiven = true;
        } else if (arg == "--marker-size") {
            if (!ParseU(v, 0, 0x10000, &n) || n == 0) {
                return Fail("bad marker size '" + v + "'");
            }
            markerSize = n;
            markerGiven = true;
        } else if (arg == "--end-word") {
            if (!ParseU(v, 16, 0xFFFF, &n)) {
                return Fail("bad end word '" + v + "' (hexadecimal)");
            }
            config.markerEndWord = static_cast<uint16_t>(n);
            endWordGiven = true;
            markerGiven = true;
        } else if (arg == "--load") {
            Load l{v, 0};
            const auto at = v.rfind('@');
            if (at != std::string::npos) {
                if (!ParseU(v.substr(at + 1), 16, 0xFFFF, &n)) {
                    return Fail("bad load address in '" + v + "'");
                }
                l.path = v.substr(0, at);
                l.addr = static_cast<uint16_t>(n);
            }
            loads.push_back(l);
        } else if (arg == "--poke") {
            const auto eq = v.find('=');
            Poke p{};
            if (eq == std::string::npos || !ParseU(v.substr(0, eq), 16, 0xFFFF, &n)) {
                return Fail("bad poke '" + v + "' (HEX=BB,BB..)");
            }
            p.addr = static_cast<uint16_t>(n);
            std::string rest = v.substr(eq + 1);
            size_t pos = 0;
            while (pos <= rest.size()) {
                const size_t comma = std::min(rest.find(',', pos), rest.size());
                if (!ParseU(rest.substr(pos, comma - pos), 16, 0xFF, &n)) {
                    return Fail("bad poke byte in '" + v + "'");
                }
                p.bytes.push_back(static_cast<uint8_t>(n));
                pos = comma + 1;
            }
            pokes.push_back(p);
        } else if (arg == "--dump") {
            dump = v;
        } else if (arg == "--protect") {
            const auto dash = v.find('-');
            unsigned long long a = 0, b = 0;
            if (dash == std::string::npos || !ParseU(v.substr(0, dash), 16, 0xFFFF, &a) ||
                !ParseU(v.substr(dash + 1), 16, 0xFFFF, &b) || b < a) {
                return Fail("bad range '" + v + "' (A-B in hexadecimal, A <= B)");
            }
            config.protect.push_back({static_cast<uint16_t>(a), static_cast<uint16_t>(b)});
        } else if (arg == "--nack-code") {
            if (!ParseU(v, 16, 0xFF, &n)) {
                return Fail("bad refusal code '" + v + "' (hexadecimal byte)");
            }
            config.nackCode = static_cast<uint8_t>(n);
        } else if (arg == "--fault") {
            ps4sim::FaultRule rule;
            std::string error;
            if (!ps4sim::ParseFault(v, &rule, &error)) {
                return Fail(error);
            }
            faults.push_back(rule);
        } else if (arg == "--random") {
            char *end = nullptr;
            const double rate = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
                return Fail("the random fault rate must lie between 0 and 1");
            }
            config.randomRate = rate;
        } else if (arg == "--seed") {
            if (!ParseU(v, 0, ~0ull, &n)) {
                return Fail("bad seed '" + v + "'");
            }
            config.seed = n;
        } else if (arg == "--random-kinds") {
            std::string error;
            if (!ps4sim::ParseFaultKinds(v, &config.randomKinds, &error)) {
                return Fail(error);
            }
        } else if (arg == "--trace") {
            traceTarget = v;
        } else {
            return Fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (!endWordGiven) {
        config.markerEndWord = static_cast<uint16_t>(config.markerStartWord + markerSize + 1);
    }

    ps4sim::Simulator sim(config);
    for (const Load &l : loads) {
        std::string error;
        if (!sim.LoadImage(l.path, l.addr, &error)) {
            return Fail(error);
        }
    }
    if (markerGiven) {
        sim.SetMarkerWords(config.markerStartWord, config.markerEndWord);
    }
    for (const Poke &p : pokes) {
        sim.Poke(p.addr, p.bytes);
    }
    for (const auto &rule : faults) {
        sim.AddFault(rule);
    }

    FILE *trace = nullptr;
    if (traceTarget == "-") {
        trace = stderr;
    } else if (!traceTarget.empty()) {
        trace = std::fopen(traceTarget.c_str(), "w");
        if (trace == nullptr) {
            return Fail("cannot create trace file " + traceTarget + ": " + std::strerror(errno));
        }
    }
    sim.TraceTo(trace, traceTime);

    std::string error;
    const bool opened = device.empty() ? sim.OpenPty(&error) : sim.OpenDevice(device, line, &error);
    if (!opened) {
        return Fail(error);
    }
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(sim.Path().c_str(), link.c_str()) != 0) {
            return Fail("cannot create link " + link + ": " + std::strerror(errno));
        }
    }

    gSim = &sim;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", sim.Path().c_str());
    std::fflush(stdout);
    if (!quiet) {
        const uint16_t last = static_cast<uint16_t>(config.markerEndWord - 2);
        std::fprintf(stderr,
                     "ps4sim: serving on %s (driver name \"%s\"), marker area %04X..%04X%s; Ctrl-C ends\n",
                     sim.Path().c_str(), sim.DriverName().c_str(), config.markerStartWord, last,
                     config.pace ? ", paced" : "");
    }

    sim.Serve();
    gSim = nullptr;

    int rc = 0;
    if (!dump.empty() && !sim.DumpImage(dump, &error)) {
        std::fprintf(stderr, "ps4sim: %s\n", error.c_str());
        rc = 1;
    }
    if (!link.empty()) {
        unlink(link.c_str());
    }
    if (!quiet) {
        const ps4sim::Stats s = sim.GetStats();
        std::fprintf(stderr,
                     "ps4sim: %llu frames, %llu answers, %llu bytes in, %llu bytes out, %llu dropped, "
                     "%llu faults\n",
                     static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.answers),
                     static_cast<unsigned long long>(s.bytesIn), static_cast<unsigned long long>(s.bytesOut),
                     static_cast<unsigned long long>(s.droppedBytes),
                     static_cast<unsigned long long>(s.faults));
    }
    if (trace != nullptr && trace != stderr) {
        std::fclose(trace);
    }
    return rc;
}
