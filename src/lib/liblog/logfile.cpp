#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile"
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/fd_follow.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char kDroppedFmt[] = "%u log records dropped: the file could not be written (%s)\n";
constexpr char kOpenedFmt[] = "log file %s opened after %u failed attempts\n";
// What the first halving that failed could not do, by its step.
constexpr const char *kHalveSteps[] = {"the kept part could not be copied", "the file could not be cut to the kept part",
                                       "its marker could not be written"};
constexpr char kHalveFailedFmt[] = "%u %s of the log file failed: %s (%s)\n";
constexpr char kHalveLostFmt[] =
    "%u %s of the log file failed: the newest part could not be copied (%s), %llu bytes of it were lost\n";

bool ends_with_pcap(const char *path)
{
    size_t n = strlen(path);
    return n >= 5 && strcmp(path + n - 5, ".pcap") == 0;
}

// The path a name stands for: inside the directory when it is relative and
// a directory is set. 0, or -1 when it does not fit.
int full_path(const log_file_state *st, const char *name, char *out, size_t size)
{
    if (name[0] != '/' && st->dir[0]) {
        int n = snprintf(out, size, "%s%c%s", st->dir, '/', name);
        return n >= 0 && (size_t)n < size ? 0 : -1;
    }
    return str_safecopy_trunc(out, size, name) == 0 ? 0 : -1;
}

// An absolute, normalised form of path without touching the file: the
// current directory goes in front of a relative path.
void absolute_name(const char *path, char *out, size_t size)
{
    char cwd[4096];
    if (path[0] != '/' && getcwd(cwd, sizeof cwd)) {
        int n = snprintf(out, size, "%s/%s", cwd, path);
        if (n < 0 || (size_t)n >= size) str_safecopy_trunc(out, size, path);
    } else {
        str_safecopy_trunc(out, size, path);
    }
    path_normalize(out);
}

// A finding about the halving's marker (one that is not the program's
// own, or cannot be removed) is told once: on standard error now, and in
// a warn record in front of the next record in the file. (The writer runs
// under the output mutex: a log record of its own would not reach the
// file.)
void tell_mark(log_file_state *st)
{
    if (const char *why = fd_halve_mark_news(&st->mark)) {
        log_tell("%s", why);
        st->mark_note = 1;
    }
}

// A last line without its line end (a write torn by a kill, a file edited
// by hand, a tail that a failed halving could not cut) gets one, so that
// no record is glued to it.
void end_line(int fd)
{
    i64 size = fd_size(fd);
    char last;
    if (size > 0 && fd_pread_all(fd, &last, 1, size - 1) && last != '\n') {
        struct iovec v = {(void *)"\n", 1};
        fd_append_whole(fd, &v, 1);
    }
}

// What a halving came to (rc; eno why it failed), at the limit or when an
// open finished one: noted, and told on standard error where due.
void halved(log_file_state *st, int rc, int eno)
{
    fd_halve_tally_note(&st->halve, rc, eno, &st->mark);
    tell_mark(st);
    log_file_halve_failed(st->name, &st->halve);
}

// Opens the text file; "w" empties it, "a" keeps it: a halving that a kill
// cut short is finished first, and the last line ended. The descriptor
// appends, so that every record lands at the current end, and reads, for
// the trim. A file that is opened again after it vanished gets its
// directory back too when that vanished with it (remake). Another user's
// link, FIFO or file in a shared directory is refused (fd_open_log); the
// halving's marker goes beside the file, in the directory opened for it.
int open_text(log_file_state *st, const char *path, bool truncate, bool remake)
{
    int flags = O_RDWR | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0);
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path, flags, 0644, remake, &at);
    if (fd < 0) return -1;
    fd_halve_mark_place(&st->mark, &at);
    if (truncate) {
        fd_halve_mark_remove(&st->mark);
    } else {
        int rc = fd_halve_resume(fd, &st->mark);
        halved(st, rc, errno);
        end_line(fd);
    }
    if (!fd_follow_start(&st->follow, fd, &st->size)) {
        close(fd);
        return -1;
    }
    st->fd = fd;
    return 0;
}

