#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile"
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/os_mutex.h"
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

// The standard output or error (1, 2) that is open for writing on the
// regular file of status a; -1 none.
int std_stream_is(const struct stat &a)
{
    struct stat b;
    if (!S_ISREG(a.st_mode)) return -1;
    for (int s : {STDOUT_FILENO, STDERR_FILENO}) {
        int fl = fcntl(s, F_GETFL);
        if (fl >= 0 && (fl & O_ACCMODE) != O_RDONLY && fstat(s, &b) == 0 && b.st_dev == a.st_dev &&
            b.st_ino == a.st_ino)
            return s;
    }
    return -1;
}

// Opens the text file; "w" empties it, "a" keeps it: a halving that a kill
// cut short is finished first, and the last line ended. The descriptor
// appends, so that every record lands at the current end, and reads, for
// the trim. mkdirs: the missing directories of the way are made (file_dir's,
// or the file's own when they vanished with it after it was open).
// Another user's link, FIFO or file in a shared directory is refused
// (fd_open_log); the halving's marker goes beside the file, in the
// directory opened for it. A file that is the program's standard output
// or error is written through that descriptor (a copy of it), so that the
// console's answers and the records share one offset and overwrite
// nothing; such a file is neither emptied nor halved: the console writes
// at its own place in it.
int open_text(log_file_state *st, const char *path, bool truncate, bool mkdirs)
{
    // Emptied at the open, unless the name leads to a standard stream's
    // file: that is looked at first, and after the open again.
    struct stat sb;
    bool maybe_std = truncate && stat(path, &sb) == 0 && std_stream_is(sb) >= 0;
    int flags = O_RDWR | O_CREAT | O_APPEND | (truncate && !maybe_std ? O_TRUNC : 0);
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path, flags, 0644, mkdirs, &at);
    if (fd < 0) return -1;
    int std = fstat(fd, &sb) == 0 ? std_stream_is(sb) : -1;
    st->std_fd = std >= 0;
    if (std >= 0) {
        close(fd);
        fd_log_place_close(&at);
        fd_halve_mark_place(&st->mark, &at);  // none
        if ((fd = fcntl(std, F_DUPFD_CLOEXEC, 3)) < 0) return -1;
    } else {
        if (maybe_std && S_ISREG(sb.st_mode) && ftruncate(fd, 0) != 0) {
            int eno = errno;
            close(fd);
            fd_log_place_close(&at);
            errno = eno;
            return -1;
        }
        fd_halve_mark_place(&st->mark, &at);
        if (truncate) {
            fd_halve_mark_remove(&st->mark);
        } else {
            int rc = fd_halve_resume(fd, &st->mark);
            halved(st, rc, errno);
            end_line(fd);
        }
    }
    if (!fd_follow_start(&st->follow, fd, &st->size)) {
        int eno = errno;
        close(fd);
        errno = eno;
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

// The reopen of the writer, the whole open again: the stored name, kept.
// A name that never opened gets no directory made but file_dir's: it is
// opened as it was configured.
int reopen_text(log_file_state *st)
{
    close_text(st);
    if (!st->name[0]) {
        errno = ENOENT;
        return -1;
    }
    if (open_text(st, st->name, false, st->was_open || st->mkdirs) != 0) {
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

// Records that are not written are counted.
int drop(log_file_state *st, u32 n = 1)
{
    st->dropped = n > UINT32_MAX - st->dropped ? UINT32_MAX : st->dropped + n;
    return -1;
}

// A write or open that failed: its records are dropped and the file is
// left alone until the next attempt is due.
int fail(log_file_state *st, int eno, int records)
{
    if (!st->dropped) log_debug_printf("log_file_write: fwrite error\n");
    st->drop_errno = eno;
    __atomic_store_n(&st->retry_us, os_mono_us() + FD_FOLLOW_RETRY_US, __ATOMIC_RELAXED);
    return drop(st, records > 0 ? (u32)records : 0);
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
    pthread_mutex_init(&st->keep_lock, nullptr);
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
    const char *why = eno == EACCES ? fd_open_last_refusal() : nullptr;
    log_tell("cannot open log file %s: %s (its records are dropped until it opens)", path,
             why ? why : os_errno_str(eno, et, sizeof et));
}

namespace {

// Writes n records whose time is stamped (tod: the time of day in
// microseconds, which paces the looks at the name).
int write_stamped(log_file_state *st, log_rec *const *recs, int n, u64 tod)
{
    const char *stamp = recs[0]->file;
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
        // The console writes at its own place in a standard stream's file:
        // nothing of it is moved.
        if (!st->std_fd) apply_limit(st);
    }
    return 0;
}

// Adds n records to those dropped (eno why, when they are the first).
void drop_many(log_file_state *st, u32 n, int eno)
{
    if (n && !st->dropped) st->drop_errno = eno;
    drop(st, n);
}

// One read of the clock stamps the records written (or kept) together;
// the time of day in microseconds, which also paces the looks at the name.
u64 stamp(log_rec *const *recs, int n)
{
    u64 tod;
    log_file_stamp(recs[0]->file, &tod);
    for (int i = 1; i < n; ++i) memcpy(recs[i]->file, recs[0]->file, LOG_FILE_STAMP);
    return tod;
}

// While the file is held its records are kept, stamped now.
void keep_text(log_file_state *st, log_rec *const *recs, int n)
{
    stamp(recs, n);
    pthread_guard g(&st->keep_lock);
    for (int i = 0; i < n; ++i) log_keep_put(&st->keep, recs[i]->file, recs[i]->file_len);
}

// The records kept while the file was held, written first once it opened
// (or counted as dropped with eno when it did not); those that did not
// fit are counted too.
void write_kept(log_file_state *st, bool opened, int eno)
{
    log_file_keep k{};
    {
        pthread_guard g(&st->keep_lock);
        std::swap(k, st->keep);
    }
    u32 at = 0, len, left = k.count;
    if (opened) {
        char scratch[LOG_FILE_STAMP];
        u64 tod;
        log_file_stamp(scratch, &tod);
        log_rec recs[FD_APPEND_MAX];
        log_rec *batch[FD_APPEND_MAX];
        int n = 0;
        for (const char *r; (r = log_keep_next(&k, &at, &len));) {
            recs[n].file = (char *)r;
            recs[n].file_len = len;
            batch[n] = &recs[n];
            if (++n < FD_APPEND_MAX && at < k.used) continue;
            // A failure counts the records it did not write; the rest
            // waits no more for a file that fails.
            left -= (u32)n;
            if (write_stamped(st, batch, n, tod) != 0) break;
            n = 0;
        }
        eno = st->dropped ? st->drop_errno : eno;
    }
    drop_many(st, left, eno);
    drop_many(st, k.over, ENOBUFS);
    log_keep_clear(&k);
}

}  // namespace

int log_file_write_recs(struct log2 *ctx, log_rec *const *recs, int n)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c || !recs || n <= 0) return -1;
    log_file_state *st = &c->file;
    if (st->kind == LOG_FILE_KIND_PCAP) return 0;
    if (__atomic_load_n(&st->held, __ATOMIC_RELAXED)) {
        keep_text(st, recs, n);
        return 0;
    }
    // While records are dropped the file is left alone (no look at its
    // name, no reopen, no write) until the next attempt is due: a record
    // then costs what it costs without the file.
    if (st->dropped && os_mono_us() < st->retry_us) return drop(st, (u32)n);
    return write_stamped(st, recs, n, stamp(recs, n));
}

