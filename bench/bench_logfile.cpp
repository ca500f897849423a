// Records per second to a text log file (100-byte messages, a flush to the
// system per record) against spdlog's basic_file_sink_mt flushed after every
// record, the two sides taking turns in short rounds whose order alternates
// (so that neither always runs second, on a file system the other has just
// filled); the trim at the 2 MiB limit and the worst record during trims; and
// what a record costs while the file cannot be written (a full disk), next
// to the same record with the console alone.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "liblog/log.h"

namespace {

const std::string &dir()
{
    static std::string d = [] {
        const char *base = getenv("VK_BENCH_TMP");
        std::string t = std::string(base && *base ? base : "/tmp") + "/bench_logfile_XXXXXX";
        char *p = mkdtemp(t.data());
        return std::string(p ? p : "/tmp");
    }();
    return d;
}

// A message of 100 bytes with the newline.
const std::string &msg()
{
    static std::string m = std::string(99, 'm') + "\n";
    return m;
}

struct log2 *file_ctx(const std::string &name, i32 limit)
{
    struct log2 *c = log_ctx_new();
    c->con_on.store(0);
    c->level.store(6);
    c->flags.store(LOG_F_FUNC);
    log_file_size_set(&c->file, limit);
    std::string path = dir() + "/" + name;
    unlink(path.c_str());
    log_file_open(&c->file, path.c_str());
    c->file_on.store(1);
    return c;
}

struct log2 *g_ctx = nullptr;

// Both sides name the same function and module, so that their lines have
// the same bytes but for the case of the level ("INFO " against spdlog's
// "info ").
constexpr const char *kFunc = "log_file_record";

void BM_vkto_file(benchmark::State &state)
{
    if (state.thread_index() == 0) g_ctx = file_ctx("vkto.log", 0x7fffffff);
    // The message is taken once, as the peer's side takes its text.
    const char *text = msg().c_str();
    for (auto _ : state) log2_puts(g_ctx, 6, "bench", "bench/bench_logfile", 1, kFunc, text);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        log2_exit(g_ctx);
        unlink((dir() + "/vkto.log").c_str());
    }
}

std::shared_ptr<spdlog::logger> g_spd;

void BM_spdlog_file(benchmark::State &state)
{
    std::string path = dir() + "/spd.log";
    if (state.thread_index() == 0) {
        unlink(path.c_str());
        g_spd = spdlog::basic_logger_mt("bench", path, true);
        // The process id goes in as text, as vkto writes the one it keeps:
        // "%P" would ask the system for it on every record.
        g_spd->set_pattern("%Y-%m-%d %H:%M:%S.%f %-5l " + std::to_string(getpid()) + " --- [%t] %n %!(): %v");
        g_spd->flush_on(spdlog::level::trace);
    }
    std::string text = msg().substr(0, 99);
    for (auto _ : state)
        g_spd->log(spdlog::source_loc{__FILE__, __LINE__, kFunc}, spdlog::level::info, text);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        spdlog::drop("bench");
        g_spd.reset();
        unlink(path.c_str());
    }
}

// The floor both sides stand on: one write(2) of a line of the same length
// per record, and nothing else.
void BM_write_floor(benchmark::State &state)
{
    std::string path = dir() + "/floor.log";
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string line = "2024-01-01 00:00:00.000000 INFO  " + std::to_string(getpid()) + " --- [" +
                       std::to_string(getpid()) + "] bench " + kFunc + "(): " + msg();
    for (auto _ : state)
        if (write(fd, line.data(), line.size()) != (ssize_t)line.size()) state.SkipWithError("write");
    state.SetItemsProcessed(state.iterations());
    close(fd);
    unlink(path.c_str());
}
BENCHMARK(BM_write_floor)->UseRealTime();

