// The simulated controller on its own: frame parsing and resynchronisation,
// its answers, its faults, and serving a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "sim/protocol.h"
#include "sim/simulator.h"

namespace {

using ps4sim::Bytes;
using ps4sim::Controller;
using ps4sim::FaultKind;
using ps4sim::FaultRule;
using ps4sim::FrameKind;
using ps4sim::FrameParser;
using ps4sim::ParsedItem;

Bytes WithLrc(Bytes frame) {
    frame.push_back(ps4sim::Lrc(frame));
    return frame;
}

Bytes Request(uint8_t cmd, uint16_t start, uint16_t end) {
    return WithLrc({0x0C, 0x07, cmd, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start),
                    static_cast<uint8_t>(end >> 8), static_cast<uint8_t>(end)});
}

Bytes DataFrame(const Bytes &data) {
    Bytes f{0x0C, 0x07, 0x14, static_cast<uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    return WithLrc(f);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<ParsedItem> FeedAll(FrameParser &parser, const Bytes &bytes) {
    return parser.Feed(bytes.data(), bytes.size());
}

// ------------------------------------------------------------------ LRC

TEST(SimLrc, IsTheXorOfAllButTheFirstByte) {
    EXPECT_EQ(Request(0x82, 0x0040, 0x0041), (Bytes{0x0C, 0x07, 0x82, 0x00, 0x40, 0x00, 0x41, 0x84}));
    EXPECT_EQ(Request(0x83, 0x01FE, 0x0201), (Bytes{0x0C, 0x07, 0x83, 0x01, 0xFE, 0x02, 0x01, 0x78}));
    EXPECT_EQ(DataFrame({0x11, 0x22, 0x33, 0x44}),
              (Bytes{0x0C, 0x07, 0x14, 0x04, 0x11, 0x22, 0x33, 0x44, 0x53}));
    const Bytes one{0xAB};
    EXPECT_EQ(ps4sim::Lrc(one), 0x00);
}

// ------------------------------------------------------------------ parser

TEST(SimParser, FindsBackToBackFramesAndTheirEnds) {
    FrameParser parser;
    const Bytes read = Request(0x82, 0x1000, 0x1003);
    const Bytes data = DataFrame({1, 2, 3});
    const auto items = FeedAll(parser, Cat({read, data}));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].frame.kind, FrameKind::ReadRequest);
    EXPECT_EQ(items[0].frame.start, 0x1000);
    EXPECT_EQ(items[0].frame.end, 0x1003);
    EXPECT_EQ(items[0].endOffset, read.size());
    EXPECT_EQ(items[1].frame.kind, FrameKind::WriteData);
    EXPECT_EQ(items[1].frame.data, (Bytes{1, 2, 3}));
    EXPECT_EQ(items[1].endOffset, read.size() + data.size());
    EXPECT_FALSE(parser.Partial());
}

TEST(SimParser, AFrameSplitAcrossChunksIsAssembled) {
    FrameParser parser;
    const Bytes read = Request(0x82, 0x0040, 0x0041);
    EXPECT_TRUE(parser.Feed(read.data(), 3).empty());
    EXPECT_TRUE(parser.Partial());
    const auto items = parser.Feed(read.data() + 3, read.size() - 3);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].frame.raw, read);
}

