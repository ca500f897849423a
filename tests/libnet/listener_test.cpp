#include "common/fd_limit.h"
#include "libnet/listener_util.h"

namespace {

using namespace listenertest;


TEST(Listener, HostListsPortsAndFailures)
{
    env_guard env;
    g_accepted = 0;
    sock_tcp_server_param p = tcp_param("multi");
    p.backlog = 8;
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1;;::1", 0, &p);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(srv->sock_count, 2);
    EXPECT_NE(p.bound_port, 0u);
    EXPECT_EQ(local_port(srv->socks[0]), p.bound_port);
    EXPECT_EQ(local_port(srv->socks[1]), p.bound_port);
    int a = dial("127.0.0.1", (int)p.bound_port), b = dial("::1", (int)p.bound_port);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_TRUE(wait_until([] { return g_accepted.load() == 2; }, 3000));
    close(a);
    close(b);
    sock_server_exit(srv);

    // No host: 0.0.0.0 and its IPv6 companion on the same (given) port.
    sock_tcp_server_param q = tcp_param("any");
    srv = sock_tcp_server_init("", 0, &q);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(srv->sock_count, 2);
    EXPECT_EQ(local_port(srv->socks[0]), q.bound_port);
    EXPECT_EQ(local_port(srv->socks[1]), q.bound_port);
    int v6only = 0;
    socklen_t len = sizeof v6only;
    getsockopt(os_sock_fd(srv->socks[1]), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len);
    EXPECT_EQ(v6only, 1);
    sock_server_exit(srv);

    // Buffer sizes of 0 keep the system defaults; others are applied.
    sock_tcp_server_param r = tcp_param("bufs");
    r.recv_buf_size = 0;
    r.send_buf_size = 65536;
    srv = sock_tcp_server_init("127.0.0.1,::1", 0, &r);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(srv->sock_count, 2);
    u32 snd = 0;
    os_socket_ctrl(srv->socks[0], OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, (u64)(uintptr_t)&snd);
    EXPECT_GE(snd, 65536u);
    sock_server_exit(srv);

    log_capture cap;
    sock_tcp_server_param bad = tcp_param("bad");
    EXPECT_EQ(sock_tcp_server_init("nohost", 0, &bad), nullptr);
    EXPECT_TRUE(cap.has("addr[nohost]:0 error\n"));
    u64 s = sock_bind("127.0.0.1", 65535, 2, &bad);
    EXPECT_TRUE(cap.has("expr[port>-1 && port<0xffff]: assert failed"));
    if (s) os_socket_exit(s);
}

// A listener shares its port only when it asks for reuse; without it a
// port that another socket listens on is refused with the bind error.
// SO_REUSEADDR is set either way, for quick restarts.
TEST(Listener, PortSharedOnlyWhenAsked)
{
    env_guard env;
    g_accepted = 0;
    sock_tcp_server_param own = tcp_param("own");
    sock_server_ctx *a = sock_tcp_server_init("127.0.0.1", 0, &own);
    ASSERT_NE(a, nullptr);
    int port = (int)own.bound_port;
    EXPECT_EQ(int_opt(a->socks[0], SOL_SOCKET, SO_REUSEPORT), 0);
    EXPECT_EQ(int_opt(a->socks[0], SOL_SOCKET, SO_REUSEADDR), 1);
    {
        log_capture cap;
        sock_tcp_server_param again = tcp_param("again");
        EXPECT_EQ(sock_tcp_server_init("127.0.0.1", port, &again), nullptr) << "a taken port is not shared";
        EXPECT_TRUE(cap.has("socket_bind port [127.0.0.1]:" + std::to_string(port) + " error: "));
        u64 plain = sock_server2("127.0.0.1", port, nullptr, 0, 0, 4);
        EXPECT_EQ(plain, 0u);
        if (plain) os_socket_exit(plain);
    }
    // A connection left behind does not keep a restarted listener off.
    int c = dial("127.0.0.1", port);
    EXPECT_GE(c, 0);
    EXPECT_TRUE(wait_until([] { return g_accepted.load() >= 1; }, 3000));
    sock_server_exit(a);
    sock_tcp_server_param again = tcp_param("restart");
    a = sock_tcp_server_init("127.0.0.1", port, &again);
    EXPECT_NE(a, nullptr) << "restart on the port just left";
    if (a) sock_server_exit(a);
    if (c >= 0) close(c);

    sock_tcp_server_param shared = tcp_param("shared");
    shared.reuse = 1;
    a = sock_tcp_server_init("127.0.0.1", 0, &shared);
    ASSERT_NE(a, nullptr);
    port = (int)shared.bound_port;
    sock_server_ctx *b = sock_tcp_server_init("127.0.0.1", port, &shared);
    ASSERT_NE(b, nullptr) << "listeners that ask for reuse share the port";
    EXPECT_EQ(int_opt(b->socks[0], SOL_SOCKET, SO_REUSEPORT), 1);
    u64 plain = sock_server2("127.0.0.1", port, nullptr, 1, 0, 4);
    EXPECT_NE(plain, 0u);
    EXPECT_EQ(int_opt(plain, SOL_SOCKET, SO_REUSEPORT), 1);
    if (plain) os_socket_exit(plain);
    sock_server_exit(b);
    sock_server_exit(a);
}

// Keepalive settings of accepted connections, seen by the accept procedure.
struct ka_seen {
    int on, idle, intvl, cnt;
};
std::mutex g_ka_lock;
std::vector<ka_seen> g_ka;

int record_keepalive(u64 sock, os_ipaddr *, void *)
{
    int fd = os_sock_fd(sock);
    ka_seen k = {-1, -1, -1, -1};
    socklen_t len = sizeof(int);
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &k.on, &len);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &k.idle, &len);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &k.intvl, &len);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &k.cnt, &len);
    {
        std::lock_guard<std::mutex> g(g_ka_lock);
        g_ka.push_back(k);
    }
    os_socket_exit(sock);
    return 0;
}

