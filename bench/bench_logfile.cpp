// Records per second to a text log file (100-byte messages, a flush to the
// system per record) against spdlog's basic_file_sink_mt flushed after every
// record, the two sides taking turns in short rounds whose order alternates
// (so that neither always runs second, on a file system the other has just
// filled); the same with a size limit (none, 2 MiB, 16 KiB) against spdlog's
// rotating_file_sink_mt with one backup file; the halving of a full 2 MiB
// file against the plain move of its newest half (read it, reopen the file
// emptied, write it back); one open of a log six directories deep against
// open(2); the worst record during halvings; pcap records
// at a limit; and what a record costs while the file cannot be written (a
// full disk), next to the same record with the console alone.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "liblog/log.h"
#include "libpal/mpcap/mpcap.h"

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

// The peer's logger as its users set it up for these lines: the same
// fields, flushed after every record.
void spd_setup(std::shared_ptr<spdlog::logger> l)
{
    // The process id goes in as text, as vkto writes the one it keeps:
    // "%P" would ask the system for it on every record.
    l->set_pattern("%Y-%m-%d %H:%M:%S.%f %-5l " + std::to_string(getpid()) + " --- [%t] %n %!(): %v");
    l->flush_on(spdlog::level::trace);
    g_spd = std::move(l);
}

void spd_records(benchmark::State &state)
{
    std::string text = msg().substr(0, 99);
    for (auto _ : state)
        g_spd->log(spdlog::source_loc{__FILE__, __LINE__, kFunc}, spdlog::level::info, text);
    state.SetItemsProcessed(state.iterations());
}

void spd_done(const std::string &path)
{
    spdlog::drop("bench");
    g_spd.reset();
    unlink(path.c_str());
    unlink((path.substr(0, path.size() - 4) + ".1.log").c_str());
}

void BM_spdlog_file(benchmark::State &state)
{
    std::string path = dir() + "/spd.log";
    if (state.thread_index() == 0) {
        unlink(path.c_str());
        spd_setup(spdlog::basic_logger_mt("bench", path, true));
    }
    spd_records(state);
    if (state.thread_index() == 0) spd_done(path);
}

// One thread at a size limit (state.range(0) bytes, 0: none): vkto halves
// its file in place; spdlog's rotating sink with one backup file renames
// the full file to NAME.1.log and starts a new one (at "none" it never
// does).
void BM_vkto_limit(benchmark::State &state)
{
    i32 limit = state.range(0) ? (i32)state.range(0) : 0x7fffffff;
    struct log2 *c = file_ctx("limit.log", limit);
    const char *text = msg().c_str();
    for (auto _ : state) log2_puts(c, 6, "bench", "bench/bench_logfile", 1, kFunc, text);
    state.SetItemsProcessed(state.iterations());
    log2_exit(c);
    unlink((dir() + "/limit.log").c_str());
}

void BM_spdlog_rotating(benchmark::State &state)
{
    std::string path = dir() + "/rot.log";
    unlink(path.c_str());
    size_t limit = state.range(0) ? (size_t)state.range(0) : (size_t)1 << 62;
    spd_setup(spdlog::rotating_logger_mt("bench", path, limit, 1));
    state.SetLabel("rotating_file_sink_mt, one backup file, flushed after every record");
    spd_records(state);
    spd_done(path);
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

// One halving of a full 2 MiB text file, against the plain move of its
// newest half in the same file: read into memory, the file reopened
// emptied ("w+") and the half written back through the stream.
std::string full_2mib()
{
    std::string line = std::string(120, 't') + "\n", content;
    while (content.size() < 0x200000) content += line;
    return content;
}

int refill(const std::string &path, const std::string &content, benchmark::State &state)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (write(fd, content.data(), content.size()) != (ssize_t)content.size()) state.SkipWithError("write");
    return fd;
}

void BM_halve_2mib_vk(benchmark::State &state)
{
    std::string path = dir() + "/halve.log";
    std::string content = full_2mib();
    fd_halve_mark mark;
    fd_halve_mark_init(&mark, log_file_whole_end);
    fd_log_place at;
    fd_log_place_init(&at);
    close(refill(path, content, state));
    close(fd_open_log(path.c_str(), O_RDWR, 0, false, &at));
    fd_halve_mark_place(&mark, &at);
    for (auto _ : state) {
        state.PauseTiming();
        int fd = refill(path, content, state);
        state.ResumeTiming();
        log_file_trim(fd, &mark, (i64)content.size(), 0x200000);
        state.PauseTiming();
        close(fd);
        state.ResumeTiming();
    }
    fd_halve_mark_close(&mark);
    unlink(path.c_str());
}
BENCHMARK(BM_halve_2mib_vk)->Name("halve_2mib@vk")->Unit(benchmark::kMicrosecond);

