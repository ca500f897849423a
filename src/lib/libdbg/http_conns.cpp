#define LOG_MOD "dbg"
// Records of every part of the web tool's server carry the path the tool
// is known by in the log.
#define LOG_SRC "src/lib/libdbg/http"
// The table of connections whose heads are still arriving, or that are
// drained after their answer, and the thread that reads them as their
// input comes ("http_io"); a sweep timer closes what ran out of time.
#include "libdbg/http_srv.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"

namespace http_srv {

namespace {

constexpr int kEvents = 64;     // events taken per wait of the reading thread
constexpr int kDrainReads = 4;  // reads per event before others get their turn

u64 tag_of(u32 slot, u32 gen)
{
    return (u64)gen << 32 | slot;
}

void arm_timer_locked(web_run *run)
{
    if (run->timer_armed) return;
    if (http_poll_arm(&run->poll, run->timer, kTagTimer, HTTP_POLL_ONCE) == 0) run->timer_armed = true;
}

// Back in the poll set for its next event, in state st.
void rearm_locked(web_run *run, u32 i, slot_state st)
{
    conn_slot *s = &run->slots[i];
    s->busy = 0;
    s->state = st;
    if (http_poll_arm(&run->poll, os_sock_fd(s->sock), tag_of(i, s->gen), HTTP_POLL_ONCE) != 0)
        free_slot_locked(run, i);
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
    drop_head(s);
    s->started = os_mono_ms();
    rearm_locked(run, i, SLOT_DRAIN);
}

// Input has come that the reading thread has not taken yet (it may be
// late, the machine busy): the client has not paused.
bool input_waiting(u64 sock)
{
    int n = 0;
    return ioctl(os_sock_fd(sock), FIONREAD, &n) == 0 && n > 0;
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
        } else if (s->state == SLOT_HEAD && !s->ended && now - s->last >= (u64)HTTP_FIRST_BYTE_MS &&
                   !input_waiting(s->sock)) {
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
    head_job h{s->sock, s->peer, s->buf, s->len, s->cap, s->started, s->ended != 0, s->scan};
    httpdHeadScanInit(&s->scan);
    s->sock = 0;
    s->buf = nullptr;
    free_slot_locked(run, i);
    return h;
}

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
        if (!httpdHeadRoom(&s->buf, &s->cap, s->len)) return close_slot(run, i);
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

// One event of the poll set.
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

}  // namespace

void peer_text(const os_ipaddr *peer, char *out, size_t size)
{
    out[0] = 0;
    os_ipaddr_ip_cstr(peer, out, size);
}

void log_refused(sock_log_late *gate, const char *what, u32 limit, const os_ipaddr *peer)
{
    u32 n = sock_log_late_pass(gate);
    if (!n) return;
    char addr[OS_IPADDR_CSTR_MAXN];
    peer_text(peer, addr, sizeof addr);
    LOG_ERR("%u %s, connection from %s closed (%u refused since the last record)\n", limit, what, addr, n);
}

void send_fixed(u64 sock, int code)
{
    const char *a = httpdFixedAnswer(code);
    if (send(os_sock_fd(sock), a, strlen(a), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
        LOG_DBG("answer %d not sent: %s\n", code, os_errno_text(errno));
}

u32 take_slot_locked(web_run *run, u64 sock, slot_state st, const os_ipaddr *peer)
{
    u32 i = run->free_head;
    if (i == kNone) return kNone;
    conn_slot *s = &run->slots[i];
    // A connection read here before stays listed (off) while it is served.
    http_poll_mode mode = st == SLOT_READY ? HTTP_POLL_OFF : HTTP_POLL_ONCE;
    if (http_poll_add(&run->poll, os_sock_fd(sock), tag_of(i, s->gen), mode) != 0) {
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

void free_slot_locked(web_run *run, u32 i)
{
    conn_slot *s = &run->slots[i];
    if (s->state == SLOT_HEAD || s->state == SLOT_READY) addr_counts_remove(&run->addrs, &s->peer);
    if (s->sock) os_socket_exit(s->sock);
    drop_head(s);
    s->sock = 0;
    s->gen++;
    s->state = SLOT_FREE;
    s->busy = 0;
    s->next_free = run->free_head;
    run->free_head = i;
    run->used--;
}

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

void drop_head(conn_slot *s)
{
    os_free(s->buf);
    s->buf = nullptr;
    s->len = s->cap = 0;
    httpdHeadScanFree(&s->scan);
}

u32 hold_head_locked(web_run *run, head_job &job, slot_state st)
{
    u32 i = take_slot_locked(run, job.sock, st, &job.peer);
    if (i == kNone) return kNone;
    conn_slot *s = &run->slots[i];
    s->buf = job.buf;
    s->len = job.len;
    s->cap = job.cap;
    s->started = job.accepted;
    s->ended = job.ended;
    s->scan = job.scan;
    job.sock = 0;
    job.buf = nullptr;
    httpdHeadScanInit(&job.scan);
    return i;
}

bool wait_for_place_locked(web_run *run, head_job &job)
{
    u32 i = hold_head_locked(run, job, SLOT_READY);
    if (i == kNone) return false;
    run->ready[(run->ready_head + run->ready_len) % HTTP_MAX_CONNS] = tag_of(i, run->slots[i].gen);
    run->ready_len++;
    return true;
}

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

i64 http_io_thread(void *arg)
{
    web_run *run = (web_run *)arg;
    u64 tags[kEvents];
    while (!run->stopping.load()) {
        int n = http_poll_wait(&run->poll, tags, kEvents, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            LOG_AT(3 | LOG_OPT_ERRNO, "epoll_wait: ");
            os_msleep(100);  // a failing wait must not spin
            continue;
        }
        for (int k = 0; k < n && !run->stopping.load(); ++k) dispatch(run, tags[k]);
    }
    run_unref(run);
    return 0;
}

}  // namespace http_srv
