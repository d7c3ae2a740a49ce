// Everything a controller can send, through HuxMain and the fake device:
// arbitrary answers, well-formed answers with corrupted bytes, cuts at any
// point, answers in pieces with silences between them, NACK codes, lost
// answers and failing serial calls, for marker area discovery, single and
// block reads, single, bit and block writes on random gates.
//
// Invariants checked after every operation:
// - no crash and no sanitizer report (the context is an exact 0x87-byte heap
//   block, the value buffer an exact-size heap block);
// - the result is 0, 1 or 2;
// - the host's buffer changes only on success, and a successful read holds
//   exactly the data of a complete reply whose byte count and LRC checked;
// - after a single write the single-value word, and after every transfer the
//   gate address, hold what the host gave;
// - every frame the driver wrote is a well-formed request or data frame for
//   the gate's own range, inside the marker area (discovery's two reads
//   apart); a data frame follows only a permission byte 0x06 for the same
//   range and carries the host's data (a bit write: the byte or word read,
//   with only that bit changed);
// - at most six attempts per transaction, and nothing after a refusal.
//
// Input layout (bytes read from the front; an exhausted input reads as 0s,
// which the controller takes as "no answer"):
//   setup:   flags (bit 0: override the marker bounds; bits 1-3: serial
//            fault 0 none, 1 WriteFile fails, 2 short write, 3 ReadFile
//            fails, 4 ClearCommError fails), [fault skip], [markerStart u16
//            BE, markerEnd u16 BE], operation count - 1 (low 2 bits)
//   per op:  kind (bits 0-1: single read, block read, single write, block
//            write; bit 2: word gate; bit 3: bit gate; bits 4-6: bit number;
//            bit 7: index over the full range), index (1 byte, or 2 BE),
//            count (signed byte), valueKind, value (2 bytes BE) or block data
//   answer:  read by the controller for every frame written, see Answer().
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"
#include "tests/fake/fake_device.h"

namespace {

using fake::Bytes;

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void Check(bool condition, const char *what) {
    if (!condition) {
        Fail(what);
    }
}

// Reads the fuzz input from the front; past its end every byte is 0.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() {
        const uint16_t high = U8();
        return static_cast<uint16_t>((high << 8) | U8());
    }
    Bytes Take(size_t n) {
        Bytes out;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(U8());
        }
        return out;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

uint8_t Lrc(const uint8_t *bytes, size_t n) {
    uint8_t lrc = 0;
    for (size_t i = 1; i < n; ++i) {
        lrc ^= bytes[i];
    }
    return lrc;
}

