// huxhost script FILE: runs one operation per line and prints a transcript
// that is the same on every run: each line as written, then what the
// simulated controller saw (when its trace is on), the driver's log lines
// and the results. Handles, the driver's build date and the port names are
// masked (unless --raw) so that transcripts can be compared.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "hostapp/huxhost/app.h"
#include "hostapp/huxhost/platform.h"

namespace hh {

namespace {

const char kScriptHelp[] =
    "script lines (one operation each; # starts a comment, which is copied to the transcript):\n"
    "  info                         GetHuxInfo\n"
    "  parse GATE [type N]          SingleAddressParser (type: 6 for bits, else 0)\n"
    "  block-parse GATE SIZE        BlockAddressParser\n"
    "  start [NAME] [timeout N] [baud N] [disabled]\n"
    "                               ColdStart (NAME default $PORT)\n"
    "  warm | close | reopen | end  WarmStart, CloseCom, ReOpenCom, EndHux\n"
    "  change NAME [timeout N] [baud N]\n"
    "                               ChangeHuxParams (timeout and baud 0: keep)\n"
    "  flags HEX                    the context's line-control flags word\n"
    "  read GATE...                 SingleRead (read-signed: valueKind 1)\n"
    "  write GATE=VALUE...          SingleWrite\n"
    "  block-read GATE COUNT        BlockRead\n"
    "  block-write GATE VALUE...    BlockWrite\n"
    "  op N                         a bare operation code (0, 2, 8, 9, 11, 12, 13, 16 or above)\n"
    "  context                      show the connection's state\n"
    "  sim CMD / sim2 CMD           the embedded simulated controllers ($PORT, $PORT2):\n"
    "                               fault RULE | clear | poke ADDR BB.. | peek ADDR N |\n"
    "                               protect A-B|off | random RATE SEED | trace on|off\n"
    "  sleep MS | echo TEXT\n"
    "names: $PORT (the --port device or the embedded controller), $PORT2 (a second\n"
    "embedded controller), NULLDEV, NUL, or any device name\n";

struct Runner {
    Host &host;
    int lineNo = 0;
    std::string error;

    // Masks what differs from run to run.
    std::string Mask(std::string text) const {
        if (host.opt.raw) {
            return text;
        }
        const std::string handle = "file handle ";
        for (size_t at = text.find(handle); at != std::string::npos; at = text.find(handle, at + 1)) {
            size_t end = at + handle.size();
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                ++end;
            }
            text.replace(at + handle.size(), end - at - handle.size(), "<h>");
        }
        const std::string version = "HUXDR> version compiled on ";
        if (text.rfind(version, 0) == 0) {
            const size_t at = text.find(" at time ");
            if (at != std::string::npos) {
                text = version + "<date> at time <time>";
            }
        }
        // Longest name first, so that pts/1 does not eat into pts/12.
        std::vector<std::pair<std::string, std::string>> names;
        if (!host.port.empty()) {
            names.push_back({host.port, "$PORT"});
        }
        if (host.lab.Running(1)) {
            names.push_back({host.lab.DriverName(1), "$PORT2"});
        }
        if (names.size() == 2 && names[1].first.size() > names[0].first.size()) {
            std::swap(names[0], names[1]);
        }
        for (const auto &n : names) {
            for (size_t at = text.find(n.first); at != std::string::npos;
                 at = text.find(n.first, at + n.second.size())) {
                text.replace(at, n.first.size(), n.second);
            }
        }
        return text;
    }

    void Out(const std::string &line) { std::printf("  %s\n", line.c_str()); }

    // What the controllers saw and what the driver logged since the last call.
    void Flush() {
        for (int which = 0; which < 2; ++which) {
            for (const std::string &t : host.lab.TakeTrace(which)) {
                Out(std::string(which == 0 ? "sim  " : "sim2 ") + t);
            }
        }
        for (const LogLine &l : host.session.TakeLog()) {
            if (l.level >= host.opt.logLevel) {
                Out("log " + std::to_string(l.level) + " " + Mask(l.text));
            }
        }
    }

