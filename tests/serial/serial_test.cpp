// The serial module over the fake device: opening and configuring a device,
// its read timeout, the drain, writes and reads.
#include "driver/serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "tests/fake/fake_device.h"

namespace {

using fake::Bytes;
using fake::Fn;

constexpr LineSettings k9600_8N1{9600, 8, 0, 0};

class Serial : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        dev = &fake::AddDevice("COM1");
    }
    void TearDown() override { fake::Reset(); }

    // Opens COM1 and forgets the calls the open made.
    HANDLE OpenConfigured(uint16_t flags = 0x0303) {
        HANDLE h = nullptr;
        EXPECT_EQ(SerialOpen("COM1", &k9600_8N1, flags, &h), SERIAL_OK);
        fake::ClearCalls();
        return h;
    }

    static std::vector<Fn> Sequence() {
        std::vector<Fn> out;
        for (const fake::Call &c : fake::Calls()) {
            out.push_back(c.fn);
        }
        return out;
    }

    fake::Device *dev = nullptr;
};

TEST_F(Serial, OpenConfiguresTheDeviceInOrder) {
    // Members the module does not own keep the device's values.
    dev->dcb.XonChar = 0x11;
    dev->dcb.XoffLim = 77;
    dev->dcb.fOutX = 1;
    dev->dcb.fAbortOnError = 1;
    dev->dcb.fErrorChar = 1;
    dev->dcb.ErrorChar = '?';
    dev->timeouts = {5, 6, 7, 8, 9};
    const LineSettings settings{19200, 7, 2, 2};
    HANDLE h = nullptr;
    ASSERT_EQ(SerialOpen("COM1", &settings, 0x0303, &h), SERIAL_OK);
    ASSERT_EQ(fake::FindDevice(h), dev);

    EXPECT_EQ(Sequence(), (std::vector<Fn>{Fn::CreateFile, Fn::GetCommState, Fn::SetCommTimeouts,
                                           Fn::SetCommState, Fn::SetupComm}));
    const fake::Call open = fake::CallsOf(Fn::CreateFile)[0];
    EXPECT_EQ(open.name, "COM1");
    EXPECT_EQ(open.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.share, 0u);
    EXPECT_EQ(open.disposition, OPEN_EXISTING);
    EXPECT_EQ(open.flags, 0u);

    const COMMTIMEOUTS t = fake::CallsOf(Fn::SetCommTimeouts)[0].timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

    const DCB d = fake::CallsOf(Fn::SetCommState)[0].dcb;
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 19200u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(static_cast<uint8_t>(d.ErrorChar), 0xFC);
    EXPECT_EQ(d.fErrorChar, 0u);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffLim, 77);
    EXPECT_EQ(d.fOutX, 1u);
    EXPECT_EQ(d.fAbortOnError, 1u);
    EXPECT_EQ(d.fBinary, 1u);

    const fake::Call setup = fake::CallsOf(Fn::SetupComm)[0];
    EXPECT_EQ(setup.inQueue, 1200u);
    EXPECT_EQ(setup.outQueue, 1200u);
}

TEST_F(Serial, OnlyTheLowBytesOfDataBitsStopBitsAndParityCount) {
    const LineSettings settings{65535, 0x1208, 0x0101, 0x0300};
    HANDLE h = nullptr;
    ASSERT_EQ(SerialOpen("COM1", &settings, 0x0004, &h), SERIAL_OK);
    EXPECT_EQ(dev->dcb.BaudRate, 65535u);
    EXPECT_EQ(dev->dcb.ByteSize, 8);
    EXPECT_EQ(dev->dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dev->dcb.Parity, NOPARITY);
}

