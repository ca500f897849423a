// bsv frames of 1472 bytes built and checked (info frame around a payload,
// then the receiver's check and parse), with the cipher off and on. The
// peer is a plain copy of the same bytes with a CRC-32 check (zlib-free:
// the library's own table CRC), the floor any framing has to pay.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "libbsv/bsv_net.h"
#include "libbsv/bsv_type.h"
#include "libpal/hash/crc.h"
#include "libpal/libpal.h"

namespace {

void run(benchmark::State &state, int cipher)
{
    pl_sys_init();
    bsv_net_cipher_set(cipher);
    bsv_value *info = bsv_type_open_value(BSV_TYPE_INFO);
    size_t host = strlen(pl_sys_info_get()->host_name) + 1;
    std::vector<u8> payload(1429 - host, 'p');
    u8 f[BSV_NET_MAX];
    for (auto _ : state) {
        int n = bsv_net_info_build(f, 1, payload.data(), (int)payload.size());
        int t = bsv_parse_net_type(f, n);
        bsv_net_info ni;
        benchmark::DoNotOptimize(bsv_net_info_parse(f, n, info, &ni) + t);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * BSV_NET_MAX);
    bsv_value_exit(info);
    bsv_net_cipher_set(0);
}

void BM_frame_1472(benchmark::State &state)
{
    run(state, 0);
}
BENCHMARK(BM_frame_1472);

void BM_frame_1472_cipher(benchmark::State &state)
{
    run(state, 1);
}
BENCHMARK(BM_frame_1472_cipher);

void BM_copy_crc32_1472(benchmark::State &state)
{
    std::vector<u8> payload(1464, 'p');
    u8 f[BSV_NET_MAX], g[BSV_NET_MAX];
    for (auto _ : state) {
        memcpy(f + 8, payload.data(), payload.size());
        u32 c = hash_crc32(f, sizeof f - 4, 0);
        memcpy(f + sizeof f - 4, &c, 4);
        memcpy(g, f, sizeof f);
        benchmark::DoNotOptimize(hash_crc32(g, sizeof g - 4, 0) == c);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_copy_crc32_1472);

}  // namespace

BENCHMARK_MAIN();
