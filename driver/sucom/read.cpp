// Reading: single values and blocks of marker memory.
#include <cstring>

#include "driver/host/log.h"
#include "driver/host/ops.h"
#include "driver/serial/serial.h"
#include "driver/sucom/engine.h"
#include "driver/sucom/frame.h"

namespace {

constexpr int32_t kAttempts = 6;
constexpr int32_t kAreaWord = 'W';

} // namespace

bool BlockCountValid(const GateTransfer *transfer) {
    const int32_t limit =
        transfer->gateAddr.area == kAreaWord ? HUX_MAX_BLOCK_BYTES / 2 : HUX_MAX_BLOCK_BYTES;
    return transfer->count > 0 && transfer->count <= limit;
}

bool GateRangeOf(const ComContext *context, const GateTransfer *transfer, bool single, GateRange *range) {
    const bool word = transfer->gateAddr.area == kAreaWord;
    // In full width: a range past 0xFFFF must not wrap to a low address.
    const int64_t index = transfer->gateAddr.index;
    const int64_t offset = word ? index * 2 : index;
    const int64_t elements = single ? 1 : transfer->count;
    const int64_t bytes = word ? elements * 2 : elements;
    const int64_t first = static_cast<int64_t>(context->markerStart) + offset;
    const int64_t last = first + bytes - 1;
    if (offset < 0 || last > static_cast<int64_t>(context->markerEnd)) {
        return false;
    }
    range->first = static_cast<uint16_t>(first);
    range->last = static_cast<uint16_t>(last);
    range->bytes = static_cast<int32_t>(bytes);
    return true;
}

int32_t StoreData(GateTransfer *transfer, const uint8_t *reply, int32_t op) {
    const GateAddr &gate = transfer->gateAddr;
    const int32_t expected = gate.area == kAreaWord ? transfer->count * 2 : transfer->count;
    if (reply[3] != expected) {
        err(HUX_LOG_INFO, "HUXDR> StoreData() invalid data size '%s'", transfer->address);
        return HUX_REFUSED;
    }
    if (op != kOpSingleRead) {
        std::memcpy(transfer->values, reply + kFrameHeader, static_cast<size_t>(expected));
        return HUX_OK;
    }
    uint16_t value = 0;
    if (gate.width == 16) {
        // The byte at the lower controller address is the low-order byte.
        value = static_cast<uint16_t>(reply[4] | (reply[5] << 8));
    } else if (transfer->valueKind == 1) {
        value = static_cast<uint16_t>(static_cast<int8_t>(reply[4])); // signed byte
    } else {
        value = reply[4];
    }
    if (gate.bit != -1) {
        value = (gate.bit >= 0 && gate.bit < 16) ? static_cast<uint16_t>((value >> gate.bit) & 1) : 0;
    }
    StoreSingleValue(transfer, value);
    return HUX_OK;
}

int32_t DoRead(DriverRequest *request, int32_t op) {
    ComContext *context = request->context;
    auto *transfer = static_cast<GateTransfer *>(request->data);
    const bool single = op == kOpSingleRead;

    if (context->port == 0) {
        return HUX_REFUSED;
    }
    // A block longer than the frame areas can carry, or empty, is refused
    // before anything goes on the line.
    if (!single && !BlockCountValid(transfer)) {
        err(HUX_LOG_INFO, "HUXDR> DoRead() invalid block size '%s'", transfer->address);
        return HUX_REFUSED;
    }
    if (context->markerEnd == 0) {
        DrainInput(context->port);
        if (ReadAddressOffset(context) != HUX_OK) {
            err(HUX_LOG_INFO, "HUXDR> DoRead() reading start addr from PLC failed");
            return HUX_FAILED;
        }
    }
    if (single) {
        transfer->count = 1;
    }
    GateRange range{};
    if (!GateRangeOf(context, transfer, single, &range)) {
        err(HUX_LOG_INFO, "HUXDR> DoRead() read out of marker address space '%s'", transfer->address);
        return HUX_REFUSED;
    }

    const uint32_t port = context->port;
    uint8_t *tx = TxFrame(context);
    uint8_t *rx = RxFrame(context);
    bool missed = false; // an answer came short or not at all
    int32_t result = HUX_FAILED;
    for (int32_t attempt = 1; attempt <= kAttempts; ++attempt) {
        DrainInput(port);
        BuildRangeRequest(tx, kCmdRead, range.first, range.last);
        if (Send(tx, kRangeRequestLength, port) != HUX_OK) {
            err(HUX_LOG_INFO, "HUXDR> DoRead() error sending data, retry %d '%s'", attempt,
                transfer->address);
            continue;
        }
        int32_t expected = range.bytes + kFrameHeader;
        const int32_t received = Receive(rx, &expected, port);
        if (received != HUX_OK) {
            missed = missed || received == HUX_FAILED;
            err(HUX_LOG_INFO, "HUXDR> DoRead() error receiving data, retry %d '%s'", attempt,
                transfer->address);
            continue;
        }
        if (StoreData(transfer, rx, op) == HUX_OK) {
            result = HUX_OK;
            break;
        }
    }
    if (missed) {
        SettleInput(port, rx);
    }
    return result;
}

int32_t SingleRead(DriverRequest *request) {
    const int32_t result = DoRead(request, kOpSingleRead);
    if (result != HUX_OK) {
        err(HUX_LOG_INFO, "HUXDR> SingleRead() , ret val is %d", result);
    }
    return result;
}

int32_t BlockRead(DriverRequest *request) {
    const int32_t result = DoRead(request, kOpBlockRead);
    if (result != HUX_OK) {
        err(HUX_LOG_INFO, "HUXDR> BlockRead(), ret val is %d", result);
    }
    return result;
}
