// SHA-1 and MD5 over 1 MiB against OpenSSL's EVP digests. Unless
// VK_OPENSSL_NATIVE is set, the run re-executes itself with
// OPENSSL_ia32cap=0:0 so that OpenSSL takes its generic code path.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

#include "bench_data.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"

namespace {

void run_vk(benchmark::State &state, void (*digest)(const void *, size_t, u8 *))
{
    u8 d[SHA1_DIGEST_LEN];  // room for the larger of the two
    for (auto _ : state) {
        digest(bench_data(), kBenchDataLen, d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBenchDataLen);
}

void BM_sha1_vk(benchmark::State &state) { run_vk(state, hash_sha1); }
BENCHMARK(BM_sha1_vk);

void BM_md5_vk(benchmark::State &state) { run_vk(state, hash_md5); }
BENCHMARK(BM_md5_vk);

void run_evp(benchmark::State &state, const EVP_MD *md)
{
    u8 d[EVP_MAX_MD_SIZE];
    unsigned n;
    for (auto _ : state) {
        EVP_Digest(bench_data(), kBenchDataLen, d, &n, md, nullptr);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBenchDataLen);
}

void BM_sha1_openssl(benchmark::State &state) { run_evp(state, EVP_sha1()); }
BENCHMARK(BM_sha1_openssl);

void BM_md5_openssl(benchmark::State &state) { run_evp(state, EVP_md5()); }
BENCHMARK(BM_md5_openssl);

}  // namespace

int main(int argc, char **argv)
{
    if (!getenv("VK_OPENSSL_NATIVE") && !getenv("OPENSSL_ia32cap")) {
        setenv("OPENSSL_ia32cap", "0:0", 1);
        execv("/proc/self/exe", argv);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
