#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_ctx"
#include "libnet/sock_ctx.h"

#include <cerrno>

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/memory/lbuf.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_safe.h"

struct sock_tcp_ctx_mgr {
    char name[256];
    u32 size;
    sock_ctx_close_proc close_proc;
    os_thread_proc thread_proc;
    lbuf *pool;
    os_mutex *lock;
    u32 live;       // records not yet given back
    u8 exiting;     // no new records
    u8 exit_done;   // exit has finished; the last record frees the manager
};

namespace {

// Record states, under the manager's lock.
enum : u32 {
    REC_LIVE = 0,     // owned by its thread
    REC_CLAIMED = 1,  // exit is joining the thread
    REC_CLOSED = 2,   // closed by its thread while claimed; exit frees it
    REC_ORPHAN = 3,   // exit gave up waiting; the thread frees it
};

constexpr int kJoinMs = 1000;

void mgr_free(sock_tcp_ctx_mgr *m)
{
    lbuf_del(m->pool);
    os_mutex_free(m->lock);
    os_free(m);
}

// Runs the close procedure and closes the socket (once per record).
void release_conn(sock_tcp_ctx_mgr *m, sock_tcp_ctx *rec)
{
    if (m->close_proc) m->close_proc(rec, rec);
    if (rec->sock) os_socket_exit(rec->sock);
    rec->sock = 0;
}

// Gives a record back; true when the manager is to be freed by the caller.
bool drop_locked(sock_tcp_ctx_mgr *m, sock_tcp_ctx *rec)
{
    lbuf_free(m->pool, rec);
    m->live--;
    return m->exit_done && m->live == 0;
}

}  // namespace

sock_tcp_ctx_mgr *sock_tcp_ctx_init(const sock_tcp_ctx_param *param)
{
    OS_CHECK_RET(param && param->thread_proc, nullptr);
    OS_CHECK_RET(param->size >= sizeof(sock_tcp_ctx), nullptr);
    sock_tcp_ctx_mgr *m = (sock_tcp_ctx_mgr *)os_zalloc(sizeof(sock_tcp_ctx_mgr));
    if (!m) {
        LOG_CRIT("os_list_init error\n");
        return nullptr;
    }
    lbuf_param lp = {};
    lp.name = "sock_ctx";
    m->pool = lbuf_new(&lp);
    if (!m->pool) {
        os_free(m);
        LOG_CRIT("os_fixed_pool_init error\n");
        return nullptr;
    }
    m->lock = os_mutex_new();
    if (!m->lock) {
        lbuf_del(m->pool);
        os_free(m);
        return nullptr;
    }
    str_safecopy_trunc(m->name, sizeof m->name, param->name ? param->name : "");
    m->size = param->size;
    m->close_proc = param->close_proc;
    m->thread_proc = param->thread_proc;
    return m;
}

sock_tcp_ctx *sock_tcp_ctx_open(sock_tcp_ctx_mgr *m, u64 sock)
{
    OS_CHECK_RET(m && sock, nullptr);
    // The record is complete, thread handle included, before its thread
    // can reach sock_tcp_ctx_close: that takes the same lock.
    os_mutex_guard g(m->lock);
    if (m->exiting) {
        LOG_ERR("%s: stopping, connection refused\n", m->name);
        return nullptr;
    }
    sock_tcp_ctx *rec = (sock_tcp_ctx *)lbuf_malloc0(m->pool, m->size);
    if (!rec) return nullptr;
    rec->sock = sock;
    rec->mgr = m;
    rec->mstate = REC_LIVE;
    m->live++;
    os_thread *t = os_thread_init(m->name, m->thread_proc, rec, 0);
    if (!t) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_thread_init error: ");
        rec->sock = 0;
        drop_locked(m, rec);
        return nullptr;
    }
    rec->thread = t;
    return rec;
}

void sock_tcp_ctx_set_net(sock_tcp_ctx_mgr *m, sock_tcp_ctx *rec, net *session)
{
    OS_CHECK_RET_VOID(m && rec);
    os_mutex_guard g(m->lock);
    rec->session = session;
    if (session && rec->state.load() == SOCK_CTX_STATE_STOP) session->stop.store(1);
}

void sock_tcp_ctx_close(sock_tcp_ctx_mgr *m, sock_tcp_ctx *rec)
{
    OS_CHECK_RET_VOID(m && rec);
    {
        os_mutex_guard g(m->lock);
        rec->session = nullptr;
    }
    release_conn(m, rec);
    os_thread *detach = nullptr;
    bool free_mgr = false;
    {
        os_mutex_guard g(m->lock);
        switch (rec->mstate) {
        case REC_LIVE:
            detach = rec->thread;
            rec->thread = nullptr;
            free_mgr = drop_locked(m, rec);
            break;
        case REC_CLAIMED: rec->mstate = REC_CLOSED; break;  // exit joins and frees
        case REC_ORPHAN: free_mgr = drop_locked(m, rec); break;
        default: break;
        }
    }
    if (detach) os_thread_free(detach);
    if (free_mgr) mgr_free(m);
}

void sock_tcp_ctx_exit(sock_tcp_ctx_mgr *m)
{
    if (!m) return;
    sock_tcp_ctx **claimed = nullptr;
    u32 n = 0;
    {
        os_mutex_guard g(m->lock);
        m->exiting = 1;
        if (m->live) claimed = (sock_tcp_ctx **)os_calloc(m->live, sizeof(sock_tcp_ctx *));
        lbuf_lock(m->pool);
        lbuf_iter it;
        lbuf_iter_init(m->pool, &it);
        while (void *blk = lbuf_iter_next(&it)) {
            sock_tcp_ctx *rec = (sock_tcp_ctx *)blk;
            if (rec->mstate != REC_LIVE) continue;
            rec->state.store(SOCK_CTX_STATE_STOP);
            if (rec->session) rec->session->stop.store(1);
            if (!claimed) continue;  // no memory to track it: it ends on its own
            rec->mstate = REC_CLAIMED;
            claimed[n++] = rec;
        }
        lbuf_unlock(m->pool);
    }
    for (u32 i = 0; i < n; ++i) {
        sock_tcp_ctx *rec = claimed[i];
        int code = 0;
        int r = os_thread_wait_kill_exit(rec->thread, kJoinMs, &code);
        if (r < 0) LOG_DBG("os_thread_wait_kill_exit ret=%d\n", r);
        bool closed;
        {
            os_mutex_guard g(m->lock);
            rec->thread = nullptr;
            if (r < 0 && rec->mstate == REC_CLAIMED) {
                rec->mstate = REC_ORPHAN;  // still running: it gives the record back
                continue;
            }
            closed = rec->mstate == REC_CLOSED;
        }
        // The thread has ended; a thread that never called close leaves
        // its connection to us.
        if (!closed) release_conn(m, rec);
        os_mutex_guard g(m->lock);
        drop_locked(m, rec);
    }
    os_free(claimed);
    bool free_now;
    {
        os_mutex_guard g(m->lock);
        m->exit_done = 1;
        free_now = m->live == 0;
    }
    if (free_now) mgr_free(m);
}

u32 sock_tcp_ctx_count(sock_tcp_ctx_mgr *m)
{
    if (!m) return 0;
    os_mutex_guard g(m->lock);
    return m->live;
}