TEST(SimParser, ResynchronisesAfterGarbage) {
    const Bytes good = Request(0x82, 0x1028, 0x1029);
    Bytes badLrc = Request(0x83, 0x1000, 0x1000);
    badLrc.back() ^= 0x01;
    struct Case {
        const char *name;
        Bytes before;
        size_t dropped; // bytes reported as garbage
    } cases[] = {
        {"plain noise", {0xFF, 0x55, 0xAA}, 3},
        {"a header byte without its partner", {0x0C, 0x0C, 0x33}, 3},
        {"an unknown command", {0x0C, 0x07, 0x99}, 3},
        {"noise that ends in a header byte", {0x00, 0x0C}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrameParser parser;
        const auto items = FeedAll(parser, Cat({c.before, good}));
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0].type, ParsedItem::Dropped);
        EXPECT_EQ(items[0].dropped.size(), c.dropped);
        EXPECT_EQ(items[1].type, ParsedItem::FrameItem);
        EXPECT_EQ(items[1].frame.raw, good);
        EXPECT_TRUE(items[1].frame.lrcOk);
    }
    // A frame with a wrong LRC is handed on as such; the next one is found.
    FrameParser parser;
    const auto items = FeedAll(parser, Cat({badLrc, good}));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_FALSE(items[0].frame.lrcOk);
    EXPECT_TRUE(items[1].frame.lrcOk);
    EXPECT_EQ(items[1].frame.raw, good);
}

TEST(SimParser, FindsAFrameHiddenInsideARejectedOne) {
    // A cut frame runs straight into a complete one: the first candidate's
    // LRC fails and the scan resumes at the header inside it.
    const Bytes good = Request(0x82, 0x1000, 0x1000);
    const Bytes cut{0x0C, 0x07, 0x82, 0x10};
    FrameParser parser;
    const auto items = FeedAll(parser, Cat({cut, good}));
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.back().type, ParsedItem::FrameItem);
    EXPECT_EQ(items.back().frame.raw, good);
    EXPECT_TRUE(items.back().frame.lrcOk);
    EXPECT_FALSE(parser.Partial());
}

TEST(SimParser, ResetDropsAPartialFrame) {
    FrameParser parser;
    const Bytes part{0x0C, 0x07, 0x82, 0x10};
    EXPECT_TRUE(FeedAll(parser, part).empty());
    EXPECT_EQ(parser.Reset(), part);
    EXPECT_FALSE(parser.Partial());
    const auto items = FeedAll(parser, Request(0x82, 0, 0));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].frame.lrcOk);
}

// ------------------------------------------------------------------ controller

struct Fed {
    ps4sim::Answer answer;
    bool ok = false;
};

Fed Feed(Controller &c, const Bytes &frame, uint64_t seq = 1) {
    FrameParser parser;
    const auto items = FeedAll(parser, frame);
    Fed f;
    if (items.size() == 1 && items[0].type == ParsedItem::FrameItem) {
        f.answer = c.Handle(items[0].frame, seq);
        f.ok = true;
    }
    return f;
}

TEST(SimController, AnswersDiscoveryWithTheMarkerWords) {
    Controller c{ps4sim::Config{}};
    // Defaults: marker area 0x1000..0x1FFF, so the end bound word is 0x2001.
    EXPECT_EQ(Feed(c, Request(0x82, 0x0040, 0x0041)).answer.bytes,
              WithLrc({0x0C, 0x07, 0x14, 0x02, 0x10, 0x00}));
    EXPECT_EQ(Feed(c, Request(0x82, 0x004A, 0x004B)).answer.bytes,
              WithLrc({0x0C, 0x07, 0x14, 0x02, 0x20, 0x01}));
}

TEST(SimController, ReadReplyCarriesTheRangeFromItsStartUpward) {
    Controller c{ps4sim::Config{}};
    c.Memory()[0x1028] = 0x10;
    c.Memory()[0x1029] = 0x00;
    c.Memory()[0x102A] = 0xFF;
    const Bytes reply = Feed(c, Request(0x82, 0x1028, 0x102A)).answer.bytes;
    EXPECT_EQ(reply, WithLrc({0x0C, 0x07, 0x14, 0x03, 0x10, 0x00, 0xFF}));
}