namespace {

// Closes what is open and forgets the name's state; the records kept
// while held are forgotten too unless kept.
void close_file(log_file_state *st, bool kept)
{
    if (st->pcap || st->hooked) {
        log_file_pcap_detach(st);
        log_file_pcap_close(st);
    }
    close_text(st);
    log_file_mark_closed(&st->mark);
    if (!kept) {
        pthread_guard g(&st->keep_lock);
        log_keep_clear(&st->keep);
    }
    __atomic_store_n(&st->held, 0, __ATOMIC_RELEASE);
    st->dropped = 0;
    st->halve = fd_halve_tally{};
    st->mark_note = 0;
    st->was_open = 0;
    st->mkdirs = 0;
    st->std_fd = 0;
    __atomic_store_n(&st->open_fails, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&st->retry_us, 0, __ATOMIC_RELAXED);
}

// Whether the open of name makes the missing directories of its way: a
// name that file_dir takes, with no directory of its own (those are not
// made, as for any name that never opened).
bool makes_dirs(const log_file_state *st, const char *name)
{
    if (name[0] == '/' || !st->dir[0]) return false;
    while (name[0] == '.' && name[1] == '/') name += 2;
    return !strchr(name, '/');
}

// The name of an open file becomes its real path (links resolved).
void opened(log_file_state *st, const char *path)
{
    char real[PATH_MAX];
    if (realpath(path, real)) str_safecopy_trunc(st->name, sizeof st->name, real);
    path_normalize(st->name);
    st->was_open = 1;
}

// Opens the named file (path: the name as configured, st->name its
// absolute form) of the kind set; a failure is told. 0, or -1 with errno.
int open_named(log_file_state *st, const char *path)
{
    bool pcap = st->kind == LOG_FILE_KIND_PCAP;
    int rc = pcap ? log_file_pcap_open(st, st->name) : open_text(st, path, st->mode[0] == 'w', st->mkdirs);
    int eno = errno;
    if (rc != 0) {
        log_debug_printf(pcap ? "bsvf_pcap_file %s err\n" : "fopen %s err\n", path);
        log_file_open_failed(st, st->name, eno);
    } else if (!pcap) {
        opened(st, path);
    }
    errno = eno;
    return rc;
}

}  // namespace

