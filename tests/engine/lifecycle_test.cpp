// Connection lifecycle: cold and warm start, close, end, reopen and change
// of parameters; their results, messages and what they leave in the records.
#include <gtest/gtest.h>

#include <regex>

#include "driver/link/link.h"
#include "driver/serial/serial.h"
#include "tests/engine/plc.h"

namespace {

using fake::Bytes;
using fake::Fn;
using plc::EngineTest;
using plc::Fault;

const std::string kOpenOk = "HUXDR> OpenCom() exited OK, file handle ";
const LogLine kOpenError = {32, "HUXDR> OpenCom() exited with error"};

class Lifecycle : public EngineTest {
  protected:
    StartParams start{};
    ChangeParams change{};

    void SetUp() override {
        EngineTest::SetUp();
        std::strcpy(start.name, "COM1");
        start.enabled = 1;
        start.timeout = 50;
        start.settings = LineSettings{19200, 7, 2, 2};
        std::strcpy(context.portParams.name, "OLD");
        context.portParams.settings = LineSettings{1200, 8, 0, 0};
        context.portParams.flags = 0x0000;
        context.timeout = 0x0EEEEEEE;
        context.markerStart = 0x4321;
        context.markerEnd = 0x8765;
    }

    int32_t Call(uint32_t op) {
        DriverRequest r{&context, op, 0, 0, nullptr};
        if (op == HUX_OP_COLD_START) {
            r.data = &start;
        } else if (op == HUX_OP_CHANGE_PARAMS) {
            r.data = &change;
        }
        return HuxMain(&r);
    }

    // The log without its first line, which must be the version message.
    std::vector<LogLine> AfterVersion() {
        std::vector<LogLine> lines = testlog::Lines();
        EXPECT_FALSE(lines.empty());
        if (lines.empty()) {
            return lines;
        }
        EXPECT_EQ(lines[0].level, 8);
        EXPECT_TRUE(std::regex_match(lines[0].text, std::regex("HUXDR> version compiled on [A-Z][a-z][a-z] "
                                                               "[1-9][0-9]? [0-9]{4} at time "
                                                               "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")))
            << lines[0].text;
        lines.erase(lines.begin());
        return lines;
    }

