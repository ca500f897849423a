#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/log"
#include "liblog/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "liblog/log_fmt.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_rbuf.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/code_str.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/string/str_safe.h"

const os_code_str log_level_name_tab[7] = {
    {8, "verb"}, {7, "dbg"}, {6, "info"}, {5, "noti"}, {4, "warn"}, {3, "err"}, {2, "crit"},
};
const os_code_str log_level_label_tab[7] = {
    {8, "VERB"}, {7, "DEBUG"}, {6, "INFO"}, {5, "NOTI"}, {4, "WARN"}, {3, "ERROR"}, {2, "CRIT"},
};
const os_code_str log_level_severity_tab[7] = {
    {8, "debug"}, {7, "debug"}, {6, "info"}, {5, "warning"},
    {4, "warning"}, {3, "error"}, {2, "error"},
};

// The default context lives until the process ends; closing it only marks
// it closed, since other threads may still be logging.
std::atomic<struct log2 *> g_log_default{nullptr};

namespace {

std::atomic<u8> g_default_state{0};  // 0 none, 1 made, 2 configured
std::atomic<bool> g_default_closed{false};
std::atomic<bool> g_debug{false};

void ctx_init(struct log2 *c, os_mutex *m)
{
    c->flags.store(LOG_FLAGS_DEFAULT);
    c->level.store(LOG_LEVEL_DEFAULT);
    c->con_on.store(1);
    c->mutex = m;
    str_lines_init(&c->last_lines, c->last_log, LOG_LAST_LOG_SIZE);
    log_file_init(&c->file);
    log_net_init(&c->net);
    log_bsv_init(&c->bsv);
    c->self = c;
}

// The context whose output mutex this thread holds through log_output_lock.
thread_local const struct log2 *t_output_held = nullptr;

struct log2 *default_ctx()
{
    struct log2 *c = g_log_default.load(std::memory_order_acquire);
    if (c) return c;
    c = (struct log2 *)os_zalloc_raw(sizeof(struct log2));
    if (!c) return nullptr;
    os_mutex *m = os_mutex_new_raw();
    ctx_init(c, m);
    struct log2 *expected = nullptr;
    if (!g_log_default.compare_exchange_strong(expected, c)) {
        // Another thread made it first.
        os_mutex_free_raw(m);
        os_free_raw(c);
        return expected;
    }
    u8 zero = 0;
    g_default_state.compare_exchange_strong(zero, 1);
    return c;
}

inline bool passes(const struct log2 *c, int level)
{
    return (level & 0xff) <= c->level.load(std::memory_order_relaxed);
}

// Short copies go through the C library: inlined "rep movs" costs more on
// these few bytes than the call does.
void *(*volatile g_copy)(void *, const void *, size_t) = memcpy;

// Bounded appenders for the lines (no formatter on the hot path): n bytes
// of src, or all of a text, behind len bytes of dst; returns the new length.
inline size_t cat_n(char *dst, size_t len, size_t cap, const char *src, size_t n)
{
    if (n > cap - 1 - len) n = cap - 1 - len;
    g_copy(dst + len, src, n);
    dst[len + n] = 0;
    return len + n;
}

// A short literal: a copy of known size, which the compiler makes inline.
template <size_t K>
inline size_t cat_lit(char *dst, size_t len, size_t cap, const char (&lit)[K])
{
    if (len + K > cap) return cat_n(dst, len, cap, lit, K - 1);
    memcpy(dst + len, lit, K);
    return len + K - 1;
}

inline size_t cat(char *dst, size_t len, size_t cap, const char *src)
{
    return cat_n(dst, len, cap, src, strnlen(src, cap - 1 - len));
}

inline size_t cat_2d(char *p, unsigned v)
{
    p[0] = (char)('0' + v / 10 % 10);
    p[1] = (char)('0' + v % 10);
    return 2;
}

// Appends the decimal form of v (with a minus sign for negatives).
inline size_t cat_int(char *dst, size_t len, size_t cap, long long v)
{
    char tmp[24];
    char *e = tmp + sizeof tmp, *p = e;
    unsigned long long u = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
    do {
        *--p = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--p = '-';
    return cat_n(dst, len, cap, p, (size_t)(e - p));
}

// Ends a line with a newline; a full line gives up its last character for
// it, so that the next record never joins it. Returns the new length.
inline size_t end_line(char *line, size_t len)
{
    if (len && line[len - 1] == '\n') return len;
    if (len >= LOG_LINE_MAX - 1) len = LOG_LINE_MAX - 2;
    line[len] = '\n';
    line[len + 1] = 0;
    return len + 1;
}

const char *base_name(const char *path)
{
    const char *b = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\') b = p + 1;
    return b;
}

// A crit record ends the process once it is written, unless it says not to.
void exit_on_crit(int level)
{
    if ((level & 0xff) == LOG_LVL_CRIT && !(level & LOG_OPT_NOEXIT)) exit(1);
}

// Adds a line of n bytes to the last-log text as str_lines_add does, but
// drops the oldest lines by moving the text's start, not its bytes.
void last_log_add(struct log2 *c, const char *text, size_t n)
{
    str_lines *l = &c->last_lines;
    if (l->length + 1 + n > l->size) {
        size_t k = 0;
        while (k < n) {
            const char *lf = (const char *)memchr(l->buffer + k, '\n', l->length - k);
            if (!lf) return;  // cannot be made to fit: dropped
            k = (size_t)(lf - l->buffer) + 1;
        }
        l->buffer += k;
        l->length -= k;
        if (l->length + 1 + n > l->size) return;
        // The text stays within the room, so that str_lines_add may work
        // on it too.
        if ((size_t)(l->buffer - c->last_log) > sizeof c->last_log - l->size) {
            memmove(c->last_log, l->buffer, l->length + 1);
            l->buffer = c->last_log;
        }
    }
    memcpy(l->buffer + l->length, text, n + 1);
    l->length += n;
}

// The outputs of one record under the output mutex, but for the file.
[[gnu::always_inline]] inline void fan_out(struct log2 *c, const log_rec *r)
{
    int lvl = r->level & 0xff;
    log_hook_fn hi = c->hook_hi.load(), lo = c->hook_lo.load();
    if (hi && lo) (lvl <= 4 ? lo : hi)(lvl, r->module, r->line, r->len);
    if (c->con_on.load(std::memory_order_relaxed)) log_con_write(c, lvl, r->module, r->line, r->len);
    if (c->syslog_on.load(std::memory_order_relaxed)) log_net_write(c, lvl, r->module, r->line, r->len);
    last_log_add(c, r->line, r->line_len);
}

// Runs records through the outputs in their order, under the output
// mutex; their file records go out together.
[[gnu::always_inline]] inline void run_locked(struct log2 *c, log_rec *first)
{
    const struct log2 *prev = t_output_held;
    t_output_held = c;
    constexpr int kFiles = 64;
    log_rec *files[kFiles];
    int nf = 0, dropped = 0;
    bool file_on = c->file_on.load(std::memory_order_relaxed);
    for (log_rec *r = first; r; r = r->next) {
        fan_out(c, r);
        if (!file_on || !r->file) {
            dropped += file_on && r->file_dropped;
            continue;
        }
        files[nf++] = r;
        if (nf == kFiles) {
            log_file_write_recs(c, files, nf);
            nf = 0;
        }
    }
    if (nf) log_file_write_recs(c, files, nf);
    if (dropped) log_file_drop(&c->file, dropped);
    t_output_held = prev;
}

// Values of log_rec::done.
enum : u32 { kQueued = 0, kDone = 1, kSleeping = 2 };

long futex(std::atomic<u32> *word, int op, u32 val)
{
    static_assert(sizeof(std::atomic<u32>) == sizeof(u32) && std::atomic<u32>::is_always_lock_free);
    return syscall(SYS_futex, (u32 *)word, op, val, nullptr, nullptr, 0);
}

// One step of a busy wait.
inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__powerpc__) || defined(__powerpc64__)
    __asm__ __volatile__("or 27,27,27" ::: "memory");
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

// A group is written within a few microseconds: a thread that waits for
// one first asks again for a while (some tens of microseconds at most),
// which costs less than sleeping and being woken.
template <class Ready>
bool spin_until(Ready ready)
{
    constexpr int kSpins = 1000;
    for (int i = 0; i < kSpins; ++i) {
        if (ready()) return true;
        cpu_relax();
    }
    return ready();
}

// Takes the output mutex as the first of a queue.
void lock_output(struct log2 *c)
{
    if (!spin_until([c] { return os_mutex_trylock(c->mutex) == 1; })) os_mutex_lock(c->mutex);
}

// Waits until the thread that leads its group has written a queued record.
void wait_done(log_rec *r)
{
    if (spin_until([r] { return r->done.load(std::memory_order_acquire) == kDone; })) return;
    u32 v = kQueued;
    if (!r->done.compare_exchange_strong(v, kSleeping, std::memory_order_acquire)) return;
    while (r->done.load(std::memory_order_acquire) == kSleeping) futex(&r->done, FUTEX_WAIT_PRIVATE, kSleeping);
}

// Marks a queued record written and wakes its thread. The record may be
// gone as soon as it is marked: only the address of its word is used
// after that, and a wake that finds no sleeper there does nothing.
void mark_done(log_rec *r)
{
    if (r->done.exchange(kDone, std::memory_order_release) == kSleeping)
        futex(&r->done, FUTEX_WAKE_PRIVATE, 1);
}

// Hands a record to the outputs that run under the output mutex and
// returns once it is through them. A thread that finds the mutex held
// queues its record: the first of the queue takes the mutex and writes
// the records queued by then together (one system call for the file),
// in their order, and the others wait for it. (Made inline: every call
// level between the log call and the write costs a return after it.)
[[gnu::always_inline]] inline void log_submit(struct log2 *c, log_rec *r)
{
    if (t_output_held == c) {
        // Logged while this thread holds the mutex (changing an output, or
        // inside an output): the file and syslog outputs may be half open,
        // so only the console and the last-log text take it.
        if (c->con_on.load(std::memory_order_relaxed)) log_con_write(c, r->level & 0xff, r->module, r->line, r->len);
        last_log_add(c, r->line, r->line_len);
        return;
    }
    r->next = nullptr;
    // A context made without its mutex (no memory) has nothing to wait for.
    bool alone = !c->mutex || (!c->queue.load(std::memory_order_relaxed) && os_mutex_trylock(c->mutex));
    log_rec *first = r;
    if (!alone) {
        log_rec *head = c->queue.load(std::memory_order_relaxed);
        do {
            r->next = head;
        } while (!c->queue.compare_exchange_weak(head, r, std::memory_order_release, std::memory_order_relaxed));
        if (head) {
            wait_done(r);
            return;
        }
        lock_output(c);
        // The queue holds the newest record first.
        log_rec *list = c->queue.exchange(nullptr, std::memory_order_acquire);
        first = nullptr;
        while (list) {
            log_rec *next = list->next;
            list->next = first;
            first = list;
            list = next;
        }
    }
    run_locked(c, first);
    if (c->mutex) os_mutex_unlock(c->mutex);
    // This thread's record is the first (it found the queue empty); the
    // others wait.
    for (log_rec *q = r->next; q;) {
        log_rec *next = q->next;
        mark_done(q);
        q = next;
    }
}

// The road of one record after the redirect step: the message is fmt with
// its arguments or, when fmt is NULL, the ready text (never NULL).
int log_record(struct log2 *c, int level, const char *module,
               const char *file, int line, const char *func, const char *fmt, va_list ap,
               const char *text, int saved_errno)
{
    constexpr size_t N = LOG_LINE_MAX;
    // The file line is the function prefix and the message behind the file
    // writer's header. Without other prefixes it is line A itself, which
    // then goes behind the header; otherwise F holds a copy.
    char HA[LOG_FILE_HEAD_MAX + N], F[LOG_FILE_HEAD_MAX + N], Mbuf[N];
    u32 flags = c->flags.load(std::memory_order_relaxed);
    bool file_on = c->file_on.load(std::memory_order_relaxed) && !(level & LOG_OPT_BSVONLY);
    // While the file drops records, a record costs what it costs without it.
    bool file_dropped = file_on && log_file_dropping(&c->file);
    file_on = file_on && !file_dropped;
    constexpr u32 kBeforeFunc = LOG_F_TIME | LOG_F_TIME_MS | LOG_F_TID | LOG_F_TID_NAME | LOG_F_FILE;
    size_t ha = file_on && !(flags & kBeforeFunc) ? log_file_head(HA, level & 0xff, module) : 0;
    char *A = HA + ha;
    size_t la = 0;
    A[0] = Mbuf[0] = 0;

    if (flags & (LOG_F_TIME | LOG_F_TIME_MS)) {
        struct tm tm;
        u32 ms;
        os_time_stamp(&tm, &ms, nullptr);
        char t[16];
        size_t n = 0;
        n += cat_2d(t + n, (unsigned)tm.tm_hour);
        t[n++] = ':';
        n += cat_2d(t + n, (unsigned)tm.tm_min);
        t[n++] = ':';
        n += cat_2d(t + n, (unsigned)tm.tm_sec);
        if (!(flags & LOG_F_TIME)) {
            t[n++] = '.';
            t[n++] = (char)('0' + ms / 100 % 10);
            n += cat_2d(t + n, ms % 100);
        }
        t[n++] = ' ';
        la = cat_n(A, la, N, t, n);
    }
    if ((flags & LOG_F_TID) && la < N - 1) {
        la = cat_lit(A, la, N, "[");
        la = cat_int(A, la, N, os_gettid());
        la = cat_lit(A, la, N, "] ");
    }
    if ((flags & LOG_F_TID_NAME) && la < N - 1) {
        char name[256];
        os_thread_name_get(name, sizeof name);
        la = cat_lit(A, la, N, "[");
        la = cat(A, la, N, name);
        la = cat_lit(A, la, N, "] ");
    }
    if ((flags & LOG_F_FILE) && la < N - 1) {
        const char *f = file ? file : "";
        if (flags & LOG_F_BASENAME) f = base_name(f);
        la = cat_lit(A, la, N, "[");
        la = cat(A, la, N, f);
        la = cat_lit(A, la, N, ":");
        la = cat_int(A, la, N, line);
        la = cat_lit(A, la, N, "] ");
    }
    if ((flags & LOG_F_FUNC) && func && la < N - 1) {
        la = cat(A, la, N, func);
        la = cat_lit(A, la, N, "(): ");
    }

    // The message is formatted straight behind the prefix; it gets its own
    // buffer only when the line cuts it or when the errno text follows.
    size_t pre = la;
    const char *M = A + pre;
    size_t lm = 0;
    bool whole;
    if (fmt) {
        va_list ap2;
        va_copy(ap2, ap);
        int n = log_vformat(A + la, N - la, fmt, ap2);
        va_end(ap2);
        if (n < 0) {
            A[la] = 0;
            n = 0;
        }
        whole = (size_t)n < N - la;
        la = whole ? la + (size_t)n : N - 1;
        if (!whole) {
            n = log_vformat(Mbuf, N, fmt, ap);
            lm = n < 0 ? 0 : (size_t)n >= N ? N - 1 : (size_t)n;
            if (n < 0) Mbuf[0] = 0;
            M = Mbuf;
        }
    } else {
        size_t n = strlen(text);
        la = cat_n(A, la, N, text, n);
        whole = la - pre == n;
        if (!whole) {
            lm = cat_n(Mbuf, 0, N, text, n);
            M = Mbuf;
        }
    }
    if (M != Mbuf && (level & LOG_OPT_ERRNO)) {
        // The errno text is appended to the line and the message apart.
        lm = cat_n(Mbuf, 0, N, M, la - pre);
        M = Mbuf;
    }

    if ((level & LOG_OPT_ERRNO) && la < N - 1) {
        char et[4096];
        os_errno_str(saved_errno, et, sizeof et);
        la = cat(A, la, N, et);
        la = cat_lit(A, la, N, "\n");
        lm = cat(Mbuf, lm, N, et);
        lm = cat_lit(Mbuf, lm, N, "\n");
    }

    if (M != Mbuf) lm = la - pre;

    bsv_log_hook(level, module, file, line, func, M);

    int len = (int)la;
    if (!(level & LOG_OPT_BSVONLY)) {
        log_rec r{};
        r.level = level;
        r.module = module;
        r.line = A;
        r.len = len;
        r.file_dropped = file_dropped;
        // The text ends at a NUL, wherever a formatted message put one.
        size_t full = end_line(A, la);
        r.line_len = fmt ? strnlen(A, full) : full;
        if (ha && r.line_len == full) {
            r.file = HA;
            r.file_len = ha + full;
        } else if (file_on) {
            size_t hl = log_file_head(F, level & 0xff, module);
            char *B = F + hl;
            size_t lb = 0;
            if ((flags & LOG_F_FUNC) && func) {
                lb = cat(B, lb, N, func);
                lb = cat_lit(B, lb, N, "(): ");
            }
            lb = cat_n(B, lb, N, M, strnlen(M, lm));  // up to a NUL, as the console
            r.file = F;
            r.file_len = hl + end_line(B, lb);
        }
        log_submit(c, &r);
        exit_on_crit(level);
    }
    return len;
}

}  // namespace

