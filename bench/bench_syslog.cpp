// Records per second to syslog over TCP, to a peer on loopback that reads
// everything: vkto's syslog output (the message queued for its sender
// thread) against the same records with no syslog (the console off as
// well: what a record costs without the output), and against spdlog's
// tcp_sink_mt sending the same RFC 3164 message, NUL included, from the
// logging thread. The sides take turns in short rounds whose order
// alternates; a note says how many of vkto's records its buffer dropped.
// Then the records that reach the peer per second, vkto's sender against
// spdlog's sends.
//
// bench_syslog --paced: ten runs, each logging from 4 threads at 200,000
// records/s in all for 5 s to the peer, with 4 busy processes (spin
// loops) pinned with the whole program to the same 4 cores; the last line
// says how many records the buffer dropped over the ten runs.
#include <benchmark/benchmark.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/tcp_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "liblog/log.h"
#include "liblog/log_conf.h"

namespace {

// Takes every connection and reads all that comes, until stopped.
struct peer {
    int fd = -1, port = 0;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> bytes{0};
    std::thread th;
    peer()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, (sockaddr *)&a, len) != 0 || listen(fd, 16) != 0) return;
        getsockname(fd, (sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
        th = std::thread([this] { run(); });
    }
    void run()
    {
        std::vector<pollfd> p = {{fd, POLLIN, 0}};
        std::vector<char> buf(1 << 20);
        while (!stop.load()) {
            if (poll(p.data(), p.size(), 100) <= 0) continue;
            for (size_t i = p.size(); i-- > 0;) {
                if (!p[i].revents) continue;
                if (i == 0) {
                    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) p.push_back({c, POLLIN, 0});
                    continue;
                }
                ssize_t n = recv(p[i].fd, buf.data(), buf.size(), 0);
                if (n > 0) {
                    bytes += (unsigned long long)n;
                } else {
                    close(p[i].fd);
                    p.erase(p.begin() + (long)i);
                }
            }
        }
        for (auto &q : p) close(q.fd);
    }
    ~peer()
    {
        stop = true;
        if (th.joinable()) th.join();
    }
};

peer *g_peer;
struct log2 *g_ctx;
unsigned long long g_logged, g_dropped;
constexpr const char *kFunc = "serve_request";

struct log2 *make_ctx(bool syslog)
{
    struct log2 *c = log_ctx_new();
    c->con_on.store(0);
    c->level.store(6);
    c->flags.store(LOG_F_TIME | LOG_F_TID | LOG_F_FUNC);
    if (syslog) {
        std::string url = "tcp://127.0.0.1:" + std::to_string(g_peer->port);
        log2_ioctl(c, LOG_IOC_SYSLOG_URL, (intptr_t)url.c_str(), 0);
        log2_ioctl(c, LOG_IOC_SYSLOG_ON, 1, 0);
    }
    return c;
}

void vk_records(benchmark::State &state, bool syslog)
{
    if (state.thread_index() == 0) g_ctx = make_ctx(syslog);
    int i = 0;
    for (auto _ : state)
        log2_printf(g_ctx, 6, "bench", "bench/bench_syslog", 1, kFunc, "request %d served in %d us from %s\n", ++i,
                    42, "127.0.0.1");
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        if (syslog) {
            // What the sender did not send is counted with the drops.
            log_net_stop(&g_ctx->net, 5000);
            log_net_close(&g_ctx->net);
            g_dropped += (u32)g_ctx->net.file_note;
            g_logged += (unsigned long long)state.iterations() * (unsigned long long)state.threads();
        }
        log2_exit(g_ctx);
    }
}

void BM_vk_syslog(benchmark::State &state)
{
    vk_records(state, true);
}

void BM_vk_no_syslog(benchmark::State &state)
{
    state.SetLabel("the same records with no syslog output (and the console off)");
    vk_records(state, false);
}

std::shared_ptr<spdlog::logger> g_spd;

std::shared_ptr<spdlog::logger> spd_logger()
{
    auto sink = std::make_shared<spdlog::sinks::tcp_sink_mt>(spdlog::sinks::tcp_sink_config("127.0.0.1", g_peer->port));
    auto l = std::make_shared<spdlog::logger>("bench", sink);
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    // vkto's message: "<14>Mmm dd hh:mm:ss host tag[pid]: [tid] func(): text\n" and its NUL.
    l->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "<14>%b %d %H:%M:%S " + std::string(host) + " bench[" + std::to_string(getpid()) + "]: [%t] %!(): %v",
        spdlog::pattern_time_type::local, std::string("\n\0", 2)));
    return l;
}

void BM_spdlog_tcp(benchmark::State &state)
{
    if (state.thread_index() == 0) g_spd = spd_logger();
    state.SetLabel("spdlog tcp_sink_mt, the same message, sent by the logging thread");
    int i = 0;
    for (auto _ : state)
        g_spd->log(spdlog::source_loc{__FILE__, __LINE__, kFunc}, spdlog::level::info,
                   "request {} served in {} us from {}", ++i, 42, "127.0.0.1");
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) g_spd.reset();
}