TEST(SimController, WriteNeedsPermissionThenMatchingData) {
    Controller c{ps4sim::Config{}};
    EXPECT_EQ(Feed(c, Request(0x83, 0x100C, 0x100D)).answer.bytes, Bytes{0x06});
    EXPECT_TRUE(c.WritePending());
    EXPECT_EQ(Feed(c, DataFrame({0x49, 0x4A})).answer.bytes, Bytes{0x06});
    EXPECT_EQ(c.Memory()[0x100C], 0x49);
    EXPECT_EQ(c.Memory()[0x100D], 0x4A);
    EXPECT_FALSE(c.WritePending());

    // Data without permission, and data of the wrong length, are refused
    // and write nothing.
    EXPECT_EQ(Feed(c, DataFrame({0x77})).answer.bytes, Bytes{0x15});
    EXPECT_EQ(Feed(c, Request(0x83, 0x1000, 0x1001)).answer.bytes, Bytes{0x06});
    EXPECT_EQ(Feed(c, DataFrame({0x77})).answer.bytes, Bytes{0x15});
    EXPECT_EQ(c.Memory()[0x1000], 0x00);
    // A data frame with a wrong LRC while a write is pending is refused.
    EXPECT_EQ(Feed(c, Request(0x83, 0x1000, 0x1000)).answer.bytes, Bytes{0x06});
    Bytes bad = DataFrame({0x77});
    bad.back() ^= 0xFF;
    EXPECT_EQ(Feed(c, bad).answer.bytes, Bytes{0x15});
    EXPECT_EQ(c.Memory()[0x1000], 0x00);
}

TEST(SimController, RefusesProtectedRangesAndNonsense) {
    ps4sim::Config config;
    config.protect.push_back({0x1800, 0x18FF});
    config.nackCode = 0x21;
    Controller c{config};
    EXPECT_EQ(Feed(c, Request(0x83, 0x17FF, 0x1800)).answer.bytes, Bytes{0x21}); // touches the range
    EXPECT_FALSE(c.WritePending());
    EXPECT_EQ(Feed(c, Request(0x83, 0x1900, 0x1900)).answer.bytes, Bytes{0x06});
    EXPECT_EQ(Feed(c, Request(0x82, 0x1801, 0x1800)).answer.bytes, Bytes{0x21}); // end before start
    EXPECT_EQ(Feed(c, Request(0x82, 0x1000, 0x1100)).answer.bytes, Bytes{0x21}); // 257 bytes
    // A request with a wrong LRC gets no answer at all.
    Bytes bad = Request(0x82, 0x1000, 0x1000);
    bad.back() ^= 1;
    const Fed f = Feed(c, bad);
    EXPECT_TRUE(f.ok);
    EXPECT_TRUE(f.answer.bytes.empty());
}

TEST(SimController, FaultsChangeTheAnswerAsNamed) {
    const Bytes reply = WithLrc({0x0C, 0x07, 0x14, 0x02, 0x34, 0x12});
    Bytes flippedData = reply;
    flippedData[4] ^= 0xFF;
    Bytes flippedLrc = reply;
    flippedLrc.back() ^= 0xFF;
    const Bytes wrongCount = WithLrc({0x0C, 0x07, 0x14, 0x03, 0x34, 0x12});
    struct Case {
        const char *ruleText;
        Bytes readAnswer; // to a read of 0x1028..0x1029 holding 34 12
        Bytes ackAnswer;  // to a write request
        int delayMs;
    } cases[] = {
        {"drop", {}, {}, 0},
        {"short", Bytes(reply.begin(), reply.end() - 1), {}, 0},
        {"short=2", Bytes(reply.begin(), reply.begin() + 2), {0x06}, 0},
        {"corrupt", flippedData, {0xF9}, 0},
        {"corrupt=1",
         [&] {
             Bytes b = reply;
             b[1] ^= 0xFF;
             return b;
         }(),
         {0xF9},
         0},
        {"lrc", flippedLrc, {0xF9}, 0},
        {"count", wrongCount, {0x06}, 0},
        {"nack", {0x15}, {0x15}, 0},
        {"nack=0x42", {0x42}, {0x42}, 0},
        {"noise", Cat({{0xFF, 0x55, 0xAA}, reply}), {0xFF, 0x55, 0xAA, 0x06}, 0},
        {"noise=1", Cat({{0xFF}, reply}), {0xFF, 0x06}, 0},
        {"delay=50", reply, {0x06}, 50},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.ruleText);
        Controller c{ps4sim::Config{}};
        c.Memory()[0x1028] = 0x34;
        c.Memory()[0x1029] = 0x12;
        FaultRule rule;
        std::string error;
        ASSERT_TRUE(ps4sim::ParseFault(std::string("any:") + k.ruleText + "*2", &rule, &error)) << error;
        c.AddRule(rule);
        const Fed read = Feed(c, Request(0x82, 0x1028, 0x1029), 1);
        EXPECT_EQ(read.answer.bytes, k.readAnswer);
        EXPECT_EQ(read.answer.delayMs, k.delayMs);
        const Fed permit = Feed(c, Request(0x83, 0x1028, 0x1028), 2);
        EXPECT_EQ(permit.answer.bytes, k.ackAnswer);
        // Only a refusal keeps the controller from doing what was asked.
        EXPECT_EQ(c.WritePending(), rule.fault.kind != FaultKind::Nack);
        EXPECT_EQ(c.PendingRules(), 0u);
    }
}

