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
// one that does not append), as it was after.
struct no_append {
    int fd, fl;
    explicit no_append(int f) : fd(f), fl(fcntl(f, F_GETFL))
    {
        if (fl >= 0 && (fl & O_APPEND) && fcntl(fd, F_SETFL, fl & ~O_APPEND) != 0) fl = -1;
    }
    ~no_append()
    {
        if (fl >= 0 && (fl & O_APPEND)) fcntl(fd, F_SETFL, fl);
    }
    bool ok() const { return fl >= 0; }
    no_append(const no_append &) = delete;
    no_append &operator=(const no_append &) = delete;
};

// The marker's name: the file's real name (its links resolved, so that
// every name of the file finds the one marker) and FD_HALVE_MARK_SUFFIX.
// False when it does not fit.
bool mark_name(const char *name, char *out, size_t size)
{
    if (!name) return false;
    char real[PATH_MAX];
    int n = snprintf(out, size, "%s%s", realpath(name, real) ? real : name, FD_HALVE_MARK_SUFFIX);
    return n > 0 && (size_t)n < size;
}
using mark_path = char[PATH_MAX + sizeof FD_HALVE_MARK_SUFFIX];

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
    if (!m) return;
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
void refuse(fd_halve_mark *m, const char *path, const char *why)
{
    char et[128];
    int eno = unlink(path) == 0 ? 0 : errno;
    if (!eno || eno == ENOENT)
        note(m, false, "marker %s not followed: %s; removed", path, why);
    else
        note(m, true, "marker %s not followed: %s; it cannot be removed (%s), the file is halved without a marker",
             path, why, os_errno_str(eno, et, sizeof et));
}

// Why the marker open at mfd is not the program's own (into buf), or NULL.
const char *not_own(int mfd, char *buf, size_t size)
{
    struct stat sb;
    if (fstat(mfd, &sb) != 0) snprintf(buf, size, "its status cannot be read");
    else if (S_ISFIFO(sb.st_mode)) snprintf(buf, size, "a FIFO");
    else if (!S_ISREG(sb.st_mode)) snprintf(buf, size, "not a regular file");
    else if (sb.st_nlink != 1) snprintf(buf, size, "a file of %u links", (unsigned)sb.st_nlink);
    else if (sb.st_uid != geteuid()) snprintf(buf, size, "a file of uid %u", (unsigned)sb.st_uid);
    else if (sb.st_mode & (S_IWGRP | S_IWOTH)) snprintf(buf, size, "writable by group or others");
    else return nullptr;
    return buf;
}

// The marker of name, open for writing: the one kept open, unless it has
// lost its name (removed from outside), else made anew, after whatever
// stood at its name was removed: a file found there is never taken over.
// False when none can be made there (a directory that cannot be written,
// a file there that cannot be removed, one put there meanwhile).
bool mark_ready(fd_halve_mark *m, const char *name)
{
    if (m->fd >= 0) {
        struct stat sb;
        if (fstat(m->fd, &sb) == 0 && sb.st_nlink > 0) return true;
        close(m->fd);
        m->fd = -1;
    }
    mark_path path;
    if (!mark_name(name, path, sizeof path)) return false;
    struct stat sb;
    int eno = unlink(path) == 0 ? 0 : errno;
    if (eno && eno != ENOENT && lstat(path, &sb) == 0) {
        // Told once: a finding about this marker may stand already.
        char et[128];
        if (!m->why[0])
            note(m, true, "marker %s cannot be removed (%s): the file is halved without a marker", path,
                 os_errno_str(eno, et, sizeof et));
        return false;
    }
    m->fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (m->fd >= 0) fchmod(m->fd, 0644);
    return m->fd >= 0;
}

// Moves the kept part [from, end) down to to (apart) and cuts the file
// behind it. A copy that fails keeps the newest part as fd_halve says. 0,
// or -1 with errno of the first failure; *left: the front was written over
// and nothing could be cut, so the copy's source is still in place for
// the next open to finish the copy (the marker stays pending).
int move_keeping(int fd, i64 from, i64 end, i64 to, bool *left)
{
    *left = false;
    no_append na(fd);
    if (!na.ok()) return -1;
    i64 len = end - from, wrote = 0;
    if (copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)) {
        if (ftruncate(fd, (off_t)(to + len)) == 0) return 0;
        *left = true;
        return -1;
    }
    int eno = errno;
    if (wrote > 0) {
        // Bytes in front of the kept part were written over; the part
        // itself is whole at its source. It is read, the file cut where
        // it goes (which frees its blocks), and written back there: a
        // write that fails too leaves the file ending behind what it wrote.
        char *buf = (char *)os_malloc((size_t)len);
        i64 put = 0;
        if (buf && fd_pread_all(fd, buf, (size_t)len, from) && ftruncate(fd, (off_t)to) == 0)
            pwrite_counted(fd, buf, (size_t)len, to, &put);
        else
            *left = true;
        os_free(buf);
    }
    errno = eno;
    return -1;
}

