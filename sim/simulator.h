// ps4sim: a simulated PS4-201-MM1 controller on a serial line.
//
// It serves on a new pseudo-terminal (the host opens the slave side whose
// path Path() gives) or on a real serial device, answers read requests,
// write requests and write data frames from 64 KiB of memory, injects
// faults on demand, paces the line if asked and traces every frame.
//
//   ps4sim::Simulator sim;
//   std::string error;
//   sim.OpenPty(&error);
//   sim.Start();                 // serves on its own thread
//   ... open sim.DriverName() ...
//   sim.Stop();
#ifndef PS4SIM_SIMULATOR_H
#define PS4SIM_SIMULATOR_H

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/protocol.h"

namespace ps4sim {

// Line settings for a real device (a pseudo-terminal ignores them).
struct LineConfig {
    uint32_t baud = 9600;
    int dataBits = 8;  // 5 to 8
    char parity = 'N'; // N, O, E, M, S
    int stopBits = 1;  // 1 or 2
};
bool ParseParity(const std::string &text, char *parity);

struct Stats {
    uint64_t frames = 0;  // frames received (LRC good or not)
    uint64_t answers = 0; // answers sent (not counting dropped ones)
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t droppedBytes = 0; // garbage and partial frames thrown away
    uint64_t faults = 0;       // faults applied
};

class Simulator {
  public:
    explicit Simulator(const Config &config = Config());
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Endpoints. Either one, once.
    bool OpenPty(std::string *error);
    bool OpenDevice(const std::string &path, const LineConfig &line, std::string *error);
    // The path of the pseudo-terminal's slave or of the device.
    const std::string &Path() const { return path_; }
    // The name to give the driver: the path when it fits the driver's 11
    // characters, else the path relative to /dev/ ("pts/123").
    std::string DriverName() const;

    // Serving: on a thread of its own, or in the calling thread until
    // RequestStop() (which is async-signal-safe).
    bool Start(std::string *error = nullptr);
    void Stop();
    void Serve();
    void RequestStop();
    bool Running() const { return thread_.joinable(); }

    // Memory. Addresses wrap at 64 KiB.
    Bytes Peek(uint16_t addr, size_t n) const;
    void Poke(uint16_t addr, const Bytes &bytes);
    void SetMarkerWords(uint16_t startWord, uint16_t endWord);
    // Loads a file's bytes from addr on (at most up to the end of memory).
    bool LoadImage(const std::string &path, uint16_t addr, std::string *error);
    // Writes all 64 KiB.
    bool DumpImage(const std::string &path, std::string *error) const;

    // Faults.
    void AddFault(const FaultRule &rule);
    bool AddFault(const std::string &ruleText, std::string *error);
    void ClearFaults();
    size_t PendingFaults() const;
    void SetRandomFaults(double rate, uint64_t seed, std::vector<FaultKind> kinds = {});
    void SetProtect(std::vector<Range> ranges);

    // Trace: to a file (nullptr: off), to a callback, and kept in memory.
    void TraceTo(FILE *file, bool withTime);
    void SetTraceSink(std::function<void(const TraceEvent &)> sink);
    void RecordTrace(bool on);
    std::vector<TraceEvent> Trace() const;
    std::vector<std::string> TraceLines() const; // formatted, without times
    void ClearTrace();

    // Puts bytes on the line unasked (stale input, noise), traced as such.
    bool SendRaw(const Bytes &bytes);

    Stats GetStats() const;

  private:
    using Clock = std::chrono::steady_clock;

    void HandleInput(const uint8_t *bytes, size_t n, Clock::time_point seen);
    void Emit(const TraceEvent &event);
    void EmitCopy(TraceEvent event);
    // Paced, the first byte leaves one byte time after `from` at the earliest.
    bool Send(const Bytes &bytes, Clock::time_point from);
    bool SleepUntil(Clock::time_point t); // false: stop requested
    bool StopRequested() const;

    Config config_;
    Clock::time_point t0_;
    Clock::duration byteTime_;
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    bool isPty_ = false;
    std::string path_;
    std::thread thread_;

    mutable std::mutex mu_;
    std::mutex writeMu_; // one writer on the line at a time
    Controller controller_;
    FrameParser parser_; // serving thread only
    Stats stats_;
    FILE *traceFile_ = nullptr;
    bool traceTime_ = false;
    std::function<void(const TraceEvent &)> traceSink_;
    bool recordTrace_ = false;
    std::vector<TraceEvent> trace_;

    Clock::time_point wireInFree_{};
    Clock::time_point wireOutFree_{};
};

// The standard termios rates; false when `baud` is not one of them.
bool IsStandardBaud(uint32_t baud);

} // namespace ps4sim

#endif // PS4SIM_SIMULATOR_H
