// CRC-32 over 1 MiB against zlib's crc32.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include "bench_data.h"
#include "libpal/hash/crc.h"

namespace {

void BM_crc32_vk(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(hash_crc32(bench_data(), kBenchDataLen, 0));
    state.SetBytesProcessed((int64_t)state.iterations() * kBenchDataLen);
}
BENCHMARK(BM_crc32_vk)->Name("crc32@vk");

void BM_crc32_zlib(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, bench_data(), kBenchDataLen));
    state.SetLabel("zlib crc32() of the system's zlib");
    state.SetBytesProcessed((int64_t)state.iterations() * kBenchDataLen);
}
BENCHMARK(BM_crc32_zlib)->Name("crc32@zlib");

}  // namespace

BENCHMARK_MAIN();
