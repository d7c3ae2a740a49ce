// The fake device keeps the contract the unit tests rely on.
#include "tests/fake/fake_device.h"

#include <gtest/gtest.h>

#include "driver/serial/serial.h"

namespace {

class FakeDevice : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override { fake::Reset(); }

    static HANDLE Open(const char *name) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
};

TEST_F(FakeDevice, OpensKnownNamesOnlyOnceWithNonZero32BitHandles) {
    fake::AddDevice("COM1");
    fake::AddDevice("COM2");
    EXPECT_EQ(Open("COM9"), INVALID_HANDLE_VALUE);
    HANDLE a = Open("COM1");
    HANDLE b = Open("COM2");
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    for (HANDLE h : {a, b}) {
        EXPECT_NE(PortFromHandle(h), 0u);
        EXPECT_EQ(HandleFromPort(PortFromHandle(h)), h);
    }
    EXPECT_EQ(Open("COM1"), INVALID_HANDLE_VALUE) << "a device already open";
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_FALSE(CloseHandle(a)) << "a closed handle";
    HANDLE again = Open("COM1");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);

    auto opens = fake::CallsOf(fake::Fn::CreateFile);
    ASSERT_EQ(opens.size(), 5u);
    EXPECT_EQ(opens[0].name, "COM9");
    EXPECT_FALSE(opens[0].ok);
    EXPECT_EQ(opens[1].handle, a);
    EXPECT_EQ(opens[1].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(opens[1].disposition, OPEN_EXISTING);
}

TEST_F(FakeDevice, ReadTakesFromTheFrontPieceOnly) {
    fake::Device &dev = fake::AddDevice("COM1");
    dev.Queue({1, 2, 3});
    dev.Queue({});
    dev.Queue({4, 5});
    HANDLE h = Open("COM1");
    DWORD errors = 9;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);

    uint8_t buf[8] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(h, buf, 2, &got, nullptr));
    EXPECT_EQ(got, 2u);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 3);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr)); // the empty piece: a timeout
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 2u);
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr)); // nothing waiting
    EXPECT_EQ(got, 0u);

    auto reads = fake::CallsOf(fake::Fn::ReadFile);
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[0].requested, 2u);
    EXPECT_EQ(reads[0].bytes, (fake::Bytes{1, 2}));
    EXPECT_EQ(reads[3].bytes, (fake::Bytes{4, 5}));
}

TEST_F(FakeDevice, ScriptedControllerAnswersWritesAndShortWriteFallsShortOnce) {
    fake::Device &dev = fake::AddDevice("COM1");
    dev.onWrite = [](fake::Device &d, const fake::Bytes &in) { d.Queue({static_cast<uint8_t>(in.size())}); };
    HANDLE h = Open("COM1");
    const uint8_t out[4] = {9, 8, 7, 6};
    DWORD n = 0;
    fake::ShortWrite(3);
    ASSERT_TRUE(WriteFile(h, out, 4, &n, nullptr));
    EXPECT_EQ(n, 3u);
    ASSERT_TRUE(WriteFile(h, out, 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(dev.written, (fake::Bytes{9, 8, 7, 9, 8, 7, 6}));
    ASSERT_EQ(dev.pieces.size(), 2u);
    EXPECT_EQ(dev.pieces[0], fake::Bytes{3});
    EXPECT_EQ(dev.pieces[1], fake::Bytes{4});
}

TEST_F(FakeDevice, FailCallFailsTheChosenCallOnly) {
    fake::Device &dev = fake::AddDevice("COM1");
    dev.Queue({1, 2, 3, 4});
    HANDLE h = Open("COM1");
    fake::FailCall(fake::Fn::ReadFile, 1);
    fake::FailCall(fake::Fn::WriteFile);
    uint8_t buf[4];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf, 1, &got, nullptr));
    EXPECT_FALSE(ReadFile(h, buf, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(ReadFile(h, buf, 1, &got, nullptr));
    EXPECT_EQ(buf[0], 2) << "a failed read consumes nothing";
    EXPECT_FALSE(WriteFile(h, buf, 1, &got, nullptr));
    EXPECT_TRUE(dev.written.empty());
    EXPECT_TRUE(WriteFile(h, buf, 1, &got, nullptr));

    fake::FailCall(fake::Fn::CreateFile);
    fake::FailCall(fake::Fn::CloseHandle);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_TRUE(dev.open) << "a failed close leaves the device open";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Open("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_NE(Open("COM1"), INVALID_HANDLE_VALUE);
}

TEST_F(FakeDevice, StateAndTimeoutsLiveInTheDevice) {
    fake::Device &dev = fake::AddDevice("COM1");
    fake::Device &file = fake::AddDevice("plain");
    file.isComm = false;
    HANDLE h = Open("COM1");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(dev.dcb.BaudRate, 19200u);
    COMMTIMEOUTS t{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(fake::CallsOf(fake::Fn::SetCommTimeouts)[0].timeouts.WriteTotalTimeoutConstant, 5u);
    EXPECT_TRUE(SetupComm(h, 1200, 1200));
    EXPECT_EQ(fake::CallsOf(fake::Fn::SetupComm)[0].inQueue, 1200u);

    HANDLE p = Open("plain");
    ASSERT_NE(p, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetCommState(p, &dcb));
    EXPECT_EQ(fake::CountOf(fake::Fn::GetCommState), 2);
    fake::ClearCalls();
    EXPECT_TRUE(fake::Calls().empty());
}

} // namespace
