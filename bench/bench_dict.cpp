// dict against std::unordered_map<std::string, void *> on 100 000 short
// keys: building the table, and looking every key up.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/hash/dict.h"

namespace {

constexpr int kKeys = 100000;

const std::vector<std::string> &keys()
{
    static std::vector<std::string> *k = [] {
        auto *v = new std::vector<std::string>;
        char b[32];
        for (int i = 0; i < kKeys; ++i) {
            snprintf(b, sizeof b, "key%x", (unsigned)(i * 2654435761u));
            v->push_back(b);
        }
        return v;
    }();
    return *k;
}

void BM_dict_insert(benchmark::State &state)
{
    for (auto _ : state) {
        dict *d = dict_new(DICT_KEY_COPY);
        for (auto &k : keys()) dict_add(d, k.c_str(), (void *)&k);
        benchmark::DoNotOptimize(d);
        dict_free(d);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
}
BENCHMARK(BM_dict_insert)->Unit(benchmark::kMillisecond);

void BM_umap_insert(benchmark::State &state)
{
    for (auto _ : state) {
        std::unordered_map<std::string, const void *> m;
        for (auto &k : keys()) m[k] = &k;
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
}
BENCHMARK(BM_umap_insert)->Unit(benchmark::kMillisecond);

void BM_dict_lookup(benchmark::State &state)
{
    dict *d = dict_new(DICT_KEY_COPY);
    for (auto &k : keys()) dict_add(d, k.c_str(), (void *)&k);
    for (auto _ : state)
        for (auto &k : keys()) benchmark::DoNotOptimize(dict_get(d, k.c_str(), nullptr));
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    dict_free(d);
}
BENCHMARK(BM_dict_lookup)->Unit(benchmark::kMillisecond);

// Lookups by C text, as dict callers have them: the map needs a string.
void BM_umap_lookup(benchmark::State &state)
{
    std::unordered_map<std::string, const void *> m;
    for (auto &k : keys()) m[k] = &k;
    for (auto _ : state)
        for (auto &k : keys()) {
            auto it = m.find(k);
            benchmark::DoNotOptimize(it);
        }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
}
BENCHMARK(BM_umap_lookup)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
