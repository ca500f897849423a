#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/dbgsrv"
#include "libdbg/dbgsrv.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/socket.h>

#include "libdbg/shell.h"
#include "libdbg/shell_guard.h"
#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_ctx.h"
#include "libnet/sock_event.h"
#include "libnet/sock_srv.h"
#include "libpal/network/os_socket.h"
#include "libsh/libsh.h"
#include "libsh/libsh_lock.h"

namespace {

// One connection: the manager's header (socket, state word, thread) and
// the session's net handle. The manager reaches the handle only through
// the link made by sock_tcp_ctx_set_net. The shell context, with its
// previous line, lives on the session thread's stack: a record that small
// stays in the allocator's per-thread cache (one 4 KiB larger cost 6 % of
// the connections per second).
struct netsh_conn {
    sock_tcp_ctx hdr;
    net n;
};

constexpr u64 kLogEveryMs = 1000;

// Sessions told to stop for new connections end within a read slice; a
// burst of connections faster than that may find this many of them still
// ending, and beyond it new connections are refused.
constexpr u32 kEndingMax = 64;

// A peer that vanishes without a FIN or a reset (power loss, a pulled
// cable) is found by keepalive: after 60 s of silence, three probes 10 s
// apart, so its session ends about 90 s after the last sign of life. A
// peer that is only idle answers the probes and keeps its session.
constexpr sock_keepalive kKeepalive = {60, 10, 3};

// The keepalive times in seconds, "idle,interval,probes": the built-in
// ones, or those of the environment variable VK_SHELL_KEEPALIVE, read once
// when the server starts. The variable lets tests see a dead peer's
// session end in seconds instead of minutes.
sock_keepalive session_keepalive()
{
    sock_keepalive ka = kKeepalive;
    const char *v = getenv("VK_SHELL_KEEPALIVE");
    if (!v || !*v) return ka;
    unsigned idle = 0, intvl = 0, probes = 0;
    char end = 0;
    if (sscanf(v, "%u,%u,%u%c", &idle, &intvl, &probes, &end) == 3 && idle && intvl && probes &&
        idle <= 86400 && intvl <= 3600 && probes <= 127) {
        ka = {idle, intvl, probes};
        LOG_DBG("keepalive %u,%u,%u from VK_SHELL_KEEPALIVE\n", idle, intvl, probes);
    } else {
        LOG_WARN("VK_SHELL_KEEPALIVE=[%s] is not idle,interval,probes in seconds; kept %u,%u,%u\n", v,
                 ka.idle_s, ka.intvl_s, ka.probes);
    }
    return ka;
}

// Server state. The lock keeps the accept procedure (on "sock_listen")
// from using a manager that the stopping thread is taking down. Starts and
// stops run one at a time under g_ctl (never taken by the accept procedure
// or a session), so that a start is refused while another runs or is
// under way, and a stop never meets a half-made server.
pthread_mutex_t g_ctl = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
sock_tcp_ctx_mgr *g_mgr = nullptr;
sock_server_ctx *g_listener = nullptr;

// Newcomers refused with every session busy or for a browser's request,
// and sessions closed for newcomers: one record a second at most each,
// the rest told late.
sock_log_late g_refused =
    SOCK_LOG_LATE(LOG_LVL_ERR, kLogEveryMs, "%u shell connections refused since the last record\n");
sock_log_late g_evicted =
    SOCK_LOG_LATE(LOG_LVL_WARN, kLogEveryMs, "%u sessions closed for new connections since the last record\n");

void log_refused(const os_ipaddr *peer, u32 open)
{
    u32 n = sock_log_late_pass(&g_refused);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN];
    sock_ipaddr_cstr(peer, addr, sizeof addr);
    LOG_ERR("%u sessions open, connection from %s closed (%u refused since the last record)\n", open, addr, n);
}

void log_evicted(const os_ipaddr *peer, u64 idle_ms)
{
    u32 n = sock_log_late_pass(&g_evicted);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN];
    sock_ipaddr_cstr(peer, addr, sizeof addr);
    LOG_WARN("%u sessions open, the one idle longest (%llu ms) closed for a connection from %s "
             "(%u closed since the last record)\n",
             DBGSRV_MAX_SESSIONS, (unsigned long long)idle_ms, addr, n);
}

}  // namespace

void debug_shell_log_browser(u64 sock, int what)
{
    const u32 n = sock_log_late_pass(&g_refused);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN] = "";
    os_ipaddr a;
    if (os_socket_peer(sock, &a)) sock_ipaddr_cstr(&a, addr, sizeof addr);
    LOG_WARN("connection from %s closed before running anything: it sent %s, as a browser does "
             "(%u refused since the last record)\n",
             addr[0] ? addr : "a local socket",
             what == SHELL_GUARD_HOST ? "a Host: header line" : "an HTTP request line", n);
}