void close_text(log_file_state *st)
{
    if (st->fd >= 0) close(st->fd);
    st->fd = -1;
}

// The reopen of the writer: the stored name, kept. A name that never
// opened gets no directory made: it is opened as it was configured.
int reopen_text(log_file_state *st)
{
    close_text(st);
    if (!st->name[0]) {
        errno = ENOENT;
        return -1;
    }
    if (open_text(st, st->name, false, st->was_open) != 0) {
        int eno = errno;
        log_file_open_failed(st, st->name, eno);
        errno = eno;
        return -1;
    }
    st->was_open = 1;
    return 0;
}

// Errors after which the same file may take records again once space
// returns; after others the name is opened anew.
bool is_space_error(int eno)
{
    return eno == ENOSPC || eno == EDQUOT || eno == EFBIG;
}

// A record that is not written is counted.
int drop(log_file_state *st)
{
    if (st->dropped != UINT32_MAX) ++st->dropped;
    return -1;
}

// A write or open that failed: its records are dropped and the file is
// left alone until the next attempt is due.
int fail(log_file_state *st, int eno, int records)
{
    if (!st->dropped) log_debug_printf("log_file_write: fwrite error\n");
    st->drop_errno = eno;
    __atomic_store_n(&st->retry_us, os_mono_us() + FD_FOLLOW_RETRY_US, __ATOMIC_RELAXED);
    while (records-- > 0) drop(st);
    return -1;
}

inline size_t put_n(char *p, unsigned v, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = (char)('0' + v % 10);
        v /= 10;
    }
    return (size_t)digits;
}

// Two decimal digits of v (below 100).
inline void put_2(char *p, unsigned v)
{
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    memcpy(p, kPairs + 2 * v, 2);
}

inline size_t put_s(char *p, size_t room, const char *s)
{
    size_t n = strnlen(s, room);
    memcpy(p, s, n);
    return n;
}

// The level labels as the header writes them, padded to five.
constexpr char kLabels[7][6] = {"CRIT ", "ERROR", "WARN ", "NOTI ", "INFO ", "DEBUG", "VERB "};

// Text that changes at most once a second (the date and time up to the
// dot), kept per thread.
struct stamp_cache {
    int sod = -1, mday = 0, mon = 0, year = 0;
    char stamp[20];  // "YYYY-MM-DD HH:MM:SS."
};
thread_local stamp_cache t_stamp;

// The header behind the time as this thread last made it, with what it
// was made from (level, module, process id, and the generation of the
// thread names): a record with the same copies it.
struct head_cache {
    u32 gen = 0;
    u32 pid = 0;
    int level = -1;
    u32 len = 0;
    char module[64];
    char text[256];
};
thread_local head_cache t_head;

// Compares two texts without reading past the end of either.
bool same_text(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (!*a) return true;
    }
}

// "%04d-%02d-%02d %02d:%02d:%02d.%06u " from one read of the clock into
// LOG_FILE_STAMP bytes; the time of day in microseconds goes to tod.
void stamp_now(char *s, u64 *tod)
{
    struct tm tm;
    u32 usec;
    os_time_stamp(&tm, nullptr, &usec);  // usec < 1000000
    stamp_cache &c = t_stamp;
    int sod = (tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec;  // second of the day
    if (sod != c.sod || tm.tm_mday != c.mday || tm.tm_mon != c.mon || tm.tm_year != c.year) {
        c.sod = sod;
        c.mday = tm.tm_mday;
        c.mon = tm.tm_mon;
        c.year = tm.tm_year;
        int year = tm.tm_year + 1900;
        if (year < 0 || year > 9999) year = 0;
        char *t = c.stamp;
        t += put_n(t, (unsigned)year, 4);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mon + 1, 2);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mday, 2);
        *t++ = ' ';
        t += put_n(t, (unsigned)tm.tm_hour, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_min, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_sec, 2);
        *t = '.';
    }
    *tod = (u64)sod * 1000000u + usec;
    static_assert(sizeof c.stamp + 7 == LOG_FILE_STAMP);
    memcpy(s, c.stamp, sizeof c.stamp);
    put_2(s + sizeof c.stamp, usec / 10000);
    put_2(s + sizeof c.stamp + 2, usec / 100 % 100);
    put_2(s + sizeof c.stamp + 4, usec % 100);
    s[LOG_FILE_STAMP - 1] = ' ';
}

