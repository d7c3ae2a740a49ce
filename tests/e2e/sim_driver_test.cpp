// The whole driver through HuxMain, over the Linux serial layer, against
// the simulated controller on pseudo-terminals: every operation, the exact
// frames on the line, injected faults with the driver's messages and
// results, the 64-byte block both ways, close, reopen, change of port, end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"
#include "sim/simulator.h"
#include "tests/support/test_log.h"

namespace {

using ps4sim::Bytes;
using Texts = std::vector<std::string>;

// Read timeout of the tests' connections: 200 ms, long enough that a busy
// machine does not lose a good answer, short enough for six lost ones.
constexpr int32_t kTimeout = 20;

// "file handle 7" -> "file handle <h>"; the build date of the version line.
std::string Mask(std::string text) {
    const std::string handle = "file handle ";
    const auto at = text.find(handle);
    if (at != std::string::npos) {
        size_t end = at + handle.size();
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        text.replace(at + handle.size(), end - at - handle.size(), "<h>");
    }
    if (text.rfind("HUXDR> version compiled on ", 0) == 0) {
        text = "HUXDR> version compiled on <date>";
    }
    return text;
}

Texts Log() {
    Texts out;
    for (const std::string &t : testlog::Texts()) {
        out.push_back(Mask(t));
    }
    return out;
}

std::unique_ptr<ps4sim::Simulator> NewSim(const ps4sim::Config &config = ps4sim::Config()) {
    auto sim = std::make_unique<ps4sim::Simulator>(config);
    std::string error;
    if (!sim->OpenPty(&error) || !sim->Start(&error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    sim->RecordTrace(true);
    return sim;
}

// What the driver put on the line (host to controller frames), as hex.
Texts Sent(const ps4sim::Simulator &sim) {
    Texts out;
    for (const ps4sim::TraceEvent &e : sim.Trace()) {
        if (e.toController) {
            out.push_back(ps4sim::Hex(e.raw));
        }
    }
    return out;
}

class DriverOnLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ended = 0;
        testlog::Clear();
        sim_ = NewSim();
        ASSERT_NE(sim_, nullptr);
        sim_->Poke(0x100C, {0x41});       // MB00012
        sim_->Poke(0x1028, {0x34, 0x12}); // MW00040
    }
    void TearDown() override {
        if (ended == 0 && store_.context.port != 0) {
            Call(HUX_OP_CLOSE_COM, nullptr);
        }
        ended = 0;
    }

    int32_t Call(uint32_t op, void *data) {
        DriverRequest request{};
        request.context = &store_.context;
        request.op = op;
        request.data = data;
        return HuxMain(&request);
    }

    int32_t ColdStart(const std::string &name, int32_t timeout = kTimeout) {
        StartParams p{};
        std::strncpy(p.name, name.c_str(), sizeof p.name - 1);
        p.enabled = 1;
        p.timeout = timeout;
        p.settings = LineSettings{9600, 8, 0, 0};
        return Call(HUX_OP_COLD_START, &p);
    }

    // Cold start on the simulator, then forget what it logged and sent.
    void Started() {
        ASSERT_EQ(ColdStart(sim_->DriverName()), HUX_OK);
        ASSERT_NE(store_.context.markerEnd, 0);
        testlog::Clear();
        sim_->ClearTrace();
    }

    GateAddr Parse(const std::string &text, int32_t blockSize = -1) {
        GateDef def{};
        def.address = text.c_str();
        def.gateType = text.find('.') != std::string::npos ? 6 : 0;
        def.blockSize = blockSize;
        EXPECT_EQ(Call(blockSize < 0 ? HUX_OP_SINGLE_PARSE : HUX_OP_BLOCK_PARSE, &def), HUX_OK) << text;
        return def.gateAddr;
    }

    int32_t Read(const std::string &text, uint16_t *value, int32_t valueKind = 0) {
        texts_.push_back(text);
        uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        GateTransfer t{};
        t.address = texts_.back().c_str();
        t.gateAddr = Parse(text);
        t.valueKind = valueKind;
        t.count = 1;
        t.values = buffer;
        const int32_t r = Call(HUX_OP_SINGLE_READ, &t);
        EXPECT_EQ(buffer[0], 0xEE); // single reads touch only the single-value word
        EXPECT_EQ(buffer[1], 0xEE);
        *value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
        return r;
    }

    int32_t Write(const std::string &text, uint16_t value) {
        texts_.push_back(text);
        uint8_t buffer[4] = {0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
        GateTransfer t{};
        t.address = texts_.back().c_str();
        t.gateAddr = Parse(text);
        const GateAddr before = t.gateAddr;
        t.count = 1;
        t.values = buffer;
        const int32_t r = Call(HUX_OP_SINGLE_WRITE, &t);
        // The host finds its gate and its value as it left them.
        EXPECT_EQ(std::memcmp(&t.gateAddr, &before, sizeof before), 0);
        EXPECT_EQ(buffer[2] | buffer[3] << 8, value);
        return r;
    }

    int32_t Block(uint32_t op, const std::string &text, int32_t count, Bytes *bytes) {
        texts_.push_back(text);
        GateTransfer t{};
        t.address = texts_.back().c_str();
        t.gateAddr = Parse(text, count);
        t.count = count;
        bytes->resize(HUX_MAX_BLOCK_BYTES + 8, 0xEE);
        t.values = bytes->data();
        return Call(op, &t);
    }

    std::unique_ptr<ps4sim::Simulator> sim_;
    struct {
        ComContext context;
        uint8_t spare[32];
    } store_{};
    std::vector<std::string> texts_; // keeps the address texts alive
};

// ------------------------------------------------------------------ happy paths

TEST_F(DriverOnLine, ColdStartOpensAndDiscoversTheMarkerArea) {
    ASSERT_EQ(ColdStart(sim_->DriverName()), HUX_OK);
    EXPECT_NE(store_.context.port, 0u);
    EXPECT_EQ(store_.context.markerStart, 0x1000);
    EXPECT_EQ(store_.context.markerEnd, 0x1FFF);
    EXPECT_EQ(std::string(store_.context.portParams.name), sim_->DriverName());
    EXPECT_EQ(Sent(*sim_), (Texts{"0C 07 82 00 40 00 41 84", "0C 07 82 00 4A 00 4B 84"}));
    const std::string name = sim_->DriverName();
    EXPECT_EQ(Log(), (Texts{
                         "HUXDR> version compiled on <date>",
                         "HUXDR> OpenCom() exited OK, file handle <h>",
                         "HUXDR> ColdStart() port " + name + " opened, file handle <h>",
                         "HUXDR> ReadAddressOffset() Marker area in PLC from 1000h to 1fffh",
                         "HUXDR> ColdStart() exited, 0",
                     }));
}

TEST_F(DriverOnLine, ReadsBytesWordsAndBits) {
    Started();
    sim_->Poke(0x1010, {0xFE});
    sim_->Poke(0x1012, {0x08, 0x00});
    struct Case {
        const char *gate;
        int32_t valueKind;
        uint16_t value;
        const char *request;
    } cases[] = {
        {"MB00012", 0, 0x0041, "0C 07 82 10 0C 10 0C 85"},
        {"MB00016", 1, 0xFFFE, "0C 07 82 10 10 10 10 85"}, // a signed byte
        {"MB00016", 0, 0x00FE, "0C 07 82 10 10 10 10 85"},
        {"MW00040", 0, 0x1234, "0C 07 82 10 28 10 29 84"},
        {"MB00012.0", 0, 1, "0C 07 82 10 0C 10 0C 85"},
        {"MB00012.1", 0, 0, "0C 07 82 10 0C 10 0C 85"},
        {"MW00018.3", 0, 1, "0C 07 82 10 12 10 13 84"}, // data 08 00: bit 3 of the first byte
        {"MW00040.2", 0, 1, "0C 07 82 10 28 10 29 84"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gate);
        sim_->ClearTrace();
        uint16_t v = 0;
        ASSERT_EQ(Read(c.gate, &v, c.valueKind), HUX_OK);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(Sent(*sim_), Texts{c.request});
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(DriverOnLine, WritesBytesWordsAndBitsWithTheFramesOfTheProtocol) {
    Started();
    struct Case {
        const char *gate;
        uint16_t value;
        Texts frames;
        uint16_t addr;
        Bytes memory;
    } cases[] = {
        // Bit write: read the byte, set the bit, write the byte back.
        {"MB00012.3",
         1,
         {"0C 07 82 10 0C 10 0C 85", "0C 07 83 10 0C 10 0C 84", "0C 07 14 01 49 5B"},
         0x100C,
         {0x49}},
        {"MB00012.6",
         0,
         {"0C 07 82 10 0C 10 0C 85", "0C 07 83 10 0C 10 0C 84", "0C 07 14 01 09 1B"},
         0x100C,
         {0x09}},
        // The whole 16 bits decide a bit: 0x0100 sets it.
        {"MB00012.7",
         0x0100,
         {"0C 07 82 10 0C 10 0C 85", "0C 07 83 10 0C 10 0C 84", "0C 07 14 01 89 9B"},
         0x100C,
         {0x89}},
        {"MW00040", 0x1234, {"0C 07 83 10 28 10 29 85", "0C 07 14 02 34 12 37"}, 0x1028, {0x34, 0x12}},
        // A byte gate sends the low-order byte only.
        {"MB00100", 0x1234, {"0C 07 83 10 64 10 64 84", "0C 07 14 01 34 26"}, 0x1064, {0x34}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gate);
        sim_->ClearTrace();
        ASSERT_EQ(Write(c.gate, c.value), HUX_OK);
        EXPECT_EQ(Sent(*sim_), c.frames);
        EXPECT_EQ(sim_->Peek(c.addr, c.memory.size()), c.memory);
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(DriverOnLine, BlocksOf64BytesTravelBothWays) {
    Started();
    for (const char *gate : {"MB00000", "MW00064"}) {
        SCOPED_TRACE(gate);
        const bool word = gate[1] == 'W';
        const int32_t count = word ? 32 : 64;
        const uint16_t addr = word ? 0x1040 : 0x1000;
        Bytes data(64);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(0xA0 ^ (i * 7) ^ (word ? 0x55 : 0));
        }
        Bytes buffer = data;
        buffer.resize(HUX_MAX_BLOCK_BYTES + 8, 0xEE);
        sim_->ClearTrace();
        {
            texts_.push_back(gate);
            GateTransfer t{};
            t.address = texts_.back().c_str();
            t.gateAddr = Parse(gate, count);
            t.count = count;
            t.values = buffer.data();
            ASSERT_EQ(Call(HUX_OP_BLOCK_WRITE, &t), HUX_OK);
        }
        EXPECT_EQ(sim_->Peek(addr, 64), data);
        const std::vector<ps4sim::TraceEvent> trace = sim_->Trace();
        ASSERT_EQ(trace.size(), 4u); // request, ack, 69-byte data frame, ack
        EXPECT_EQ(trace[2].raw.size(), 69u);
        EXPECT_EQ(trace[2].verdict, "written");

        Bytes back;
        sim_->ClearTrace();
        ASSERT_EQ(Block(HUX_OP_BLOCK_READ, gate, count, &back), HUX_OK);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + 64), data);
        EXPECT_EQ(Bytes(back.begin() + 64, back.end()), Bytes(8, 0xEE)); // nothing beyond
        const std::vector<ps4sim::TraceEvent> readTrace = sim_->Trace();
        ASSERT_EQ(readTrace.size(), 2u);
        EXPECT_EQ(readTrace[1].raw.size(), 69u);
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(DriverOnLine, TheMarkerAreaBoundsEveryTransfer) {
    // End bound word 0x2000: the last address a transfer may touch is 0x1FFE.
    sim_->SetMarkerWords(0x1000, 0x2000);
    Started();
    EXPECT_EQ(store_.context.markerEnd, 0x1FFE);
    uint16_t v = 0;
    sim_->Poke(0x1FFE, {0x77});
    EXPECT_EQ(Read("MB04094", &v), HUX_OK); // the last byte
    EXPECT_EQ(v, 0x77);
    sim_->ClearTrace();
    EXPECT_EQ(Read("MB04095", &v), HUX_REFUSED);
    EXPECT_EQ(Read("MW04094", &v), HUX_REFUSED); // its first byte lies inside, its second beyond
    EXPECT_EQ(Write("MW04094", 1), HUX_REFUSED);
    EXPECT_EQ(Read("MB99999", &v), HUX_REFUSED); // past 0xFFFF: never wraps to a low address
    EXPECT_TRUE(Sent(*sim_).empty());
    EXPECT_EQ(Log(), (Texts{
                         "HUXDR> DoRead() read out of marker address space 'MB04095'",
                         "HUXDR> SingleRead() , ret val is 1",
                         "HUXDR> DoRead() read out of marker address space 'MW04094'",
                         "HUXDR> SingleRead() , ret val is 1",
                         "HUXDR> DoWrite() write out of marker address space 'MW04094'",
                         "HUXDR> SingleWrite() , ret val is 1",
                         "HUXDR> DoRead() read out of marker address space 'MB99999'",
                         "HUXDR> SingleRead() , ret val is 1",
                     }));
}

// ------------------------------------------------------------------ faults

struct FaultCase {
    const char *name;
    std::vector<const char *> faults;
    bool write; // MB00012.3 := 1, else a read of MW00040
    int32_t result;
    Texts log;
};

TEST_F(DriverOnLine, InjectedFaultsLeadToTheDriversMessagesAndResults) {
    const FaultCase cases[] = {
        {"reply lost",
         {"read:drop"},
         false,
         HUX_OK,
         {"HUXDR> DoRead() error receiving data, retry 1 'MW00040'"}},
        {"reply cut short",
         {"read:short"},
         false,
         HUX_OK,
         {"HUXDR> DoRead() error receiving data, retry 1 'MW00040'"}},
        {"reply corrupted",
         {"read:corrupt"},
         false,
         HUX_OK,
         {"HUXDR> Receive() LRC error", "HUXDR> DoRead() error receiving data, retry 1 'MW00040'"}},
        {"wrong LRC",
         {"read:lrc*2"},
         false,
         HUX_OK,
         {"HUXDR> Receive() LRC error", "HUXDR> DoRead() error receiving data, retry 1 'MW00040'",
          "HUXDR> Receive() LRC error", "HUXDR> DoRead() error receiving data, retry 2 'MW00040'"}},
        {"wrong byte count",
         {"read:count"},
         false,
         HUX_OK,
         {"HUXDR> StoreData() invalid data size 'MW00040'"}},
        {"noise before the reply",
         {"read:noise"},
         false,
         HUX_OK,
         {"HUXDR> Receive() LRC error", "HUXDR> DoRead() error receiving data, retry 1 'MW00040'"}},
        {"a refusal instead of data",
         {"read:nack"},
         false,
         HUX_OK,
         {"HUXDR> DoRead() error receiving data, retry 1 'MW00040'"}},
        {"six replies lost",
         {"read:drop*6"},
         false,
         HUX_FAILED,
         {"HUXDR> DoRead() error receiving data, retry 1 'MW00040'",
          "HUXDR> DoRead() error receiving data, retry 2 'MW00040'",
          "HUXDR> DoRead() error receiving data, retry 3 'MW00040'",
          "HUXDR> DoRead() error receiving data, retry 4 'MW00040'",
          "HUXDR> DoRead() error receiving data, retry 5 'MW00040'",
          "HUXDR> DoRead() error receiving data, retry 6 'MW00040'", "HUXDR> SingleRead() , ret val is 2"}},
        {"permission refused",
         {"permit:nack"},
         true,
         HUX_OK,
         {"HUXDR> DoWrite() write not allowed retry 1, nack code 21, 'MB00012.3'"}},
        {"permission lost",
         {"permit:drop"},
         true,
         HUX_OK,
         {"HUXDR> DoWrite() error receiving permission, retry 1 'MB00012.3'"}},
        {"noise before the permission",
         {"permit:noise"},
         true,
         HUX_OK,
         {"HUXDR> DoWrite() write not allowed retry 1, nack code 255, 'MB00012.3'"}},
        {"confirmation refused",
         {"data:nack=0x42"},
         true,
         HUX_OK,
         {"HUXDR> DoWrite() write not succeeded retry 1, nack code 66, 'MB00012.3'"}},
        {"confirmation lost",
         {"data:drop"},
         true,
         HUX_OK,
         {"HUXDR> DoWrite() error receiving confirmation, retry 1 'MB00012.3'"}},
        {"read half of a bit write fails",
         {"read:drop*6"},
         true,
         HUX_FAILED,
         {"HUXDR> DoRead() error receiving data, retry 1 'MB00012.3'",
          "HUXDR> DoRead() error receiving data, retry 2 'MB00012.3'",
          "HUXDR> DoRead() error receiving data, retry 3 'MB00012.3'",
          "HUXDR> DoRead() error receiving data, retry 4 'MB00012.3'",
          "HUXDR> DoRead() error receiving data, retry 5 'MB00012.3'",
          "HUXDR> DoRead() error receiving data, retry 6 'MB00012.3'", "HUXDR> SingleRead() , ret val is 2",
          "HUXDR> DoWrite() SingleRead for read-modify-write failed 'MB00012.3'",
          "HUXDR> SingleWrite() , ret val is 2"}},
    };
    Started();
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        sim_->Poke(0x100C, {0x41});
        for (const char *f : c.faults) {
            std::string error;
            ASSERT_TRUE(sim_->AddFault(f, &error)) << error;
        }
        testlog::Clear();
        uint16_t v = 0;
        const int32_t r = c.write ? Write("MB00012.3", 1) : Read("MW00040", &v);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(sim_->PendingFaults(), 0u);
        if (r == HUX_OK && !c.write) {
            EXPECT_EQ(v, 0x1234);
        }
        if (c.write) {
            EXPECT_EQ(sim_->Peek(0x100C, 1), Bytes{static_cast<uint8_t>(r == HUX_OK ? 0x49 : 0x41)});
        }
    }
}

TEST_F(DriverOnLine, ARetriedWriteSendsTheSameDataAndDoesNotReadAgain) {
    Started();
    std::string error;
    ASSERT_TRUE(sim_->AddFault("data:nack", &error));
    ASSERT_EQ(Write("MB00012.3", 1), HUX_OK);
    EXPECT_EQ(Sent(*sim_), (Texts{"0C 07 82 10 0C 10 0C 85", "0C 07 83 10 0C 10 0C 84", "0C 07 14 01 49 5B",
                                  "0C 07 83 10 0C 10 0C 84", "0C 07 14 01 49 5B"}));
    EXPECT_EQ(sim_->Peek(0x100C, 1), Bytes{0x49});
}

TEST_F(DriverOnLine, AWriteProtectedRangeIsRefusedSixTimes) {
    sim_->SetProtect({{0x1020, 0x102F}});
    Started();
    ASSERT_EQ(Write("MW00040", 0x5555), HUX_FAILED);
    Texts expected;
    for (int k = 1; k <= 6; ++k) {
        expected.push_back("HUXDR> DoWrite() write not allowed retry " + std::to_string(k) +
                           ", nack code 21, 'MW00040'");
    }
    expected.push_back("HUXDR> SingleWrite() , ret val is 2");
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(Sent(*sim_), Texts(6, "0C 07 83 10 28 10 29 85")); // never a data frame
    EXPECT_EQ(sim_->Peek(0x1028, 2), (Bytes{0x34, 0x12}));
}

TEST_F(DriverOnLine, FailedDiscoveryIsRepeatedBeforeTheFirstTransfer) {
    for (const char *fault : {"1:drop", "2:lrc"}) {
        SCOPED_TRACE(fault);
        testlog::Clear();
        std::string error;
        ASSERT_TRUE(sim_->AddFault(fault, &error));
        sim_->ClearTrace();
        ASSERT_EQ(ColdStart(sim_->DriverName()), HUX_OK);
        EXPECT_EQ(store_.context.markerEnd, 0);
        const Texts log = Log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "HUXDR> ColdStart() reading start addr from PLC failed");
        EXPECT_EQ(log.back(), "HUXDR> ColdStart() exited, 0");
        testlog::Clear();
        uint16_t v = 0;
        ASSERT_EQ(Read("MB00012", &v), HUX_OK);
        EXPECT_EQ(v, 0x41);
        EXPECT_EQ(store_.context.markerEnd, 0x1FFF);
        EXPECT_EQ(Log(), Texts{"HUXDR> ReadAddressOffset() Marker area in PLC from 1000h to 1fffh"});
        ASSERT_EQ(Call(HUX_OP_CLOSE_COM, nullptr), HUX_OK);
        // Each frame number counts from the simulator's start; add the frames
        // this round used.
        sim_->ClearFaults();
        sim_ = NewSim();
        ASSERT_NE(sim_, nullptr);
        sim_->Poke(0x100C, {0x41});
    }
}

TEST_F(DriverOnLine, RandomFaultsNeverPassAsGoodData) {
    Started();
    sim_->SetRandomFaults(0.3, 11);
    int good = 0, failed = 0;
    for (int i = 0; i < 20; ++i) {
        const uint8_t b = static_cast<uint8_t>(i * 37 + 5);
        sim_->SetRandomFaults(0, 0);
        sim_->Poke(0x1030, {b, static_cast<uint8_t>(~b)});
        sim_->SetRandomFaults(0.3, 100 + static_cast<uint64_t>(i));
        uint16_t v = 0;
        const int32_t r = Read("MW00048", &v);
        ASSERT_TRUE(r == HUX_OK || r == HUX_FAILED) << r;
        if (r == HUX_OK) {
            ++good;
            EXPECT_EQ(v, b | static_cast<uint8_t>(~b) << 8) << "round " << i;
        } else {
            ++failed;
        }
        const int32_t w = Write("MB00050", b);
        ASSERT_TRUE(w == HUX_OK || w == HUX_FAILED) << w;
        if (w == HUX_OK) {
            EXPECT_EQ(sim_->Peek(0x1032, 1), Bytes{b}) << "round " << i;
        }
    }
    EXPECT_GT(good, 0);
}

TEST_F(DriverOnLine, WarmStartDrainsStaleInput) {
    Started();
    ASSERT_TRUE(sim_->SendRaw({0x0C, 0x07, 0x14, 0x01, 0x99, 0x92, 0xFF}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the bytes reach the driver's side
    ASSERT_EQ(Call(HUX_OP_WARM_START, nullptr), HUX_OK);
    uint16_t v = 0;
    ASSERT_EQ(Read("MB00012", &v), HUX_OK);
    EXPECT_EQ(v, 0x41);
    EXPECT_EQ(Log(), Texts{"HUXDR> WarmStart() exited, 0"}); // no retry: the first attempt got its reply
}

// ------------------------------------------------------------------ lifecycle

TEST_F(DriverOnLine, CloseReopenAndReopenWhileOpen) {
    Started();
    ASSERT_EQ(Call(HUX_OP_CLOSE_COM, nullptr), HUX_OK);
    EXPECT_EQ(store_.context.port, 0u);
    uint16_t v = 0;
    EXPECT_EQ(Read("MB00012", &v), HUX_REFUSED);
    store_.context.portParams.flags = 0x0303;
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM, nullptr), HUX_OK);
    EXPECT_NE(store_.context.port, 0u);
    sim_->ClearTrace();
    ASSERT_EQ(Read("MB00012", &v), HUX_OK); // the marker area is still known: no discovery
    EXPECT_EQ(v, 0x41);
    EXPECT_EQ(Sent(*sim_), Texts{"0C 07 82 10 0C 10 0C 85"});
    EXPECT_EQ(Log(), (Texts{"HUXDR> CloseCom() exited 0", "HUXDR> SingleRead() , ret val is 1",
                            "HUXDR> OpenCom() exited OK, file handle <h>", "HUXDR> ReOpenCom() exited 0"}));

    // A second open of the port the driver holds is refused; the port stays.
    testlog::Clear();
    const uint32_t port = store_.context.port;
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM, nullptr), HUX_FAILED);
    EXPECT_EQ(store_.context.port, port);
    ASSERT_EQ(testlog::Lines().size(), 2u);
    EXPECT_EQ(testlog::Lines()[0], (LogLine{32, "HUXDR> OpenCom() exited with error"}));
    EXPECT_EQ(testlog::Lines()[1], (LogLine{32, "HUXDR> ReOpenCom() exited 2"}));
    ASSERT_EQ(Read("MB00012", &v), HUX_OK);
}

TEST_F(DriverOnLine, ChangeOfPortKeepsTheMarkerArea) {
    Started();
    ps4sim::Config other;
    other.markerStartWord = 0x3000; // never asked: the driver keeps what it knows
    auto sim2 = NewSim(other);
    ASSERT_NE(sim2, nullptr);
    sim2->Poke(0x100C, {0x5A});
    store_.context.portParams.flags = 0x0303;
    ::ChangeParams change{};
    std::strncpy(change.name, sim2->DriverName().c_str(), sizeof change.name - 1);
    change.timeout = -1;
    ASSERT_EQ(Call(HUX_OP_CHANGE_PARAMS, &change), HUX_OK);
    EXPECT_EQ(Log(), (Texts{"HUXDR> CloseCom() exited 0", "HUXDR> OpenCom() exited OK, file handle <h>"}));
    EXPECT_EQ(store_.context.timeout, kTimeout);
    uint16_t v = 0;
    ASSERT_EQ(Read("MB00012", &v), HUX_OK);
    EXPECT_EQ(v, 0x5A);
    EXPECT_EQ(Sent(*sim2), Texts{"0C 07 82 10 0C 10 0C 85"});
    EXPECT_TRUE(Sent(*sim_).empty());

    // And to the null device: closed, no communication.
    testlog::Clear();
    std::strncpy(change.name, "NUL", sizeof change.name - 1);
    change.name[3] = '\0';
    ASSERT_EQ(Call(HUX_OP_CHANGE_PARAMS, &change), HUX_OK);
    EXPECT_EQ(store_.context.port, 0u);
    EXPECT_EQ(Log(),
              (Texts{"HUXDR> CloseCom() exited 0", "HUXDR> ChangeHuxParams() NULLDEV => no communications"}));
    EXPECT_EQ(Read("MB00012", &v), HUX_REFUSED);
}

TEST_F(DriverOnLine, EndClosesThePortAndSilencesTheDriver) {
    Started();
    ASSERT_EQ(Call(HUX_OP_END, nullptr), HUX_OK);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(store_.context.port, 0u);
    EXPECT_EQ(Log(), (Texts{"HUXDR> CloseCom() exited 0", "HUXDR> EndHux() exited, 0"}));
    // The port is free again.
    const int fd = open(sim_->Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        close(fd);
    }
    // Every request is answered with 0, and nothing reaches the line.
    testlog::Clear();
    sim_->ClearTrace();
    GateTransfer t{};
    uint8_t buffer[4] = {1, 2, 3, 4};
    t.values = buffer;
    t.count = 1;
    EXPECT_EQ(Call(HUX_OP_SINGLE_READ, &t), HUX_OK);
    EXPECT_EQ(Call(HUX_OP_SINGLE_WRITE, &t), HUX_OK);
    EXPECT_EQ(Call(99, nullptr), HUX_OK);
    EXPECT_EQ(ColdStart(sim_->DriverName()), HUX_OK);
    EXPECT_EQ(store_.context.port, 0u);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(Sent(*sim_).empty());
}

TEST_F(DriverOnLine, EveryOperationInOneSession) {
    DriverInfo info{};
    ASSERT_EQ(Call(HUX_OP_GET_INFO, &info), HUX_OK);
    EXPECT_STREQ(info.deviceName, "Klockner Moeller PS4");
    ASSERT_EQ(ColdStart(sim_->DriverName()), HUX_OK);
    ASSERT_EQ(Call(HUX_OP_WARM_START, nullptr), HUX_OK);
    uint16_t v = 0;
    ASSERT_EQ(Read("MW00040", &v), HUX_OK);
    EXPECT_EQ(v, 0x1234);
    ASSERT_EQ(Write("MW00040.0", 0), HUX_OK);
    EXPECT_EQ(sim_->Peek(0x1028, 2), (Bytes{0x34, 0x12}));
    ASSERT_EQ(Write("MW00040.0", 1), HUX_OK);
    EXPECT_EQ(sim_->Peek(0x1028, 2), (Bytes{0x35, 0x12}));
    Bytes block{1, 2, 3};
    block.resize(HUX_MAX_BLOCK_BYTES, 0);
    {
        texts_.push_back("MB00100");
        GateTransfer t{};
        t.address = texts_.back().c_str();
        t.gateAddr = Parse("MB00100", 3);
        t.count = 3;
        t.values = block.data();
        sim_->ClearTrace();
        ASSERT_EQ(Call(HUX_OP_BLOCK_WRITE, &t), HUX_OK);
        EXPECT_EQ(Sent(*sim_), (Texts{"0C 07 83 10 64 10 66 86", "0C 07 14 03 01 02 03 10"}));
    }
    Bytes back;
    ASSERT_EQ(Block(HUX_OP_BLOCK_READ, "MB00100", 3, &back), HUX_OK);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 4), (Bytes{1, 2, 3, 0xEE}));
    ASSERT_EQ(Call(HUX_OP_CLOSE_COM, nullptr), HUX_OK);
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM, nullptr), HUX_OK);
    ASSERT_EQ(Read("MB00100", &v), HUX_OK);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(Call(HUX_OP_END, nullptr), HUX_OK);
}

} // namespace
