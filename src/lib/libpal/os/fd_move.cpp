#include "libpal/os/fd_move.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/os/fd_follow.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

// A copy buffer: kChunk bytes of the heap, or a small one of its own when
// none can be had.
struct chunk_buf {
    char small[4096];
    char *p;
    size_t n;
    chunk_buf() : p((char *)os_malloc(kChunk)), n(p ? kChunk : sizeof small)
    {
        if (!p) p = small;
    }
    ~chunk_buf()
    {
        if (p != small) os_free(p);
    }
    chunk_buf(const chunk_buf &) = delete;
    chunk_buf &operator=(const chunk_buf &) = delete;
};

// Copies the bytes [from, end) of in through b: put(data, n, offset of the
// data in the copy) writes them. False when a read or a put fails.
template <class Put>
bool copy_range(int in, i64 from, i64 end, chunk_buf &b, i64 done, Put put)
{
    for (i64 r = from; r < end;) {
        size_t n = (size_t)(end - r < (i64)b.n ? end - r : (i64)b.n);
        if (!fd_pread_all(in, b.p, n, r) || !put(b.p, n, done)) return false;
        r += (i64)n;
        done += (i64)n;
    }
    return true;
}

// Copies [from, end) of fd down to to through the page cache, without the
// bytes passing through this process; only where the parts do not meet.
// *out counts the bytes written at to. False (errno set) when the system
// cannot (an older kernel, a file system without it) or the copy fails:
// the caller copies them itself, from the start.
bool copy_in_kernel(int fd, i64 from, i64 end, i64 to, i64 *out)
{
    if (to + (end - from) > from) {
        errno = EINVAL;
        return false;
    }
    loff_t in = from, at = to;
    while (in < end) {
        ssize_t r = copy_file_range(fd, &in, fd, &at, (size_t)(end - in), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) errno = EIO;  // the file ends before the part does
        if (r <= 0) return false;
        if (at - to > *out) *out = at - to;
    }
    return true;
}

// The same through a buffer of this process.
bool copy_through(int fd, i64 from, i64 end, i64 to, i64 *out)
{
    chunk_buf b;
    auto put = [fd, to, out](const char *p, size_t n, i64 done) {
        i64 wrote = 0;
        bool ok = fd_pwrite_all(fd, p, n, to + done, &wrote);
        if (done + wrote > *out) *out = done + wrote;
        return ok;
    };
    return copy_range(fd, from, end, b, 0, put);
}

// The descriptor without O_APPEND while it lives (positioned writes need
// one that does not append), as it was after. A flag that cannot be read
// or changed fails the halving before it begins; one that cannot be put
// back is tried twice, and the halving leaves the descriptor at the file's
// end anyway, so that the next record lands there.
struct no_append {
    int fd, fl;
    explicit no_append(int f) : fd(f), fl(fcntl(f, F_GETFL))
    {
        if (fl >= 0 && (fl & O_APPEND) && fcntl(fd, F_SETFL, fl & ~O_APPEND) != 0) fl = -1;
    }
    ~no_append()
    {
        if (fl >= 0 && (fl & O_APPEND) && fcntl(fd, F_SETFL, fl) != 0) fcntl(fd, F_SETFL, fl);
    }
    bool ok() const { return fl >= 0; }
    no_append(const no_append &) = delete;
    no_append &operator=(const no_append &) = delete;
};

// The marker's name in its directory.
const char *mark_base(const fd_halve_mark *m)
{
    const char *slash = strrchr(m->path, '/');
    return slash ? slash + 1 : m->path;
}

// The marker's text while no copy is pending.
void none_text(char out[FD_HALVE_MARK_LEN])
{
    memset(out, ' ', FD_HALVE_MARK_LEN - 1);
    memcpy(out, "none", 4);
    out[FD_HALVE_MARK_LEN - 1] = '\n';
}

// The marker names work that is not done.
bool pending(const fd_halve_mark *m)
{
    return m->fd >= 0 && m->text[0] && memcmp(m->text, "none", 4) != 0;
}

// A finding about the marker, for the caller to tell. One that stays (a
// marker that cannot be removed is found again at every open) is told
// once: its text, already held, is not news again.
void vnote(fd_halve_mark *m, bool stays, const char *fmt, va_list ap)
{
    char text[sizeof m->why];
    vsnprintf(text, sizeof text, fmt, ap);
    if (stays && strcmp(text, m->why) == 0) return;
    memcpy(m->why, text, sizeof text);
    m->news = 1;
}