TEST_F(Serial, ParityOtherThanNoneSetsFParityAndNoneLeavesIt) {
    struct Case {
        uint16_t parity;
        DWORD fParityBefore;
        BYTE parityAfter;
        DWORD fParityAfter;
    };
    const Case cases[] = {
        {0, 0, NOPARITY, 0},   {0, 1, NOPARITY, 1},    {1, 0, ODDPARITY, 1},     {2, 0, EVENPARITY, 1},
        {3, 0, MARKPARITY, 1}, {4, 1, SPACEPARITY, 1}, {0x0200, 1, NOPARITY, 1}, {0x0102, 0, EVENPARITY, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.parity);
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        dev->dcb.fParity = c.fParityBefore;
        dev->dcb.Parity = MARKPARITY;
        const LineSettings settings{9600, 8, 0, c.parity};
        HANDLE h = nullptr;
        ASSERT_EQ(SerialOpen("COM1", &settings, 0x0303, &h), SERIAL_OK);
        EXPECT_EQ(dev->dcb.Parity, c.parityAfter);
        EXPECT_EQ(dev->dcb.fParity, c.fParityAfter);
    }
}

TEST_F(Serial, FlagsWordSelectsTheFirstRowOfEachGroup) {
    struct Case {
        uint16_t flags;
        DWORD dtr, rts, cts, dsr, dsrSens;
    };
    // The device starts with DTR and RTS disabled and no output flow control.
    constexpr DWORD D = DTR_CONTROL_DISABLE, DE = DTR_CONTROL_ENABLE, DH = DTR_CONTROL_HANDSHAKE;
    constexpr DWORD R = RTS_CONTROL_DISABLE, RE = RTS_CONTROL_ENABLE, RH = RTS_CONTROL_HANDSHAKE,
                    RT = RTS_CONTROL_TOGGLE;
    const Case cases[] = {
        {0x0303, DE, RE, 0, 0, 0}, {0x0001, DE, R, 0, 0, 0},  {0x0100, DE, R, 0, 0, 0},
        {0x8000, DH, R, 0, 0, 0},  {0x8101, DE, R, 0, 0, 0},  {0x0002, D, RE, 0, 0, 0},
        {0x0200, D, RE, 0, 0, 0},  {0x1000, D, RH, 0, 0, 0},  {0x2000, D, RT, 0, 0, 0},
        {0x2202, D, RE, 0, 0, 0},  {0x3000, D, RH, 0, 0, 0},  {0x0010, D, R, 1, 0, 0},
        {0x0020, D, R, 0, 1, 0},   {0x4000, D, R, 0, 0, 1},   {0x0030, D, R, 1, 0, 0},
        {0x4020, D, R, 0, 1, 0},   {0x0004, D, R, 0, 0, 0},   {0x0CCC, D, R, 0, 0, 0},
        {0xF333, DE, RE, 1, 0, 0}, {0x9030, DH, RH, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "flags 0x" << c.flags);
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        HANDLE h = nullptr;
        ASSERT_EQ(SerialOpen("COM1", &k9600_8N1, c.flags, &h), SERIAL_OK);
        const DCB d = fake::CallsOf(Fn::SetCommState).at(0).dcb;
        EXPECT_EQ(d.fDtrControl, c.dtr);
        EXPECT_EQ(d.fRtsControl, c.rts);
        EXPECT_EQ(d.fOutxCtsFlow, c.cts);
        EXPECT_EQ(d.fOutxDsrFlow, c.dsr);
        EXPECT_EQ(d.fDsrSensitivity, c.dsrSens);
        // Every flags word other than 0 configures the whole line.
        EXPECT_EQ(d.BaudRate, 9600u);
        EXPECT_EQ(static_cast<uint8_t>(d.ErrorChar), 0xFC);
        EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 1);
        EXPECT_EQ(fake::CountOf(Fn::SetupComm), 1);
    }
}

