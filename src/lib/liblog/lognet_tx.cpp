#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet_tx"
#include "liblog/lognet_tx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

#include "liblog/log.h"
#include "liblog/lognet_tx_impl.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr u64 kTellMs = 10000;      // a faltering peer is told at most this often
constexpr u64 kCrashWaitMs = 1000;  // what a crash report waits for the sender
constexpr size_t kChunk = LOG_NET_TX_CHUNK;
constexpr size_t kSendMax = 1024 * 1024;  // bytes one send of a stream takes at most

// A piece for the tail: the spare, or a new one while the buffer may grow
// (may_alloc false: the spare only). NULL when none can be had.
tx_chunk *take_chunk(log_net_tx *tx, bool may_alloc)
{
    tx_chunk *c = tx->spare;
    if (c) {
        tx->spare = nullptr;
    } else {
        if (!may_alloc || tx->chunks >= kTxMaxChunks) return nullptr;
        c = (tx_chunk *)os_malloc(sizeof(tx_chunk));
        if (!c) return nullptr;
        ++tx->chunks;
        tx->grew = true;
    }
    c->next = nullptr;
    c->base = tx->in;
    c->used = 0;
    return c;
}

// Whether messages of n1 and n2 bytes (0: none) fit behind what waits,
// with the pieces the buffer has or may add.
bool room_for(const log_net_tx *tx, size_t n1, size_t n2, bool may_alloc)
{
    int more = (tx->spare ? 1 : 0) + (may_alloc ? kTxMaxChunks - tx->chunks : 0);
    size_t left = kChunk - tx->tail->used;
    for (size_t n : {n1, n2}) {
        if (!n || n <= left) {
            left -= n;
            continue;
        }
        if (n > kChunk || more-- <= 0) return false;
        left = kChunk - n;
    }
    return true;
}

// Appends a message that room_for let in (under lock); false when the
// memory for it could not be had.
bool ring_put(log_net_tx *tx, const char *p, size_t n, bool may_alloc)
{
    if (kChunk - tx->tail->used < n) {
        tx_chunk *c = take_chunk(tx, may_alloc);
        if (!c) return false;
        tx->tail->next = c;
        tx->tail = c;
    }
    memcpy(tx->tail->data + tx->tail->used, p, n);
    tx->tail->used += n;
    tx->in += n;
    ++tx->msgs_in;
    return true;
}

// Takes the pieces that are through off the head (under lock): all but
// the tail once out has passed them, and the tail starts afresh once all
// went out, so that a sender that keeps up uses the first bytes only.
void trim_head(log_net_tx *tx, tx_chunk **unused)
{
    u64 out = tx->out.load(std::memory_order_relaxed);
    while (tx->head != tx->tail && out >= tx->head->base + tx->head->used) {
        tx_chunk *c = tx->head;
        tx->head = c->next;
        if (!tx->spare) {
            c->next = nullptr;
            tx->spare = c;
        } else {
            c->next = *unused;
            *unused = c;
            --tx->chunks;
        }
    }
    if (out == tx->in) {
        tx->tail->base = tx->in;
        tx->tail->used = 0;
    }
}

// Under lock: the notes that end at or before byte to leave the ring; the
// drops they tell, with the first one's reason.
note_mark take_notes(log_net_tx *tx, u64 to)
{
    u64 n = 0;
    int why = 0;
    for (; tx->note_n && tx->notes[tx->note_head].end <= to; --tx->note_n) {
        const note_mark &m = tx->notes[tx->note_head];
        if (!n) why = m.why;
        n += m.count;
        tx->note_head = (tx->note_head + 1) % kTxNotes;
    }
    return {to, n > UINT32_MAX ? UINT32_MAX : (u32)n, why};
}

// Under lock: the records the buffer holds besides its notes.
u64 held_records(const log_net_tx *tx)
{
    u64 msgs = tx->msgs_in - tx->msgs_out;
    return msgs > (u64)tx->note_n ? msgs - (u64)tx->note_n : 0;
}

// Queues a message of n bytes (its NUL included) under lock; false when it
// was dropped. A note of the drops before it goes first.
bool queue(log_net_tx *tx, const char *msg, size_t n)
{
    u8 link = tx->link.load(std::memory_order_relaxed);
    if (link == kDown || !msg) {
        tx_count(tx, tx->down_why);
        return false;
    }
    char note[LOG_NET_MSG_MAX];
    size_t nn = 0;
    bool fits = room_for(tx, n, 0, true);
    if (fits && tx->dropped && tx->note_n < kTxNotes) {
        nn = log_net_note_message(note, sizeof note, tx->url, tx->dropped, tx->why);
        fits = room_for(tx, nn, n, true);
    }
    if (!fits) {
        // Before a connection stood, the reason is why the last one ended.
        int why = link == kUp ? LOG_NET_WHY_SLOW : tx->down_why ? tx->down_why : LOG_NET_WHY_NOT_YET;
        if (link == kUp) tx_tell(tx, ": the peer takes records too slowly, they are dropped and counted");
        tx_count(tx, why);
        return false;
    }
    if (nn && ring_put(tx, note, nn, true)) {
        tx->notes[(tx->note_head + tx->note_n++) % kTxNotes] = {tx->in, tx->dropped, tx->why};
        tx->dropped = 0;
    }
    if (ring_put(tx, msg, n, true)) return true;
    tx_count(tx, ENOMEM);
    return false;
}

