// One connection to the driver: the records the host owns, the calls
// through HuxMain, and the driver's log lines as they arrive.
#ifndef HUXHOST_SESSION_H
#define HUXHOST_SESSION_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "hostapp/huxhost/platform.h"

namespace hh {

struct LogLine {
    int32_t level = 0;
    std::string text;
};

// A gate as the host keeps it: its text and the address the parser filled.
struct Gate {
    std::string text;
    GateAddr addr{};
    bool IsBit() const { return addr.bit != -1; }
    bool IsWord() const { return addr.area == 'W'; }
    // The gate type the parsers accept: 6 (digital) for a bit, else 0.
    int32_t GateType() const { return text.find('.') != std::string::npos ? 6 : 0; }
};

const char *ResultName(int32_t result); // "ok", "refused", "failed"

class Session {
  public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool Load(const std::string &path, std::string *error);

    // Every operation returns the driver's result unchanged.
    int32_t Call(uint32_t op, void *data);
    int32_t GetInfo(DriverInfo *info);
    int32_t ColdStart(const std::string &name, int32_t timeout, const LineSettings &settings,
                      bool enabled = true);
    int32_t WarmStart();
    int32_t CloseCom();
    int32_t ReOpenCom();
    int32_t EndHux();
    int32_t ChangeParams(const std::string &name, int32_t timeout, const LineSettings &settings);
    // Parses `gate.text` into gate.addr: the single parser with the gate
    // type its form asks for (or `gateType` when not -1), or the block parser.
    int32_t ParseSingle(Gate &gate, int32_t gateType = -1);
    int32_t ParseBlock(Gate &gate, int32_t blockSize);
    int32_t SingleRead(const Gate &gate, int32_t valueKind, uint16_t *value);
    int32_t SingleWrite(const Gate &gate, uint16_t value);
    int32_t BlockRead(const Gate &gate, int32_t count, std::vector<uint8_t> *bytes);
    int32_t BlockWrite(const Gate &gate, int32_t count, const std::vector<uint8_t> &bytes);

    ComContext &Context() { return store_.context; }

    // Log lines since the last call to TakeLog.
    std::vector<LogLine> TakeLog();
    // Also hand each line to `live` as it arrives (nullptr: stop).
    void SetLive(std::function<void(const LogLine &)> live) { live_ = std::move(live); }

  private:
    static void Sink(int32_t level, const char *line, void *user);

    DriverLibrary library_;
    // The context the host allocates: the driver's 135 bytes and room to spare.
    struct Store {
        ComContext context;
        uint8_t spare[64];
    } store_{};
    DriverRequest request_{};
    std::vector<LogLine> log_;
    std::function<void(const LogLine &)> live_;
};

} // namespace hh

#endif // HUXHOST_SESSION_H