    void Result(const std::string &what, int32_t r, const std::string &more = "") {
        Flush();
        Out((what.empty() ? "" : what + " ") + "-> " + std::to_string(r) + " " + ResultName(r) + more);
    }

    bool Fail(const std::string &message) {
        error = message;
        return false;
    }

    // $PORT and $PORT2 to the names the driver opens.
    bool Name(const std::string &word, std::string *name) {
        if (word == "$PORT") {
            *name = host.port;
            return true;
        }
        if (word == "$PORT2") {
            if (!host.opt.port.empty() || !Lab::Available()) {
                return Fail("$PORT2 needs the embedded simulated controllers (no --port)");
            }
            return host.lab.Start(1, host.opt.sim, name, &error);
        }
        if (word.size() > 11) {
            return Fail("device name '" + word + "' is longer than 11 characters");
        }
        *name = word;
        return true;
    }

    bool Options(const std::vector<std::string> &w, size_t from, int32_t *timeout, uint16_t *baud,
                 bool *disabled) {
        for (size_t i = from; i < w.size(); ++i) {
            long long v = 0;
            if (w[i] == "timeout" && i + 1 < w.size() && ParseInt(w[i + 1], -1, 1000000, &v)) {
                *timeout = static_cast<int32_t>(v);
                ++i;
            } else if (w[i] == "baud" && i + 1 < w.size() && ParseInt(w[i + 1], 0, 65535, &v)) {
                *baud = static_cast<uint16_t>(v);
                ++i;
            } else if (w[i] == "disabled" && disabled != nullptr) {
                *disabled = true;
            } else {
                return Fail("cannot understand '" + w[i] + "'");
            }
        }
        return true;
    }

    bool ParseGate(Gate &g) {
        const int32_t r = host.session.ParseSingle(g);
        if (r != HUX_OK) {
            Result(g.text + " (parse)", r);
            return false;
        }
        return true;
    }

    std::string AddrText(const Gate &g) const {
        char b[80];
        std::snprintf(b, sizeof b, ": gateAddr %d %d %d %d %d", g.addr.reserved, g.addr.area, g.addr.index,
                      g.addr.bit, g.addr.width);
        return b;
    }