TEST(SimController, ARefusedDataFrameWritesNothingButALostConfirmationDoes) {
    for (const char *ruleText : {"data:nack", "data:drop"}) {
        SCOPED_TRACE(ruleText);
        Controller c{ps4sim::Config{}};
        FaultRule rule;
        std::string error;
        ASSERT_TRUE(ps4sim::ParseFault(ruleText, &rule, &error));
        c.AddRule(rule);
        Feed(c, Request(0x83, 0x1000, 0x1000), 1);
        Feed(c, DataFrame({0x5A}), 2);
        EXPECT_EQ(c.Memory()[0x1000], std::string(ruleText) == "data:nack" ? 0x00 : 0x5A);
    }
}

TEST(SimController, RulesPickTheirFrames) {
    Controller c{ps4sim::Config{}};
    std::string error;
    FaultRule r;
    ASSERT_TRUE(ps4sim::ParseFault("permit:drop", &r, &error));
    c.AddRule(r);
    ASSERT_TRUE(ps4sim::ParseFault("4:nack=0x30*2", &r, &error));
    c.AddRule(r);
    EXPECT_EQ(Feed(c, Request(0x82, 0x1000, 0x1000), 1).answer.bytes.size(), 6u); // read: untouched
    EXPECT_TRUE(Feed(c, Request(0x83, 0x1000, 0x1000), 2).answer.bytes.empty());  // the permit rule
    EXPECT_EQ(Feed(c, Request(0x83, 0x1000, 0x1000), 3).answer.bytes, Bytes{0x06});
    EXPECT_EQ(Feed(c, Request(0x83, 0x1000, 0x1000), 4).answer.bytes, Bytes{0x30});
    EXPECT_EQ(Feed(c, Request(0x82, 0x1000, 0x1000), 5).answer.bytes, Bytes{0x30});
    EXPECT_EQ(Feed(c, Request(0x82, 0x1000, 0x1000), 6).answer.bytes.size(), 6u);
    EXPECT_EQ(c.PendingRules(), 0u);
}

TEST(SimController, RandomFaultsFollowTheSeed) {
    auto run = [](double rate, uint64_t seed) {
        Controller c{ps4sim::Config{}};
        c.SetRandom(rate, seed, {});
        std::vector<Bytes> answers;
        for (uint64_t i = 1; i <= 200; ++i) {
            answers.push_back(Feed(c, Request(0x82, 0x1000, 0x1001), i).answer.bytes);
        }
        return std::make_pair(answers, c.FaultsApplied());
    };
    const auto a = run(0.3, 7);
    EXPECT_EQ(a, run(0.3, 7));
    EXPECT_NE(a.first, run(0.3, 8).first);
    EXPECT_GT(a.second, 30u);
    EXPECT_LT(a.second, 90u);
    EXPECT_EQ(run(0.0, 7).second, 0u);
    EXPECT_EQ(run(1.0, 7).second, 200u);
}

