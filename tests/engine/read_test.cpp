// Reading: single values, bits, blocks, the marker-area bound, and the six
// attempts.
#include <gtest/gtest.h>

#include "tests/engine/plc.h"

namespace {

using fake::Bytes;
using plc::EngineTest;
using plc::Fault;
using plc::Numbered;

class Read : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Open(); // markerStart 0x1000, markerEnd 0x1800
    }
    void Poke(uint16_t address, const Bytes &bytes) {
        std::copy(bytes.begin(), bytes.end(), plc.memory.begin() + address);
    }
};

// Single reads deliver the single-value word only, set count to 1, and
// sign-extend a byte only for valueKind 1.
TEST_F(Read, SingleValues) {
    struct Case {
        const char *text;
        int32_t valueKind;
        Bytes data; // at the gate's address
        uint16_t value;
        Bytes request;
    };
    const Bytes byteReq = {0x0C, 0x07, 0x82, 0x10, 0x0C, 0x10, 0x0C, 0x85};
    const Bytes wordReq = {0x0C, 0x07, 0x82, 0x10, 0x28, 0x10, 0x29, 0x84};
    const Case cases[] = {
        {"MB00012", 1, {0xFE}, 0xFFFE, byteReq},       {"MB00012", 0, {0xFE}, 0x00FE, byteReq},
        {"MB00012", 1, {0x80}, 0xFF80, byteReq},       {"MB00012", 0, {0x80}, 0x0080, byteReq},
        {"MB00012", 2, {0x80}, 0x0080, byteReq},       {"MB00012", 1, {0x7F}, 0x007F, byteReq},
        {"MB00012.1", 0, {0xFE}, 1, byteReq},          {"MB00012.0", 0, {0xFE}, 0, byteReq},
        {"MB00012.7", 1, {0x80}, 1, byteReq},          {"MB00012.7", 0, {0x80}, 1, byteReq},
        {"MW00040", 0, {0x34, 0x12}, 0x1234, wordReq}, {"MW00040", 1, {0xFE, 0xFF}, 0xFFFE, wordReq},
        {"MW00040.3", 0, {0x08, 0x00}, 1, wordReq},    {"MW00040.3", 0, {0x00, 0x08}, 0, wordReq},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.valueKind));
        Forget();
        values.fill(plc::kFill);
        Gate(c.text, 7, c.valueKind);
        Poke(static_cast<uint16_t>(c.request[3] << 8 | c.request[4]), c.data);
        ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
        EXPECT_EQ(SingleValue(), c.value);
        EXPECT_EQ(values[0], plc::kFill);
        EXPECT_EQ(values[1], plc::kFill);
        EXPECT_EQ(values[4], plc::kFill);
        EXPECT_EQ(transfer.count, 1);
        EXPECT_EQ(plc.frames, std::vector<Bytes>{c.request});
        EXPECT_TRUE(testlog::Lines().empty());
    }
}

// The worked example: three words as a block, bytes unchanged in line order.
TEST_F(Read, BlockOfWords) {
    Poke(0x1028, {0x10, 0x00, 0xFF, 0x7F, 0x34, 0x12});
    Gate("MW00040", 3);
    ASSERT_EQ(Run(HUX_OP_BLOCK_READ), HUX_OK);
    EXPECT_EQ(plc.frames, (std::vector<Bytes>{{0x0C, 0x07, 0x82, 0x10, 0x28, 0x10, 0x2D, 0x80}}));
    EXPECT_EQ(Bytes(values.begin(), values.begin() + 7),
              (Bytes{0x10, 0x00, 0xFF, 0x7F, 0x34, 0x12, plc::kFill}));
    EXPECT_EQ(transfer.count, 3);
    EXPECT_TRUE(testlog::Lines().empty());
}

// The largest blocks fill the receive area up to 0x86 and no further.
TEST_F(Read, LargestBlocks) {
    for (const char *text : {"MB00000", "MW00000"}) {
        SCOPED_TRACE(text);
        Forget();
        values.fill(plc::kFill);
        Bytes data(64);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(0x80 + i);
        }
        Poke(0x1000, data);
        Gate(text, text[1] == 'B' ? 64 : 32);
        ASSERT_EQ(Run(HUX_OP_BLOCK_READ), HUX_OK);
        EXPECT_EQ(Bytes(values.begin(), values.begin() + 64), data);
        EXPECT_EQ(values[64], plc::kFill);
        EXPECT_EQ(fake::CallsOf(fake::Fn::ReadFile).front().requested, 69u);
        EXPECT_TRUE(GuardIntact());
    }
}

