#include "libpal/os/fd_move.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/os/fd_follow.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

// Repeats a transfer until n bytes are through: io(done) moves what is left
// from byte done on and gives its count. False on an error or when nothing
// more moves (end of file).
template <class Io>
bool whole(size_t n, Io io)
{
    for (size_t done = 0; done < n;) {
        ssize_t r = io(done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += (size_t)r;
    }
    return true;
}

// Writes n bytes at offset at; the bytes that went out are added to *out,
// also when a later part fails.
bool pwrite_counted(int fd, const char *buf, size_t n, i64 at, i64 *out)
{
    return whole(n, [&](size_t d) {
        ssize_t r = pwrite(fd, buf + d, n - d, (off_t)(at + (i64)d));
        if (r > 0) *out += r;
        return r;
    });
}

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
        bool ok = pwrite_counted(fd, p, n, to + done, &wrote);
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

bool mark_put(int mfd, const char *text)
{
    i64 wrote = 0;
    return pwrite_counted(mfd, text, FD_HALVE_MARK_LEN, 0, &wrote);
}

// A finding about the marker, for the caller to tell. One that stays (a
// marker that cannot be removed is found again at every open) is told
// once: its text, already held, is not news again.
void note(fd_halve_mark *m, bool stays, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void note(fd_halve_mark *m, bool stays, const char *fmt, ...)
{
    char text[sizeof m->why];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (stays && strcmp(text, m->why) == 0) return;
    memcpy(m->why, text, sizeof text);
    m->news = 1;
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

// Removes the marker open at m->fd while its name still leads to it (a
// file put there by another is left alone).
void unlink_own(const fd_halve_mark *m)
{
    struct stat held, named;
    if (fstat(m->fd, &held) == 0 && fstatat(m->dir, mark_base(m), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        unlinkat(m->dir, mark_base(m), 0);
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
};

// Moves the kept part [from, end) down to to (apart) and cuts the file
// behind it. A copy that fails keeps the newest part as fd_halve says;
// rewrite, when not NULL, is put in the marker before the file is cut for
// the write-back. 0, or -1 with errno of the first failure.
int move_keeping(int fd, const fd_halve_mark *m, int mfd, const char *rewrite, i64 from, i64 end, i64 to,
                 moved *out)
{
    out->whole_from = -1;
    out->lost = 0;
    no_append na(fd);
    if (!na.ok()) return -1;
    i64 len = end - from, wrote = 0;
    if (copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)) {
        // A cut refused leaves the copy in front and the part at its
        // source, whole, with the broken rest of the older bytes between.
        bool cut = ftruncate(fd, (off_t)(to + len)) == 0;
        out->whole_from = cut ? 0 : from;
        return cut ? 0 : -1;
    }
    int eno = errno;
    if (wrote > 0) {
        // Bytes in front of the kept part were written over; the part
        // itself is whole at its source. It is read, the file cut where
        // it goes (which frees its blocks), and written back there.
        out->whole_from = from;
        char *buf = (char *)os_malloc((size_t)len);
        bool got = buf && fd_pread_all(fd, buf, (size_t)len, from);
        if (got && mfd >= 0) mark_put(mfd, rewrite);
        if (got && ftruncate(fd, (off_t)to) == 0) {
            i64 put = 0;
            pwrite_counted(fd, buf, (size_t)len, to, &put);
            out->whole_from = 0;
            if (put < len) {
                // Stopped part way: the file ends in the last whole record
                // written back, so that none is glued to the next; one
                // that cannot be cut there leaves the records whole from
                // its end on.
                i64 w = whole_end(m, fd, to, to + put);
                if (w < to || ftruncate(fd, (off_t)w) != 0) out->whole_from = to + put;
                out->lost = len - (w < to ? put : w - to);
            }
        }
        os_free(buf);
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

bool fd_pread_all(int fd, void *buf, size_t n, i64 at)
{
    char *p = (char *)buf;
    return whole(n, [&](size_t d) { return pread(fd, p + d, n - d, (off_t)(at + (i64)d)); });
}

bool fd_write_all(int fd, const void *buf, size_t n)
{
    const char *p = (const char *)buf;
    return whole(n, [&](size_t d) { return write(fd, p + d, n - d); });
}

bool fd_append_whole(int fd, const struct iovec *v, int cnt)
{
    constexpr int kMax = FD_APPEND_MAX;
    if (fd < 0 || cnt < 0 || cnt > kMax) {
        errno = EINVAL;
        return false;
    }
    // The common case first: one piece that goes out in one call.
    bool made = cnt == 1;  // r holds the result of a call made here
    ssize_t r = made ? write(fd, v->iov_base, v->iov_len) : 0;
    if (made && r == (ssize_t)v->iov_len) return true;
    struct iovec rest[kMax];
    int n = 0;
    size_t total = 0;
    for (int i = 0; i < cnt; ++i)
        if (v[i].iov_len) {
            rest[n++] = v[i];
            total += v[i].iov_len;
        }
    size_t done = 0;
    for (int i = 0; i < n;) {
        if (!made) r = n - i == 1 ? write(fd, rest[i].iov_base, rest[i].iov_len) : writev(fd, rest + i, n - i);
        made = false;
        if (r >= 0 && done + (size_t)r == total) return true;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            int e = r < 0 ? errno : ENOSPC;
            if (done) {
                // What went out lies at the end of the file: cut it off
                // and go on writing from there.
                off_t end = lseek(fd, 0, SEEK_END);
                if (end >= (off_t)done && ftruncate(fd, end - (off_t)done) == 0)
                    lseek(fd, end - (off_t)done, SEEK_SET);
            }
            errno = e;
            return false;
        }
        done += (size_t)r;
        for (size_t k = (size_t)r; k;) {
            size_t step = k < rest[i].iov_len ? k : rest[i].iov_len;
            rest[i].iov_base = (char *)rest[i].iov_base + step;
            rest[i].iov_len -= step;
            k -= step;
            if (!rest[i].iov_len) ++i;
        }
    }
    return true;
}

int fd_move_down(int fd, i64 from, i64 end, i64 to)
{
    if (fd < 0 || to < 0 || to > from || from > end) return -1;
    int rc = -1;
    {
        no_append na(fd);
        i64 wrote = 0;
        if (na.ok() && (copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)))
            rc = ftruncate(fd, (off_t)(to + end - from)) == 0 ? 0 : -1;
    }
    int eno = errno;
    lseek(fd, 0, SEEK_END);
    errno = eno;
    return rc;
}

void fd_halve_mark_init(fd_halve_mark *m, fd_whole_end whole_end, const void *arg)
{
    m->fd = -1;
    m->dir = -1;
    m->busy = 0;
    m->news = 0;
    m->pending = 0;
    m->whole_end = whole_end;
    m->whole_arg = arg;
    m->whole_from = 0;
    m->lost = 0;
    m->why[0] = 0;
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
    if (m->fd >= 0 && !m->pending) unlink_own(m);
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    if (m->dir >= 0) close(m->dir);
    m->dir = -1;
    m->pending = 0;
    m->whole_from = 0;
}

const char *fd_halve_mark_news(fd_halve_mark *m)
{
    if (!m || !m->news) return nullptr;
    m->news = 0;
    return m->why;
}

void fd_halve_mark_remove(fd_halve_mark *m)
{
    if (!m || m->dir < 0) return;
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    unlinkat(m->dir, mark_base(m), 0);  // whatever stands there: the file is new
    m->pending = 0;
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
    char text[FD_HALVE_MARK_LEN], rewrite[FD_HALVE_MARK_LEN];
    bool marked = m && m->dir >= 0 && fstat(fd, &sb) == 0 && mark_ready(m);
    if (marked) {
        fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to);
        fd_halve_mark_text(rewrite, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to, true);
        marked = mark_put(m->fd, text);
        m->pending = 1;  // whatever a marker cut short says, it is not none
    }
    moved out;
    int rc = move_keeping(fd, m, marked ? m->fd : -1, rewrite, from, end, to, &out);
    int eno = errno;
    lseek(fd, 0, SEEK_END);
    if (m) {
        if (out.whole_from >= 0) m->whole_from = out.whole_from <= to ? 0 : out.whole_from;
        m->lost = out.lost;
    }
    if (marked) {
        // The marker names what the next open must know: nothing, the
        // copy whose source is still in place, or where the whole records
        // start behind a tail that could not be cut (a part of no bytes).
        if (!m->whole_from) none_text(text);
        else if (m->whole_from != from)
            fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, m->whole_from, m->whole_from, to);
        if (!m->whole_from || m->whole_from != from || out.whole_from < 0) mark_put(m->fd, text);
        m->pending = m->whole_from != 0;
    } else if (m && m->fd >= 0 && m->pending && !m->whole_from) {
        none_text(text);
        m->pending = !mark_put(m->fd, text);
    }
    errno = eno;
    return rc == 0 ? (marked ? 1 : 0) : -1;
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

// A write-back that a kill cut short: the file cut at to holds the first
// size - to bytes of the part of len bytes. It is cut to its last whole
// record and the loss said.
void mend_rewrite(int fd, fd_halve_mark *m, i64 to, i64 size, i64 len)
{
    i64 w = whole_end(m, fd, to, size);
    if (w < to || ftruncate(fd, (off_t)w) != 0) w = to;
    int n = (int)strlen(m->path) - (int)sizeof FD_HALVE_MARK_SUFFIX + 1;
    note(m, false, "a halving of %.*s was cut short while its newest part was written back: %lld bytes of it were lost",
         n, m->path, (long long)(len - (w - to)));
    lseek(fd, 0, SEEK_END);
}

}  // namespace

int fd_halve_resume(int fd, fd_halve_mark *m)
{
    if (fd < 0 || !m || m->dir < 0) return 0;
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
    struct stat ms;
    const char *bad = fstat(mfd, &ms) != 0 ? "its status cannot be read" : not_own(ms, why, sizeof why);
    if (bad) {
        close(mfd);
        refuse(m, bad);
        return 0;
    }
    char text[FD_HALVE_MARK_LEN + 2], want[FD_HALVE_MARK_LEN];
    ssize_t n = pread(mfd, text, sizeof text - 1, 0);
    text[n > 0 ? n : 0] = 0;
    m->why[0] = 0;
    // The marker holds only when it reads back as it would be written: one
    // that was cut short or written over in part does not.
    char verb[8] = "";
    unsigned long long dev = 0, ino = 0;
    long long from = 0, end = 0, to = 0;
    struct stat sb;
    bool pending = n == (ssize_t)FD_HALVE_MARK_LEN &&
                   sscanf(text, "%7s %llu %llu %lld %lld %lld", verb, &dev, &ino, &from, &end, &to) == 6 &&
                   (!strcmp(verb, "halving") || !strcmp(verb, "rewrite")) && apart(from, end, to);
    bool rewrite = pending && verb[0] == 'r';
    if (pending) {
        fd_halve_mark_text(want, dev, ino, from, end, to, rewrite);
        pending = memcmp(text, want, FD_HALVE_MARK_LEN) == 0;
    }
    if (pending && (fstat(fd, &sb) != 0 || (u64)sb.st_dev != dev || (u64)sb.st_ino != ino)) {
        close(mfd);
        refuse(m, "it names another file");
        return 0;
    }
    // By the file's size: the copy's source still in place (not cut yet)
    // and nothing behind it: the copy is made again, under this marker;
    // records behind it (a cut that was refused): they are whole from the
    // part's start on, and the marker stays until a halving succeeds; as
    // long as the kept part: it was cut, and is whole; a write-back cut
    // short: cut to its last whole record. Any other size does not fit
    // the marker, which is not followed.
    i64 len = end - from;
    if (pending && sb.st_size >= end) {
        // The marker is taken over (no moment without one while work is
        // pending) until the work is done.
        if (m->fd >= 0) close(m->fd);
        m->fd = mfd;
        m->pending = 1;
        m->whole_from = from;
        if (sb.st_size > end || from == end) return 0;
        if (fd_halve(fd, m, from, end, to) < 0) return -1;
        unlink_own(m);
        close(m->fd);
        m->fd = -1;
        return 1;
    }
    close(mfd);
    int rc = 0;
    if (pending && sb.st_size == to + len) {
        rc = 1;
    } else if (rewrite && sb.st_size >= to && sb.st_size < to + len) {
        mend_rewrite(fd, m, to, sb.st_size, len);
        rc = 1;
    }
    unlinkat(m->dir, mark_base(m), 0);
    return rc;
}
