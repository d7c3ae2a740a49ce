// A line that goes away: the simulated controller closes its side of the
// pseudo-terminal while the driver waits for an answer (or between two
// operations) and comes back on a new one. The driver must fail the
// operation within its attempts and timeouts without spinning, and
// CloseCom and ReOpenCom, or ReOpenCom alone, must bring the connection back.
//
// The driver opens the line through a symbolic link under /tmp, which the
// test points at the new pseudo-terminal when the controller comes back, as
// a host's device name keeps naming the same port.
#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "sim/simulator.h"
#include "tests/support/test_log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kMarkerStart = 0x1000;
// The driver's read timeout in this test: 500 ms, long enough that a hang-up
// ends the wait rather than the timeout.
constexpr int32_t kTimeoutUnits = 50;

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Timed {
    int32_t result = -1;
    double wallMs = 0;
    double cpuMs = 0;
};

class LineAway : public ::testing::Test {
  protected:
    void SetUp() override {
        testlog::Clear();
        // A name of at most 11 characters: "/tmp/hx" and four hex digits.
        for (unsigned n = static_cast<unsigned>(getpid()) & 0xFFFF, tries = 0; tries < 0x10000;
             ++n, ++tries) {
            char name[16];
            std::snprintf(name, sizeof name, "/tmp/hx%04x", n & 0xFFFF);
            if (access(name, F_OK) != 0 && errno == ENOENT) {
                link_ = name;
                break;
            }
        }
        ASSERT_FALSE(link_.empty());
        ASSERT_LE(link_.size(), 11u);
        ComeBack();
        ASSERT_TRUE(sim_ != nullptr);

        StartParams start{};
        std::snprintf(start.name, sizeof start.name, "%s", link_.c_str());
        start.enabled = 1;
        start.timeout = kTimeoutUnits;
        start.settings = LineSettings{9600, 8, 0, 0};
        context_.portParams.flags = 0x0303;
        ASSERT_EQ(Op(HUX_OP_COLD_START, &start), HUX_OK);
        ASSERT_NE(context_.port, 0u);
        ASSERT_EQ(context_.markerStart, kMarkerStart);
    }

    void TearDown() override {
        DriverRequest request{};
        request.context = &context_;
        request.op = HUX_OP_CLOSE_COM;
        HuxMain(&request);
        sim_.reset();
        if (!link_.empty()) {
            unlink(link_.c_str());
        }
    }

    // A controller on a new pseudo-terminal, holding the same memory, with
    // the link pointing at it.
    void ComeBack() {
        auto sim = std::make_unique<ps4sim::Simulator>();
        std::string error;
        ASSERT_TRUE(sim->OpenPty(&error)) << error;
        sim->Poke(kMarkerStart, {0x5A, 0x12, 0x34});
        ASSERT_TRUE(sim->Start(&error)) << error;
        const std::string fresh = link_ + ".new";
        unlink(fresh.c_str());
        ASSERT_EQ(symlink(sim->Path().c_str(), fresh.c_str()), 0);
        ASSERT_EQ(rename(fresh.c_str(), link_.c_str()), 0);
        sim_ = std::move(sim);
    }

    // The controller closes its side of the line.
    void GoAway() { sim_.reset(); }

    int32_t Op(uint32_t op, void *data) {
        DriverRequest request{};
        request.context = &context_;
        request.op = op;
        request.data = data;
        return HuxMain(&request);
    }

    // A single read of MB00000, timed on the thread that runs it.
    Timed TimedRead(uint8_t *value) {
        uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        GateTransfer transfer{};
        transfer.address = "MB00000";
        transfer.gateAddr = GateAddr{0, 'B', 0, -1, 8};
        transfer.count = 1;
        transfer.values = buffer;
        Timed timed;
        const double cpu0 = ThreadCpuMs();
        const auto t0 = Clock::now();
        timed.result = Op(HUX_OP_SINGLE_READ, &transfer);
        timed.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        timed.cpuMs = ThreadCpuMs() - cpu0;
        if (value != nullptr) {
            *value = buffer[2];
        }
        EXPECT_TRUE(timed.result == HUX_OK || (buffer[2] == 0xEE && buffer[3] == 0xEE))
            << "a failed read changed the buffer";
        return timed;
    }

    // A single write of MB00001, timed.
    Timed TimedWrite(uint8_t value) {
        uint8_t buffer[4] = {0, 0, value, 0};
        GateTransfer transfer{};
        transfer.address = "MB00001";
        transfer.gateAddr = GateAddr{0, 'B', 1, -1, 8};
        transfer.count = 1;
        transfer.values = buffer;
        Timed timed;
        const double cpu0 = ThreadCpuMs();
        const auto t0 = Clock::now();
        timed.result = Op(HUX_OP_SINGLE_WRITE, &transfer);
        timed.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        timed.cpuMs = ThreadCpuMs() - cpu0;
        return timed;
    }

    // Six attempts, each waiting at most two reads of the timeout for its
    // answers and 50 ms for a drain, with a generous second for a loaded
    // machine; a spinning driver would also burn CPU all that time.
    static double BoundMs(int receives) { return 6.0 * (50 + receives * 2 * kTimeoutUnits * 10) + 1000; }

