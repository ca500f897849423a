// One log record through the record path (level filter, bsv record, the
// "log" ring with one reader draining it) against the same record to the
// console output alone (standard error on /dev/null), and both together.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_rbuf.h"
#include "liblog/log.h"

#define LOG_MOD "tag"
#define LOG_SRC "bench/bench_bsv_log"

namespace {

// Drains the reader every 256 records: the ring (711 slots) never drops.
void run(benchmark::State &state, bool console, bool ring)
{
    struct log2 *c = log_ctx_get(nullptr);
    c->level.store(LOG_LVL_INFO);
    c->flags.store(LOG_FLAGS_DEFAULT);
    c->con_on.store(console ? 1 : 0);
    bsv_log_handle *h = ring ? bsv_open_log() : nullptr;
    int i = 0;
    const u8 *rec;
    for (auto _ : state) {
        LOG_INFO("request %d served in %d us from %s\n", ++i, 42, "127.0.0.1");
        if (h && (i & 255) == 0)
            while (bsv_read_raw_log(h, &rec) > 0) {
            }
    }
    state.SetItemsProcessed(state.iterations());
    if (h) bsv_close_log(h);
    c->con_on.store(1);
}

void BM_console_only(benchmark::State &state)
{
    run(state, true, false);
}
BENCHMARK(BM_console_only);

void BM_record_path_only(benchmark::State &state)
{
    run(state, false, true);
}
BENCHMARK(BM_record_path_only);

void BM_console_and_record_path(benchmark::State &state)
{
    run(state, true, true);
}
BENCHMARK(BM_console_and_record_path);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