struct log2 *log_ctx_new(void)
{
    struct log2 *c = (struct log2 *)os_zalloc(sizeof(struct log2));
    if (!c) return nullptr;
    os_mutex *m = os_mutex_new();
    if (!m) {
        os_free(c);
        return nullptr;
    }
    ctx_init(c, m);
    g_default_state.store(1);
    return c;
}

struct log2 *log_ctx_get(struct log2 *ctx)
{
    return ctx ? ctx : default_ctx();
}

u8 log_default_state(void)
{
    return g_default_state.load();
}

void log_default_state_set(u8 state)
{
    g_default_state.store(state);
}

bool log_default_exists(void)
{
    return g_log_default.load() != nullptr;
}

int log2_vprintf(struct log2 *ctx, int level, const char *module, const char *file, int line,
                 const char *func, const char *fmt, va_list ap)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return 0;
    int saved = errno;
    if (log_redirect_fn hook = c->redirect.load(std::memory_order_relaxed)) {
        hook(level, module, file, line, func, saved, fmt, ap);
        return 0;
    }
    if (!passes(c, level)) return 0;
    if (!ctx && g_default_closed.load(std::memory_order_relaxed)) return 0;
    // A record without a format logs an empty message.
    int len = log_record(c, level, module, file, line, func, fmt, ap, fmt ? nullptr : "", saved);
    errno = saved;
    return len;
}

