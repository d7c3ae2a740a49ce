// Gate address parser.
#include "driver/gates/parse.h"

#include <cstring>

#include "driver/host/log.h"
#include "driver/host/ops.h"

namespace {

// The characters allowed at each position of an address text.
constexpr const char *kPositionSets[9] = {
    "M", "BW", "0123456789", "0123456789", "0123456789", "0123456789", "0123456789", ".", "01234567",
};

constexpr int32_t kAreaByte = 'B';
constexpr int32_t kAreaWord = 'W';

bool InSet(char c, const char *set) {
    // A NUL is in no set (strchr would find the terminator).
    return c != '\0' && std::strchr(set, c) != nullptr;
}

} // namespace

int32_t Parse(GateDef *def) {
    const char *text = def->address;
    const size_t length = std::strlen(text);
    if (length != 7 && length != 9) {
        err(HUX_LOG_INFO, "HUXDR> Parse() wrong length address string '%s'", text);
        return HUX_REFUSED;
    }
    for (size_t i = 0; i < length; ++i) {
        if (!InSet(text[i], kPositionSets[i])) {
            err(HUX_LOG_INFO, "HUXDR> Parse() Illegal character %d in '%s'", static_cast<int>(i), text);
            return HUX_REFUSED;
        }
    }

    GateAddr *addr = &def->gateAddr;
    addr->reserved = 0;
    addr->area = text[1];
    addr->width = text[1] == 'W' ? 16 : 8;
    addr->bit = -1;

    int32_t n = 0;
    for (size_t i = 2; i <= 6; ++i) {
        n = n * 10 + (text[i] - '0');
    }
    if (addr->area == kAreaWord && (n % 2) != 0) {
        err(HUX_LOG_INFO, "HUXDR> Parse() word gate sould have even address '%s'", text);
        return HUX_REFUSED;
    }
    addr->index = addr->area == kAreaByte ? n : n / 2;
    if (length == 9) {
        addr->bit = text[8] - '0';
    }
    return HUX_OK;
}

int32_t SingleAddressParser(DriverRequest *request) {
    auto *def = static_cast<GateDef *>(request->data);
    const int32_t result = Parse(def);
    if (result != HUX_OK) {
        return result;
    }
    const int32_t type = def->gateType;
    if (def->gateAddr.bit == -1) {
        if (type == 0 || type == 1 || type == 2 || type == 4 || type == 5) {
            return HUX_OK;
        }
        err(HUX_LOG_INFO, "HUXDR> SingleParse() Gate type should be analog 16-bit");
        return HUX_REFUSED;
    }
    if (type == 6) {
        return HUX_OK;
    }
    err(HUX_LOG_INFO, "HUXDR> SingleParse() Gate type should be DIGITAL");
    return HUX_REFUSED;
}

int32_t BlockAddressParser(DriverRequest *request) {
    auto *def = static_cast<GateDef *>(request->data);
    const int32_t result = Parse(def);
    if (result != HUX_OK) {
        return result;
    }
    if (def->gateAddr.bit != -1) {
        err(HUX_LOG_INFO, "HUXDR> BlockParse() digital gates not allowed as block");
        return HUX_REFUSED;
    }
    const int32_t limit = def->gateAddr.area == kAreaByte ? HUX_MAX_BLOCK_BYTES : HUX_MAX_BLOCK_BYTES / 2;
    if (def->blockSize > limit) {
        err(HUX_LOG_INFO, "HUXDR> BlockParse() block size should be <= 64 bytes");
        return HUX_REFUSED;
    }
    return HUX_OK;
}
