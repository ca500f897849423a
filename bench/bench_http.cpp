// The web tool's requests per second and latency beside CivetWeb: wrk
// -t2 -c64 -d10s against /cmd?command=echo%20x of the real vkto (a child
// process from a temporary directory, its INI beside it) and against a
// small CivetWeb program that serves the same answer from a handler, both
// on loopback with Connection: close, in paired runs; then the RSS of vkto
// before and after 100,000 requests.
//
//   bench_http [runs] [seconds]   (VKTO=<path> and PEER=<path> override)
#include <arpa/inet.h>
#include <fcntl.h>
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
#include <string>
#include <thread>
#include <vector>

#include "bench_sock.h"

#ifndef VKTO_EXE
#define VKTO_EXE "vkto"
#endif
#ifndef PEER_EXE
#define PEER_EXE ""
#endif

namespace {

const char kTarget[] = "/cmd?command=echo%20x";

bool wait_port(int port)
{
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = loopback(port);
        bool ok = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
        close(fd);
        if (ok) return true;
        usleep(50000);
    }
    return false;
}

bench_child start_vkto(const std::string &exe, int port)
{
    char ini[256];
    snprintf(ini, sizeof ini,
             "[debug]\nshell_server_port=0\nhttp_server_port=%d\nhttp_server_addr=127.0.0.1\n\n[log]\nlevel=info\n",
             port);
    return bench_start_vkto(exe, ini);
}

struct wrk_result {
    double rps = 0;
    double p50_ms = 0;
};

double to_ms(const char *v)
{
    double x = atof(v);
    if (strstr(v, "us")) return x / 1000.0;
    if (strstr(v, "ms")) return x;
    if (strstr(v, "s")) return x * 1000.0;
    return x;
}

wrk_result run_wrk(int port, int seconds)
{
    char cmd[512];
    snprintf(cmd, sizeof cmd,
             "wrk -t2 -c64 -d%ds --latency -H 'Connection: close' 'http://127.0.0.1:%d%s' 2>&1", seconds, port,
             kTarget);
    wrk_result r;
    FILE *p = popen(cmd, "r");
    if (!p) return r;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char v[64];
        if (sscanf(line, " 50%% %63s", v) == 1) r.p50_ms = to_ms(v);
        if (sscanf(line, "Requests/sec: %lf", &r.rps) == 1) continue;
    }
    pclose(p);
    return r;
}

// n requests from `threads` clients, each on its own connection; the
// number answered.
long requests(int port, long n, int threads)
{
    std::atomic<long> next{0}, done{0};
    std::vector<std::thread> ts;
    const std::string req = std::string("GET ") + kTarget + " HTTP/1.0\r\nConnection: close\r\n\r\n";
    for (int t = 0; t < threads; ++t) {
        ts.emplace_back([&] {
            while (next.fetch_add(1) < n) {
                int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                struct timeval tv = {5, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                struct sockaddr_in a = loopback(port);
                if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
                    send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size()) {
                    char buf[1024];
                    size_t got = 0;
                    ssize_t k;
                    while ((k = recv(fd, buf, sizeof buf, 0)) > 0) got += (size_t)k;
                    if (got > 0) done++;
                }
                close(fd);
            }
        });
    }
    for (auto &t : ts) t.join();
    return done.load();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    int seconds = argc > 2 ? atoi(argv[2]) : 10;
    std::string vkto = getenv("VKTO") ? getenv("VKTO") : VKTO_EXE;
    std::string peer = getenv("PEER") ? getenv("PEER") : PEER_EXE;
    if (std::system("command -v wrk >/dev/null 2>&1") != 0) {
        printf("bench_http: wrk is missing (Debian package wrk)\n");
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    int vport = free_port();
    bench_child v = start_vkto(vkto, vport);
    if (v.pid <= 0 || !wait_port(vport)) {
        printf("bench_http: vkto did not start\n");
        v.stop();
        return 1;
    }
    bench_child c;
    int cport = 0;
    if (!peer.empty()) {
        cport = free_port();
        c = bench_spawn(peer, {std::to_string(cport), "64"}, "");
        if (c.pid <= 0 || !wait_port(cport)) {
            printf("bench_http: the CivetWeb peer did not start\n");
            c.stop();
            cport = 0;
        }
    } else {
        printf("bench_http: no CivetWeb peer (Debian package libcivetweb-dev): vkto alone\n");
    }

    run_wrk(vport, 2);
    if (cport) run_wrk(cport, 2);
    std::vector<double> ratios, vp50, cp50, vrps, crps;
    for (int i = 0; i < runs; ++i) {
        // The order alternates so that neither side always runs second.
        wrk_result a, b;
        if (i % 2 == 0) {
            a = run_wrk(vport, seconds);
            if (cport) b = run_wrk(cport, seconds);
        } else {
            if (cport) b = run_wrk(cport, seconds);
            a = run_wrk(vport, seconds);
        }
        vrps.push_back(a.rps);
        vp50.push_back(a.p50_ms);
        printf("run %d: vkto %.0f req/s p50 %.3f ms", i + 1, a.rps, a.p50_ms);
        if (cport) {
            crps.push_back(b.rps);
            cp50.push_back(b.p50_ms);
            ratios.push_back(b.rps > 0 ? a.rps / b.rps : 0);
            printf(" | civetweb %.0f req/s p50 %.3f ms | ratio %.2f", b.rps, b.p50_ms, ratios.back());
        }
        printf("\n");
        fflush(stdout);
    }
    printf("vkto      req/s median %.0f, p50 median %.3f ms\n", median(vrps), median(vp50));
    if (cport) {
        printf("civetweb  req/s median %.0f, p50 median %.3f ms (64 threads)\n", median(crps), median(cp50));
        printf("ratio vkto/civetweb: min %.2f, median %.2f (target >= 1.0)\n",
               *std::min_element(ratios.begin(), ratios.end()), median(ratios));
    }

    // Memory: a warm-up, then the RSS before and after 100,000 requests.
    requests(vport, 5000, 8);
    usleep(300000);
    long before = rss_kib(v.pid);
    long answered = requests(vport, 100000, 8);
    usleep(300000);
    long after = rss_kib(v.pid);
    printf("vkto RSS: %ld KiB before, %ld KiB after 100000 requests (%ld answered): %+ld KiB (target within 512)\n",
           before, after, answered, after - before);
    c.stop();
    v.stop();
    return 0;
}