int log2_printf(struct log2 *ctx, int level, const char *module, const char *file, int line,
                const char *func, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = log2_vprintf(ctx, level, module, file, line, func, fmt, ap);
    va_end(ap);
    return n;
}

int log2_puts(struct log2 *ctx, int level, const char *module, const char *file, int line,
              const char *func, const char *text)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c || !passes(c, level)) return 0;
    if (!ctx && g_default_closed.load(std::memory_order_relaxed)) return 0;
    int saved = errno;
    va_list none{};
    int len = log_record(c, level, module, file, line, func, nullptr, none, text ? text : "", saved);
    errno = saved;
    return len;
}

int log_default_printf(int level, const char *module, const char *file, int line,
                       const char *func, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = log2_vprintf(nullptr, level, module, file, line, func, fmt, ap);
    va_end(ap);
    return n;
}

void log_redirect_default(int level, const char *module, const char *file, int line,
                          const char *func, int eno, const char *fmt, va_list ap)
{
    if (level & LOG_OPT_ERRNO) errno = eno;
    log2_vprintf(nullptr, level, module, file, line, func, fmt, ap);
}

int log_redirect_set(struct log2 *ctx, log_redirect_fn hook)
{
    struct log2 *c = log_ctx_get(ctx);
    if (c) c->redirect.store(hook);
    return 0;
}

