#include "libpal/os/fd_follow.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Only the fields asked for are read: a query of the file times would
// make the kernel stamp the next write with a fresh time, one inode update
// per record.
bool query(int dirfd, const char *path, int flags, unsigned mask, struct statx *sx)
{
    return statx(dirfd, path, flags, mask, sx) == 0;
}

bool query_fd(int fd, unsigned mask, struct statx *sx)
{
    return query(fd, "", AT_EMPTY_PATH, mask, sx);
}

u64 dev_of(const struct statx &sx)
{
    return (u64)sx.stx_dev_major << 32 | sx.stx_dev_minor;
}

}  // namespace

bool fd_follow_start(fd_follow *f, int fd, u64 *size)
{
    struct statx sx;
    if (!query_fd(fd, STATX_INO | STATX_SIZE, &sx)) return false;
    f->dev = dev_of(sx);
    f->ino = sx.stx_ino;
    f->checked_us = 0;
    f->named_us = 0;
    if (size) *size = sx.stx_size;
    return true;
}

fd_look fd_follow_look_due(fd_follow *f, int fd, const char *name, u64 now)
{
    f->checked_us = now;
    struct statx sx;
    if (now - f->named_us < FD_FOLLOW_NAME_US) {
        if (query_fd(fd, STATX_NLINK, &sx) && sx.stx_nlink != 0) return fd_look::in_place;
    }
    f->named_us = now;
    // A device or a pipe is kept too, as long as the name leads to it.
    if (query(AT_FDCWD, name, 0, STATX_INO, &sx) && dev_of(sx) == f->dev && sx.stx_ino == f->ino)
        return fd_look::in_place;
    return fd_look::gone;
}

i64 fd_size(int fd)
{
    struct statx sx;
    return query_fd(fd, STATX_SIZE, &sx) ? (i64)sx.stx_size : -1;
}

bool fd_unlinked(int fd)
{
    struct statx sx;
    return query_fd(fd, STATX_NLINK, &sx) && sx.stx_nlink == 0;
}
