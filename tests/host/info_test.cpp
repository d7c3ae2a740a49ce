// GetHuxInfo: the driver's self-description, the same at every call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/host/huxdrvr.h"
#include "tests/support/test_log.h"

namespace {

// The banner as the hosts draw it, built here independently of the driver.
std::string ExpectedBanner() {
    std::string b = "\x08\x0A";
    b += '\xC9';
    b += std::string(71, '\xCD');
    b += "\xBB\x0A";
    b += '\xBA';
    b += std::string(" HUXDR: Kl") + '\x94' + "ckner MOELLER, SUCOM-B" + std::string(4, ' ') +
         "(PS4-201-MM1)" + std::string(5, ' ') + "(32-bit driver)" + ' ';
    b += "\xBA\x0A";
    b += '\xC8';
    b += std::string(71, '\xCD');
    b += '\xBC';
    return b;
}

int32_t GetInfo(DriverInfo *info, ComContext *context) {
    DriverRequest request{};
    request.context = context;
    request.op = HUX_OP_GET_INFO;
    request.data = info;
    return HuxMain(&request);
}

} // namespace

TEST(GetHuxInfo, FillsEveryFieldAndLogsOnce) {
    testlog::Clear();
    DriverInfo info;
    std::memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(GetInfo(&info, nullptr), 0); // no context needed
    EXPECT_EQ(info.infoA, 70u);
    EXPECT_STREQ(info.deviceName, "Klockner Moeller PS4");
    EXPECT_EQ(info.infoB, 589u);
    EXPECT_EQ(info.infoC, 4u);
    EXPECT_EQ(info.defaults.baud, 9600);
    EXPECT_EQ(info.defaults.dataBits, 8);
    EXPECT_EQ(info.defaults.stopBits, 0);
    EXPECT_EQ(info.defaults.parity, 0);
    EXPECT_EQ(info.infoD, 3u);
    ASSERT_EQ(testlog::Lines().size(), 1u);
    EXPECT_EQ(testlog::Lines()[0], (LogLine{8, "HUXDR> GetHuxInfo() exited"}));
}

TEST(GetHuxInfo, BannerByteForByte) {
    DriverInfo info{};
    ASSERT_EQ(GetInfo(&info, nullptr), 0);
    const std::string banner = info.banner;
    EXPECT_EQ(banner.size(), 223u);
    EXPECT_EQ(banner, ExpectedBanner());
    // Three rows of 73 characters without their line feeds.
    EXPECT_EQ(banner.find('\x0A', 2), 2u + 73u);
    EXPECT_EQ(banner.find('\x0A', 76), 76u + 73u);
    EXPECT_EQ(banner.size() - 150u, 73u);
}

TEST(GetHuxInfo, SameAnswerWhateverTheContext) {
    ComContext context;
    std::memset(&context, 0x5A, sizeof context);
    DriverInfo first{}, second{};
    ASSERT_EQ(GetInfo(&first, nullptr), 0);
    ASSERT_EQ(GetInfo(&second, &context), 0);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
}