// The last reference is gone: the sender stops at once, what it did not
// send is counted, and tx is freed.
void destroy(log_net_tx *tx)
{
    log_net_tx_stop(tx, 0);
    tx_chunk *unused = nullptr;
    if (tx->head) {
        pthread_guard g(&tx->lock);
        tx_discard(tx, LOG_NET_WHY_CLOSED, &unused);
        tx_to_file(tx->st, tx->dropped, tx->why);
        tx->dropped = 0;
    }
    tx_free_chunks(unused);
    tx_free_chunks(tx->head);
    tx_free_chunks(tx->spare);
    if (tx->sock >= 0) close(tx->sock);
    if (tx->wake >= 0) close(tx->wake);
    if (tx->lk) log_net_lookup_unref(tx->lk);
    pthread_mutex_destroy(&tx->lock);
    pthread_mutex_destroy(&tx->life);
    tx->~log_net_tx();
    os_free(tx);
}

}  // namespace

void tx_wake(log_net_tx *tx)
{
    u64 one = 1;
    ssize_t r = write(tx->wake, &one, sizeof one);
    (void)r;
}

void tx_drain_wake(int fd)
{
    u64 v;
    ssize_t r = read(fd, &v, sizeof v);
    (void)r;
}

void tx_tell(log_net_tx *tx, const char *what)
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

void tx_count(log_net_tx *tx, int why, u64 n)
{
    if (!n) return;
    if (!tx->dropped) tx->why = why;
    u64 d = tx->dropped + n;
    tx->dropped = d > UINT32_MAX ? UINT32_MAX : (u32)d;
}

void tx_count_first(log_net_tx *tx, int why, u64 n)
{
    u32 later = tx->dropped;
    int later_why = tx->why;
    tx->dropped = 0;
    tx_count(tx, why, n);
    tx_count(tx, later_why, later);
}

