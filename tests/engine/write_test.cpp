// Writing: bytes, words, bits by read-modify-write, blocks, the
// marker-area bound, and the six attempts.
#include <gtest/gtest.h>

#include "tests/engine/plc.h"

namespace {

using fake::Bytes;
using plc::EngineTest;
using plc::Fault;
using plc::Numbered;

class Write : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Open(); // markerStart 0x1000, markerEnd 0x1800
    }
    std::vector<Bytes> Requests() const { return plc::FramesOf(plc, 0x83); }
    std::vector<Bytes> DataFrames() const { return plc::FramesOf(plc, 0x14); }
    std::vector<Bytes> Reads() const { return plc::FramesOf(plc, 0x82); }
};

// Single writes of bytes, words and bits: the frames on the line, the
// controller's memory afterwards, and the host's record as it was given.
TEST_F(Write, SingleValues) {
    struct Case {
        const char *text;
        Bytes before; // controller memory at the gate
        uint16_t requested;
        Bytes after;
        Bytes request;
        Bytes data;
        bool readsFirst;
    };
    const Bytes byteAsk = {0x0C, 0x07, 0x83, 0x10, 0x0C, 0x10, 0x0C, 0x84};
    const Bytes wordAsk = {0x0C, 0x07, 0x83, 0x10, 0x28, 0x10, 0x29, 0x85};
    const Case cases[] = {
        {"MB00012", {0x00}, 0x1234, {0x34}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x34, 0x26}, false},
        {"MW00040",
         {0x00, 0x00},
         0x1234,
         {0x34, 0x12},
         wordAsk,
         {0x0C, 0x07, 0x14, 0x02, 0x34, 0x12, 0x37},
         false},
        {"MB00012.3", {0x41}, 1, {0x49}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x49, 0x5B}, true},
        {"MB00012.6", {0x41}, 0, {0x01}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x01, 0x13}, true},
        {"MB00012.0", {0x40}, 0x0100, {0x41}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x41, 0x53}, true},
        {"MB00012.7", {0xFF}, 0, {0x7F}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x7F, 0x6D}, true},
        {"MB00012.1", {0x02}, 5, {0x02}, byteAsk, {0x0C, 0x07, 0x14, 0x01, 0x02, 0x10}, true},
        {"MW00040.7",
         {0x01, 0xAB},
         1,
         {0x81, 0xAB},
         wordAsk,
         {0x0C, 0x07, 0x14, 0x02, 0x81, 0xAB, 0x3B},
         true},
        {"MW00040.0",
         {0x01, 0xAB},
         0,
         {0x00, 0xAB},
         wordAsk,
         {0x0C, 0x07, 0x14, 0x02, 0x00, 0xAB, 0xBA},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " <- " + std::to_string(c.requested));
        Forget();
        values.fill(plc::kFill);
        const uint16_t at = static_cast<uint16_t>(c.request[3] << 8 | c.request[4]);
        std::copy(c.before.begin(), c.before.end(), plc.memory.begin() + at);
        Gate(c.text, 9, 1); // a signed byte gate: writes ignore valueKind
        const GateAddr given = transfer.gateAddr;
        SetSingleValue(c.requested);

        ASSERT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_OK);
        EXPECT_EQ(Bytes(plc.memory.begin() + at, plc.memory.begin() + at + c.after.size()), c.after);
        std::vector<Bytes> sent;
        if (c.readsFirst) {
            Bytes read = c.request;
            read[2] = 0x82;
            read[7] ^= 0x83 ^ 0x82;
            sent.push_back(read);
        }
        sent.push_back(c.request);
        sent.push_back(c.data);
        EXPECT_EQ(plc.frames, sent);
        EXPECT_EQ(SingleValue(), c.requested);
        EXPECT_EQ(values[0], plc::kFill);
        EXPECT_EQ(values[1], plc::kFill);
        EXPECT_EQ(values[4], plc::kFill);
        EXPECT_EQ(std::memcmp(&transfer.gateAddr, &given, sizeof given), 0);
        EXPECT_EQ(transfer.count, 1);
        EXPECT_TRUE(testlog::Lines().empty());
        // One drain before each transaction's first attempt: the read half and the write.
        EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), c.readsFirst ? 2 : 1);
    }
}