// The lines that tell of failed opens and of dropped records, with their
// headers, stamped, into kNotesSize bytes.
constexpr size_t kNoteText = 512;
constexpr size_t kNotesSize = 4 * (LOG_FILE_HEAD_MAX + kNoteText);
size_t notes(const log_file_state *st, char *note, const char *stamp)
{
    size_t n = 0;
    // One line: its header, stamped, then the text text() writes.
    auto line = [&](auto text, int level = LOG_LVL_WARN) {
        size_t h = log_file_head(note + n, level, LOG_MOD);
        memcpy(note + n, stamp, LOG_FILE_STAMP);
        n += h;
        int k = text(note + n);
        n += k > 0 ? (size_t)k : 0;
    };
    if (st->open_fails)
        line([st](char *b) { return log_file_opened_text(b, kNoteText, st->name, st->open_fails); });
    if (st->dropped) line([st](char *b) { return log_file_dropped_text(b, kNoteText, st->dropped, st->drop_errno); });
    if (st->halve.fails)
        line([st](char *b) { return log_file_halve_failed_text(b, kNoteText, &st->halve); }, LOG_LVL_ERR);
    if (st->mark_note) line([st](char *b) { return snprintf(b, kNoteText, "%.*s\n", (int)kNoteText - 2, st->mark.why); });
    return n;
}

// After a write: a file at or above the limit keeps its newer half. A
// halving that fails is counted and told in front of the next record; the
// file may then stay over its limit, and the next try waits a second.
void apply_limit(log_file_state *st)
{
    if ((i64)st->size < st->size_limit || fd_halve_tally_wait(&st->halve)) return;
    // The count may be stale (another writer of the same file, or an
    // outside truncation): the real size decides.
    i64 size = fd_size(st->fd);
    if (size < 0) return;
    st->size = (u64)size;
    if (size < st->size_limit) return;
    int rc = log_file_trim(st->fd, &st->mark, size, st->size_limit);
    halved(st, rc, errno);
    if (rc != 0) end_line(st->fd);
    if ((size = fd_size(st->fd)) >= 0) st->size = (u64)size;
}

// The offset behind the last line end of [low, top); -1 when there is
// none, -2 when the file cannot be read.
i64 behind_last_nl(int fd, i64 low, i64 top)
{
    char buf[4096];
    while (top > low) {
        size_t n = (size_t)(top - low < (i64)sizeof buf ? top - low : (i64)sizeof buf);
        if (!fd_pread_all(fd, buf, n, top - (i64)n)) return -2;
        if (const void *nl = memrchr(buf, '\n', n)) return top - (i64)n + ((const char *)nl - buf) + 1;
        top -= (i64)n;
    }
    return -1;
}

// The start of the last line of a file of size bytes that ends in a line
// end, when it lies at or after the middle of the file; else -1.
i64 last_line_start(int fd, i64 size)
{
    i64 at = behind_last_nl(fd, size / 2 > 0 ? size / 2 - 1 : 0, size - 1);  // a line end at low still fits
    return at < 0 ? -1 : at;
}

}  // namespace

i64 log_file_whole_end(int fd, i64 from, i64 size, const void *)
{
    i64 at = behind_last_nl(fd, from, size);
    return at == -2 ? -1 : at < 0 ? from : at;
}

