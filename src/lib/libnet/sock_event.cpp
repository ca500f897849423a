#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_event"
#include "libnet/sock_event.h"

#include <cerrno>
#include <cstdio>
#include <pthread.h>

#include "liblog/log.h"
#include "libpal/env/os_mutex.h"
#include "libnet/sock_srv.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/memory/lbuf.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

namespace {

constexpr int kWaitMs = 1000;
constexpr int kAcceptsPerPass = 64;
constexpr u64 kBackoffMs = 100;
constexpr u64 kBackoffLogEveryMs = 5000;

// One run of the event thread. A run whose thread could not be joined is
// left to that thread (it still uses the poller).
struct env_run {
    os_poller *poller;
    std::atomic<u32> stop;
    std::atomic<u32> running;
};

struct env_state {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<env_run *> run{nullptr};
    std::atomic<os_thread *> thread{nullptr};
    std::atomic<lbuf *> pool{nullptr};
    std::atomic<bool> orphaned{false};
    u32 fresh_idle_ms = 0;
    u32 active_idle_ms = 0;
    void (*periodic)(void *) = nullptr;
    void *periodic_arg = nullptr;
};

env_state g_env;

struct tick_table {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<u32> n{0};
    struct {
        sock_env_tick fn;
        void *arg;
    } t[SOCK_ENV_TICKS] = {};
};
tick_table g_ticks;

void run_ticks()
{
    if (!g_ticks.n.load(std::memory_order_relaxed)) return;
    pthread_guard g(&g_ticks.lock);
    for (auto &e : g_ticks.t)
        if (e.fn) e.fn(e.arg);
}
sock_log_gate g_backoff_log;

struct env_lock : pthread_guard {
    env_lock() : pthread_guard(&g_env.lock) {}
};

void sweep_idle(u64 now)
{
    lbuf *pool = g_env.pool.load();
    if (!pool) return;
    lbuf_lock(pool);
    lbuf_iter it;
    lbuf_iter_init(pool, &it);
    while (void *blk = lbuf_iter_next(&it)) {
        sock_event_ctx *e = (sock_event_ctx *)blk;
        u32 limit = e->fresh ? g_env.fresh_idle_ms : g_env.active_idle_ms;
        if (limit && now - e->last >= limit) sock_del_event_proc(e);
    }
    lbuf_unlock(pool);
}

i64 sock_events_thread(void *arg)
{
    env_run *run = (env_run *)arg;
    LOG_DBG("==>\n");
    run->running.store(1);
    for (;;) {
        int r = os_poller_wait(run->poller, sock_events_callback, kWaitMs);
        if (run->stop.load()) break;
        if (r < 0) {
            LOG_AT(3 | LOG_OPT_ERRNO, "os_poller_wait error: ");
            os_msleep(kBackoffMs);  // a failing wait must not spin
        }
        u64 now = os_mono_ms();
        if (g_env.fresh_idle_ms || g_env.active_idle_ms) sweep_idle(now);
        if (g_env.periodic) g_env.periodic(g_env.periodic_arg);
        run_ticks();
    }
    LOG_DBG("<==\n");
    return 0;
}

void accept_backoff(const char *name)
{
    int e = errno;
    if (sock_log_gate_pass(&g_backoff_log, kBackoffLogEveryMs)) {
        errno = e;
        LOG_AT(3 | LOG_OPT_ERRNO, "accept %s: out of descriptors, backing off %llu ms: ", name,
               (unsigned long long)kBackoffMs);
    }
    os_msleep(kBackoffMs);
}

void tcp_accept(sock_server_ctx *srv, u64 lsock)
{
    sock_accept_proc accept_proc = (sock_accept_proc)srv->proc;
    if (!accept_proc && !srv->work_proc) OS_CHECK_LOG("tctx->work_proc!=NULL");
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        os_ipaddr peer;
        os_ipaddr_clear(&peer);
        errno = 0;
        u64 c = os_socket_accept(lsock, &peer);
        if (!c) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) return;
            if (e == EINTR || e == ECONNABORTED || e == EPROTO) continue;
            if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
                accept_backoff(srv->name);
                return;
            }
            LOG_AT(3 | LOG_OPT_ERRNO, "accept %s error: ", srv->name);
            return;
        }
        if (accept_proc) {
            accept_proc(c, &peer, srv->arg);
            continue;
        }
        if (!srv->work_proc) {
            os_socket_exit(c);
            continue;
        }
        char tname[160];
        snprintf(tname, sizeof tname, "%.127s_work", srv->name);
        os_thread *t = os_thread_init(tname, srv->work_proc, (void *)(uintptr_t)c, 0);
        if (!t) {
            LOG_AT(3 | LOG_OPT_ERRNO, "os_thread_init error: ");
            os_socket_exit(c);
            return;
        }
        os_thread_free(t);
    }
}

}  // namespace

