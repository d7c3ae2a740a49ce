// The one-shot commands: info, parse, read, write, block-read, block-write,
// poll. Each runs one session: cold start, its operations, end.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hostapp/huxhost/app.h"
#include "hostapp/huxhost/platform.h"

namespace hh {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) {
    gInterrupted = 1;
}

// Collects a command's JSON output, or prints as it goes.
struct Report {
    Host &host;
    std::vector<std::string> items; // JSON objects of the results
    std::string extra;              // further JSON members, each with a leading comma

    explicit Report(Host &h) : host(h) {
        if (!host.opt.json) {
            const int level = host.opt.logLevel;
            host.session.SetLive([level](const LogLine &line) {
                if (line.level >= level) {
                    std::fprintf(stderr, "log[%d] %s\n", line.level, line.text.c_str());
                }
            });
        }
    }

    int Finish(const std::string &command, int exitCode) {
        if (host.opt.json) {
            std::string log;
            for (const LogLine &l : host.session.TakeLog()) {
                if (l.level >= host.opt.logLevel) {
                    log += (log.empty() ? "" : ",") + std::string("{\"level\":") + std::to_string(l.level) +
                           ",\"text\":" + JsonString(l.text) + "}";
                }
            }
            std::string results;
            for (const std::string &i : items) {
                results += (results.empty() ? "" : ",") + i;
            }
            std::printf("{\"command\":%s,\"ok\":%s%s,\"results\":[%s],\"log\":[%s]}\n",
                        JsonString(command).c_str(), exitCode == kExitOk ? "true" : "false", extra.c_str(),
                        results.c_str(), log.c_str());
        }
        std::fflush(stdout);
        return exitCode;
    }
};

// Parses every gate; prints refusals. False when any was refused.
bool ParseGates(Host &host, std::vector<Gate> &gates, Report &report) {
    bool ok = true;
    for (Gate &g : gates) {
        const int32_t r = host.session.ParseSingle(g);
        if (r != HUX_OK) {
            ok = false;
            if (host.opt.json) {
                report.items.push_back("{\"gate\":" + JsonString(g.text) + ",\"result\":" +
                                       std::to_string(r) + ",\"error\":\"address refused by the driver\"}");
            } else {
                std::fprintf(
                    stderr,
                    "huxhost: the driver refuses the gate '%s' (result %d); gates look like MB00012, "
                    "MW00040, MB00012.3 (see --help)\n",
                    g.text.c_str(), r);
            }
        }
    }
    return ok;
}

// Cold start on the command's port. False (with a message) when the port
// cannot be opened.
bool Start(Host &host, Report &report) {
    if (!PreparePort(host)) {
        return false;
    }
    host.session.Context().portParams.flags = host.opt.flags;
    const int32_t r = host.session.ColdStart(host.port, host.opt.timeout, host.opt.settings);
    const ComContext &c = host.session.Context();
    char members[160];
    std::snprintf(members, sizeof members,
                  ",\"port\":%s,\"coldStart\":%d,\"markerKnown\":%s,\"markerStart\":%u,\"markerEnd\":%u",
                  JsonString(host.port).c_str(), r, c.markerEnd != 0 ? "true" : "false", c.markerStart,
                  c.markerEnd);
    report.extra += members;
    if (r != HUX_OK) {
        if (!host.opt.json) {
            std::fprintf(stderr, "huxhost: cannot open the port '%s' (ColdStart result %d)\n",
                         host.port.c_str(), r);
        }
        return false;
    }
    if (c.markerEnd == 0 && !host.opt.json) {
        std::fprintf(stderr,
                     "huxhost: the controller did not tell its marker area; every transfer will ask again\n");
    }
    return true;
}

void End(Host &host) {
    host.session.EndHux();
    host.lab.StopAll();
}

std::string ResultText(int32_t r) {
    return "result " + std::to_string(r) + " (" + ResultName(r) + ")";
}

