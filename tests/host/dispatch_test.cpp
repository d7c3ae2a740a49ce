// HuxMain: the operation table, empty slots, and the ended state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"
#include "tests/support/test_log.h"

namespace {

struct Records {
    ComContext context{};
    StartParams start{};
    ChangeParams change{};
    GateDef def{};
    GateTransfer transfer{};
    DriverInfo info{};
    uint8_t values[8] = {};
    DriverRequest request{};

    Records() {
        std::strcpy(start.name, "NULLDEV");
        start.enabled = 0;
        std::strcpy(change.name, "NUL");
        std::strcpy(context.portParams.name, "NULLDEV");
        def.address = "MB00012";
        transfer.address = "MB00012";
        transfer.gateAddr = GateAddr{0, 'B', 12, -1, 8};
        transfer.count = 1;
        transfer.values = values;
        request.context = &context;
    }

    int32_t Call(uint32_t op) {
        request.op = op;
        switch (op) {
        case HUX_OP_COLD_START:
            request.data = &start;
            break;
        case HUX_OP_SINGLE_PARSE:
        case HUX_OP_BLOCK_PARSE:
            request.data = &def;
            break;
        case HUX_OP_SINGLE_READ:
        case HUX_OP_BLOCK_READ:
        case HUX_OP_SINGLE_WRITE:
        case HUX_OP_BLOCK_WRITE:
            request.data = &transfer;
            break;
        case HUX_OP_GET_INFO:
            request.data = &info;
            break;
        case HUX_OP_CHANGE_PARAMS:
            request.data = &change;
            break;
        default:
            request.data = nullptr;
        }
        return HuxMain(&request);
    }
};

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ended = 0;
        testlog::Clear();
    }
    void TearDown() override { ended = 0; }
};

} // namespace

// Each code reaches its own handler: the result and the last line logged
// show which one ran (no port is open, so nothing touches a line).
TEST_F(Dispatch, EveryCodeReachesItsHandler) {
    struct Case {
        uint32_t op;
        int32_t result;
        const char *lastLine; // nullptr: nothing logged
    };
    const Case cases[] = {
        {0, 2, nullptr},
        {1, 0, "HUXDR> ColdStart() exited, 0"},
        {2, 0, "HUXDR> WarmStart() exited, 0"},
        {3, 1, "HUXDR> SingleParse() Gate type should be analog 16-bit"},
        {4, 0, nullptr},
        {5, 1, "HUXDR> SingleRead() , ret val is 1"},
        {6, 1, "HUXDR> BlockRead(), ret val is 1"},
        {7, 1, "HUXDR> SingleWrite() , ret val is 1"},
        {8, 2, nullptr},
        {9, 2, nullptr},
        {10, 1, "HUXDR> BlockWrite() , ret val is 1"},
        {12, 0, "HUXDR> CloseCom() exited 0"},
        {13, 0, "HUXDR> ReOpenCom() exited 0"},
        {14, 0, "HUXDR> GetHuxInfo() exited"},
        {15, 0, "HUXDR> ChangeHuxParams() NULLDEV => no communications"},
        {16, 2, nullptr},
        {17, 2, nullptr},
        {0xFFFFFFFFu, 2, nullptr},
        {11, 0, "HUXDR> EndHux() exited, 0"}, // last: it ends the driver
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.op);
        Records records;
        records.def.gateType = 3; // refused for a single gate: shows SingleParse ran
        testlog::Clear();
        EXPECT_EQ(records.Call(c.op), c.result);
        if (c.lastLine == nullptr) {
            EXPECT_TRUE(testlog::Lines().empty());
        } else {
            ASSERT_FALSE(testlog::Lines().empty());
            EXPECT_EQ(testlog::Lines().back().text, c.lastLine);
        }
    }
    EXPECT_EQ(ended, 1);
}

TEST_F(Dispatch, EmptySlotsChangeNothing) {
    for (uint32_t op : {0u, 8u, 9u, 16u, 17u, 99u, 0xFFFFFFFFu}) {
        Records records;
        std::memset(&records.context, 0x77, sizeof records.context);
        const ComContext before = records.context;
        records.request.data = &records.info;
        records.request.op = op;
        EXPECT_EQ(HuxMain(&records.request), 2) << op;
        EXPECT_EQ(std::memcmp(&before, &records.context, sizeof before), 0) << op;
    }
    EXPECT_TRUE(testlog::Lines().empty());
}

TEST_F(Dispatch, EndedDriverAnswersZeroAndDoesNothing) {
    Records records;
    ASSERT_EQ(records.Call(HUX_OP_END), 0);
    ASSERT_EQ(ended, 1);
    testlog::Clear();

    // GetHuxInfo leaves the record as it was.
    std::memset(&records.info, 0x11, sizeof records.info);
    const DriverInfo info = records.info;
    EXPECT_EQ(records.Call(HUX_OP_GET_INFO), 0);
    EXPECT_EQ(std::memcmp(&info, &records.info, sizeof info), 0);

    // The parsers leave gateAddr untouched, even for a text they would refuse.
    records.def.gateAddr = GateAddr{7, 7, 7, 7, 7};
    records.def.address = "garbage";
    EXPECT_EQ(records.Call(HUX_OP_SINGLE_PARSE), 0);
    EXPECT_EQ(records.def.gateAddr.index, 7);

    // Reads transfer nothing; unknown codes answer 0; a cold start does not revive.
    records.transfer.count = 5;
    EXPECT_EQ(records.Call(HUX_OP_SINGLE_READ), 0);
    EXPECT_EQ(records.transfer.count, 5);
    EXPECT_EQ(records.Call(99), 0);
    EXPECT_EQ(records.Call(0), 0);
    records.start.enabled = 1;
    EXPECT_EQ(records.Call(HUX_OP_COLD_START), 0);
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(testlog::Lines().empty());
}