// The only bound is end <= markerEnd, computed without wrapping.
TEST_F(Read, RangeBound) {
    struct Case {
        uint16_t start, end; // markerStart, markerEnd
        const char *text;
        int32_t count;
        uint32_t op;
        int32_t result;
    };
    const Case cases[] = {
        {0x1000, 0x1800, "MB02048", 1, HUX_OP_SINGLE_READ, HUX_OK},      // ends at markerEnd
        {0x1000, 0x1800, "MB02049", 1, HUX_OP_SINGLE_READ, HUX_REFUSED}, // one past
        {0x1000, 0x1800, "MW02046", 1, HUX_OP_SINGLE_READ, HUX_OK},      // 0x17FE..0x17FF
        {0x1000, 0x1801, "MW02048", 1, HUX_OP_SINGLE_READ, HUX_OK},      // 0x1800..0x1801
        {0x1000, 0x1800, "MW02048", 1, HUX_OP_SINGLE_READ, HUX_REFUSED}, // last byte one past
        {0x1000, 0x1800, "MB02045", 4, HUX_OP_BLOCK_READ, HUX_OK},       // 0x17FD..0x1800
        {0x1000, 0x1800, "MB02046", 4, HUX_OP_BLOCK_READ, HUX_REFUSED},
        {0x1000, 0x1800, "MW02040", 4, HUX_OP_BLOCK_READ, HUX_OK},       // 0x17F8..0x17FF
        {0x1000, 0x1800, "MW02040", 5, HUX_OP_BLOCK_READ, HUX_REFUSED},  // ..0x1801
        {0xFFF0, 0xFFFF, "MB00015", 1, HUX_OP_SINGLE_READ, HUX_OK},      // 0xFFFF
        {0xFFF0, 0xFFFF, "MB00016", 1, HUX_OP_SINGLE_READ, HUX_REFUSED}, // 0x10000, not 0x0000
        {0xFFF0, 0xFFFF, "MW00014", 1, HUX_OP_SINGLE_READ, HUX_OK},      // 0xFFFE..0xFFFF
        {0xFFF0, 0xFFFF, "MW00016", 1, HUX_OP_SINGLE_READ, HUX_REFUSED}, // 0x10000..0x10001
        {0xFFF0, 0xFFFF, "MB00000", 16, HUX_OP_BLOCK_READ, HUX_OK},
        {0xFFF0, 0xFFFF, "MB00000", 17, HUX_OP_BLOCK_READ, HUX_REFUSED},
        {0x0000, 0xFFFF, "MB99999", 1, HUX_OP_SINGLE_READ, HUX_REFUSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " x" + std::to_string(c.count));
        Forget();
        context.markerStart = c.start;
        context.markerEnd = c.end;
        Gate(c.text, c.count);
        const int32_t result = Run(c.op);
        EXPECT_EQ(result, c.result);
        if (c.result == HUX_OK) {
            ASSERT_EQ(plc.frames.size(), 1u);
            continue;
        }
        EXPECT_TRUE(plc.frames.empty());
        EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 0);
        const std::string wrapper = c.op == HUX_OP_SINGLE_READ ? "HUXDR> SingleRead() , ret val is 1"
                                                               : "HUXDR> BlockRead(), ret val is 1";
        const std::vector<std::string> log = {
            "HUXDR> DoRead() read out of marker address space '" + std::string(c.text) + "'", wrapper};
        EXPECT_EQ(testlog::Texts(), log);
    }
}

// A gate address no parser produces (an index below 0, or one whose byte
// offset overflows 32 bits) is refused as outside the marker area.
TEST_F(Read, CorruptGateAddress) {
    struct Case {
        int32_t area, index, width;
    };
    const Case cases[] = {
        {'B', -1, 8}, {'W', -1, 16}, {'B', INT32_MIN, 8}, {'W', INT32_MAX, 16}, {'W', INT32_MIN, 16}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        Forget();
        Gate("MB00000");
        transfer.gateAddr.area = c.area;
        transfer.gateAddr.index = c.index;
        transfer.gateAddr.width = c.width;
        EXPECT_EQ(Run(HUX_OP_SINGLE_READ), HUX_REFUSED);
        EXPECT_TRUE(plc.frames.empty());
        EXPECT_EQ(testlog::Texts(),
                  (std::vector<std::string>{"HUXDR> DoRead() read out of marker address space 'MB00000'",
                                            "HUXDR> SingleRead() , ret val is 1"}));
    }
}

TEST_F(Read, NoPort) {
    context.port = 0;
    context.markerEnd = 0;
    Gate("MB00012", 7);
    EXPECT_EQ(Run(HUX_OP_SINGLE_READ), HUX_REFUSED);
    EXPECT_EQ(Run(HUX_OP_BLOCK_READ), HUX_REFUSED);
    EXPECT_EQ(transfer.count, 7) << "the record is not touched";
    EXPECT_EQ(testlog::Texts(), (std::vector<std::string>{"HUXDR> SingleRead() , ret val is 1",
                                                          "HUXDR> BlockRead(), ret val is 1"}));
    EXPECT_TRUE(fake::Calls().empty());
}