TEST_F(Serial, FlagsNeverClearWhatTheDeviceHad) {
    dev->dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dev->dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dev->dcb.fOutxCtsFlow = 1;
    dev->dcb.fOutxDsrFlow = 1;
    dev->dcb.fDsrSensitivity = 1;
    HANDLE h = nullptr;
    ASSERT_EQ(SerialOpen("COM1", &k9600_8N1, 0x0004, &h), SERIAL_OK);
    EXPECT_EQ(dev->dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dev->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    ASSERT_EQ(SerialClose(h), SERIAL_OK);

    ASSERT_EQ(SerialOpen("COM1", &k9600_8N1, 0x0313, &h), SERIAL_OK);
    EXPECT_EQ(dev->dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dev->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dev->dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dev->dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dev->dcb.fDsrSensitivity, 1u);
}

TEST_F(Serial, FlagsZeroOpensWithoutConfiguring) {
    dev->dcb.BaudRate = 1200;
    dev->timeouts = {0, 0, 250, 3, 4};
    const DCB before = dev->dcb;
    HANDLE h = nullptr;
    ASSERT_EQ(SerialOpen("COM1", &k9600_8N1, 0, &h), SERIAL_OK);
    EXPECT_NE(fake::FindDevice(h), nullptr);
    EXPECT_EQ(fake::CountOf(Fn::SetCommState), 0);
    EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 0);
    EXPECT_EQ(fake::CountOf(Fn::SetupComm), 0);
    EXPECT_EQ(std::memcmp(&dev->dcb, &before, sizeof(DCB)), 0);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 250u);
}

TEST_F(Serial, FlagsZeroNeverLeavesAReadWithoutBound) {
    // A device that would make a read wait for its bytes for ever gets the
    // one-second read timeout of an open; its write timeouts stay.
    struct Case {
        COMMTIMEOUTS before;
        bool changed;
    };
    const Case cases[] = {
        {{0, 0, 0, 3, 4}, true},
        {{20, 0, 0, 0, 0}, true},
        {{MAXDWORD, 0, 0, 0, 0}, false},
        {{0, 5, 0, 0, 0}, false},
        {{MAXDWORD, MAXDWORD, 100, 0, 0}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before.ReadIntervalTimeout);
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        dev->timeouts = c.before;
        HANDLE h = nullptr;
        ASSERT_EQ(SerialOpen("COM1", &k9600_8N1, 0, &h), SERIAL_OK);
        EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), c.changed ? 1 : 0);
        if (c.changed) {
            EXPECT_EQ(dev->timeouts.ReadIntervalTimeout, 0u);
            EXPECT_EQ(dev->timeouts.ReadTotalTimeoutMultiplier, 0u);
            EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 1000u);
            EXPECT_EQ(dev->timeouts.WriteTotalTimeoutMultiplier, c.before.WriteTotalTimeoutMultiplier);
            EXPECT_EQ(dev->timeouts.WriteTotalTimeoutConstant, c.before.WriteTotalTimeoutConstant);
        }
    }
}

TEST_F(Serial, EveryFailedOpenLeavesNothingOpen) {
    struct Case {
        Fn fails;
        uint16_t flags;
        int32_t result;
        bool createdHandle;
    };
    const Case cases[] = {
        {Fn::CreateFile, 0x0303, SERIAL_OPEN_FAILED, false},
        {Fn::GetCommState, 0x0303, SERIAL_GET_STATE, true},
        {Fn::SetCommTimeouts, 0x0303, SERIAL_OPEN_FAILED, true},
        {Fn::SetCommState, 0x0303, SERIAL_SET_STATE, true},
        {Fn::GetCommState, 0, SERIAL_GET_STATE, true},
        {Fn::SetCommTimeouts, 0, SERIAL_OPEN_FAILED, true}, // device with no read bound
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fails));
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        fake::FailCall(c.fails);
        HANDLE h = nullptr;
        EXPECT_EQ(SerialOpen("COM1", &k9600_8N1, c.flags, &h), c.result);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(dev->open);
        const auto closes = fake::CallsOf(Fn::CloseHandle);
        if (c.createdHandle) {
            ASSERT_EQ(closes.size(), 1u);
            EXPECT_EQ(closes[0].handle, fake::CallsOf(Fn::CreateFile)[0].handle);
            EXPECT_EQ(fake::Calls().back().fn, Fn::CloseHandle);
        } else {
            EXPECT_TRUE(closes.empty());
        }
        EXPECT_EQ(fake::CountOf(Fn::SetupComm), 0);
    }
}

