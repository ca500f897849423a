// Network core on loopback: connect-accept-echo-close round trips through a
// listener and its accept procedure, beside a minimal blocking
// accept/read/write loop (the floor of this machine), and the poller's
// wake-up latency. Every loop is bounded in count.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "libnet/libnet.h"
#include "libnet/sock_event.h"
#include "libnet/sock_srv.h"
#include "bench_sock.h"
#include "liblog/log.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_poller.h"

namespace {

constexpr int kRoundTrips = 3000;  // per run
constexpr size_t kMsg = 32;

// One client round trip: connect, send kMsg bytes, read them back, close.
bool round_trip(const struct sockaddr_in &to)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = false;
    if (connect(fd, (const struct sockaddr *)&to, sizeof to) == 0) {
        char out[kMsg], in[kMsg];
        memset(out, 'e', sizeof out);
        if (send(fd, out, sizeof out, MSG_NOSIGNAL) == (ssize_t)sizeof out) {
            size_t got = 0;
            while (got < sizeof in) {
                ssize_t n = recv(fd, in + got, sizeof in - got, 0);
                if (n <= 0) break;
                got += (size_t)n;
            }
            ok = got == sizeof in;
        }
    }
    close(fd);
    return ok;
}

// Echo inside the accept procedure through a net handle.
int echo_accept(u64 sock, os_ipaddr *, void *)
{
    net n{};
    n.type = NET_TYPE_SOCK;
    n.transport = sock;
    n.timeout = 1000;
    char buf[kMsg];
    int r = net_read(&n, buf, sizeof buf);
    if (r > 0) net_write(&n, buf, (size_t)r);
    net_close(&n);
    return 0;
}

void BM_ListenerEcho(benchmark::State &state)
{
    log_ctx_get(nullptr)->level.store(LOG_LVL_ERR);
    sock_env_init();
    sock_tcp_server_param p = {};
    p.name = "bench";
    p.reuse = 1;
    p.backlog = 128;
    p.accept_proc = echo_accept;
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
    if (!srv) {
        state.SkipWithError("listener");
        sock_env_exit();
        return;
    }
    struct sockaddr_in to = loopback((u16)p.bound_port);
    int failures = 0;
    for (auto _ : state)
        if (!round_trip(to)) ++failures;
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = failures;
    sock_server_exit(srv);
    sock_env_exit();
}
BENCHMARK(BM_ListenerEcho)->Name("listener_echo@vk")->Iterations(kRoundTrips)->UseRealTime();

// The floor: one thread, blocking accept, read, write, close.
void BM_FloorEcho(benchmark::State &state)
{
    accept_loop floor;
    if (!floor.start(128, [](int c) {
            char buf[kMsg];
            size_t got = 0;
            while (got < sizeof buf) {
                ssize_t n = read(c, buf + got, sizeof buf - got);
                if (n <= 0) break;
                got += (size_t)n;
            }
            if (got) (void)!write(c, buf, got);
            close(c);
        })) {
        state.SkipWithError("listener");
        return;
    }
    struct sockaddr_in a = loopback(floor.port);
    int failures = 0;
    for (auto _ : state)
        if (!round_trip(a)) ++failures;
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = failures;
    state.SetLabel("one thread: poll, accept, read, write, close");
    floor.finish();
}
BENCHMARK(BM_FloorEcho)->Name("listener_echo@accept_loop")->Iterations(kRoundTrips)->UseRealTime();

// Poller wake-up: from insert + spak on this thread to the waiting thread's
// callback for the (already readable) object.
struct wake_state {
    std::atomic<u64> seen_ns{0};
};

u64 now_ns()
{
    return (u64)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void wake_cb(os_poller *p, os_poller_object *, u32, u64)
{
    ((wake_state *)os_poller_priv(p))->seen_ns.store(now_ns());
}

void BM_PollerWakeLatency(benchmark::State &state)
{
    wake_state ws;
    os_poller *p = os_poller_init((u64)(uintptr_t)&ws);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        while (!stop.load()) os_poller_wait(p, wake_cb, 1000);
    });
    u64 pr[2];
    os_socket_pair(0x101, pr);
    os_socket_send(pr[0], "r", 1);  // stays readable
    std::vector<double> samples;
    samples.reserve(4096);
    for (auto _ : state) {
        ws.seen_ns.store(0);
        os_poller_object o = {OS_POLLER_OBJECT_SOCKET, pr[1]};
        u64 t0 = now_ns();
        os_poller_insert(p, &o, OS_POLLER_READ | OS_POLLER_ONESHOT, 1);
        os_poller_spak(p);
        u64 deadline = t0 + 1000000000ull;
        u64 seen;
        while ((seen = ws.seen_ns.load()) == 0 && now_ns() < deadline) {
        }
        if (seen) samples.push_back((double)(seen - t0) / 1000.0);
    }
    stop = true;
    os_poller_spak(p);
    waiter.join();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
    state.counters["lost"] = (double)(state.iterations() - samples.size());
    os_socket_exit(pr[0]);
    os_socket_exit(pr[1]);
    os_poller_exit(p);
}
BENCHMARK(BM_PollerWakeLatency)->Name("poller_wake@vk")->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