// Block counts outside 1 to 64 bytes are refused before anything is sent,
// discovery included.
TEST_F(Read, InvalidBlockSize) {
    struct Case {
        const char *text;
        int32_t count;
        int32_t result;
    };
    const Case cases[] = {{"MB00012", 0, HUX_REFUSED},
                          {"MB00012", -1, HUX_REFUSED},
                          {"MB00012", 65, HUX_REFUSED},
                          {"MW00012", 33, HUX_REFUSED},
                          {"MW00012", INT32_MIN, HUX_REFUSED},
                          {"MW00012", 0x40000001, HUX_REFUSED},
                          {"MB00012", 1, HUX_OK},
                          {"MB00012", 64, HUX_OK},
                          {"MW00012", 32, HUX_OK}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " x" + std::to_string(c.count));
        Forget();
        context.markerEnd = 0;
        Gate(c.text, c.count);
        EXPECT_EQ(Run(HUX_OP_BLOCK_READ), c.result);
        if (c.result == HUX_OK) {
            EXPECT_EQ(plc.frames.size(), 3u) << "discovery and the read";
            continue;
        }
        EXPECT_TRUE(fake::Calls().empty());
        EXPECT_EQ(context.markerEnd, 0);
        const std::vector<LogLine> log = {
            {8, "HUXDR> DoRead() invalid block size '" + std::string(c.text) + "'"},
            {8, "HUXDR> BlockRead(), ret val is 1"}};
        EXPECT_EQ(testlog::Lines(), log);
        EXPECT_EQ(values[0], plc::kFill);
    }
}

TEST_F(Read, DiscoveryBeforeTheFirstRead) {
    context.markerEnd = 0;
    plc.SetArea(0x0200, 0x1002);
    plc.memory[0x020C] = 0x42;
    Gate("MB00012");
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x42);
    ASSERT_EQ(plc.frames.size(), 3u);
    EXPECT_EQ(plc.frames[2], (Bytes{0x0C, 0x07, 0x82, 0x02, 0x0C, 0x02, 0x0C, 0x85}));
    EXPECT_EQ(testlog::Texts(),
              std::vector<std::string>{"HUXDR> ReadAddressOffset() Marker area in PLC from 0200h to 1000h"});

    // Known bounds: no discovery.
    Forget();
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(plc.frames.size(), 1u);
}

// An end bound of 2 leaves markerEnd 0: discovery runs before every read.
TEST_F(Read, DiscoveryRepeatsWhileTheEndIsZero) {
    context.markerEnd = 0;
    plc.SetArea(0x0010, 0x0002); // markerStart above markerEnd: every range is refused
    Gate("MB00000");
    for (int i = 0; i < 2; ++i) {
        Forget();
        EXPECT_EQ(Run(HUX_OP_SINGLE_READ), HUX_REFUSED);
        EXPECT_EQ(plc.frames.size(), 2u);
    }
}

TEST_F(Read, DiscoveryFails) {
    context.markerEnd = 0;
    plc.Fail(Fault::Silent);
    Gate("MB00012", 7);
    EXPECT_EQ(Run(HUX_OP_SINGLE_READ), HUX_FAILED);
    EXPECT_EQ(plc.frames.size(), 1u) << "no read request";
    EXPECT_EQ(transfer.count, 7);
    EXPECT_EQ(testlog::Texts(),
              (std::vector<std::string>{"HUXDR> DoRead() reading start addr from PLC failed",
                                        "HUXDR> SingleRead() , ret val is 2"}));
}