void log_file_mark_closed(fd_halve_mark *m)
{
    fd_halve_mark_close(m);
    if (const char *why = fd_halve_mark_news(m)) log_tell("%s", why);
}

int log_file_part_check(int fd, i64 from, i64 end, i64 to, const void *)
{
    // The byte in front of the part is a line end; once a copy that
    // reaches it is done, it is the part's last byte. Only a part without
    // any line end (a line longer than the half) is kept from its middle.
    char before, last;
    if (!fd_pread_all(fd, &before, 1, from - 1)) return -1;
    if (before == '\n') return 1;
    if (from < end && to + (end - from) == from) {
        if (!fd_pread_all(fd, &last, 1, end - 1)) return -1;
        if (last == before) return 1;
    }
    i64 nl = behind_last_nl(fd, from, end);
    return nl == -2 ? -1 : nl == -1 ? 1 : 0;
}

int log_file_trim(int fd, fd_halve_mark *m, i64 size, i32 limit)
{
    if (m) {
        m->lost = 0;
        m->step = FD_HALVE_COPY;
    }
    i64 half = limit / 2;
    i64 start = size > half ? size - half : 0;
    // The first line start at or after start.
    char buf[4096];
    i64 src = -1;
    for (i64 at = start; at < size && src < 0;) {
        size_t n = (size_t)(size - at < (i64)sizeof buf ? size - at : (i64)sizeof buf);
        if (!fd_pread_all(fd, buf, n, at)) return -1;
        if (const char *nl = (const char *)memchr(buf, '\n', n)) src = at + (nl - buf) + 1;
        at += (i64)n;
    }
    // No line end in the newest half: that half is kept whole. The newest
    // record began before it: it is kept from its start.
    if (src < 0) src = start;
    else if (src == size) src = last_line_start(fd, size);
    // Copied to the front, the part must not reach its own bytes.
    if (src <= 0 || size - src > src) return 0;
    return fd_halve(fd, m, src, size, 0) >= 0 || errno == ECANCELED ? 0 : -1;
}

void log_file_init(log_file_state *st)
{
    if (!st) return;
    memset(st, 0, sizeof *st);
    st->mode[0] = 'w';
    st->size_limit = LOG_FILE_SIZE_DEFAULT;
    st->kind = LOG_FILE_KIND_TEXT;
    st->fd = -1;
    fd_halve_mark_init(&st->mark, log_file_whole_end, nullptr, log_file_part_check, 0);
}

int log_file_dropped_text(char *buf, size_t size, u32 count, int eno)
{
    char et[256];
    int n = snprintf(buf, size, kDroppedFmt, count, os_errno_str(eno, et, sizeof et));
    return n < 0 ? 0 : (size_t)n < size ? n : (int)size - 1;
}

void log_file_halve_failed(const char *path, fd_halve_tally *t)
{
    if (!t->say_eno) return;
    char et[256], what[64] = "its newest records are kept";
    if (t->say_lost)
        snprintf(what, sizeof what, "%llu bytes of its newest records were lost", (unsigned long long)t->say_lost);
    log_tell("log file %s could not be halved: %s (%s; tried again each second)", path,
             os_errno_str(t->say_eno, et, sizeof et), what);
    t->say_eno = 0;
    t->say_lost = 0;
}

int log_file_halve_failed_text(char *buf, size_t size, const fd_halve_tally *t)
{
    char et[256];
    const char *what = t->fails == 1 ? "halving" : "halvings";
    const char *step = t->step < sizeof kHalveSteps / sizeof *kHalveSteps ? kHalveSteps[t->step] : kHalveSteps[0];
    os_errno_str(t->eno, et, sizeof et);
    int n = t->lost ? snprintf(buf, size, kHalveLostFmt, t->fails, what, et, (unsigned long long)t->lost)
                    : snprintf(buf, size, kHalveFailedFmt, t->fails, what, step, et);
    return n < 0 ? 0 : (size_t)n < size ? n : (int)size - 1;
}

