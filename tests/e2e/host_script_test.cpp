// huxhost end to end: script transcripts against golden files, the demo,
// exit codes and JSON output. Each run is a fresh huxhost process that
// loads the built driver library.
//
// To accept new transcripts after a deliberate change:
//   HUX_UPDATE_GOLDEN=1 ctest -R HostScript
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
};

// Runs huxhost with the built driver; stderr goes to /dev/null unless asked.
Outcome Huxhost(const std::string &args, bool withStderr = false) {
    const std::string command = std::string("'") + HUXHOST + "' --driver '" + HUXDRVR + "' " + args +
                                (withStderr ? " 2>&1" : " 2>/dev/null");
    Outcome run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        run.out.append(buf.data(), n);
    }
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HostScript : public ::testing::TestWithParam<const char *> {};

TEST_P(HostScript, TranscriptMatchesTheGoldenFile) {
    const std::string base = std::string(GOLDEN_DIR) + "/" + GetParam();
    const Outcome run = Huxhost("script '" + base + ".hux'");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    if (std::getenv("HUX_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(base + ".txt", std::ios::binary) << run.out;
        GTEST_SKIP() << "wrote " << base << ".txt";
    }
    EXPECT_EQ(run.out, ReadFile(base + ".txt"));
}

INSTANTIATE_TEST_SUITE_P(Golden, HostScript, ::testing::Values("session", "lifecycle", "faults"));

TEST(HostCli, DemoRunsAlone) {
    const Outcome run = Huxhost("demo");
    EXPECT_EQ(run.exitCode, 0);
    for (const char *expected : {
             "1. Driver information (GetHuxInfo)",
             "result 0: port open, marker area 1000h..1FFFh",
             "MW00040    = 4660 (0x1234)",
             "#10 H>C data 100C..100C [49] -> written | 0C 07 14 01 49 5B",
             "MB00012    = 73 (0x49)",
             "HUXDR> DoRead() error receiving data, retry 1 'MW00040'",
             "HUXDR> EndHux() exited, 0",
         }) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
}

TEST(HostCli, ExitCodesTellWhatWentWrong) {
    struct Case {
        const char *args;
        int exitCode;
        const char *output; // a piece of stdout and stderr
    } cases[] = {
        {"-q read MB00012 MW00040.7", 0, "MW00040.7  = 0 (0x0)"},
        {"-q --sim-poke 1028=34,12 read MW00040", 0, "MW00040    = 4660 (0x1234)"},
        {"-q write MB00012.3=1", 0, "MB00012.3  := 1 (0x1)  ok"},
        // Frames 1 and 2 are the discovery at the cold start; 3 to 8 the read.
        {"-q --timeout 5 --sim-fault 3:drop*6 read MB00012", 1, "MB00012      result 2 (failed)"},
        {"-q --sim-protect 1000-1FFF write MB00001=2", 1, "result 2 (failed)"},
        {"-q read MB4", 2, "the driver refuses the gate 'MB4'"},
        {"-q write MB00012.3=2", 2, "a bit takes 0 or 1"},
        {"-q block-read MB00000 65", 2, "refuses the block"},
        {"read", 2, "huxhost: read GATE..."},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"--port ttyNOPE read MB00012", 3, "cannot open the port 'ttyNOPE'"},
        {"--port ttyNOPE --sim-fault drop read MB00012", 2, "--sim-... options"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome run = Huxhost(c.args, true);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
        EXPECT_NE(run.out.find(c.output), std::string::npos) << run.out;
    }
}

TEST(HostCli, BlocksShowEveryElement) {
    const Outcome w = Huxhost("-q block-write MW00040 0x1234 -1 7");
    EXPECT_EQ(w.exitCode, 0);
    EXPECT_NE(w.out.find("MW00040 x3 := 34 12 FF FF 07 00  ok"), std::string::npos) << w.out;
    const Outcome r = Huxhost("-q --sim-poke 1028=34,12,FF,FF block-read MW00040 2");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "MW00040    = 4660 (0x1234)\nMW00042    = 65535 (0xFFFF)\n");
}

TEST(HostCli, JsonCarriesValuesAndTheDriversLog) {
    const Outcome run = Huxhost("--json --sim-poke 100C=FE --signed read MB00012 MB00012.1");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.find("{\"command\":\"read\",\"ok\":true,"), 0u) << run.out;
    EXPECT_NE(run.out.find("{\"gate\":\"MB00012\",\"result\":0,\"value\":-2,\"hex\":\"0xFE\"}"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("{\"gate\":\"MB00012.1\",\"result\":0,\"value\":1,\"hex\":\"0x1\"}"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("{\"level\":8,\"text\":\"HUXDR> EndHux() exited, 0\"}"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1); // one line
}

TEST(HostCli, PollPrintsOneTablePerRound) {
    const Outcome run = Huxhost("-q --sim-poke 100C=41 poll MB00012 MW00040.7 --interval 10 --count 3");
    EXPECT_EQ(run.exitCode, 0);
    size_t tables = 0;
    for (size_t at = run.out.find("gate       value"); at != std::string::npos;
         at = run.out.find("gate       value", at + 1)) {
        ++tables;
    }
    EXPECT_EQ(tables, 3u) << run.out;
    EXPECT_NE(run.out.find("poll 3 of 3"), std::string::npos);
    EXPECT_NE(run.out.find("MB00012    65 (0x41)        ok"), std::string::npos) << run.out;
}

} // namespace