TEST(SimFaultSpec, Grammar) {
    struct Case {
        const char *text;
        bool ok;
        ps4sim::FaultTarget target;
        uint64_t atFrame;
        FaultKind kind;
        int arg;
        int times;
    } cases[] = {
        {"drop", true, ps4sim::FaultTarget::Any, 0, FaultKind::Drop, -1, 1},
        {"read:lrc*6", true, ps4sim::FaultTarget::Read, 0, FaultKind::Lrc, -1, 6},
        {"permit:nack=0x15", true, ps4sim::FaultTarget::Permit, 0, FaultKind::Nack, 0x15, 1},
        {"data:delay=300", true, ps4sim::FaultTarget::Data, 0, FaultKind::Delay, 300, 1},
        {"12:corrupt=4*2", true, ps4sim::FaultTarget::Any, 12, FaultKind::Corrupt, 4, 2},
        {"bogus", false, {}, 0, {}, 0, 0},
        {"read:", false, {}, 0, {}, 0, 0},
        {"0:drop", false, {}, 0, {}, 0, 0},
        {"write:drop", false, {}, 0, {}, 0, 0},
        {"nack=256", false, {}, 0, {}, 0, 0},
        {"drop*0", false, {}, 0, {}, 0, 0},
        {"short=-1", false, {}, 0, {}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        FaultRule r;
        std::string error;
        ASSERT_EQ(ps4sim::ParseFault(c.text, &r, &error), c.ok);
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(r.target, c.target);
        EXPECT_EQ(r.atFrame, c.atFrame);
        EXPECT_EQ(r.fault.kind, c.kind);
        EXPECT_EQ(r.fault.arg, c.arg);
        EXPECT_EQ(r.times, c.times);
    }
}

// ------------------------------------------------------------------ on a pseudo-terminal

// The host's end of the line, as a plain raw descriptor.
class Client {
  public:
    explicit Client(const std::string &path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Ok() const { return fd_ >= 0; }
    void Write(const Bytes &b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Reads until n bytes are in or `ms` pass without a byte.
    Bytes Read(size_t n, int ms = 2000) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) {
                break;
            }
            uint8_t buf[256];
            const ssize_t r = read(fd_, buf, sizeof buf);
            if (r <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

  private:
    int fd_ = -1;
};

class SimPty : public ::testing::Test {
  protected:
    void SetUp() override { Open(ps4sim::Config{}); }
    void Open(const ps4sim::Config &config) {
        sim_ = std::make_unique<ps4sim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim_->OpenPty(&error)) << error;
        sim_->RecordTrace(true);
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }
    std::unique_ptr<ps4sim::Simulator> sim_;
};

TEST_F(SimPty, ServesTheSlaveAndTracesEachFrame) {
    EXPECT_LE(sim_->DriverName().size(), 11u);
    sim_->Poke(0x100C, {0x41});
    Client c(sim_->Path());
    ASSERT_TRUE(c.Ok());
    c.Write(Request(0x82, 0x100C, 0x100C));
    EXPECT_EQ(c.Read(6), WithLrc({0x0C, 0x07, 0x14, 0x01, 0x41}));
    c.Write(Request(0x83, 0x100C, 0x100C));
    EXPECT_EQ(c.Read(1), Bytes{0x06});
    c.Write(DataFrame({0x49}));
    EXPECT_EQ(c.Read(1), Bytes{0x06});
    EXPECT_EQ(sim_->Peek(0x100C, 1), Bytes{0x49});
    EXPECT_EQ(sim_->TraceLines(), (std::vector<std::string>{
                                      "#1 H>C read 100C..100C -> ok | 0C 07 82 10 0C 10 0C 85",
                                      "#1 C>H reply 100C..100C [41] -> ok | 0C 07 14 01 41 53",
                                      "#2 H>C write 100C..100C -> permitted | 0C 07 83 10 0C 10 0C 84",
                                      "#2 C>H ack -> ok | 06",
                                      "#3 H>C data 100C..100C [49] -> written | 0C 07 14 01 49 5B",
                                      "#3 C>H ack -> ok | 06",
                                  }));
}

TEST_F(SimPty, GarbageOnTheLineDoesNotWedgeIt) {
    Client c(sim_->Path());
    c.Write({0xFF, 0x0C, 0x00, 0x0C, 0x07, 0x55});
    c.Write(Request(0x82, 0x0040, 0x0041));
    EXPECT_EQ(c.Read(7), WithLrc({0x0C, 0x07, 0x14, 0x02, 0x10, 0x00}));
    EXPECT_EQ(sim_->GetStats().frames, 1u);
    EXPECT_EQ(sim_->GetStats().droppedBytes, 6u);
}

TEST_F(SimPty, SilenceInsideAFrameDropsIt) {
    Open([] {
        ps4sim::Config c;
        c.frameTimeoutMs = 20;
        return c;
    }());
    Client c(sim_->Path());
    // Half a request, then silence, then a whole one: without the timeout
    // the first bytes would swallow part of the second.
    c.Write({0x0C, 0x07, 0x82, 0x00});
    EXPECT_TRUE(c.Read(1, 200).empty());
    c.Write(Request(0x82, 0x004A, 0x004B));
    EXPECT_EQ(c.Read(7), WithLrc({0x0C, 0x07, 0x14, 0x02, 0x20, 0x01}));
    const std::vector<std::string> lines = sim_->TraceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "#- H>C partial -> dropped after silence | 0C 07 82 00");
}

TEST_F(SimPty, ServesAgainAfterTheHostClosesAndReopens) {
    for (int round = 0; round < 3; ++round) {
        Client c(sim_->Path());
        ASSERT_TRUE(c.Ok());
        c.Write(Request(0x82, 0x0040, 0x0041));
        EXPECT_EQ(c.Read(7).size(), 7u) << "round " << round;
    }
}

TEST_F(SimPty, UnaskedBytesReachTheHost) {
    Client c(sim_->Path());
    ASSERT_TRUE(sim_->SendRaw({0xDE, 0xAD}));
    EXPECT_EQ(c.Read(2), (Bytes{0xDE, 0xAD}));
}

TEST_F(SimPty, PacingTakesAtLeastTheWireTime) {
    // 1200 baud, 10 bits a byte: 8 request bytes and 7 reply bytes need at
    // least 125 ms on the wire. (Only the lower bound is checked.)
    Open([] {
        ps4sim::Config c;
        c.pace = true;
        c.baud = 1200;
        return c;
    }());
    Client c(sim_->Path());
    const auto t0 = std::chrono::steady_clock::now();
    c.Write(Request(0x82, 0x0040, 0x0041));
    EXPECT_EQ(c.Read(7).size(), 7u);
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 15 * 10 * 1000.0 / 1200 - 1);
}

