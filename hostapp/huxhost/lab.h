// The embedded simulated controllers: huxhost starts one on a
// pseudo-terminal when no --port is given (and a second one when a script
// moves to $PORT2). Not available on Windows, where --port is required.
#ifndef HUXHOST_LAB_H
#define HUXHOST_LAB_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ps4sim {
class Simulator;
}

namespace hh {

struct SimOptions {
    std::vector<std::string> faults; // fault specs, as ps4sim --fault
    double randomRate = 0;
    uint64_t seed = 1;
    bool pace = false;
    uint32_t baud = 9600;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> pokes;
    std::vector<std::pair<uint16_t, uint16_t>> protect;
    std::string trace; // "", "-" (stderr) or a file
};

class Lab {
  public:
    Lab();
    ~Lab();
    static bool Available();

    // Starts simulator `which` (0 or 1) and returns the name the driver opens.
    bool Start(int which, const SimOptions &options, std::string *driverName, std::string *error);
    bool Running(int which) const;
    const std::string &DriverName(int which) const;
    ps4sim::Simulator *Sim(int which);

    // Script commands for a running simulator:
    //   fault RULE | clear | poke ADDR BB.. | peek ADDR N | protect A-B |
    //   random RATE SEED | trace on|off
    // Output lines go to `out`.
    bool Command(int which, const std::vector<std::string> &args, std::vector<std::string> *out,
                 std::string *error);
    // Trace lines recorded since the last call (when recording is on).
    std::vector<std::string> TakeTrace(int which);
    void RecordTrace(int which, bool on);
    bool Recording(int which) const { return recording_[which]; }
    void StopAll();

  private:
    std::unique_ptr<ps4sim::Simulator> sims_[2];
    std::string names_[2];
    bool recording_[2] = {false, false};
    void *traceFiles_[2] = {nullptr, nullptr};
};

} // namespace hh

#endif // HUXHOST_LAB_H