// One trim of a full 2 MiB file: its newest half goes into a new file,
// flushed to the disk and renamed over the name.
void BM_trim_2mib(benchmark::State &state)
{
    std::string path = dir() + "/trim.log";
    std::string line = std::string(120, 't') + "\n";
    std::string content;
    while (content.size() < 0x200000) content += line;
    for (auto _ : state) {
        state.PauseTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (write(fd, content.data(), content.size()) != (ssize_t)content.size()) state.SkipWithError("write");
        state.ResumeTiming();
        log_file_trim(fd, path.c_str(), (i64)content.size(), 0x200000);
        state.PauseTiming();
        close(fd);
        state.ResumeTiming();
    }
    unlink(path.c_str());
}
BENCHMARK(BM_trim_2mib)->Unit(benchmark::kMicrosecond);

// Records at the 2 MiB limit: the slowest single record is the one that
// trims.
void BM_record_latency_at_limit(benchmark::State &state)
{
    struct log2 *c = file_ctx("lat.log", 0x200000);
    double worst = 0, sum = 0;
    long n = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        log2_puts(c, 6, "bench", "bench/bench_logfile", 1, "BM_record_latency_at_limit", msg().c_str());
        double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        worst = std::max(worst, us);
        sum += us;
        ++n;
    }
    state.counters["worst_us"] = worst;
    state.counters["mean_us"] = n ? sum / (double)n : 0;
    log2_exit(c);
    unlink((dir() + "/lat.log").c_str());
}
BENCHMARK(BM_record_latency_at_limit)->Iterations(60000);

// The 99th percentile of one record's time, in ns, with the console on
// (standard error on /dev/null) and, for the vkto side, the text file on
// /dev/full, where every write fails with ENOSPC as on a full disk. The
// two sides take turns in short rounds, so that both see the same machine.
void record_p99_on_a_full_disk()
{
    auto ctx = [](bool file) {
        struct log2 *c = log_ctx_new();
        c->level.store(6);
        c->flags.store(LOG_FLAGS_DEFAULT);
        if (file) {
            log_file_open(&c->file, "/dev/full");
            c->file_on.store(1);
        }
        return c;
    };
    struct log2 *full = ctx(true), *alone = ctx(false);
    int saved = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    std::vector<double> t[2];
    constexpr int kRounds = 40, kPerRound = 5000;
    for (int r = 0; r < kRounds; ++r)
        for (int side = 0; side < 2; ++side) {
            struct log2 *c = side == 0 ? full : alone;
            for (int i = 0; i < kPerRound; ++i) {
                auto t0 = std::chrono::steady_clock::now();
                log2_puts(c, 6, "bench", "bench/bench_logfile", 1, "record_p99", msg().c_str());
                t[side].push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
            }
        }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(null);
    double p99[2];
    for (int side = 0; side < 2; ++side) {
        auto &v = t[side];
        std::nth_element(v.begin(), v.begin() + (long)(v.size() * 99 / 100), v.end());
        p99[side] = v[v.size() * 99 / 100];
    }
    printf("note full disk: the text file on /dev/full dropped %u records\n", full->file.dropped);
    printf("result record_p99_on_full_disk@vk %.0f ns lower\n", p99[0]);
    printf("result record_p99_on_full_disk@console_alone %.0f ns lower "
           "the same record with the file output off (the console on /dev/null)\n", p99[1]);
    log2_exit(full);
    log2_exit(alone);
}

// The pair in rounds: each round runs both sides once per thread count,
// the side that goes first changing from round to round; the rounds of one
// side are folded into its median by the runner.
void register_pairs()
{
    constexpr int kRounds = 4;
    using Fn = void (*)(benchmark::State &);
    const std::pair<const char *, Fn> sides[2] = {{"BM_vkto_file", BM_vkto_file}, {"BM_spdlog_file", BM_spdlog_file}};
    for (int r = 0; r < kRounds; ++r)
        for (int threads : {1, 4})
            for (int k = 0; k < 2; ++k) {
                const auto &s = sides[(k + r) % 2];
                benchmark::RegisterBenchmark(s.first, s.second)->Threads(threads)->UseRealTime()->MinTime(0.2);
            }
}

}  // namespace

int main(int argc, char **argv)
{
    register_pairs();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rmdir(dir().c_str());
    record_p99_on_a_full_disk();
    return 0;
}
