// SUCOM-B frame layer: completes frames with their LRC and writes them to the
// port; reads replies of a known length and checks their LRC.
#ifndef HUX_SUCOM_FRAME_H
#define HUX_SUCOM_FRAME_H

#include <cstddef>
#include <cstdint>

#include "driver/host/huxdrvr.h"

// First two bytes of every frame the driver sends.
constexpr uint8_t kFrameHead0 = 0x0C;
constexpr uint8_t kFrameHead1 = 0x07;
// Commands.
constexpr uint8_t kCmdRead = 0x82;      // read the range
constexpr uint8_t kCmdWriteAsk = 0x83;  // ask permission to write the range
constexpr uint8_t kCmdWriteData = 0x14; // data to write
// The controller's "yes" to a write request or a data frame.
constexpr uint8_t kAck = 0x06;
// A range request: 7 bytes before the LRC.
constexpr int32_t kRangeRequestLength = 7;
// Header bytes in front of the data of a read reply or a write data frame.
constexpr int32_t kFrameHeader = 4;

// The frame areas of a connection. A write data frame of up to 69 bytes is
// built from txFrame on and may run on into rxFrame, so both areas are
// addressed through the record's bytes rather than through the arrays.
inline uint8_t *TxFrame(ComContext *context) {
    return reinterpret_cast<uint8_t *>(context) + offsetof(ComContext, txFrame);
}
inline uint8_t *RxFrame(ComContext *context) {
    return reinterpret_cast<uint8_t *>(context) + offsetof(ComContext, rxFrame);
}

// XOR of the bytes at offsets 1 to length - 1 (0 when length is 1 or less).
uint8_t Lrc(const uint8_t *frame, int32_t length);

// Stores the LRC at frame[length] and writes length + 1 bytes to the port.
// 0 when all were written; 2 when the write failed or fell short, or when
// the frame would be longer than 69 bytes on the line.
int32_t Send(uint8_t *frame, int32_t length, uint32_t port);

// Reads *expected + 1 bytes from the port into buffer (*expected: the reply
// bytes before its LRC; 0 for a one-byte acknowledgement, which carries no
// LRC). 0 complete and valid; 1 complete but the LRC is wrong (logged);
// 2 the read failed or fell short (*expected then holds the number of bytes
// that arrived), or the reply would be longer than 69 bytes.
int32_t Receive(uint8_t *buffer, int32_t *expected, uint32_t port);

// Builds a range request (command kCmdRead or kCmdWriteAsk) for the
// controller addresses first to last in frame; its length is
// kRangeRequestLength.
void BuildRangeRequest(uint8_t *frame, uint8_t command, uint16_t first, uint16_t last);

#endif // HUX_SUCOM_FRAME_H