int log_output(struct log2 *ctx, int level, const char *module, const char *line, int len,
               const char *file_line)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c || !passes(c, level)) return 0;
    if (!line) line = "";
    size_t n = strlen(line);
    if (len == -1) len = (int)n;
    log_rec r{};
    r.line_len = n;
    r.level = level;
    r.module = module ? module : "";
    r.line = line;
    r.len = len;
    char f[LOG_FILE_HEAD_MAX + LOG_LINE_MAX];
    if (c->file_on.load(std::memory_order_relaxed)) {
        size_t hl = log_file_head(f, level & 0xff, r.module);
        r.file = f;
        r.file_len = hl + cat(f + hl, 0, LOG_LINE_MAX, file_line ? file_line : line);
    }
    log_submit(c, &r);
    exit_on_crit(level);
    return 0;
}

log_output_lock::log_output_lock(struct log2 *c) : c_(c), prev_(t_output_held)
{
    if (c_ && t_output_held != c_) os_mutex_lock(c_->mutex);
    t_output_held = c_;
}

log_output_lock::~log_output_lock()
{
    t_output_held = prev_;
    if (c_ && prev_ != c_) os_mutex_unlock(c_->mutex);
}

int log_output_line(struct log2 *ctx, int level, const char *module, const char *line, int len)
{
    return log_output(ctx, level, module, line, len, nullptr);
}

