#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/os/os_con.h"

namespace {

// Writes all pieces to a descriptor with as few system calls as it takes
// (a plain write for one piece), retried on interruption and short writes.
void write_all(int fd, struct iovec *iov, int cnt)
{
    while (cnt > 0) {
        ssize_t n = cnt == 1 ? write(fd, iov->iov_base, iov->iov_len) : writev(fd, iov, cnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        while (cnt > 0 && (size_t)n >= iov->iov_len) {
            n -= (ssize_t)iov->iov_len;
            ++iov;
            --cnt;
        }
        if (cnt > 0) {
            iov->iov_base = (char *)iov->iov_base + n;
            iov->iov_len -= (size_t)n;
        }
    }
}

}  // namespace

// The console writer: the line, wrapped in its level's colour when the
// context's colour flag is set, goes to standard error in one write.
int log_con_write(struct log2 *ctx, int level, const char *, const char *line, int)
{
    int code = (ctx->flags.load(std::memory_order_relaxed) & LOG_F_COLOUR) ? os_level_color(level) : 0;
    struct iovec iov[3];
    int cnt = 0;
    if (code) {
        const char *seq = os_color_code(code);
        iov[cnt++] = {(void *)seq, strlen(seq)};
    }
    iov[cnt++] = {(void *)line, strlen(line)};
    if (code) iov[cnt++] = {(void *)"\033[0m", 4};
    write_all(STDERR_FILENO, iov, cnt);
    return 0;
}