    static std::string Handle(uint32_t port) { return std::to_string(port); }
    const fake::Call *LastOf(Fn fn) {
        const fake::Call *last = nullptr;
        for (const fake::Call &call : fake::Calls()) {
            if (call.fn == fn) {
                last = &call;
            }
        }
        return last;
    }
};

TEST(BuildDate, DayOfTheMonthWithoutPadding) {
    struct Case {
        const char *compiler, *shown;
    };
    const Case cases[] = {{"Jul  3 1997", "Jul 3 1997"},
                          {"Jul 30 1997", "Jul 30 1997"},
                          {"Jan 10 2026", "Jan 10 2026"},
                          {"Dec  1 2030", "Dec 1 2030"},
                          {"??? ?? ????", "??? ?? ????"}};
    for (const Case &c : cases) {
        char out[16];
        FormatBuildDate(c.compiler, out, sizeof out);
        EXPECT_STREQ(out, c.shown);
    }
    char tiny[4];
    FormatBuildDate("Jul  3 1997", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "Jul");
}

TEST(NullDevice, ExactNamesOnly) {
    struct Case {
        const char name[HUX_NAME_SIZE];
        bool null;
    };
    const Case cases[] = {{"NULLDEV", true},   {"NUL", true},       {"nul", false},
                          {"NULL", false},     {"NULLDEV1", false}, {"NUL ", false},
                          {"NULLDEVX", false}, {"", false},         {{'N', 'U', 'L', '\0', 'X', 'Y'}, true}};
    for (const Case &c : cases) {
        EXPECT_EQ(IsNullDevice(c.name), c.null) << c.name;
    }
}

TEST_F(Lifecycle, ColdStartOpensAndDiscovers) {
    ASSERT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
    ASSERT_NE(context.port, 0u);
    const std::string handle = Handle(context.port);
    const std::vector<LogLine> log = {
        {8, kOpenOk + handle},
        {8, "HUXDR> ColdStart() port COM1 opened, file handle " + handle},
        {8, "HUXDR> ReadAddressOffset() Marker area in PLC from 1000h to 1800h"},
        {8, "HUXDR> ColdStart() exited, 0"}};
    EXPECT_EQ(AfterVersion(), log);
    EXPECT_EQ(context.markerStart, 0x1000);
    EXPECT_EQ(context.markerEnd, 0x1800);
    EXPECT_EQ(context.timeout, 50);
    EXPECT_STREQ(context.portParams.name, "COM1");
    EXPECT_EQ(context.portParams.settings.baud, 19200);
    EXPECT_EQ(context.portParams.settings.parity, 2);
    EXPECT_EQ(context.portParams.flags, 0) << "the host's flags stay";

    // Opened with DTR and RTS on whatever the context's flags say, and the
    // read timeout 500 ms.
    const fake::Call *state = LastOf(Fn::SetCommState);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(state->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(state->dcb.BaudRate, 19200u);
    EXPECT_EQ(fake::FindDevice("COM1")->timeouts.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(fake::CallsOf(Fn::CreateFile).at(0).name, "COM1");
}

// Timeouts of 0 or below are stored as given; the port keeps the second
// that the open gave it.
TEST_F(Lifecycle, ColdStartTimeoutZeroOrBelow) {
    for (int32_t timeout : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(timeout);
        fake::Reset();
        device = &fake::AddDevice("COM1");
        plc.Attach(*device);
        start.timeout = timeout;
        ASSERT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
        EXPECT_EQ(context.timeout, timeout);
        EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
        EXPECT_EQ(fake::CountOf(Fn::SetCommTimeouts), 1) << "only the open's";
        EXPECT_EQ(context.markerEnd, 0x1800);
    }
}

TEST_F(Lifecycle, ColdStartLeavesThePortAlone) {
    start.enabled = 0;
    const PortParams before = context.portParams;
    context.port = 0x1234; // taken as new: not looked at
    ASSERT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
    EXPECT_EQ(AfterVersion(), (std::vector<LogLine>{{8, "HUXDR> ColdStart() exited, 0"}}));
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(context.markerEnd, 0);
    EXPECT_EQ(context.timeout, 50);
    EXPECT_EQ(std::memcmp(&context.portParams, &before, sizeof before), 0);
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(Lifecycle, ColdStartNullDevices) {
    for (const char *name : {"NULLDEV", "NUL"}) {
        SCOPED_TRACE(name);
        testlog::Clear();
        std::memset(start.name, 0, sizeof start.name);
        std::strcpy(start.name, name);
        ASSERT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
        EXPECT_EQ(AfterVersion(), (std::vector<LogLine>{{8, "HUXDR> ColdStart() NULLDEV => no communication"},
                                                        {8, "HUXDR> ColdStart() exited, 0"}}));
        EXPECT_EQ(context.port, 0u);
        EXPECT_EQ(context.markerEnd, 0);
        EXPECT_STREQ(context.portParams.name, name);
        EXPECT_EQ(context.portParams.settings.baud, 19200);
        EXPECT_TRUE(fake::Calls().empty());

        testlog::Clear();
        EXPECT_EQ(Call(HUX_OP_REOPEN_COM), HUX_OK);
        EXPECT_EQ(testlog::Lines(),
                  (std::vector<LogLine>{{8, "HUXDR> ReOpenCom() NULLDEV => no communications"},
                                        {8, "HUXDR> ReOpenCom() exited 0"}}));
        EXPECT_EQ(context.port, 0u);

        Gate("MB00012");
        request.op = HUX_OP_SINGLE_READ;
        EXPECT_EQ(HuxMain(&request), HUX_REFUSED) << "no port to read from";
    }
}

// Names close to the null-device names are devices; one that cannot be
// opened refuses the cold start.
TEST_F(Lifecycle, ColdStartCannotOpen) {
    for (const char *name : {"nul", "NULLDEV1", "NULL", "NUL ", "COM9"}) {
        SCOPED_TRACE(name);
        testlog::Clear();
        fake::ClearCalls();
        const PortParams before = context.portParams;
        std::memset(start.name, 0, sizeof start.name);
        std::strcpy(start.name, name);
        context.port = 0x77;
        EXPECT_EQ(Call(HUX_OP_COLD_START), HUX_REFUSED);
        EXPECT_EQ(AfterVersion(),
                  (std::vector<LogLine>{
                      kOpenError, {8, "HUXDR> ColdStart() unable to open " + std::string(name) + " port"}}));
        EXPECT_EQ(fake::CallsOf(Fn::CreateFile).at(0).name, name);
        EXPECT_EQ(context.port, 0u);
        EXPECT_EQ(context.markerEnd, 0);
        EXPECT_EQ(context.timeout, 50);
        EXPECT_EQ(std::memcmp(&context.portParams, &before, sizeof before), 0);
    }
}

// A second cold start takes the context as new: the port it held is
// neither looked at nor closed, so the device is still held.
TEST_F(Lifecycle, ColdStartTakesTheContextAsNew) {
    Open();
    EXPECT_EQ(Call(HUX_OP_COLD_START), HUX_REFUSED);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(context.markerEnd, 0);
    EXPECT_EQ(fake::CountOf(Fn::CloseHandle), 0);
    EXPECT_TRUE(device->open);
}

TEST_F(Lifecycle, ColdStartDiscoveryFails) {
    plc.Fail(Fault::Silent);
    ASSERT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
    const std::string handle = Handle(context.port);
    EXPECT_EQ(AfterVersion(),
              (std::vector<LogLine>{{8, kOpenOk + handle},
                                    {8, "HUXDR> ColdStart() port COM1 opened, file handle " + handle},
                                    {8, "HUXDR> ColdStart() reading start addr from PLC failed"},
                                    {8, "HUXDR> ColdStart() exited, 0"}}));
    EXPECT_NE(context.port, 0u);
    EXPECT_EQ(context.markerEnd, 0);
    EXPECT_STREQ(context.portParams.name, "COM1");

    // The next read discovers first.
    testlog::Clear();
    Gate("MB00012");
    request.op = HUX_OP_SINGLE_READ;
    EXPECT_EQ(HuxMain(&request), HUX_OK);
    EXPECT_EQ(context.markerEnd, 0x1800);
}

// A name field without a terminator is never read past its 12 bytes: the
// device cannot be opened, and the name is quoted cut to 12 characters.
TEST_F(Lifecycle, UnterminatedNames) {
    std::memcpy(start.name, "COM1COM1COM1", 12);
    start.enabled = 0x41414141; // the bytes behind the name are not text
    fake::AddDevice("COM1COM1COM1");
    EXPECT_EQ(Call(HUX_OP_COLD_START), HUX_REFUSED);
    EXPECT_EQ(AfterVersion(),
              (std::vector<LogLine>{kOpenError, {8, "HUXDR> ColdStart() unable to open COM1COM1COM1 port"}}));
    EXPECT_EQ(fake::CountOf(Fn::CreateFile), 0);
    EXPECT_STREQ(context.portParams.name, "OLD");

    testlog::Clear();
    std::memcpy(change.name, "NULLDEVNULLD", 12);
    change.timeout = 0x41414141;
    EXPECT_EQ(Call(HUX_OP_CHANGE_PARAMS), HUX_FAILED);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{kOpenError, {8, "HUXDR> ChangeHuxParams() exited 2"}}));
    EXPECT_EQ(std::memcmp(context.portParams.name, "NULLDEVNULLD", 12), 0);
    EXPECT_EQ(context.portParams.flags, 0) << "the copy stays within the name";

    testlog::Clear();
    EXPECT_EQ(Call(HUX_OP_REOPEN_COM), HUX_FAILED);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{kOpenError, {32, "HUXDR> ReOpenCom() exited 2"}}));
    EXPECT_EQ(fake::CountOf(Fn::CreateFile), 0);
}

