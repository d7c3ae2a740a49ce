// Marker area discovery: the two exchanges, the bounds stored, and what
// stays when either exchange fails.
#include <gtest/gtest.h>

#include "driver/sucom/engine.h"
#include "tests/engine/plc.h"

namespace {

using fake::Bytes;
using plc::EngineTest;
using plc::Fault;

class Discovery : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Open();
        context.markerStart = 0xA5A5;
        context.markerEnd = 0x5A5A;
    }
};

TEST_F(Discovery, ReadsBothBounds) {
    plc.SetArea(0x0200, 0x1002);
    ASSERT_EQ(ReadAddressOffset(&context), HUX_OK);
    EXPECT_EQ(context.markerStart, 0x0200);
    EXPECT_EQ(context.markerEnd, 0x1000);
    const std::vector<Bytes> sent = {{0x0C, 0x07, 0x82, 0x00, 0x40, 0x00, 0x41, 0x84},
                                     {0x0C, 0x07, 0x82, 0x00, 0x4A, 0x00, 0x4B, 0x84}};
    EXPECT_EQ(plc.frames, sent);
    const std::vector<LogLine> log = {
        {8, "HUXDR> ReadAddressOffset() Marker area in PLC from 0200h to 1000h"}};
    EXPECT_EQ(testlog::Lines(), log);
    EXPECT_EQ(fake::CountOf(fake::Fn::ClearCommError), 0) << "discovery does not purge";
}

// The end bound is stored two lower, in 16 bits; nothing checks the bounds
// against each other.
TEST_F(Discovery, EndBoundWraps) {
    struct Case {
        uint16_t startWord, endWord, markerEnd;
        const char *message;
    };
    const Case cases[] = {
        {0x0000, 0x0000, 0xFFFE, "HUXDR> ReadAddressOffset() Marker area in PLC from 0000h to fffeh"},
        {0x0000, 0x0001, 0xFFFF, "HUXDR> ReadAddressOffset() Marker area in PLC from 0000h to ffffh"},
        {0x0010, 0x0002, 0x0000, "HUXDR> ReadAddressOffset() Marker area in PLC from 0010h to 0000h"},
        {0xF000, 0x1002, 0x1000, "HUXDR> ReadAddressOffset() Marker area in PLC from f000h to 1000h"},
    };
    for (const Case &c : cases) {
        testlog::Clear();
        plc.SetArea(c.startWord, c.endWord);
        ASSERT_EQ(ReadAddressOffset(&context), HUX_OK);
        EXPECT_EQ(context.markerStart, c.startWord);
        EXPECT_EQ(context.markerEnd, c.markerEnd);
        EXPECT_EQ(testlog::Texts(), std::vector<std::string>{c.message});
    }
}

// Only the data bytes and the LRC count: a wrong byte count is accepted.
TEST_F(Discovery, ByteCountNotExamined) {
    plc.SetArea(0x0200, 0x1002);
    plc.Fail(Fault::WrongCount, 2);
    EXPECT_EQ(ReadAddressOffset(&context), HUX_OK);
    EXPECT_EQ(context.markerStart, 0x0200);
    EXPECT_EQ(context.markerEnd, 0x1000);
}

// Bytes already waiting are taken as the start of the first reply.
TEST_F(Discovery, StaleInputIsReadAsTheReply) {
    device->Queue(plc::ReadReply({0x12, 0x34}, 2));
    plc.Fail(Fault::Silent); // the real answer to the first request never comes
    plc.SetArea(0x0200, 0x1002);
    EXPECT_EQ(ReadAddressOffset(&context), HUX_OK);
    EXPECT_EQ(context.markerStart, 0x1234);
    EXPECT_EQ(context.markerEnd, 0x1000);
}

TEST_F(Discovery, FailureInEitherExchange) {
    struct Case {
        const char *what;
        int exchange; // 1 or 2
        Fault fault;  // None: the send fails
        bool lrcLine;
    };
    const Case cases[] = {
        {"first send", 1, Fault::None, false},    {"first reply lost", 1, Fault::Silent, false},
        {"first short", 1, Fault::Short, false},  {"first LRC", 1, Fault::BadLrc, true},
        {"second send", 2, Fault::None, false},   {"second reply lost", 2, Fault::Silent, false},
        {"second short", 2, Fault::Short, false}, {"second LRC", 2, Fault::BadLrc, true},
    };
    plc.SetArea(0x0200, 0x1002);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        device->pieces.clear();
        plc.script.clear();
        testlog::Clear();
        context.markerStart = 0xA5A5;
        context.markerEnd = 0x5A5A;
        if (c.fault == Fault::None) {
            fake::FailCall(fake::Fn::WriteFile, c.exchange - 1);
        } else {
            plc.Pass(c.exchange - 1);
            plc.Fail(c.fault);
        }
        EXPECT_EQ(ReadAddressOffset(&context), HUX_FAILED);
        EXPECT_EQ(context.markerStart, c.exchange == 1 ? 0xA5A5 : 0x0200);
        EXPECT_EQ(context.markerEnd, 0x5A5A);
        const std::vector<std::string> lrc = {"HUXDR> Receive() LRC error"};
        EXPECT_EQ(testlog::Texts(), c.lrcLine ? lrc : std::vector<std::string>{});
    }
}

} // namespace