// The worked example at 0x012C, with another marker area.
TEST_F(Write, ByteAtAnotherArea) {
    context.markerStart = 0x0100;
    Gate("MB00044");
    SetSingleValue(0x005A);
    ASSERT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_OK);
    EXPECT_EQ(device->written,
              (Bytes{0x0C, 0x07, 0x83, 0x01, 0x2C, 0x01, 0x2C, 0x84, 0x0C, 0x07, 0x14, 0x01, 0x5A, 0x48}));
    EXPECT_EQ(plc.memory[0x012C], 0x5A);
    EXPECT_EQ(fake::CountOf(fake::Fn::ReadFile), 2) << "two acknowledgement bytes";
}

TEST_F(Write, BlockOfBytes) {
    Gate("MB00100", 3);
    values[0] = 1;
    values[1] = 2;
    values[2] = 3;
    const auto before = values;
    ASSERT_EQ(Run(HUX_OP_BLOCK_WRITE), HUX_OK);
    EXPECT_EQ(plc.frames, (std::vector<Bytes>{{0x0C, 0x07, 0x83, 0x10, 0x64, 0x10, 0x66, 0x86},
                                              {0x0C, 0x07, 0x14, 0x03, 0x01, 0x02, 0x03, 0x10}}));
    EXPECT_EQ(values, before) << "a block write only reads the buffer";
    EXPECT_EQ(transfer.count, 3);
}

// 64 data bytes: the 69-byte frame runs on into the receive area, so the
// permission must be judged before the frame is built. Data byte 28 lands on
// the permission byte; a refusal must still stop the write when it is 0x06.
TEST_F(Write, LargestBlocksAndThePermissionByte) {
    for (const char *text : {"MB00000", "MW00000"}) {
        SCOPED_TRACE(text);
        Forget();
        Gate(text, text[1] == 'B' ? 64 : 32);
        for (int i = 0; i < 64; ++i) {
            values[static_cast<size_t>(i)] = static_cast<uint8_t>(0xC0 + i);
        }
        values[28] = 0x06;
        plc.Fail(Fault::Nack, 1, 0x15); // the first permission is refused
        ASSERT_EQ(Run(HUX_OP_BLOCK_WRITE), HUX_OK);
        const std::vector<Bytes> data = DataFrames();
        ASSERT_EQ(data.size(), 1u) << "no data frame after the refusal";
        const Bytes &frame = data[0];
        ASSERT_EQ(frame.size(), 69u);
        EXPECT_EQ(frame[3], 64);
        EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 68), Bytes(values.begin(), values.begin() + 64));
        EXPECT_EQ(Bytes(plc.memory.begin() + 0x1000, plc.memory.begin() + 0x1040),
                  Bytes(values.begin(), values.begin() + 64));
        EXPECT_EQ(testlog::Texts(),
                  std::vector<std::string>{"HUXDR> DoWrite() write not allowed retry 1, nack code "
                                           "21, '" +
                                           std::string(text) + "'"});
        EXPECT_TRUE(GuardIntact());
    }
    // Data byte 28 a refusal code, the permission 0x06: the write goes ahead.
    Forget();
    Gate("MB00000", 64);
    values[28] = 0x15;
    ASSERT_EQ(Run(HUX_OP_BLOCK_WRITE), HUX_OK);
    EXPECT_EQ(plc.frames.size(), 2u);
    EXPECT_EQ(plc.memory[0x1000 + 28], 0x15);
}

TEST_F(Write, RangeBound) {
    struct Case {
        const char *text;
        int32_t count;
        uint32_t op;
        int32_t result;
    };
    const Case cases[] = {
        {"MB02048", 1, HUX_OP_SINGLE_WRITE, HUX_OK},      {"MB02049", 1, HUX_OP_SINGLE_WRITE, HUX_REFUSED},
        {"MW02046", 1, HUX_OP_SINGLE_WRITE, HUX_OK},      {"MW02048", 1, HUX_OP_SINGLE_WRITE, HUX_REFUSED},
        {"MB02041", 8, HUX_OP_BLOCK_WRITE, HUX_OK},       {"MB02042", 8, HUX_OP_BLOCK_WRITE, HUX_REFUSED},
        {"MW02040", 4, HUX_OP_BLOCK_WRITE, HUX_OK},       {"MW02040", 5, HUX_OP_BLOCK_WRITE, HUX_REFUSED},
        {"MB65535", 1, HUX_OP_SINGLE_WRITE, HUX_REFUSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " x" + std::to_string(c.count));
        Forget();
        Gate(c.text, c.count);
        EXPECT_EQ(Run(c.op), c.result);
        if (c.result == HUX_OK) {
            EXPECT_EQ(plc.frames.size(), 2u);
            continue;
        }
        EXPECT_TRUE(fake::Calls().empty()) << "nothing sent, no purge";
        const std::string wrapper = c.op == HUX_OP_SINGLE_WRITE ? "HUXDR> SingleWrite() , ret val is 1"
                                                                : "HUXDR> BlockWrite() , ret val is 1";
        EXPECT_EQ(testlog::Texts(),
                  (std::vector<std::string>{"HUXDR> DoWrite() write out of marker address space '" +
                                                std::string(c.text) + "'",
                                            wrapper}));
    }
    // Past 0xFFFF: never wraps to a low address.
    Forget();
    context.markerStart = 0xFFF0;
    context.markerEnd = 0xFFFF;
    Gate("MW00016");
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_REFUSED);
    EXPECT_TRUE(plc.frames.empty());
}