int log2_exit(struct log2 *ctx)
{
    if (!ctx) {
        struct log2 *c = g_log_default.load();
        if (!c || g_default_closed.exchange(true)) return 0;
        // The bsv sender and the pcap hook stop first, outside the output
        // mutex: their threads may log while they end.
        log_bsv_udp_close(&c->bsv);
        log_file_pcap_detach(&c->file);
        {
            log_output_lock g(c);
            log_net_close(&c->net);
            log_file_close(&c->file);
            c->con_on.store(1);
            c->file_on.store(0);
            c->syslog_on.store(0);
        }
        bsv_rbuf_exit();
        os_thread_name_exit();
        return 0;
    }
    if (ctx == g_log_default.load()) return log2_exit(nullptr);
    log_bsv_udp_close(&ctx->bsv);
    log_file_pcap_detach(&ctx->file);
    log_net_close(&ctx->net);
    log_file_close(&ctx->file);
    os_mutex_free(ctx->mutex);
    os_free(ctx);
    return 0;
}

int log_debug_printf(const char *fmt, ...)
{
    if (!g_debug.load(std::memory_order_relaxed)) return 0;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fputs(buf, stderr);
    fflush(stderr);
    return 0;
}

void log_debug_set(int on)
{
    if (on) g_debug.store(true);
}