// A part that can be copied down without writing over its own bytes.
bool apart(i64 from, i64 end, i64 to)
{
    return to >= 0 && to < from && from <= end && to + (end - from) <= from;
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
    no_append na(fd);
    i64 wrote = 0;
    if (!na.ok() || !(copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)))
        return -1;
    return ftruncate(fd, (off_t)(to + end - from)) == 0 ? 0 : -1;
}

void fd_halve_mark_init(fd_halve_mark *m)
{
    m->fd = -1;
    m->busy = 0;
    m->news = 0;
    m->why[0] = 0;
}

void fd_halve_mark_close(fd_halve_mark *m, const char *name)
{
    if (!m || m->fd < 0) return;
    close(m->fd);
    m->fd = -1;
    fd_halve_mark_remove(name);
}

const char *fd_halve_mark_news(fd_halve_mark *m)
{
    if (!m || !m->news) return nullptr;
    m->news = 0;
    return m->why;
}

void fd_halve_mark_remove(const char *name)
{
    mark_path path;
    if (mark_name(name, path, sizeof path)) unlink(path);
}

void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to)
{
    none_text(out);
    int n = snprintf(out, FD_HALVE_MARK_LEN, "halving %llu %llu %lld %lld %lld", (unsigned long long)dev,
                     (unsigned long long)ino, (long long)from, (long long)end, (long long)to);
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

int fd_halve(int fd, const char *name, fd_halve_mark *m, i64 from, i64 end, i64 to)
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
    char text[FD_HALVE_MARK_LEN];
    bool marked = name && m && fstat(fd, &sb) == 0 && mark_ready(m, name);
    if (marked) {
        fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to);
        marked = mark_put(m->fd, text);
    }
    bool left;
    int rc = move_keeping(fd, from, end, to, &left);
    int eno = errno;
    // Left pending when the copy's source could not be cut off: the next
    // open finishes it.
    if (marked && !left) {
        none_text(text);
        mark_put(m->fd, text);
    }
    errno = eno;
    return rc == 0 ? (marked ? 1 : 0) : -1;
}

int fd_halve_resume(int fd, const char *name, fd_halve_mark *m)
{
    mark_path path;
    if (fd < 0 || !mark_name(name, path, sizeof path)) return 0;
    // Without blocking (a FIFO put in its place) and without following a
    // link; what it is is known before a byte is read.
    int mfd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    char why[96], et[128];
    if (mfd < 0) {
        if (errno == ENOENT) {
            if (m) m->why[0] = 0;  // nothing stands there now
        } else if (errno == ELOOP) {
            refuse(m, path, "a symbolic link");
        } else {
            snprintf(why, sizeof why, "it cannot be opened (%s)", os_errno_str(errno, et, sizeof et));
            refuse(m, path, why);
        }
        return 0;
    }
    if (const char *bad = not_own(mfd, why, sizeof why)) {
        close(mfd);
        refuse(m, path, bad);
        return 0;
    }
    char text[FD_HALVE_MARK_LEN + 2], want[FD_HALVE_MARK_LEN];
    ssize_t n = pread(mfd, text, sizeof text - 1, 0);
    close(mfd);
    text[n > 0 ? n : 0] = 0;
    if (m) m->why[0] = 0;
    // The marker holds only when it reads back as it would be written: one
    // that was cut short or written over in part does not.
    unsigned long long dev = 0, ino = 0;
    long long from = 0, end = 0, to = 0;
    struct stat sb;
    bool pending = n == (ssize_t)FD_HALVE_MARK_LEN &&
                   sscanf(text, "halving %llu %llu %lld %lld %lld", &dev, &ino, &from, &end, &to) == 5 &&
                   apart(from, end, to);
    if (pending) {
        fd_halve_mark_text(want, dev, ino, from, end, to);
        pending = memcmp(text, want, FD_HALVE_MARK_LEN) == 0;
    }
    if (pending && (fstat(fd, &sb) != 0 || (u64)sb.st_dev != dev || (u64)sb.st_ino != ino)) {
        refuse(m, path, "it names another file");
        return 0;
    }
    // The file still as long as the copy's source (not cut yet): the copy
    // is made again; as long as the kept part: it was cut, and is whole.
    // Any other size does not fit the marker, which is not followed.
    int rc = 0;
    if (pending && sb.st_size == end) {
        bool left;
        if (move_keeping(fd, from, end, to, &left) != 0) {
            // The marker stays where the source is still in place.
            if (left || fd_size(fd) == end) return -1;
            unlink(path);
            return -1;
        }
        rc = 1;
    } else if (pending && sb.st_size == to + (end - from)) {
        rc = 1;
    }
    unlink(path);
    return rc;
}