int log_file_opened_text(char *buf, size_t size, const char *path, u32 fails)
{
    if (size < 2) return 0;
    int n = snprintf(buf, size, kOpenedFmt, path, fails);
    if (n < 0) return 0;
    if ((size_t)n < size) return n;
    buf[size - 2] = '\n';  // a name too long for the line is cut, the line stays one
    return (int)size - 1;
}

void log_file_open_failed(log_file_state *st, const char *path, int eno)
{
    if (__atomic_fetch_add(&st->open_fails, 1, __ATOMIC_ACQ_REL) != 0) return;
    __atomic_store_n(&st->open_errno, eno, __ATOMIC_RELAXED);
    char et[256];
    // A refusal says why in words: the reason the refusing walk found, on
    // this thread.
    const char *why = eno == EACCES ? fd_open_refused() : nullptr;
    log_tell("cannot open log file %s: %s (its records are dropped until it opens)", path,
             why ? why : os_errno_str(eno, et, sizeof et));
}

int log_file_close(log_file_state *st)
{
    if (!st) return 0;
    if (st->pcap || st->hooked) {
        log_file_pcap_detach(st);
        log_file_pcap_close(st);
    }
    close_text(st);
    log_file_mark_closed(&st->mark);
    st->held = 0;
    st->dropped = 0;
    st->halve = fd_halve_tally{};
    st->mark_note = 0;
    st->was_open = 0;
    __atomic_store_n(&st->open_fails, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&st->retry_us, 0, __ATOMIC_RELAXED);
    return 0;
}

int log_file_hold(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    log_file_close(st);
    char path[4096];
    if (full_path(st, name, path, sizeof path) != 0) {
        log_debug_printf("fopen %s err\n", name);
        st->name[0] = 0;
        return -1;
    }
    absolute_name(path, st->name, sizeof st->name);
    st->kind = ends_with_pcap(path) ? LOG_FILE_KIND_PCAP : LOG_FILE_KIND_TEXT;
    st->held = 1;
    return 0;
}

int log_file_open(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    char path[4096];
    int fit = full_path(st, name, path, sizeof path);  // before name may be cleared
    log_file_close(st);
    st->name[0] = 0;
    st->kind = ends_with_pcap(path) ? LOG_FILE_KIND_PCAP : LOG_FILE_KIND_TEXT;
    if (fit != 0) {
        log_debug_printf(st->kind == LOG_FILE_KIND_PCAP ? "bsvf_pcap_file %s err\n" : "fopen %s err\n", name);
        log_file_open_failed(st, name, ENAMETOOLONG);
        return -1;
    }
    // A name that does not open stays named: the writer tries it again
    // (made absolute, so that a change of the current directory does not
    // move it).
    absolute_name(path, st->name, sizeof st->name);
    bool pcap = st->kind == LOG_FILE_KIND_PCAP;
    int rc = pcap ? log_file_pcap_open(st, st->name) : open_text(st, path, st->mode[0] == 'w', false);
    if (rc != 0) {
        int eno = errno;
        log_debug_printf(pcap ? "bsvf_pcap_file %s err\n" : "fopen %s err\n", path);
        log_file_open_failed(st, st->name, eno);
    } else {
        char real[PATH_MAX];
        if (realpath(path, real)) str_safecopy_trunc(st->name, sizeof st->name, real);
        path_normalize(st->name);
        st->was_open = 1;
    }
    if (pcap) log_file_pcap_attach(st);
    return rc != 0 ? -1 : 0;
}

