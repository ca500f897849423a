// The TCP shell of the real vkto (started as a child process from a
// temporary directory, its INI beside it, on a free loopback port):
//   - resident memory: idle, with 256 sessions open, and after they close;
//   - round trips: "echo x" request/reply pairs per second over one session
//     and over 16 sessions at once, beside a minimal thread-per-connection
//     echo server in this program;
//   - connection churn: 10,000 connect/command/close cycles from 8 client
//     threads, beside thread-per-connection floors and a raw accept floor.
// Figures that have no Google Benchmark form are printed as "result" lines
// (see bench/run_bench.py, which pairs them).
//
//   bench_tcp_shell [--benchmark_...]   (VKTO=<path> overrides the program)
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_sock.h"

#ifndef VKTO_EXE
#define VKTO_EXE "vkto"
#endif

namespace {

const char kRequest[] = "echo x\n";

// One connect attempt: a blocking client connection with a 5 s limit on
// every transfer; -1 on failure.
int connect_once(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a = loopback(port);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// A connection, retried for up to 5 s while the server starts.
int dial(int port)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = connect_once(port);
        if (fd >= 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

// One request and its reply, read up to the terminator byte.
bool round_trip(int fd, char term)
{
    if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != (ssize_t)(sizeof kRequest - 1)) return false;
    char buf[256];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        if (memchr(buf, term, (size_t)n)) return true;
    }
}

// ---- the floor: a minimal echo server --------------------------------------

struct echo_server {
    accept_loop loop;
    int port = 0;
    std::vector<std::thread> conns;  // touched by the loop's thread, then by finish

    void start()
    {
        loop.start(64, [this](int c) {
            conns.emplace_back([c] {
                char buf[4096];
                for (;;) {
                    ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0 || send(c, buf, (size_t)n, MSG_NOSIGNAL) != n) break;
                }
                close(c);
            });
        });
        port = loop.port;
    }
    void finish()
    {
        loop.finish();
        for (auto &t : conns) t.join();  // every client has closed by now
    }
};

// ---- vkto as a child process -------------------------------------------------

struct vkto_child {
    bench_child c;
    pid_t pid = -1;
    int port = 0;

    bool start()
    {
        const char *exe = getenv("VKTO");
        if (!exe || !*exe) exe = VKTO_EXE;
        port = free_port();
        char ini[256];
        snprintf(ini, sizeof ini,
                 "[debug]\nshell_server_port=%d\nshell_server_addr=127.0.0.1\nhttp_server_port=0\n\n[log]\nlevel=info\n",
                 port);
        c = bench_start_vkto(exe, ini);
        pid = c.pid;
        if (pid <= 0) return false;
        int fd = dial(port);
        if (fd < 0) return false;
        close(fd);
        return true;
    }
    void finish() { c.stop(); }
};

// ---- connection churn ------------------------------------------------------

constexpr int kCycleThreads = 8;
constexpr int kCycles = 10000;
const char kCycleReply[] = "x\r\n";  // vkto's reply to kRequest; sent with its NUL

struct cycle_stats {
    int cycles = 0;
    double seconds = 0;
    double max_ms = 0;
    int over_100ms = 0;
    int failed = 0;

    double per_s() const { return seconds > 0 ? cycles / seconds : 0; }
    void add(const cycle_stats &o)
    {
        cycles += o.cycles;
        seconds += o.seconds;
        max_ms = std::max(max_ms, o.max_ms);
        over_100ms += o.over_100ms;
        failed += o.failed;
    }
};

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One cycle: a single connect attempt, the request, the whole reply (up to
// its NUL), close.
bool connect_cycle(int port)
{
    int fd = connect_once(port);
    if (fd < 0) return false;
    bool ok = round_trip(fd, '\0');
    close(fd);
    return ok;
}

cycle_stats run_cycles(int port, int cycles)
{
    std::atomic<int> next{0};
    std::vector<std::vector<double>> times(kCycleThreads);
    std::atomic<int> failed{0};
    double t0 = now_s();
    std::vector<std::thread> ts;
    for (int k = 0; k < kCycleThreads; ++k) {
        ts.emplace_back([&, k] {
            times[k].reserve(cycles / kCycleThreads + 1);
            while (next.fetch_add(1) < cycles) {
                double c0 = now_s();
                if (!connect_cycle(port)) ++failed;
                times[k].push_back((now_s() - c0) * 1000);
            }
        });
    }
    for (auto &t : ts) t.join();
    cycle_stats st;
    st.cycles = cycles;
    st.seconds = now_s() - t0;
    st.failed = failed.load();
    for (auto &v : times)
        for (double ms : v) {
            st.max_ms = std::max(st.max_ms, ms);
            if (ms > 100) ++st.over_100ms;
        }
    return st;
}

// A floor's connection: every request (up to its line feed) gets vkto's
// reply bytes with the NUL, until the client closes, as vkto's sessions
// do; or, with once, the first request is answered and the floor closes.
void floor_serve(int c, bool once)
{
    struct timeval tv = {5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256];
    for (;;) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (!memchr(buf, '\n', (size_t)n)) continue;
        if (send(c, kCycleReply, sizeof kCycleReply, MSG_NOSIGNAL) <= 0 || once) break;
    }
    close(c);
}

void floor_session(int c) { floor_serve(c, false); }
void floor_answer_once(int c) { floor_serve(c, true); }

