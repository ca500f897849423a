#include "libpal/os/fd_move.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "libpal/env/malloc.h"

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

bool pwrite_all(int fd, const char *buf, size_t n, i64 at)
{
    return whole(n, [&](size_t d) { return pwrite(fd, buf + d, n - d, (off_t)(at + (i64)d)); });
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
// False when the system cannot (an older kernel, a file system without
// it): the caller copies them itself, from the start.
bool copy_in_kernel(int fd, i64 from, i64 end, i64 to)
{
    if (to + (end - from) > from) return false;
    loff_t in = from, out = to;
    while (in < end) {
        ssize_t r = copy_file_range(fd, &in, fd, &out, (size_t)(end - in), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
    }
    return true;
}

// The same through a buffer of this process.
bool copy_through(int fd, i64 from, i64 end, i64 to)
{
    chunk_buf b;
    auto put = [fd, to](const char *p, size_t n, i64 done) { return pwrite_all(fd, p, n, to + done); };
    return copy_range(fd, from, end, b, 0, put);
}

// The marker's name: the file's name and FD_HALVE_MARK_SUFFIX. False when
// it does not fit.
bool mark_name(const char *name, char *out, size_t size)
{
    int n = name ? snprintf(out, size, "%s%s", name, FD_HALVE_MARK_SUFFIX) : -1;
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
    return pwrite_all(mfd, text, FD_HALVE_MARK_LEN, 0);
}

// The marker of name, open for writing: the one kept open, unless it has
// lost its name (removed from outside), else made anew. False when none
// can be made there (a directory that cannot be written, a link in its
// place).
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
    m->fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    return m->fd >= 0;
}

// The copy and the cut. When the copy cannot be done, bytes before the
// part may have been written over: the file keeps what lies before to.
// 0 copied, 1 cut at to instead, -1 neither.
int move_or_cut(int fd, i64 from, i64 end, i64 to)
{
    if (fd_move_down(fd, from, end, to) == 0) return 0;
    return ftruncate(fd, (off_t)to) == 0 ? 1 : -1;
}

// A part that can be copied down without writing over its own bytes.
bool apart(i64 from, i64 end, i64 to)
{
    return to >= 0 && to < from && from <= end && to + (end - from) <= from;
}

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
    // Positioned writes need a descriptor that does not append.
    int rc = -1;
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && fcntl(fd, F_SETFL, fl & ~O_APPEND) == 0) {
        if (copy_in_kernel(fd, from, end, to) || copy_through(fd, from, end, to)) {
            if (ftruncate(fd, (off_t)(to + end - from)) == 0) rc = 0;
        }
        fcntl(fd, F_SETFL, fl);
    }
    return rc;
}

void fd_halve_mark_init(fd_halve_mark *m)
{
    m->fd = -1;
}

void fd_halve_mark_close(fd_halve_mark *m, const char *name)
{
    if (!m || m->fd < 0) return;
    close(m->fd);
    m->fd = -1;
    fd_halve_mark_remove(name);
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

int fd_halve(int fd, const char *name, fd_halve_mark *m, i64 from, i64 end, i64 to)
{
    if (fd < 0 || !apart(from, end, to)) return -1;
    struct stat sb;
    char text[FD_HALVE_MARK_LEN];
    bool marked = name && m && fstat(fd, &sb) == 0 && mark_ready(m, name);
    if (marked) {
        fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to);
        marked = mark_put(m->fd, text);
    }
    int rc = move_or_cut(fd, from, end, to);
    // Left pending when the file could not be cut: the next open does it.
    if (marked && rc >= 0) {
        none_text(text);
        mark_put(m->fd, text);
    }
    return rc == 0 ? (marked ? 1 : 0) : -1;
}

int fd_halve_resume(int fd, const char *name)
{
    mark_path path;
    if (fd < 0 || !mark_name(name, path, sizeof path)) return 0;
    int mfd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (mfd < 0) {
        if (errno == ELOOP) unlink(path);  // a link where the marker goes: not one
        return 0;
    }
    char text[FD_HALVE_MARK_LEN + 2], want[FD_HALVE_MARK_LEN];
    ssize_t n = pread(mfd, text, sizeof text - 1, 0);
    close(mfd);
    text[n > 0 ? n : 0] = 0;
    // The marker holds only when it reads back as it would be written: one
    // that was cut short or written over in part does not.
    unsigned long long dev = 0, ino = 0;
    long long from = 0, end = 0, to = 0;
    struct stat sb;
    bool pending = n == (ssize_t)FD_HALVE_MARK_LEN &&
                   sscanf(text, "halving %llu %llu %lld %lld %lld", &dev, &ino, &from, &end, &to) == 5 &&
                   apart(from, end, to) && fstat(fd, &sb) == 0 && (u64)sb.st_dev == dev && (u64)sb.st_ino == ino;
    if (pending) {
        fd_halve_mark_text(want, dev, ino, from, end, to);
        pending = memcmp(text, want, FD_HALVE_MARK_LEN) == 0;
    }
    // The file still as long as the copy's source (not cut yet): the copy
    // is made again; as long as the kept part: it was cut, and is whole.
    // Any other size does not fit the marker, which is not followed.
    int rc = 0;
    if (pending && sb.st_size == end) {
        int r = move_or_cut(fd, from, end, to);
        if (r < 0) return -1;  // the marker stays for the next open
        rc = r == 0 ? 1 : -1;
    } else if (pending && sb.st_size == to + (end - from)) {
        rc = 1;
    }
    unlink(path);
    return rc;
}