TEST_F(Serial, OpenRefusesUnknownAndBusyDevicesAndPlainFiles) {
    HANDLE h = nullptr;
    EXPECT_EQ(SerialOpen("COM7", &k9600_8N1, 0x0303, &h), SERIAL_OPEN_FAILED);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);

    HANDLE first = OpenConfigured();
    EXPECT_EQ(SerialOpen("COM1", &k9600_8N1, 0x0303, &h), SERIAL_OPEN_FAILED);
    EXPECT_EQ(fake::FindDevice(first), dev) << "the port already open stays open";

    fake::Device &file = fake::AddDevice("file.txt");
    file.isComm = false;
    EXPECT_EQ(SerialOpen("file.txt", &k9600_8N1, 0x0303, &h), SERIAL_GET_STATE);
    EXPECT_FALSE(file.open);
}

TEST_F(Serial, SetupCommFailureIsIgnored) {
    fake::FailCall(Fn::SetupComm);
    HANDLE h = nullptr;
    EXPECT_EQ(SerialOpen("COM1", &k9600_8N1, 0x0303, &h), SERIAL_OK);
    EXPECT_TRUE(dev->open);
}

TEST_F(Serial, Close) {
    HANDLE h = OpenConfigured();
    fake::FailCall(Fn::CloseHandle);
    EXPECT_EQ(SerialClose(h), SERIAL_IO_FAILED);
    EXPECT_TRUE(dev->open);
    EXPECT_EQ(SerialClose(h), SERIAL_OK);
    EXPECT_FALSE(dev->open);
    EXPECT_EQ(SerialClose(h), SERIAL_IO_FAILED);
}

TEST_F(Serial, ReadTimeoutSequenceAfterOpen) {
    HANDLE h = OpenConfigured();
    EXPECT_EQ(SerialSetReadTimeout(h, 100), 100);
    EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 0) << "an equal timeout writes nothing";
    EXPECT_EQ(SerialSetReadTimeout(h, 30), 100);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 300u);
    EXPECT_EQ(SerialSetReadTimeout(h, 30), 30);
    EXPECT_EQ(SerialSetReadTimeout(h, 1), 30);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 10u);
}

TEST_F(Serial, ReadTimeoutKeepsTheOtherFourValues) {
    HANDLE h = OpenConfigured();
    dev->timeouts = {11, 12, 1000, 14, 15};
    EXPECT_EQ(SerialSetReadTimeout(h, 7), 100);
    const COMMTIMEOUTS t = fake::CallsOf(Fn::SetCommTimeouts).at(0).timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 11u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 12u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 70u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 14u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 15u);
}

TEST_F(Serial, ReadTimeoutNeverUnboundedNorOverflowing) {
    struct Case {
        DWORD before;
        int32_t units;
        int32_t result;
        DWORD after;
    };
    const Case cases[] = {
        {1000, 0, 100, 1000},                // 0 would wait for every byte: kept
        {1000, -1, 100, 1000},               // a negative count would wrap: kept
        {1000, INT32_MIN, 100, 1000},        //
        {1000, INT32_MAX, 100, 2147483640u}, // clamped so units x 10 fits
        {1000, 214748365, 100, 2147483640u}, // the first count that would overflow
        {1000, 214748364, 100, 2147483640u}, // the largest that fits
        {9, 5, 0, 50},                       // below 10 ms reads as 0 units
        {0xFFFFFFF6u, 10, 429496728, 100},   // a device constant above 2^31 ms
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.units);
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        HANDLE h = OpenConfigured();
        dev->timeouts.ReadTotalTimeoutConstant = c.before;
        EXPECT_EQ(SerialSetReadTimeout(h, c.units), c.result);
        EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, c.after);
    }
}

TEST_F(Serial, ReadTimeoutAnswersZeroWhenTheTimeoutsCannotBeReadOrWritten) {
    HANDLE h = OpenConfigured();
    fake::FailCall(Fn::GetCommTimeouts);
    EXPECT_EQ(SerialSetReadTimeout(h, 30), 0);
    EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 0);
    fake::FailCall(Fn::SetCommTimeouts);
    EXPECT_EQ(SerialSetReadTimeout(h, 30), 0);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Serial, PurgeWithNothingWaitingOnlyAsks) {
    HANDLE h = OpenConfigured();
    EXPECT_EQ(SerialPurge(h), SERIAL_OK);
    EXPECT_EQ(Sequence(), std::vector<Fn>{Fn::ClearCommError});
}