// Connect, one command, close, from 8 client threads: vkto beside two
// peers in this program. The thread-per-connection floor accepts on one
// thread and runs each connection on a new (detached, default-stack)
// thread that answers requests until the client closes, as vkto's
// sessions do; vkto and this floor run in the order floor, vkto, vkto,
// floor, half the cycles each time, so that neither gains from going
// first. Two references close first, after one answer, which vkto's
// sessions cannot (they wait for the next request): one with a thread per
// connection, and the raw accept floor, which answers on the accepting
// thread itself (the most this machine's loopback allows).
void connection_churn(int vkto_port)
{
    accept_loop per_thread, per_thread_once, raw;
    if (!per_thread.start(SOMAXCONN, [](int c) { std::thread(floor_session, c).detach(); }) ||
        !per_thread_once.start(SOMAXCONN, [](int c) { std::thread(floor_answer_once, c).detach(); }) ||
        !raw.start(SOMAXCONN, floor_answer_once)) {
        fprintf(stderr, "accept floors did not start\n");
        return;
    }
    cycle_stats t, v;
    t.add(run_cycles(per_thread.port, kCycles / 2));
    v.add(run_cycles(vkto_port, kCycles / 2));
    v.add(run_cycles(vkto_port, kCycles / 2));
    t.add(run_cycles(per_thread.port, kCycles / 2));
    cycle_stats o = run_cycles(per_thread_once.port, kCycles);
    cycle_stats r = run_cycles(raw.port, kCycles);
    per_thread.finish();
    per_thread_once.finish();
    raw.finish();
    printf("result connect_cycle@vk %.0f cycles/s higher\n", v.per_s());
    printf("result connect_cycle@thread_per_connection %.0f cycles/s higher "
           "accept on one thread; a new std::thread per connection answers each request until the client "
           "closes\n",
           t.per_s());
    printf("result connect_cycle@thread_per_connection_closing_first %.0f cycles/s higher "
           "as the thread-per-connection floor, but the thread answers one request and closes first\n",
           o.per_s());
    printf("result connect_cycle@raw_accept %.0f cycles/s higher "
           "one thread accepts, answers and closes first (no thread per connection)\n",
           r.per_s());
    printf("result slowest_cycle@vk %.1f ms lower\n", v.max_ms);
    printf("note connect cycles: %d per side from %d client threads; vkto %d over 100 ms, %d failed\n", kCycles,
           kCycleThreads, v.over_100ms, v.failed);
}

// ---- resident memory ---------------------------------------------------------

// RSS that has not moved for 0.3 s (at most 5 s of waiting).
long settled_rss_kib(pid_t pid)
{
    long last = rss_kib(pid);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        long now = rss_kib(pid);
        if (now == last) break;
        last = now;
    }
    return last;
}

// Idle RSS, RSS with 256 sessions open (each answered once), and RSS after
// they have all closed.
void session_memory(pid_t pid, int port)
{
    constexpr int kSessions = 256;
    long idle = settled_rss_kib(pid);
    std::vector<int> fds;
    for (int i = 0; i < kSessions; ++i) {
        int fd = dial(port);
        if (fd < 0 || !round_trip(fd, '\0')) {
            if (fd >= 0) close(fd);
            break;
        }
        fds.push_back(fd);
    }
    long open = rss_kib(pid);
    for (int fd : fds) close(fd);
    long after = settled_rss_kib(pid);
    printf("result rss_idle@vk %ld KiB lower\n", idle);
    printf("result rss_%d_sessions_open@vk %ld KiB lower\n", kSessions, open);
    printf("result rss_after_%d_sessions_closed@vk %ld KiB lower\n", kSessions, after);
    printf("result rss_left_by_%d_sessions@vk %ld KiB lower\n", kSessions, after - idle);
    if ((int)fds.size() != kSessions) printf("note only %zu of %d sessions answered\n", fds.size(), kSessions);
}

echo_server g_echo;
vkto_child g_vkto;

// One session per benchmark thread, opened before the timed loop.
void run_round_trips(benchmark::State &state, int port, char term)
{
    int fd = dial(port);
    if (fd < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        if (!round_trip(fd, term)) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
}

void BM_EchoFloor(benchmark::State &state)
{
    run_round_trips(state, g_echo.port, '\n');
    state.SetLabel("echo server in this program, one thread per connection");
}

void BM_VktoShell(benchmark::State &state)
{
    run_round_trips(state, g_vkto.port, '\0');
}

// In the order vkto, floor, floor, vkto, so that a machine whose load
// drifts during the run favours neither side.
BENCHMARK(BM_VktoShell)->Name("shell_round_trip@vk")->Threads(1)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_EchoFloor)->Name("shell_round_trip@echo_floor")->Threads(1)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_EchoFloor)->Name("shell_round_trip@echo_floor")->Threads(16)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_VktoShell)->Name("shell_round_trip@vk")->Threads(16)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    g_echo.start();
    if (!g_vkto.start()) {
        fprintf(stderr, "vkto did not start (set VKTO to the program's path)\n");
        g_vkto.finish();
        g_echo.finish();
        return 1;
    }
    session_memory(g_vkto.pid, g_vkto.port);
    benchmark::RunSpecifiedBenchmarks();
    connection_churn(g_vkto.port);
    g_vkto.finish();
    g_echo.finish();
    benchmark::Shutdown();
    return 0;
}
