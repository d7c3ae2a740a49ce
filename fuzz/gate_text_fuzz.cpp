// Gate texts, gate types and block sizes through HuxMain operations 3 and 4.
// Invariants: results only 0 or 1; an accepted gate is one the transfers can
// rely on; a refused text for its length or a character leaves GateAddr as
// it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/host/huxdrvr.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) {
        return 0;
    }
    // 4 bytes gate type, 4 bytes block size, 1 byte operation selector, then the text.
    int32_t gateType;
    int32_t blockSize;
    std::memcpy(&gateType, data, 4);
    std::memcpy(&blockSize, data + 4, 4);
    const uint32_t op = (data[8] & 1) ? HUX_OP_BLOCK_PARSE : HUX_OP_SINGLE_PARSE;
    const size_t textSize = size - 9;
    char *text = static_cast<char *>(std::malloc(textSize + 1)); // exact size: ASan sees any overread
    std::memcpy(text, data + 9, textSize);
    text[textSize] = '\0';

    GateDef def{};
    def.address = text;
    def.gateType = gateType;
    def.blockSize = blockSize;
    def.gateAddr = GateAddr{-7, -7, -7, -7, -7};
    DriverRequest request{};
    request.op = op;
    request.data = &def;
    const int32_t result = HuxMain(&request);

    Check(result == 0 || result == 1);
    const GateAddr &a = def.gateAddr;
    const size_t length = std::strlen(text);
    if (result == 0) {
        Check(length == 7 || length == 9);
        Check(a.reserved == 0);
        Check((a.area == 'B' && a.width == 8 && a.index >= 0 && a.index <= 99999) ||
              (a.area == 'W' && a.width == 16 && a.index >= 0 && a.index <= 49999));
        Check(a.bit == -1 || (a.bit >= 0 && a.bit <= 7));
        if (op == HUX_OP_BLOCK_PARSE) {
            Check(a.bit == -1);
            Check(blockSize <= (a.area == 'B' ? 64 : 32));
        } else {
            Check(a.bit == -1
                      ? (gateType == 0 || gateType == 1 || gateType == 2 || gateType == 4 || gateType == 5)
                      : gateType == 6);
        }
    } else if (length != 7 && length != 9) {
        Check(a.reserved == -7 && a.area == -7 && a.index == -7 && a.bit == -7 && a.width == -7);
    }
    std::free(text);
    return 0;
}