TEST_F(Serial, PurgeDrainsIn512ByteReadsAndRestoresTheTimeout) {
    struct Case {
        std::vector<size_t> pieces;
        std::vector<DWORD> reads; // bytes each drain read returned
    };
    const Case cases[] = {
        {{1000}, {512, 488}},         {{512}, {512, 0}},   {{1}, {1}},
        {{1536}, {512, 512, 512, 0}}, {{300, 700}, {300}}, // the drain stops at the first short read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pieces.front());
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        HANDLE h = OpenConfigured();
        ASSERT_EQ(SerialSetReadTimeout(h, 25), 100);
        for (size_t n : c.pieces) {
            dev->Queue(Bytes(n, 0xAA));
        }
        fake::ClearCalls();
        EXPECT_EQ(SerialPurge(h), SERIAL_OK);
        const auto reads = fake::CallsOf(Fn::ReadFile);
        ASSERT_EQ(reads.size(), c.reads.size());
        for (size_t i = 0; i < reads.size(); ++i) {
            EXPECT_EQ(reads[i].requested, 512u);
            EXPECT_EQ(reads[i].bytes.size(), c.reads[i]);
        }
        const auto sets = fake::CallsOf(Fn::SetCommTimeouts);
        ASSERT_EQ(sets.size(), 2u);
        EXPECT_EQ(sets[0].timeouts.ReadTotalTimeoutConstant, 50u);
        EXPECT_EQ(sets[1].timeouts.ReadTotalTimeoutConstant, 250u);
        EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 250u);
        // The 50 ms timeout is in force before the first drain read.
        EXPECT_EQ(Sequence().at(3), Fn::ReadFile);
    }
}

TEST_F(Serial, PurgeAfterATimeoutBelowTenMillisecondsLeavesFifty) {
    HANDLE h = OpenConfigured();
    dev->timeouts.ReadTotalTimeoutConstant = 5;
    dev->Queue({1, 2, 3});
    EXPECT_EQ(SerialPurge(h), SERIAL_OK);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 1);
}

TEST_F(Serial, PurgeDrainsWhenTheStatusCannotBeRead) {
    HANDLE h = OpenConfigured();
    fake::FailCall(Fn::ClearCommError);
    EXPECT_EQ(SerialPurge(h), SERIAL_OK);
    EXPECT_EQ(fake::CountOf(Fn::ReadFile), 1);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Serial, PurgeReportsAFailedLastReadAndStillRestoresTheTimeout) {
    HANDLE h = OpenConfigured();
    dev->Queue(Bytes(600, 1));
    fake::FailCall(Fn::ReadFile, 1);
    EXPECT_EQ(SerialPurge(h), SERIAL_OPEN_FAILED);
    EXPECT_EQ(fake::CountOf(Fn::ReadFile), 2);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Serial, PurgeRunsWithTheTimeoutInForceWhenItCannotSetOne) {
    HANDLE h = OpenConfigured();
    dev->Queue({1});
    fake::FailCall(Fn::GetCommTimeouts);
    EXPECT_EQ(SerialPurge(h), SERIAL_OK);
    EXPECT_EQ(fake::CountOf(Fn::ReadFile), 1);
    EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 0);
}

