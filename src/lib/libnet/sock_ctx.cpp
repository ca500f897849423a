#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_ctx"
#include "libnet/sock_ctx.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/memory/lbuf.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_safe.h"

namespace {
constexpr u32 kSpareStacks = 16;
constexpr u32 kEnded = 8;

// A connection thread that has closed its connection, not yet joined.
struct ended_thread {
    os_thread *thread;
    void *stack;
};
}  // namespace

struct sock_tcp_ctx_mgr {
    char name[256];
    u32 size;
    sock_ctx_close_proc close_proc;
    os_thread_proc thread_proc;
    lbuf *pool;
    os_mutex *lock;
    u32 live;       // records not yet given back
    u64 seq;        // connections taken so far
    u8 exiting;     // no new records
    u8 exit_done;   // exit has finished; the last record frees the manager
    // Memory of the connection threads (see "stacks and heap" below).
    u32 peak;                    // most records live at once since the last trim
    u64 trim_ms;                 // when that was (monotonic)
    ended_thread ended[kEnded];  // threads that closed, oldest first
    u32 nended;
    void *spare[kSpareStacks];   // stacks of joined threads, for new ones
    u32 nspare;
};

namespace {

// Record states, under the manager's lock.
enum : u32 {
    REC_LIVE = 0,      // owned by its thread
    REC_CLAIMED = 1,   // exit is joining the thread
    REC_CLOSED = 2,    // closed by its thread while claimed; exit frees it
    REC_ORPHAN = 3,    // exit gave up waiting; the thread frees it
    REC_STARTING = 4,  // its thread is being started, the handle not yet kept
    REC_EARLY = 5,     // closed by its thread before the handle was kept;
                       // the starter frees it
};

constexpr int kJoinMs = 1000;
constexpr int kPicks = 8;  // attempts to close an idle session for a newcomer

// ---- stacks and heap ---------------------------------------------------------
//
// Connection threads run on stacks of the default size that the manager
// maps itself, with a guard page below each. The C library would keep the
// stacks of ended threads for later ones, up to 40 MiB of them, each with
// its top pages resident, so that a burst of connections left megabytes
// behind. Here the threads that closed their connections wait in a short
// queue; when it is full, the one that closes joins the oldest (long gone
// by then, so the join does not wait), which gives its stack back: a few
// are kept for new connections, the rest are unmapped. When the last
// connection ends after a burst (kBurst at once since the last trim), or a
// while after the previous trim, it joins the rest of the queue, and the
// spare stacks' pages and the free heap pages go back to the system.

constexpr size_t kStackSize = OS_THREAD_STACK_DEFAULT;

// ThreadSanitizer keeps its own data on a thread's stack and refuses
// stacks below about 900 KiB that it did not map: there the C library
// maps them.
#if defined(__SANITIZE_THREAD__)
constexpr bool kOwnStacks = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kOwnStacks = false;
#else
constexpr bool kOwnStacks = true;
#endif
#else
constexpr bool kOwnStacks = true;
#endif
constexpr u32 kBurst = 32;
constexpr u64 kTrimEveryMs = 1000;

size_t page_size()
{
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return page;
}

// kStackSize bytes of stack above a guard page, or NULL.
void *stack_map()
{
    const size_t guard = page_size();
    void *p = mmap(nullptr, guard + kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (mprotect(p, guard, PROT_NONE) != 0) {
        munmap(p, guard + kStackSize);
        return nullptr;
    }
    return (char *)p + guard;
}

void stack_unmap(void *stack)
{
    if (stack) munmap((char *)stack - page_size(), page_size() + kStackSize);
}

// Keeps the stack of a joined thread as a spare, else unmaps it.
void stack_give(sock_tcp_ctx_mgr *m, void *stack)
{
    if (!stack) return;
    {
        os_mutex_guard g(m->lock);
        if (m->nspare < kSpareStacks) {
            m->spare[m->nspare++] = stack;
            return;
        }
    }
    stack_unmap(stack);
}

// Joins threads that have closed their connections (they are on their way
// out, so a join does not wait long) and gives their stacks back. A failed
// join leaves the thread detached and its stack to it.
void reap(sock_tcp_ctx_mgr *m, const ended_thread *e, u32 n)
{
    for (u32 i = 0; i < n; ++i) {
        int code = 0;
        if (os_thread_wait_kill_exit(e[i].thread, -1, &code) == 0) stack_give(m, e[i].stack);
    }
}

// Queues a thread that has closed its connection; when the queue is full,
// the oldest is moved to *out to be reaped (the result is 1, else 0).
u32 push_ended_locked(sock_tcp_ctx_mgr *m, os_thread *t, void *stack, ended_thread *out)
{
    u32 n = 0;
    if (m->nended == kEnded) {
        *out = m->ended[0];
        memmove(&m->ended[0], &m->ended[1], (kEnded - 1) * sizeof m->ended[0]);
        m->nended--;
        n = 1;
    }
    m->ended[m->nended++] = {t, stack};
    return n;
}

// Moves the queued threads to out, all or all but the newest (the caller's
// own thread); the number moved.
u32 take_ended_locked(sock_tcp_ctx_mgr *m, ended_thread *out, bool keep_newest)
{
    u32 n = m->nended - (keep_newest && m->nended ? 1 : 0);
    memcpy(out, m->ended, n * sizeof *out);
    memmove(&m->ended[0], &m->ended[n], (m->nended - n) * sizeof m->ended[0]);
    m->nended -= n;
    return n;
}

// Whether the connection that just ended leaves memory to be given back.
bool trim_due_locked(sock_tcp_ctx_mgr *m)
{
    if (m->live != 0) return false;
    u64 now = os_mono_ms();
    if (m->peak < kBurst && now - m->trim_ms < kTrimEveryMs) return false;
    m->peak = 0;
    m->trim_ms = now;
    return true;
}

void give_memory_back(sock_tcp_ctx_mgr *m)
{
    {
        // Under the lock: no new thread can take a spare meanwhile.
        os_mutex_guard g(m->lock);
        for (u32 i = 0; i < m->nspare; ++i) madvise(m->spare[i], kStackSize, MADV_DONTNEED);
    }
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void mgr_free(sock_tcp_ctx_mgr *m)
{
    // The caller's own thread is never queued (see close).
    ended_thread e[kEnded];
    u32 n = take_ended_locked(m, e, false);
    reap(m, e, n);
    for (u32 i = 0; i < m->nspare; ++i) stack_unmap(m->spare[i]);
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
    sock_tcp_ctx *rec;
    void *stack = nullptr;
    {
        os_mutex_guard g(m->lock);
        if (m->exiting) {
            LOG_ERR("%s: stopping, connection refused\n", m->name);
            return nullptr;
        }
        rec = (sock_tcp_ctx *)lbuf_malloc0(m->pool, m->size);
        if (!rec) return nullptr;
        rec->sock = sock;
        rec->mgr = m;
        rec->mstate = REC_STARTING;
        rec->active.v.store(os_mono_ms(), std::memory_order_relaxed);
        rec->seq = ++m->seq;
        if (++m->live > m->peak) m->peak = m->live;
        if (m->nspare) stack = m->spare[--m->nspare];
    }
    // The thread starts without the lock held, so that the sessions
    // already running never wait for a thread to be made; the record
    // learns its handle afterwards.
    os_thread *t = nullptr;
    if (!kOwnStacks) {
        t = os_thread_init(m->name, m->thread_proc, rec, 0);
    } else {
        if (!stack) stack = stack_map();
        if (stack) t = os_thread_init_stack(m->name, m->thread_proc, rec, stack, kStackSize);
    }
    if (!t) LOG_AT(3 | LOG_OPT_ERRNO, "os_thread_init error: ");
    ended_thread join[kEnded + 1];
    u32 njoin = 0;
    bool free_mgr = false;
    bool trim = false;
    {
        os_mutex_guard g(m->lock);
        if (!t) {
            rec->sock = 0;  // the caller keeps the socket
            free_mgr = drop_locked(m, rec);
            rec = nullptr;
        } else if (rec->mstate == REC_STARTING) {
            rec->thread = t;
            rec->stack = stack;
            rec->mstate = REC_LIVE;
        } else {
            // REC_EARLY: the session has already ended; its thread is
            // queued like any other that closed.
            njoin = push_ended_locked(m, t, stack, join);
            free_mgr = drop_locked(m, rec);
            if (trim_due_locked(m)) {
                trim = true;
                njoin += take_ended_locked(m, join + njoin, false);
            }
        }
    }
    if (!t) stack_give(m, stack);
    reap(m, join, njoin);
    if (trim) give_memory_back(m);
    if (free_mgr) mgr_free(m);
    return t ? rec : nullptr;
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
    ended_thread join[kEnded + 1];
    u32 njoin = 0;
    os_thread *self = nullptr;
    bool free_mgr = false;
    bool trim = false;
    {
        os_mutex_guard g(m->lock);
        switch (rec->mstate) {
        case REC_LIVE: {
            os_thread *t = rec->thread;
            void *stack = rec->stack;
            free_mgr = drop_locked(m, rec);
            if (free_mgr) {
                // The manager goes with this record and no one is left to
                // join this thread: it is detached, its stack left to it.
                self = t;
                break;
            }
            // This thread joins the queue of those that closed; a later
            // one joins it.
            njoin = push_ended_locked(m, t, stack, join);
            if (trim_due_locked(m)) {
                trim = true;
                njoin += take_ended_locked(m, join + njoin, true);
            }
            break;
        }
        case REC_CLAIMED: rec->mstate = REC_CLOSED; break;  // exit joins and frees
        case REC_STARTING: rec->mstate = REC_EARLY; break;  // the starter frees it
        case REC_ORPHAN: free_mgr = drop_locked(m, rec); break;  // detached by exit
        default: break;
        }
    }
    reap(m, join, njoin);
    if (self) os_thread_free(self);
    if (trim) give_memory_back(m);
    if (free_mgr) mgr_free(m);
}

namespace {

// Calls fn with every record whose thread runs or is being started (under
// the manager's lock, which the caller holds).
template <typename Fn>
void each_running_locked(sock_tcp_ctx_mgr *m, Fn fn)
{
    lbuf_lock(m->pool);
    lbuf_iter it;
    lbuf_iter_init(m->pool, &it);
    while (void *blk = lbuf_iter_next(&it)) {
        sock_tcp_ctx *rec = (sock_tcp_ctx *)blk;
        if (rec->mstate == REC_LIVE || rec->mstate == REC_STARTING) fn(rec);
    }
    lbuf_unlock(m->pool);
}

// The state word, and the stop flag of the session's handle: its waiting
// reads and writes end within their wait slices.
void tell_stop(sock_tcp_ctx *rec)
{
    rec->state.store(SOCK_CTX_STATE_STOP);
    if (rec->session) rec->session->stop.store(1);
}

}  // namespace

void sock_tcp_ctx_exit(sock_tcp_ctx_mgr *m)
{
    if (!m) return;
    sock_tcp_ctx **claimed = nullptr;
    u32 n = 0;
    {
        os_mutex_guard g(m->lock);
        m->exiting = 1;
        if (m->live) claimed = (sock_tcp_ctx **)os_calloc(m->live, sizeof(sock_tcp_ctx *));
        each_running_locked(m, [&](sock_tcp_ctx *rec) {
            tell_stop(rec);
            // A thread still being started has no handle to join yet; like
            // one there is no memory to track, it ends on its own.
            if (!claimed || rec->mstate == REC_STARTING) return;
            rec->mstate = REC_CLAIMED;
            claimed[n++] = rec;
        });
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
        void *stack;
        {
            os_mutex_guard g(m->lock);
            stack = rec->stack;
            drop_locked(m, rec);
        }
        if (r == 0) stack_give(m, stack);
    }
    os_free(claimed);
    ended_thread queued[kEnded];
    u32 nqueued;
    {
        os_mutex_guard g(m->lock);
        nqueued = take_ended_locked(m, queued, false);
    }
    reap(m, queued, nqueued);
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

namespace {

// Whether the session's connection holds input its thread has not taken
// yet (the session is registered, so its socket is open).
bool has_unread_input(const sock_tcp_ctx *rec)
{
    int n = 0;
    return ioctl(os_sock_fd(rec->session->transport), FIONREAD, &n) == 0 && n > 0;
}

// A session closed for a newcomer: told to stop, and its connection shut
// down at once, which wakes its waiting read and tells its peer.
void close_for_newcomer(sock_tcp_ctx *rec)
{
    tell_stop(rec);
    shutdown(os_sock_fd(rec->session->transport), SHUT_RDWR);
}

}  // namespace

int sock_tcp_ctx_make_room(sock_tcp_ctx_mgr *m, u32 max, u64 *idle_ms)
{
    OS_CHECK_RET(m != nullptr, -1);
    using act = sock_ctx_activity;
    os_mutex_guard g(m->lock);
    if (m->live < max) return 0;
    // A pick fails when its session shows life at that moment (input
    // waiting, or taken meanwhile); the next pick is another one.
    sock_tcp_ctx *passed[kPicks];
    int npassed = 0;
    for (int pick = 0; pick < kPicks; ++pick) {
        u32 open = 0;
        sock_tcp_ctx *idlest = nullptr;
        u64 idlest_ms = 0;
        each_running_locked(m, [&](sock_tcp_ctx *rec) {
            if (rec->state.load() == SOCK_CTX_STATE_STOP) return;
            ++open;
            // A session still starting may have input waiting already.
            if (!rec->session) return;
            u64 t = rec->active.v.load(std::memory_order_relaxed);
            if (t & (act::kBusy | act::kClosed | act::kClaimed)) return;
            if (std::find(passed, passed + npassed, rec) != passed + npassed) return;
            if (!idlest || t < idlest_ms || (t == idlest_ms && rec->seq < idlest->seq)) {
                idlest = rec;
                idlest_ms = t;
            }
        });
        if (open < max) return 0;
        if (!idlest) return -1;
        passed[npassed++] = idlest;
        // Claimed, its thread can still take input (and the claim then
        // fails) but the session is not closed yet: input that arrives
        // before the look is seen, input taken meanwhile keeps it open.
        u64 seen = idlest_ms;
        if (!idlest->active.v.compare_exchange_strong(seen, act::kClaimed)) continue;
        if (has_unread_input(idlest)) {
            u64 claimed = act::kClaimed;
            idlest->active.v.compare_exchange_strong(claimed, idlest_ms);
            continue;
        }
        u64 claimed = act::kClaimed;
        if (!idlest->active.v.compare_exchange_strong(claimed, act::kClosed)) continue;
        // The record stays with its thread, which gives it back as it ends.
        close_for_newcomer(idlest);
        const u64 now = os_mono_ms();
        if (idle_ms) *idle_ms = now > idlest_ms ? now - idlest_ms : 0;
        return 1;
    }
    return -1;
}