void BM_halve_2mib_move(benchmark::State &state)
{
    std::string path = dir() + "/halve.log";
    std::string content = full_2mib();
    state.SetLabel("fread of the newest half, freopen \"w+\", fwrite, fflush");
    for (auto _ : state) {
        state.PauseTiming();
        close(refill(path, content, state));
        FILE *f = fopen(path.c_str(), "a+");
        state.ResumeTiming();
        long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : 0, half = 0x200000 / 2;
        char *buf = (char *)malloc((size_t)half);
        fseek(f, size - half, SEEK_SET);
        size_t got = fread(buf, 1, (size_t)half, f);
        f = freopen(path.c_str(), "w+", f);
        const char *nl = (const char *)memchr(buf, '\n', got);
        size_t skip = nl ? (size_t)(nl - buf) + 1 : 0;
        fwrite(buf + skip, 1, got - skip, f);
        fflush(f);
        free(buf);
        fseek(f, 0, SEEK_END);
        state.PauseTiming();
        fclose(f);
        state.ResumeTiming();
    }
    unlink(path.c_str());
}
BENCHMARK(BM_halve_2mib_move)
    ->Name("halve_2mib@read_reopen_write")
    ->Unit(benchmark::kMicrosecond);

// One open of a log six directories below "/" as the file output opens it
// (every step judged), against open(2) of the same path: a reopen follows
// every move or removal of the file.
std::string deep_log()
{
    std::string path = dir();
    for (const char *d : {"/a", "/b", "/c", "/d"}) mkdir((path += d).c_str(), 0755);
    return path + "/v.log";
}

void deep_done(std::string path)
{
    unlink(path.c_str());
    for (int i = 0; i < 4; ++i) rmdir((path = path.substr(0, path.rfind('/'))).c_str());
}

void BM_open_deep_vk(benchmark::State &state)
{
    std::string path = deep_log();
    for (auto _ : state) {
        fd_log_place at;
        fd_log_place_init(&at);
        int fd = fd_open_log(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0644, false, &at);
        if (fd < 0) {
            state.SkipWithError("fd_open_log");
            break;
        }
        close(fd);
        fd_log_place_close(&at);
    }
    deep_done(path);
}
BENCHMARK(BM_open_deep_vk)->Name("open_6_deep@vk");

void BM_open_deep_open(benchmark::State &state)
{
    std::string path = deep_log();
    state.SetLabel("open(2) + close(2) of the same path");
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            state.SkipWithError("open");
            break;
        }
        close(fd);
    }
    deep_done(path);
}
BENCHMARK(BM_open_deep_open)->Name("open_6_deep@open");

// Records at a limit (2 MiB, 16 KiB): the slowest single record is one that
// halves the file; its time and the mean go out as result lines.
void BM_record_latency_at_limit(benchmark::State &state)
{
    struct log2 *c = file_ctx("lat.log", (i32)state.range(0));
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
    printf("result worst_record_at_%ld@vk %.1f us lower\n", (long)state.range(0), worst);
    log2_exit(c);
    unlink((dir() + "/lat.log").c_str());
}
BENCHMARK(BM_record_latency_at_limit)->Arg(0x200000)->Arg(16384)->Iterations(60000);

// Packets of the pcap writer (the file output's pcap kind) with the size
// rule after each, at no limit, 2 MiB and 2048 bytes.
void BM_pcap_limit(benchmark::State &state)
{
    std::string path = dir() + "/limit.pcap";
    unlink(path.c_str());
    pcap *p = pcap_open_dead(147, 65536, 0);
    pcap_dumper *d = pcap_dump_open(p, path.c_str());
    u64 limit = state.range(0) ? (u64)state.range(0) : ~0ull;
    std::string data(150, 'p');
    pcap_pkthdr h{1, 2, (u32)data.size(), (u32)data.size()};
    for (auto _ : state) pcap_dump_write_limited(d, &h, data.data(), limit);
    state.SetItemsProcessed(state.iterations());
    pcap_dump_close(d);
    pcap_close(p);
    unlink(path.c_str());
}
BENCHMARK(BM_pcap_limit)->Name("pcap_limit@vk")->Arg(0)->Arg(0x200000)->Arg(2048)->UseRealTime()->MinTime(0.3);

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
    const std::pair<const char *, Fn> limited[2] = {{"log_file_limit@vk", BM_vkto_limit},
                                                    {"log_file_limit@spdlog_rotating", BM_spdlog_rotating}};
    for (int r = 0; r < kRounds; ++r) {
        for (int threads : {1, 4})
            for (int k = 0; k < 2; ++k) {
                const auto &s = sides[(k + r) % 2];
                benchmark::RegisterBenchmark(s.first, s.second)->Threads(threads)->UseRealTime()->MinTime(0.2);
            }
        for (long limit : {0L, 0x200000L, 16384L})
            for (int k = 0; k < 2; ++k) {
                const auto &s = limited[(k + r) % 2];
                benchmark::RegisterBenchmark(s.first, s.second)->Arg(limit)->UseRealTime()->MinTime(0.2);
            }
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
