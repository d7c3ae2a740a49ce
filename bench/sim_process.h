// The simulated controller in a process of its own, serving one
// pseudo-terminal, as a real controller is a separate machine.
#ifndef HUX_BENCH_SIM_PROCESS_H
#define HUX_BENCH_SIM_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/simulator.h"

namespace bench {

struct SimProcess {
    std::unique_ptr<ps4sim::Simulator> sim; // the parent's copy: stops the child
    pid_t pid = -1;
    std::string driverName; // the name to give ColdStart
};

// baud 0: no pacing.
bool StartSim(SimProcess *process, uint32_t baud, std::string *error);
void StopSim(SimProcess *process);

} // namespace bench

#endif // HUX_BENCH_SIM_PROCESS_H