// The controller's answer to one frame, built from the input:
//   kind byte: bits 0-2 what is sent: 0 nothing; 1 the right answer; 2 the
//   right answer with one byte XORed; 3 the right answer with the same XOR
//   on two bytes (passes the LRC when both are covered by it); 4 raw bytes;
//   5 one refusal byte; 6 the right answer cut short; 7 the right answer
//   followed by more bytes. Bits 3-4 how it arrives: 0 at once; 1 in two
//   pieces; 2 in two pieces with a silence between them; 3 the first piece
//   only, the rest arriving after the next read has given up.
void Answer(Reader &in, fake::Device &dev, const Bytes &frame) {
    const uint8_t kind = in.U8();
    const int what = kind & 7;
    Bytes right;
    if (what == 0 || what == 4 || what == 5) {
        // no right answer needed
    } else if (frame.size() == 8 && frame[2] == 0x82) {
        const int first = (frame[3] << 8) | frame[4];
        const int last = (frame[5] << 8) | frame[6];
        const int k = last - first + 1;
        const size_t n = k > 0 && k <= 64 ? static_cast<size_t>(k) : 0;
        right = {0x0C, 0x07, 0x14, static_cast<uint8_t>(k)};
        const Bytes data = in.Take(n);
        right.insert(right.end(), data.begin(), data.end());
        right.push_back(Lrc(right.data(), right.size()));
    } else {
        right = {0x06};
    }

    Bytes out;
    switch (what) {
    case 0:
        break;
    case 1:
        out = right;
        break;
    case 2: {
        out = right;
        const uint8_t at = in.U8();
        out[at % out.size()] ^= static_cast<uint8_t>(in.U8() | 1);
        break;
    }
    case 3: {
        out = right;
        const uint8_t a = in.U8();
        const uint8_t b = in.U8();
        const uint8_t x = static_cast<uint8_t>(in.U8() | 1);
        out[a % out.size()] ^= x;
        out[b % out.size()] ^= x;
        break;
    }
    case 4:
        out = in.Take(in.U8() % 80);
        break;
    case 5:
        out = {in.U8()};
        break;
    case 6:
        out = right;
        out.resize(in.U8() % out.size());
        break;
    default: {
        out = right;
        const Bytes more = in.Take(in.U8() % 8 + 1);
        out.insert(out.end(), more.begin(), more.end());
        break;
    }
    }
    if (out.empty()) {
        return;
    }
    const int arrival = (kind >> 3) & 3;
    if (arrival == 0 || out.size() == 1) {
        dev.Queue(out);
        return;
    }
    const size_t cut = 1 + in.U8() % (out.size() - 1);
    const Bytes head(out.begin(), out.begin() + static_cast<long>(cut));
    const Bytes tail(out.begin() + static_cast<long>(cut), out.end());
    switch (arrival) {
    case 1:
        dev.Queue(head);
        dev.Queue(tail);
        break;
    case 2:
        dev.Queue(head);
        dev.Queue(Bytes{});
        dev.Queue(tail);
        break;
    default:
        dev.Queue(head);
        dev.Queue(Bytes{});
        dev.Queue(Bytes{});
        dev.Queue(tail);
        break;
    }
}

// One frame written and the bytes read in reply before the next write.
struct Exchange {
    Bytes frame;
    bool whole = true; // the write took every byte offered
    Bytes reply;
};

// How many bytes answer a frame: a read reply for a read request, one byte
// for a write request or a data frame.
size_t AnswerSize(const Bytes &frame) {
    if (frame.size() == 8 && frame[2] == 0x82) {
        return static_cast<size_t>(((frame[5] << 8) | frame[6]) - ((frame[3] << 8) | frame[4]) + 1) + 5;
    }
    return 1;
}

// The reads of a drain (after ClearCommError) belong to no reply, nor does
// what is read past an answer (a transaction that missed an answer reads its
// line until it is quiet before it returns).
std::vector<Exchange> Exchanges() {
    std::vector<Exchange> out;
    bool draining = false;
    for (const fake::Call &call : fake::Calls()) {
        if (call.fn == fake::Fn::WriteFile && call.ok) {
            out.push_back(Exchange{call.bytes, call.bytes.size() == call.requested, {}});
            draining = false;
        } else if (call.fn == fake::Fn::ClearCommError) {
            draining = true;
        } else if (call.fn == fake::Fn::ReadFile && call.ok && !out.empty() && !draining) {
            out.back().reply.insert(out.back().reply.end(), call.bytes.begin(), call.bytes.end());
        }
    }
    for (Exchange &exchange : out) {
        if (exchange.reply.size() > AnswerSize(exchange.frame)) {
            exchange.reply.resize(AnswerSize(exchange.frame));
        }
    }
    return out;
}

struct Span {
    int64_t first = 0;
    int64_t last = -1;
    int64_t Size() const { return last - first + 1; }
};

Span FrameRange(const Bytes &frame) {
    return Span{(frame[3] << 8) | frame[4], (frame[5] << 8) | frame[6]};
}

bool IsRequest(const Bytes &frame, uint8_t command) {
    return frame.size() == 8 && frame[0] == 0x0C && frame[1] == 0x07 && frame[2] == command;
}

bool IsDiscovery(const Bytes &frame, int which) {
    const Span want = which == 0 ? Span{0x40, 0x41} : Span{0x4A, 0x4B};
    if (!IsRequest(frame, 0x82)) {
        return false;
    }
    const Span got = FrameRange(frame);
    return got.first == want.first && got.last == want.last;
}

enum OpKind { kSingleRead, kBlockRead, kSingleWrite, kBlockWrite };

