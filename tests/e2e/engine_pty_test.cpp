// The whole driver through HuxMain over a real pseudo-terminal, with a
// scripted controller serving the master side from a thread.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver/host/huxdrvr.h"
#include "driver/host/ops.h"
#include "tests/support/test_log.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Lrc(const Bytes &bytes, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) {
        x ^= bytes[i];
    }
    return x;
}

// The controller: marker area 0x2000 to 0x27FF, answers read requests,
// write requests and data frames as they arrive on the master side.
class PtyController {
  public:
    void Poke(uint16_t address, uint8_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        memory_[address] = value;
    }
    Bytes Peek(uint16_t address, size_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        return Bytes(memory_.begin() + address, memory_.begin() + address + static_cast<std::ptrdiff_t>(n));
    }

    bool Start() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            return false;
        }
        const char *slave = ptsname(master_);
        if (slave == nullptr || std::strncmp(slave, "/dev/", 5) != 0) {
            return false;
        }
        name_ = slave + 5; // "pts/N": the driver opens names relative to /dev
        // Hold the slave open so that the terminal does not hang up while the
        // driver has it closed.
        holder_ = open(slave, O_RDWR | O_NOCTTY);
        if (holder_ < 0) {
            return false;
        }
        memory_[0x40] = 0x20; // marker area start 0x2000
        memory_[0x41] = 0x00;
        memory_[0x4A] = 0x28; // end bound 0x2800: last address 0x27FE
        memory_[0x4B] = 0x00;
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (holder_ >= 0) {
            close(holder_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    const std::string &Name() const { return name_; }

    std::vector<Bytes> Frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    void ClearFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }
    // The next n frames get no answer at all.
    void Ignore(int n) { ignore_ = n; }

  private:
    int master_ = -1;
    int holder_ = -1;
    std::string name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> ignore_{0};
    std::mutex mutex_; // guards memory_ and frames_
    std::array<uint8_t, 0x10000> memory_{};
    std::vector<Bytes> frames_;
    Bytes input_;
    bool writeAllowed_ = false;
    uint16_t writeFirst_ = 0;

    void Serve() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) {
                continue;
            }
            uint8_t chunk[256];
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                continue;
            }
            input_.insert(input_.end(), chunk, chunk + n);
            while (TakeFrame()) {
            }
        }
    }

    // Takes one complete frame off the input and answers it.
    bool TakeFrame() {
        while (!input_.empty() && input_[0] != 0x0C) {
            input_.erase(input_.begin());
        }
        if (input_.size() < 4) {
            return false;
        }
        const size_t length = input_[2] == 0x14 ? 5u + input_[3] : 8u;
        if (input_.size() < length) {
            return false;
        }
        const Bytes frame(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
        if (ignore_ > 0) {
            --ignore_;
            return true;
        }
        if (Lrc(frame, 1, length - 1) != frame.back()) {
            Answer({0x15});
            return true;
        }
        // Requests carry the range: first and last address, high byte first.
        const uint16_t first = length == 8 ? static_cast<uint16_t>(frame[3] << 8 | frame[4]) : 0;
        const uint16_t last = length == 8 ? static_cast<uint16_t>(frame[5] << 8 | frame[6]) : 0;
        switch (frame[2]) {
        case 0x82: {
            Bytes reply = {0x0C, 0x07, 0x14, static_cast<uint8_t>(last - first + 1)};
            reply.insert(reply.end(), memory_.begin() + first, memory_.begin() + last + 1);
            reply.push_back(Lrc(reply, 1, reply.size()));
            Answer(reply);
            break;
        }
        case 0x83:
            writeAllowed_ = true;
            writeFirst_ = first;
            Answer({0x06});
            break;
        case 0x14:
            if (!writeAllowed_) {
                Answer({0x15});
                break;
            }
            for (size_t i = 0; i < frame[3]; ++i) {
                memory_[(writeFirst_ + i) & 0xFFFF] = frame[4 + i];
            }
            writeAllowed_ = false;
            Answer({0x06});
            break;
        default:
            Answer({0x15});
        }
        return true;
    }

    void Answer(const Bytes &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
};

class EnginePty : public ::testing::Test {
  protected:
    PtyController plc;
    ComContext context{};
    uint8_t values[80] = {};
    GateTransfer transfer{};

    void SetUp() override {
        ended = 0;
        testlog::Clear();
        ASSERT_TRUE(plc.Start()) << "no pseudo-terminal";
        ASSERT_LT(plc.Name().size(), 12u);
    }
    void TearDown() override {
        if (context.port != 0 && ended == 0) {
            DriverRequest close{&context, HUX_OP_CLOSE_COM, 0, 0, nullptr};
            HuxMain(&close);
        }
        plc.Stop();
        ended = 0;
    }

    int32_t Call(uint32_t op, void *data = nullptr) {
        DriverRequest request{&context, op, 0, 0, data};
        return HuxMain(&request);
    }
    int32_t Transfer(uint32_t op, const char *text, int32_t area, int32_t index, int32_t bit, int32_t count) {
        transfer.address = text;
        transfer.gateAddr = GateAddr{0, area, index, bit, area == 'W' ? 16 : 8};
        transfer.count = count;
        transfer.values = values;
        return Call(op, &transfer);
    }
    uint16_t SingleValue() const { return static_cast<uint16_t>(values[2] | values[3] << 8); }
};

TEST_F(EnginePty, WholeDriverOverALine) {
    // Cold start: open, discovery.
    StartParams start{};
    std::strcpy(start.name, plc.Name().c_str());
    start.enabled = 1;
    start.timeout = 100; // one second
    start.settings = LineSettings{9600, 8, 0, 0};
    ASSERT_EQ(Call(HUX_OP_COLD_START, &start), HUX_OK);
    ASSERT_NE(context.port, 0u);
    EXPECT_EQ(context.markerStart, 0x2000);
    EXPECT_EQ(context.markerEnd, 0x27FE);
    const std::vector<std::string> texts = testlog::Texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[2], "HUXDR> ColdStart() port " + plc.Name() + " opened, file handle " +
                            std::to_string(context.port));
    EXPECT_EQ(texts[3], "HUXDR> ReadAddressOffset() Marker area in PLC from 2000h to 27feh");
    EXPECT_EQ(texts[4], "HUXDR> ColdStart() exited, 0");

    // A word read.
    testlog::Clear();
    plc.Poke(0x2028, 0x34);
    plc.Poke(0x2029, 0x12);
    ASSERT_EQ(Transfer(HUX_OP_SINGLE_READ, "MW00040", 'W', 20, -1, 1), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x1234);

    // A bit write: read, change, write back.
    plc.ClearFrames();
    plc.Poke(0x200C, 0x41);
    values[2] = 1;
    values[3] = 0;
    ASSERT_EQ(Transfer(HUX_OP_SINGLE_WRITE, "MB00012.3", 'B', 12, 3, 1), HUX_OK);
    EXPECT_EQ(plc.Peek(0x200C, 1), Bytes{0x49});
    EXPECT_EQ(SingleValue(), 1);
    EXPECT_EQ(transfer.gateAddr.bit, 3);
    EXPECT_EQ(plc.Frames(), (std::vector<Bytes>{{0x0C, 0x07, 0x82, 0x20, 0x0C, 0x20, 0x0C, 0x85},
                                                {0x0C, 0x07, 0x83, 0x20, 0x0C, 0x20, 0x0C, 0x84},
                                                {0x0C, 0x07, 0x14, 0x01, 0x49, 0x5B}}));

    // A block write of 64 bytes and the block read back.
    for (int i = 0; i < 64; ++i) {
        values[i] = static_cast<uint8_t>(i * 3 + 1);
    }
    ASSERT_EQ(Transfer(HUX_OP_BLOCK_WRITE, "MB00100", 'B', 100, -1, 64), HUX_OK);
    EXPECT_EQ(plc.Peek(0x2064, 64), Bytes(values, values + 64));
    const Bytes written(values, values + 64);
    std::memset(values, 0, sizeof values);
    ASSERT_EQ(Transfer(HUX_OP_BLOCK_READ, "MW00100", 'W', 50, -1, 32), HUX_OK);
    EXPECT_EQ(Bytes(values, values + 64), written);
    EXPECT_EQ(values[64], 0);
    EXPECT_TRUE(testlog::Lines().empty());

    // An unanswered request: the read gives up after the timeout (a second),
    // drains the line and asks again.
    plc.Ignore(1);
    ASSERT_EQ(Transfer(HUX_OP_SINGLE_READ, "MB00012", 'B', 12, -1, 1), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x49);
    EXPECT_EQ(testlog::Texts(),
              std::vector<std::string>{"HUXDR> DoRead() error receiving data, retry 1 'MB00012'"});

    // Close, reopen with the context's flags, read again.
    testlog::Clear();
    ASSERT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(Transfer(HUX_OP_SINGLE_READ, "MB00012", 'B', 12, -1, 1), HUX_REFUSED);
    context.portParams.flags = 0x0303;
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM), HUX_OK);
    ASSERT_NE(context.port, 0u);
    EXPECT_EQ(Call(HUX_OP_REOPEN_COM), HUX_FAILED) << "the device is held for exclusive use";
    plc.Poke(0x200C, 0x7E);
    ASSERT_EQ(Transfer(HUX_OP_SINGLE_READ, "MB00012", 'B', 12, -1, 1), HUX_OK);
    EXPECT_EQ(SingleValue(), 0x7E);

    // End: the port is closed and every request answers 0.
    testlog::Clear();
    ASSERT_EQ(Call(HUX_OP_END), HUX_OK);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(testlog::Texts(),
              (std::vector<std::string>{"HUXDR> CloseCom() exited 0", "HUXDR> EndHux() exited, 0"}));
    plc.ClearFrames();
    EXPECT_EQ(Transfer(HUX_OP_SINGLE_READ, "MB00012", 'B', 12, -1, 1), HUX_OK);
    EXPECT_EQ(Call(HUX_OP_COLD_START, &start), HUX_OK);
    EXPECT_EQ(context.port, 0u);
    EXPECT_TRUE(plc.Frames().empty());
}

} // namespace