void tx_to_file(log_net_state *st, u64 n, int why)
{
    if (!n) return;
    u64 old = __atomic_load_n(&st->file_note, __ATOMIC_RELAXED), nv;
    do {
        u64 c = (u32)old;
        u64 w = c ? old >> 32 : (u32)why;
        u64 sum = c + n > UINT32_MAX ? UINT32_MAX : c + n;
        nv = w << 32 | sum;
    } while (!__atomic_compare_exchange_n(&st->file_note, &old, nv, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
}

void tx_discard(log_net_tx *tx, int why, tx_chunk **unused)
{
    // The notes' drops came first, then the records behind them, then
    // those not noted yet.
    tx_count_first(tx, why, held_records(tx));
    note_mark told = take_notes(tx, tx->in);
    tx_count_first(tx, told.why, told.count);
    tx->out.store(tx->in, std::memory_order_release);
    tx->msgs_out = tx->msgs_in;
    trim_head(tx, unused);
}

int tx_pending(log_net_tx *tx, iovec *v, int max, u64 *from, size_t *n)
{
    u64 out = tx->out.load(std::memory_order_relaxed);
    *from = out;
    *n = 0;
    int k = 0;
    for (tx_chunk *c = tx->head; c && k < max && *n < kSendMax; c = c->next) {
        size_t at = out > c->base ? (size_t)(out - c->base) : 0;
        if (at >= c->used) continue;
        size_t len = c->used - at;
        if (!tx->stream) {
            // One datagram: the message that starts at out.
            const char *z = (const char *)memchr(c->data + at, 0, len);
            len = z ? (size_t)(z - (c->data + at)) + 1 : len;
        }
        v[k++] = {c->data + at, len};
        *n += len;
        if (!tx->stream) break;
    }
    return k;
}

void tx_sent(log_net_tx *tx, u64 from, size_t n, note_mark *note, tx_chunk **unused)
{
    u64 ended = 0, to = from + n;
    for (tx_chunk *c = tx->head; c && c->base < to; c = c->next) {
        size_t a = from > c->base ? (size_t)(from - c->base) : 0;
        size_t b = to - c->base < c->used ? (size_t)(to - c->base) : c->used;
        for (const char *p = c->data + a, *e = c->data + b; p < e && (p = (const char *)memchr(p, 0, (size_t)(e - p)));
             ++p)
            ++ended;
    }
    tx->out.store(to, std::memory_order_release);
    tx->msgs_out += ended;
    *note = take_notes(tx, to);
    if (tx->stream) tx_to_file(tx->st, note->count, note->why);
    trim_head(tx, unused);
}

void tx_free_chunks(tx_chunk *c)
{
    while (c) {
        tx_chunk *next = c->next;
        os_free(c);
        c = next;
    }
}

log_net_tx *log_net_tx_new(const log_net_peer *peer, log_net_state *st)
{
    log_net_tx *tx = (log_net_tx *)os_zalloc(sizeof(log_net_tx));
    if (!tx) return nullptr;
    new (tx) log_net_tx{};
    tx->st = st;
    pthread_mutex_init(&tx->lock, nullptr);
    pthread_mutex_init(&tx->life, nullptr);
    tx->head = tx->tail = take_chunk(tx, true);
    tx->grew = false;
    tx->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!tx->head || tx->wake < 0) {
        destroy(tx);
        return nullptr;
    }
    const char *host = peer->host ? peer->host : "";
    str_safecopy_trunc(tx->url, sizeof tx->url, peer->url ? peer->url : "");
    tx->host_too_long = strnlen(host, sizeof tx->host) >= sizeof tx->host;
    str_safecopy_trunc(tx->host, sizeof tx->host, host);
    tx->stream = peer->stream;
    if (peer->port) snprintf(tx->service, sizeof tx->service, "%d", peer->port);
    else str_safecopy_trunc(tx->service, sizeof tx->service, tx->stream ? "syslog-conn" : "syslog");
    return tx;
}

int log_net_tx_start(log_net_tx *tx)
{
    if (!tx) return 0;
    pthread_guard g(&tx->life);
    if (tx->thread) return 0;
    if (tx->ended) return -1;
    tx->thread = os_thread_init("syslog", tx_sender_proc, tx, 0);
    return tx->thread ? 0 : -1;
}

void log_net_tx_stop(log_net_tx *tx, int drain_ms)
{
    if (!tx) return;
    pthread_guard g(&tx->life);
    tx->ended = true;
    if (!tx->thread) return;
    tx->drain_until.store(os_mono_ms() + (u64)(drain_ms > 0 ? drain_ms : 0));
    tx->stop.store(drain_ms > 0 ? kDrain : kStopNow, std::memory_order_release);
    tx_wake(tx);
    os_thread_join(tx->thread, -1, nullptr);
    os_thread_free(tx->thread);
    tx->thread = nullptr;
}

void log_net_tx_ref(log_net_tx *tx)
{
    if (tx) tx->refs.fetch_add(1, std::memory_order_relaxed);
}

void log_net_tx_unref(log_net_tx *tx)
{
    if (tx && tx->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(tx);
}

bool log_net_tx_wants(const log_net_tx *tx)
{
    return tx->link.load(std::memory_order_acquire) != kDown;
}

int log_net_tx_put(log_net_tx *tx, const char *msg, size_t n)
{
    bool ok, woke = false;
    {
        pthread_guard g(&tx->lock);
        ok = queue(tx, msg, n);
        if (ok && tx->sleeping) {
            tx->sleeping = false;
            woke = true;
        }
    }
    if (woke) tx_wake(tx);
    return ok ? (int)n : -1;
}

int log_net_tx_put_safe(log_net_tx *tx, const char *msg, size_t n)
{
    if (!tx || !msg || n == 0 || n > kChunk) return 0;
    if (tx->link.load(std::memory_order_acquire) == kDown || tx->tid.load() == os_gettid()) return 0;
    if (!os_panic_trylock(&tx->lock)) return 0;
    u64 out = tx->out.load(std::memory_order_relaxed);
    // Only a connection that stands, or one made now for what waits: the
    // report makes none of its own.
    if (tx->link.load() != kUp && tx->in == out) {
        pthread_mutex_unlock(&tx->lock);
        return 0;
    }
    // No allocation here: the pieces the buffer has must do.
    if (!room_for(tx, n, 0, false)) {
        tx_count(tx, LOG_NET_WHY_SLOW);
        pthread_mutex_unlock(&tx->lock);
        return -1;
    }
    ring_put(tx, msg, n, false);
    u64 end = tx->in;
    bool woke = tx->sleeping;
    tx->sleeping = false;
    pthread_mutex_unlock(&tx->lock);
    if (woke) tx_wake(tx);
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

u32 log_net_tx_crash_count(log_net_tx *tx, int *why)
{
    if (!tx) return 0;
    // The process ends now: what the sender has not sent is lost.
    tx->stop.store(kStopNow, std::memory_order_release);
    tx->link.store(kDown, std::memory_order_release);
    if (tx->tid.load() != os_gettid() && os_panic_trylock(&tx->lock)) {
        // After the counts the file has not told yet: the drops of the
        // notes held, those counted since, then the records held.
        u64 records = held_records(tx);
        note_mark told = take_notes(tx, tx->in);
        tx_count_first(tx, told.why, told.count);
        tx_count(tx, LOG_NET_WHY_CLOSED, records);
        tx_to_file(tx->st, tx->dropped, tx->why);
        tx->dropped = 0;
        pthread_mutex_unlock(&tx->lock);
    }
    u64 v = __atomic_exchange_n(&tx->st->file_note, 0, __ATOMIC_ACQ_REL);
    if (why) *why = (u32)v ? (int)(i32)(v >> 32) : 0;
    return (u32)v;
}
