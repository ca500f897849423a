#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet_tx"
#include "liblog/lognet_tx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/lognet.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr int kLookupMs = 3000;     // time for a name to be found
constexpr u64 kBackoffMs = 3000;    // between two connection attempts that fail
constexpr u64 kTellMs = 10000;      // a faltering peer is told at most this often
constexpr u64 kCrashWaitMs = 1000;  // what a crash report waits for the sender
constexpr int kNapMs = 1;           // the sender's wait for more before it sleeps
constexpr size_t kCap = LOG_NET_TX_RING;
constexpr int kNotes = 8;

// The connection as the logging threads see it: while it is down (between
// a failed attempt and the next) their records are dropped at once.
enum : u8 { kConnecting = 0, kUp = 1, kDown = 2 };
enum : u8 { kRun = 0, kStopNow = 1, kDrain = 2 };

// A note queued in the buffer: where it ends, and the drops it tells.
struct note_mark {
    u64 end;
    u32 count;
    i32 why;
};

}  // namespace

struct log_net_tx {
    log_net_state *st;
    char url[512];
    char host[1025];
    char service[32];
    bool stream;
    bool host_too_long;
    int wake = -1;  // eventfd: a record for a sleeping sender, or the stop
    os_thread *thread = nullptr;
    std::atomic<u32> tid{0};  // the sender's thread id
    std::atomic<u8> link{kConnecting};
    std::atomic<u8> stop{kRun};
    std::atomic<u64> drain_until{0};

    // The buffer and its counts, under lock. The bytes between out and in
    // are the sender's to read without the lock.
    pthread_mutex_t lock;
    char *ring = nullptr;
    u64 in = 0;                // bytes ever queued
    std::atomic<u64> out{0};   // bytes ever sent (or given up); the crash report reads it
    u64 msgs_in = 0, msgs_out = 0;  // whole messages ever queued, ever sent
    note_mark notes[kNotes];
    int note_head = 0, note_n = 0;
    u32 dropped = 0;  // records dropped since the last note was queued
    i32 why = 0;      // why the first of them was
    i32 down_why = 0; // why records are dropped while the link is down
    bool full = false;     // dropping since the buffer filled, until half is free
    bool sleeping = false; // the sender waits for a record
    u64 told_ms = 0;       // when a faltering peer was last told on standard error

    // The sender's own.
    int sock = -1;
    log_net_lookup *lk = nullptr;  // a look-up that had not answered in time
};

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
constexpr size_t kHostMax = sizeof log_net_lookup::host;

