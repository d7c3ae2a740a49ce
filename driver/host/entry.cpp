// HuxMain: the driver's one entry point, and its table of operations.
#define HUXDRVR_BUILDING
#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"

int32_t ended = 0;

namespace {

constexpr Handler kOperations[HUX_OP_COUNT] = {
    nullptr,             // 0
    ColdStart,           // 1
    WarmStart,           // 2
    SingleAddressParser, // 3
    BlockAddressParser,  // 4
    SingleRead,          // 5
    BlockRead,           // 6
    SingleWrite,         // 7
    nullptr,             // 8
    nullptr,             // 9
    BlockWrite,          // 10
    EndHux,              // 11
    CloseCom,            // 12
    ReOpenCom,           // 13
    GetHuxInfo,          // 14
    ChangeHuxParams,     // 15
    nullptr,             // 16
};

} // namespace

#if defined(_WIN32)
extern "C" __declspec(dllexport) int32_t __stdcall HuxMain(DriverRequest *request)
#else
extern "C" __attribute__((visibility("default"))) int32_t HuxMain(DriverRequest *request)
#endif
{
    if (ended == 1) {
        return HUX_OK;
    }
    const uint32_t op = request->op;
    if (op >= HUX_OP_COUNT || kOperations[op] == nullptr) {
        return HUX_FAILED;
    }
    return kOperations[op](request);
}
