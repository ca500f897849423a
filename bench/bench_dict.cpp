// dict against std::unordered_map<std::string, const void *> on 100 000
// short keys: building the table (copied keys, as dict callers use it),
// and looking every key up, once in the order the keys were added and once
// in a shuffled order (the same for both).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/hash/dict.h"

namespace {

constexpr int kKeys = 100000;
const char kPeer[] = "std::unordered_map<std::string, const void *> (libstdc++), std::hash";

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

// Lookup orders: the keys as added, and shuffled once.
const std::vector<const std::string *> &order(bool shuffled)
{
    static std::vector<const std::string *> *o[2] = {};
    if (!o[shuffled]) {
        auto *v = new std::vector<const std::string *>;
        for (auto &s : keys()) v->push_back(&s);
        if (shuffled) std::shuffle(v->begin(), v->end(), std::mt19937(7));
        o[shuffled] = v;
    }
    return *o[shuffled];
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
BENCHMARK(BM_dict_insert)->Name("dict_insert@vk")->Unit(benchmark::kMillisecond);

void BM_umap_insert(benchmark::State &state)
{
    for (auto _ : state) {
        std::unordered_map<std::string, const void *> m;
        for (auto &k : keys()) m[k] = &k;
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    state.SetLabel(kPeer);
}
BENCHMARK(BM_umap_insert)->Name("dict_insert@unordered_map")->Unit(benchmark::kMillisecond);

void BM_dict_lookup(benchmark::State &state)
{
    const auto &ks = order(state.range(0));
    dict *d = dict_new(DICT_KEY_COPY);
    for (auto &k : keys()) dict_add(d, k.c_str(), (void *)&k);
    for (auto _ : state)
        for (auto *k : ks) benchmark::DoNotOptimize(dict_get(d, k->c_str(), nullptr));
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    dict_free(d);
}
BENCHMARK(BM_dict_lookup)->Name("dict_lookup@vk")->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Lookups by text, as dict callers have them (the map's keys are strings).
void BM_umap_lookup(benchmark::State &state)
{
    const auto &ks = order(state.range(0));
    std::unordered_map<std::string, const void *> m;
    for (auto &k : keys()) m[k] = &k;
    for (auto _ : state)
        for (auto *k : ks) {
            auto it = m.find(*k);
            benchmark::DoNotOptimize(it);
        }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    state.SetLabel(kPeer);
}
BENCHMARK(BM_umap_lookup)->Name("dict_lookup@unordered_map")->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