// Records that reach the peer per second, one thread logging 200000: for
// vkto from the first record until its sender has sent all it kept (those
// its buffer dropped do not count), for spdlog until its last send
// returned. The median of five rounds per side.
void delivered_rounds()
{
    constexpr int kRecords = 200000, kRounds = 5;
    std::vector<double> rate[2];
    unsigned long long dropped = 0;
    for (int r = 0; r < kRounds; ++r)
        for (int k = 0; k < 2; ++k) {
            int side = (k + r) % 2;
            auto t0 = std::chrono::steady_clock::now();
            double got = kRecords;
            if (side == 0) {
                struct log2 *c = make_ctx(true);
                for (int i = 0; i < kRecords; ++i)
                    log2_printf(c, 6, "bench", "bench/bench_syslog", 1, kFunc, "request %d served in %d us from %s\n",
                                i, 42, "127.0.0.1");
                log_net_stop(&c->net, 10000);
                double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                log_net_close(&c->net);
                got -= (u32)c->net.file_note;
                dropped += (u32)c->net.file_note;
                log2_exit(c);
                rate[0].push_back(got / secs);
            } else {
                auto l = spd_logger();
                for (int i = 0; i < kRecords; ++i)
                    l->log(spdlog::source_loc{__FILE__, __LINE__, kFunc}, spdlog::level::info,
                           "request {} served in {} us from {}", i, 42, "127.0.0.1");
                rate[1].push_back(got / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            }
        }
    for (auto &v : rate) std::sort(v.begin(), v.end());
    printf("note syslog_tcp_delivered@vk: %llu of %d records dropped\n", dropped, kRecords * kRounds);
    printf("result syslog_tcp_delivered@vk %.0f items/s higher\n", rate[0][kRounds / 2]);
    printf("result syslog_tcp_delivered@spdlog_tcp %.0f items/s higher "
           "spdlog tcp_sink_mt, one thread, every record sent\n", rate[1][kRounds / 2]);
}

void register_rounds()
{
    constexpr int kRounds = 4;
    using Fn = void (*)(benchmark::State &);
    const std::pair<const char *, Fn> sides[3] = {{"syslog_tcp@vk", BM_vk_syslog},
                                                  {"syslog_tcp@no_syslog", BM_vk_no_syslog},
                                                  {"syslog_tcp@spdlog_tcp", BM_spdlog_tcp}};
    for (int r = 0; r < kRounds; ++r)
        for (int threads : {1, 4})
            for (int k = 0; k < 3; ++k) {
                const auto &s = sides[(k + r) % 3];
                benchmark::RegisterBenchmark(s.first, s.second)->Threads(threads)->UseRealTime()->MinTime(0.2);
            }
}

// The first n cores the program may run on, and the program pinned to
// them; the number of cores taken.
int pin_cores(int n, cpu_set_t *set)
{
    cpu_set_t allowed;
    CPU_ZERO(set);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 0;
    int k = 0;
    for (int c = 0; c < CPU_SETSIZE && k < n; ++c)
        if (CPU_ISSET(c, &allowed)) {
            CPU_SET(c, set);
            ++k;
        }
    return sched_setaffinity(0, sizeof *set, set) == 0 ? k : 0;
}

// Busy processes on the program's cores until they are killed (or the
// program ends).
std::vector<pid_t> start_spinners(int n)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;) __asm__ volatile("" ::: "memory");
        }
        if (pid > 0) pids.push_back(pid);
    }
    return pids;
}

// One paced run: threads log rate records/s in all for secs seconds, each
// its share at a steady pace (what is due each millisecond, then a sleep);
// the records the buffer dropped, once the sender has sent what it could.
unsigned long long paced_run(int threads, int rate, int secs, unsigned long long *logged)
{
    struct log2 *c = make_ctx(true);
    std::vector<std::thread> ts;
    std::atomic<unsigned long long> total{0};
    auto t0 = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            const double per_ms = (double)rate / threads / 1000.0;
            const unsigned long long all = (unsigned long long)rate / (unsigned long long)threads * (unsigned long long)secs;
            unsigned long long done = 0;
            while (done < all) {
                double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                unsigned long long due = std::min(all, (unsigned long long)(ms * per_ms));
                for (; done < due; ++done)
                    log2_printf(c, 6, "bench", "bench/bench_syslog", 1, kFunc, "request %llu served in %d us from %s\n",
                                done, t, "127.0.0.1");
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            total += done;
        });
    for (auto &t : ts) t.join();
    log_net_stop(&c->net, 10000);
    log_net_close(&c->net);
    unsigned long long dropped = (u32)c->net.file_note;
    log2_exit(c);
    *logged += total.load();
    return dropped;
}

int paced_main()
{
    constexpr int kThreads = 4, kRate = 200000, kSecs = 5, kRuns = 10, kBusy = 4;
    cpu_set_t set;
    int cores = pin_cores(4, &set);
    peer p;
    g_peer = &p;
    std::vector<pid_t> busy = start_spinners(kBusy);
    unsigned long long dropped = 0, logged = 0;
    for (int r = 0; r < kRuns; ++r) {
        unsigned long long before = logged, d = paced_run(kThreads, kRate, kSecs, &logged);
        dropped += d;
        printf("run %d: dropped %llu of %llu\n", r + 1, d, logged - before);
        fflush(stdout);
    }
    for (pid_t pid : busy) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    printf("paced %d threads at %d records/s for %d s, %d runs, %d busy processes on %d cores: dropped %llu of %llu\n",
           kThreads, kRate, kSecs, kRuns, (int)busy.size(), cores, dropped, logged);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--paced") == 0) return paced_main();
    peer p;
    g_peer = &p;
    register_rounds();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delivered_rounds();
    printf("note syslog_tcp@vk: %llu of %llu records dropped (the buffer full)\n", g_dropped, g_logged);
    return 0;
}