struct Op {
    OpKind kind = kSingleRead;
    GateAddr gate{};
    int32_t count = 0;
    int32_t valueKind = 0;
};

// The value a single read of `reply` delivers, as the host sees it.
uint16_t SingleValue(const Op &op, const Bytes &reply) {
    uint16_t value = 0;
    if (op.gate.width == 16) {
        value = static_cast<uint16_t>(reply[4] | (reply[5] << 8));
    } else if (op.valueKind == 1) {
        value = static_cast<uint16_t>(static_cast<int8_t>(reply[4]));
    } else {
        value = reply[4];
    }
    return value;
}

// Checks that a reply is a complete read reply for `bytes` data bytes.
void CheckGoodReply(const Bytes &reply, int64_t bytes) {
    Check(static_cast<int64_t>(reply.size()) == bytes + 5, "success on a reply of the wrong length");
    Check(reply[3] == bytes, "success on a reply with the wrong byte count");
    Check(Lrc(reply.data(), reply.size() - 1) == reply.back(), "success on a reply with a wrong LRC");
}

void RunOp(Reader &in, ComContext *context) {
    Op op;
    const uint8_t kind = in.U8();
    op.kind = static_cast<OpKind>(kind & 3);
    const bool word = (kind & 4) != 0;
    const bool single = op.kind == kSingleRead || op.kind == kSingleWrite;
    op.gate.area = word ? 'W' : 'B';
    op.gate.width = word ? 16 : 8;
    op.gate.bit = (single && (kind & 8)) ? (kind >> 4) & 7 : -1;
    const int32_t maxIndex = word ? 49999 : 99999;
    op.gate.index = (kind & 0x80) ? in.U16() * 2 % (maxIndex + 1) : in.U8() % 64;
    op.count = static_cast<int8_t>(in.U8());
    op.valueKind = in.U8() % 3;

    // The host's buffer, exactly as large as the operation may use.
    const int64_t elementBytes = word ? 2 : 1;
    const int64_t blockBytes = op.count > 0 ? op.count * elementBytes : 0;
    const size_t size = single ? 4 : static_cast<size_t>(blockBytes);
    auto *values = static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : size));
    const Bytes initial = in.Take(single ? 4 : size);
    if (size != 0) {
        std::memcpy(values, initial.data(), size);
    }

    GateTransfer transfer{};
    transfer.address = "MB00000";
    transfer.gateAddr = op.gate;
    transfer.valueKind = op.valueKind;
    transfer.count = op.count;
    transfer.values = values;
    DriverRequest request{};
    request.context = context;
    request.data = &transfer;
    static constexpr uint32_t kOps[] = {HUX_OP_SINGLE_READ, HUX_OP_BLOCK_READ, HUX_OP_SINGLE_WRITE,
                                        HUX_OP_BLOCK_WRITE};
    request.op = kOps[op.kind];

    const bool discoveryDue = context->markerEnd == 0;
    const uint16_t flags = context->portParams.flags;
    const int32_t timeout = context->timeout;
    fake::ClearCalls();
    const int32_t result = HuxMain(&request);

    Check(result == HUX_OK || result == HUX_REFUSED || result == HUX_FAILED, "result not 0, 1 or 2");
    static const bool trace = std::getenv("HUX_FUZZ_TRACE") != nullptr;
    if (trace) {
        std::fprintf(stderr, "op %u %c index %d bit %d count %d -> %d, %zu frames\n", request.op,
                     static_cast<char>(op.gate.area), op.gate.index, op.gate.bit, op.count, result,
                     Exchanges().size());
        for (const Exchange &ex : Exchanges()) {
            std::fprintf(stderr, "  >");
            for (uint8_t b : ex.frame) {
                std::fprintf(stderr, " %02X", b);
            }
            std::fprintf(stderr, "\n  <");
            for (uint8_t b : ex.reply) {
                std::fprintf(stderr, " %02X", b);
            }
            std::fprintf(stderr, "\n");
        }
    }
    Check(ended == 0, "ended set by a transfer");
    Check(context->portParams.flags == flags && context->timeout == timeout, "context fields changed");
    Check(std::memcmp(&transfer.gateAddr, &op.gate, sizeof op.gate) == 0, "gate address changed");
    Check(transfer.valueKind == op.valueKind && transfer.address != nullptr, "transfer record changed");
    Check(transfer.count == op.count || (single && transfer.count == 1), "count changed");

    // The frames on the line.
    std::vector<Exchange> exchanges = Exchanges();
    // Discovery runs while the marker area is not known: before the
    // transfer, and again before the read half of a bit write when the
    // controller's bounds gave a markerEnd of 0. Its frames are skipped.
    std::vector<bool> discovery(exchanges.size(), false);
    bool due = discoveryDue;
    size_t transferFrames = 0;
    for (size_t i = 0; i < exchanges.size(); ++i) {
        if (due && IsDiscovery(exchanges[i].frame, 0)) {
            discovery[i] = true;
            if (i + 1 < exchanges.size() && IsDiscovery(exchanges[i + 1].frame, 1)) {
                discovery[++i] = true;
                const Bytes &r = exchanges[i].reply;
                if (r.size() == 7 && Lrc(r.data(), 6) == r[6] && ((r[4] << 8) | r[5]) != 2) {
                    due = false;
                }
            }
        } else {
            ++transferFrames;
        }
    }
    const int64_t offset = word ? int64_t{op.gate.index} * 2 : op.gate.index;
    const int64_t bytes = single ? elementBytes : blockBytes;
    const Span gate{context->markerStart + offset, context->markerStart + offset + bytes - 1};
    int readRequests = 0;
    int writeRequests = 0;
    const Exchange *lastRead = nullptr; // the last read request with its reply
    for (size_t i = 0; i < exchanges.size(); ++i) {
        const Exchange &ex = exchanges[i];
        if (discovery[i] || !ex.whole) {
            continue; // a short write: only the bytes the fake took are recorded
        }
        const Bytes &f = ex.frame;
        Check(f.size() >= 5 && f[0] == 0x0C && f[1] == 0x07, "frame without its header");
        Check(Lrc(f.data(), f.size() - 1) == f.back(), "frame with a wrong LRC");
        if (f[2] == 0x82 || f[2] == 0x83) {
            Check(f.size() == 8, "range request of the wrong length");
            const Span r = FrameRange(f);
            Check(r.first >= context->markerStart && r.last <= context->markerEnd && r.first <= r.last,
                  "range request outside the marker area");
            Check(r.first == gate.first && r.last == gate.last, "range request for another range");
            if (f[2] == 0x82) {
                Check(op.kind != kBlockWrite && (op.kind != kSingleWrite || op.gate.bit != -1),
                      "read request in a write");
                Check(writeRequests == 0, "read request after the write began");
                ++readRequests;
                lastRead = &ex;
            } else {
                Check(op.kind == kSingleWrite || op.kind == kBlockWrite, "write request in a read");
                ++writeRequests;
            }
        } else {
            Check(f[2] == 0x14, "unknown command sent");
            Check(i > 0 && IsRequest(exchanges[i - 1].frame, 0x83), "data frame without a write request");
            const Exchange &ask = exchanges[i - 1];
            Check(ask.reply.size() == 1 && ask.reply[0] == 0x06, "data frame without permission");
            const Span r = FrameRange(ask.frame);
            Check(f[3] == r.Size() && static_cast<int64_t>(f.size()) == r.Size() + 5,
                  "data frame of the wrong size");
        }
    }
    Check(readRequests <= 6 && writeRequests <= 6, "more than six attempts");
    if (result == HUX_REFUSED) {
        Check(transferFrames == 0, "frames sent for a refused transfer");
    }

    // The host's buffer.
    const bool read = op.kind == kSingleRead || op.kind == kBlockRead;
    if (read && result == HUX_OK) {
        Check(lastRead != nullptr && lastRead == &exchanges.back(), "read success without its exchange");
        const Bytes &reply = lastRead->reply;
        CheckGoodReply(reply, bytes);
        if (op.kind == kBlockRead) {
            Check(std::memcmp(values, reply.data() + 4, size) == 0, "block read delivered other data");
        } else {
            uint16_t value = SingleValue(op, reply);
            if (op.gate.bit != -1) {
                value = (value >> op.gate.bit) & 1;
            }
            Check(values[0] == initial[0] && values[1] == initial[1], "single read wrote bytes 0 and 1");
            Check((values[2] | (values[3] << 8)) == value, "single read delivered another value");
        }
    } else {
        Check(size == 0 || std::memcmp(values, initial.data(), size) == 0,
              "host's buffer changed without a successful read");
    }

    // The data written.
    if (!read && result == HUX_OK) {
        const Exchange &last = exchanges.back();
        Check(last.frame.size() >= 5 && last.frame[2] == 0x14, "write success without a data frame");
        Check(last.reply.size() == 1 && last.reply[0] == 0x06, "write success without confirmation");
        const uint8_t *data = last.frame.data() + 4;
        if (op.kind == kBlockWrite) {
            Check(std::memcmp(data, initial.data(), size) == 0, "block write sent other data");
        } else {
            const uint16_t requested = static_cast<uint16_t>(initial[2] | (initial[3] << 8));
            uint16_t want = requested;
            if (op.gate.bit != -1) {
                Check(lastRead != nullptr, "bit write without its read half");
                CheckGoodReply(lastRead->reply, bytes);
                const uint16_t mask = static_cast<uint16_t>(1u << op.gate.bit);
                const uint16_t before = SingleValue(op, lastRead->reply);
                want = requested != 0 ? (before | mask) : (before & ~mask);
            }
            Check(data[0] == (want & 0xFF), "single write sent another low byte");
            Check(bytes == 1 || data[1] == (want >> 8), "single write sent another high byte");
        }
    }
    std::free(values);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in(data, size);
    fake::Reset();
    fake::Device &dev = fake::AddDevice("COM1");
    dev.onWrite = [&in](fake::Device &d, const Bytes &frame) { Answer(in, d, frame); };
    ended = 0;

    // The context: exactly the 0x87 bytes the driver may use (malloc aligns
    // it for the record's 4-byte members).
    auto *raw = static_cast<uint8_t *>(std::malloc(0x87));
    std::memset(raw, 0xA5, 0x87);
    auto *context = reinterpret_cast<ComContext *>(raw);
    context->port = 0;
    context->portParams.flags = 0x0303;

    const uint8_t setup = in.U8();
    const bool override = (setup & 1) != 0;
    const int fault = (setup >> 1) & 7;
    const int skip = fault != 0 ? in.U8() % 16 : 0;
    const uint16_t start = override ? in.U16() : 0;
    const uint16_t end = override ? in.U16() : 0;
    const int ops = 1 + (in.U8() & 3);

    StartParams params{};
    std::strcpy(params.name, "COM1");
    params.enabled = 1;
    params.timeout = 5;
    params.settings = LineSettings{9600, 8, 0, 0};
    DriverRequest cold{};
    cold.context = context;
    cold.op = HUX_OP_COLD_START;
    cold.data = &params;
    Check(HuxMain(&cold) == HUX_OK, "cold start failed on an existing device");
    Check(context->port != 0, "cold start left no port");
    static const bool trace = std::getenv("HUX_FUZZ_TRACE") != nullptr;
    if (trace) {
        std::fprintf(stderr, "cold start: marker area %04x..%04x\n", context->markerStart,
                     context->markerEnd);
    }
    if (override) {
        context->markerStart = start;
        context->markerEnd = end;
    }

    switch (fault) {
    case 1:
        fake::FailCall(fake::Fn::WriteFile, skip);
        break;
    case 2:
        fake::ShortWrite(static_cast<DWORD>(skip));
        break;
    case 3:
        fake::FailCall(fake::Fn::ReadFile, skip);
        break;
    case 4:
        fake::FailCall(fake::Fn::ClearCommError, skip);
        break;
    default:
        break;
    }

    for (int i = 0; i < ops; ++i) {
        RunOp(in, context);
    }
    std::free(raw);
    return 0;
}