namespace {

void wake(log_net_tx *tx)
{
    u64 one = 1;
    ssize_t r = write(tx->wake, &one, sizeof one);
    (void)r;
}

void drain_wake(int fd)
{
    u64 v;
    ssize_t r = read(fd, &v, sizeof v);
    (void)r;
}

// One line on standard error, at most every kTellMs (under lock).
void tell(log_net_tx *tx, const char *what)
{
    u64 now = os_mono_ms();
    if (tx->told_ms && now - tx->told_ms < kTellMs) return;
    tx->told_ms = now;
    char b[700];
    int n = snprintf(b, sizeof b, "syslog_write %s err%s\n", tx->url, what);
    if (n > 0) {
        ssize_t r = write(STDERR_FILENO, b, (size_t)n < sizeof b ? (size_t)n : sizeof b - 1);
        (void)r;
    }
}

// A record dropped (under lock).
void count(log_net_tx *tx, int why, u64 n = 1)
{
    if (!tx->dropped) tx->why = why;
    u64 d = tx->dropped + n;
    tx->dropped = d > UINT32_MAX ? UINT32_MAX : (u32)d;
}

// Drops that a note has told the peer, for the file, once.
void to_file(log_net_state *st, u64 n, int why)
{
    u64 old = __atomic_load_n(&st->file_note, __ATOMIC_RELAXED), nv;
    do {
        u64 c = (u32)old;
        u64 w = c ? old >> 32 : (u32)why;
        u64 sum = c + n > UINT32_MAX ? UINT32_MAX : c + n;
        nv = w << 32 | sum;
    } while (!__atomic_compare_exchange_n(&st->file_note, &old, nv, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
}

void ring_put(log_net_tx *tx, const char *p, size_t n)
{
    size_t at = (size_t)(tx->in % kCap), k = n < kCap - at ? n : kCap - at;
    memcpy(tx->ring + at, p, k);
    memcpy(tx->ring, p + k, n - k);
    tx->in += n;
    ++tx->msgs_in;
}

// What the buffer holds is given up (under lock): its records, and those
// its notes tell, are counted as dropped (why: the reason for the records).
void discard(log_net_tx *tx, int why)
{
    u64 msgs = tx->msgs_in - tx->msgs_out, told = 0;
    for (int i = 0; i < tx->note_n; ++i) told += tx->notes[(tx->note_head + i) % kNotes].count;
    // The notes' drops came first, then the records behind them, then
    // those not noted yet.
    u32 later = tx->dropped;
    int later_why = tx->why;
    tx->dropped = 0;
    if (tx->note_n) count(tx, tx->notes[tx->note_head].why, told);
    if (msgs > (u64)tx->note_n) count(tx, why, msgs - (u64)tx->note_n);
    if (later) count(tx, later_why, later);
    tx->out.store(tx->in, std::memory_order_release);
    tx->msgs_out = tx->msgs_in;
    tx->note_n = 0;
    tx->full = false;
}

// Queues a message of n bytes (its NUL included) under lock; false when it
// was dropped. A note of the drops before it goes first.
bool queue(log_net_tx *tx, const char *msg, size_t n)
{
    u8 link = tx->link.load(std::memory_order_relaxed);
    if (link == kDown) {
        count(tx, tx->down_why);
        return false;
    }
    size_t room = kCap - (size_t)(tx->in - tx->out.load(std::memory_order_relaxed));
    int full_why = link == kUp ? LOG_NET_WHY_SLOW : LOG_NET_WHY_NOT_YET;
    if (tx->full && room < kCap / 2) {
        count(tx, full_why);
        return false;
    }
    char note[LOG_NET_MSG_MAX];
    size_t nn = 0;
    if (tx->dropped && tx->note_n < kNotes) {
        char text[700];
        log_net_dropped_text(text, sizeof text, tx->url, tx->dropped, tx->why);
        nn = syslog_message(note, sizeof note, LOG_LVL_WARN, LOG_MOD, text, 0) + 1;
    }
    if (n + nn > room) {
        if (!tx->full && link == kUp) tell(tx, ": the peer takes records too slowly, they are dropped and counted");
        tx->full = true;
        count(tx, full_why);
        return false;
    }
    tx->full = false;
    if (nn) {
        ring_put(tx, note, nn);
        tx->notes[(tx->note_head + tx->note_n++) % kNotes] = {tx->in, tx->dropped, tx->why};
        tx->dropped = 0;
    }
    ring_put(tx, msg, n);
    return true;
}

// The sender's waits: on the wake-up and, when fd is not -1, on fd for
// events, at most ms (-1: no limit). The events of fd, or 0.
short wait_on(log_net_tx *tx, int fd, short events, int ms)
{
    struct pollfd p[2] = {{tx->wake, POLLIN, 0}, {fd, events, 0}};
    int r = poll(p, fd >= 0 ? 2 : 1, ms);
    if (r <= 0) return 0;
    if (p[0].revents) drain_wake(tx->wake);
    return fd >= 0 ? p[1].revents : 0;
}

// How long a wait of the sender may last: -1 while it runs, else what is
// left of its drain (0 when nothing is).
int wait_left(log_net_tx *tx)
{
    if (tx->stop.load(std::memory_order_acquire) == kRun) return -1;
    u64 now = os_mono_ms(), until = tx->drain_until.load(std::memory_order_relaxed);
    return now >= until ? 0 : (int)(until - now);
}

// Connects to the peer (bounded in time, ended by a stop); the socket, or
// -1 with *why.
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
    int fd = -1;
    if (rc != 0) {
        char et[256];
        fprintf(stderr, "getaddrinfo: %s\n", rc == EAI_SYSTEM ? os_errno_str(eno, et, sizeof et) : gai_strerror(rc));
        fprintf(stderr, "failed to resolve name %s port %s\n", tx->host, tx->service);
        *why = LOG_NET_WHY_NO_NAME;
    } else {
        fd = log_net_connect_addrs(res, LOG_NET_CONNECT_MS, tx->wake, &tx->stop, &eno);
        if (fd < 0 && tx->stop.load() == kRun) fprintf(stderr, "failed to connect to %s port %s\n", tx->host, tx->service);
        *why = eno;
    }
    if (own) freeaddrinfo(own);
    if (tx->lk) {
        log_net_lookup_unref(tx->lk);
        tx->lk = nullptr;
    }
    return fd;
}

// The bytes [from, from + n) of the buffer as up to two pieces.
int pieces(log_net_tx *tx, u64 from, size_t n, struct iovec *v)
{
    size_t at = (size_t)(from % kCap), k = n < kCap - at ? n : kCap - at;
    v[0] = {tx->ring + at, k};
    v[1] = {tx->ring, n - k};
    return n > k ? 2 : 1;
}

// The length of the message that starts at from, its NUL included (the
// whole of avail when none ends there).
size_t first_message(log_net_tx *tx, u64 from, size_t avail)
{
    struct iovec v[2];
    int k = pieces(tx, from, avail, v);
    size_t before = 0;
    for (int i = 0; i < k; ++i) {
        if (const void *z = memchr(v[i].iov_base, 0, v[i].iov_len))
            return before + (size_t)((const char *)z - (const char *)v[i].iov_base) + 1;
        before += v[i].iov_len;
    }
    return avail;
}

// n bytes from from went out: the messages they end are through, and the
// notes among them are handed to the file.
void sent(log_net_tx *tx, u64 from, size_t n)
{
    struct iovec v[2];
    int k = pieces(tx, from, n, v);
    u64 ended = 0;
    for (int i = 0; i < k; ++i) {
        const char *p = (const char *)v[i].iov_base, *e = p + v[i].iov_len;
        while ((p = (const char *)memchr(p, 0, (size_t)(e - p)))) {
            ++ended;
            ++p;
        }
    }
    pthread_guard g(&tx->lock);
    tx->out.store(from + n, std::memory_order_release);
    tx->msgs_out += ended;
    while (tx->note_n && tx->notes[tx->note_head].end <= from + n) {
        to_file(tx->st, tx->notes[tx->note_head].count, tx->notes[tx->note_head].why);
        tx->note_head = (tx->note_head + 1) % kNotes;
        --tx->note_n;
    }
}

// The connection failed (eno): what waits is dropped. After an attempt
// that failed the link is down until the next one is due; after a
// connection that broke, records wait for the next.
void lose(log_net_tx *tx, int eno, bool attempt)
{
    if (tx->sock >= 0) close(tx->sock);
    tx->sock = -1;
    pthread_guard g(&tx->lock);
    discard(tx, eno);
    tx->down_why = eno;
    tx->link.store(attempt ? kDown : kConnecting, std::memory_order_release);
}

// The next attempt after a connection up since up_since broke: at once
// when it stood a while, else once the pause since it was made is over.
u64 after_break(u64 up_since)
{
    u64 now = os_mono_ms();
    return now - up_since >= kBackoffMs ? now : up_since + kBackoffMs;
}

i64 sender_proc(void *arg)
{
    log_net_tx *tx = (log_net_tx *)arg;
    tx->tid.store(os_gettid());
    u64 next_try = 0, up_since = 0;
    bool napped = false;
    for (;;) {
        u8 stop = tx->stop.load(std::memory_order_acquire);
        if (stop == kStopNow || (stop == kDrain && wait_left(tx) == 0)) break;
        if (tx->sock < 0) {
            if (stop == kDrain) break;
            u64 now = os_mono_ms();
            if (now < next_try) {
                wait_on(tx, -1, 0, (int)(next_try - now));
                continue;
            }
            tx->link.store(kConnecting, std::memory_order_release);
            // A connection is made for records that wait, not before.
            bool empty;
            {
                pthread_guard g(&tx->lock);
                empty = tx->in == tx->out.load(std::memory_order_relaxed);
                tx->sleeping = empty;
            }
            if (empty) {
                wait_on(tx, -1, 0, -1);
                continue;
            }
            int why = 0;
            int fd = open_peer(tx, &why);
            if (fd < 0) {
                if (tx->stop.load() != kRun) break;
                next_try = now + kBackoffMs;
                lose(tx, why, true);
                continue;
            }
            tx->sock = fd;
            up_since = os_mono_ms();
            tx->link.store(kUp, std::memory_order_release);
        }
        u64 from;
        size_t avail;
        {
            pthread_guard g(&tx->lock);
            from = tx->out.load(std::memory_order_relaxed);
            avail = (size_t)(tx->in - from);
            tx->sleeping = avail == 0 && napped;
        }
        if (!avail) {
            if (stop == kDrain) break;
            // A short nap first, which records logged meanwhile do not
            // end: under a stream of records the threads that log then
            // seldom need to wake the sender (a system call each).
            napped = !napped;
            if (napped) {
                wait_on(tx, -1, 0, kNapMs);
                continue;
            }
            // Idle: a stream whose peer hangs up is closed now, not at the
            // next record (whose first bytes would go down with it).
            short ev = wait_on(tx, tx->stream ? tx->sock : -1, POLLIN | POLLRDHUP, -1);
            char scrap[512];
            bool gone = ev & (POLLERR | POLLHUP | POLLRDHUP);
            if (ev && !gone) gone = recv(tx->sock, scrap, sizeof scrap, MSG_DONTWAIT) == 0;
            if (gone) {
                next_try = after_break(up_since);
                lose(tx, ECONNRESET, false);
            }
            continue;
        }
        napped = false;
        // A stream takes all that waits at once; a datagram is one message.
        size_t n = tx->stream ? avail : first_message(tx, from, avail);
        struct iovec v[2];
        struct msghdr mh = {};
        mh.msg_iov = v;
        mh.msg_iovlen = (size_t)pieces(tx, from, n, v);
        ssize_t r = sendmsg(tx->sock, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && !tx->stream && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            r = sendmsg(tx->sock, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);  // the error was an earlier datagram's
        if (r > 0) {
            sent(tx, from, (size_t)r);
            continue;
        }
        int eno = errno;
        if (r == 0 || eno == EAGAIN || eno == EWOULDBLOCK || eno == EINTR) {
            wait_on(tx, tx->sock, POLLOUT, wait_left(tx));
            continue;
        }
        if (!tx->stream) {
            // A datagram that does not go is dropped alone; a note among
            // them gives its count back, to be told by the next one.
            pthread_guard g(&tx->lock);
            tell(tx, "");
            tx->out.store(from + n, std::memory_order_release);
            ++tx->msgs_out;
            if (tx->note_n && tx->notes[tx->note_head].end <= from + n) {
                const note_mark &m = tx->notes[tx->note_head];
                u32 later = tx->dropped;
                int later_why = tx->why;
                tx->dropped = 0;
                count(tx, m.why, m.count);
                if (later) count(tx, later_why, later);
                tx->note_head = (tx->note_head + 1) % kNotes;
                --tx->note_n;
            } else {
                count(tx, eno);
            }
            continue;
        }
        // A broken stream: the next connection starts with a whole message.
        {
            pthread_guard g(&tx->lock);
            tell(tx, "");
        }
        next_try = after_break(up_since);
        lose(tx, eno, false);
    }
    if (tx->sock >= 0) close(tx->sock);
    tx->sock = -1;
    pthread_guard g(&tx->lock);
    tx->down_why = LOG_NET_WHY_CLOSED;
    tx->link.store(kDown, std::memory_order_release);
    return 0;
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

int log_net_connect_addrs(const addrinfo *res, int timeout_ms, int wake_fd, const std::atomic<u8> *stop, int *eno)
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
        u64 deadline = os_mono_ms() + (u64)timeout_ms;
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
                drain_wake(wake_fd);
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
    if (eno) *eno = err;
    return -1;
}

log_net_tx *log_net_tx_new(log_net_state *st)
{
    log_net_tx *tx = (log_net_tx *)os_zalloc(sizeof(log_net_tx));
    if (!tx) return nullptr;
    new (tx) log_net_tx{};
    tx->st = st;
    pthread_mutex_init(&tx->lock, nullptr);
    tx->ring = (char *)os_malloc(kCap);
    tx->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!tx->ring || tx->wake < 0) {
        log_net_tx_free(tx);
        return nullptr;
    }
    str_safecopy_trunc(tx->url, sizeof tx->url, st->url);
    tx->host_too_long = strnlen(st->host, sizeof tx->host) >= sizeof tx->host;
    str_safecopy_trunc(tx->host, sizeof tx->host, st->host);
    tx->stream = st->transport == LOG_NET_STREAM;
    if (st->port) snprintf(tx->service, sizeof tx->service, "%d", st->port);
    else str_safecopy_trunc(tx->service, sizeof tx->service, tx->stream ? "syslog-conn" : "syslog");
    return tx;
}

int log_net_tx_start(log_net_tx *tx)
{
    if (!tx || tx->thread) return 0;
    tx->thread = os_thread_init("syslog", sender_proc, tx, 0);
    return tx->thread ? 0 : -1;
}

void log_net_tx_stop(log_net_tx *tx, int drain_ms)
{
    if (!tx || !tx->thread) return;
    tx->drain_until.store(os_mono_ms() + (u64)(drain_ms > 0 ? drain_ms : 0));
    tx->stop.store(drain_ms > 0 ? kDrain : kStopNow, std::memory_order_release);
    wake(tx);
    os_thread_join(tx->thread, -1, nullptr);
    os_thread_free(tx->thread);
    tx->thread = nullptr;
}

void log_net_tx_free(log_net_tx *tx)
{
    if (!tx) return;
    log_net_tx_stop(tx, 0);
    if (tx->ring) {
        pthread_guard g(&tx->lock);
        discard(tx, LOG_NET_WHY_CLOSED);
        if (tx->dropped) to_file(tx->st, tx->dropped, tx->why);
        tx->dropped = 0;
    }
    if (tx->sock >= 0) close(tx->sock);
    if (tx->wake >= 0) close(tx->wake);
    if (tx->lk) log_net_lookup_unref(tx->lk);
    os_free(tx->ring);
    pthread_mutex_destroy(&tx->lock);
    tx->~log_net_tx();
    os_free(tx);
}

int log_net_tx_put(log_net_tx *tx, int level, const char *module, const char *line, u32 flags)
{
    char msg[LOG_NET_MSG_MAX];
    size_t n = 0;
    // While the link is down a record costs no more than its count.
    if (tx->link.load(std::memory_order_acquire) != kDown)
        n = syslog_message(msg, sizeof msg, level, module, line, flags) + 1;
    bool ok, woke = false;
    {
        pthread_guard g(&tx->lock);
        ok = n && queue(tx, msg, n);
        if (!n) count(tx, tx->down_why);
        if (ok && tx->sleeping) {
            tx->sleeping = false;
            woke = true;
        }
    }
    if (woke) wake(tx);
    return ok ? (int)n : -1;
}

int log_net_tx_put_safe(log_net_tx *tx, const char *msg, size_t n)
{
    if (!tx || !msg || n == 0 || n > kCap / 2) return 0;
    if (tx->link.load(std::memory_order_acquire) == kDown || tx->tid.load() == os_gettid()) return 0;
    if (!os_panic_trylock(&tx->lock)) return 0;
    u64 out = tx->out.load(std::memory_order_relaxed);
    // Only a connection that stands, or one made now for what waits: the
    // report makes none of its own.
    if (tx->link.load() != kUp && tx->in == out) {
        pthread_mutex_unlock(&tx->lock);
        return 0;
    }
    if (kCap - (size_t)(tx->in - out) < n) {
        count(tx, LOG_NET_WHY_SLOW);
        pthread_mutex_unlock(&tx->lock);
        return -1;
    }
    ring_put(tx, msg, n);
    u64 end = tx->in;
    bool woke = tx->sleeping;
    tx->sleeping = false;
    pthread_mutex_unlock(&tx->lock);
    if (woke) wake(tx);
    // The report's records wait for the sender together at most kCrashWaitMs.
    static std::atomic<u64> deadline{0};
    u64 none = 0;
    deadline.compare_exchange_strong(none, os_mono_ms() + kCrashWaitMs);
    while (tx->out.load(std::memory_order_acquire) < end) {
        if (os_mono_ms() >= deadline.load()) return -1;
        struct timespec d = {0, 2 * 1000 * 1000};
        nanosleep(&d, nullptr);
    }
    return (int)n;
}