os_poller *sock_env_poller(void)
{
    env_run *run = g_env.run.load();
    return run ? run->poller : nullptr;
}

int sock_env_set_param(const sock_env_param *param)
{
    OS_CHECK_RET(param, -1);
    env_lock g;
    g_env.fresh_idle_ms = param->fresh_idle_ms;
    g_env.active_idle_ms = param->active_idle_ms;
    g_env.periodic = param->periodic;
    g_env.periodic_arg = param->periodic_arg;
    return 0;
}

int sock_env_tick_add(sock_env_tick fn, void *arg)
{
    OS_CHECK_RET(fn, -1);
    pthread_guard g(&g_ticks.lock);
    for (auto &e : g_ticks.t) {
        if (e.fn) continue;
        e.fn = fn;
        e.arg = arg;
        g_ticks.n.fetch_add(1);
        return 0;
    }
    LOG_ERR("no room for another tick (%u)\n", (unsigned)SOCK_ENV_TICKS);
    return -1;
}

void sock_env_tick_del(sock_env_tick fn, void *arg)
{
    pthread_guard g(&g_ticks.lock);
    for (auto &e : g_ticks.t) {
        if (e.fn != fn || e.arg != arg) continue;
        e.fn = nullptr;
        e.arg = nullptr;
        g_ticks.n.fetch_sub(1);
        return;
    }
}

namespace {

// Tells the events of l not yet told, when every_ms have passed since its
// last record.
void tell_late(sock_log_late *l, u64 every_ms)
{
    if (u32 n = sock_log_gate_take(&l->gate, every_ms))
        log2_printf(nullptr, l->level, l->mod, l->src, __LINE__, __func__, l->late, n);
}

void late_tick(void *arg)
{
    sock_log_late *l = (sock_log_late *)arg;
    tell_late(l, l->every_ms);
}

}  // namespace

u32 sock_log_late_pass(sock_log_late *l)
{
    return sock_log_gate_pass(&l->gate, l->every_ms);
}

int sock_log_late_start(sock_log_late *l)
{
    return sock_env_tick_add(late_tick, l);
}

void sock_log_late_stop(sock_log_late *l)
{
    sock_env_tick_del(late_tick, l);
    tell_late(l, 0);
}

int sock_env_init(void)
{
    env_lock g;
    if (g_env.thread.load()) return 0;
    if (!g_env.pool.load()) {
        lbuf_param lp = {};
        lp.name = "events";
        lbuf *pool = lbuf_new(&lp);
        if (!pool) {
            LOG_CRIT("lbuf_init failed\n");
            return -1;
        }
        g_env.pool.store(pool);
    }
    env_run *run = g_env.run.load();
    if (!run) {
        run = (env_run *)os_zalloc(sizeof(env_run));
        if (run) run->poller = os_poller_init(0);
        if (!run || !run->poller) {
            os_free(run);
            LOG_CRIT("os_poller_init failed\n");
            return -1;
        }
        os_poller_attach(run->poller);
        g_env.run.store(run);
    }
    run->stop.store(0);
    run->running.store(0);
    os_thread *t = os_thread_init("sock_listen", sock_events_thread, run, 0);
    if (!t) {
        LOG_CRIT("os_thread_init failed");
        return -1;
    }
    g_env.thread.store(t);
    // Wait (bounded) until the thread runs its loop, so that listeners made
    // right after this call are served at once.
    u64 deadline = os_mono_ms() + 1000;
    while (!run->running.load() && os_mono_ms() < deadline) os_usleep(200);
    return 0;
}

