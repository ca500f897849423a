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
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libnet/sock_srv.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/hash/dict.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/os_thread.h"

// Connections are read event-driven: the request threads wait on one epoll
// set that holds every connection whose head is still arriving (and every
// connection being drained after its answer). A readiness event goes to
// one waiting thread, which takes what has arrived without waiting; once
// the head is complete that thread serves the request itself, having made
// sure another thread is left waiting. A slow client therefore holds a
// few bytes of buffer, never a thread.

namespace {

constexpr char kPageFile[] = "debug.html";
constexpr size_t kPageFileMax = 4 << 20;
constexpr u64 kRefuseLogEveryMs = 1000;
constexpr u64 kStopGraceMs = 400;   // in-flight requests end on their own
constexpr u64 kStopForceMs = 1000;  // then their connections are stopped
constexpr int kIdleWorkerMs = 2000; // a spare request thread ends after this long idle
constexpr u32 kMaxThreads = HTTP_MAX_REQUESTS + 1;  // every request served and one reading
constexpr long kSweepMs = 100;      // time-outs of heads and drains are looked at this often
constexpr u32 kAddrSlots = 2 * HTTP_MAX_CONNS;  // power of two, never more than half used
constexpr u32 kBufFirst = 2048;
constexpr u32 kBufMax = HTTP_HEAD_MAX + HTTP_BODY_AHEAD;
constexpr int kDrainReads = 4;      // reads per event before others get their turn
constexpr u64 kPlaceWaitMs = 1000;  // a complete head waits this long for a place among the requests
constexpr u32 kNone = ~0u;
constexpr u64 kTagTimer = ~0ull;
constexpr u64 kTagStop = ~0ull - 1;
static_assert((kAddrSlots & (kAddrSlots - 1)) == 0, "the address table size is a power of two");

enum slot_state : u8 { SLOT_FREE, SLOT_HEAD, SLOT_READY, SLOT_DRAIN };

// A connection whose head is arriving (or which is drained after its
// answer). While busy a thread works on it outside the lock and it is out
// of the epoll set; otherwise it is in the set, armed for one event.
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

// Connections being read per client address (open addressing).
struct addr_count {
    u8 key[16];
    u32 count;
};

// One start of the tool: the server, its listener, its connections and
// request threads. It lives until the tool has stopped and the last request
// thread has let go of it, so a request never sees its server freed.
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
    std::atomic<u32> waiting{0};  // threads in epoll_wait
    // Under g_lock:
    u32 active = 0;    // requests being served
    u32 refs = 1;      // the tool's own and one per request thread
    u32 threads = 0;
    u32 used = 0;      // slots not free
    u32 free_head = kNone;
    bool timer_armed = false;
    conn_slot *slots = nullptr;
    addr_count *addrs = nullptr;
    // Complete heads waiting for a place among the requests served (slots
    // in state SLOT_READY, by their tags), oldest first.
    u64 *ready = nullptr;
    u32 ready_head = 0;
    u32 ready_len = 0;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
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

// ---- connections per address ---------------------------------------------------

void addr_key(const os_ipaddr *a, u8 key[16])
{
    memset(key, 0, 16);
    switch (a->family & OS_IPADDR_FAMILY_MASK) {
    case OS_IPADDR_FAMILY_IPV4:
        key[10] = key[11] = 0xff;  // as its v4-mapped IPv6 form
        memcpy(key + 12, a->u.ipv4.addr, 4);
        break;
    case OS_IPADDR_FAMILY_IPV6: memcpy(key, a->u.ipv6.addr, 16); break;
    default: break;
    }
}

u32 addr_home(const u8 key[16])
{
    return dict_hash(key, 16) & (kAddrSlots - 1);
}

// The entry of key, or the empty one where it would go.
u32 addr_find(web_run *run, const u8 key[16])
{
    u32 i = addr_home(key);
    while (run->addrs[i].count && memcmp(run->addrs[i].key, key, 16) != 0) i = (i + 1) & (kAddrSlots - 1);
    return i;
}

u32 addr_count_of(web_run *run, const os_ipaddr *peer)
{
    u8 key[16];
    addr_key(peer, key);
    return run->addrs[addr_find(run, key)].count;
}

void addr_add(web_run *run, const os_ipaddr *peer)
{
    u8 key[16];
    addr_key(peer, key);
    addr_count &e = run->addrs[addr_find(run, key)];
    memcpy(e.key, key, 16);
    e.count++;
}

// One connection fewer; an entry that reaches 0 leaves the table, the ones
// after it moved back so that every entry stays reachable from its home.
void addr_remove(web_run *run, const os_ipaddr *peer)
{
    u8 key[16];
    addr_key(peer, key);
    u32 i = addr_find(run, key);
    if (!run->addrs[i].count || --run->addrs[i].count) return;
    for (u32 j = (i + 1) & (kAddrSlots - 1); run->addrs[j].count; j = (j + 1) & (kAddrSlots - 1)) {
        u32 home = addr_home(run->addrs[j].key);
        bool stays = i < j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        run->addrs[i] = run->addrs[j];
        run->addrs[j].count = 0;
        i = j;
    }
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

// A free slot for sock in state st, listed in the epoll set; kNone (sock
// left open) when there is none or it cannot be listed.
u32 take_slot_locked(web_run *run, u64 sock, slot_state st, const os_ipaddr *peer)
{
    u32 i = run->free_head;
    if (i == kNone) return kNone;
    conn_slot *s = &run->slots[i];
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = tag_of(i, s->gen);
    if (epoll_ctl(run->ep, EPOLL_CTL_ADD, os_sock_fd(sock), &ev) != 0) {
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
    if (st == SLOT_HEAD) addr_add(run, &s->peer);
    run->used++;
    arm_timer_locked(run);
    return i;
}

// Frees slot i; its socket is closed unless it was taken out (sock 0).
void free_slot_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    if (s->state == SLOT_HEAD || s->state == SLOT_READY) addr_remove(run, &s->peer);
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

// Back into the epoll set for its next event.
void rearm_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    s->busy = 0;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = tag_of(i, s->gen);
    if (epoll_ctl(run->ep, EPOLL_CTL_MOD, os_sock_fd(s->sock), &ev) != 0) free_slot_locked(run, i);
}

// The head that has been arriving longest, taken out of its slot (its
// socket returned, to be answered and closed), or 0 when every head is
// being worked on.
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
// drained (g_lock held).
void answer_and_drain_locked(web_run *run, u32 i, int code)
{
    conn_slot *s = &run->slots[i];
    send_fixed(s->sock, code);
    shutdown(os_sock_fd(s->sock), SHUT_WR);
    if (run->stopping.load()) return free_slot_locked(run, i);
    if (s->state == SLOT_HEAD || s->state == SLOT_READY) addr_remove(run, &s->peer);
    os_free(s->buf);
    s->buf = nullptr;
    s->len = s->cap = 0;
    s->state = SLOT_DRAIN;
    s->started = os_mono_ms();
    rearm_locked(run, i);
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
        if (s->state == SLOT_DRAIN) {
            if (now - s->started >= (u64)HTTP_DRAIN_MS) free_slot_locked(run, i);
        } else if (now - s->started >= (u64)HTTP_HEAD_DEADLINE_MS) {
            free_slot_locked(run, i);
        } else if (!s->ended && now - s->last >= (u64)HTTP_FIRST_BYTE_MS) {
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
    os_free(run->addrs);
    os_free(run->ready);
    httpdDestroy(run->server);
    http_log_exit();
    os_free(run->page_file);
    run->~web_run();
    os_free(run);
}

// A request thread leaves the run (only a spare one when spare_only);
// false when it stays.
bool thread_leave(web_run *run, bool spare_only)
{
    bool last;
    {
        pthread_guard g(&g_lock);
        if (spare_only && run->threads <= 1) return false;
        run->threads--;
        last = --run->refs == 0;
    }
    if (last) run_free(run);
    return true;
}

// Starts a request thread, counted in the run already.
bool start_thread(web_run *run)
{
    os_thread *t = os_thread_init("http_cli", httpd_client_thread, run, 0);
    if (t) {
        os_thread_free(t);
        return true;
    }
    LOG_ERR("Failed to create a new thread (httpd)\n");
    thread_leave(run, false);
    return false;
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
    run->addrs = (addr_count *)os_zalloc(kAddrSlots * sizeof(addr_count));
    run->ready = (u64 *)os_zalloc(HTTP_MAX_CONNS * sizeof(u64));
    run->ep = epoll_create1(EPOLL_CLOEXEC);
    run->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    run->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = run->slots && run->addrs && run->ready && run->ep >= 0 && run->timer >= 0 && run->wake >= 0;
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

// ---- work of the request threads --------------------------------------------------

void linger_proc(u64 sock, void *arg)
{
    web_run *run = (web_run *)arg;
    pthread_guard g(&g_lock);
    if (run->stopping.load() || take_slot_locked(run, sock, SLOT_DRAIN, nullptr) == kNone) os_socket_exit(sock);
}

void answer_and_drain(web_run *run, u32 i, int code)
{
    pthread_guard g(&g_lock);
    answer_and_drain_locked(run, i, code);
}

void close_slot(web_run *run, u32 i)
{
    pthread_guard g(&g_lock);
    free_slot_locked(run, i);
}

// Serves one connection whose head is in buf.
void serve_client(web_run *run, u64 sock, const os_ipaddr &peer, char *buf, u32 len, u64 accepted, bool ended)
{
    // The access list and the refusal's answer run here, off the
    // listener's thread; the socket is closed whatever happens.
    httpd_request *r = httpdGetConnection(sock, run->server, &peer);
    if (!r) {
        os_free(buf);
        LOG_ERR("httpdAccpetConnection sock=%p error\n", (void *)(uintptr_t)sock);
        return;
    }
    httpdSetInput(r, buf, len, accepted, ended);
    httpdSetLinger(r, linger_proc, run);
    r->conn.cancel = &run->cancel;
    t_serving = run;
    if (httpdReadRequest(run->server, r) == 0) httpdProcessRequest(run->server, r);
    else LOG_DBG("No valid request received\n");
    t_serving = nullptr;
    httpdEndRequest(r);
}

// A head taken out of its slot to be served.
struct head_taken {
    u64 sock;
    os_ipaddr peer;
    char *buf;
    u32 len;
    u64 accepted;
    bool ended;
};

// Takes the head of slot i for serving, which counts it among the
// requests; the slot is freed (g_lock held).
head_taken take_head_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    head_taken h{s->sock, s->peer, s->buf, s->len, s->started, s->ended != 0};
    s->sock = 0;
    s->buf = nullptr;
    free_slot_locked(run, i);
    run->active++;
    return h;
}

// The oldest head waiting for a place, taken when there is one (g_lock
// held).
bool next_ready_locked(web_run *run, head_taken *h)
{
    while (run->ready_len && run->active < HTTP_MAX_REQUESTS) {
        u64 tag = run->ready[run->ready_head];
        run->ready_head = (run->ready_head + 1) % HTTP_MAX_CONNS;
        run->ready_len--;
        const conn_slot &s = run->slots[(u32)tag];
        if (s.gen == (u32)(tag >> 32) && s.state == SLOT_READY) {
            *h = take_head_locked(run, (u32)tag);
            return true;
        }
    }
    return false;
}

// The head in slot i (busy) is complete, or will not grow. When there is a
// place among the requests it leaves the slot and is served on this
// thread, with another thread left waiting for the connections; otherwise
// it waits for a place (kPlaceWaitMs at most), which the thread of a
// request that ends gives it.
void hand_off(web_run *run, u32 i)
{
    head_taken h;
    bool spawn;
    {
        pthread_guard g(&g_lock);
        conn_slot *s = &run->slots[i];
        if (run->stopping.load()) return free_slot_locked(run, i);
        if (run->active >= HTTP_MAX_REQUESTS || run->ready_len) {
            s->state = SLOT_READY;
            s->busy = 0;
            s->last = os_mono_ms();
            run->ready[(run->ready_head + run->ready_len) % HTTP_MAX_CONNS] = tag_of(i, s->gen);
            run->ready_len++;
            if (!next_ready_locked(run, &h)) return;
        } else {
            h = take_head_locked(run, i);
        }
        spawn = run->waiting.load() == 0 && run->threads < kMaxThreads;
        if (spawn) {
            run->threads++;
            run->refs++;
        }
    }
    if (spawn) start_thread(run);
    for (;;) {
        serve_client(run, h.sock, h.peer, h.buf, h.len, h.accepted, h.ended);
        pthread_guard g(&g_lock);
        run->active--;
        if (run->stopping.load()) {
            if (run->active == 0) pthread_cond_broadcast(&g_cond);
            return;
        }
        if (!next_ready_locked(run, &h)) return;
    }
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
    if (st == HTTPD_HEAD_READY) return hand_off(run, i);
    if (st != HTTPD_HEAD_MORE) return answer_and_drain(run, i, st);
    // A head that will not grow any more is served with what it holds (a
    // client that sent nothing is just closed).
    if (s->ended) return s->len ? hand_off(run, i) : close_slot(run, i);
    pthread_guard g(&g_lock);
    rearm_locked(run, i);
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
    rearm_locked(run, i);
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
    {
        pthread_guard g(&g_lock);
        if (i >= HTTP_MAX_CONNS) return;
        conn_slot *s = &run->slots[i];
        // An event of a connection the slot no longer holds is dropped.
        if (s->gen != (u32)(tag >> 32) || (s->state != SLOT_HEAD && s->state != SLOT_DRAIN) || s->busy) return;
        s->busy = 1;
    }
    if (run->slots[i].state == SLOT_DRAIN) drain(run, i);
    else read_head(run, i);
}

// Ends a run that no longer takes connections: its waiting threads end,
// the requests in flight finish, given a moment, and after that their
// connections are stopped; the run goes with its last thread.
void stop_run(web_run *run)
{
    {
        pthread_guard g(&g_lock);
        run->stopping.store(true);
    }
    u64 one = 1;
    if (write(run->wake, &one, sizeof one) < 0) LOG_ERR("web server stop: %s\n", os_errno_text(errno));
    bool last;
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
        last = --run->refs == 0;
    }
    if (last) run_free(run);
}

}  // namespace

const char *http_page_text(void)
{
    return t_serving ? t_serving->page_file : nullptr;
}

i64 httpd_client_thread(void *arg)
{
    web_run *run = (web_run *)arg;
    for (;;) {
        epoll_event ev;
        run->waiting.fetch_add(1);
        int n = epoll_wait(run->ep, &ev, 1, kIdleWorkerMs);
        run->waiting.fetch_sub(1);
        if (run->stopping.load()) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            LOG_AT(3 | LOG_OPT_ERRNO, "epoll_wait: ");
            os_msleep(100);  // a failing wait must not spin
            continue;
        }
        if (n == 0) {
            if (thread_leave(run, true)) return 0;
            continue;
        }
        dispatch(run, ev.data.u64);
    }
    thread_leave(run, false);
    return 0;
}

