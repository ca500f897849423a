// The log call against spdlog's synchronous logger, both writing the same
// line ("HH:MM:SS [tid] func(): message") to standard error on /dev/null.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <unistd.h>

#include "liblog/log.h"

#define LOG_MOD "tag"
#define LOG_SRC "bench/bench_log"

namespace {

void BM_log_filtered(benchmark::State &state)
{
    log_ctx_get(nullptr)->level.store(6);
    int i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(LOG_DBG("filtered %d %s\n", ++i, "text"));
}
BENCHMARK(BM_log_filtered)->Name("log_filtered@vk")->Threads(1)->Threads(4);

void BM_log_stderr(benchmark::State &state)
{
    if (state.thread_index() == 0) {
        struct log2 *c = log_ctx_get(nullptr);
        c->level.store(6);
        c->flags.store(LOG_F_TIME | LOG_F_TID | LOG_F_FUNC);
    }
    int i = 0;
    for (auto _ : state) LOG_INFO("request %d served in %d us from %s\n", ++i, 42, "127.0.0.1");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_log_stderr)->Name("log_stderr@vk")->Threads(1)->Threads(4)->UseRealTime();

std::shared_ptr<spdlog::logger> spd()
{
    static auto lg = [] {
        auto l = spdlog::stderr_logger_mt("bench");
        l->set_pattern("%H:%M:%S [%t] %!(): %v");
        l->set_level(spdlog::level::info);
        return l;
    }();
    return lg;
}

void BM_spdlog_stderr(benchmark::State &state)
{
    auto lg = spd();
    int i = 0;
    for (auto _ : state)
        lg->log(spdlog::source_loc{__FILE__, __LINE__, "BM_spdlog_stderr"}, spdlog::level::info,
                "request {} served in {} us from {}", ++i, 42, "127.0.0.1");
    state.SetLabel("spdlog stderr_logger_mt, same line pattern, synchronous");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_spdlog_stderr)->Name("log_stderr@spdlog")->Threads(1)->Threads(4)->UseRealTime();

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