// A bit gate outside the area is refused by the read half: result 2.
TEST_F(Write, BitOutsideTheArea) {
    Gate("MB02049.0", 4);
    SetSingleValue(1);
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_FAILED);
    EXPECT_TRUE(plc.frames.empty());
    EXPECT_EQ(testlog::Texts(), (std::vector<std::string>{
                                    "HUXDR> DoRead() read out of marker address space 'MB02049.0'",
                                    "HUXDR> SingleRead() , ret val is 1",
                                    "HUXDR> DoWrite() SingleRead for read-modify-write failed 'MB02049.0'",
                                    "HUXDR> SingleWrite() , ret val is 2",
                                }));
    EXPECT_EQ(transfer.gateAddr.bit, 0);
    EXPECT_EQ(SingleValue(), 1);
    EXPECT_EQ(transfer.count, 1);
}

// The read half fails: no write request, the record as given.
TEST_F(Write, BitWhoseReadFails) {
    Gate("MW00040.5", 4);
    SetSingleValue(0x0100);
    plc.Fail(Fault::Silent, 6);
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_FAILED);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(Reads().size(), 6u);
    std::vector<std::string> log =
        Numbered("HUXDR> DoRead() error receiving data, retry ", " 'MW00040.5'", 6);
    log.push_back("HUXDR> SingleRead() , ret val is 2");
    log.push_back("HUXDR> DoWrite() SingleRead for read-modify-write failed 'MW00040.5'");
    log.push_back("HUXDR> SingleWrite() , ret val is 2");
    EXPECT_EQ(testlog::Texts(), log);
    EXPECT_EQ(transfer.gateAddr.bit, 5);
    EXPECT_EQ(SingleValue(), 0x0100);
    EXPECT_EQ(transfer.count, 1);
    EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 6);
}

// One failed attempt, then success: the attempt's message, a purge, a new
// write request, the same data; a bit write does not read again.
TEST_F(Write, RecoversAfterOneFailure) {
    struct Case {
        const char *what;
        int frame;   // the frame of attempt 1 that meets the fault: 0 request, 1 data frame
        Fault fault; // None: the send fails
        std::string message;
        size_t dataFrames; // data frames sent in all
    };
    const Case cases[] = {
        {"request not sent", 0, Fault::None,
         "HUXDR> DoWrite() error sending write request, retry 1 'MB00012.3'", 1},
        {"no permission", 0, Fault::Silent,
         "HUXDR> DoWrite() error receiving permission, retry 1 'MB00012.3'", 1},
        {"permission refused", 0, Fault::Nack,
         "HUXDR> DoWrite() write not allowed retry 1, nack code 21, 'MB00012.3'", 1},
        {"data not sent", 1, Fault::None, "HUXDR> DoWrite() error sending write data, retry 1 'MB00012.3'",
         1},
        {"no confirmation", 1, Fault::Silent,
         "HUXDR> DoWrite() error receiving confirmation, retry 1 'MB00012.3'", 2},
        {"data refused", 1, Fault::Nack,
         "HUXDR> DoWrite() write not succeeded retry 1, nack code 21, 'MB00012.3'", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Forget();
        plc.script.clear();
        device->pieces.clear();
        plc.memory[0x100C] = 0x41;
        Gate("MB00012.3");
        SetSingleValue(1);
        plc.Pass(); // the read half
        if (c.fault == Fault::None) {
            fake::FailCall(fake::Fn::WriteFile, 1 + c.frame);
        } else {
            plc.Pass(c.frame);
            plc.Fail(c.fault, 1, 0x15);
        }
        ASSERT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_OK);
        EXPECT_EQ(testlog::Texts(), std::vector<std::string>{c.message});
        EXPECT_EQ(Reads().size(), 1u);
        EXPECT_EQ(Requests().size(), c.fault == Fault::None && c.frame == 0 ? 1u : 2u);
        EXPECT_EQ(DataFrames().size(), c.dataFrames);
        for (const Bytes &frame : DataFrames()) {
            EXPECT_EQ(frame, (Bytes{0x0C, 0x07, 0x14, 0x01, 0x49, 0x5B}));
        }
        EXPECT_EQ(plc.memory[0x100C], 0x49);
        EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 3) << "read half, write attempts 1 and 2";
        EXPECT_EQ(SingleValue(), 1);
    }
}

