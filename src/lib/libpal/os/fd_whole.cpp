#include "libpal/os/fd_move.h"

#include <cerrno>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Repeats a transfer until n bytes are through: io(done) moves what is left
// from byte done on and gives its count. False on an error, or with errno
// none when nothing more moves (a read at the end of the file, a write
// that takes no byte): the caller's reason is then a real one, not
// whatever errno held.
template <class Io>
bool whole(size_t n, int none, Io io)
{
    for (size_t done = 0; done < n;) {
        ssize_t r = io(done);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) errno = none;
        if (r <= 0) return false;
        done += (size_t)r;
    }
    return true;
}

}  // namespace

bool fd_pwrite_all(int fd, const void *buf, size_t n, i64 at, i64 *wrote)
{
    const char *p = (const char *)buf;
    return whole(n, ENOSPC, [&](size_t d) {
        ssize_t r = pwrite(fd, p + d, n - d, (off_t)(at + (i64)d));
        if (r > 0) *wrote += r;
        return r;
    });
}

bool fd_pread_all(int fd, void *buf, size_t n, i64 at)
{
    char *p = (char *)buf;
    return whole(n, ENODATA, [&](size_t d) { return pread(fd, p + d, n - d, (off_t)(at + (i64)d)); });
}

bool fd_write_all(int fd, const void *buf, size_t n)
{
    const char *p = (const char *)buf;
    return whole(n, ENOSPC, [&](size_t d) { return write(fd, p + d, n - d); });
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
