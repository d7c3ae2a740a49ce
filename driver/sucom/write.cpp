// Writing: single values, single bits (read-modify-write) and blocks.
#include <cstring>

#include "driver/host/log.h"
#include "driver/host/ops.h"
#include "driver/serial/serial.h"
#include "driver/sucom/engine.h"
#include "driver/sucom/frame.h"

namespace {

constexpr int32_t kAttempts = 6;

// The value a bit write sends: the byte or word as read, with the one bit
// set when the host asked for anything but 0 (all 16 bits count).
uint16_t WithBit(uint16_t word, int32_t bit, uint16_t requested) {
    const uint16_t mask = (bit >= 0 && bit < 16) ? static_cast<uint16_t>(1u << bit) : 0;
    return requested != 0 ? static_cast<uint16_t>(word | mask) : static_cast<uint16_t>(word & ~mask);
}

} // namespace

int32_t DoWrite(DriverRequest *request, int32_t op) {
    ComContext *context = request->context;
    auto *transfer = static_cast<GateTransfer *>(request->data);
    const bool single = op == kOpSingleWrite;

    if (context->port == 0) {
        return HUX_REFUSED;
    }
    if (!single && !BlockCountValid(transfer)) {
        err(HUX_LOG_INFO, "HUXDR> DoWrite() invalid block size '%s'", transfer->address);
        return HUX_REFUSED;
    }
    if (context->markerEnd == 0) {
        DrainInput(context->port);
        if (ReadAddressOffset(context) != HUX_OK) {
            err(HUX_LOG_INFO, "HUXDR> DoWrite() reading start addr from PLC failed");
            return HUX_FAILED;
        }
    }

    // The value to send is fixed once; every attempt sends the same data.
    uint16_t value = 0;
    if (single) {
        const uint16_t requested = LoadSingleValue(transfer);
        value = requested;
        const int32_t bit = transfer->gateAddr.bit;
        if (bit != -1) {
            // A bit cannot be written alone: read its whole byte or word.
            transfer->gateAddr.bit = -1;
            const int32_t read = SingleRead(request);
            transfer->gateAddr.bit = bit;
            if (read != HUX_OK) {
                err(HUX_LOG_INFO, "HUXDR> DoWrite() SingleRead for read-modify-write failed '%s'",
                    transfer->address);
                return HUX_FAILED;
            }
            value = WithBit(LoadSingleValue(transfer), bit, requested);
            StoreSingleValue(transfer, requested);
        }
        transfer->count = 1;
    }
    GateRange range{};
    if (!GateRangeOf(context, transfer, single, &range)) {
        err(HUX_LOG_INFO, "HUXDR> DoWrite() write out of marker address space '%s'", transfer->address);
        return HUX_REFUSED;
    }

    const uint32_t port = context->port;
    uint8_t *tx = TxFrame(context);
    uint8_t *rx = RxFrame(context);
    const char *address = transfer->address;
    bool missed = false; // an answer came short or not at all
    int32_t result = HUX_FAILED;
    for (int32_t attempt = 1; attempt <= kAttempts; ++attempt) {
        DrainInput(port);
        BuildRangeRequest(tx, kCmdWriteAsk, range.first, range.last);
        if (Send(tx, kRangeRequestLength, port) != HUX_OK) {
            err(HUX_LOG_INFO, "HUXDR> DoWrite() error sending write request, retry %d '%s'", attempt,
                address);
            continue;
        }
        int32_t expected = 0;
        if (Receive(rx, &expected, port) != HUX_OK) {
            missed = true;
            err(HUX_LOG_INFO, "HUXDR> DoWrite() error receiving permission, retry %d '%s'", attempt, address);
            continue;
        }
        // Judge the permission before the data frame is built: a long data
        // frame runs on over the byte just received.
        const uint8_t permission = rx[0];
        if (permission != kAck) {
            err(HUX_LOG_INFO, "HUXDR> DoWrite() write not allowed retry %d, nack code %d, '%s'", attempt,
                static_cast<int>(permission), address);
            continue;
        }

        tx[0] = kFrameHead0;
        tx[1] = kFrameHead1;
        tx[2] = kCmdWriteData;
        tx[3] = static_cast<uint8_t>(range.bytes);
        if (!single) {
            std::memcpy(tx + kFrameHeader, transfer->values, static_cast<size_t>(range.bytes));
        } else {
            tx[4] = static_cast<uint8_t>(value & 0xFF); // low-order byte first
            if (range.bytes == 2) {
                tx[5] = static_cast<uint8_t>(value >> 8);
            }
        }
        if (Send(tx, range.bytes + kFrameHeader, port) != HUX_OK) {
            err(HUX_LOG_INFO, "HUXDR> DoWrite() error sending write data, retry %d '%s'", attempt, address);
            continue;
        }
        expected = 0;
        if (Receive(rx, &expected, port) != HUX_OK) {
            missed = true;
            err(HUX_LOG_INFO, "HUXDR> DoWrite() error receiving confirmation, retry %d '%s'", attempt,
                address);
            continue;
        }
        const uint8_t confirmation = rx[0];
        if (confirmation != kAck) {
            err(HUX_LOG_INFO, "HUXDR> DoWrite() write not succeeded retry %d, nack code %d, '%s'", attempt,
                static_cast<int>(confirmation), address);
            continue;
        }
        result = HUX_OK;
        break;
    }
    if (missed) {
        SettleInput(port, rx);
    }
    return result;
}

int32_t SingleWrite(DriverRequest *request) {
    const int32_t result = DoWrite(request, kOpSingleWrite);
    if (result != HUX_OK) {
        err(HUX_LOG_INFO, "HUXDR> SingleWrite() , ret val is %d", result);
    }
    return result;
}

int32_t BlockWrite(DriverRequest *request) {
    const int32_t result = DoWrite(request, kOpBlockWrite);
    if (result != HUX_OK) {
        err(HUX_LOG_INFO, "HUXDR> BlockWrite() , ret val is %d", result);
    }
    return result;
}