void note(fd_halve_mark *m, bool stays, const char *fmt, ...) OS_PRINTF(3, 4);
void note(fd_halve_mark *m, bool stays, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(m, stays, fmt, ap);
    va_end(ap);
}

// Removes the marker open at mfd while its name still leads to it (a file
// put there by another is left alone); true when it is gone.
bool unlink_held(const fd_halve_mark *m, int mfd)
{
    struct stat held, named;
    if (fstat(mfd, &held) != 0) return false;
    if (fstatat(m->dir, mark_base(m), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || held.st_nlink == 0;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return held.st_nlink == 0;
    return unlinkat(m->dir, mark_base(m), 0) == 0 || errno == ENOENT;
}

// A marker that is not followed: removed where the program may, and said.
void refuse(fd_halve_mark *m, const char *why)
{
    char et[128];
    int eno = unlinkat(m->dir, mark_base(m), 0) == 0 ? 0 : errno;
    if (!eno || eno == ENOENT)
        note(m, false, "marker %s not followed: %s; removed", m->path, why);
    else
        note(m, true, "marker %s not followed: %s; it cannot be removed (%s), the file is halved without a marker",
             m->path, why, os_errno_str(eno, et, sizeof et));
}

// The marker held at m->fd no longer says what holds, since its text
// could not be brought up to date (eno): it is removed, or emptied where
// it cannot be (an empty marker names nothing), and that is said.
void mark_drop(fd_halve_mark *m, int eno)
{
    char et[128];
    os_errno_str(eno, et, sizeof et);
    if (unlink_held(m, m->fd)) {
        note(m, false, "marker %s could not be written (%s); removed", m->path, et);
        close(m->fd);
        m->fd = -1;
    } else if (ftruncate(m->fd, 0) == 0) {
        note(m, false, "marker %s could not be written (%s); emptied", m->path, et);
    } else {
        note(m, false, "marker %s could not be written (%s) nor removed", m->path, et);
        return;
    }
    m->text[0] = 0;
}

// Puts text in the marker. False (errno set) when it cannot: the marker
// then holds what it held before (a write that stopped part way is put
// back; when that fails too, the marker is dropped).
bool mark_put(fd_halve_mark *m, const char *text)
{
    i64 wrote = 0;
    if (fd_pwrite_all(m->fd, text, FD_HALVE_MARK_LEN, 0, &wrote)) {
        memcpy(m->text, text, FD_HALVE_MARK_LEN);
        return true;
    }
    int eno = errno;
    if (wrote > 0) {
        i64 again = 0;
        bool back = m->text[0] ? fd_pwrite_all(m->fd, m->text, FD_HALVE_MARK_LEN, 0, &again) : ftruncate(m->fd, 0) == 0;
        if (!back) mark_drop(m, eno);
    }
    errno = eno;
    return false;
}

// Brings the marker's text to what holds now: what it held before no
// longer does, so a marker that cannot take the new text is dropped.
void mark_settle(fd_halve_mark *m, const char *text)
{
    if (m->fd < 0 || memcmp(m->text, text, FD_HALVE_MARK_LEN) == 0) return;
    if (!mark_put(m, text) && m->fd >= 0 && m->text[0]) mark_drop(m, errno);
}

// Why a marker of status sb is not the program's own (into buf), or NULL.
const char *not_own(const struct stat &sb, char *buf, size_t size)
{
    if (S_ISLNK(sb.st_mode)) snprintf(buf, size, "a symbolic link");
    else if (S_ISFIFO(sb.st_mode)) snprintf(buf, size, "a FIFO");
    else if (!S_ISREG(sb.st_mode)) snprintf(buf, size, "not a regular file");
    else if (sb.st_nlink != 1) snprintf(buf, size, "a file of %u links", (unsigned)sb.st_nlink);
    else if (sb.st_uid != geteuid()) snprintf(buf, size, "a file of uid %u", (unsigned)sb.st_uid);
    else if (sb.st_mode & (S_IWGRP | S_IWOTH)) snprintf(buf, size, "writable by group or others");
    else return nullptr;
    return buf;
}

// The marker, open for writing: the one kept open, unless it has lost its
// name (removed from outside), else made anew, after whatever stood at its
// name was removed: a file found there is never taken over. False when
// none can be made there (a directory that cannot be written, a file
// there that cannot be removed, another file put there each time it was
// removed: these two are told).
bool mark_ready(fd_halve_mark *m)
{
    if (m->fd >= 0) {
        struct stat sb;
        if (fstat(m->fd, &sb) == 0 && sb.st_nlink > 0) return true;
        close(m->fd);
        m->fd = -1;
    }
    m->text[0] = 0;
    const char *base = mark_base(m);
    for (int tries = 0; tries < 3; ++tries) {
        struct stat sb;
        char why[96];
        bool found = fstatat(m->dir, base, &sb, AT_SYMLINK_NOFOLLOW) == 0;
        int eno = unlinkat(m->dir, base, 0) == 0 ? 0 : errno;
        // One of the program's own (left by a kill) goes without a word;
        // anything else found there is said.
        if (!eno && found && not_own(sb, why, sizeof why)) note(m, false, "marker %s not followed: %s; removed", m->path, why);
        if (eno && eno != ENOENT && fstatat(m->dir, base, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
            // Told once: a finding about this marker may stand already.
            char et[128];
            if (!m->why[0])
                note(m, true, "marker %s cannot be removed (%s): the file is halved without a marker", m->path,
                     os_errno_str(eno, et, sizeof et));
            return false;
        }
        m->fd = openat(m->dir, base, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (m->fd >= 0) {
            fchmod(m->fd, 0644);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    note(m, true, "marker %s not made: another file took its name each time it was removed; the file is halved "
         "without a marker", m->path);
    return false;
}

// A part that can be copied down without writing over its own bytes.
bool apart(i64 from, i64 end, i64 to)
{
    return to >= 0 && to < from && from <= end && to + (end - from) <= from;
}

// The end of the last whole record of [from, size) by m's rule.
i64 whole_end(const fd_halve_mark *m, int fd, i64 from, i64 size)
{
    return m && m->whole_end ? m->whole_end(fd, from, size, m->whole_arg) : size;
}

// What a move of the kept part came to, besides its result.
struct moved {
    i64 whole_from;  // see fd_halve_mark; -1: as it was
    i64 lost;        // bytes of the part lost
    u8 step;         // what failed
};

// The marker's texts of one halving.
struct halve_texts {
    char halving[FD_HALVE_MARK_LEN];
    char rewrite[FD_HALVE_MARK_LEN];
};

// After a copy that failed part way: the kept part [from, from + len),
// whole at its source, is read into memory, the file cut at to (which
// frees its blocks) and the part written back there, under the marker mk
// (NULL: none) saying so; without that text the part stays at its source.
void write_back(int fd, const fd_halve_mark *m, fd_halve_mark *mk, const halve_texts &tx, i64 from, i64 len,
                i64 to, moved *out)
{
    char *buf = (char *)os_malloc((size_t)len);
    bool go = buf && fd_pread_all(fd, buf, (size_t)len, from) && (!mk || mark_put(mk, tx.rewrite));
    if (go && ftruncate(fd, (off_t)to) != 0) {
        go = false;
        if (mk) mark_settle(mk, tx.halving);
    }
    if (go) {
        i64 put = 0;
        fd_pwrite_all(fd, buf, (size_t)len, to, &put);
        out->whole_from = 0;
        if (put < len) {
            // Stopped part way: the file ends in the last whole record
            // written back, so that none is glued to the next; one that
            // cannot be cut there leaves the records whole from its end on.
            i64 w = whole_end(m, fd, to, to + put);
            if (w < to || ftruncate(fd, (off_t)w) != 0) out->whole_from = to + put;
            out->lost = len - (w < to ? put : w - to);
        }
    }
    os_free(buf);
}

// Moves the kept part [from, end) down to to (apart) and cuts the file
// behind it, under the marker mk (NULL: none). A copy that fails keeps
// the newest part as fd_halve says. 0, or -1 with errno of the first
// failure.
int move_keeping(int fd, const fd_halve_mark *m, fd_halve_mark *mk, const halve_texts &tx, i64 from, i64 end,
                 i64 to, moved *out)
{
    out->whole_from = -1;
    out->lost = 0;
    out->step = FD_HALVE_COPY;
    no_append na(fd);
    if (!na.ok()) return -1;
    i64 len = end - from, wrote = 0;
    if (copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)) {
        // A cut refused leaves the copy in front and the part at its
        // source, whole, with the broken rest of the older bytes between.
        bool cut = ftruncate(fd, (off_t)(to + len)) == 0;
        out->whole_from = cut ? 0 : from;
        out->step = cut ? FD_HALVE_COPY : FD_HALVE_CUT;
        return cut ? 0 : -1;
    }
    int eno = errno;
    if (wrote > 0) {
        out->whole_from = from;
        write_back(fd, m, mk, tx, from, len, to, out);
    }
    errno = eno;
    return -1;
}

int g_stopped = 0;  // fd_halve_stop was called (atomic access)

// A halving under way, told to the crash report through m->busy. The
// flag is raised before the stop is read and the report stops before it
// reads the flag, so one of them always sees the other.
struct busy_guard {
    fd_halve_mark *m;
    bool stopped;
    explicit busy_guard(fd_halve_mark *mk) : m(mk)
    {
        if (m) __atomic_store_n(&m->busy, 1, __ATOMIC_SEQ_CST);
        stopped = __atomic_load_n(&g_stopped, __ATOMIC_SEQ_CST) != 0;
    }
    ~busy_guard()
    {
        if (m) __atomic_store_n(&m->busy, 0, __ATOMIC_SEQ_CST);
    }
    busy_guard(const busy_guard &) = delete;
    busy_guard &operator=(const busy_guard &) = delete;
};

}  // namespace

void fd_halve_mark_init(fd_halve_mark *m, fd_whole_end whole_end, const void *arg)
{
    m->fd = -1;
    m->dir = -1;
    m->busy = 0;
    m->news = 0;
    m->step = FD_HALVE_COPY;
    m->whole_end = whole_end;
    m->whole_arg = arg;
    m->whole_from = 0;
    m->lost = 0;
    m->why[0] = 0;
    m->text[0] = 0;
    m->path[0] = 0;
}

void fd_halve_mark_place(fd_halve_mark *m, fd_log_place *at)
{
    fd_halve_mark_close(m);
    int n = snprintf(m->path, sizeof m->path, "%s%s", at->real, FD_HALVE_MARK_SUFFIX);
    if (n > 0 && (size_t)n < sizeof m->path && at->dir >= 0) {
        m->dir = at->dir;
        at->dir = -1;
    } else {
        m->path[0] = 0;
    }
}

void fd_halve_mark_close(fd_halve_mark *m)
{
    if (!m) return;
    if (m->fd >= 0 && !pending(m)) unlink_held(m, m->fd);
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    if (m->dir >= 0) close(m->dir);
    m->dir = -1;
    m->text[0] = 0;
    m->whole_from = 0;
}

const char *fd_halve_mark_news(fd_halve_mark *m)
{
    if (!m || !m->news) return nullptr;
    m->news = 0;
    return m->why;
}

void fd_halve_mark_note(fd_halve_mark *m, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(m, false, fmt, ap);
    va_end(ap);
}

void fd_halve_mark_remove(fd_halve_mark *m)
{
    if (!m || m->dir < 0) return;
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    unlinkat(m->dir, mark_base(m), 0);  // whatever stands there: the file is new
    m->text[0] = 0;
    m->whole_from = 0;
}

void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to, bool rewrite)
{
    none_text(out);
    int n = snprintf(out, FD_HALVE_MARK_LEN, "%s %llu %llu %lld %lld %lld", rewrite ? "rewrite" : "halving",
                     (unsigned long long)dev, (unsigned long long)ino, (long long)from, (long long)end,
                     (long long)to);
    out[n] = ' ';  // n < 110: five numbers of at most 20 characters
    out[FD_HALVE_MARK_LEN - 1] = '\n';
}

void fd_halve_stop(void)
{
    __atomic_store_n(&g_stopped, 1, __ATOMIC_SEQ_CST);
}

bool fd_halve_busy(const fd_halve_mark *m)
{
    return m && __atomic_load_n(&m->busy, __ATOMIC_SEQ_CST) != 0;
}

int fd_halve(int fd, fd_halve_mark *m, i64 from, i64 end, i64 to)
{
    if (m) {
        m->lost = 0;
        m->step = FD_HALVE_COPY;
    }
    if (fd < 0 || !apart(from, end, to)) {
        errno = EINVAL;
        return -1;
    }
    busy_guard busy(m);
    if (busy.stopped) {
        errno = ECANCELED;
        return -1;
    }
    struct stat sb;
    halve_texts tx;
    fd_halve_mark *mk = m && m->dir >= 0 && fstat(fd, &sb) == 0 && mark_ready(m) ? m : nullptr;
    if (mk) {
        fd_halve_mark_text(tx.halving, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to);
        fd_halve_mark_text(tx.rewrite, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to, true);
        // No copy without the marker that names it. One that names nothing
        // yet (just made, or "none") and cannot take the text (a full disk
        // has no block for it) is let go, and said: the halving goes on
        // without a marker, as where none can be made, since a full disk is
        // when it is needed most. One that names pending work stays as it is.
        if (!mark_put(mk, tx.halving)) {
            if (pending(mk)) {
                m->step = FD_HALVE_MARK;
                return -1;
            }
            mark_drop(mk, errno);
            mk = nullptr;
        }
    }
    moved out;
    int rc = move_keeping(fd, m, mk, tx, from, end, to, &out);
    int eno = errno;
    lseek(fd, 0, SEEK_END);
    if (m) {
        if (out.whole_from >= 0) m->whole_from = out.whole_from <= to ? 0 : out.whole_from;
        m->lost = out.lost;
        m->step = out.step;
    }
    // The marker says what the next open must know: nothing, the copy
    // whose source is still in place, or where the whole records start
    // behind a tail that could not be cut (a part of no bytes).
    char text[FD_HALVE_MARK_LEN];
    if (mk && m->whole_from == from) {
        mark_settle(m, tx.halving);
    } else if (mk && m->whole_from) {
        fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, m->whole_from, m->whole_from, to);
        mark_settle(m, text);
    } else if (m && !m->whole_from) {
        none_text(text);
        mark_settle(m, text);
    }
    errno = eno;
    return rc == 0 ? (mk ? 1 : 0) : -1;
}

namespace {

// The marker of m, open: for reading and writing when it may be (a
// marker followed is taken over for the halving that finishes its work),
// else for reading, to say why it is not followed; never blocking, never
// through a link.
int open_mark(const fd_halve_mark *m)
{
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int mfd = openat(m->dir, mark_base(m), O_RDWR | kFlags);
    if (mfd < 0 && errno == EACCES) mfd = openat(m->dir, mark_base(m), O_RDONLY | kFlags);
    return mfd;
}

// What a marker says: work pending or none.
struct mark_says {
    bool work;
    bool rewrite;
    u64 dev, ino;
    i64 from, end, to;
};

// Reads the text of a marker (n bytes): true when it is one the program
// writes, byte for byte (a marker cut short or written over in part is
// not), or empty (made, not written yet).
bool parse_mark(const char *text, ssize_t n, mark_says *out)
{
    *out = {};
    char want[FD_HALVE_MARK_LEN];
    none_text(want);
    if (n == 0 || (n == (ssize_t)FD_HALVE_MARK_LEN && memcmp(text, want, FD_HALVE_MARK_LEN) == 0)) return true;
    char verb[8] = "";
    unsigned long long dev = 0, ino = 0;
    long long from = 0, end = 0, to = 0;
    if (n != (ssize_t)FD_HALVE_MARK_LEN ||
        sscanf(text, "%7s %llu %llu %lld %lld %lld", verb, &dev, &ino, &from, &end, &to) != 6)
        return false;
    bool rewrite = strcmp(verb, "rewrite") == 0;
    if ((!rewrite && strcmp(verb, "halving") != 0) || !apart(from, end, to)) return false;
    fd_halve_mark_text(want, dev, ino, from, end, to, rewrite);
    if (memcmp(text, want, FD_HALVE_MARK_LEN) != 0) return false;
    *out = {true, rewrite, dev, ino, from, end, to};
    return true;
}

// Why the pending work r does not fit the file of status sb (into buf),
// or NULL when it does: it names the file, whose size is one a halving
// leaves: the copy's source still in place (end or more), or the file cut
// at to and the part written back (to + len), or written back in part.
const char *misfit(const mark_says &r, const struct stat &sb, char *buf, size_t size)
{
    if ((u64)sb.st_dev != r.dev || (u64)sb.st_ino != r.ino) return "it names another file";
    i64 s = (i64)sb.st_size;
    if (s >= r.end || (s >= r.to && s <= r.to + (r.end - r.from))) return nullptr;
    snprintf(buf, size, "it does not fit the file's size (%lld bytes)", (long long)s);
    return buf;
}

// A write-back that a kill cut short: the file cut at to holds the first
// size - to bytes of the part of len bytes. It is cut to its last whole
// record and the loss said: the bytes that are not in whole records.
void mend_write_back(int fd, fd_halve_mark *m, i64 to, i64 size, i64 len)
{
    // A torn tail that cannot be cut off is lost all the same.
    i64 w = whole_end(m, fd, to, size);
    if (w >= to) ftruncate(fd, (off_t)w);
    int n = (int)strlen(m->path) - (int)sizeof FD_HALVE_MARK_SUFFIX + 1;
    note(m, false, "a halving of %.*s was cut short while its newest part was written back: %lld bytes of it were lost",
         n, m->path, (long long)(len - (w >= to ? w - to : size - to)));
    lseek(fd, 0, SEEK_END);
}

// Does the work r names in the file of size bytes, under the marker open
// at mfd; as fd_halve_resume.
int act(int fd, fd_halve_mark *m, int mfd, const mark_says &r, const char *text, i64 size)
{
    i64 len = r.end - r.from;
    if (size >= r.end) {
        // The copy's source is still in place: the marker is taken over
        // (no moment without one while work is pending). Records behind
        // it (a cut that was refused) are whole from the part's start on,
        // and the marker stays until a halving succeeds; with none behind
        // it the copy is made again.
        if (m->fd >= 0) close(m->fd);
        m->fd = mfd;
        memcpy(m->text, text, FD_HALVE_MARK_LEN);
        m->whole_from = r.from;
        if (size > r.end || len == 0) return 0;
        if (fd_halve(fd, m, r.from, r.end, r.to) < 0) return -1;
        unlink_held(m, m->fd);
        close(m->fd);
        m->fd = -1;
        m->text[0] = 0;
        return 1;
    }
    if (size < r.to + len) mend_write_back(fd, m, r.to, size, len);
    unlink_held(m, mfd);
    close(mfd);
    return 1;
}

}  // namespace

int fd_halve_resume(int fd, fd_halve_mark *m)
{
    if (fd < 0 || !m || m->dir < 0) return 0;
    // Read the marker, as far as it is the program's own.
    int mfd = open_mark(m);
    char why[96], et[128];
    if (mfd < 0) {
        if (errno == ENOENT) {
            m->why[0] = 0;  // nothing stands there now
        } else if (errno == ELOOP) {
            refuse(m, "a symbolic link");
        } else {
            snprintf(why, sizeof why, "it cannot be opened (%s)", os_errno_str(errno, et, sizeof et));
            refuse(m, why);
        }
        return 0;
    }
    struct stat ms, sb;
    char text[FD_HALVE_MARK_LEN + 2];
    const char *bad = fstat(mfd, &ms) != 0 ? "its status cannot be read" : not_own(ms, why, sizeof why);
    if (!bad && (fcntl(mfd, F_GETFL) & O_ACCMODE) == O_RDONLY) bad = "it cannot be opened for writing";
    ssize_t n = bad ? 0 : pread(mfd, text, sizeof text - 1, 0);
    if (n < 0) {
        snprintf(why, sizeof why, "it cannot be read (%s)", os_errno_str(errno, et, sizeof et));
        bad = why;
    }
    // Check it: the program's text, naming this file at a size a halving
    // leaves. Nothing of a marker that fails is used.
    mark_says r;
    if (!bad) {
        text[n] = 0;
        if (!parse_mark(text, n, &r)) bad = "it holds no marker text";
        else if (r.work && fstat(fd, &sb) != 0) bad = "the file's status cannot be read";
        else if (r.work) bad = misfit(r, sb, why, sizeof why);
    }
    if (bad) {
        close(mfd);
        refuse(m, bad);
        return 0;
    }
    m->why[0] = 0;
    // Act on it.
    if (!r.work) {
        unlink_held(m, mfd);
        close(mfd);
        return 0;
    }
    return act(fd, m, mfd, r, text, (i64)sb.st_size);
}

bool fd_halve_tally_wait(const fd_halve_tally *t)
{
    return t->retry_us && os_mono_us() < t->retry_us;
}

void fd_halve_tally_note(fd_halve_tally *t, int rc, int eno, const fd_halve_mark *m)
{
    bool failing = t->retry_us != 0;
    t->retry_us = 0;
    if (rc >= 0) return;
    u64 lost = m ? (u64)m->lost : 0;
    if (!t->fails++) {
        t->eno = eno;
        t->step = m ? m->step : FD_HALVE_COPY;
    }
    t->lost += lost;
    // On standard error: the first failure after one that did not fail,
    // and each that lost records.
    if (!failing || lost) {
        t->say_eno = eno;
        t->say_lost += lost;
    }
    t->retry_us = os_mono_us() + FD_FOLLOW_RETRY_US;
}

void fd_halve_tally_told(fd_halve_tally *t, const fd_halve_tally *told)
{
    t->fails = told && told->fails < t->fails ? t->fails - told->fails : 0;
    t->lost = t->fails && told && told->lost < t->lost ? t->lost - told->lost : 0;
}