TEST_F(Write, SixFailedAttempts) {
    struct Case {
        Fault fault;
        std::string before, after;
    };
    const Case cases[] = {
        {Fault::Silent, "HUXDR> DoWrite() error receiving permission, retry ", " 'MW00040'"},
        {Fault::Nack, "HUXDR> DoWrite() write not allowed retry ", ", nack code 255, 'MW00040'"},
    };
    for (const Case &c : cases) {
        Forget();
        plc.script.clear();
        Gate("MW00040", 3);
        plc.Fail(c.fault, 6, 0xFF);
        EXPECT_EQ(Run(HUX_OP_BLOCK_WRITE), HUX_FAILED);
        std::vector<std::string> log = Numbered(c.before, c.after, 6);
        log.push_back("HUXDR> BlockWrite() , ret val is 2");
        EXPECT_EQ(testlog::Texts(), log);
        EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 6);
        EXPECT_EQ(fake::Calls().front().fn, fake::Fn::ClearCommError);
        EXPECT_EQ(Requests().size(), 6u);
        EXPECT_TRUE(DataFrames().empty());
    }
    // Six refused data frames on a single write: count 1, value as given.
    Forget();
    Gate("MB00012", 5);
    SetSingleValue(0x77);
    for (int i = 0; i < 6; ++i) {
        plc.Pass();
        plc.Fail(Fault::Nack, 1, 0x15);
    }
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_FAILED);
    EXPECT_EQ(DataFrames().size(), 6u);
    EXPECT_EQ(transfer.count, 1);
    EXPECT_EQ(SingleValue(), 0x77);
    EXPECT_EQ(testlog::Texts().back(), "HUXDR> SingleWrite() , ret val is 2");
}

TEST_F(Write, NoPortAndDiscovery) {
    const uint32_t port = context.port;
    context.port = 0;
    Gate("MB00012.3", 7);
    SetSingleValue(1);
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_REFUSED);
    EXPECT_EQ(transfer.count, 7);
    EXPECT_EQ(testlog::Texts(), std::vector<std::string>{"HUXDR> SingleWrite() , ret val is 1"});
    EXPECT_TRUE(fake::Calls().empty());

    context.port = port;
    context.markerEnd = 0;
    plc.Fail(Fault::BadLrc);
    Gate("MB00012", 7);
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_FAILED);
    EXPECT_EQ(transfer.count, 7);
    EXPECT_EQ(testlog::Texts(),
              (std::vector<std::string>{"HUXDR> Receive() LRC error",
                                        "HUXDR> DoWrite() reading start addr from PLC failed",
                                        "HUXDR> SingleWrite() , ret val is 2"}));
    EXPECT_EQ(plc.frames.size(), 1u);

    // Discovery that works is followed by the write.
    Forget();
    SetSingleValue(0x99);
    EXPECT_EQ(Run(HUX_OP_SINGLE_WRITE), HUX_OK);
    EXPECT_EQ(plc.frames.size(), 4u);
    EXPECT_EQ(plc.memory[0x100C], 0x99);
}

TEST_F(Write, InvalidBlockSize) {
    struct Case {
        const char *text;
        int32_t count;
    };
    const Case cases[] = {
        {"MB00012", 0}, {"MB00012", -5}, {"MB00012", 65}, {"MW00012", 33}, {"MW00012", INT32_MAX}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " x" + std::to_string(c.count));
        Forget();
        context.markerEnd = 0;
        Gate(c.text, c.count);
        EXPECT_EQ(Run(HUX_OP_BLOCK_WRITE), HUX_REFUSED);
        EXPECT_TRUE(fake::Calls().empty());
        const std::vector<LogLine> log = {
            {8, "HUXDR> DoWrite() invalid block size '" + std::string(c.text) + "'"},
            {8, "HUXDR> BlockWrite() , ret val is 1"}};
        EXPECT_EQ(testlog::Lines(), log);
        EXPECT_TRUE(GuardIntact());
    }
}

} // namespace