int http_accept_proc(u64 sock, os_ipaddr *peer, void *arg)
{
    web_run *run = (web_run *)arg;
    os_ipaddr evicted_peer;
    u64 evicted = 0;
    const char *why = nullptr;
    u32 limit = 0;
    {
        pthread_guard g(&g_lock);
        if (run != g_run || run->stopping.load()) {
            os_socket_exit(sock);
            return -1;
        }
        // A full table makes room by closing the head that has been
        // arriving longest; one address may hold only its share of it.
        if (addr_count_of(run, peer) >= HTTP_MAX_CONNS_PER_ADDR) {
            why = "web connections being read from one address";
            limit = HTTP_MAX_CONNS_PER_ADDR;
        } else {
            if (run->free_head == kNone) evicted = evict_oldest_locked(run, &evicted_peer);
            if (take_slot_locked(run, sock, SLOT_HEAD, peer) == kNone) {
                why = "web connections being read";
                limit = HTTP_MAX_CONNS;
            }
        }
    }
    if (evicted) {
        if (u32 n = sock_log_gate_pass(&g_evicted, kRefuseLogEveryMs)) {
            char addr[OS_IPADDR_CSTR_MAXN];
            peer_text(&evicted_peer, addr, sizeof addr);
            LOG_WARN("%u web connections being read: the oldest unfinished head, from %s, closed (%u since the "
                     "last record)\n",
                     HTTP_MAX_CONNS, addr, n);
        }
        send_fixed(evicted, 503);
        os_socket_exit(evicted);
    }
    if (!why) return 0;
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
    // One request thread waits for connections from the start.
    run->threads = 1;
    run->refs++;
    if (!start_thread(run)) {
        run_free(run);
        return -1;
    }
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
