// The web tool beside slow clients: 512 connections that send a request
// head at one byte per second, from 256 source addresses (127.0.1.0 to
// 127.0.1.255, two each, reconnecting whenever the server closes them),
// while 200 ordinary requests come from 127.0.0.1 over 12 s (four clients
// at once). Goal: at least 99% of the ordinary requests answered within
// 1 s, and the server's threads and descriptors back to their baseline
// once the slow clients have gone. vkto runs as a child process from a
// temporary directory, its INI beside it. Figures go out as "result" lines
// (see bench/run_bench.py); there is no peer.
//
//   bench_http_slow [slow connections]   (VKTO=<path> overrides the program)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_sock.h"

#ifndef VKTO_EXE
#define VKTO_EXE "vkto"
#endif

namespace {

const char kTarget[] = "/cmd?command=echo%20x";
const char kBody[] = "[{\"resp\":\"x\\n\\u0000\"}]";
constexpr int kOrdinary = 200;
constexpr int kOrdinaryClients = 4;
constexpr int kSpreadMs = 12000;

double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Threads and open descriptors of a process.
struct counts {
    long threads = -1;
    long fds = -1;
};

counts proc_counts(pid_t pid)
{
    counts c;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    if (FILE *f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Threads: %ld", &c.threads) == 1) break;
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/%d/fd", (int)pid);
    if (DIR *d = opendir(path)) {
        c.fds = 0;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') c.fds++;
        closedir(d);
    }
    return c;
}

// One ordinary request: its time in ms, or -1 when it was not answered
// with the expected body (within 5 s).
double ordinary(int port)
{
    double t0 = now_ms();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a = loopback(port);
    std::string req = std::string("GET ") + kTarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string got;
    if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
        send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size()) {
        char buf[2048];
        ssize_t k;
        while ((k = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, (size_t)k);
    }
    close(fd);
    bool ok = got.rfind("HTTP/1.1 200", 0) == 0 && got.size() >= strlen(kBody) &&
              got.compare(got.size() - strlen(kBody), std::string::npos, kBody) == 0;
    return ok ? now_ms() - t0 : -1;
}

// The slow clients: n connections, each bound to its source address, that
// send a head's first line and then one byte per second; a connection the
// server closes is made again.
struct slow_clients {
    int port = 0;
    int n = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> reconnects{0};
    std::atomic<int> open{0};
    std::thread th;

    static int dial(int port, int i)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return -1;
        struct sockaddr_in src = {};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | (u_int32_t)(i % 256));
        struct sockaddr_in dst = loopback(port);
        if (bind(fd, (struct sockaddr *)&src, sizeof src) != 0 ||
            (connect(fd, (struct sockaddr *)&dst, sizeof dst) != 0 && errno != EINPROGRESS)) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void run()
    {
        std::vector<int> fds(n, -1);
        std::vector<int> sent(n, 0);  // bytes of the head sent
        const std::string first = std::string("GET ") + kTarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        double next = now_ms();
        while (!stop.load()) {
            int live = 0;
            for (int i = 0; i < n; ++i) {
                if (fds[i] < 0) {
                    fds[i] = dial(port, i);
                    sent[i] = 0;
                    if (fds[i] < 0) continue;
                }
                struct pollfd p = {fds[i], POLLIN | POLLOUT, 0};
                poll(&p, 1, 0);
                char buf[256];
                bool closed = (p.revents & (POLLERR | POLLHUP)) != 0;
                if (!closed && (p.revents & POLLIN)) closed = recv(fds[i], buf, sizeof buf, 0) <= 0;
                if (!closed && (p.revents & POLLOUT)) {
                    // The first line at once, then one byte per second.
                    ssize_t k = sent[i] == 0 ? send(fds[i], first.data(), first.size(), MSG_NOSIGNAL)
                                             : send(fds[i], "a", 1, MSG_NOSIGNAL);
                    if (k < 0 && errno != EAGAIN) closed = true;
                    else if (k > 0) sent[i] += (int)k;
                }
                if (closed) {
                    close(fds[i]);
                    fds[i] = -1;
                    reconnects++;
                    continue;
                }
                ++live;
            }
            open.store(live);
            next += 1000;
            double wait = next - now_ms();
            if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds((long)(wait * 1000)));
        }
        for (int fd : fds)
            if (fd >= 0) close(fd);
        open.store(0);
    }

