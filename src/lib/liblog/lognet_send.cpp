#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet_send"
// The thread "syslog": connects to the peer and sends what the logging
// threads queued (lognet_tx.cpp), one step at a time.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <netdb.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/lognet_tx_impl.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"

struct log_net_lookup {
    std::atomic<int> refs;
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool done;
    int rc, eno;
    int socktype;
    struct addrinfo *res;
    char service[32];
    char host[1025];  // NI_MAXHOST
};

namespace {

constexpr size_t kHostMax = sizeof log_net_lookup::host;
constexpr int kLookupMs = 3000;   // time for a name to be found
constexpr u64 kBackoffMs = 3000;  // between two connection attempts that fail
constexpr int kNapMs = 1;         // the sender's wait for more before it sleeps
constexpr int kIov = 16;          // pieces of the buffer one send takes
constexpr int kRefusedTries = 4;  // sends of one datagram while earlier ones are told refused

bool again(int eno)
{
    return eno == EAGAIN || eno == EWOULDBLOCK || eno == EINTR;
}

// The sender's waits: on the wake-up and, when fd is not -1, on fd for
// events, at most ms (-1: no limit). The events of fd, or 0.
short wait_on(log_net_tx *tx, int fd, short events, int ms)
{
    struct pollfd p[2] = {{tx->wake, POLLIN, 0}, {fd, events, 0}};
    int r = poll(p, fd >= 0 ? 2 : 1, ms);
    if (r <= 0) return 0;
    if (p[0].revents) tx_drain_wake(tx->wake);
    return fd >= 0 ? p[1].revents : 0;
}

// How long a wait of the sender may last: -1 while it runs, else what is
// left of its drain (0 when nothing is).
int drain_left(log_net_tx *tx)
{
    if (tx->stop.load(std::memory_order_acquire) == kRun) return -1;
    u64 now = os_mono_ms(), until = tx->drain_until.load(std::memory_order_relaxed);
    return now >= until ? 0 : (int)(until - now);
}

// Connects to the peer (bounded in time, ended by a stop); the socket, or
// -1 with *why. A failure is told on standard error with its reason.
int open_peer(log_net_tx *tx, int *why)
{
    log_debug_printf("syslog_open [%s:%s]==>\n", tx->host, tx->service);
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tx->stream ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo *own = nullptr;
    const struct addrinfo *res = nullptr;
    int rc = tx->host_too_long ? EAI_NONAME : getaddrinfo(tx->host, tx->service, &hints, &own);
    int eno = 0;
    if (rc == 0) {
        res = own;
    } else if (rc == EAI_NONAME && !tx->host_too_long) {
        // A name: looked up on a thread of its own, so that a slow answer
        // holds up only the next attempt.
        if (!tx->lk) tx->lk = log_net_lookup_start(tx->host, tx->service, hints.ai_socktype);
        if (!tx->lk) {
            *why = EAGAIN;
            return -1;
        }
        if (!log_net_lookup_wait(tx->lk, os_mono_ms() + kLookupMs, &tx->stop, &rc, &eno, &res)) {
            *why = LOG_NET_WHY_SLOW_NAME;
            return -1;
        }
    }
    int fd = log_net_connect_found(tx->host, tx->service, rc, eno, res, tx->wake, &tx->stop, why);
    if (own) freeaddrinfo(own);
    if (tx->lk) {
        log_net_lookup_unref(tx->lk);
        tx->lk = nullptr;
    }
    return fd;
}

// The connection failed (eno): what waits is dropped. After an attempt
// that failed the link is down until the next one is due; after a
// connection that broke, records wait for the next.
void lose(log_net_tx *tx, int eno, bool attempt)
{
    if (tx->sock >= 0) close(tx->sock);
    tx->sock = -1;
    tx_chunk *unused = nullptr;
    {
        pthread_guard g(&tx->lock);
        tx_discard(tx, eno, &unused);
        tx->down_why = eno;
        tx->link.store(attempt ? kDown : kConnecting, std::memory_order_release);
    }
    tx_free_chunks(unused);
}

// A stream that broke (eno, or what the socket says): the next attempt
// at once when it stood a while, else once the pause since it was made is
// over; the next connection starts with a whole message.
void broke(log_net_tx *tx, int eno)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (!eno && getsockopt(tx->sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0) eno = err;
    u64 now = os_mono_ms();
    tx->next_try = now - tx->up_since >= kBackoffMs ? now : tx->up_since + kBackoffMs;
    lose(tx, eno ? eno : ECONNRESET, false);
}

// ---- datagrams ---------------------------------------------------------
// An error of a connected datagram socket may be the peer's refusal of an
// earlier datagram (an ICMP message): the system says it at the next send,
// which then does not go. The datagram sent last stays pending until the
// next send goes or the sender rests, so that a refused note gives its
// count back.

// Under lock: a datagram (m: the drops a note told; count 0: a record)
// did not go, or the peer refused it (eno): a note's count is given back,
// to be told by the next note; a record is counted.
void datagram_lost(log_net_tx *tx, const note_mark &m, int eno)
{
    tx_tell(tx, "");
    if (m.count) tx_count_first(tx, m.why, m.count);
    else tx_count(tx, eno);
}

// The system says an earlier datagram was refused (eno).
void refused(log_net_tx *tx, int eno)
{
    pthread_guard g(&tx->lock);
    datagram_lost(tx, tx->dg_pending ? tx->dg_note : note_mark{}, eno);
    tx->dg_pending = false;
}

// The datagram sent last was not refused (under lock): a note it was has
// been told.
void confirm(log_net_tx *tx)
{
    if (tx->dg_pending) tx_to_file(tx->st, tx->dg_note.count, tx->dg_note.why);
    tx->dg_pending = false;
}

// Whether the peer refused the datagram sent last, as far as the system
// has heard by now.
void settle(log_net_tx *tx)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(tx->sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err) {
        refused(tx, err);
        return;
    }
    pthread_guard g(&tx->lock);
    confirm(tx);
}

