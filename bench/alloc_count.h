// Counts the heap allocations of the calling thread: the bench binary
// interposes malloc and its relatives for the whole process (the driver
// library loaded into it included) and counts per thread.
#ifndef HUX_BENCH_ALLOC_COUNT_H
#define HUX_BENCH_ALLOC_COUNT_H

#include <cstdint>

namespace bench {

// Allocations (malloc, calloc, realloc, aligned allocations; operator new
// goes through malloc) made by this thread so far.
uint64_t ThreadAllocations();

} // namespace bench

#endif // HUX_BENCH_ALLOC_COUNT_H
