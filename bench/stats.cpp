#include "bench/stats.h"

#include <algorithm>
#include <ctime>

namespace bench {

namespace {

int64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Nearest-rank percentile of sorted samples.
int64_t Percentile(const std::vector<int64_t> &sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

} // namespace

int64_t NowNs() {
    return ClockNs(CLOCK_MONOTONIC);
}
int64_t ThreadCpuNs() {
    return ClockNs(CLOCK_THREAD_CPUTIME_ID);
}

int64_t ProcessCpuNs(pid_t pid) {
    clockid_t clock{};
    if (pid <= 0 || clock_getcpuclockid(pid, &clock) != 0) {
        return 0;
    }
    return ClockNs(clock);
}

void Run::Add(const Run &other) {
    transactions += other.transactions;
    latencyNs.insert(latencyNs.end(), other.latencyNs.begin(), other.latencyNs.end());
    wallNs += other.wallNs;
    cpuNs += other.cpuNs;
    allocations += other.allocations;
    failures += other.failures;
    peerCpuNs += other.peerCpuNs;
}

Summary Summarize(const Run &run) {
    Summary s;
    std::vector<int64_t> sorted = run.latencyNs;
    std::sort(sorted.begin(), sorted.end());
    s.transactions = run.transactions;
    s.failures = run.failures;
    if (run.transactions == 0) {
        return s;
    }
    const double n = static_cast<double>(run.transactions);
    s.perSecond = run.wallNs > 0 ? n * 1e9 / static_cast<double>(run.wallNs) : 0;
    s.cpuUsPerTx = static_cast<double>(run.cpuNs) / n / 1000.0;
    s.allocsPerTx = static_cast<double>(run.allocations) / n;
    s.peerCpuUsPerTx = static_cast<double>(run.peerCpuNs) / n / 1000.0;
    if (sorted.empty()) {
        s.meanUs = static_cast<double>(run.wallNs) / n / 1000.0;
        return s;
    }
    s.medianUs = static_cast<double>(Percentile(sorted, 50)) / 1000.0;
    s.p99Us = static_cast<double>(Percentile(sorted, 99)) / 1000.0;
    s.maxUs = static_cast<double>(sorted.back()) / 1000.0;
    double sum = 0;
    for (int64_t v : sorted) {
        sum += static_cast<double>(v);
    }
    s.meanUs = sum / static_cast<double>(sorted.size()) / 1000.0;
    return s;
}

} // namespace bench
