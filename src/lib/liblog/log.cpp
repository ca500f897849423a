#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/log"
#include "liblog/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "liblog/log_fmt.h"
#include "liblog/log_queue.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_rbuf.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"

// The default context lives until the process ends; closing it only marks
// it closed, since other threads may still be logging.
std::atomic<struct log2 *> g_log_default{nullptr};

namespace {

std::atomic<u8> g_default_state{0};  // 0 none, 1 made, 2 configured
constexpr int kNetDrainMs = 500;  // what the syslog sender may take to send what it holds at the close
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

// Copies of the lines' pieces go through the C library's memcpy. Called
// through a volatile pointer, since the compiler would otherwise expand
// them inline to "rep movs", which costs more on these few bytes than the
// call does: with a plain memcpy one thread logged 3.41 instead of 4.10
// million records per second to standard error.
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

// A short literal: a copy of known size, which the compiler makes inline
// (the prefixes "[", "] " and "(): " cost 82 instructions a record less
// than through cat, 1942 against 2024 with the default flags).
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
inline void fan_out(struct log2 *c, const log_rec *r)
{
    int lvl = r->level & 0xff;
    log_hook_fn hi = c->hook_hi.load(), lo = c->hook_lo.load();
    if (hi && lo) (lvl <= 4 ? lo : hi)(lvl, r->module, r->line, r->len);
    if (c->con_on.load(std::memory_order_relaxed)) log_con_write(c, lvl, r->module, r->line, r->len);
    if (c->syslog_on.load(std::memory_order_relaxed)) log_net_write(c, lvl, r->module, r->line, r->len);
    last_log_add(c, r->line, r->line_len);
}

// The records that the syslog output dropped and has told its peer of (or
// could not tell before it closed) are told in the text file too, once,
// as a warn line of their own (under the output mutex).
[[gnu::noinline, gnu::cold]] void net_note_to_file(struct log2 *c)
{
    u64 v = __atomic_exchange_n(&c->net.file_note, 0, __ATOMIC_ACQ_REL);
    if (!(u32)v) return;
    char f[LOG_FILE_HEAD_MAX + 512];
    log_rec r{};
    r.level = LOG_LVL_WARN;
    r.module = LOG_MOD;
    size_t h = log_file_head(f, LOG_LVL_WARN, LOG_MOD);
    r.file = f;
    r.file_len = h + (size_t)log_net_dropped_text(f + h, sizeof f - h, c->net.url, (u32)v, (i32)(v >> 32));
    log_rec *one = &r;
    log_file_write_recs(c, &one, 1);
}

inline bool net_note_pending(const struct log2 *c)
{
    return __atomic_load_n(&c->net.file_note, __ATOMIC_RELAXED) != 0;
}

// Marks records that met their context closed: they are not written, and
// their calls say so.
[[gnu::noinline, gnu::cold]] void mark_closed(log_rec *first)
{
    for (log_rec *r = first; r; r = r->next) r->closed = true;
}

// Runs records through the outputs in their order, under the output
// mutex; their file records go out together. Once log2_exit has marked the
// context closed (under this mutex) no record reaches an output: each one
// either went through all of them before the close began, or none.
[[gnu::always_inline]] inline void run_locked(struct log2 *c, log_rec *first)
{
    if (c->closed.load(std::memory_order_relaxed)) {
        mark_closed(first);
        return;
    }
    const struct log2 *prev = t_output_held;
    t_output_held = c;
    constexpr int kFiles = 64;
    log_rec *files[kFiles];
    int nf = 0, dropped = 0;
    bool file_on = c->file_on.load(std::memory_order_relaxed);
    if (file_on && net_note_pending(c)) net_note_to_file(c);
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

// Hands a record to the outputs that run under the output mutex and
// returns once it is through them (or marked closed); the queue
// (log_queue.h) decides which thread writes it. Forced inline, as is
// run_locked: left to itself the compiler keeps run_locked a call of its
// own, and a record to standard error takes 1960 instructions instead of
// 1942 (1028 instead of 1011 to a text file).
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
    if (!c->mutex) {
        // A context made without its mutex (no memory): nothing to wait for.
        r->next = nullptr;
        run_locked(c, r);
        return;
    }
    log_rec *batch = log_queue_enter(&c->queue, c->mutex, r);
    if (!batch) return;  // another thread wrote it
    run_locked(c, batch);
    os_mutex_unlock(c->mutex);
    log_queue_leave(batch);
}

constexpr size_t kLine = LOG_LINE_MAX;

// One record while it is built, on the calling thread's stack.
struct record {
    int level;  // the level word
    const char *module;
    u32 flags;
    // The file output takes this record; or it drops records for now, and
    // then no file record is made.
    bool file_on, file_dropped;

