#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
#include "libdbg/http.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "libdbg/addr_count.h"
#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libnet/sock_srv.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

// How a connection is served. The accept procedure takes what the client
// has sent already, without waiting: a complete head goes straight to an
// idle request thread ("http_cli"), woken alone through its own semaphore
// (the one idle longest ends first), or to a new one. A head that has not
// arrived yet goes to a table of connections read event-driven by one
// thread ("http_io") on an epoll set, and from there to a request thread
// once complete; so does a connection drained after its answer. A slow
// client therefore holds a few bytes of buffer, never a request thread.

namespace {

constexpr char kPageFile[] = "debug.html";
constexpr size_t kPageFileMax = 4 << 20;
constexpr u64 kRefuseLogEveryMs = 1000;
constexpr u64 kStopGraceMs = 400;   // in-flight requests end on their own
constexpr u64 kStopForceMs = 1000;  // then their connections are stopped
constexpr u64 kIdleWorkerMs = 2000; // an idle request thread ends after this long
constexpr long kSweepMs = 100;      // time-outs of heads and drains are looked at this often
constexpr u32 kBufFirst = 2048;
constexpr u32 kBufMax = HTTP_HEAD_MAX + HTTP_BODY_AHEAD;
constexpr int kEvents = 64;         // events taken per wait of the reading thread
constexpr int kDrainReads = 4;      // reads per event before others get their turn
constexpr u64 kPlaceWaitMs = 1000;  // a complete head waits this long for a place among the requests
constexpr u32 kNone = ~0u;
constexpr u64 kTagTimer = ~0ull;
constexpr u64 kTagStop = ~0ull - 1;

enum slot_state : u8 { SLOT_FREE, SLOT_HEAD, SLOT_READY, SLOT_DRAIN };

// A connection whose head is arriving, complete and waiting for a place
// among the requests (ready), or drained after its answer. Heads and
// drains are in the epoll set, armed for one event; while busy the
// reading thread works on one outside the lock.
struct conn_slot {
    u64 sock;
    u64 started;   // accepted, or its drain began (monotonic ms)
    u64 last;      // the last input arrived, or the head became ready (monotonic ms)
    u64 dropped;   // bytes drained
    char *buf;     // the head so far
    u32 len;
    u32 cap;
    u32 gen;       // told apart from earlier connections of the slot
    u32 next_free;
    slot_state state;
    u8 busy;
    u8 ended;      // the client closed its side, or its time to send ran out
    os_ipaddr peer;
    httpd_head_scan scan;
};

// A complete head on its way to a request thread.
struct head_job {
    u64 sock;
    os_ipaddr peer;
    char *buf;
    u32 len;
    u64 accepted;
    bool ended;
};

struct web_run;

// A request thread: it serves its job, then waits idle on its semaphore
// for the next one.
struct worker {
    web_run *run;
    sem_t sem;
    head_job job;
    bool has_job;  // under g_lock, set with job before sem is posted
    bool idle;     // on the idle stack (g_lock)
};

// One start of the tool: the server, its listener, its connections and
// threads. It lives until the tool has stopped and its last thread has let
// go of it, so a request never sees its server freed.
struct web_run {
    httpd_server *server;
    sock_server_ctx *listener;
    char *page_file;  // the page read from debug.html, or NULL
    int port;
    int ep = -1;      // epoll set of the connections, the sweep timer and the stop event
    int timer = -1;
    int wake = -1;
    net_cancel cancel;  // set when the tool stops: waiting reads of its requests end
    std::atomic<bool> stopping{false};
    // Under g_lock:
    u32 refs = 1;      // the tool's own, the reading thread's and one per request thread
    u32 workers = 0;   // request threads
    u32 active = 0;    // of them with a request
    worker *idle[HTTP_MAX_REQUESTS];  // idle request threads, the latest on top
    u32 idle_count = 0;
    u32 used = 0;      // slots not free
    u32 free_head = kNone;
    bool timer_armed = false;
    conn_slot *slots = nullptr;
    addr_counts addrs;  // heads being read, and ready ones, per client address
    // Complete heads waiting for a place among the requests (slots in state
    // SLOT_READY, by their tags), oldest first.
    u64 *ready = nullptr;
    u32 ready_head = 0;
    u32 ready_len = 0;
};

pthread_mutex_t g_lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
pthread_cond_t g_cond;  // a request ended while the tool stops (monotonic clock)
std::once_flag g_cond_once;
web_run *g_run = nullptr;  // under g_lock

// The run whose request this thread serves now (its reference keeps it).
thread_local const web_run *t_serving = nullptr;

sock_log_gate g_refused;       // requests beyond the cap
sock_log_gate g_refused_conn;  // connections beyond the table or an address's share
sock_log_gate g_evicted;

void cond_init()
{
    std::call_once(g_cond_once, [] { os_cond_init_mono(&g_cond); });
}

u64 tag_of(u32 slot, u32 gen)
{
    return (u64)gen << 32 | slot;
}

void peer_text(const os_ipaddr *peer, char *out, size_t size)
{
    out[0] = 0;
    os_ipaddr_ip_cstr(peer, out, size);
}

// ---- the slot table (g_lock held) -----------------------------------------------

void arm_timer_locked(web_run *run)
{
    if (run->timer_armed) return;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = kTagTimer;
    if (epoll_ctl(run->ep, EPOLL_CTL_MOD, run->timer, &ev) == 0) run->timer_armed = true;
}

// A free slot for sock in state st, listed in the epoll set (armed for its
// first event unless it is ready); kNone (sock left open) when there is
// none or it cannot be listed. peer may be NULL.
u32 take_slot_locked(web_run *run, u64 sock, slot_state st, const os_ipaddr *peer)
{
    u32 i = run->free_head;
    if (i == kNone) return kNone;
    conn_slot *s = &run->slots[i];
    epoll_event ev = {};
    ev.events = st == SLOT_READY ? 0 : EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = tag_of(i, s->gen);
    // A connection read here before stays listed (disarmed) while it is
    // served.
    int fd = os_sock_fd(sock);
    if (epoll_ctl(run->ep, EPOLL_CTL_ADD, fd, &ev) != 0 && !(errno == EEXIST && epoll_ctl(run->ep, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        LOG_AT(3 | LOG_OPT_ERRNO, "epoll_ctl add: ");
        return kNone;
    }
    run->free_head = s->next_free;
    s->sock = sock;
    s->state = st;
    s->busy = 0;
    s->ended = 0;
    s->started = s->last = os_mono_ms();
    s->dropped = 0;
    s->len = 0;
    if (peer) s->peer = *peer;
    else os_ipaddr_clear(&s->peer);
    httpdHeadScanInit(&s->scan);
    if (st != SLOT_DRAIN) addr_counts_add(&run->addrs, &s->peer);
    run->used++;
    arm_timer_locked(run);
    return i;
}

// Frees slot i; its socket is closed unless it was taken out (sock 0).
void free_slot_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    if (s->state == SLOT_HEAD || s->state == SLOT_READY) addr_counts_remove(&run->addrs, &s->peer);
    if (s->sock) os_socket_exit(s->sock);
    os_free(s->buf);
    s->sock = 0;
    s->buf = nullptr;
    s->len = s->cap = 0;
    s->gen++;
    s->state = SLOT_FREE;
    s->busy = 0;
    s->next_free = run->free_head;
    run->free_head = i;
    run->used--;
}

// Back into the epoll set for its next event, in state st.
void rearm_locked(web_run *run, u32 i, slot_state st)
{
    conn_slot *s = &run->slots[i];
    s->busy = 0;
    s->state = st;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = tag_of(i, s->gen);
    if (epoll_ctl(run->ep, EPOLL_CTL_MOD, os_sock_fd(s->sock), &ev) != 0) free_slot_locked(run, i);
}

// The head that has been arriving longest, taken out of its slot (its
// socket returned, to be answered and closed), or 0 when every head is
// being read.
u64 evict_oldest_locked(web_run *run, os_ipaddr *peer)
{
    u32 oldest = kNone;
    for (u32 i = 0; i < HTTP_MAX_CONNS; ++i) {
        const conn_slot &s = run->slots[i];
        if (s.state == SLOT_HEAD && !s.busy && (oldest == kNone || s.started < run->slots[oldest].started))
            oldest = i;
    }
    if (oldest == kNone) return 0;
    conn_slot *s = &run->slots[oldest];
    u64 sock = s->sock;
    *peer = s->peer;
    s->sock = 0;
    free_slot_locked(run, oldest);
    return sock;
}

// One err record per second at most, with the number refused meanwhile.
void log_refused(sock_log_gate *gate, const char *what, u32 limit, const os_ipaddr *peer)
{
    u32 n = sock_log_gate_pass(gate, kRefuseLogEveryMs);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN];
    peer_text(peer, addr, sizeof addr);
    LOG_ERR("%u %s, connection from %s closed (%u refused since the last record)\n", limit, what, addr, n);
}

// Sends a short fixed answer on a connection that is not a request's,
// without waiting.
void send_fixed(u64 sock, int code)
{
    const char *a = httpdFixedAnswer(code);
    if (send(os_sock_fd(sock), a, strlen(a), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
        LOG_DBG("answer %d not sent: %s\n", code, os_errno_text(errno));
}

// Slot i gets code's short answer; then what its client still sends is
// drained.
void answer_and_drain_locked(web_run *run, u32 i, int code)
{
    conn_slot *s = &run->slots[i];
    send_fixed(s->sock, code);
    shutdown(os_sock_fd(s->sock), SHUT_WR);
    if (run->stopping.load()) return free_slot_locked(run, i);
    if (s->state == SLOT_HEAD || s->state == SLOT_READY) addr_counts_remove(&run->addrs, &s->peer);
    os_free(s->buf);
    s->buf = nullptr;
    s->len = s->cap = 0;
    s->started = os_mono_ms();
    rearm_locked(run, i, SLOT_DRAIN);
}

// Closes what ran out of time: heads past their deadline, silent ones, and
// drains past theirs. A head that has stopped arriving is read no further:
// its next event hands it on with what it holds. Complete heads that found
// no place among the requests in time get the 503 answer; the number of
// them is returned, with the address of one in *peer.
u32 sweep_locked(web_run *run, os_ipaddr *peer)
{
    u64 now = os_mono_ms();
    u32 refused = 0;
    while (run->ready_len) {
        u64 tag = run->ready[run->ready_head];
        conn_slot *s = &run->slots[(u32)tag];
        bool live = s->gen == (u32)(tag >> 32) && s->state == SLOT_READY;
        if (live && now - s->last < kPlaceWaitMs) break;
        run->ready_head = (run->ready_head + 1) % HTTP_MAX_CONNS;
        run->ready_len--;
        if (!live) continue;
        *peer = s->peer;
        refused++;
        answer_and_drain_locked(run, (u32)tag, 503);
    }
    for (u32 i = 0; i < HTTP_MAX_CONNS && run->used; ++i) {
        conn_slot *s = &run->slots[i];
        if (s->state == SLOT_FREE || s->state == SLOT_READY || s->busy) continue;
        if (now - s->started >= (u64)(s->state == SLOT_DRAIN ? HTTP_DRAIN_MS : HTTP_HEAD_DEADLINE_MS)) {
            free_slot_locked(run, i);
        } else if (s->state == SLOT_HEAD && !s->ended && now - s->last >= (u64)HTTP_FIRST_BYTE_MS) {
            if (s->len == 0) {
                free_slot_locked(run, i);
            } else {
                s->ended = 1;
                shutdown(os_sock_fd(s->sock), SHUT_RD);
            }
        }
    }
    return refused;
}

// Takes the head out of slot i; the slot is freed.
head_job take_head_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    head_job h{s->sock, s->peer, s->buf, s->len, s->started, s->ended != 0};
    s->sock = 0;
    s->buf = nullptr;
    free_slot_locked(run, i);
    return h;
}

// The oldest head waiting for a place, taken when there is one (counted
// among the requests).
bool next_ready_locked(web_run *run, head_job *h)
{
    while (run->ready_len && run->active < HTTP_MAX_REQUESTS) {
        u64 tag = run->ready[run->ready_head];
        run->ready_head = (run->ready_head + 1) % HTTP_MAX_CONNS;
        run->ready_len--;
        const conn_slot &s = run->slots[(u32)tag];
        if (s.gen == (u32)(tag >> 32) && s.state == SLOT_READY) {
            *h = take_head_locked(run, (u32)tag);
            run->active++;
            return true;
        }
    }
    return false;
}

// ---- the run ------------------------------------------------------------------

// Frees what a run holds (its last reference is gone).
void run_free(web_run *run)
{
    if (run->slots) {
        for (u32 i = 0; i < HTTP_MAX_CONNS; ++i) {
            conn_slot *s = &run->slots[i];
            if (s->sock) os_socket_exit(s->sock);
            os_free(s->buf);
        }
    }
    for (int fd : {run->ep, run->timer, run->wake})
        if (fd >= 0) close(fd);
    os_free(run->slots);
    addr_counts_exit(&run->addrs);
    os_free(run->ready);
    httpdDestroy(run->server);
    http_log_exit();
    os_free(run->page_file);
    run->~web_run();
    os_free(run);
}

// Drops a reference of the run.
void run_unref(web_run *run)
{
    bool last;
    {
        pthread_guard g(&g_lock);
        last = --run->refs == 0;
    }
    if (last) run_free(run);
}

// The whole of a small file, or NULL.
char *read_page_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    char *text = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size < kPageFileMax) {
        size_t size = (size_t)st.st_size;
        text = (char *)os_malloc(size + 1);
        size_t got = 0;
        while (text && got < size) {
            ssize_t n = read(fd, text + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
        }
        if (text) text[got] = 0;
    }
    close(fd);
    return text;
}

// A run with its slots, epoll set, sweep timer and stop event; NULL when
// something cannot be made.
web_run *run_new(void)
{
    void *mem = os_zalloc(sizeof(web_run));
    if (!mem) return nullptr;
    web_run *run = new (mem) web_run();
    run->slots = (conn_slot *)os_zalloc(HTTP_MAX_CONNS * sizeof(conn_slot));
    run->ready = (u64 *)os_zalloc(HTTP_MAX_CONNS * sizeof(u64));
    run->ep = epoll_create1(EPOLL_CLOEXEC);
    run->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    run->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = run->slots && addr_counts_init(&run->addrs, 2 * HTTP_MAX_CONNS) == 0 && run->ready && run->ep >= 0 && run->timer >= 0 && run->wake >= 0;
    if (ok) {
        for (u32 i = HTTP_MAX_CONNS; i-- > 0;) {
            run->slots[i].next_free = run->free_head;
            run->free_head = i;
        }
        struct itimerspec its = {};
        its.it_interval.tv_nsec = its.it_value.tv_nsec = kSweepMs * 1000000L;
        epoll_event tev = {}, wev = {};
        tev.events = 0;  // armed while there are connections
        tev.data.u64 = kTagTimer;
        wev.events = EPOLLIN;
        wev.data.u64 = kTagStop;
        ok = timerfd_settime(run->timer, 0, &its, nullptr) == 0 &&
             epoll_ctl(run->ep, EPOLL_CTL_ADD, run->timer, &tev) == 0 &&
             epoll_ctl(run->ep, EPOLL_CTL_ADD, run->wake, &wev) == 0;
    }
    if (!ok) {
        LOG_AT(3 | LOG_OPT_ERRNO, "web server set-up: ");
        run_free(run);
        return nullptr;
    }
    return run;
}

// ---- request threads --------------------------------------------------------------

void linger_proc(u64 sock, void *arg)
{
    web_run *run = (web_run *)arg;
    pthread_guard g(&g_lock);
    if (run->stopping.load() || take_slot_locked(run, sock, SLOT_DRAIN, nullptr) == kNone) os_socket_exit(sock);
}

// Serves one connection whose head is in job.buf.
void serve(web_run *run, head_job &job)
{
    // The access list and the refusal's answer run here, off the
    // listener's thread; the socket is closed whatever happens.
    httpd_request *r = httpdGetConnection(job.sock, run->server, &job.peer);
    if (!r) {
        os_free(job.buf);
        LOG_ERR("httpdAccpetConnection sock=%p error\n", (void *)(uintptr_t)job.sock);
        return;
    }
    httpdSetInput(r, job.buf, job.len, job.accepted, job.ended);
    httpdSetLinger(r, linger_proc, run);
    r->conn.cancel = &run->cancel;
    t_serving = run;
    if (httpdReadRequest(run->server, r) == 0) httpdProcessRequest(run->server, r);
    else LOG_DBG("No valid request received\n");
    t_serving = nullptr;
    httpdEndRequest(r);
}

// Gives a complete head to a request thread: the idle one that waited
// least, else a new one; with every place taken it waits in a slot
// (kPlaceWaitMs at most), or, without a slot, is answered 503. Returns the
// thread to wake (its semaphore posted once g_lock is released) or to
// start, and sets *start for a new one; NULL when nothing is to be done.
worker *give_locked(web_run *run, head_job &job, bool *start)
{
    *start = false;
    if (run->stopping.load()) {
        os_socket_exit(job.sock);
        os_free(job.buf);
        return nullptr;
    }
    if (run->active < HTTP_MAX_REQUESTS && !run->ready_len) {
        worker *w = nullptr;
        if (run->idle_count) {
            w = run->idle[--run->idle_count];
            w->idle = false;
        } else if ((w = (worker *)os_zalloc(sizeof(worker))) != nullptr) {
            if (sem_init(&w->sem, 0, 0) != 0) {
                os_free(w);
                w = nullptr;
            } else {
                w->run = run;
                run->workers++;
                run->refs++;
                *start = true;
            }
        }
        if (w) {
            w->job = job;
            w->has_job = true;
            run->active++;
            return w;
        }
    }
    u32 i = take_slot_locked(run, job.sock, SLOT_READY, &job.peer);
    if (i == kNone) {
        log_refused(&g_refused, "web requests running", HTTP_MAX_REQUESTS, &job.peer);
        send_fixed(job.sock, 503);
        os_socket_exit(job.sock);
        os_free(job.buf);
        return nullptr;
    }
    conn_slot *s = &run->slots[i];
    s->buf = job.buf;
    s->len = s->cap = job.len;
    s->started = job.accepted;
    s->ended = job.ended;
    run->ready[(run->ready_head + run->ready_len) % HTTP_MAX_CONNS] = tag_of(i, s->gen);
    run->ready_len++;
    return nullptr;
}

void worker_free(worker *w)
{
    sem_destroy(&w->sem);
    os_free(w);
}

// Wakes the request thread give_locked chose, or starts it.
void wake_or_start(web_run *run, worker *w, bool start)
{
    if (!w) return;
    if (!start) {
        sem_post(&w->sem);
        return;
    }
    os_thread *t = os_thread_init("http_cli", httpd_client_thread, w, 0);
    if (t) {
        os_thread_free(t);
        return;
    }
    LOG_ERR("Failed to create a new thread (httpd)\n");
    send_fixed(w->job.sock, 503);
    os_socket_exit(w->job.sock);
    os_free(w->job.buf);
    {
        pthread_guard g(&g_lock);
        run->workers--;
        run->active--;
    }
    worker_free(w);
    run_unref(run);
}

// Waits on the semaphore until ms pass: false on time-out.
bool sem_wait_ms(sem_t *sem, u64 ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += (time_t)(ms / 1000);
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(sem, CLOCK_MONOTONIC, &ts) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// ---- the reading thread ----------------------------------------------------------

void close_slot(web_run *run, u32 i)
{
    pthread_guard g(&g_lock);
    free_slot_locked(run, i);
}

// The head in slot i (busy) is complete, or will not grow: on to a request
// thread.
void hand_on(web_run *run, u32 i)
{
    worker *w;
    bool start;
    {
        pthread_guard g(&g_lock);
        head_job job = take_head_locked(run, i);
        w = give_locked(run, job, &start);
    }
    wake_or_start(run, w, start);
}

// Takes what slot i's client has sent, without waiting.
void read_head(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    int fd = os_sock_fd(s->sock);
    for (;;) {
        if (s->cap - s->len < 512 && s->cap < kBufMax) {
            u32 cap = s->cap ? (s->cap * 4 < kBufMax ? s->cap * 4 : kBufMax) : kBufFirst;
            char *b = (char *)os_realloc(s->buf, cap);
            if (!b) return close_slot(run, i);
            s->buf = b;
            s->cap = cap;
        }
        size_t room = s->cap - s->len;
        if (room == 0) break;
        ssize_t n = recv(fd, s->buf + s->len, room, MSG_DONTWAIT);
        if (n > 0) {
            s->len += (u32)n;
            s->last = os_mono_ms();
            if ((size_t)n < room) break;  // all there was, most likely
            continue;
        }
        if (n == 0) {
            s->ended = 1;
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return close_slot(run, i);  // reset by the client
    }
    int st = httpdHeadScan(&s->scan, s->buf ? s->buf : "", s->len);
    // A head that will not grow any more is served with what it holds (a
    // client that sent nothing is just closed).
    if (st == HTTPD_HEAD_READY || (st == HTTPD_HEAD_MORE && s->ended && s->len)) return hand_on(run, i);
    pthread_guard g(&g_lock);
    if (st != HTTPD_HEAD_MORE) return answer_and_drain_locked(run, i, st);
    if (s->ended) return free_slot_locked(run, i);
    rearm_locked(run, i, SLOT_HEAD);
}

// Reads and drops what slot i's client sends after its answer, until it
// closes.
void drain(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    char scratch[16384];
    for (int k = 0; k < kDrainReads; ++k) {
        ssize_t n = recv(os_sock_fd(s->sock), scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) {
            s->dropped += (u64)n;
            if (s->dropped >= HTTP_DRAIN_MAX) return close_slot(run, i);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return close_slot(run, i);  // the client closed
    }
    pthread_guard g(&g_lock);
    rearm_locked(run, i, SLOT_DRAIN);
}

void on_timer(web_run *run)
{
    u64 ticks;
    if (read(run->timer, &ticks, sizeof ticks) < 0 && errno != EAGAIN) LOG_DBG("timer: %s\n", os_errno_text(errno));
    os_ipaddr peer;
    u32 refused;
    {
        pthread_guard g(&g_lock);
        refused = sweep_locked(run, &peer);
        run->timer_armed = false;
        if (run->used) arm_timer_locked(run);
    }
    for (u32 k = 0; k < refused; ++k) log_refused(&g_refused, "web requests running", HTTP_MAX_REQUESTS, &peer);
}

// One event of the epoll set.
void dispatch(web_run *run, u64 tag)
{
    if (tag == kTagStop) return;
    if (tag == kTagTimer) return on_timer(run);
    u32 i = (u32)tag;
    if (i >= HTTP_MAX_CONNS) return;
    conn_slot *s = &run->slots[i];
    {
        pthread_guard g(&g_lock);
        // An event of a connection the slot no longer holds is dropped.
        if (s->gen != (u32)(tag >> 32) || (s->state != SLOT_HEAD && s->state != SLOT_DRAIN)) return;
        s->busy = 1;
    }
    if (s->state == SLOT_DRAIN) drain(run, i);
    else read_head(run, i);
}

i64 http_io_thread(void *arg)
{
    web_run *run = (web_run *)arg;
    epoll_event ev[kEvents];
    while (!run->stopping.load()) {
        int n = epoll_wait(run->ep, ev, kEvents, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            LOG_AT(3 | LOG_OPT_ERRNO, "epoll_wait: ");
            os_msleep(100);  // a failing wait must not spin
            continue;
        }
        for (int k = 0; k < n && !run->stopping.load(); ++k) dispatch(run, ev[k].data.u64);
    }
    run_unref(run);
    return 0;
}

// Ends a run that no longer takes connections: its idle threads end, the
// requests in flight finish, given a moment, and after that their
// connections are stopped; the run goes with its last thread.
void stop_run(web_run *run)
{
    {
        pthread_guard g(&g_lock);
        run->stopping.store(true);
        while (run->idle_count) {
            worker *w = run->idle[--run->idle_count];
            w->idle = false;
            sem_post(&w->sem);
        }
    }
    u64 one = 1;
    if (write(run->wake, &one, sizeof one) < 0) LOG_ERR("web server stop: %s\n", os_errno_text(errno));
    {
        pthread_guard g(&g_lock);
        u64 start = os_mono_ms();
        while (run->active > 0 && os_mono_ms() - start < kStopGraceMs)
            os_cond_wait_until(&g_cond, &g_lock, start + kStopGraceMs);
        if (run->active > 0) {
            run->cancel.flag.store(1);
            u64 force = os_mono_ms();
            while (run->active > 0 && os_mono_ms() - force < kStopForceMs)
                os_cond_wait_until(&g_cond, &g_lock, force + kStopForceMs);
        }
        if (run->active > 0)
            LOG_WARN("%u web requests still running; their server goes when they end\n", run->active);
    }
    run_unref(run);
}

}  // namespace

const char *http_page_text(void)
{
    return t_serving ? t_serving->page_file : nullptr;
}

i64 httpd_client_thread(void *arg)
{
    worker *w = (worker *)arg;
    web_run *run = w->run;
    bool counted = true;  // among the run's request threads
    for (;;) {
        serve(run, w->job);
        {
            pthread_guard g(&g_lock);
            w->has_job = false;
            run->active--;
            if (run->stopping.load()) {
                if (run->active == 0) pthread_cond_broadcast(&g_cond);
                break;
            }
            if (next_ready_locked(run, &w->job)) {
                w->has_job = true;
                continue;
            }
            w->idle = true;
            run->idle[run->idle_count++] = w;
        }
        // Idle until given a job; a thread idle too long ends, unless a job
        // was given to it meanwhile (then its semaphore is being posted).
        while (!sem_wait_ms(&w->sem, kIdleWorkerMs)) {
            pthread_guard g(&g_lock);
            if (!w->idle) continue;
            w->idle = false;
            for (u32 k = 0; k < run->idle_count; ++k) {
                if (run->idle[k] != w) continue;
                memmove(&run->idle[k], &run->idle[k + 1], (run->idle_count - k - 1) * sizeof(worker *));
                run->idle_count--;
                break;
            }
            run->workers--;
            counted = false;
            break;
        }
        if (!counted) break;
        bool job;
        {
            pthread_guard g(&g_lock);
            job = w->has_job;
        }
        if (!job) break;  // woken by the stop
    }
    if (counted) {
        pthread_guard g(&g_lock);
        run->workers--;
    }
    worker_free(w);
    run_unref(run);
    return 0;
}

int http_accept_proc(u64 sock, os_ipaddr *peer, void *arg)
{
    web_run *run = (web_run *)arg;
    // What the client has sent already, taken without waiting: most
    // requests are complete at once and go straight to a request thread.
    char *buf = (char *)os_malloc(kBufFirst);
    ssize_t n = buf ? recv(os_sock_fd(sock), buf, kBufFirst, MSG_DONTWAIT) : -1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || !buf)) n = 0;
    else if (n <= 0) n = -1;  // closed or reset before a word: nothing to serve
    httpd_head_scan scan;
    httpdHeadScanInit(&scan);
    int st = n > 0 ? httpdHeadScan(&scan, buf, (size_t)n) : HTTPD_HEAD_MORE;
    os_ipaddr evicted_peer;
    u64 evicted = 0;
    const char *why = nullptr;
    u32 limit = 0;
    worker *w = nullptr;
    bool start = false;
    {
        pthread_guard g(&g_lock);
        if (run != g_run || run->stopping.load() || n < 0) {
            os_socket_exit(sock);
            os_free(buf);
            return -1;
        }
        if (st == HTTPD_HEAD_READY) {
            head_job job{sock, *peer, buf, (u32)n, os_mono_ms(), false};
            w = give_locked(run, job, &start);
        } else if (addr_counts_get(&run->addrs, peer) >= HTTP_MAX_CONNS_PER_ADDR) {
            // One address may hold only its share of the table.
            why = "web connections being read from one address";
            limit = HTTP_MAX_CONNS_PER_ADDR;
        } else {
            // A full table makes room by giving up the head that has been
            // arriving longest.
            if (run->free_head == kNone) evicted = evict_oldest_locked(run, &evicted_peer);
            u32 i = take_slot_locked(run, sock, SLOT_HEAD, peer);
            if (i == kNone) {
                why = "web connections being read";
                limit = HTTP_MAX_CONNS;
            } else {
                conn_slot *s = &run->slots[i];
                s->buf = buf;
                s->len = (u32)n;
                s->cap = buf ? kBufFirst : 0;
                s->scan = scan;
                buf = nullptr;
            }
        }
    }
    wake_or_start(run, w, start);
    if (evicted) {
        if (u32 k = sock_log_gate_pass(&g_evicted, kRefuseLogEveryMs)) {
            char addr[OS_IPADDR_CSTR_MAXN];
            peer_text(&evicted_peer, addr, sizeof addr);
            LOG_WARN("%u web connections being read: the oldest unfinished head, from %s, closed (%u since the "
                     "last record)\n",
                     HTTP_MAX_CONNS, addr, k);
        }
        send_fixed(evicted, 503);
        os_socket_exit(evicted);
    }
    if (!why) return 0;
    os_free(buf);
    log_refused(&g_refused_conn, why, limit, peer);
    send_fixed(sock, 503);
    os_socket_exit(sock);
    return -1;
}

int debug_http_server_init(const char *addrs, int port)
{
    if (port == 0) return 0;
    cond_init();
    {
        pthread_guard g(&g_lock);
        if (g_run) {
            LOG_ERR("web server already running\n");
            return -1;
        }
    }
    char *page = read_page_file(kPageFile);
    if (page) LOG_DBG("load debug.html ok\n");
    if (http_log_init() < 0) {
        os_free(page);
        return -1;
    }
    web_run *run = run_new();  // with the log view's reference, given back when it goes
    if (!run) {
        os_free(page);
        return -1;
    }
    run->page_file = page;
    run->server = httpdCreate();
    if (!run->server) {
        LOG_ERR("Could not create web server: %s\n", os_errno_text(errno));
        run_free(run);
        return -1;
    }
    if (http_add_callbacks(run->server) != 0) {
        LOG_ERR("Could not create web server: %s\n", os_errno_text(ENOMEM));
        run_free(run);
        return -1;
    }
    run->refs++;  // the reading thread's
    os_thread *t = os_thread_init("http_io", http_io_thread, run, 0);
    if (!t) {
        LOG_ERR("Failed to create a new thread (httpd)\n");
        run_free(run);
        return -1;
    }
    os_thread_free(t);
    sock_tcp_server_param sp = {};
    sp.name = "dbg_http";
    sp.reuse = 1;
    sp.backlog = SOMAXCONN;
    sp.accept_proc = http_accept_proc;
    sp.arg = run;
    {
        // The accept procedure sees the run only once it is complete.
        pthread_guard g(&g_lock);
        g_run = run;
    }
    sock_server_ctx *l = sock_tcp_server_init(addrs ? addrs : "", port, &sp);
    {
        pthread_guard g(&g_lock);
        if (l) {
            run->listener = l;
            run->port = port;
            return 0;
        }
        g_run = nullptr;
    }
    stop_run(run);
    return -1;
}

int dbg_http_server_stop(void)
{
    LOG_DBG("==>\n");
    cond_init();
    web_run *run;
    sock_server_ctx *l;
    {
        pthread_guard g(&g_lock);
        run = g_run;
        g_run = nullptr;
        l = run ? run->listener : nullptr;
        if (run) run->listener = nullptr;
    }
    if (!run) return 0;
    // No new connection from here on.
    if (l) sock_server_exit(l);
    stop_run(run);
    return 0;
}

int dbg_http_server_port(void)
{
    pthread_guard g(&g_lock);
    return g_run ? g_run->port : 0;
}
