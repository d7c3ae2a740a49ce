#include "bench/scenarios.h"

#include <cstring>

namespace bench {

namespace {

constexpr uint8_t kRead = 0x82;
constexpr uint8_t kPermit = 0x83;
constexpr uint8_t kData = 0x14;

std::vector<uint8_t> RangeRequest(uint8_t command, uint16_t first, uint16_t last) {
    std::vector<uint8_t> frame = {0x0C,
                                  0x07,
                                  command,
                                  static_cast<uint8_t>(first >> 8),
                                  static_cast<uint8_t>(first & 0xFF),
                                  static_cast<uint8_t>(last >> 8),
                                  static_cast<uint8_t>(last & 0xFF),
                                  0};
    frame[7] = Lrc(frame.data(), 7);
    return frame;
}

std::vector<uint8_t> DataFrame(int bytes) {
    std::vector<uint8_t> frame(static_cast<size_t>(bytes) + 5, 0);
    frame[0] = 0x0C;
    frame[1] = 0x07;
    frame[2] = kData;
    frame[3] = static_cast<uint8_t>(bytes);
    for (int i = 0; i < bytes; ++i) {
        frame[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + 1);
    }
    frame[4 + static_cast<size_t>(bytes)] = Lrc(frame.data(), bytes + 4);
    return frame;
}

struct Shape {
    uint16_t first;
    int bytes;
    bool write;
    bool readFirst; // a bit write reads the byte before it writes it
};

Shape ShapeOf(const Scenario &s) {
    // The texts of the table are all well formed: MBnnnnn, MWnnnnn, MBnnnnn.b.
    const bool word = s.address[1] == 'W';
    int offset = 0;
    for (int i = 2; i < 7; ++i) {
        offset = offset * 10 + (s.address[i] - '0');
    }
    const int elements = s.op == HUX_OP_BLOCK_READ || s.op == HUX_OP_BLOCK_WRITE ? s.count : 1;
    Shape shape{};
    shape.first = static_cast<uint16_t>(kMarkerStart + offset);
    shape.bytes = word ? elements * 2 : elements;
    shape.write = s.op == HUX_OP_SINGLE_WRITE || s.op == HUX_OP_BLOCK_WRITE;
    shape.readFirst = s.op == HUX_OP_SINGLE_WRITE && std::strlen(s.address) == 9;
    return shape;
}

} // namespace

uint8_t Lrc(const uint8_t *bytes, int n) {
    uint8_t lrc = 0;
    for (int i = 1; i < n; ++i) {
        lrc ^= bytes[i];
    }
    return lrc;
}

const std::vector<Scenario> &Scenarios() {
    static const std::vector<Scenario> table = {
        {"byte_read", "single byte read", "MB00012", HUX_OP_SINGLE_READ, 0, 1},
        {"word_write", "single word write", "MW00040", HUX_OP_SINGLE_WRITE, 0, 1},
        {"bit_write", "bit write (read-modify-write)", "MB00012.3", HUX_OP_SINGLE_WRITE, 6, 1},
        {"block_read_64", "64-byte block read", "MB00100", HUX_OP_BLOCK_READ, 0, 64},
        {"block_write_64", "64-byte block write", "MB00200", HUX_OP_BLOCK_WRITE, 0, 64},
    };
    return table;
}

const Scenario *FindScenario(const char *name) {
    for (const Scenario &s : Scenarios()) {
        if (std::strcmp(s.name, name) == 0) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<Exchange> ExchangesOf(const Scenario &scenario) {
    const Shape shape = ShapeOf(scenario);
    const uint16_t last = static_cast<uint16_t>(shape.first + shape.bytes - 1);
    std::vector<Exchange> exchanges;
    if (!shape.write || shape.readFirst) {
        exchanges.push_back({RangeRequest(kRead, shape.first, last), shape.bytes + 5});
    }
    if (shape.write) {
        exchanges.push_back({RangeRequest(kPermit, shape.first, last), 1});
        exchanges.push_back({DataFrame(shape.bytes), 1});
    }
    return exchanges;
}

int WireBytes(const Scenario &scenario) {
    int total = 0;
    for (const Exchange &e : ExchangesOf(scenario)) {
        total += static_cast<int>(e.request.size()) + e.replyBytes;
    }
    return total;
}

} // namespace bench