int log_file_close(log_file_state *st)
{
    if (st) close_file(st, false);
    return 0;
}

int log_file_hold(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    // What was kept for an earlier name (-o after file=) stays for this one
    // when it is of the same kind; else it is counted as dropped.
    i32 kind = st->kind;
    close_file(st, true);
    char path[4096];
    if (full_path(st, name, path, sizeof path) != 0) {
        log_debug_printf("fopen %s err\n", name);
        st->name[0] = 0;
        log_file_close(st);
        return -1;
    }
    absolute_name(path, st->name, sizeof st->name);
    st->kind = ends_with_pcap(path) ? LOG_FILE_KIND_PCAP : LOG_FILE_KIND_TEXT;
    st->mkdirs = makes_dirs(st, name);
    if (st->kind != kind) {
        pthread_guard g(&st->keep_lock);
        u32 over = st->keep.over + st->keep.count;
        log_keep_clear(&st->keep);
        st->keep.over = over;
    }
    __atomic_store_n(&st->held, 1, __ATOMIC_RELEASE);
    // The packets of a pcap file are kept by its hook.
    if (st->kind == LOG_FILE_KIND_PCAP) log_file_pcap_attach(st);
    return 0;
}

int log_file_release(log_file_state *st)
{
    if (!st || !__atomic_load_n(&st->held, __ATOMIC_ACQUIRE)) return 0;
    int rc = open_named(st, st->name), eno = errno;
    if (st->kind == LOG_FILE_KIND_PCAP) {
        // Its hook stays: records that come meanwhile are kept until the
        // kept ones are written.
        log_file_pcap_release(st, rc, eno);
        if (!st->hooked) log_file_pcap_attach(st);
    } else {
        __atomic_store_n(&st->held, 0, __ATOMIC_RELEASE);
        write_kept(st, rc == 0, eno);
    }
    return rc != 0 ? -1 : 0;
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
    st->mkdirs = makes_dirs(st, name);
    int rc = open_named(st, path);
    if (st->kind == LOG_FILE_KIND_PCAP) log_file_pcap_attach(st);
    return rc != 0 ? -1 : 0;
}

bool log_file_retry_pending(u64 retry_us)
{
    return os_mono_us() < retry_us;
}

void log_file_drop(log_file_state *st, int n)
{
    if (n > 0) drop(st, (u32)n);
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
// a shared directory), or a directory that may take a new one; with
// mkdirs, a missing directory that the open would make in one that may
// take it.
bool could_open(const char *path, bool mkdirs)
{
    struct stat sb;
    char why[160];
    if (fd_path_refusal(path, why, sizeof why)) return false;
    if (stat(path, &sb) == 0) return !S_ISDIR(sb.st_mode) && access(path, W_OK) == 0;
    if (errno != ENOENT) return false;
    char dir[4096];
    str_safecopy_trunc(dir, sizeof dir, path);
    for (bool first = true;; first = false) {
        char *slash = strrchr(dir, '/');
        if (!slash || (!first && (!mkdirs || strcmp(slash, "/..") == 0))) return false;
        slash[slash == dir ? 1 : 0] = 0;
        if (stat(dir, &sb) == 0) return S_ISDIR(sb.st_mode) && access(dir, W_OK | X_OK) == 0;
        if (errno != ENOENT || slash == dir) return false;
    }
}

}  // namespace

const char *log_file_shown_name(const log_file_state *st)
{
    if (!st || !st->name[0]) return "";
    if (st->held) return could_open(st->name, st->mkdirs) ? st->name : "";
    return __atomic_load_n(&st->open_fails, __ATOMIC_RELAXED) == 0 ? st->name : "";
}

int log_file_dir_set(log_file_state *st, const char *dir)
{
    if (!st || !dir) return -1;
    // Made by the open of a file in it, by the walk that judges each step
    // (nothing is made through a way that the open would refuse), at
    // every attempt: not here, where the file may never be opened (-p).
    str_safecopy_trunc(st->dir, sizeof st->dir, dir);
    return 0;
}

int log_file_make_dirs(const log_file_state *st)
{
    if (!st->mkdirs) return 0;
    char dir[4096];
    str_safecopy_trunc(dir, sizeof dir, st->name);
    char *slash = strrchr(dir, '/');
    if (!slash || slash == dir) return 0;
    *slash = 0;
    return fd_make_dirs(dir);
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
    // A seek would move the console's offset too.
    return st->std_fd ? (long)fd_size(st->fd) : (long)lseek(st->fd, 0, SEEK_END);
}
