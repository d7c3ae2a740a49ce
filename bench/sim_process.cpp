#include "bench/sim_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "bench/pty_line.h"
#include "sim/simulator.h"

namespace bench {

bool StartSim(SimProcess *process, uint32_t baud, std::string *error) {
    ps4sim::Config config;
    config.pace = baud != 0;
    config.baud = baud == 0 ? 9600 : baud;
    process->sim = std::make_unique<ps4sim::Simulator>(config);
    if (!process->sim->OpenPty(error)) {
        process->sim.reset();
        return false;
    }
    process->driverName = process->sim->DriverName();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = "fork failed";
        process->sim.reset();
        return false;
    }
    if (pid == 0) {
        process->sim->Serve();
        _exit(0);
    }
    process->pid = pid;
    return true;
}

void StopSim(SimProcess *process) {
    if (process->pid > 0) {
        // The stop pipe is shared with the child: this ends its serving loop.
        process->sim->RequestStop();
        int status = 0;
        while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
        }
        process->pid = -1;
    }
    process->sim.reset();
}

} // namespace bench
