// Marker area discovery: the controller keeps the start of its marker area
// at 0x0040..0x0041 and the area's end bound at 0x004A..0x004B, each a word
// with its high byte first.
#include "driver/host/log.h"
#include "driver/sucom/engine.h"
#include "driver/sucom/frame.h"

namespace {

constexpr uint16_t kStartWordAddr = 0x0040;
constexpr uint16_t kEndWordAddr = 0x004A;
// Reply bytes before the LRC for a two-byte read: header, count, two data bytes.
constexpr int32_t kWordReply = kFrameHeader + 2;

uint16_t ReplyWord(const uint8_t *reply) {
    return static_cast<uint16_t>((reply[4] << 8) | reply[5]);
}

} // namespace

int32_t ReadAddressOffset(ComContext *context) {
    uint8_t *tx = TxFrame(context);
    uint8_t *rx = RxFrame(context);
    const uint32_t port = context->port;

    BuildRangeRequest(tx, kCmdRead, kStartWordAddr, kStartWordAddr + 1);
    if (Send(tx, kRangeRequestLength, port) != HUX_OK) {
        return HUX_FAILED;
    }
    int32_t expected = kWordReply;
    if (Receive(rx, &expected, port) != HUX_OK) {
        return HUX_FAILED;
    }

    BuildRangeRequest(tx, kCmdRead, kEndWordAddr, kEndWordAddr + 1);
    context->markerStart = ReplyWord(rx);
    if (Send(tx, kRangeRequestLength, port) != HUX_OK) {
        return HUX_FAILED;
    }
    expected = kWordReply;
    if (Receive(rx, &expected, port) != HUX_OK) {
        return HUX_FAILED;
    }
    // The last address a transfer may touch lies two below the end bound.
    context->markerEnd = static_cast<uint16_t>(ReplyWord(rx) - 2);

    err(HUX_LOG_INFO, "HUXDR> ReadAddressOffset() Marker area in PLC from %04xh to %04xh",
        static_cast<unsigned>(context->markerStart), static_cast<unsigned>(context->markerEnd));
    return HUX_OK;
}