TEST(SimDevice, ServesASerialDeviceAtTheGivenSettings) {
    // A pseudo-terminal pair stands in for a cable: the simulator takes the
    // slave as its device, the test talks on the master.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string device = ptsname(master);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);

    ps4sim::Simulator sim;
    std::string error;
    ps4sim::LineConfig line;
    line.baud = 12345;
    EXPECT_FALSE(sim.OpenDevice(device, line, &error)); // not a standard rate
    EXPECT_NE(error.find("12345"), std::string::npos);
    line.baud = 19200;
    EXPECT_FALSE(sim.OpenDevice("/dev/null", line, &error)); // not a terminal
    ASSERT_TRUE(sim.OpenDevice(device, line, &error)) << error;
    EXPECT_EQ(sim.Path(), device);
    ASSERT_TRUE(sim.Start(&error)) << error;
    const Bytes request = Request(0x82, 0x0040, 0x0041);
    ASSERT_EQ(write(master, request.data(), request.size()), 8);
    Bytes reply;
    while (reply.size() < 7) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 2000), 0);
        uint8_t buf[16];
        const ssize_t r = read(master, buf, sizeof buf);
        ASSERT_GT(r, 0);
        reply.insert(reply.end(), buf, buf + r);
    }
    EXPECT_EQ(reply, WithLrc({0x0C, 0x07, 0x14, 0x02, 0x10, 0x00}));
    sim.Stop();
    close(master);
}