TEST_F(Lifecycle, WarmStart) {
    EXPECT_EQ(Call(HUX_OP_WARM_START), HUX_OK);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, "HUXDR> WarmStart() exited, 0"}}));
    EXPECT_TRUE(fake::Calls().empty());

    Open();
    device->Queue(Bytes(700, 0x55));
    EXPECT_EQ(Call(HUX_OP_WARM_START), HUX_OK);
    EXPECT_EQ(device->Waiting(), 0u);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, "HUXDR> WarmStart() exited, 0"}}));
    EXPECT_EQ(context.markerEnd, 0x1800);
}

TEST_F(Lifecycle, CloseCom) {
    EXPECT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, "HUXDR> CloseCom() exited 0"}}));
    EXPECT_TRUE(fake::Calls().empty());

    Open();
    const uint32_t port = context.port;
    fake::FailCall(Fn::CloseHandle);
    EXPECT_EQ(Call(HUX_OP_CLOSE_COM), HUX_FAILED);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, "HUXDR> CloseCom() exited 2"}}));
    EXPECT_EQ(context.port, port);

    testlog::Clear();
    EXPECT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, "HUXDR> CloseCom() exited 0"}}));
    EXPECT_EQ(context.port, 0u);
    EXPECT_FALSE(device->open);
    EXPECT_EQ(context.markerStart, 0x1000);
    EXPECT_EQ(context.markerEnd, 0x1800);
}