    std::string link_;
    std::unique_ptr<ps4sim::Simulator> sim_;
    ComContext context_{};
};

TEST_F(LineAway, ReadFailsWithinItsBoundWhenTheLineGoesAwayDuringTheTransaction) {
    // The controller holds back its answer; while the driver waits for it the
    // controller closes the line.
    std::promise<void> arrived;
    auto arrivedFuture = arrived.get_future();
    bool signalled = false;
    sim_->SetTraceSink([&](const ps4sim::TraceEvent &event) {
        if (event.toController && event.kind == "read" && !signalled) {
            signalled = true;
            arrived.set_value();
        }
    });
    std::string error;
    ASSERT_TRUE(sim_->AddFault("read:delay=60000", &error)) << error;

    auto reading = std::async(std::launch::async, [this] { return TimedRead(nullptr); });
    ASSERT_EQ(arrivedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    GoAway();
    const Timed timed = reading.get();
    std::printf("read with the line going away: result %d in %.1f ms, %.2f ms of CPU\n", timed.result,
                timed.wallMs, timed.cpuMs);

    EXPECT_EQ(timed.result, HUX_FAILED);
    EXPECT_LT(timed.wallMs, BoundMs(1));
    // Waiting is done in poll(); a hung-up line must not turn it into a loop.
    EXPECT_LT(timed.cpuMs, 200.0) << "the driver spun for " << timed.cpuMs << " ms of CPU in " << timed.wallMs
                                  << " ms";
    // The hang-up ends the wait of the first attempt; the other five cannot
    // even send their request.
    const std::vector<std::string> want = {
        "HUXDR> DoRead() error receiving data, retry 1 'MB00000'",
        "HUXDR> DoRead() error sending data, retry 2 'MB00000'",
        "HUXDR> DoRead() error sending data, retry 3 'MB00000'",
        "HUXDR> DoRead() error sending data, retry 4 'MB00000'",
        "HUXDR> DoRead() error sending data, retry 5 'MB00000'",
        "HUXDR> DoRead() error sending data, retry 6 'MB00000'",
        "HUXDR> SingleRead() , ret val is 2",
    };
    const auto texts = testlog::Texts();
    ASSERT_GE(texts.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(texts.end() - static_cast<long>(want.size()), texts.end()), want);

    // The controller comes back; closing and reopening the port recovers.
    ComeBack();
    EXPECT_EQ(Op(HUX_OP_CLOSE_COM, nullptr), HUX_OK);
    EXPECT_EQ(context_.port, 0u);
    EXPECT_EQ(Op(HUX_OP_REOPEN_COM, nullptr), HUX_OK);
    EXPECT_NE(context_.port, 0u);
    uint8_t value = 0;
    EXPECT_EQ(TimedRead(&value).result, HUX_OK);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(context_.markerStart, kMarkerStart) << "the marker area is kept";
}

TEST_F(LineAway, WriteFailsFastOnALineThatWentAwayAndReOpenComAloneRecovers) {
    GoAway();
    const Timed timed = TimedWrite(0x77);
    std::printf("write on a line gone away: result %d in %.1f ms, %.2f ms of CPU\n", timed.result,
                timed.wallMs, timed.cpuMs);
    EXPECT_EQ(timed.result, HUX_FAILED);
    EXPECT_LT(timed.wallMs, BoundMs(2));
    EXPECT_LT(timed.cpuMs, 200.0) << "the driver spun for " << timed.cpuMs << " ms of CPU in " << timed.wallMs
                                  << " ms";

    // A read too, with its drain on the dead line.
    const Timed read = TimedRead(nullptr);
    EXPECT_EQ(read.result, HUX_FAILED);
    EXPECT_LT(read.cpuMs, 200.0);

    ComeBack();
    // ReOpenCom opens the port again without closing the dead one first.
    EXPECT_EQ(Op(HUX_OP_REOPEN_COM, nullptr), HUX_OK);
    const Timed again = TimedWrite(0x77);
    EXPECT_EQ(again.result, HUX_OK);
    EXPECT_EQ(sim_->Peek(kMarkerStart + 1, 1), ps4sim::Bytes{0x77});
}

TEST_F(LineAway, ALineThatComesBackBeforeTheRetriesEndStaysDeadUntilReopened) {
    // The old descriptor belongs to the pseudo-terminal that went away: even
    // with a controller back on the new one, the driver's retries fail until
    // the host reopens the port.
    GoAway();
    ComeBack();
    const Timed timed = TimedRead(nullptr);
    EXPECT_EQ(timed.result, HUX_FAILED);
    EXPECT_LT(timed.cpuMs, 200.0);
    EXPECT_EQ(Op(HUX_OP_CLOSE_COM, nullptr), HUX_OK);
    EXPECT_EQ(Op(HUX_OP_REOPEN_COM, nullptr), HUX_OK);
    uint8_t value = 0;
    EXPECT_EQ(TimedRead(&value).result, HUX_OK);
    EXPECT_EQ(value, 0x5A);
}

} // namespace