int sock_env_stop(void)
{
    LOG_DBG("==>\n");
    env_lock g;
    os_thread *t = g_env.thread.exchange(nullptr);
    if (!t) return 0;
    env_run *run = g_env.run.load();
    u32 expected = 0;
    run->stop.compare_exchange_strong(expected, 1);
    os_poller_kill(run->poller);
    int code = 0;
    int r = os_thread_wait_kill_exit(t, 1000, &code);
    if (r < 0) {
        LOG_ERR("os_thread_wait_kill_exit ret=%d error=%d\n", r, code);
        // The thread still uses its poller: leave the run to it.
        g_env.orphaned.store(true);
    }
    return 0;
}

int sock_env_exit(void)
{
    LOG_DBG("==>\n");
    sock_env_stop();
    env_lock g;
    env_run *run = g_env.run.exchange(nullptr);
    lbuf *pool = g_env.pool.exchange(nullptr);
    if (g_env.orphaned.exchange(false)) {
        // The thread still dispatches from its poller and pool.
        LOG_ERR("sock_listen did not end; its poller and pool are left to it\n");
        return 0;
    }
    if (run) {
        os_poller_exit(run->poller);
        os_free(run);
    }
    if (pool) {
        // Event sockets still registered are closed with their records.
        lbuf_iter it;
        lbuf_iter_init(pool, &it);
        while (void *blk = lbuf_iter_next(&it)) {
            sock_event_ctx *e = (sock_event_ctx *)blk;
            if (e->sock) os_socket_exit(e->sock);
            e->sock = 0;
        }
        lbuf_del(pool);
    }
    return 0;
}

sock_event_ctx *sock_insert_event_proc(u64 sock, u32 events, sock_event_proc callback, void *arg)
{
    OS_CHECK_RET(sock && callback, nullptr);
    lbuf *pool = g_env.pool.load();
    os_poller *poller = sock_env_poller();
    if (!pool || !poller) {
        LOG_ERR("socket event environment not started\n");
        os_socket_exit(sock);
        return nullptr;
    }
    sock_event_ctx *e = (sock_event_ctx *)lbuf_malloc0(pool, sizeof(sock_event_ctx));
    if (!e) {
        os_socket_exit(sock);
        return nullptr;
    }
    e->type = SOCKET_TYPE_EVENT;
    e->callback = callback;
    e->arg = arg;
    e->sock = sock;
    e->last = os_mono_ms();
    e->fresh = 1;
    if (os_poller_support(poller, OS_POLLER_EDGE)) events |= OS_POLLER_EDGE;
    os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, sock};
    if (!os_poller_insert(poller, &obj, events, (u64)(uintptr_t)e)) {
        os_socket_exit(sock);
        lbuf_free(pool, e);
        return nullptr;
    }
    os_poller_spak(poller);
    return e;
}

int sock_del_event_proc(sock_event_ctx *ectx)
{
    OS_CHECK_RET(ectx, -1);
    if (ectx->type != SOCKET_TYPE_EVENT) OS_CHECK_LOG("ectx->type == SOCKET_TYPE_EVENT");
    os_poller *poller = sock_env_poller();
    if (poller && ectx->sock) {
        os_poller_object obj = {OS_POLLER_OBJECT_SOCKET, ectx->sock};
        os_poller_remove(poller, &obj);
    }
    if (ectx->sock) os_socket_exit(ectx->sock);
    ectx->sock = 0;
    lbuf *pool = g_env.pool.load();
    if (pool) lbuf_free(pool, ectx);
    return 0;
}

void sock_events_callback(os_poller *poller, os_poller_object *object, u32 events, u64 priv)
{
    (void)poller;
    i32 *type = (i32 *)(uintptr_t)priv;
    if (!type || !object) return;
    switch (*type) {
    case SOCKET_TYPE_EVENT: {
        sock_event_ctx *e = (sock_event_ctx *)type;
        e->fresh = 0;
        e->last = os_mono_ms();
        if (e->callback(object->handle, events, e->arg) < 0) sock_del_event_proc(e);
        break;
    }
    case SOCKET_TYPE_UDP: {
        sock_server_ctx *s = (sock_server_ctx *)type;
        if (s->proc) ((sock_udp_work_proc)s->proc)(object->handle, 0, s->arg);
        break;
    }
    case SOCKET_TYPE_TCP: tcp_accept((sock_server_ctx *)type, object->handle); break;
    default: LOG_ERR("invalid type=%d\n", *type); break;
    }
}