size_t log_file_head(char *h, int level, const char *module)
{
    if (!module) module = "";
    head_cache &k = t_head;
    u32 gen = os_thread_name_gen(), pid = os_getpid();
    char *t = h + LOG_FILE_STAMP;
    if (k.gen == gen && k.pid == pid && k.level == level && same_text(module, k.module)) {
        // A short one as a copy of known size, which the compiler makes
        // inline (h has room for it).
        static_assert(LOG_FILE_STAMP + 64 <= LOG_FILE_HEAD_MAX);
        if (k.len <= 64) memcpy(t, k.text, 64);
        else memcpy(t, k.text, k.len);
        return LOG_FILE_STAMP + k.len;
    }
    size_t n = 0;
    if (level >= LOG_LVL_CRIT && level <= LOG_LVL_VERB) {
        memcpy(t, kLabels[level - LOG_LVL_CRIT], 5);
        n = 5;
    } else {
        n = put_s(t, 32, log_level_2_prefix(level));
        while (n < 5) t[n++] = ' ';
    }
    t[n++] = ' ';
    char digits[12];
    char *e = digits + sizeof digits, *d = e;
    for (u32 v = pid; d == e || v; v /= 10) *--d = (char)('0' + v % 10);
    memcpy(t + n, d, (size_t)(e - d));
    n += (size_t)(e - d);
    memcpy(t + n, " --- [", 6);
    n += 6;
    os_thread_name_get(t + n, 256);
    n += strnlen(t + n, 255);
    t[n++] = ']';
    t[n++] = ' ';
    size_t ml = put_s(t + n, 255, module);
    n += ml;
    t[n++] = ' ';
    static_assert(LOG_FILE_STAMP + 32 + 1 + 10 + 6 + 255 + 2 + 255 + 1 <= LOG_FILE_HEAD_MAX);
    if (ml < sizeof k.module && n <= sizeof k.text) {
        memcpy(k.module, module, ml + 1);
        memcpy(k.text, t, n);
        k.len = (u32)n;
        k.level = level;
        k.pid = pid;
        k.gen = gen;
    }
    return LOG_FILE_STAMP + n;
}

int log_file_write_recs(struct log2 *ctx, log_rec *const *recs, int n)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c || !recs || n <= 0) return -1;
    log_file_state *st = &c->file;
    if (st->kind == LOG_FILE_KIND_PCAP || st->held) return 0;
    // While records are dropped the file is left alone (no look at its
    // name, no reopen, no write) until the next attempt is due: a record
    // then costs what it costs without the file.
    if (st->dropped && os_mono_us() < st->retry_us) {
        for (int i = 0; i < n; ++i) drop(st);
        return -1;
    }
    // One read of the clock stamps the records written together; it also
    // paces the looks at the name.
    const char *stamp = recs[0]->file;
    u64 tod;
    stamp_now(recs[0]->file, &tod);
    for (int i = 1; i < n; ++i) memcpy(recs[i]->file, stamp, LOG_FILE_STAMP);
    // Follow the name: a file deleted or moved away is made anew.
    bool moved = st->fd >= 0 && fd_follow_look(&st->follow, st->fd, st->name, tod) == fd_look::gone;
    if (st->fd < 0 || moved || (st->dropped && !is_space_error(st->drop_errno))) {
        if (reopen_text(st) != 0) return fail(st, errno, n);
    }
    // The records go out whole or not at all, as many at once as keep the
    // file within the limit but for the last of them.
    constexpr int kPieces = FD_APPEND_MAX;
    for (int i = 0; i < n;) {
        struct iovec v[kPieces];
        char note[kNotesSize];
        int cnt = 0;
        size_t put = 0;
        bool noted = st->dropped | st->open_fails | st->halve.fails | st->mark_note;
        if (noted) {
            v[cnt] = {note, notes(st, note, stamp)};
            put += v[cnt++].iov_len;
        }
        int first = i;
        do {
            v[cnt] = {recs[i]->file, recs[i]->file_len};
            put += v[cnt++].iov_len;
            ++i;
        } while (i < n && cnt < kPieces && (i64)(st->size + put) < st->size_limit);
        if (!fd_append_whole(st->fd, v, cnt)) return fail(st, errno, n - first);
        if (noted) {
            st->dropped = 0;
            fd_halve_tally_told(&st->halve, nullptr);
            st->mark_note = 0;
            __atomic_store_n(&st->open_fails, 0, __ATOMIC_RELAXED);
            __atomic_store_n(&st->retry_us, 0, __ATOMIC_RELAXED);
        }
        st->size += put;
        apply_limit(st);
    }
    return 0;
}

