// A scripted controller on the far end of the fake device, and the fixture
// the engine tests share: a connection opened through ColdStart against it.
#ifndef HUX_TESTS_ENGINE_PLC_H
#define HUX_TESTS_ENGINE_PLC_H

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "driver/gates/parse.h"
#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"
#include "tests/fake/fake_device.h"
#include "tests/support/test_log.h"

namespace plc {

using fake::Bytes;

// What the controller does with one frame it receives.
enum class Fault {
    None,       // answers as a controller does
    Silent,     // answers nothing
    Nack,       // answers a refusal code instead of 0x06 (write request or data frame)
    BadLrc,     // read reply with its LRC flipped
    WrongCount, // read reply whose byte count is one too high (LRC right)
    Short,      // read reply without its last byte
    Overlong,   // read reply followed by one stray byte
};

struct Action {
    Fault fault = Fault::None;
    uint8_t code = 0x15; // the refusal code for Nack
};

// Reply header bytes 0 to 2: not examined by the driver (1 and 2 are in the LRC).
constexpr uint8_t kReplyHead[3] = {0x0C, 0x07, 0x82};

inline uint8_t Xor(const Bytes &bytes, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) {
        x ^= bytes[i];
    }
    return x;
}

// A read reply for the given data: three header bytes, count, data, LRC.
inline Bytes ReadReply(const Bytes &data, uint8_t count) {
    Bytes reply(kReplyHead, kReplyHead + 3);
    reply.push_back(count);
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(Xor(reply, 1, reply.size()));
    return reply;
}

struct Controller {
    std::array<uint8_t, 0x10000> memory{};
    std::deque<Action> script; // one action per frame received; None when empty
    std::vector<Bytes> frames; // every frame received, in order
    bool writeAllowed = false; // a 0x83 request was acknowledged
    uint16_t writeFirst = 0;
    uint16_t writeLast = 0;

    // Marker area: markerStart = start; markerEnd = endWord - 2.
    void SetArea(uint16_t start, uint16_t endWord) {
        memory[0x40] = static_cast<uint8_t>(start >> 8);
        memory[0x41] = static_cast<uint8_t>(start & 0xFF);
        memory[0x4A] = static_cast<uint8_t>(endWord >> 8);
        memory[0x4B] = static_cast<uint8_t>(endWord & 0xFF);
    }

    void Fail(Fault fault, int times = 1, uint8_t code = 0x15) {
        for (int i = 0; i < times; ++i) {
            script.push_back(Action{fault, code});
        }
    }
    void Pass(int times = 1) { Fail(Fault::None, times); }

    void Attach(fake::Device &device) {
        device.onWrite = [this](fake::Device &dev, const Bytes &frame) { OnFrame(dev, frame); };
    }

    void OnFrame(fake::Device &dev, const Bytes &frame) {
        frames.push_back(frame);
        Action action;
        if (!script.empty()) {
            action = script.front();
            script.pop_front();
        }
        if (action.fault == Fault::Silent || frame.size() < 4) {
            return;
        }
        const uint8_t command = frame[2];
        if (command == 0x82 || command == 0x83) {
            const uint16_t first = static_cast<uint16_t>((frame[3] << 8) | frame[4]);
            const uint16_t last = static_cast<uint16_t>((frame[5] << 8) | frame[6]);
            if (command == 0x83) {
                writeAllowed = action.fault != Fault::Nack;
                writeFirst = first;
                writeLast = last;
                dev.Queue(Bytes{writeAllowed ? uint8_t{0x06} : action.code});
                return;
            }
            Bytes data(memory.begin() + first, memory.begin() + last + 1);
            Bytes reply = ReadReply(data, static_cast<uint8_t>(data.size()));
            switch (action.fault) {
            case Fault::BadLrc:
                reply.back() ^= 0xFF;
                break;
            case Fault::WrongCount:
                reply = ReadReply(data, static_cast<uint8_t>(data.size() + 1));
                break;
            case Fault::Short:
                reply.pop_back();
                break;
            case Fault::Overlong:
                reply.push_back(0xAA);
                break;
            default:
                break;
            }
            dev.Queue(reply);
            return;
        }
        if (command == 0x14) {
            if (action.fault == Fault::Nack) {
                dev.Queue(Bytes{action.code});
                return;
            }
            if (writeAllowed) {
                for (size_t i = 0; i < frame[3]; ++i) {
                    memory[(writeFirst + i) & 0xFFFF] = frame[4 + i];
                }
            }
            writeAllowed = false;
            dev.Queue(Bytes{0x06});
        }
    }
};

