#pragma once
// The 1 MiB byte pattern that the throughput benchmarks run over, made once
// and kept for the whole run.
#include "libpal/env/os_types.h"

constexpr size_t kBenchDataLen = 1 << 20;

inline const u8 *bench_data()
{
    static const u8 *d = [] {
        u8 *b = new u8[kBenchDataLen];
        for (size_t i = 0; i < kBenchDataLen; ++i) b[i] = (u8)(i * 131 + 7);
        return b;
    }();
    return d;
}
