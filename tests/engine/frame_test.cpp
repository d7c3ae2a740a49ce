// Frame layer: the LRC, the frames on the line, and what Send and Receive
// make of writes and reads that fail or fall short.
#include <gtest/gtest.h>

#include "driver/sucom/frame.h"
#include "tests/engine/plc.h"

namespace {

using fake::Bytes;
using plc::EngineTest;

class Frame : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Open();
        device->onWrite = nullptr; // the tests below play the controller themselves
    }
    uint8_t *tx() { return TxFrame(&context); }
    uint8_t *rx() { return RxFrame(&context); }
};

// Every range request the driver sends, with the LRC it must carry.
TEST_F(Frame, RangeRequestsOnTheLine) {
    struct Case {
        uint8_t command;
        uint16_t first, last;
        Bytes line;
    };
    const Case cases[] = {
        {0x82, 0x0040, 0x0041, {0x0C, 0x07, 0x82, 0x00, 0x40, 0x00, 0x41, 0x84}},
        {0x82, 0x004A, 0x004B, {0x0C, 0x07, 0x82, 0x00, 0x4A, 0x00, 0x4B, 0x84}},
        {0x82, 0x0205, 0x0207, {0x0C, 0x07, 0x82, 0x02, 0x05, 0x02, 0x07, 0x87}},
        {0x82, 0x01FE, 0x0201, {0x0C, 0x07, 0x82, 0x01, 0xFE, 0x02, 0x01, 0x79}},
        {0x83, 0x01FE, 0x0201, {0x0C, 0x07, 0x83, 0x01, 0xFE, 0x02, 0x01, 0x78}},
        {0x83, 0x012C, 0x012C, {0x0C, 0x07, 0x83, 0x01, 0x2C, 0x01, 0x2C, 0x84}},
        {0x82, 0x1028, 0x102D, {0x0C, 0x07, 0x82, 0x10, 0x28, 0x10, 0x2D, 0x80}},
        {0x82, 0x100C, 0x100C, {0x0C, 0x07, 0x82, 0x10, 0x0C, 0x10, 0x0C, 0x85}},
        {0x82, 0xABCD, 0xABCD, {0x0C, 0x07, 0x82, 0xAB, 0xCD, 0xAB, 0xCD, 0x85}},
        {0x83, 0x100C, 0x100C, {0x0C, 0x07, 0x83, 0x10, 0x0C, 0x10, 0x0C, 0x84}},
        {0x83, 0x1028, 0x1029, {0x0C, 0x07, 0x83, 0x10, 0x28, 0x10, 0x29, 0x85}},
        {0x83, 0x1064, 0x1066, {0x0C, 0x07, 0x83, 0x10, 0x64, 0x10, 0x66, 0x86}},
    };
    for (const Case &c : cases) {
        device->written.clear();
        BuildRangeRequest(tx(), c.command, c.first, c.last);
        EXPECT_EQ(Send(tx(), 7, context.port), HUX_OK);
        EXPECT_EQ(device->written, c.line) << std::hex << c.first;
    }
    EXPECT_EQ(fake::CountOf(fake::Fn::WriteFile), 12) << "one write per frame";
    EXPECT_TRUE(testlog::Lines().empty());
}

// Write data frames: the LRC covers offsets 1 to the last data byte.
TEST_F(Frame, WriteDataFramesOnTheLine) {
    const Bytes frames[] = {
        {0x0C, 0x07, 0x14, 0x04, 0x11, 0x22, 0x33, 0x44, 0x53},
        {0x0C, 0x07, 0x14, 0x01, 0x5A, 0x48},
        {0x0C, 0x07, 0x14, 0x01, 0x49, 0x5B},
        {0x0C, 0x07, 0x14, 0x01, 0x01, 0x13},
        {0x0C, 0x07, 0x14, 0x02, 0x34, 0x12, 0x37},
        {0x0C, 0x07, 0x14, 0x03, 0x01, 0x02, 0x03, 0x10},
    };
    for (const Bytes &line : frames) {
        device->written.clear();
        std::copy(line.begin(), line.end() - 1, tx());
        tx()[line.size() - 1] = 0x99; // the LRC slot holds something else before Send
        const auto length = static_cast<int32_t>(line.size() - 1);
        EXPECT_EQ(Send(tx(), length, context.port), HUX_OK);
        EXPECT_EQ(device->written, line);
    }
}

TEST_F(Frame, LrcLeavesOutTheFirstByte) {
    const uint8_t a[] = {0xFF, 0x01, 0x02};
    EXPECT_EQ(Lrc(a, 3), 0x03);
    EXPECT_EQ(Lrc(a, 1), 0x00);
    const uint8_t b[] = {0x00, 0x01, 0x02};
    EXPECT_EQ(Lrc(b, 3), Lrc(a, 3));
}

