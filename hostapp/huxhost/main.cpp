// huxhost: the reference host of the HUXDRVR driver.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostapp/huxhost/app.h"

namespace hh {
const char *ScriptHelp();
}

namespace {

const char kHelp[] =
    "Usage: huxhost [options] COMMAND [arguments]\n"
    "\n"
    "The reference host of the HUXDRVR driver: it loads the driver, opens the\n"
    "controller's port (cold start, with discovery of the marker area), runs the\n"
    "command and ends the driver. Without --port it starts a simulated PS4-201-MM1\n"
    "controller on a pseudo-terminal, so no hardware is needed.\n"
    "\n"
    "Commands:\n"
    "  demo                       a guided session with the simulated controller\n"
    "  info                       the driver's name, banner and default line settings\n"
    "  parse GATE... [--block N]  check address texts (with the block parser for N elements)\n"
    "  read GATE...               read gates; values in decimal and hexadecimal\n"
    "  write GATE=VALUE...        write gates (a bit takes 0 or 1)\n"
    "  block-read GATE COUNT      read COUNT bytes (MB) or words (MW), at most 64 bytes\n"
    "  block-write GATE VALUE...  write consecutive bytes (MB) or words (MW)\n"
    "  poll GATE...               read the gates again and again as a table\n"
    "                             (--interval MS, default 1000; --count N, default: until Ctrl-C)\n"
    "  script FILE                run the operations in FILE and print a transcript\n"
    "                             (huxhost script --help lists the lines it takes)\n"
    "\n"
    "Gates name the controller's marker memory, counted in bytes from its start:\n"
    "  MBnnnnn     a marker byte                  MB00012    byte 12\n"
    "  MWnnnnn     a marker word (nnnnn even)     MW00040    bytes 40 and 41\n"
    "  MBnnnnn.b   bit b (0-7) of a marker byte   MB00012.3  bit 3 of byte 12\n"
    "  MWnnnnn.b   bit b (0-7) of a marker word   MW00040.7  bit 7 of the word at 40\n"
    "Always five digits. A word's first byte (the lower address) is its low byte.\n"
    "Values: decimal or 0x hexadecimal; bytes -128..255, words -32768..65535.\n"
    "\n"
    "Examples:\n"
    "  huxhost demo\n"
    "  huxhost read MB00012 MW00040\n"
    "  huxhost --port ttyUSB0 write MB00012.3=1      (the controller on /dev/ttyUSB0)\n"
    "  huxhost block-read MW00040 16\n"
    "  huxhost block-write MB00100 1 2 3 0xFF\n"
    "  huxhost poll MB00012 MW00040.7 --interval 500\n"
    "  huxhost --sim-trace - --sim-fault 3:drop read MW00040\n"
    "                       (frames 1 and 2 are the cold start's; the 3rd is the read)\n"
    "\n"
    "Port and line:\n"
    "  --port DEVICE        the controller's port, as the driver names it: ttyUSB0\n"
    "                       (/dev/ttyUSB0), /dev/ttyS1, COM1 (/dev/ttyS0); at most 11\n"
    "                       characters. Default: the embedded simulated controller.\n"
    "  --baud N             line rate (default 9600)\n"
    "  --data-bits N        data bits (default 8)\n"
    "  --stop-bits CODE     0 one, 1 one and a half, 2 two (default 0)\n"
    "  --parity P           none, odd, even, mark, space or the code 0-4 (default none)\n"
    "  --timeout UNITS      read timeout in 10 ms units (default 100: one second)\n"
    "  --flags HEX          the line-control flags word the host keeps in the context,\n"
    "                       used when the port is reopened (default 0303: DTR and RTS on;\n"
    "                       the cold start always uses 0303)\n"
    "  --signed             byte gates are signed (value type 1)\n"
    "\n"
    "Output:\n"
    "  --log-level N        show the driver's log lines of level N and above (default 8:\n"
    "                       all; 32: only the two error lines)\n"
    "  -q, --quiet          show no driver log lines\n"
    "  --json               one JSON object per command on stdout, log lines included\n"
    "  --raw                in script transcripts, do not mask handles, the driver's\n"
    "                       build date and port names\n"
    "  --driver PATH        the driver library (default ../lib/libhuxdrvr.so beside huxhost)\n"
    "\n"
    "Embedded simulated controller (without --port):\n"
    "  --sim-trace FILE|-   trace every frame on the line to FILE or stderr\n"
    "  --sim-fault RULE     a fault, repeatable: [WHEN:]KIND[=ARG][*TIMES], WHEN any, read,\n"
    "                       permit, data or a frame number; KIND drop, short, corrupt, lrc,\n"
    "                       count, nack, noise, delay (see ps4sim --help)\n"
    "  --sim-random RATE    random faults with this probability per answer (--sim-seed N)\n"
    "  --sim-protect A-B    the controller refuses writes to A..B (hexadecimal addresses)\n"
    "  --sim-poke HEX=BB,.. put bytes into its memory first (marker byte 0 is at 1000)\n"
    "  --sim-pace           pace the line at --baud, 10 bits a byte\n"
    "\n"
    "Exit status: 0 all went well, 1 the driver refused or failed an operation,\n"
    "2 a usage error or an address the driver refuses, 3 the driver or the port\n"
    "could not be loaded or opened.\n";

int Usage(const std::string &message) {
    std::fprintf(stderr, "huxhost: %s (see huxhost --help)\n", message.c_str());
    return hh::kExitUsage;
}

bool ParseHexWord(const std::string &text, unsigned long *out) {
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || v > 0xFFFF) {
        return false;
    }
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    hh::Host host;
    hh::Options &o = host.opt;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-q" && arg != "-h")) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            if (!positional.empty() && positional[0] == "script") {
                std::fputs(hh::ScriptHelp(), stdout);
            } else {
                std::fputs(kHelp, stdout);
            }
            return hh::kExitOk;
        }
        if (arg == "-q" || arg == "--quiet") {
            o.logLevel = 1000;
            continue;
        }
        if (arg == "--json") {
            o.json = true;
            continue;
        }
        if (arg == "--raw") {
            o.raw = true;
            continue;
        }
        if (arg == "--signed") {
            o.valueKind = 1;
            continue;
        }
        if (arg == "--sim-pace") {
            o.sim.pace = true;
            continue;
        }
        if (i + 1 >= argc) {
            return Usage(arg + " needs a value");
        }
        const std::string v = argv[++i];
        long long n = 0;
        unsigned long h = 0;
        if (arg == "--port") {
            if (v.empty() || v.size() > 11) {
                return Usage("the port name must have 1 to 11 characters");
            }
            o.port = v;
        } else if (arg == "--driver") {
            o.driver = v;
        } else if (arg == "--baud") {
            if (!hh::ParseInt(v, 1, 65535, &n)) {
                return Usage("the rate must lie between 1 and 65535");
            }
            o.settings.baud = static_cast<uint16_t>(n);
            o.sim.baud = static_cast<uint32_t>(n);
        } else if (arg == "--data-bits") {
            if (!hh::ParseInt(v, 5, 8, &n)) {
                return Usage("data bits must be 5 to 8");
            }
            o.settings.dataBits = static_cast<uint16_t>(n);
        } else if (arg == "--stop-bits") {
            if (!hh::ParseInt(v, 0, 2, &n)) {
                return Usage("the stop-bit code is 0 (one), 1 (one and a half) or 2 (two)");
            }
            o.settings.stopBits = static_cast<uint16_t>(n);
        } else if (arg == "--parity") {
            static const char *const kNames[] = {"none", "odd", "even", "mark", "space"};
            bool found = false;
            for (uint16_t c = 0; c < 5; ++c) {
                if (v == kNames[c] || v == std::to_string(c)) {
                    o.settings.parity = c;
                    found = true;
                }
            }
            if (!found) {
                return Usage("parity is none, odd, even, mark or space (or 0 to 4)");
            }
        } else if (arg == "--timeout") {
            if (!hh::ParseInt(v, 1, 100000, &n)) {
                return Usage("the timeout is a number of 10 ms units, 1 to 100000");
            }
            o.timeout = static_cast<int32_t>(n);
        } else if (arg == "--flags") {
            if (!ParseHexWord(v, &h)) {
                return Usage("the flags word is hexadecimal, 0000 to FFFF");
            }
            o.flags = static_cast<uint16_t>(h);
            o.flagsGiven = true;
        } else if (arg == "--log-level") {
            if (!hh::ParseInt(v, 0, 1000, &n)) {
                return Usage("bad log level");
            }
            o.logLevel = static_cast<int>(n);
        } else if (arg == "--interval") {
            if (!hh::ParseInt(v, 0, 3600000, &n)) {
                return Usage("the interval is in milliseconds");
            }
            o.intervalMs = static_cast<int>(n);
        } else if (arg == "--block") {
            if (!hh::ParseInt(v, -1000000, 1000000, &n)) {
                return Usage("bad block size");
            }
            o.blockGiven = true;
            o.blockSize = static_cast<int32_t>(n);
        } else if (arg == "--count") {
            if (!hh::ParseInt(v, 0, 100000000, &n)) {
                return Usage("bad count");
            }
            o.count = static_cast<int>(n);
        } else if (arg == "--sim-trace") {
            o.sim.trace = v;
        } else if (arg == "--sim-fault") {
            o.sim.faults.push_back(v);
        } else if (arg == "--sim-random") {
            char *end = nullptr;
            const double rate = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(rate >= 0 && rate <= 1)) {
                return Usage("the fault rate lies between 0 and 1");
            }
            o.sim.randomRate = rate;
        } else if (arg == "--sim-seed") {
            if (!hh::ParseInt(v, 0, 1LL << 40, &n)) {
                return Usage("bad seed");
            }
            o.sim.seed = static_cast<uint64_t>(n);
        } else if (arg == "--sim-protect") {
            const auto dash = v.find('-');
            unsigned long a = 0;
            if (dash == std::string::npos || !ParseHexWord(v.substr(0, dash), &a) ||
                !ParseHexWord(v.substr(dash + 1), &h) || h < a) {
                return Usage("--sim-protect A-B, hexadecimal addresses");
            }
            o.sim.protect.push_back({static_cast<uint16_t>(a), static_cast<uint16_t>(h)});
        } else if (arg == "--sim-poke") {
            const auto eq = v.find('=');
            if (eq == std::string::npos || !ParseHexWord(v.substr(0, eq), &h)) {
                return Usage("--sim-poke HEX=BB,BB..");
            }
            std::vector<uint8_t> bytes;
            size_t pos = eq + 1;
            while (pos <= v.size()) {
                const size_t comma = std::min(v.find(',', pos), v.size());
                unsigned long b = 0;
                if (!ParseHexWord(v.substr(pos, comma - pos), &b) || b > 0xFF) {
                    return Usage("--sim-poke HEX=BB,BB.. (hexadecimal bytes)");
                }
                bytes.push_back(static_cast<uint8_t>(b));
                pos = comma + 1;
            }
            o.sim.pokes.push_back({static_cast<uint16_t>(h), bytes});
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (positional.empty()) {
        std::fputs(kHelp, stderr);
        return hh::kExitUsage;
    }
    if (!o.port.empty() && (!o.sim.faults.empty() || !o.sim.trace.empty() || o.sim.randomRate > 0 ||
                            !o.sim.protect.empty() || !o.sim.pokes.empty() || o.sim.pace)) {
        return Usage("the --sim-... options are for the embedded simulated controller, not for --port");
    }
    const std::string command = positional[0];
    const std::vector<std::string> args(positional.begin() + 1, positional.end());
    if (command == "script" && args.size() != 1) {
        return Usage("script FILE");
    }
    if (command == "demo" && !args.empty()) {
        return Usage("demo takes no arguments");
    }
    if (!hh::LoadDriver(host)) {
        return hh::kExitSetup;
    }
    if (command == "script") {
        return hh::RunScript(host, args[0]);
    }
    if (command == "demo") {
        return hh::RunDemo(host);
    }
    return hh::RunCommand(host, command, args);
}