    bool Line(const std::vector<std::string> &w) {
        const std::string &cmd = w[0];
        const size_t n = w.size();
        long long v = 0;
        if (cmd == "info" && n == 1) {
            DriverInfo info{};
            const int32_t r = host.session.GetInfo(&info);
            Result("", r);
            if (r == HUX_OK && info.deviceName != nullptr && info.banner != nullptr) {
                Out("device name " + std::string(info.deviceName));
                char b[160];
                std::snprintf(b, sizeof b, "defaults %u %u %u %u, constants %u %u %u %u", info.defaults.baud,
                              info.defaults.dataBits, info.defaults.stopBits, info.defaults.parity,
                              info.infoA, info.infoB, info.infoC, info.infoD);
                Out(b);
                std::string banner = Cp437ToUtf8(info.banner);
                size_t start = 0;
                for (size_t nl = banner.find('\n'); start < banner.size(); nl = banner.find('\n', start)) {
                    if (nl == std::string::npos) {
                        nl = banner.size();
                    }
                    if (nl > start) {
                        Out(banner.substr(start, nl - start));
                    }
                    start = nl + 1;
                }
            }
            return true;
        }
        if (cmd == "parse" && (n == 2 || (n == 4 && w[2] == "type"))) {
            Gate g{w[1], {}};
            int32_t type = -1;
            if (n == 4) {
                if (!ParseInt(w[3], -1000000, 1000000, &v)) {
                    return Fail("bad gate type '" + w[3] + "'");
                }
                type = static_cast<int32_t>(v);
            }
            const int32_t r = host.session.ParseSingle(g, type);
            Result(g.text, r, AddrText(g));
            return true;
        }
        if (cmd == "block-parse" && n == 3) {
            if (!ParseInt(w[2], -1000000, 1000000, &v)) {
                return Fail("bad block size '" + w[2] + "'");
            }
            Gate g{w[1], {}};
            const int32_t r = host.session.ParseBlock(g, static_cast<int32_t>(v));
            Result(g.text, r, AddrText(g));
            return true;
        }
        if (cmd == "start") {
            std::string name = host.port;
            size_t from = 1;
            if (n >= 2 && w[1] != "timeout" && w[1] != "baud" && w[1] != "disabled") {
                if (!Name(w[1], &name)) {
                    return false;
                }
                from = 2;
            }
            int32_t timeout = host.opt.timeout;
            uint16_t baud = host.opt.settings.baud;
            bool disabled = false;
            if (!Options(w, from, &timeout, &baud, &disabled)) {
                return false;
            }
            LineSettings s = host.opt.settings;
            s.baud = baud;
            Result("", host.session.ColdStart(name, timeout, s, !disabled));
            return true;
        }
        if (cmd == "change" && n >= 2) {
            std::string name;
            if (!Name(w[1], &name)) {
                return false;
            }
            int32_t timeout = 0;
            uint16_t baud = 0;
            if (!Options(w, 2, &timeout, &baud, nullptr)) {
                return false;
            }
            LineSettings s = host.opt.settings;
            s.baud = baud;
            Result("", host.session.ChangeParams(name, timeout, s));
            return true;
        }
        if (n == 1 && (cmd == "warm" || cmd == "close" || cmd == "reopen" || cmd == "end")) {
            const int32_t r = cmd == "warm"     ? host.session.WarmStart()
                              : cmd == "close"  ? host.session.CloseCom()
                              : cmd == "reopen" ? host.session.ReOpenCom()
                                                : host.session.EndHux();
            Result("", r);
            return true;
        }
        if (cmd == "flags" && n == 2) {
            char *end = nullptr;
            const unsigned long f = std::strtoul(w[1].c_str(), &end, 16);
            if (*end != '\0' || f > 0xFFFF) {
                return Fail("flags HEX (e.g. flags 0303)");
            }
            host.session.Context().portParams.flags = static_cast<uint16_t>(f);
            return true;
        }
        if ((cmd == "read" || cmd == "read-signed") && n >= 2) {
            const int32_t kind = cmd == "read-signed" ? 1 : 0;
            for (size_t i = 1; i < n; ++i) {
                Gate g{w[i], {}};
                if (!ParseGate(g)) {
                    continue;
                }
                uint16_t value = 0;
                const int32_t r = host.session.SingleRead(g, kind, &value);
                Result(g.text, r, r == HUX_OK ? ", " + FormatValue(g, value, kind) : "");
            }
            return true;
        }
        if (cmd == "write" && n >= 2) {
            for (size_t i = 1; i < n; ++i) {
                const auto eq = w[i].find('=');
                if (eq == std::string::npos) {
                    return Fail("write GATE=VALUE");
                }
                Gate g{w[i].substr(0, eq), {}};
                if (!ParseGate(g)) {
                    continue;
                }
                uint16_t value = 0;
                if (!ParseValue(g, w[i].substr(eq + 1), &value, &error)) {
                    return false;
                }
                Result(w[i], host.session.SingleWrite(g, value));
            }
            return true;
        }
        if (cmd == "block-read" && n == 3) {
            if (!ParseInt(w[2], -1000000, 1000000, &v)) {
                return Fail("block-read GATE COUNT");
            }
            Gate g{w[1], {}};
            const int32_t pr = host.session.ParseBlock(g, static_cast<int32_t>(v));
            if (pr != HUX_OK) {
                Result(g.text + " (parse)", pr);
                return true;
            }
            std::vector<uint8_t> bytes;
            const int32_t r = host.session.BlockRead(g, static_cast<int32_t>(v), &bytes);
            Result(g.text + " x" + w[2], r);
            if (r == HUX_OK) {
                for (size_t i = 0; i < bytes.size(); i += 16) {
                    const std::vector<uint8_t> row(bytes.begin() + static_cast<long>(i),
                                                   bytes.begin() +
                                                       static_cast<long>(std::min(bytes.size(), i + 16)));
                    Out("  " + HexBytes(row));
                }
            }
            return true;
        }
        if (cmd == "block-write" && n >= 3) {
            Gate g{w[1], {}};
            const std::vector<std::string> texts(w.begin() + 2, w.end());
            const int32_t count = static_cast<int32_t>(texts.size());
            const int32_t pr = host.session.ParseBlock(g, count);
            if (pr != HUX_OK) {
                Result(g.text + " (parse)", pr);
                return true;
            }
            std::vector<uint8_t> bytes;
            if (!ParseBlockValues(g, texts, &bytes, &error)) {
                return false;
            }
            Result(g.text + " x" + std::to_string(count), host.session.BlockWrite(g, count, bytes));
            return true;
        }
        if (cmd == "op" && n == 2) {
            if (!ParseInt(w[1], 0, 0xFFFFFFFFll, &v)) {
                return Fail("op N");
            }
            const uint32_t op = static_cast<uint32_t>(v);
            // Operations with a data record need their own lines.
            const bool hasData = op == 1 || op == 3 || op == 4 || op == 5 || op == 6 || op == 7 || op == 10 ||
                                 op == 14 || op == 15;
            if (hasData) {
                return Fail("op " + w[1] + " takes a data record: use its own script line");
            }
            Result("op " + w[1], host.session.Call(op, nullptr));
            return true;
        }
        if (cmd == "context" && n == 1) {
            const ComContext &c = host.session.Context();
            char b[200];
            std::snprintf(b, sizeof b,
                          "port %s, name %.12s, timeout %d, settings %u %u %u %u, flags %04X, "
                          "marker %04X..%04X%s",
                          c.port != 0 ? "open" : "none", c.portParams.name, c.timeout,
                          c.portParams.settings.baud, c.portParams.settings.dataBits,
                          c.portParams.settings.stopBits, c.portParams.settings.parity, c.portParams.flags,
                          c.markerStart, c.markerEnd, c.markerEnd == 0 ? " (not known)" : "");
            Out(Mask(b));
            return true;
        }
        if ((cmd == "sim" || cmd == "sim2") && n >= 2) {
            const int which = cmd == "sim" ? 0 : 1;
            if (which == 1 && !host.lab.Running(1)) {
                std::string ignored;
                if (!Name("$PORT2", &ignored)) {
                    return false;
                }
            }
            std::vector<std::string> out;
            if (!host.lab.Command(which, std::vector<std::string>(w.begin() + 1, w.end()), &out, &error)) {
                return false;
            }
            for (const std::string &o : out) {
                Out(o);
            }
            return true;
        }
        if (cmd == "sleep" && n == 2 && ParseInt(w[1], 0, 60000, &v)) {
            SleepMs(static_cast<int>(v));
            return true;
        }
        if (cmd == "echo") {
            std::string text;
            for (size_t i = 1; i < n; ++i) {
                text += (i > 1 ? " " : "") + w[i];
            }
            Out(text);
            return true;
        }
        return Fail("cannot understand this line");
    }
};

} // namespace

int RunScript(Host &host, const std::string &path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "huxhost: cannot read the script '%s'\n", path.c_str());
        return kExitUsage;
    }
    if (!PreparePort(host)) {
        return kExitSetup;
    }
    // The host's line-control flags word, used when the driver reopens.
    host.session.Context().portParams.flags = host.opt.flags;
    Runner runner{host, 0, {}};
    std::string line;
    while (std::getline(in, line)) {
        ++runner.lineNo;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::vector<std::string> words = SplitWords(line);
        if (words.empty()) {
            continue;
        }
        if (words[0][0] == '#') {
            std::printf("%s\n", line.c_str());
            continue;
        }
        std::printf("> %s\n", line.c_str());
        if (!runner.Line(words)) {
            std::fflush(stdout);
            std::fprintf(stderr, "huxhost: %s:%d: %s\n%s", path.c_str(), runner.lineNo, runner.error.c_str(),
                         kScriptHelp);
            host.lab.StopAll();
            return kExitUsage;
        }
        std::fflush(stdout);
    }
    runner.Flush();
    host.lab.StopAll();
    return kExitOk;
}

const char *ScriptHelp() {
    return kScriptHelp;
}

} // namespace hh
