// huxhost demo: a short guided session with the embedded simulated
// controller, showing what the driver does and says at each step.
#include <cstdio>
#include <string>
#include <vector>

#include "hostapp/huxhost/app.h"

#if defined(HUXHOST_WITH_SIM)
#include "sim/simulator.h"
#endif

namespace hh {

#if defined(HUXHOST_WITH_SIM)

namespace {

struct Demo {
    Host &host;
    bool ok = true;

    void Step(int n, const std::string &title, const std::string &what) {
        std::printf("\n%d. %s\n", n, title.c_str());
        if (!what.empty()) {
            std::printf("   %s\n", what.c_str());
        }
    }

    // The driver's lines since the last call, indented.
    void Log(const char *heading = "driver log:") {
        const std::vector<LogLine> lines = host.session.TakeLog();
        if (lines.empty()) {
            return;
        }
        std::printf("     %s\n", heading);
        for (const LogLine &l : lines) {
            std::printf("       %s%s\n", l.text.c_str(),
                        l.level >= HUX_LOG_ERROR ? "   (level 32: an error)" : "");
        }
    }

    void Frames() {
        const std::vector<std::string> lines = host.lab.TakeTrace(0);
        if (lines.empty()) {
            return;
        }
        std::printf("     frames on the line (H>C host to controller, C>H controller to host):\n");
        for (const std::string &t : lines) {
            std::printf("       %s\n", t.c_str());
        }
    }

    bool Check(int32_t r, const char *what) {
        if (r != HUX_OK) {
            std::printf("   %s: %s %d\n", what, ResultName(r), r);
            ok = false;
            return false;
        }
        return true;
    }

    void Read(const std::string &text, const std::string &note = "") {
        Gate g{text, {}};
        if (!Check(host.session.ParseSingle(g), "parse")) {
            return;
        }
        uint16_t v = 0;
        const int32_t r = host.session.SingleRead(g, 0, &v);
        if (Check(r, text.c_str())) {
            char line[200];
            std::snprintf(line, sizeof line, "   %-10s = %-16s %s", text.c_str(),
                          FormatValue(g, v, 0).c_str(), note.c_str());
            std::string shown = line;
            while (!shown.empty() && shown.back() == ' ') {
                shown.pop_back();
            }
            std::printf("%s\n", shown.c_str());
        }
    }