int log_debug_get(void)
{
    return g_debug.load() ? 1 : 0;
}

void log_thread_name_set(const char *name)
{
    if (name)
        os_thread_name_set(name);
    else
        os_thread_name_del();
}

int log_level_2_int(const char *name)
{
    int v = os_str_to_code(name, log_level_name_tab, 7);
    if (v < 0) fprintf(stderr, "error: invalid level [%s]\n", name ? name : "(null)");
    return v;
}

int log_prefix_2_int(const char *label)
{
    int v = os_str_to_code(label, log_level_label_tab, 7);
    if (v < 0) fprintf(stderr, "error: invalid prefix [%s]\n", label ? label : "(null)");
    return v;
}

const char *log_level_2_str(int level) { return os_code_to_str(level, 0, log_level_name_tab, 7); }
const char *log_level_2_prefix(int level) { return os_code_to_str(level, 0, log_level_label_tab, 7); }
const char *log_level_2_severity(int level)
{
    return os_code_to_str(level, 0, log_level_severity_tab, 7);
}

const char *log_level_names(void)
{
    return "verb|dbg|info|noti|warn|err|crit";
}

const char *log_level_conf_str(void)
{
    static const char *text = [] {
        static char buf[128];
        snprintf(buf, sizeof buf,
                 "log.verb=%d\nlog.dbg=%d\nlog.info=%d\nlog.noti=%d\nlog.warn=%d\nlog.err=%d\n"
                 "log.crit=%d",
                 8, 7, 6, 5, 4, 3, 2);
        return buf;
    }();
    return text;
}

u32 log_flags_2_int(const char *tags)
{
    u32 f = LOG_F_COLOUR;
    if (!tags) return f;
    char buf[1024];
    str_safecopy_trunc(buf, sizeof buf, tags);
    char *save = nullptr;
    for (char *t = strtok_r(buf, "|", &save); t; t = strtok_r(nullptr, "|", &save)) {
        if (!strcmp(t, "no_colour")) f &= ~LOG_F_COLOUR;
        else if (!strcmp(t, "time")) f |= LOG_F_TIME;
        else if (!strcmp(t, "time_ms")) { f &= ~LOG_F_TIME; f |= LOG_F_TIME_MS; }
        else if (!strcmp(t, "func")) f |= LOG_F_FUNC;
        else if (!strcmp(t, "tid")) f |= LOG_F_TID;
        else if (!strcmp(t, "tid_name")) f |= LOG_F_TID_NAME;
        else if (!strcmp(t, "file")) f |= LOG_F_FILE | LOG_F_BASENAME;
        else fprintf(stderr, "Invalid tags: [%s]\n", t);
    }
    log_debug_printf("log_flags_2_int=%s 0x%x\n", tags, f);
    return f;
}
