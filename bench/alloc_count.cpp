// malloc and its relatives, counted, over glibc's own allocator.
#include "bench/alloc_count.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {
// Initial-exec TLS in the executable: reading it never allocates.
thread_local uint64_t t_allocations = 0;
} // namespace

namespace bench {
uint64_t ThreadAllocations() {
    return t_allocations;
}
} // namespace bench

#define HUX_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

HUX_BENCH_EXPORT void *malloc(size_t size) {
    ++t_allocations;
    return __libc_malloc(size);
}

HUX_BENCH_EXPORT void *calloc(size_t count, size_t size) {
    ++t_allocations;
    return __libc_calloc(count, size);
}

HUX_BENCH_EXPORT void *realloc(void *block, size_t size) {
    ++t_allocations;
    return __libc_realloc(block, size);
}

HUX_BENCH_EXPORT void *memalign(size_t alignment, size_t size) {
    ++t_allocations;
    return __libc_memalign(alignment, size);
}

HUX_BENCH_EXPORT void *aligned_alloc(size_t alignment, size_t size) {
    ++t_allocations;
    return __libc_memalign(alignment, size);
}

HUX_BENCH_EXPORT int posix_memalign(void **out, size_t alignment, size_t size) {
    ++t_allocations;
    void *block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}