int CmdInfo(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    if (!args.empty()) {
        std::fprintf(stderr, "huxhost: info takes no arguments\n");
        return kExitUsage;
    }
    DriverInfo info{};
    const int32_t r = host.session.GetInfo(&info);
    if (host.opt.json) {
        char b[256];
        std::snprintf(b, sizeof b,
                      ",\"result\":%d,\"infoA\":%u,\"infoB\":%u,\"infoC\":%u,\"infoD\":%u,"
                      "\"defaults\":{\"baud\":%u,\"dataBits\":%u,\"stopBits\":%u,\"parity\":%u}",
                      r, info.infoA, info.infoB, info.infoC, info.infoD, info.defaults.baud,
                      info.defaults.dataBits, info.defaults.stopBits, info.defaults.parity);
        report.extra += b;
        report.extra += ",\"deviceName\":" + JsonString(info.deviceName != nullptr ? info.deviceName : "");
        report.extra += ",\"banner\":" + JsonString(info.banner != nullptr ? Cp437ToUtf8(info.banner) : "");
        return report.Finish("info", r == HUX_OK ? kExitOk : kExitOpFailed);
    }
    if (r != HUX_OK || info.deviceName == nullptr || info.banner == nullptr) {
        std::fprintf(stderr, "huxhost: GetHuxInfo: %s\n", ResultText(r).c_str());
        return kExitOpFailed;
    }
    std::printf("device name   %s\n", info.deviceName);
    std::printf("line defaults %u baud, %u data bits, stop-bit code %u, parity code %u\n", info.defaults.baud,
                info.defaults.dataBits, info.defaults.stopBits, info.defaults.parity);
    std::printf("constants     infoA %u, infoB %u, infoC %u, infoD %u\n", info.infoA, info.infoB, info.infoC,
                info.infoD);
    std::printf("banner\n%s\n", Cp437ToUtf8(info.banner).c_str());
    return report.Finish("info", kExitOk);
}

int CmdParse(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    const std::vector<std::string> &texts = args;
    const bool block = host.opt.blockGiven;
    const int32_t blockSize = host.opt.blockSize;
    if (texts.empty()) {
        std::fprintf(stderr, "huxhost: parse GATE... [--block SIZE]\n");
        return kExitUsage;
    }
    int exitCode = kExitOk;
    for (const std::string &t : texts) {
        Gate g{t, {}};
        const int32_t r = block ? host.session.ParseBlock(g, blockSize) : host.session.ParseSingle(g);
        if (r != HUX_OK) {
            exitCode = kExitOpFailed;
        }
        if (host.opt.json) {
            char b[200];
            std::snprintf(b, sizeof b, ",\"result\":%d,\"area\":%d,\"index\":%d,\"bit\":%d,\"width\":%d", r,
                          g.addr.area, g.addr.index, g.addr.bit, g.addr.width);
            report.items.push_back("{\"gate\":" + JsonString(t) + b + "}");
        } else if (r == HUX_OK) {
            std::printf("%-10s ok: %s; area %c, index %d, bit %d, width %d\n", t.c_str(), Describe(g).c_str(),
                        static_cast<char>(g.addr.area), g.addr.index, g.addr.bit, g.addr.width);
        } else {
            std::printf("%-10s refused, result %d\n", t.c_str(), r);
        }
    }
    return report.Finish("parse", exitCode);
}