TEST_F(Lifecycle, EndHux) {
    struct Case {
        bool open, closeFails;
        int32_t result;
    };
    const Case cases[] = {{false, false, HUX_OK}, {true, false, HUX_OK}, {true, true, HUX_FAILED}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.open) + std::to_string(c.closeFails));
        ended = 0;
        fake::Reset();
        device = &fake::AddDevice("COM1");
        plc.Attach(*device);
        context.port = 0;
        if (c.open) {
            Open();
        }
        testlog::Clear();
        if (c.closeFails) {
            fake::FailCall(Fn::CloseHandle);
        }
        EXPECT_EQ(Call(HUX_OP_END), c.result);
        EXPECT_EQ(ended, 1);
        const std::string closeLine =
            c.result == HUX_OK ? "HUXDR> CloseCom() exited 0" : "HUXDR> CloseCom() exited 2";
        EXPECT_EQ(testlog::Lines(),
                  (std::vector<LogLine>{{8, closeLine},
                                        {8, "HUXDR> EndHux() exited, " + std::to_string(c.result)}}));
        EXPECT_EQ(device->open, c.closeFails);

        // Ended: every request answers 0 and does nothing, a cold start included.
        testlog::Clear();
        fake::ClearCalls();
        const ComContext before = context;
        EXPECT_EQ(Call(HUX_OP_COLD_START), HUX_OK);
        EXPECT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
        EXPECT_EQ(Call(99), HUX_OK);
        EXPECT_EQ(ended, 1);
        EXPECT_EQ(std::memcmp(&context, &before, sizeof before), 0);
        EXPECT_TRUE(testlog::Lines().empty());
        EXPECT_TRUE(fake::Calls().empty());
    }
}

TEST_F(Lifecycle, ReOpenCom) {
    Open(30);
    std::strcpy(context.portParams.name, "COM1");
    context.portParams.flags = 0x0303;
    const uint32_t first = context.port;

    // Still open: the second open of the same device fails; the port stays.
    EXPECT_EQ(Call(HUX_OP_REOPEN_COM), HUX_FAILED);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{kOpenError, {32, "HUXDR> ReOpenCom() exited 2"}}));
    EXPECT_EQ(context.port, first);
    EXPECT_EQ(fake::CountOf(Fn::CloseHandle), 0);

    // After a close it opens again with the context's flags and timeout.
    ASSERT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
    testlog::Clear();
    fake::ClearCalls();
    context.timeout = 25;
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM), HUX_OK);
    ASSERT_NE(context.port, 0u);
    EXPECT_EQ(testlog::Lines(), (std::vector<LogLine>{{8, kOpenOk + Handle(context.port)},
                                                      {8, "HUXDR> ReOpenCom() exited 0"}}));
    EXPECT_EQ(fake::CountOf(Fn::SetCommState), 1);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(context.markerStart, 0x1000);
    EXPECT_EQ(context.markerEnd, 0x1800);
    EXPECT_TRUE(plc.frames.empty()) << "no discovery";

    // Flags 0: opened without any line configuration, then only the timeout.
    ASSERT_EQ(Call(HUX_OP_CLOSE_COM), HUX_OK);
    fake::ClearCalls();
    context.portParams.flags = 0;
    ASSERT_EQ(Call(HUX_OP_REOPEN_COM), HUX_OK);
    EXPECT_EQ(fake::CountOf(Fn::SetCommState), 0);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 250u);
}