TEST(SimProgram, PrintsItsPathServesAndDumpsWhenTerminated) {
    char dump[] = "/tmp/ps4sim_dumpXXXXXX";
    const int dumpFd = mkstemp(dump);
    ASSERT_GE(dumpFd, 0);
    close(dumpFd);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string dumpArg = dump;
    const char *argv[] = {PS4SIM,    "--quiet",     "--marker-start", "2000",   "--marker-size",
                          "256",     "--poke",      "2005=AB",        "--dump", dumpArg.c_str(),
                          "--fault", "1:nack=0x33", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, PS4SIM, &actions, nullptr, const_cast<char *const *>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string path;
    char ch = 0;
    while (read(out[0], &ch, 1) == 1 && ch != '\n') {
        path += ch;
    }
    close(out[0]);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        Client c(path);
        ASSERT_TRUE(c.Ok());
        c.Write(Request(0x82, 0x0040, 0x0041)); // frame 1: refused by the scripted fault
        EXPECT_EQ(c.Read(1), Bytes{0x33});
        c.Write(Request(0x82, 0x004A, 0x004B));
        EXPECT_EQ(c.Read(7), WithLrc({0x0C, 0x07, 0x14, 0x02, 0x21, 0x01})); // 2000h + 256 + 1
        c.Write(Request(0x82, 0x2005, 0x2005));
        EXPECT_EQ(c.Read(6), WithLrc({0x0C, 0x07, 0x14, 0x01, 0xAB}));
        c.Write(Request(0x83, 0x2006, 0x2006));
        EXPECT_EQ(c.Read(1), Bytes{0x06});
        c.Write(DataFrame({0xCD}));
        EXPECT_EQ(c.Read(1), Bytes{0x06});
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ps4sim::Simulator image;
    std::string error;
    ASSERT_TRUE(image.LoadImage(dump, 0, &error)) << error;
    EXPECT_EQ(image.Peek(0x2005, 2), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(image.Peek(0x0040, 2), (Bytes{0x20, 0x00}));
    std::remove(dump);
}

TEST(SimMemory, ImageRoundTrip) {
    char path[] = "/tmp/ps4sim_imageXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string error;
    ps4sim::Simulator a;
    a.Poke(0x1000, {1, 2, 3});
    a.Poke(0xFFFF, {0x99});
    ASSERT_TRUE(a.DumpImage(path, &error)) << error;
    ps4sim::Simulator b;
    ASSERT_TRUE(b.LoadImage(path, 0, &error)) << error;
    EXPECT_EQ(b.Peek(0x1000, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(b.Peek(0xFFFF, 1), Bytes{0x99});
    EXPECT_EQ(b.Peek(0x0040, 2), (Bytes{0x10, 0x00}));
    // Loaded at an offset, the image is cut at the end of memory.
    ps4sim::Simulator c;
    ASSERT_TRUE(c.LoadImage(path, 0xF000, &error)) << error;
    EXPECT_EQ(c.Peek(0xF040, 2), (Bytes{0x10, 0x00}));
    std::remove(path);
}

} // namespace
