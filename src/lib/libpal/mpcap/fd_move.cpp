#include "libpal/mpcap/fd_move.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "libpal/env/malloc.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

bool pwrite_all(int fd, const char *buf, size_t n, i64 at)
{
    while (n) {
        ssize_t r = pwrite(fd, buf, n, (off_t)at);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        buf += r;
        n -= (size_t)r;
        at += r;
    }
    return true;
}

}  // namespace

bool fd_pread_all(int fd, void *buf, size_t n, i64 at)
{
    char *p = (char *)buf;
    while (n) {
        ssize_t r = pread(fd, p, n, (off_t)at);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= (size_t)r;
        at += r;
    }
    return true;
}

int fd_move_down(int fd, i64 from, i64 end, i64 to)
{
    if (fd < 0 || to < 0 || to > from || from > end) return -1;
    char small[4096];
    char *buf = (char *)os_malloc(kChunk);
    size_t chunk = buf ? kChunk : sizeof small;
    if (!buf) buf = small;
    // Positioned writes need a descriptor that does not append.
    int rc = -1;
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && fcntl(fd, F_SETFL, fl & ~O_APPEND) == 0) {
        bool ok = true;
        i64 w = to;
        for (i64 r = from; r < end && ok;) {
            size_t n = (size_t)(end - r < (i64)chunk ? end - r : (i64)chunk);
            ok = fd_pread_all(fd, buf, n, r) && pwrite_all(fd, buf, n, w);
            r += (i64)n;
            w += (i64)n;
        }
        if (ok && ftruncate(fd, (off_t)w) == 0) rc = 0;
        fcntl(fd, F_SETFL, fl);
    }
    if (buf != small) os_free(buf);
    return rc;
}