// The frames of one kind (command byte) that the controller received.
inline std::vector<Bytes> FramesOf(const Controller &plc, uint8_t command) {
    std::vector<Bytes> out;
    for (const Bytes &frame : plc.frames) {
        if (frame.size() > 2 && frame[2] == command) {
            out.push_back(frame);
        }
    }
    return out;
}

// A ComContext with room behind it, so that writes past the driver's 0x87
// bytes show up.
struct GuardedContext {
    ComContext context;
    uint8_t guard[16];
};

constexpr uint8_t kFill = 0xEE;

class EngineTest : public ::testing::Test {
  protected:
    static constexpr uint16_t kStart = 0x1000;
    static constexpr uint16_t kEndWord = 0x1802; // markerEnd 0x1800

    fake::Device *device = nullptr;
    Controller plc;
    GuardedContext guarded{};
    ComContext &context = guarded.context;
    GateTransfer transfer{};
    std::array<uint8_t, 80> values{};
    DriverRequest request{};

    void SetUp() override {
        ended = 0;
        fake::Reset();
        testlog::Clear();
        std::memset(static_cast<void *>(&guarded), kFill, sizeof guarded);
        context.port = 0;
        device = &fake::AddDevice("COM1");
        plc.SetArea(kStart, kEndWord);
        plc.Attach(*device);
        values.fill(kFill);
        request.context = &context;
        request.data = &transfer;
    }
    void TearDown() override { ended = 0; }

    // Opens COM1 through a cold start (discovery included) and forgets
    // everything that happened on the way.
    void Open(int32_t timeout = 10) {
        StartParams start{};
        std::strcpy(start.name, "COM1");
        start.enabled = 1;
        start.timeout = timeout;
        start.settings = LineSettings{9600, 8, 0, 0};
        DriverRequest cold{&context, HUX_OP_COLD_START, 0, 0, &start};
        ASSERT_EQ(HuxMain(&cold), HUX_OK);
        ASSERT_NE(context.port, 0u);
        Forget();
    }

    void Forget() {
        fake::ClearCalls();
        testlog::Clear();
        plc.frames.clear();
        device->written.clear();
    }

    // Fills the transfer for an address text as the parser decodes it.
    void Gate(const char *text, int32_t count = 1, int32_t valueKind = 0) {
        GateDef def{};
        def.address = text;
        ASSERT_EQ(Parse(&def), HUX_OK) << text;
        transfer.address = text;
        transfer.gateAddr = def.gateAddr;
        transfer.valueKind = valueKind;
        transfer.count = count;
        transfer.values = values.data();
        testlog::Clear();
    }

    int32_t Run(uint32_t op) {
        request.op = op;
        return HuxMain(&request);
    }

    uint16_t SingleValue() const { return static_cast<uint16_t>(values[2] | (values[3] << 8)); }
    void SetSingleValue(uint16_t v) {
        values[2] = static_cast<uint8_t>(v & 0xFF);
        values[3] = static_cast<uint8_t>(v >> 8);
    }

    // The bytes of the record from offset 0x87 on are the host's, not the driver's.
    bool GuardIntact() const {
        const auto *bytes = reinterpret_cast<const uint8_t *>(&guarded);
        for (size_t i = 0x87; i < sizeof guarded; ++i) {
            if (bytes[i] != kFill) {
                return false;
            }
        }
        return true;
    }
};

// before + k + after for the attempts 1 to n.
inline std::vector<std::string> Numbered(const std::string &before, const std::string &after, int n) {
    std::vector<std::string> out;
    for (int k = 1; k <= n; ++k) {
        out.push_back(before + std::to_string(k) + after);
    }
    return out;
}

} // namespace plc

#endif // HUX_TESTS_ENGINE_PLC_H