int CmdRead(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    if (args.empty()) {
        std::fprintf(stderr, "huxhost: read GATE...\n");
        return kExitUsage;
    }
    std::vector<Gate> gates;
    for (const std::string &a : args) {
        gates.push_back(Gate{a, {}});
    }
    if (!ParseGates(host, gates, report)) {
        return report.Finish("read", kExitUsage);
    }
    if (!Start(host, report)) {
        End(host);
        return report.Finish("read", kExitSetup);
    }
    int exitCode = kExitOk;
    for (const Gate &g : gates) {
        uint16_t v = 0;
        const int32_t r = host.session.SingleRead(g, host.opt.valueKind, &v);
        if (r != HUX_OK) {
            exitCode = kExitOpFailed;
        }
        if (host.opt.json) {
            std::string item = "{\"gate\":" + JsonString(g.text) + ",\"result\":" + std::to_string(r);
            if (r == HUX_OK) {
                const int shown =
                    !g.IsBit() && !g.IsWord() && host.opt.valueKind == 1 ? static_cast<int16_t>(v) : v;
                char h[8];
                std::snprintf(h, sizeof h,
                              g.IsBit()    ? "%X"
                              : g.IsWord() ? "%04X"
                                           : "%02X",
                              g.IsBit() || g.IsWord() ? v : v & 0xFF);
                item += ",\"value\":" + std::to_string(shown) + ",\"hex\":\"0x" + h + "\"";
            }
            report.items.push_back(item + "}");
        } else if (r == HUX_OK) {
            std::printf("%-10s = %s\n", g.text.c_str(), FormatValue(g, v, host.opt.valueKind).c_str());
        } else {
            std::printf("%-10s   %s\n", g.text.c_str(), ResultText(r).c_str());
        }
    }
    End(host);
    return report.Finish("read", exitCode);
}

int CmdWrite(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    if (args.empty()) {
        std::fprintf(stderr, "huxhost: write GATE=VALUE...\n");
        return kExitUsage;
    }
    std::vector<Gate> gates;
    std::vector<std::string> texts;
    for (const std::string &a : args) {
        const auto eq = a.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "huxhost: write GATE=VALUE (e.g. MB00012.3=1, MW00040=0x1234), not '%s'\n",
                         a.c_str());
            return kExitUsage;
        }
        gates.push_back(Gate{a.substr(0, eq), {}});
        texts.push_back(a.substr(eq + 1));
    }
    if (!ParseGates(host, gates, report)) {
        return report.Finish("write", kExitUsage);
    }
    std::vector<uint16_t> values(gates.size());
    for (size_t i = 0; i < gates.size(); ++i) {
        std::string error;
        if (!ParseValue(gates[i], texts[i], &values[i], &error)) {
            std::fprintf(stderr, "huxhost: %s: %s\n", gates[i].text.c_str(), error.c_str());
            return report.Finish("write", kExitUsage);
        }
    }
    if (!Start(host, report)) {
        End(host);
        return report.Finish("write", kExitSetup);
    }
    int exitCode = kExitOk;
    for (size_t i = 0; i < gates.size(); ++i) {
        const int32_t r = host.session.SingleWrite(gates[i], values[i]);
        if (r != HUX_OK) {
            exitCode = kExitOpFailed;
        }
        if (host.opt.json) {
            report.items.push_back("{\"gate\":" + JsonString(gates[i].text) + ",\"value\":" +
                                   std::to_string(values[i]) + ",\"result\":" + std::to_string(r) + "}");
        } else {
            std::printf("%-10s := %s  %s\n", gates[i].text.c_str(),
                        FormatValue(gates[i], values[i], 0).c_str(),
                        r == HUX_OK ? "ok" : ResultText(r).c_str());
        }
    }
    End(host);
    return report.Finish("write", exitCode);
}

void PrintBlock(const Gate &gate, const std::vector<uint8_t> &bytes) {
    const int n = static_cast<int>(gate.IsWord() ? bytes.size() / 2 : bytes.size());
    for (int i = 0; i < n; ++i) {
        Gate element = gate;
        element.addr.bit = -1;
        const uint16_t v =
            gate.IsWord() ? static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8) : bytes[i];
        std::printf("%-10s = %s\n", ElementName(gate, i).c_str(), FormatValue(element, v, 0).c_str());
    }
}