// The longest frame is 69 bytes on the line and reaches 0x66 of the
// context; one more byte is refused before anything is written.
TEST_F(Frame, SendLengthLimit) {
    uint8_t *frame = tx();
    for (int i = 0; i < 68; ++i) {
        frame[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(Send(frame, 68, context.port), HUX_OK);
    ASSERT_EQ(device->written.size(), 69u);
    EXPECT_EQ(device->written[68], Lrc(frame, 68));
    EXPECT_TRUE(GuardIntact());

    device->written.clear();
    EXPECT_EQ(Send(frame, 69, context.port), HUX_FAILED);
    EXPECT_EQ(Send(frame, 0, context.port), HUX_FAILED);
    EXPECT_TRUE(device->written.empty());
    EXPECT_EQ(fake::CountOf(fake::Fn::WriteFile), 1);
    EXPECT_TRUE(GuardIntact());
}

TEST_F(Frame, SendFailures) {
    BuildRangeRequest(tx(), 0x82, 0x0040, 0x0041);
    fake::ShortWrite(7);
    EXPECT_EQ(Send(tx(), 7, context.port), HUX_FAILED);
    EXPECT_EQ(tx()[7], 0x84) << "the frame keeps its LRC";
    fake::FailCall(fake::Fn::WriteFile);
    EXPECT_EQ(Send(tx(), 7, context.port), HUX_FAILED);
    EXPECT_EQ(Send(tx(), 7, context.port), HUX_OK);
    EXPECT_TRUE(testlog::Lines().empty()) << "Send logs nothing";
}

// Receive of a two-data-byte reply r0 r1 r2 02 d0 d1 L: byte 0 is outside
// the LRC, every other byte is covered.
TEST_F(Frame, ReceiveChecksTheLrc) {
    const Bytes good = plc::ReadReply({0x10, 0x02}, 2);
    struct Case {
        int flip; // index of a byte changed after the LRC was computed, -1 none
        int32_t result;
    };
    const Case cases[] = {{-1, HUX_OK},     {0, HUX_OK},      {1, HUX_REFUSED}, {2, HUX_REFUSED},
                          {3, HUX_REFUSED}, {4, HUX_REFUSED}, {5, HUX_REFUSED}, {6, HUX_REFUSED}};
    for (const Case &c : cases) {
        testlog::Clear();
        Bytes reply = good;
        if (c.flip >= 0) {
            reply[static_cast<size_t>(c.flip)] ^= 0x5A;
        }
        device->Queue(reply);
        int32_t expected = 6;
        EXPECT_EQ(Receive(rx(), &expected, context.port), c.result) << "flip " << c.flip;
        EXPECT_EQ(expected, 6);
        EXPECT_EQ(Bytes(rx(), rx() + 7), reply);
        const std::vector<LogLine> lrcError = {{8, "HUXDR> Receive() LRC error"}};
        EXPECT_EQ(testlog::Lines(), c.result == HUX_OK ? std::vector<LogLine>{} : lrcError);
    }
}

TEST_F(Frame, ReceiveAcknowledgementAndTinyReplies) {
    for (uint8_t ack : {0x06, 0x15, 0x00, 0xFF}) {
        device->Queue({ack});
        int32_t expected = 0;
        EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_OK);
        EXPECT_EQ(rx()[0], ack);
        EXPECT_EQ(fake::CallsOf(fake::Fn::ReadFile).back().requested, 1u);
    }
    // expected 1: two bytes, the second the XOR of no bytes.
    device->Queue({0x33, 0x00});
    int32_t expected = 1;
    EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_OK);
    device->Queue({0x33, 0x01});
    expected = 1;
    EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_REFUSED);
}

TEST_F(Frame, ReceiveShortOrMissingReply) {
    const Bytes reply = plc::ReadReply({0x10, 0x02}, 2);
    struct Case {
        std::vector<Bytes> pieces;
        int32_t result;
        int32_t received;
    };
    const Case cases[] = {
        {{}, HUX_FAILED, 0},
        {{Bytes(reply.begin(), reply.begin() + 4)}, HUX_FAILED, 4},
        {{Bytes(reply.begin(), reply.begin() + 3), Bytes(reply.begin() + 3, reply.end())}, HUX_OK, 6},
        {{Bytes(reply.begin(), reply.begin() + 3), {}, Bytes(reply.begin() + 3, reply.end())}, HUX_FAILED, 3},
    };
    for (const Case &c : cases) {
        device->pieces.clear();
        testlog::Clear();
        for (const Bytes &piece : c.pieces) {
            device->Queue(piece);
        }
        int32_t expected = 6;
        EXPECT_EQ(Receive(rx(), &expected, context.port), c.result);
        EXPECT_EQ(expected, c.received);
        EXPECT_TRUE(testlog::Lines().empty()) << "a short reply is not logged";
    }
    fake::FailCall(fake::Fn::ReadFile);
    device->Queue(reply);
    int32_t expected = 6;
    EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_FAILED);
    EXPECT_EQ(expected, 0);
}

// A reply longer than the receive area is never read into it.
TEST_F(Frame, ReceiveLengthLimit) {
    Bytes longest(69, 0);
    longest[68] = Lrc(longest.data(), 68);
    device->Queue(longest);
    int32_t expected = 68;
    EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_OK);
    EXPECT_TRUE(GuardIntact());

    device->Queue(Bytes(80, 0));
    fake::ClearCalls();
    for (int32_t bad : {69, 1000, -1}) {
        expected = bad;
        EXPECT_EQ(Receive(rx(), &expected, context.port), HUX_FAILED) << bad;
    }
    EXPECT_EQ(fake::CountOf(fake::Fn::ReadFile), 0);
    EXPECT_TRUE(GuardIntact());
}

} // namespace