TEST_F(Lifecycle, ChangeHuxParams) {
    fake::Device &other = fake::AddDevice("COM2");
    plc.Attach(other);
    struct Case {
        const char *what;
        bool openFirst;
        const char *name;
        int32_t timeout;
        uint16_t baud;
        int32_t result;
        const char *portName; // device open afterwards, or null
        std::vector<LogLine> log;
    };
    const std::string none;
    const Case cases[] = {
        {"same name while open",
         true,
         "COM1",
         -1,
         0,
         HUX_FAILED,
         "COM1",
         {kOpenError, {8, "HUXDR> ChangeHuxParams() exited 2"}}},
        {"new name while open",
         true,
         "COM2",
         0,
         0,
         HUX_OK,
         "COM2",
         {{8, "HUXDR> CloseCom() exited 0"}, {8, kOpenOk + "#"}}},
        {"new name and settings",
         true,
         "COM2",
         50,
         4800,
         HUX_OK,
         "COM2",
         {{8, "HUXDR> CloseCom() exited 0"}, {8, kOpenOk + "#"}}},
        {"null device while open",
         true,
         "NUL",
         50,
         0,
         HUX_OK,
         nullptr,
         {{8, "HUXDR> CloseCom() exited 0"}, {8, "HUXDR> ChangeHuxParams() NULLDEV => no communications"}}},
        {"no port, device missing",
         false,
         "COM7",
         70,
         0,
         HUX_FAILED,
         nullptr,
         {kOpenError, {8, "HUXDR> ChangeHuxParams() exited 2"}}},
        {"no port, open", false, "COM1", 0, 2400, HUX_OK, "COM1", {{8, kOpenOk + "#"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *name : {"COM1", "COM2"}) {
            fake::Device *dev = fake::FindDevice(std::string(name));
            if (dev->open) {
                CloseHandle(dev->handle);
            }
        }
        context.port = 0;
        if (c.openFirst) {
            Open(30); // COM1, 9600 baud, timeout 30
        }
        std::strcpy(context.portParams.name, "COM1");
        context.portParams.settings = LineSettings{9600, 8, 0, 0};
        context.portParams.flags = 0x0303;
        context.timeout = 30;
        context.markerStart = 0x4321;
        context.markerEnd = 0x8765;
        const uint32_t before = context.port;
        testlog::Clear();
        fake::ClearCalls();

        std::memset(&change, 0, sizeof change);
        std::strcpy(change.name, c.name);
        change.timeout = c.timeout;
        change.settings = LineSettings{c.baud, 7, 0, 1};
        EXPECT_EQ(Call(HUX_OP_CHANGE_PARAMS), c.result);

        std::vector<LogLine> log = c.log;
        for (LogLine &line : log) {
            if (line.text == kOpenOk + "#") {
                line.text = kOpenOk + Handle(context.port);
            }
        }
        EXPECT_EQ(testlog::Lines(), log);
        EXPECT_STREQ(context.portParams.name, c.name) << "the name is always taken";
        EXPECT_EQ(context.portParams.settings.baud, c.baud != 0 ? c.baud : 9600);
        EXPECT_EQ(context.portParams.settings.parity, c.baud != 0 ? 1 : 0);
        const int32_t timeout = (c.timeout == 0 || c.timeout == -1) ? 30 : c.timeout;
        EXPECT_EQ(context.timeout, timeout);
        EXPECT_EQ(context.portParams.flags, 0x0303);
        EXPECT_EQ(context.markerStart, 0x4321);
        EXPECT_EQ(context.markerEnd, 0x8765);
        if (c.portName == nullptr) {
            EXPECT_EQ(context.port, c.openFirst && c.result != HUX_OK ? before : 0u);
            continue;
        }
        fake::Device *dev = fake::FindDevice(std::string(c.portName));
        ASSERT_TRUE(dev->open);
        EXPECT_EQ(context.port, PortFromHandle(dev->handle));
        if (std::string(c.what) == "same name while open") {
            EXPECT_EQ(context.port, before);
            EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 300u) << "the held port keeps its timeout";
            continue;
        }
        EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, static_cast<DWORD>(timeout) * 10);
        EXPECT_EQ(dev->dcb.BaudRate, c.baud != 0 ? c.baud : 9600u);
    }
}

} // namespace