    void start(int p, int count)
    {
        port = p;
        n = count;
        th = std::thread([this] { run(); });
    }
    void finish()
    {
        stop = true;
        if (th.joinable()) th.join();
    }
};

double percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(q * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char **argv)
{
    int slow = argc > 1 ? atoi(argv[1]) : 512;
    std::string vkto = getenv("VKTO") ? getenv("VKTO") : VKTO_EXE;
    signal(SIGPIPE, SIG_IGN);
    int port = free_port();
    bench_child v = bench_start_vkto_web(vkto, port);
    if (v.pid <= 0 || !wait_port(port)) {
        printf("bench_http_slow: vkto did not start\n");
        v.stop();
        return 1;
    }
    // The baseline: after some requests, once idle request threads ended.
    for (int i = 0; i < 20; ++i) ordinary(port);
    sleep(3);
    counts base = proc_counts(v.pid);

    slow_clients sc;
    sc.start(port, slow);
    for (int i = 0; i < 100 && sc.open.load() < slow; ++i) usleep(100000);
    sleep(2);
    int open_at_start = sc.open.load();

    // The ordinary requests, spread over the time the slow clients are cut
    // at their head deadline and come back.
    std::vector<double> times;
    std::mutex tm;
    std::atomic<int> next{0};
    std::atomic<long> peak_threads{0};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling.load()) {
            long t = proc_counts(v.pid).threads;
            if (t > peak_threads.load()) peak_threads.store(t);
            usleep(100000);
        }
    });
    double t0 = now_ms();
    std::vector<std::thread> clients;
    for (int c = 0; c < kOrdinaryClients; ++c) {
        clients.emplace_back([&] {
            for (int i; (i = next.fetch_add(1)) < kOrdinary;) {
                double at = t0 + (double)i * kSpreadMs / kOrdinary;
                double wait = at - now_ms();
                if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds((long)(wait * 1000)));
                double ms = ordinary(port);
                std::lock_guard<std::mutex> g(tm);
                times.push_back(ms);
            }
        });
    }
    for (auto &t : clients) t.join();
    sampling = false;
    sampler.join();
    long reconnects = sc.reconnects.load();
    sc.finish();

    int within = 0, answered = 0;
    std::vector<double> ok;
    for (double ms : times) {
        if (ms < 0) continue;
        ++answered;
        ok.push_back(ms);
        if (ms <= 1000) ++within;
    }
    // Back to the baseline once the slow clients are gone (at most 15 s).
    counts after = proc_counts(v.pid);
    for (int i = 0; i < 150 && (after.threads > base.threads || after.fds > base.fds); ++i) {
        usleep(100000);
        after = proc_counts(v.pid);
    }
    printf("result slow_heads_answered_within_1s@vk %.1f %% higher\n", 100.0 * within / kOrdinary);
    printf("result slow_heads_p50@vk %.2f ms lower\n", percentile(ok, 0.5));
    printf("result slow_heads_p99@vk %.2f ms lower\n", percentile(ok, 0.99));
    printf("result slow_heads_threads_over_baseline@vk %ld threads lower\n", after.threads - base.threads);
    printf("result slow_heads_fds_over_baseline@vk %ld fds lower\n", after.fds - base.fds);
    printf("note %d slow connections from 256 addresses (%d open when the ordinary requests began, %ld "
           "reconnects); %d of %d ordinary requests answered, %d within 1 s (goal >= 99%%)\n",
           slow, open_at_start, reconnects, answered, kOrdinary, within);
    printf("note vkto threads: %ld at baseline, %ld at most with the slow clients, %ld after; descriptors: %ld "
           "at baseline, %ld after\n",
           base.threads, peak_threads.load(), after.threads, base.fds, after.fds);
    v.stop();
    return 0;
}
