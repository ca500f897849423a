// The counted allocator against the system allocator, 64-byte blocks. The
// counted side updates the process's shared counters on every allocation
// and release (their peaks are exact), so with four threads it also
// measures what contention on those counters costs.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "libpal/env/malloc.h"

namespace {

void BM_os_malloc_free_64(benchmark::State &state)
{
    for (auto _ : state) {
        void *p = os_malloc(64);
        benchmark::DoNotOptimize(p);
        os_free(p);
    }
}
BENCHMARK(BM_os_malloc_free_64)->Name("malloc_free_64@vk")->Threads(1)->Threads(4);

void BM_malloc_free_64(benchmark::State &state)
{
    for (auto _ : state) {
        void *p = malloc(64);
        benchmark::DoNotOptimize(p);
        free(p);
    }
    state.SetLabel("glibc malloc/free");
}
BENCHMARK(BM_malloc_free_64)->Name("malloc_free_64@glibc")->Threads(1)->Threads(4);

}  // namespace

BENCHMARK_MAIN();
