// SUCOM-B protocol engine: marker area discovery, read and write
// transactions, and what they share.
#ifndef HUX_SUCOM_ENGINE_H
#define HUX_SUCOM_ENGINE_H

#include <cstdint>

#include "driver/host/huxdrvr.h"
#include "driver/serial/serial.h"

// The transaction kinds DoRead and DoWrite are run with (the operation codes
// of their single-value wrappers); any other value means a block.
constexpr int32_t kOpSingleRead = HUX_OP_SINGLE_READ;
constexpr int32_t kOpBlockRead = HUX_OP_BLOCK_READ;
constexpr int32_t kOpSingleWrite = HUX_OP_SINGLE_WRITE;
constexpr int32_t kOpBlockWrite = HUX_OP_BLOCK_WRITE;

// Asks the controller where its marker area lies and stores the bounds in
// markerStart and markerEnd. The port must be open. 0 stored; 2 an exchange
// failed (markerStart may already hold the new value, markerEnd does not).
int32_t ReadAddressOffset(ComContext *context);

// One read transaction: op kOpSingleRead for the single-value word, any other
// value for a block. 0 delivered; 1 no port, bad block size or range outside
// the marker area; 2 discovery failed or six attempts failed.
int32_t DoRead(DriverRequest *request, int32_t op);

// Checks the byte count of a read reply and converts its data into the
// host's buffer. 0 stored; 1 wrong byte count (logged, buffer untouched).
int32_t StoreData(GateTransfer *transfer, const uint8_t *reply, int32_t op);

// One write transaction: op kOpSingleWrite for the single-value word (a bit
// by read-modify-write), any other value for a block. 0 written and
// confirmed; 1 no port, bad block size or range outside the marker area;
// 2 discovery failed, the read half of a bit write failed, or six attempts
// failed.
int32_t DoWrite(DriverRequest *request, int32_t op);

// Discards the input waiting on the port before an exchange begins: before
// every attempt, the first one too, and before discovery within a transfer.
// An answer that came in after an earlier attempt or transaction had given
// up on it must never be taken for the answer to a new request (the replies
// carry nothing that ties them to their request). With nothing waiting this
// is one status query of the port.
inline void DrainInput(uint32_t port) {
    SerialPurge(HandleFromPort(port));
}

// An answer that went missing may only have been slow, and the controller
// may still send it, and then answer the attempts that followed it too. A
// transaction that missed an answer therefore reads its line, before it
// returns, until the line has been quiet for one read timeout, so that none
// of those answers is left for the next request. scratch holds a reply
// (the receive area, whose content is no longer needed).
inline void SettleInput(uint32_t port, uint8_t *scratch) {
    constexpr int kMaxReads = 16; // a line that never falls quiet is left to the next drain
    for (int i = 0; i < kMaxReads; ++i) {
        int32_t got = 0;
        SerialRead(HandleFromPort(port), scratch, HUX_MAX_FRAME, &got);
        if (got < HUX_MAX_FRAME) {
            return;
        }
    }
}

// The controller addresses a transfer covers.
struct GateRange {
    uint16_t first; // start = markerStart + the gate's byte offset
    uint16_t last;  // end = start + bytes - 1
    int32_t bytes;  // data bytes on the line
};

// Derives the range of a transfer from its gate and, for a block, its count.
// false when the range ends beyond markerEnd (computed in full width, so a
// range past 0xFFFF never wraps) or starts before markerStart.
bool GateRangeOf(const ComContext *context, const GateTransfer *transfer, bool single, GateRange *range);

// Whether a block transfer's count lies within 1 to 64 bytes.
bool BlockCountValid(const GateTransfer *transfer);

// The single-value word: the little-endian 16 bits at byte offset 2 of the
// host's value buffer.
inline uint16_t LoadSingleValue(const GateTransfer *transfer) {
    const auto *values = static_cast<const uint8_t *>(transfer->values);
    return static_cast<uint16_t>(values[2] | (values[3] << 8));
}
inline void StoreSingleValue(GateTransfer *transfer, uint16_t value) {
    auto *values = static_cast<uint8_t *>(transfer->values);
    values[2] = static_cast<uint8_t>(value & 0xFF);
    values[3] = static_cast<uint8_t>(value >> 8);
}

#endif // HUX_SUCOM_ENGINE_H
