// AVL tree against std::map on 100 000 random u64 keys: building the tree,
// and looking every key up in the order the keys were added.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <vector>

#include "libpal/basic/avl.h"

namespace {

constexpr int kKeys = 100000;
const char kPeer[] = "std::map<u64, u64> (libstdc++ red-black tree)";

const std::vector<u64> &keys()
{
    static std::vector<u64> *k = [] {
        auto *v = new std::vector<u64>;
        std::mt19937_64 rng(1);
        for (int i = 0; i < kKeys; ++i) v->push_back(rng());
        return v;
    }();
    return *k;
}

void BM_avl_insert(benchmark::State &state)
{
    for (auto _ : state) {
        avl_tree *t = avl_new(nullptr);
        for (u64 k : keys()) avl_insert(t, (void *)k, (void *)k);
        benchmark::DoNotOptimize(t);
        avl_free(t);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
}
BENCHMARK(BM_avl_insert)->Name("avl_insert@vk")->Unit(benchmark::kMillisecond);

void BM_map_insert(benchmark::State &state)
{
    for (auto _ : state) {
        std::map<u64, u64> m;
        for (u64 k : keys()) m.emplace(k, k);
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    state.SetLabel(kPeer);
}
BENCHMARK(BM_map_insert)->Name("avl_insert@map")->Unit(benchmark::kMillisecond);

void BM_avl_lookup(benchmark::State &state)
{
    avl_tree *t = avl_new(nullptr);
    for (u64 k : keys()) avl_insert(t, (void *)k, (void *)k);
    for (auto _ : state)
        for (u64 k : keys()) benchmark::DoNotOptimize(avl_find(t, (void *)k));
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    avl_free(t);
}
BENCHMARK(BM_avl_lookup)->Name("avl_lookup@vk")->Unit(benchmark::kMillisecond);

void BM_map_lookup(benchmark::State &state)
{
    std::map<u64, u64> m;
    for (u64 k : keys()) m.emplace(k, k);
    for (auto _ : state)
        for (u64 k : keys()) {
            auto it = m.find(k);
            benchmark::DoNotOptimize(it);
        }
    state.SetItemsProcessed((int64_t)state.iterations() * kKeys);
    state.SetLabel(kPeer);
}
BENCHMARK(BM_map_lookup)->Name("avl_lookup@map")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