std::string BlockJson(const Gate &gate, const std::vector<uint8_t> &bytes) {
    std::string b, v;
    for (uint8_t x : bytes) {
        b += (b.empty() ? "" : ",") + std::to_string(x);
    }
    const size_t n = gate.IsWord() ? bytes.size() / 2 : bytes.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned value =
            gate.IsWord() ? static_cast<unsigned>(bytes[2 * i] | bytes[2 * i + 1] << 8) : bytes[i];
        v += (v.empty() ? "" : ",") + std::to_string(value);
    }
    return ",\"bytes\":[" + b + "],\"values\":[" + v + "]";
}

int CmdBlockRead(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    long long count = 0;
    if (args.size() != 2 || !ParseInt(args[1], -1000, 1000, &count)) {
        std::fprintf(stderr,
                     "huxhost: block-read GATE COUNT (bytes for MB, words for MW: at most 64 bytes)\n");
        return kExitUsage;
    }
    Gate g{args[0], {}};
    const int32_t pr = host.session.ParseBlock(g, static_cast<int32_t>(count));
    if (pr != HUX_OK) {
        std::fprintf(stderr, "huxhost: the driver refuses the block %s of %lld (result %d)\n", g.text.c_str(),
                     count, pr);
        return report.Finish("block-read", kExitUsage);
    }
    if (!Start(host, report)) {
        End(host);
        return report.Finish("block-read", kExitSetup);
    }
    std::vector<uint8_t> bytes;
    const int32_t r = host.session.BlockRead(g, static_cast<int32_t>(count), &bytes);
    if (host.opt.json) {
        report.items.push_back("{\"gate\":" + JsonString(g.text) + ",\"count\":" + std::to_string(count) +
                               ",\"result\":" + std::to_string(r) + (r == HUX_OK ? BlockJson(g, bytes) : "") +
                               "}");
    } else if (r == HUX_OK) {
        PrintBlock(g, bytes);
    } else {
        std::printf("%s x%lld  %s\n", g.text.c_str(), count, ResultText(r).c_str());
    }
    End(host);
    return report.Finish("block-read", r == HUX_OK ? kExitOk : kExitOpFailed);
}

int CmdBlockWrite(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    if (args.size() < 2) {
        std::fprintf(stderr, "huxhost: block-write GATE VALUE... (bytes for MB, words for MW)\n");
        return kExitUsage;
    }
    Gate g{args[0], {}};
    const std::vector<std::string> texts(args.begin() + 1, args.end());
    const int32_t count = static_cast<int32_t>(texts.size());
    const int32_t pr = host.session.ParseBlock(g, count);
    if (pr != HUX_OK) {
        std::fprintf(stderr, "huxhost: the driver refuses the block %s of %d (result %d)\n", g.text.c_str(),
                     count, pr);
        return report.Finish("block-write", kExitUsage);
    }
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ParseBlockValues(g, texts, &bytes, &error)) {
        std::fprintf(stderr, "huxhost: %s\n", error.c_str());
        return report.Finish("block-write", kExitUsage);
    }
    if (!Start(host, report)) {
        End(host);
        return report.Finish("block-write", kExitSetup);
    }
    const int32_t r = host.session.BlockWrite(g, count, bytes);
    if (host.opt.json) {
        report.items.push_back("{\"gate\":" + JsonString(g.text) + ",\"count\":" + std::to_string(count) +
                               ",\"result\":" + std::to_string(r) + BlockJson(g, bytes) + "}");
    } else {
        std::printf("%s x%d := %s  %s\n", g.text.c_str(), count, HexBytes(bytes).c_str(),
                    r == HUX_OK ? "ok" : ResultText(r).c_str());
    }
    End(host);
    return report.Finish("block-write", r == HUX_OK ? kExitOk : kExitOpFailed);
}

