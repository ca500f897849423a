// SHA-1 and MD5 over 1 MiB against OpenSSL's EVP digests, as OpenSSL runs
// by default (its code for this CPU, SHA extensions included where the CPU
// has them). OPENSSL_ia32cap=0:0 in the environment turns the CPU
// extensions off; OpenSSL then still runs its plain x86-64 assembly (not a
// C path). bench/run_bench.py runs both.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <string>

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
BENCHMARK(BM_sha1_vk)->Name("sha1@vk");

void BM_md5_vk(benchmark::State &state) { run_vk(state, hash_md5); }
BENCHMARK(BM_md5_vk)->Name("md5@vk");

void run_evp(benchmark::State &state, const EVP_MD *md)
{
    u8 d[EVP_MAX_MD_SIZE];
    unsigned n;
    for (auto _ : state) {
        EVP_Digest(bench_data(), kBenchDataLen, d, &n, md, nullptr);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBenchDataLen);
    const char *caps = getenv("OPENSSL_ia32cap");
    std::string label = caps ? std::string("EVP_Digest, OPENSSL_ia32cap=") + caps
                             : std::string("EVP_Digest, OpenSSL's default code for this CPU");
    if (caps && std::string(caps) == "0:0") label += " (no CPU extensions: OpenSSL's plain x86-64 assembly, not C)";
    state.SetLabel(label);
}

void BM_sha1_openssl(benchmark::State &state) { run_evp(state, EVP_sha1()); }
BENCHMARK(BM_sha1_openssl)->Name("sha1@openssl");

void BM_md5_openssl(benchmark::State &state) { run_evp(state, EVP_md5()); }
BENCHMARK(BM_md5_openssl)->Name("md5@openssl");

}  // namespace

BENCHMARK_MAIN();