    void ReadBlock(const std::string &text, int count) {
        Gate g{text, {}};
        if (!Check(host.session.ParseBlock(g, count), "parse")) {
            return;
        }
        std::vector<uint8_t> bytes;
        if (Check(host.session.BlockRead(g, count, &bytes), text.c_str())) {
            std::printf("   %-10s = %s   (block of %d bytes, %s..%s)\n", text.c_str(),
                        HexBytes(bytes).c_str(), count, ElementName(g, 0).c_str(),
                        ElementName(g, count - 1).c_str());
        }
    }
};

} // namespace

int RunDemo(Host &host) {
    if (!host.opt.port.empty()) {
        std::fprintf(stderr,
                     "huxhost: the demo runs on the embedded simulated controller; leave out --port\n");
        return kExitUsage;
    }
    // Some values in the controller's marker memory to look at.
    SimOptions sim = host.opt.sim;
    sim.pokes.push_back({0x100C, {0x41}});       // MB00012
    sim.pokes.push_back({0x1028, {0x34, 0x12}}); // MW00040
    sim.pokes.push_back({0x1064, {1, 2, 3, 4, 5, 6, 7, 8}});
    host.opt.sim = sim;
    if (!PreparePort(host)) {
        return kExitSetup;
    }
    Demo d{host};
    const int32_t timeout = 20; // 200 ms: the lost answer in step 7 costs no more
    std::printf("HUXDRVR demo\n"
                "The driver library talks SUCOM-B to a simulated PS4-201-MM1 controller over the\n"
                "pseudo-terminal %s, just as it would over a serial cable. This program\n"
                "(huxhost) plays the host: it loads the driver, owns every record and calls HuxMain.\n",
                host.lab.Sim(0)->Path().c_str());

    d.Step(1, "Driver information (GetHuxInfo)", "");
    DriverInfo info{};
    if (d.Check(host.session.GetInfo(&info), "GetHuxInfo")) {
        std::printf("   device name   %s\n", info.deviceName);
        std::printf("   line defaults %u baud, %u data bits, stop-bit code %u, parity code %u\n",
                    info.defaults.baud, info.defaults.dataBits, info.defaults.stopBits, info.defaults.parity);
        std::string banner = Cp437ToUtf8(info.banner);
        std::printf("   banner:\n");
        size_t start = 0;
        while (start < banner.size()) {
            size_t nl = banner.find('\n', start);
            if (nl == std::string::npos) {
                nl = banner.size();
            }
            if (nl > start) {
                std::printf("   %s\n", banner.substr(start, nl - start).c_str());
            }
            start = nl + 1;
        }
    }
    host.session.TakeLog();

    d.Step(2, "Gates (SingleAddressParser, BlockAddressParser)",
           "The host checks each address text once and keeps the decoded address:");
    for (const char *text : {"MB00012", "MW00040", "MB00012.0", "MB00012.3"}) {
        Gate g{text, {}};
        if (d.Check(host.session.ParseSingle(g), text)) {
            std::printf("   %-10s %s\n", text, Describe(g).c_str());
        }
    }
    {
        Gate g{"MB00100", {}};
        if (d.Check(host.session.ParseBlock(g, 8), "MB00100")) {
            std::printf("   %-10s a block of 8 marker bytes from byte offset 100\n", "MB00100");
        }
        Gate bad{"MB0012", {}};
        const int32_t r = host.session.ParseSingle(bad);
        std::printf("   %-10s refused (result %d): five digits are needed\n", "MB0012", r);
        d.Log();
    }

    d.Step(3, "Cold start (ColdStart)",
           "Opens the port and asks the controller where its marker area lies (two reads\n"
           "   of the words at 0040h and 004Ah).");
    host.lab.RecordTrace(0, true);
    const int32_t r = host.session.ColdStart(host.port, timeout, host.opt.settings);
    if (d.Check(r, "ColdStart")) {
        const ComContext &c = host.session.Context();
        std::printf("   result 0: port open, marker area %04Xh..%04Xh (marker byte 0 is at %04Xh)\n",
                    c.markerStart, c.markerEnd, c.markerStart);
    }
    d.Frames();
    d.Log();
    if (!d.ok) {
        host.lab.StopAll();
        return kExitSetup;
    }

    d.Step(4, "Reads (SingleRead, BlockRead)", "");
    d.Read("MB00012", "a marker byte");
    d.Read("MW00040", "a marker word (the lower address holds the low byte)");
    d.Read("MB00012.0", "bit 0 of MB00012");
    d.Read("MB00012.3", "bit 3 of MB00012");
    d.ReadBlock("MB00100", 8);
    host.lab.TakeTrace(0);
    host.session.TakeLog();

    d.Step(5, "Writes (SingleWrite, BlockWrite)", "");
    {
        Gate g{"MB00012.3", {}};
        host.session.ParseSingle(g);
        if (d.Check(host.session.SingleWrite(g, 1), "MB00012.3")) {
            std::printf("   MB00012.3  := 1   a bit: the driver reads the byte, sets bit 3 and writes the "
                        "byte back\n");
        }
        d.Frames();
        Gate b{"MB00100", {}};
        host.session.ParseBlock(b, 8);
        const std::vector<uint8_t> bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
        if (d.Check(host.session.BlockWrite(b, 8, bytes), "MB00100")) {
            std::printf("   MB00100    := %s   a block of 8 bytes\n", HexBytes(bytes).c_str());
        }
        d.Frames();
        d.Log();
    }

    d.Step(6, "Read back", "");
    d.Read("MB00012", "was 65 (0x41): bit 3 is now set");
    d.Read("MB00012.3");
    d.ReadBlock("MB00100", 8);
    host.lab.TakeTrace(0);
    host.session.TakeLog();

    d.Step(7, "A lost answer",
           "The simulated controller now drops its next reply. The driver waits its read\n"
           "   timeout (here 200 ms), drains the line and tries again (up to six attempts).");
    std::string error;
    host.lab.Sim(0)->AddFault("read:drop", &error);
    d.Read("MW00040", "after one retry");
    d.Frames();
    d.Log();

    d.Step(8, "End (EndHux)", "Closes the port; from now on the driver answers every request with 0.");
    d.Check(host.session.EndHux(), "EndHux");
    host.lab.TakeTrace(0);
    d.Log();
    host.lab.StopAll();

    std::printf("\nTry next:\n"
                "  huxhost --help\n"
                "  huxhost read MB00012 MW00040 MB00012.3\n"
                "  huxhost --sim-trace - write MB00012.3=1\n"
                "  huxhost --sim-trace - --sim-fault 3:lrc*2 read MW00040\n"
                "  huxhost --port ttyUSB0 read MB00012          (a real controller on /dev/ttyUSB0)\n");
    std::fflush(stdout);
    return d.ok ? kExitOk : kExitOpFailed;
}

#else

int RunDemo(Host &) {
    std::fprintf(stderr,
                 "huxhost: the demo needs the embedded simulated controller, which this platform lacks\n");
    return kExitUsage;
}

#endif

} // namespace hh
