// The soak: a seeded random mix of every read and write kind on random gates,
// through HuxMain and the termios layer, against the simulated controller on
// a pseudo-terminal that injects random faults into its answers. The soak
// keeps its own model of the controller's memory and checks every operation.
#ifndef HUX_TESTS_SOAK_SOAK_H
#define HUX_TESTS_SOAK_SOAK_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/protocol.h"

namespace soak {

struct Options {
    uint64_t ops = 3000;
    uint64_t seed = 1;
    double rate = 0.05;                   // probability that an answer gets a fault
    int32_t timeout = 5;                  // the driver's read timeout, 10 ms units
    int maxDelayMs = 25;                  // longest delay fault (within the driver timeout)
    std::vector<ps4sim::FaultKind> kinds; // empty: all kinds
    uint64_t checkEvery = 500;            // compare the model with the controller's memory
    bool progress = false;
    bool verbose = false; // every finding with its details
    bool trace = false;   // every operation on stderr
};

struct Report {
    uint64_t ops = 0;
    std::map<std::string, uint64_t> opsByKind;
    uint64_t results[3] = {0, 0, 0};
    uint64_t refusedOutside = 0; // result 1 for a gate outside the marker area (expected)
    std::map<std::string, uint64_t> faultsByKind;
    uint64_t faults = 0;
    uint64_t wrongValues = 0; // a read returned 0 with a value the memory did not hold
    uint64_t lostWrites = 0;  // writes that returned 0 and whose data the memory does not hold
    uint64_t lostBytes = 0;   // their bytes
    uint64_t strayWrites = 0; // memory changed where no write was made
    uint64_t timeoutsExceeded = 0;
    uint64_t bufferViolations = 0; // a failed operation changed the buffer, or one wrote beyond it
    uint64_t unexpectedResults = 0;
    uint64_t unknownResolved = 0; // bytes a failed write left unknown, learned again
    uint64_t checkpoints = 0;
    double longestMs = 0;
    std::string longestKind;
    double boundOfLongestMs = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::string line;
    std::vector<std::string> findings; // first few, with details
    bool setupFailed = false;

    bool Clean() const {
        return !setupFailed && wrongValues == 0 && lostWrites == 0 && strayWrites == 0 &&
               timeoutsExceeded == 0 && bufferViolations == 0 && unexpectedResults == 0;
    }
};

// Runs the soak; the report says what happened.
Report Run(const Options &options);

// The report as the program prints it.
std::string Format(const Options &options, const Report &report);

} // namespace soak

#endif // HUX_TESTS_SOAK_SOAK_H