bool ka_seen_count(size_t n)
{
    return wait_until([n] {
        std::lock_guard<std::mutex> g(g_ka_lock);
        return g_ka.size() == n;
    }, 3000);
}

// The queue length a listening socket was given (capped by the system).
int listen_backlog(u64 s)
{
    struct tcp_info ti = {};
    socklen_t len = sizeof ti;
    if (getsockopt(os_sock_fd(s), IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return -1;
    return (int)ti.tcpi_sacked;  // a listener reports its maximum backlog here
}

int system_somaxconn()
{
    int v = 4096;
    if (FILE *f = fopen("/proc/sys/net/core/somaxconn", "r")) {
        if (fscanf(f, "%d", &v) != 1) v = 4096;
        fclose(f);
    }
    return v;
}

TEST(Listener, KeepaliveAndBacklogReachEveryConnection)
{
    env_guard env;
    {
        std::lock_guard<std::mutex> g(g_ka_lock);
        g_ka.clear();
    }
    sock_tcp_server_param p = tcp_param("ka", record_keepalive);
    p.backlog = SOMAXCONN;
    p.keepalive = {7, 3, 4};
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1,::1", 0, &p);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(srv->sock_count, 2);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(listen_backlog(srv->socks[i]), std::min(SOMAXCONN, system_somaxconn()));
    int a = dial("127.0.0.1", (int)p.bound_port), b = dial("::1", (int)p.bound_port);
    EXPECT_TRUE(ka_seen_count(2));
    close(a);
    close(b);
    sock_server_exit(srv);

    // Without keepalive times the system default (off) stays.
    sock_tcp_server_param q = tcp_param("noka", record_keepalive);
    q.backlog = 5;
    srv = sock_tcp_server_init("127.0.0.1", 0, &q);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(listen_backlog(srv->socks[0]), 5);
    int c = dial("127.0.0.1", (int)q.bound_port);
    EXPECT_TRUE(ka_seen_count(3));
    close(c);
    sock_server_exit(srv);
    std::lock_guard<std::mutex> g(g_ka_lock);
    ASSERT_EQ(g_ka.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(g_ka[i].on, 1);
        EXPECT_EQ(g_ka[i].idle, 7);
        EXPECT_EQ(g_ka[i].intvl, 3);
        EXPECT_EQ(g_ka[i].cnt, 4);
    }
    EXPECT_EQ(g_ka[2].on, 0);

    // An option the system refuses is logged, the others still apply.
    u64 s = os_socket_init(OS_SOCK_TCP, OS_IPADDR_FAMILY_IPV4);
    log_capture cap;
    sock_keepalive bad = {5, 100000, 2};
    EXPECT_FALSE(sock_set_keepalive(s, &bad));
    EXPECT_TRUE(cap.has("TCP_KEEPINTVL 100000 error: "));
    int idle = 0;
    socklen_t len = sizeof idle;
    getsockopt(os_sock_fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
    EXPECT_EQ(idle, 5);
    os_socket_exit(s);
}

TEST(Listener, EveryPendingConnectionIsAcceptedUpToAPassLimit)
{
    // Dispatch straight to the callback, without the event thread, so that
    // exactly one readiness event is handled.
    env_guard env;
    g_accepted = 0;
    sock_tcp_server_param p = tcp_param("burst");
    p.backlog = 128;
    u64 l = sock_bind("127.0.0.1", 0, 2, &p);
    ASSERT_NE(l, 0u);
    sock_server_ctx ctx = {};
    ctx.type = SOCKET_TYPE_TCP;
    ctx.proc = (void *)count_and_close;
    std::vector<int> clients;
    for (int i = 0; i < 10; ++i) clients.push_back(dial("127.0.0.1", (int)p.bound_port));
    os_msleep(50);
    os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, l};
    sock_events_callback(nullptr, &obj, OS_POLLER_READ, (u64)(uintptr_t)&ctx);
    EXPECT_EQ(g_accepted.load(), 10);

    g_accepted = 0;
    for (int i = 0; i < 80; ++i) clients.push_back(dial("127.0.0.1", (int)p.bound_port));
    os_msleep(50);
    sock_events_callback(nullptr, &obj, OS_POLLER_READ, (u64)(uintptr_t)&ctx);
    EXPECT_EQ(g_accepted.load(), 64);  // the rest wait for the next pass
    sock_events_callback(nullptr, &obj, OS_POLLER_READ, (u64)(uintptr_t)&ctx);
    EXPECT_EQ(g_accepted.load(), 80);
    for (int fd : clients) close(fd);
    os_socket_exit(l);

    log_capture cap;
    ctx.type = 9;
    sock_events_callback(nullptr, &obj, OS_POLLER_READ, (u64)(uintptr_t)&ctx);
    EXPECT_TRUE(cap.has("invalid type=9\n"));
}

std::mutex g_name_mu;
std::string g_work_name;

i64 name_work(void *arg)
{
    u64 sock = (u64)(uintptr_t)arg;
    char buf[256];
    {
        std::lock_guard<std::mutex> g(g_name_mu);
        g_work_name = os_thread_name_get(buf, sizeof buf);
    }
    os_socket_send(sock, "hi", 2);
    os_socket_exit(sock);
    return 0;
}

TEST(Listener, WorkThreadsAndListenersWithoutProcedures)
{
    env_guard env;
    sock_tcp_server_param p = tcp_param("web", nullptr);
    p.work_proc = name_work;
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    int c = dial("127.0.0.1", (int)p.bound_port);
    ASSERT_GE(c, 0);
    EXPECT_EQ(read_all(c), "hi");
    close(c);
    {
        std::lock_guard<std::mutex> g(g_name_mu);
        EXPECT_TRUE(nettest::is_thread_name(g_work_name, "web_work")) << g_work_name;
    }
    sock_server_exit(srv);

    // Neither procedure: the connection is closed, not left pending.
    log_capture cap;
    sock_tcp_server_param none = tcp_param("none", nullptr);
    srv = sock_tcp_server_init("127.0.0.1", 0, &none);
    ASSERT_NE(srv, nullptr);
    c = dial("127.0.0.1", (int)none.bound_port);
    ASSERT_GE(c, 0);
    u64 t0 = os_mono_ms();
    EXPECT_EQ(read_all(c), "");
    EXPECT_LT(os_mono_ms() - t0, 3000u);
    EXPECT_TRUE(cap.has("expr[tctx->work_proc!=NULL]: assert failed"));
    close(c);
    sock_server_exit(srv);
}

std::atomic<int> g_udp_calls{0};
int udp_work(u64 sock, int zero, void *arg)
{
    EXPECT_EQ(zero, 0);
    char buf[64];
    os_ipaddr from;
    i64 n = os_socket_urecv(sock, &from, buf, sizeof buf);
    *(int *)arg += 1;
    if (n > 0) {
        g_udp_calls++;  // counted before the reply the test waits for
        os_socket_usend(sock, &from, buf, (size_t)n);
    }
    return 0;
}

std::atomic<int> g_event_calls{0};
int event_close(u64 sock, u32 events, void *)
{
    (void)sock;
    (void)events;
    g_event_calls++;
    return -1;
}

TEST(Listener, UdpServersAndEventSockets)
{
    NEED_OPEN_FILES(FD_SETSIZE + 64);  // a descriptor above the poller's range
    env_guard env;
    int calls = 0;
    g_udp_calls = 0;
    sock_udp_server_param u = {};
    u.name = "udp";
    u.work_proc = udp_work;
    u.arg = &calls;
    sock_server_ctx *srv = sock_udp_server_init("127.0.0.1", 0, &u);
    ASSERT_NE(srv, nullptr);
    int c = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback4((int)u.bound_port);
    struct timeval tv = {3, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(sendto(c, "echo", 4, 0, (struct sockaddr *)&a, sizeof a), 4);
    char buf[16];
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), 4);
    EXPECT_EQ(g_udp_calls.load(), 1);
    close(c);
    sock_udp_server_exit(srv);

    // A callback returning a negative value loses its socket at once.
    u64 pr[2];
    ASSERT_EQ(os_socket_pair(0x101, pr), 1);
    g_event_calls = 0;
    sock_event_ctx *e = sock_insert_event_proc(pr[1], OS_POLLER_READ, event_close, nullptr);
    ASSERT_NE(e, nullptr);
    os_socket_send(pr[0], "x", 1);
    EXPECT_TRUE(wait_until([] { return g_event_calls.load() == 1; }, 3000));
    // The peer sees the end of the stream once the socket is closed.
    EXPECT_TRUE(wait_until([&] { return peer_closed(pr[0]); }, 3000));
    os_socket_exit(pr[0]);

    // Deleting a record closes its socket.
    ASSERT_EQ(os_socket_pair(0x101, pr), 1);
    e = sock_insert_event_proc(pr[1], OS_POLLER_READ, event_close, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(sock_del_event_proc(e), 0);
    EXPECT_TRUE(peer_closed(pr[0]));
    os_socket_exit(pr[0]);

    // Descriptors the poller cannot hold are refused (and closed).
    int high = fcntl(0, F_DUPFD_CLOEXEC, FD_SETSIZE + 10);
    ASSERT_GE(high, FD_SETSIZE);
    log_capture cap;
    EXPECT_EQ(sock_insert_event_proc(os_fd_sock(high), OS_POLLER_READ, event_close, nullptr), nullptr);
    EXPECT_EQ(fcntl(high, F_GETFD), -1);
    EXPECT_TRUE(cap.has("outside the select range"));
}

std::atomic<int> g_periodic{0};

TEST(Listener, IdleSweepAndPeriodicProcedure)
{
    sock_env_param prm = {};
    prm.fresh_idle_ms = 300;
    prm.active_idle_ms = 0;
    prm.periodic = [](void *) { g_periodic++; };
    ASSERT_EQ(sock_env_set_param(&prm), 0);
    {
        env_guard env;
        u64 pr[2];
        ASSERT_EQ(os_socket_pair(0x101, pr), 1);
        u64 t0 = os_mono_ms();
        ASSERT_NE(sock_insert_event_proc(pr[1], OS_POLLER_READ, event_close, nullptr), nullptr);
        // No traffic: closed by the first sweep after the limit (the loop
        // wakes at least once a second).
        EXPECT_TRUE(wait_until([&] { return peer_closed(pr[0]); }, 3000));
        EXPECT_GE(os_mono_ms() - t0, 300u);
        EXPECT_GT(g_periodic.load(), 0);
        os_socket_exit(pr[0]);
    }
    sock_env_param off = {};
    sock_env_set_param(&off);
}

TEST(Listener, EnvironmentStopIsIdempotentAndPrompt)
{
    sock_env_init();
    EXPECT_EQ(sock_env_init(), 0);  // already running
    u64 t0 = os_mono_ms();
    EXPECT_EQ(sock_env_stop(), 0);
    EXPECT_LT(os_mono_ms() - t0, 1500u);
    t0 = os_mono_ms();
    EXPECT_EQ(sock_env_stop(), 0);
    EXPECT_LT(os_mono_ms() - t0, 500u);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_EQ(sock_env_poller(), nullptr);
}


// With more than 1100 descriptors open, a connection whose descriptor is
// above 1023 is still served correctly.
std::atomic<int> g_high_fd{-1};

i64 high_echo(void *arg)
{
    u64 sock = (u64)(uintptr_t)arg;
    g_high_fd = os_sock_fd(sock);
    net n{};
    n.type = NET_TYPE_SOCK;
    n.transport = sock;
    n.timeout = 3000;
    std::vector<char> buf(65536);
    int got = net_read(&n, buf.data(), buf.size());
    if (got > 0) net_write(&n, buf.data(), (size_t)got);
    net_close(&n);
    return 0;
}

TEST(ListenerConcurrency, ConnectionAboveDescriptor1023)
{
    NEED_OPEN_FILES(1200);  // the connection above 1100 open descriptors
    env_guard env;
    sock_tcp_server_param p = tcp_param("high", nullptr);
    p.work_proc = high_echo;
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    std::vector<int> filler;
    while (fd_count() < 1110) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        filler.push_back(fd);
    }
    int c = dial("127.0.0.1", (int)p.bound_port);
    ASSERT_GE(c, 0);
    std::string payload(65536, 0);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = (char)(i * 131 + 7);
    ASSERT_EQ(send(c, payload.data(), payload.size(), MSG_NOSIGNAL), (ssize_t)payload.size());
    EXPECT_EQ(read_n(c, payload.size()), payload);
    EXPECT_GT(g_high_fd.load(), 1023);
    close(c);
    for (int fd : filler) close(fd);
    sock_server_exit(srv);
}

int event_never(u64, u32, void *) { return 0; }

// Sockets removed while the event thread waits in select are closed when the
// call returns: the peer of an event socket sees the end of the stream, and
// a listener's port refuses connections, without waiting for the next pass.
TEST(ListenerConcurrency, RemovedSocketsAreClosedAtOnce)
{
    env_guard env;
    for (int round = 0; round < 10; ++round) {
        u64 pr[2];
        ASSERT_EQ(os_socket_pair(0x101, pr), 1);
        sock_event_ctx *e = sock_insert_event_proc(pr[1], OS_POLLER_READ, event_never, nullptr);
        ASSERT_NE(e, nullptr);
        os_msleep(20);  // the event thread waits with the socket in its sets
        EXPECT_EQ(sock_del_event_proc(e), 0);
        EXPECT_TRUE(peer_closed(pr[0])) << "round " << round;
        os_socket_exit(pr[0]);

        sock_tcp_server_param p = tcp_param("gone");
        sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
        ASSERT_NE(srv, nullptr);
        os_msleep(20);
        sock_server_exit(srv);
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = loopback4((int)p.bound_port);
        errno = 0;
        EXPECT_EQ(connect(c, (struct sockaddr *)&a, sizeof a), -1) << "round " << round;
        EXPECT_EQ(errno, ECONNREFUSED);
        close(c);
    }
}

// Out of descriptors: accept backs off with one record, never spins, and
// serves the connection once descriptors are free again.
TEST(Listener, DescriptorExhaustionBacksOff)
{
    env_guard env;
    g_accepted = 0;
    sock_tcp_server_param p = tcp_param("exhaust");
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback4((int)p.bound_port);

    struct rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    int top = fcntl(0, F_DUPFD_CLOEXEC, 0);  // lowest free descriptor
    close(top);
    log_capture cap;
    struct rlimit low = old;
    low.rlim_cur = (rlim_t)top;  // no new descriptor can be made
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ASSERT_EQ(connect(c, (struct sockaddr *)&a, sizeof a), 0);
    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    os_msleep(600);
    getrusage(RUSAGE_SELF, &r1);
    setrlimit(RLIMIT_NOFILE, &old);
    auto cpu_ms = [](const struct rusage &r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(cpu_ms(r1) - cpu_ms(r0), 300);
    EXPECT_EQ(g_accepted.load(), 0);
    EXPECT_TRUE(cap.has("accept exhaust: out of descriptors, backing off 100 ms: "));
    size_t first = cap.get().find("out of descriptors");
    EXPECT_EQ(cap.get().find("out of descriptors", first + 1), std::string::npos);  // rate-limited
    EXPECT_TRUE(wait_until([] { return g_accepted.load() == 1; }, 3000));
    close(c);
    sock_server_exit(srv);
}

// Events from several threads at once: one record goes through per
// interval, and the next one reports every event since, none lost.
TEST(ListenerConcurrency, LogGateCountsEveryEventOnce)
{
    constexpr u64 kEveryMs = 3600 * 1000;
    constexpr u32 kThreads = 4, kEach = 2000;
    sock_log_gate gate{};
    std::atomic<u32> passed{0}, reported{0};
    std::vector<std::thread> ts;
    for (u32 i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            for (u32 k = 0; k < kEach; ++k)
                if (u32 n = sock_log_gate_pass(&gate, kEveryMs)) {
                    passed++;
                    reported += n;
                }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(passed.load(), 1u);  // one record within one interval
    EXPECT_GE(reported.load(), 1u);  // it may count events that raced it
    gate.last_ms.store(os_mono_ms() - kEveryMs);  // the interval is over
    EXPECT_EQ(reported.load() + sock_log_gate_pass(&gate, kEveryMs), kThreads * kEach + 1);
    EXPECT_EQ(sock_log_gate_pass(&gate, kEveryMs), 0u);
    // That one held back is taken once its interval is over, and only once.
    EXPECT_EQ(sock_log_gate_take(&gate, kEveryMs), 0u);
    gate.last_ms.store(os_mono_ms() - kEveryMs);
    EXPECT_EQ(sock_log_gate_take(&gate, kEveryMs), 1u);
    gate.last_ms.store(os_mono_ms() - kEveryMs);
    EXPECT_EQ(sock_log_gate_take(&gate, kEveryMs), 0u);
}

}  // namespace

namespace {

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
i64 never_runs(void *arg)
{
    os_socket_exit((u64)(uintptr_t)arg);
    return 0;
}

// Child process body: a "_work" thread that cannot start (no address space
// left for its stack) must not leave the accepted connection open.
int failed_work_thread_child()
{
    env_guard env;
    sock_tcp_server_param p = tcp_param("nostack", nullptr);
    p.work_proc = never_runs;
    sock_server_ctx *srv = sock_tcp_server_init("127.0.0.1", 0, &p);
    if (!srv) return 2;
    log_capture cap;
    log_capture::text().reserve(1 << 16);
    std::string got;
    got.reserve(1 << 12);
    // Leave only a little address space: room for small allocations, less
    // than one thread stack. This must hold before the connection exists,
    // or the event thread may accept it and start the thread first.
    long vm_kb = 0;
    if (FILE *f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "VmSize: %ld kB", &vm_kb) == 1) break;
        fclose(f);
    }
    if (vm_kb <= 0) return 4;
    const long room_kb = OS_THREAD_STACK_DEFAULT / 1024 * 5 / 8;
    struct rlimit rl = {(rlim_t)(vm_kb + room_kb) * 1024, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &rl) != 0) return 5;
    int c = dial("127.0.0.1", (int)p.bound_port);
    if (c < 0) return 3;
    char buf[64];
    ssize_t n;
    while ((n = recv(c, buf, sizeof buf, 0)) > 0) got.append(buf, (size_t)n);  // ends when the server closes
    struct rlimit unl = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &unl);
    if (n != 0) return 8;  // closed by the server, not timed out
    if (!got.empty()) return 6;
    if (!cap.has("os_thread_init error: ")) return 7;
    close(c);
    sock_server_exit(srv);
    return 0;
}
#endif

TEST(ListenerDeathTest, FailedWorkThreadClosesItsSocket)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address-space limits do not mix with sanitizer shadow memory";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(failed_work_thread_child()), testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
