// Gate address texts: what is accepted, what is refused with which message,
// and what GateAddr holds afterwards.
#include <gtest/gtest.h>

#include <string>

#include "driver/host/huxdrvr.h"
#include "tests/support/test_log.h"

inline bool operator==(const GateAddr &a, const GateAddr &b) {
    return a.reserved == b.reserved && a.area == b.area && a.index == b.index && a.bit == b.bit &&
           a.width == b.width;
}

inline void PrintTo(const GateAddr &a, std::ostream *os) {
    *os << "{" << a.reserved << "," << a.area << "," << a.index << "," << a.bit << "," << a.width << "}";
}

namespace {

constexpr GateAddr kUntouched{-5, -5, -5, -5, -5};

struct Outcome {
    int32_t result;
    GateAddr addr;
    std::vector<LogLine> log;
};

Outcome Call(uint32_t op, const std::string &text, int32_t gateType, int32_t blockSize = 0) {
    GateDef def{};
    def.address = text.c_str();
    def.gateType = gateType;
    def.blockSize = blockSize;
    def.gateAddr = kUntouched;
    DriverRequest request{};
    request.context = nullptr; // parsing needs no connection
    request.op = op;
    request.data = &def;
    testlog::Clear();
    const int32_t result = HuxMain(&request);
    return {result, def.gateAddr, testlog::Lines()};
}

} // namespace

TEST(Parse, AcceptedTexts) {
    struct Case {
        const char *text;
        int32_t gateType;
        GateAddr addr;
    };
    const Case cases[] = {
        {"MB00012", 0, {0, 0x42, 12, -1, 8}},     {"MW00040", 0, {0, 0x57, 20, -1, 16}},
        {"MB00012.3", 6, {0, 0x42, 12, 3, 8}},    {"MW00040.7", 6, {0, 0x57, 20, 7, 16}},
        {"MB00000", 0, {0, 0x42, 0, -1, 8}},      {"MB99999", 0, {0, 0x42, 99999, -1, 8}},
        {"MW99998", 0, {0, 0x57, 49999, -1, 16}}, {"MB00012.0", 6, {0, 0x42, 12, 0, 8}},
    };
    for (const Case &c : cases) {
        const Outcome out = Call(HUX_OP_SINGLE_PARSE, c.text, c.gateType);
        EXPECT_EQ(out.result, 0) << c.text;
        EXPECT_EQ(out.addr, c.addr) << c.text;
        EXPECT_TRUE(out.log.empty()) << c.text;
    }
}

TEST(Parse, RefusedTextsLeaveGateAddrUntouched) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::string len = "HUXDR> Parse() wrong length address string '";
    const std::string chr = "HUXDR> Parse() Illegal character ";
    const Case cases[] = {
        {"MB0012", len + "MB0012'"},
        {"MB00012.10", len + "MB00012.10'"},
        {"", len + "'"},
        {"MB00012 ", len + "MB00012 '"},
        {"MB00012.3456789012345678901234567890", len + "MB00012.3456789012345678901234567890'"},
        {"MX00012", chr + "1 in 'MX00012'"},
        {"mb00012", chr + "0 in 'mb00012'"},
        {"MB0001A", chr + "6 in 'MB0001A'"},
        {"MB00012:3", chr + "7 in 'MB00012:3'"},
        {"MB00012.8", chr + "8 in 'MB00012.8'"},
        {"MB 0012", chr + "2 in 'MB 0012'"},
        {"MB0001\xB2", chr + "6 in 'MB0001\xB2'"},
        {"MW00040\xAE"
         "3",
         chr + "7 in 'MW00040\xAE"
               "3'"},
    };
    for (const Case &c : cases) {
        for (uint32_t op : {HUX_OP_SINGLE_PARSE, HUX_OP_BLOCK_PARSE}) {
            const Outcome out = Call(op, c.text, 0);
            EXPECT_EQ(out.result, 1) << c.text;
            EXPECT_EQ(out.addr, kUntouched) << c.text;
            ASSERT_EQ(out.log.size(), 1u) << c.text;
            EXPECT_EQ(out.log[0], (LogLine{8, c.message}));
        }
    }
}

TEST(Parse, OddWordOffsetKeepsThePreviousIndex) {
    for (const char *text : {"MW00041", "MW00041.2"}) {
        const Outcome out = Call(HUX_OP_SINGLE_PARSE, text, 6);
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.addr, (GateAddr{0, 0x57, -5, -1, 16})) << text;
        ASSERT_EQ(out.log.size(), 1u);
        EXPECT_EQ(out.log[0].text,
                  std::string("HUXDR> Parse() word gate sould have even address '") + text + "'");
    }
}

TEST(SingleAddressParser, GateTypes) {
    const std::string analog = "HUXDR> SingleParse() Gate type should be analog 16-bit";
    const std::string digital = "HUXDR> SingleParse() Gate type should be DIGITAL";
    struct Case {
        const char *text;
        int32_t type;
        int32_t result;
        const std::string *message;
    };
    const Case cases[] = {
        {"MB00012", 0, 0, nullptr},    {"MB00012", 1, 0, nullptr},    {"MB00012", 2, 0, nullptr},
        {"MB00012", 4, 0, nullptr},    {"MW00040", 5, 0, nullptr},    {"MB00012", 3, 1, &analog},
        {"MB00012", 6, 1, &analog},    {"MW00040", -1, 1, &analog},   {"MB00012.3", 6, 0, nullptr},
        {"MB00012.3", 0, 1, &digital}, {"MW00040.1", 5, 1, &digital}, {"MB00012.3", 7, 1, &digital},
    };
    for (const Case &c : cases) {
        const Outcome out = Call(HUX_OP_SINGLE_PARSE, c.text, c.type);
        EXPECT_EQ(out.result, c.result) << c.text << " type " << c.type;
        EXPECT_NE(out.addr, kUntouched) << "filled also when the type is refused";
        if (c.message == nullptr) {
            EXPECT_TRUE(out.log.empty());
        } else {
            ASSERT_EQ(out.log.size(), 1u);
            EXPECT_EQ(out.log[0], (LogLine{8, *c.message}));
        }
    }
}

TEST(BlockAddressParser, SizesAndBits) {
    const std::string tooLong = "HUXDR> BlockParse() block size should be <= 64 bytes";
    const std::string digital = "HUXDR> BlockParse() digital gates not allowed as block";
    struct Case {
        const char *text;
        int32_t size;
        int32_t result;
        const std::string *message;
    };
    const Case cases[] = {
        {"MB00012", 64, 0, nullptr},  {"MB00012", 1, 0, nullptr},    {"MB00012", 0, 0, nullptr},
        {"MB00012", -3, 0, nullptr},  {"MB00012", 65, 1, &tooLong},  {"MW00040", 32, 0, nullptr},
        {"MW00040", 33, 1, &tooLong}, {"MB00012.3", 1, 1, &digital}, {"MB00012.3", 99, 1, &digital},
    };
    for (const Case &c : cases) {
        const Outcome out = Call(HUX_OP_BLOCK_PARSE, c.text, 3 /* any type */, c.size);
        EXPECT_EQ(out.result, c.result) << c.text << " size " << c.size;
        if (c.message == nullptr) {
            EXPECT_TRUE(out.log.empty());
        } else {
            ASSERT_EQ(out.log.size(), 1u);
            EXPECT_EQ(out.log[0], (LogLine{8, *c.message}));
        }
    }
}