// Six failing attempts: numbered messages, a drain before each attempt, one
// wrapper line, the buffer untouched.
TEST_F(Read, SixFailedAttempts) {
    struct Case {
        const char *what;
        Fault fault; // None: the send fails
        std::string before, after;
        bool lrc;
    };
    const std::string receiving = "HUXDR> DoRead() error receiving data, retry ";
    const Case cases[] = {
        {"send fails", Fault::None, "HUXDR> DoRead() error sending data, retry ", " 'MW00040'", false},
        {"no answer", Fault::Silent, receiving, " 'MW00040'", false},
        {"short answer", Fault::Short, receiving, " 'MW00040'", false},
        {"wrong LRC", Fault::BadLrc, receiving, " 'MW00040'", true},
        {"wrong count", Fault::WrongCount, "", "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Forget();
        plc.script.clear();
        device->pieces.clear();
        Gate("MW00040", 3);
        values.fill(plc::kFill);
        for (int i = 0; i < 6; ++i) {
            if (c.fault == Fault::None) {
                fake::FailCall(fake::Fn::WriteFile, i);
            } else {
                plc.Fail(c.fault);
            }
        }
        EXPECT_EQ(Run(HUX_OP_BLOCK_READ), HUX_FAILED);
        std::vector<std::string> log;
        for (int k = 1; k <= 6; ++k) {
            if (c.lrc) {
                log.push_back("HUXDR> Receive() LRC error");
            }
            if (c.fault == Fault::WrongCount) {
                log.push_back("HUXDR> StoreData() invalid data size 'MW00040'");
            } else {
                log.push_back(Numbered(c.before, c.after, 6)[static_cast<size_t>(k - 1)]);
            }
        }
        log.push_back("HUXDR> BlockRead(), ret val is 2");
        EXPECT_EQ(testlog::Texts(), log);
        EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 6);
        EXPECT_EQ(fake::Calls().front().fn, fake::Fn::ClearCommError) << "drained before the first attempt";
        EXPECT_EQ(values[0], plc::kFill);
        EXPECT_EQ(values[5], plc::kFill);
        for (const auto &line : testlog::Lines()) {
            EXPECT_EQ(line.level, 8);
        }
    }
}

// A good answer after failures: result 0, no wrapper line. Every attempt,
// the first one too, drains what an earlier faulty answer left behind.
TEST_F(Read, RecoversAfterFailures) {
    plc.memory[0x100C] = 0x5A;
    Gate("MB00012");
    plc.Fail(Fault::Overlong); // a good reply with a stray byte behind it
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    ASSERT_EQ(device->Waiting(), 1u);

    Forget();
    values.fill(plc::kFill);
    plc.Fail(Fault::WrongCount);
    plc.Fail(Fault::Silent);
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x5A);
    EXPECT_EQ(plc.frames.size(), 3u);
    EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 3);
    EXPECT_EQ(device->Waiting(), 0u);
    EXPECT_EQ(testlog::Texts(),
              (std::vector<std::string>{"HUXDR> StoreData() invalid data size 'MB00012'",
                                        "HUXDR> DoRead() error receiving data, retry 2 'MB00012'"}));
}

// An answer that arrives after its transaction gave up (here: all six
// attempts timed out) is never taken for the answer to the next request:
// replies carry nothing that ties them to their request, so a late reply for
// MB00012 would otherwise be delivered as the value of MB00013.
TEST_F(Read, LateAnswerIsNotTakenForTheNextOne) {
    plc.memory[0x100C] = 0x11;
    plc.memory[0x100D] = 0x22;
    Gate("MB00012");
    plc.Fail(Fault::Silent, 6);
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_FAILED);
    device->Queue(plc::ReadReply({0x11}, 1)); // the late answer to the last attempt

    Forget();
    values.fill(plc::kFill);
    Gate("MB00013");
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x22);
    EXPECT_EQ(device->Waiting(), 0u);
    EXPECT_TRUE(testlog::Lines().empty());
}

// A transaction that missed an answer reads its line until it is quiet
// before it returns: the missed answer may only have been slow and come in
// behind the answer to the retry. A clean transaction reads nothing more.
TEST_F(Read, SurplusAnswersAreReadBeforeReturning) {
    plc.memory[0x100C] = 0x5A;
    Gate("MB00012");
    plc.Fail(Fault::Silent); // attempt 1: no answer in time
    const auto answer = device->onWrite;
    int writes = 0;
    device->onWrite = [&](fake::Device &dev, const Bytes &frame) {
        answer(dev, frame);
        if (++writes == 2) {
            dev.Queue(plc::ReadReply({0x5A}, 1)); // a second answer, right behind the first
        }
    };
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x5A);
    EXPECT_EQ(device->Waiting(), 0u) << "nothing is left for the next request";

    Forget();
    ASSERT_EQ(Run(HUX_OP_SINGLE_READ), HUX_OK);
    EXPECT_EQ(fake::CountOf(fake::Fn::ReadFile), 1) << "a clean transaction reads only its answer";
}

// The same holds for a write: a late acknowledgement left on the line must
// not be taken for the permission to the next write request.
TEST_F(Read, LateAcknowledgementIsNotTakenForPermission) {
    Gate("MB00012");
    SetSingleValue(0x33);
    plc.Fail(Fault::Silent, 6);
    ASSERT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_FAILED);
    device->Queue({0x06});
    plc.Fail(Fault::Nack, 1, 0x15); // the controller refuses this time

    Forget();
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_OK);
    EXPECT_EQ(testlog::Texts(), std::vector<std::string>{
                                    "HUXDR> DoWrite() write not allowed retry 1, nack code 21, 'MB00012'"});
    EXPECT_EQ(plc.memory[0x100C], 0x33);
}

} // namespace
