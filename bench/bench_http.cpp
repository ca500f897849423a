// The web tool's requests per second and latency beside CivetWeb: wrk
// -t2 -c64 against /cmd?command=echo%20x of the real vkto (a child process
// from a temporary directory, its INI beside it) and against a small
// CivetWeb program whose handler sends the same answer with its
// Content-Length, both on loopback:
//   - "Connection: close" requested by wrk: both sides close after each
//     answer (CivetWeb with its default settings);
//   - keep-alive: wrk keeps its connections where the server lets it;
//     CivetWeb with enable_keep_alive and tcp_nodelay keeps them, vkto
//     closes after each answer.
// Each side is measured twice per run, in the order peer, vkto, vkto, peer,
// half the time each; then the RSS of vkto before and after 100,000
// requests. Figures go out as "result" lines (see bench/run_bench.py).
//
//   bench_http [seconds]   (VKTO=<path> and PEER=<path> override)
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
const char kPeerLabel[] = "CivetWeb 1.15, a handler sending the same bytes with Content-Length, 64 threads";

// A CivetWeb peer on a free port; port 0 when it did not start.
bench_child start_peer(const std::string &exe, bool keep_alive, int *port)
{
    *port = free_port();
    std::vector<std::string> args = {std::to_string(*port), "64"};
    if (keep_alive) args.push_back("keepalive");
    bench_child c = bench_spawn(exe, args, "");
    if (c.pid <= 0 || !wait_port(*port)) {
        printf("note the CivetWeb peer (%s) did not start\n", keep_alive ? "keep-alive" : "close");
        c.stop();
        *port = 0;
    }
    return c;
}

struct wrk_result {
    double rps = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    long errors = 0;  // socket errors and answers other than 2xx
};

double to_ms(const char *v)
{
    double x = atof(v);
    if (strstr(v, "us")) return x / 1000.0;
    if (strstr(v, "ms")) return x;
    if (strstr(v, "s")) return x * 1000.0;
    return x;
}

wrk_result run_wrk(int port, int seconds, bool close_each)
{
    char cmd[512];
    snprintf(cmd, sizeof cmd, "wrk -t2 -c64 -d%ds --latency %s 'http://127.0.0.1:%d%s' 2>&1", seconds,
             close_each ? "-H 'Connection: close'" : "", port, kTarget);
    wrk_result r;
    FILE *p = popen(cmd, "r");
    if (!p) return r;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char v[64];
        long a = 0, b = 0, c = 0, d = 0;
        if (sscanf(line, " 50%% %63s", v) == 1) r.p50_ms = to_ms(v);
        else if (sscanf(line, " 99%% %63s", v) == 1) r.p99_ms = to_ms(v);
        else if (sscanf(line, "Requests/sec: %lf", &r.rps) == 1) continue;
        else if (sscanf(line, " Socket errors: connect %ld, read %ld, write %ld, timeout %ld", &a, &b, &c, &d) == 4)
            r.errors += a + b + c + d;
        else if (sscanf(line, " Non-2xx or 3xx responses: %ld", &a) == 1) r.errors += a;
    }
    pclose(p);
    return r;
}

// Both halves of one side, averaged.
wrk_result mean(const wrk_result &a, const wrk_result &b)
{
    wrk_result m;
    m.rps = (a.rps + b.rps) / 2;
    m.p50_ms = (a.p50_ms + b.p50_ms) / 2;
    m.p99_ms = (a.p99_ms + b.p99_ms) / 2;
    m.errors = a.errors + b.errors;
    return m;
}

// vkto and a peer in the order peer, vkto, vkto, peer; the figures as
// result lines of the case.
void paired(const char *name, int vport, int pport, const char *peer, const char *label, int seconds,
            bool close_each)
{
    int half = std::max(1, seconds / 2);
    wrk_result p1 = pport ? run_wrk(pport, half, close_each) : wrk_result();
    wrk_result v = mean(run_wrk(vport, half, close_each), run_wrk(vport, half, close_each));
    wrk_result p = pport ? mean(p1, run_wrk(pport, half, close_each)) : wrk_result();
    printf("result %s@vk %.0f req/s higher\n", name, v.rps);
    printf("result %s_p50@vk %.3f ms lower\n", name, v.p50_ms);
    printf("result %s_p99@vk %.3f ms lower\n", name, v.p99_ms);
    if (pport) {
        printf("result %s@%s %.0f req/s higher %s\n", name, peer, p.rps, label);
        printf("result %s_p50@%s %.3f ms lower %s\n", name, peer, p.p50_ms, label);
        printf("result %s_p99@%s %.3f ms lower %s\n", name, peer, p.p99_ms, label);
    }
    if (v.errors || p.errors) printf("note %s: %ld errors at vkto, %ld at %s\n", name, v.errors, p.errors, peer);
    fflush(stdout);
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

}  // namespace

int main(int argc, char **argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    std::string vkto = getenv("VKTO") ? getenv("VKTO") : VKTO_EXE;
    std::string peer = getenv("PEER") ? getenv("PEER") : PEER_EXE;
    if (std::system("command -v wrk >/dev/null 2>&1") != 0) {
        printf("bench_http: wrk is missing (Debian package wrk)\n");
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    int vport = free_port();
    bench_child v = bench_start_vkto_web(vkto, vport);
    if (v.pid <= 0 || !wait_port(vport)) {
        printf("bench_http: vkto did not start\n");
        v.stop();
        return 1;
    }
    bench_child pc, pk;
    int cport = 0, kport = 0;
    if (!peer.empty()) {
        pc = start_peer(peer, false, &cport);
        pk = start_peer(peer, true, &kport);
    } else {
        printf("note no CivetWeb peer (Debian package libcivetweb-dev): vkto alone\n");
    }

    // Warm-up: threads started, pages touched.
    run_wrk(vport, 2, true);
    if (cport) run_wrk(cport, 2, true);
    if (kport) run_wrk(kport, 2, false);
    paired("cmd_close", vport, cport, "civetweb", kPeerLabel, seconds, true);
    paired("cmd_keepalive", vport, kport, "civetweb_keepalive",
           "as civetweb, with enable_keep_alive=yes and tcp_nodelay=1 (vkto closes after each answer)", seconds,
           false);

    // Memory: a warm-up, then the RSS before and after 100,000 requests.
    requests(vport, 5000, 8);
    usleep(300000);
    long before = rss_kib(v.pid);
    long answered = requests(vport, 100000, 8);
    usleep(300000);
    long after = rss_kib(v.pid);
    printf("result rss_growth_100k_requests@vk %ld KiB lower\n", after - before);
    printf("note vkto RSS: %ld KiB before, %ld KiB after 100000 requests (%ld answered; target within 512 KiB)\n",
           before, after, answered);
    pc.stop();
    pk.stop();
    v.stop();
    return 0;
}
