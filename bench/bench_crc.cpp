// CRC-32 over 1 MiB against zlib's crc32.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <vector>

#include "libpal/hash/crc.h"

namespace {

constexpr size_t kLen = 1 << 20;

const std::vector<u8> &data()
{
    static std::vector<u8> *d = [] {
        auto *v = new std::vector<u8>(kLen);
        for (size_t i = 0; i < kLen; ++i) (*v)[i] = (u8)(i * 131 + 7);
        return v;
    }();
    return *d;
}

void BM_crc32_vk(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(hash_crc32(data().data(), kLen, 0));
    state.SetBytesProcessed((int64_t)state.iterations() * kLen);
}
BENCHMARK(BM_crc32_vk);

void BM_crc32_zlib(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, data().data(), kLen));
    state.SetBytesProcessed((int64_t)state.iterations() * kLen);
}
BENCHMARK(BM_crc32_zlib);

}  // namespace

BENCHMARK_MAIN();