int accept_proc(u64 sock, os_ipaddr *peer, void *)
{
    sock_tcp_ctx *rec = nullptr;
    u64 idle_ms = 0;
    int made = 0;
    {
        pthread_guard g(&g_lock);
        if (!g_mgr) {
            sock_close(sock);
            return -1;
        }
        // A full table makes way for the new connection: the session idle
        // longest ends, so that idle connections never lock operators out.
        // A session running a request is never closed: when all are, the
        // new connection is refused.
        u32 open = sock_tcp_ctx_count(g_mgr);
        if (open >= DBGSRV_MAX_SESSIONS)
            made = open < DBGSRV_MAX_SESSIONS + kEndingMax
                       ? sock_tcp_ctx_make_room(g_mgr, DBGSRV_MAX_SESSIONS, &idle_ms)
                       : -1;
        if (made < 0) {
            sock_close(sock);
            log_refused(peer, open);
            return -1;
        }
        rec = sock_tcp_ctx_open(g_mgr, sock);
    }
    if (made > 0) log_evicted(peer, idle_ms);
    if (!rec) {
        LOG_ERR(" malloc_ctx error\n");
        sock_close(sock);
        return -1;
    }
    return 0;
}

i64 netsh_srv_thread(void *arg)
{
    netsh_conn *c = (netsh_conn *)arg;
    sock_tcp_ctx_mgr *m = c->hdr.mgr;
    LOG_VERB("==>\n");
    // The session's handle owns the socket from here on and closes it.
    u64 sock = c->hdr.sock;
    c->hdr.sock = 0;
    dbgsh_srv_ctx ctx{};
    if (dbgsh_srv_ctx_init(&ctx, &c->n, NET_MODE, (void *)(uintptr_t)sock) == 0) {
        sock_tcp_ctx_set_net(m, &c->hdr, &c->n);
        dbgsh_srv_net_imp(&ctx, &c->hdr);
    } else {
        sock_close(sock);
    }
    sock_tcp_ctx_close(m, &c->hdr);  // c is gone after this
    LOG_VERB("<==\n");
    return 0;
}

int debug_shell_server_init(const char *addrs, int port)
{
    pthread_guard ctl(&g_ctl);
    {
        pthread_guard g(&g_lock);
        if (g_mgr || g_listener) {
            LOG_ERR("shell server already running\n");
            return -1;
        }
    }
    sock_tcp_ctx_param cp = {};
    cp.name = "netsh_srv";
    cp.size = sizeof(netsh_conn);
    cp.close_proc = nullptr;
    cp.thread_proc = netsh_srv_thread;
    sock_tcp_ctx_mgr *m = sock_tcp_ctx_init(&cp);
    if (!m) return -1;
    {
        pthread_guard g(&g_lock);
        g_mgr = m;
    }
    sock_tcp_server_param sp = {};
    sp.name = "netsh";
    // A port that another program (or another vkto) listens on is refused,
    // not shared with it.
    sp.reuse = 0;
    sp.recv_buf_size = 0;
    sp.send_buf_size = 0;
    // A burst of connects waits in the queue instead of being dropped (and
    // retried by the clients a second or more later).
    sp.backlog = SOMAXCONN;
    sp.accept_proc = accept_proc;
    sp.work_proc = nullptr;
    sp.keepalive = session_keepalive();
    sock_server_ctx *l = sock_tcp_server_init(addrs ? addrs : "", port, &sp);
    if (!l) {
        // Nothing can connect: the manager goes too, so a later start works.
        {
            pthread_guard g(&g_lock);
            g_mgr = nullptr;
        }
        sock_tcp_ctx_exit(m);
        return -1;
    }
    sock_log_late_start(&g_refused);
    sock_log_late_start(&g_evicted);
    pthread_guard g(&g_lock);
    g_listener = l;
    return 0;
}

int debug_shell_server_exit(void)
{
    LOG_VERB("==>\n");
    pthread_guard ctl(&g_ctl);
    sock_server_ctx *l;
    sock_tcp_ctx_mgr *m;
    {
        pthread_guard g(&g_lock);
        l = g_listener;
        g_listener = nullptr;
        m = g_mgr;
        g_mgr = nullptr;
    }
    if (l) {
        sock_server_exit(l);
        sock_log_late_stop(&g_refused);
        sock_log_late_stop(&g_evicted);
    }
    // Every open session's handle gets its stop flag; each thread is
    // joined with 1000 ms given to it and detached when it takes longer.
    // A session that asked for the stop ends through its exit flag.
    if (m) sock_tcp_ctx_exit(m);
    return 0;
}
