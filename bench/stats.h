// Latency samples of one measured run and what the report derives from them.
#ifndef HUX_BENCH_STATS_H
#define HUX_BENCH_STATS_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace bench {

// Monotonic clock in nanoseconds.
int64_t NowNs();
// CPU time of the calling thread in nanoseconds.
int64_t ThreadCpuNs();
// CPU time of another process (a child: the simulator, the responder) in
// nanoseconds; 0 when it cannot be read.
int64_t ProcessCpuNs(pid_t pid);

struct Run {
    int64_t transactions = 0;
    std::vector<int64_t> latencyNs; // one per transaction, when each is timed
    int64_t wallNs = 0;             // whole measured loop
    int64_t cpuNs = 0;              // CPU time of the measuring thread
    uint64_t allocations = 0;       // heap allocations of the measuring thread
    int failures = 0;               // transactions that did not return 0
    int64_t peerCpuNs = 0;          // CPU time of the other end of the line

    void Reserve(size_t n) { latencyNs.reserve(latencyNs.size() + n); }
    void Add(const Run &other);
};

struct Summary {
    int64_t transactions = 0;
    double perSecond = 0;
    double medianUs = 0;
    double p99Us = 0;
    double meanUs = 0;
    double maxUs = 0;
    double cpuUsPerTx = 0;
    double allocsPerTx = 0;
    double peerCpuUsPerTx = 0;
    int failures = 0;
};

Summary Summarize(const Run &run);

} // namespace bench

#endif // HUX_BENCH_STATS_H
