// huxhost's options and the helpers its commands share.
#ifndef HUXHOST_APP_H
#define HUXHOST_APP_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "hostapp/huxhost/lab.h"
#include "hostapp/huxhost/session.h"

namespace hh {

// Exit codes.
enum Exit { kExitOk = 0, kExitOpFailed = 1, kExitUsage = 2, kExitSetup = 3 };

struct Options {
    std::string port; // empty: the embedded simulated controller
    std::string driver;
    LineSettings settings{9600, 8, 0, 0};
    int32_t timeout = 100; // 10 ms units
    bool flagsGiven = false;
    uint16_t flags = 0x0303;
    int32_t valueKind = 0;
    int logLevel = 8; // driver log lines shown: this level and above
    bool json = false;
    bool raw = false; // script: no masking of handles, build date and port names
    int intervalMs = 1000;
    int count = 0;           // poll rounds, 0: until interrupted
    bool blockGiven = false; // parse --block N: the block parser
    int32_t blockSize = 0;
    SimOptions sim;
};

// The connection a command works on: the driver loaded, and the embedded
// simulated controller when no port was given.
struct Host {
    Options opt;
    Session session;
    Lab lab;
    std::string port; // the name the driver opens
};

// Loads the driver; false with a message on stderr.
bool LoadDriver(Host &host);
// Starts the embedded controller unless a port was given; sets host.port.
bool PreparePort(Host &host);

// "65 (0x41)", "-2 (0xFE)", "4660 (0x1234)", "1 (0x1)".
std::string FormatValue(const Gate &gate, uint16_t value, int32_t valueKind);
// The value for a single write: a bit takes 0 or 1, a byte -128..255, a word
// -32768..65535 (decimal or 0x hexadecimal).
bool ParseValue(const Gate &gate, const std::string &text, uint16_t *value, std::string *error);
// Block values: bytes for B, words for W (stored low byte first, as on the line).
bool ParseBlockValues(const Gate &gate, const std::vector<std::string> &texts, std::vector<uint8_t> *bytes,
                      std::string *error);
// The address text of element i of a block gate: MB00100 -> MB00101, MW00040 -> MW00042.
std::string ElementName(const Gate &gate, int i);
// A code page 437 text as UTF-8 (the banner); control characters but the
// line feed are left out.
std::string Cp437ToUtf8(const char *text);
std::string JsonString(const std::string &text);
std::string HexBytes(const std::vector<uint8_t> &bytes);
std::string Describe(const Gate &gate); // "marker byte 12", "bit 3 of marker word at byte 40"
bool ParseInt(const std::string &text, long long minValue, long long maxValue, long long *out);
std::vector<std::string> SplitWords(const std::string &line);

int RunCommand(Host &host, const std::string &command, const std::vector<std::string> &args);
int RunScript(Host &host, const std::string &path);
int RunDemo(Host &host);

} // namespace hh

#endif // HUXHOST_APP_H