bool log_file_retry_pending(u64 retry_us)
{
    return os_mono_us() < retry_us;
}

void log_file_drop(log_file_state *st, int n)
{
    while (n-- > 0) drop(st);
}

int log_file_write(struct log2 *ctx, int level, const char *module, const char *line, int len)
{
    if (!line || len < 0) return -1;
    char f[LOG_FILE_HEAD_MAX + LOG_LINE_MAX];
    log_rec r{};
    r.file = f;
    r.file_len = log_file_head(f, level, module);
    size_t k = (size_t)len < LOG_LINE_MAX ? (size_t)len : LOG_LINE_MAX;
    memcpy(f + r.file_len, line, k);
    r.file_len += k;
    log_rec *one = &r;
    return log_file_write_recs(ctx, &one, 1);
}

namespace {

// Whether a file could be opened for writing at path (absolute) without
// making it: an existing file that may be written (and is not refused in
// a shared directory), or a directory that may take a new one.
bool could_open(const char *path)
{
    struct stat sb;
    char why[160];
    if (fd_open_refusal(path, why, sizeof why)) return false;
    if (stat(path, &sb) == 0) return !S_ISDIR(sb.st_mode) && access(path, W_OK) == 0;
    if (errno != ENOENT) return false;
    char dir[4096];
    str_safecopy_trunc(dir, sizeof dir, path);
    char *slash = strrchr(dir, '/');
    if (!slash) return false;
    slash[slash == dir ? 1 : 0] = 0;
    return stat(dir, &sb) == 0 && S_ISDIR(sb.st_mode) && access(dir, W_OK | X_OK) == 0;
}

}  // namespace

const char *log_file_shown_name(const log_file_state *st)
{
    if (!st || !st->name[0]) return "";
    if (st->held) return could_open(st->name) ? st->name : "";
    return __atomic_load_n(&st->open_fails, __ATOMIC_RELAXED) == 0 ? st->name : "";
}

int log_file_dir_set(log_file_state *st, const char *dir)
{
    if (!st || !dir) return -1;
    // Made as the log's own directories are, by the walk that judges each
    // step: nothing is made through a way that the open would refuse.
    if (fd_make_dirs(dir) != 0) log_debug_printf("os_mkdirs %s failed\n", dir);
    str_safecopy_trunc(st->dir, sizeof st->dir, dir);
    return 0;
}

int log_file_mode_set(log_file_state *st, const char *mode)
{
    if (!st || !mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log_debug_printf("mode %s err\n", mode ? mode : "(null)");
        return -1;
    }
    st->mode[0] = mode[0];
    st->mode[1] = 0;
    return 0;
}

int log_file_size_set(log_file_state *st, i32 bytes)
{
    if (!st) return -1;
    // Read without the output mutex by the pcap hook.
    __atomic_store_n(&st->size_limit, bytes < LOG_FILE_SIZE_MIN ? LOG_FILE_SIZE_MIN : bytes,
                     __ATOMIC_RELAXED);
    return 0;
}

log_file_state *log_file_get(log_file_state *st)
{
    return st;
}

i32 log_file_size_get(log_file_state *st)
{
    return st ? __atomic_load_n(&st->size_limit, __ATOMIC_RELAXED) : 0;
}

long log_file_tell(log_file_state *st)
{
    if (!st || st->fd < 0) return -1;
    return (long)lseek(st->fd, 0, SEEK_END);
}
