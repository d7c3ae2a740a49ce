// hux_soak: the soak as a program, for runs of any length.
//
//   hux_soak --ops 100000 --seed 7
//
// Exit status 0 when no wrong value was delivered, no write was lost, no
// operation overran its time bound and no buffer or result was wrong.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/soak/soak.h"

namespace {

void Usage() {
    std::fprintf(
        stderr,
        "usage: hux_soak [--ops N] [--seed S] [--rate R] [--timeout UNITS] [--max-delay MS]\n"
        "                [--faults KINDS] [--check-every N] [--progress] [--verbose] [--trace]\n"
        "  --ops N          operations to run (default 3000)\n"
        "  --seed S         seed of the operation mix and of the faults (default 1)\n"
        "  --rate R         probability that an answer of the controller gets a fault (default 0.05)\n"
        "  --timeout UNITS  the driver's read timeout in 10 ms units (default 5 = 50 ms)\n"
        "  --max-delay MS   longest delay fault (default 25; above the timeout a delayed answer\n"
        "                   arrives after the driver has given up on it)\n"
        "  --faults KINDS   comma-separated: drop,short,corrupt,lrc,count,nack,noise,delay (default all)\n"
        "  --check-every N  compare the model with the controller's memory every N operations (500)\n"
        "  --progress       a line on stderr every 5%% of the run\n"
        "  --verbose        every finding with the driver's last log lines\n");
}

bool Number(const char *text, double *value) {
    char *end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

} // namespace

int main(int argc, char **argv) {
    soak::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        double v = 0;
        if (arg == "--progress") {
            options.progress = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--faults" && hasValue) {
            std::string error;
            if (!ps4sim::ParseFaultKinds(argv[++i], &options.kinds, &error)) {
                std::fprintf(stderr, "hux_soak: %s\n", error.c_str());
                return 2;
            }
        } else if (hasValue && Number(argv[i + 1], &v) && v >= 0) {
            ++i;
            if (arg == "--ops") {
                options.ops = static_cast<uint64_t>(v);
            } else if (arg == "--seed") {
                options.seed = static_cast<uint64_t>(v);
            } else if (arg == "--rate" && v <= 1) {
                options.rate = v;
            } else if (arg == "--timeout" && v >= 1) {
                options.timeout = static_cast<int32_t>(v);
            } else if (arg == "--max-delay") {
                options.maxDelayMs = static_cast<int>(v);
            } else if (arg == "--check-every") {
                options.checkEvery = static_cast<uint64_t>(v);
            } else {
                Usage();
                return 2;
            }
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    const soak::Report report = soak::Run(options);
    std::fputs(soak::Format(options, report).c_str(), stdout);
    return report.Clean() ? 0 : 1;
}