int CmdPoll(Host &host, const std::vector<std::string> &args) {
    Report report(host);
    if (args.empty()) {
        std::fprintf(stderr, "huxhost: poll GATE... [--interval MS] [--count N]\n");
        return kExitUsage;
    }
    std::vector<Gate> gates;
    for (const std::string &a : args) {
        gates.push_back(Gate{a, {}});
    }
    if (!ParseGates(host, gates, report)) {
        return report.Finish("poll", kExitUsage);
    }
    // On a terminal the table is redrawn in place and the driver's lines
    // are kept under it; elsewhere each round is printed after the last.
    const bool redraw = !host.opt.json && IsTerminal(stdout);
    std::vector<std::string> recent;
    if (redraw) {
        const int level = host.opt.logLevel;
        host.session.SetLive([&recent, level](const LogLine &line) {
            if (line.level >= level) {
                recent.push_back("log[" + std::to_string(line.level) + "] " + line.text);
                if (recent.size() > 8) {
                    recent.erase(recent.begin());
                }
            }
        });
    }
    if (!Start(host, report)) {
        End(host);
        return report.Finish("poll", kExitSetup);
    }
    gInterrupted = 0;
    auto previous = std::signal(SIGINT, OnInterrupt);
    int exitCode = kExitOk;
    for (int round = 1; host.opt.count == 0 || round <= host.opt.count; ++round) {
        const double started = NowMs();
        std::string table;
        std::string json;
        char line[200];
        for (const Gate &g : gates) {
            uint16_t v = 0;
            const int32_t r = host.session.SingleRead(g, host.opt.valueKind, &v);
            if (r != HUX_OK) {
                exitCode = kExitOpFailed;
            }
            std::snprintf(line, sizeof line, "%-10s %-16s %s\n", g.text.c_str(),
                          r == HUX_OK ? FormatValue(g, v, host.opt.valueKind).c_str() : "-",
                          r == HUX_OK ? "ok" : ResultText(r).c_str());
            table += line;
            json += (json.empty() ? "" : ",") + std::string("{\"gate\":") + JsonString(g.text) +
                    ",\"result\":" + std::to_string(r) +
                    (r == HUX_OK ? ",\"value\":" + std::to_string(v) : "") + "}";
        }
        if (host.opt.json) {
            std::printf("{\"command\":\"poll\",\"round\":%d,\"results\":[%s]}\n", round, json.c_str());
        } else {
            if (redraw) {
                std::printf("\x1b[H\x1b[2J");
            }
            std::printf("poll %d%s%s, every %d ms, on %s\n%-10s %-16s %s\n%s", round,
                        host.opt.count != 0 ? " of " : "",
                        host.opt.count != 0 ? std::to_string(host.opt.count).c_str() : "",
                        host.opt.intervalMs, host.port.c_str(), "gate", "value", "status", table.c_str());
            if (redraw && !recent.empty()) {
                std::printf("\ndriver log (latest):\n");
                for (const std::string &r : recent) {
                    std::printf("  %s\n", r.c_str());
                }
                std::printf("\nCtrl-C ends\n");
            } else if (!redraw) {
                std::printf("\n");
            }
        }
        std::fflush(stdout);
        if (host.opt.count != 0 && round == host.opt.count) {
            break;
        }
        while (!gInterrupted && NowMs() - started < host.opt.intervalMs) {
            SleepMs(10);
        }
        if (gInterrupted) {
            break;
        }
    }
    std::signal(SIGINT, previous);
    End(host);
    if (host.opt.json) {
        host.session.TakeLog();
        std::fflush(stdout);
        return exitCode;
    }
    return report.Finish("poll", exitCode);
}

} // namespace

int RunCommand(Host &host, const std::string &command, const std::vector<std::string> &args) {
    if (command == "info") {
        return CmdInfo(host, args);
    }
    if (command == "parse") {
        return CmdParse(host, args);
    }
    if (command == "read") {
        return CmdRead(host, args);
    }
    if (command == "write") {
        return CmdWrite(host, args);
    }
    if (command == "block-read") {
        return CmdBlockRead(host, args);
    }
    if (command == "block-write") {
        return CmdBlockWrite(host, args);
    }
    if (command == "poll") {
        return CmdPoll(host, args);
    }
    std::fprintf(stderr, "huxhost: unknown command '%s' (see --help)\n", command.c_str());
    return kExitUsage;
}

} // namespace hh