    // The console line: prefixes, message, errno text and newline. When the
    // file line is the same text (no prefix but the function's), the file
    // header is put in front of it and the two are one buffer.
    char head_and_line[LOG_FILE_HEAD_MAX + kLine];
    size_t head_len;  // the file header in front of the line, or 0
    char *line;
    size_t line_len;
    size_t prefix_len;

    // The bare message (with the errno text) for the record hook and the
    // file line: the line's own part behind the prefixes while the line
    // holds it whole, else a copy of its own.
    char message_copy[kLine];
    const char *message;
    size_t message_len;

    // The file record when it is not the console line behind its header:
    // the header, the function prefix and the message.
    char file_record[LOG_FILE_HEAD_MAX + kLine];
};

// The settings the record is built with, and where its file record goes.
void start_record(record &r, struct log2 *c, int level, const char *module)
{
    r.level = level;
    r.module = module;
    r.flags = c->flags.load(std::memory_order_relaxed);
    bool file_on = c->file_on.load(std::memory_order_relaxed) && !(level & LOG_OPT_BSVONLY);
    // While the file drops records, a record costs what it costs without it.
    r.file_dropped = file_on && log_file_dropping(&c->file);
    r.file_on = file_on && !r.file_dropped;
    constexpr u32 kBeforeFunc = LOG_F_TIME | LOG_F_TIME_MS | LOG_F_TID | LOG_F_TID_NAME | LOG_F_FILE;
    bool file_is_line = r.file_on && !(r.flags & kBeforeFunc);
    r.head_len = file_is_line ? log_file_head(r.head_and_line, level & 0xff, module) : 0;
    r.line = r.head_and_line + r.head_len;
    r.line[0] = 0;
    r.line_len = 0;
}

// "HH:MM:SS " or, with LOG_F_TIME_MS alone, "HH:MM:SS.mmm " into t (16
// bytes); its length.
size_t put_time(char *t, u32 flags)
{
    struct tm tm;
    u32 ms;
    os_time_stamp(&tm, &ms, nullptr);
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
    return n;
}

// The prefixes the context's flags ask for, in their order, each while the
// line has room.
void put_prefixes(record &r, const char *file, int lineno, const char *func)
{
    char *l = r.line;
    size_t n = 0;
    if (r.flags & (LOG_F_TIME | LOG_F_TIME_MS)) {
        char t[16];
        n = cat_n(l, n, kLine, t, put_time(t, r.flags));
    }
    if ((r.flags & LOG_F_TID) && n < kLine - 1) {
        n = cat_lit(l, n, kLine, "[");
        n = cat_int(l, n, kLine, os_gettid());
        n = cat_lit(l, n, kLine, "] ");
    }
    if ((r.flags & LOG_F_TID_NAME) && n < kLine - 1) {
        char name[256];
        os_thread_name_get(name, sizeof name);
        n = cat_lit(l, n, kLine, "[");
        n = cat(l, n, kLine, name);
        n = cat_lit(l, n, kLine, "] ");
    }
    if ((r.flags & LOG_F_FILE) && n < kLine - 1) {
        const char *f = file ? file : "";
        if (r.flags & LOG_F_BASENAME) f = base_name(f);
        n = cat_lit(l, n, kLine, "[");
        n = cat(l, n, kLine, f);
        n = cat_lit(l, n, kLine, ":");
        n = cat_int(l, n, kLine, lineno);
        n = cat_lit(l, n, kLine, "] ");
    }
    if ((r.flags & LOG_F_FUNC) && func && n < kLine - 1) {
        n = cat(l, n, kLine, func);
        n = cat_lit(l, n, kLine, "(): ");
    }
    r.line_len = r.prefix_len = n;
}

// The message behind the prefixes, formatted from fmt and its arguments
// straight into the line. When the line cuts it, it is formatted again,
// whole, into the copy (from again, a copy of the arguments).
void format_message(record &r, const char *fmt, va_list ap, va_list again)
{
    char *at = r.line + r.prefix_len;
    size_t room = kLine - r.prefix_len;
    int n = log_vformat(at, room, fmt, ap);
    if (n < 0) {
        at[0] = 0;
        n = 0;
    }
    if ((size_t)n < room) {
        r.line_len += (size_t)n;
        r.message = at;
        r.message_len = (size_t)n;
        return;
    }
    r.line_len = kLine - 1;
    n = log_vformat(r.message_copy, kLine, fmt, again);
    if (n < 0) r.message_copy[0] = 0;
    r.message = r.message_copy;
    r.message_len = n < 0 ? 0 : (size_t)n >= kLine ? kLine - 1 : (size_t)n;
}

// A ready message behind the prefixes; when the line cuts it, the copy
// holds it whole.
void copy_message(record &r, const char *text)
{
    size_t n = strlen(text);
    r.line_len = cat_n(r.line, r.line_len, kLine, text, n);
    if (r.line_len - r.prefix_len == n) {
        r.message = r.line + r.prefix_len;
        r.message_len = n;
        return;
    }
    r.message = r.message_copy;
    r.message_len = cat_n(r.message_copy, 0, kLine, text, n);
}

// The text of the caller's errno and a newline behind the line and behind
// the message, each within its room: the message goes to its copy first,
// since the two may be cut at different places.
void put_errno_text(record &r, int eno)
{
    if (r.message != r.message_copy) {
        r.message_len = cat_n(r.message_copy, 0, kLine, r.message, r.message_len);
        r.message = r.message_copy;
    }
    if (r.line_len >= kLine - 1) return;
    char text[4096];
    os_errno_str(eno, text, sizeof text);
    r.line_len = cat(r.line, r.line_len, kLine, text);
    r.line_len = cat_lit(r.line, r.line_len, kLine, "\n");
    r.message_len = cat(r.message_copy, r.message_len, kLine, text);
    r.message_len = cat_lit(r.message_copy, r.message_len, kLine, "\n");
}

// Hands the record to the locked outputs, with its file record: the
// console line behind its header when the two are the same text, else the
// function prefix and the message behind a header of their own. False
// when the context was closed before the record reached them.
bool hand_off(struct log2 *c, record &r, const char *func, bool formatted)
{
    log_rec out{};
    out.level = r.level;
    out.module = r.module;
    out.line = r.line;
    out.len = (int)r.line_len;
    out.file_dropped = r.file_dropped;
    size_t full = end_line(r.line, r.line_len);
    // The text ends at a NUL, wherever a formatted message put one.
    out.line_len = formatted ? strnlen(r.line, full) : full;
    if (r.head_len && out.line_len == full) {
        out.file = r.head_and_line;
        out.file_len = r.head_len + full;
    } else if (r.file_on) {
        size_t head = log_file_head(r.file_record, r.level & 0xff, r.module);
        char *text = r.file_record + head;
        size_t n = 0;
        if ((r.flags & LOG_F_FUNC) && func) {
            n = cat(text, n, kLine, func);
            n = cat_lit(text, n, kLine, "(): ");
        }
        n = cat_n(text, n, kLine, r.message, strnlen(r.message, r.message_len));  // up to a NUL, as the console
        out.file = r.file_record;
        out.file_len = head + end_line(text, n);
    }
    log_submit(c, &out);
    return !out.closed;
}

// The road of one record after the redirect step and the level filter:
// the message is fmt with its arguments or, when fmt is NULL, the ready
// text (never NULL). Returns the line's length before its newline.
int log_record(struct log2 *c, int level, const char *module, const char *file, int lineno,
               const char *func, const char *fmt, va_list ap, const char *text, int saved_errno)
{
    record r;
    start_record(r, c, level, module);
    put_prefixes(r, file, lineno, func);
    if (fmt) {
        va_list again;
        va_copy(again, ap);
        format_message(r, fmt, ap, again);
        va_end(again);
    } else {
        copy_message(r, text);
    }
    if (level & LOG_OPT_ERRNO) put_errno_text(r, saved_errno);
    bsv_log_hook(level, module, file, lineno, func, r.message);
    if (!(level & LOG_OPT_BSVONLY)) {
        bool written = hand_off(c, r, func, fmt != nullptr);
        exit_on_crit(level);
        if (!written) return 0;
    }
    return (int)r.line_len;
}

// A record logged to a closed context is dropped, but a crit record still
// ends the process.
int dropped_closed(int level)
{
    exit_on_crit(level);
    return 0;
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

struct log2 *log_default_for_init(void)
{
    struct log2 *c = default_ctx();
    if (!c) return nullptr;
    bool reopened = false;
    {
        log_output_lock g(c);
        if (c->closed.load()) {
            // Its outputs were closed with it: it opens with the console
            // alone, and the caller configures it anew. The record rings
            // and thread names it closed open again.
            c->closed.store(0);
            g_default_state.store(1);
            reopened = true;
        }
    }
    if (reopened) {
        bsv_reg_log_again();
        os_thread_name_init();
    }
    u8 made = 1;
    return g_default_state.compare_exchange_strong(made, 2) ? c : nullptr;
}

void log_default_state_set(u8 state)
{
    g_default_state.store(state);
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
    if (c->closed.load(std::memory_order_relaxed)) return dropped_closed(level);
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
    if (c->closed.load(std::memory_order_relaxed)) return dropped_closed(level);
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
        if (!c) return 0;
        {
            // Marked under the output mutex: a record that got there first
            // is written whole, one that comes later is dropped, and its
            // call returns 0.
            log_output_lock g(c);
            if (c->closed.exchange(1)) return 0;
        }
        // The bsv sender, the pcap hook and the syslog sender stop first,
        // outside the output mutex: their threads may log while they end,
        // and the syslog sender gets a moment to send what it holds.
        log_bsv_udp_close(&c->bsv);
        log_file_pcap_detach(&c->file);
        log_net_stop(&c->net, kNetDrainMs);
        {
            log_output_lock g(c);
            log_net_close(&c->net);
            if (c->file_on.load() && net_note_pending(c)) net_note_to_file(c);
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
    log_net_stop(&ctx->net, kNetDrainMs);
    log_net_close(&ctx->net);
    if (ctx->file_on.load() && net_note_pending(ctx)) net_note_to_file(ctx);
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

void log_tell(const char *fmt, ...)
{
    char buf[1024];
    int n = snprintf(buf, sizeof buf, "%s: ", program_invocation_short_name);
    if (n < 0 || (size_t)n >= sizeof buf) n = 0;
    va_list ap;
    va_start(ap, fmt);
    int k = vsnprintf(buf + n, sizeof buf - (size_t)n, fmt, ap);
    va_end(ap);
    size_t len = k < 0 ? (size_t)n : std::min((size_t)n + (size_t)k, sizeof buf - 1);
    if (len && buf[len - 1] != '\n') buf[len == sizeof buf - 1 ? len - 1 : len++] = '\n';
    int saved = errno;
    for (size_t at = 0; at < len;) {
        ssize_t w = write(STDERR_FILENO, buf + at, len - at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        at += (size_t)w;
    }
    errno = saved;
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
