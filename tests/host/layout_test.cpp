// Record layouts as a host sees them. The exact offsets are asserted at
// compile time in the header; here the C and C++ views are compared and the
// frame areas checked against the context's used size.
#include <gtest/gtest.h>

#include "driver/host/huxdrvr.h"

extern "C" size_t hux_c_sizeof_context(void);
extern "C" size_t hux_c_sizeof_transfer(void);
extern "C" size_t hux_c_offsetof_values(void);
extern "C" size_t hux_c_sizeof_request(void);

TEST(Layout, CAndCppAgree) {
    EXPECT_EQ(hux_c_sizeof_context(), sizeof(ComContext));
    EXPECT_EQ(hux_c_sizeof_transfer(), sizeof(GateTransfer));
    EXPECT_EQ(hux_c_offsetof_values(), offsetof(GateTransfer, values));
    EXPECT_EQ(hux_c_sizeof_request(), sizeof(DriverRequest));
}

TEST(Layout, FrameAreasEndAtTheUsedSize) {
    // The longest frame starts at txFrame and must end exactly where the
    // driver's part of the context ends (0x86 inclusive).
    EXPECT_EQ(offsetof(ComContext, txFrame) + 32, offsetof(ComContext, rxFrame));
    EXPECT_EQ(offsetof(ComContext, txFrame) + HUX_MAX_FRAME + 32, 0x87u);
    EXPECT_EQ(offsetof(ComContext, rxFrame) + HUX_MAX_FRAME, 0x87u);
}

TEST(Layout, PointerFreeRecordsAreTheSameOnEveryTarget) {
    EXPECT_EQ(sizeof(ComContext), 136u); // 135 used, padded to 4
    EXPECT_EQ(sizeof(StartParams), 28u);
    EXPECT_EQ(sizeof(ChangeParams), 24u);
    EXPECT_EQ(sizeof(GateAddr), 20u);
    EXPECT_EQ(sizeof(PortParams), 22u);
    EXPECT_EQ(sizeof(LineSettings), 8u);
}