// The datagram of n bytes at from went (dropped: it did not, for eno).
void datagram_done(log_net_tx *tx, u64 from, size_t n, bool dropped, int eno)
{
    note_mark m;
    tx_chunk *unused = nullptr;
    {
        pthread_guard g(&tx->lock);
        tx_sent(tx, from, n, &m, &unused);
        if (dropped) {
            datagram_lost(tx, m, eno);
        } else {
            confirm(tx);
            tx->dg_pending = true;
            tx->dg_note = m;
        }
    }
    tx_free_chunks(unused);
}

// Sends one datagram without blocking; when the socket is full, waits
// until it takes more (POLLOUT), a stop, or the drain's end.
void send_datagram(log_net_tx *tx, msghdr *mh, u64 from, size_t n)
{
    int first = 0;
    for (int tries = 0;; ++tries) {
        if (sendmsg(tx->sock, mh, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            // The error before was an earlier datagram's.
            if (first) refused(tx, first);
            datagram_done(tx, from, n, false, 0);
            return;
        }
        int eno = errno;
        if (again(eno)) {
            wait_on(tx, tx->sock, POLLOUT, drain_left(tx));
            return;
        }
        // A refusal is always an earlier datagram's; another error may be
        // this one's: a second send tells.
        if (eno == ECONNREFUSED && tries < kRefusedTries) {
            refused(tx, eno);
            continue;
        }
        if (tries == 0) {
            first = eno;
            continue;
        }
        datagram_done(tx, from, n, true, eno);
        return;
    }
}

// ---- streams -----------------------------------------------------------

// Sends what waits on the stream without blocking; when the socket is
// full, waits until it takes more (POLLOUT), a stop, or the drain's end.
void send_stream(log_net_tx *tx, msghdr *mh, u64 from)
{
    ssize_t r = sendmsg(tx->sock, mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    int eno = errno;
    if (r > 0) {
        note_mark m;
        tx_chunk *unused = nullptr;
        {
            pthread_guard g(&tx->lock);
            tx_sent(tx, from, (size_t)r, &m, &unused);
        }
        tx_free_chunks(unused);
        return;
    }
    if (r == 0 || again(eno)) {
        wait_on(tx, tx->sock, POLLOUT, drain_left(tx));
        return;
    }
    {
        pthread_guard g(&tx->lock);
        tx_tell(tx, "");
    }
    broke(tx, eno);
}

// ---- the steps ---------------------------------------------------------

// Without a connection: waits until the pause after a failed attempt is
// over (its end, or a stop, wakes it); true once it is, and records are
// then queued again.
bool pause_over(log_net_tx *tx)
{
    u64 now = os_mono_ms();
    if (now < tx->next_try) {
        wait_on(tx, -1, 0, (int)(tx->next_try - now));
        return false;
    }
    tx->link.store(kConnecting, std::memory_order_release);
    return true;
}

// Whether nothing waits; then the sender is about to sleep, and the next
// record queued wakes it.
bool may_sleep(log_net_tx *tx)
{
    pthread_guard g(&tx->lock);
    tx->sleeping = tx->in == tx->out.load(std::memory_order_relaxed);
    return tx->sleeping;
}

// Without a connection: waits with no limit until a record is queued (its
// put wakes the sender) or a stop; true when one waits: a connection is
// made for records that wait, not before.
bool record_waits(log_net_tx *tx)
{
    if (!may_sleep(tx)) return true;
    wait_on(tx, -1, 0, -1);
    return false;
}

// Connects: at most 3 s for the name and 1 s per address, a stop ends it.
// After a failure the link is down, and what waits dropped, until the next
// attempt 3 s later.
void connect_peer(log_net_tx *tx)
{
    u64 now = os_mono_ms();
    int why = 0;
    int fd = open_peer(tx, &why);
    if (fd < 0) {
        if (tx->stop.load() != kRun) return;
        tx->next_try = now + kBackoffMs;
        lose(tx, why, true);
        return;
    }
    tx->sock = fd;
    tx->up_since = os_mono_ms();
    tx->napped = false;
    tx->link.store(kUp, std::memory_order_release);
}

// With a connection: sends what waits (see send_stream, send_datagram);
// false at once when nothing does.
bool send_waiting(log_net_tx *tx)
{
    iovec v[kIov];
    u64 from;
    size_t n;
    int k;
    {
        pthread_guard g(&tx->lock);
        k = tx_pending(tx, v, kIov, &from, &n);
        if (k) tx->sleeping = false;
    }
    if (!k) return false;
    tx->napped = false;
    msghdr mh = {};
    mh.msg_iov = v;
    mh.msg_iovlen = (size_t)k;
    if (tx->stream) send_stream(tx, &mh, from);
    else send_datagram(tx, &mh, from, n);
    return true;
}

// The sender rests: the memory the buffer grew by goes back, and the
// datagram sent last is settled.
void rest(log_net_tx *tx)
{
    if (!tx->stream) settle(tx);
    tx_chunk *spare;
    bool grew;
    {
        pthread_guard g(&tx->lock);
        spare = tx->spare;
        tx->spare = nullptr;
        if (spare) --tx->chunks;
        grew = tx->grew;
        tx->grew = false;
    }
    tx_free_chunks(spare);
    // The pieces went back to the C library, which keeps them unless told.
    if (grew) malloc_trim(0);
}

// With a connection and nothing to send: naps 1 ms first (records logged
// meanwhile do not wake it: under a stream of records the threads that log
// seldom need a system call to wake the sender), then rests and sleeps
// with no limit until a record is queued, a stop, or the peer hangs up.
void idle(log_net_tx *tx)
{
    tx->napped = !tx->napped;
    if (tx->napped) {
        wait_on(tx, -1, 0, kNapMs);
        return;
    }
    if (!may_sleep(tx)) return;
    rest(tx);
    // A stream whose peer hangs up is closed now, not at the next record
    // (whose first bytes would go down with it).
    short ev = wait_on(tx, tx->stream ? tx->sock : -1, POLLIN | POLLRDHUP, -1);
    char scrap[512];
    bool gone = ev & (POLLERR | POLLHUP | POLLRDHUP);
    if (ev && !gone) gone = recv(tx->sock, scrap, sizeof scrap, MSG_DONTWAIT) == 0;
    if (gone) broke(tx, 0);
}

// The sender ends: the connection closes, and records are dropped from now
// on.
void finish(log_net_tx *tx)
{
    if (tx->sock >= 0 && !tx->stream) settle(tx);
    if (tx->sock >= 0) close(tx->sock);
    tx->sock = -1;
    pthread_guard g(&tx->lock);
    tx->down_why = LOG_NET_WHY_CLOSED;
    tx->link.store(kDown, std::memory_order_release);
}

// A socket connected to the first address of res that takes the
// connection within LOG_NET_CONNECT_MS each, or -1 with *eno. A byte on
// wake_fd (when not -1) ends the waits once *stop is set.
int connect_addrs(const addrinfo *res, int wake_fd, const std::atomic<u8> *stop, int *eno)
{
    int err = EHOSTUNREACH;
    for (const struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
        err = errno;
        u64 deadline = os_mono_ms() + (u64)LOG_NET_CONNECT_MS;
        while (err == EINPROGRESS) {
            u64 now = os_mono_ms();
            if (now >= deadline) {
                err = ETIMEDOUT;
                break;
            }
            struct pollfd p[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
            int r = poll(p, wake_fd >= 0 ? 2 : 1, (int)(deadline - now));
            if (r < 0 && errno != EINTR) err = errno;
            if (r <= 0) continue;
            if (wake_fd >= 0 && p[1].revents) {
                tx_drain_wake(wake_fd);
                if (stop && stop->load() != kRun) err = ECANCELED;
            }
            if (p[0].revents) {
                socklen_t len = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                if (err == 0) return fd;
            }
        }
        close(fd);
        if (err == ECANCELED) break;
    }
    *eno = err;
    return -1;
}

i64 lookup_proc(void *arg)
{
    log_net_lookup *l = (log_net_lookup *)arg;
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = l->socktype;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(l->host, l->service, &hints, &res);
    int eno = errno;
    pthread_mutex_lock(&l->lock);
    l->rc = rc;
    l->eno = eno;
    l->res = rc == 0 ? res : nullptr;
    l->done = true;
    pthread_cond_signal(&l->cond);
    pthread_mutex_unlock(&l->lock);
    log_net_lookup_unref(l);
    return 0;
}

}  // namespace

i64 tx_sender_proc(void *arg)
{
    log_net_tx *tx = (log_net_tx *)arg;
    tx->tid.store(os_gettid());
    for (;;) {
        u8 stop = tx->stop.load(std::memory_order_acquire);
        if (stop == kStopNow || (stop == kDrain && drain_left(tx) == 0)) break;
        if (tx->sock >= 0) {
            if (send_waiting(tx)) continue;
            if (stop == kDrain) break;  // all went out
            idle(tx);
        } else {
            if (stop == kDrain) break;  // nothing goes out without a connection
            if (pause_over(tx) && record_waits(tx)) connect_peer(tx);
        }
    }
    finish(tx);
    return 0;
}

log_net_lookup *log_net_lookup_start(const char *host, const char *service, int socktype)
{
    if (!host || strnlen(host, kHostMax) >= kHostMax) return nullptr;
    log_net_lookup *l = (log_net_lookup *)os_zalloc(sizeof(log_net_lookup));
    if (!l) return nullptr;
    new (l) log_net_lookup{};
    str_safecopy_trunc(l->host, sizeof l->host, host);
    str_safecopy_trunc(l->service, sizeof l->service, service ? service : "");
    l->socktype = socktype;
    l->refs.store(2);
    pthread_mutex_init(&l->lock, nullptr);
    os_cond_init_mono(&l->cond);
    os_thread *t = os_thread_init("syslog_dns", lookup_proc, l, 0);
    if (!t) {
        log_net_lookup_unref(l);
        log_net_lookup_unref(l);
        return nullptr;
    }
    os_thread_free(t);
    return l;
}

bool log_net_lookup_wait(log_net_lookup *l, u64 deadline_ms, const std::atomic<u8> *stop, int *rc, int *eno,
                         const addrinfo **res)
{
    pthread_guard g(&l->lock);
    while (!l->done && !(stop && stop->load() != kRun)) {
        u64 now = os_mono_ms();
        if (now >= deadline_ms) break;
        // A stop is seen within a tenth of a second.
        u64 until = stop && deadline_ms - now > 100 ? now + 100 : deadline_ms;
        os_cond_wait_until(&l->cond, &l->lock, until);
    }
    if (!l->done) return false;
    *rc = l->rc;
    *eno = l->eno;
    if (res) *res = l->res;
    return true;
}

void log_net_lookup_unref(log_net_lookup *l)
{
    if (l->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (l->res) freeaddrinfo(l->res);
    pthread_mutex_destroy(&l->lock);
    pthread_cond_destroy(&l->cond);
    l->~log_net_lookup();
    os_free(l);
}

int log_net_connect_found(const char *host, const char *service, int rc, int eno, const addrinfo *res, int wake_fd,
                          const std::atomic<u8> *stop, int *why)
{
    char et[256];
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", rc == EAI_SYSTEM ? os_errno_str(eno, et, sizeof et) : gai_strerror(rc));
        fprintf(stderr, "failed to resolve name %s port %s\n", host, service);
        *why = LOG_NET_WHY_NO_NAME;
        return -1;
    }
    int fd = connect_addrs(res, wake_fd, stop, why);
    if (fd < 0 && !(stop && stop->load() != kRun)) {
        fprintf(stderr, "connect: %s\n", os_errno_str(*why, et, sizeof et));
        fprintf(stderr, "failed to connect to %s port %s\n", host, service);
    }
    return fd;
}