TEST_F(Serial, PurgeOfADeviceThatNeverFallsSilentEnds) {
    HANDLE h = OpenConfigured();
    // Every read finds a full chunk, as from a device streaming faster than
    // the drain reads.
    dev->onWrite = nullptr;
    for (int i = 0; i < 1000; ++i) {
        dev->Queue(Bytes(512, 0x55));
    }
    EXPECT_EQ(SerialPurge(h), SERIAL_OK);
    EXPECT_EQ(fake::CountOf(Fn::ReadFile), 128);
    EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Serial, Write) {
    HANDLE h = OpenConfigured();
    const uint8_t frame[5] = {0x05, 0x01, 0x02, 0x03, 0x04};
    int32_t written = -1;
    EXPECT_EQ(SerialWrite(h, frame, 5, &written), SERIAL_OK);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(dev->written, Bytes(frame, frame + 5));
    EXPECT_EQ(SerialWrite(h, frame, 5, nullptr), SERIAL_OK);

    fake::ShortWrite(2);
    EXPECT_EQ(SerialWrite(h, frame, 5, &written), SERIAL_SHORT_WRITE);
    EXPECT_EQ(written, 2);

    fake::FailCall(Fn::WriteFile);
    written = -1;
    EXPECT_EQ(SerialWrite(h, frame, 5, &written), SERIAL_IO_FAILED);
    EXPECT_EQ(written, -1) << "a failed write leaves the count alone";

    EXPECT_EQ(SerialWrite(h, frame, -1, &written), SERIAL_IO_FAILED);
    EXPECT_EQ(fake::CountOf(Fn::WriteFile), 4) << "a negative count writes nothing";
}

TEST_F(Serial, ReadAssemblesPiecesAndStopsAtTheFirstEmptyRead) {
    struct Case {
        std::vector<Bytes> pieces;
        int32_t count;
        int32_t result;
        int32_t received;
        std::vector<DWORD> requested;
    };
    const Case cases[] = {
        {{{1, 2, 3}, {4, 5, 6, 7, 8}}, 8, SERIAL_OK, 8, {8, 5}},
        {{{1, 2, 3, 4, 5, 6, 7, 8}}, 8, SERIAL_OK, 8, {8}},
        {{{1}, {2}, {3}}, 3, SERIAL_OK, 3, {3, 2, 1}},
        {{{1, 2, 3}}, 8, SERIAL_IO_FAILED, 3, {8, 5}},
        {{}, 8, SERIAL_IO_FAILED, 0, {8}},
        {{{1, 2}, {}, {3, 4, 5, 6, 7, 8}}, 8, SERIAL_IO_FAILED, 2, {8, 6}},
        {{{1, 2, 3, 4, 5, 6, 7, 8, 9}}, 4, SERIAL_OK, 4, {4}}, // the rest stays waiting
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(i);
        fake::Reset();
        dev = &fake::AddDevice("COM1");
        HANDLE h = OpenConfigured();
        for (const Bytes &p : c.pieces) {
            dev->Queue(p);
        }
        uint8_t buffer[16] = {};
        int32_t received = -1;
        EXPECT_EQ(SerialRead(h, buffer, c.count, &received), c.result);
        EXPECT_EQ(received, c.received);
        for (int32_t k = 0; k < c.received; ++k) {
            EXPECT_EQ(buffer[k], k + 1);
        }
        const auto reads = fake::CallsOf(Fn::ReadFile);
        ASSERT_EQ(reads.size(), c.requested.size());
        for (size_t k = 0; k < reads.size(); ++k) {
            EXPECT_EQ(reads[k].requested, c.requested[k]);
        }
    }
}

TEST_F(Serial, ReadFailureKeepsTheCountSoFar) {
    HANDLE h = OpenConfigured();
    dev->Queue({1, 2, 3});
    dev->Queue({4});
    fake::FailCall(Fn::ReadFile, 1);
    uint8_t buffer[8];
    int32_t received = -1;
    EXPECT_EQ(SerialRead(h, buffer, 8, &received), SERIAL_IO_FAILED);
    EXPECT_EQ(received, 3);

    // The byte the failed read left waiting, then nothing.
    EXPECT_EQ(SerialRead(h, buffer, 3, nullptr), SERIAL_IO_FAILED);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(SerialRead(h, buffer, 0, &received), SERIAL_OK);
    EXPECT_EQ(received, 0);
}

TEST_F(Serial, ReadOfTheLargestCountAsksForAllOfIt) {
    HANDLE h = OpenConfigured();
    dev->Queue(Bytes(65535, 0x42));
    std::vector<uint8_t> buffer(65535);
    int32_t received = 0;
    EXPECT_EQ(SerialRead(h, buffer.data(), 65535, &received), SERIAL_OK);
    EXPECT_EQ(received, 65535);
    EXPECT_EQ(fake::CallsOf(Fn::ReadFile).at(0).requested, 65535u);
}

} // namespace
