#include "libpal/os/fd_open.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/os/os_path.h"

namespace {

constexpr char kShared[] = "in a sticky directory that others may write";

// The directory that holds path's last component; true when it is sticky
// and others may write it (its status in *dir).
bool shared_dir(const char *path, struct stat *dir)
{
    char d[PATH_MAX];
    const char *slash = strrchr(path, '/');
    size_t n = slash ? (slash == path ? 1 : (size_t)(slash - path)) : 1;
    if (n >= sizeof d) return false;
    memcpy(d, slash ? path : ".", n);
    d[n] = 0;
    return stat(d, dir) == 0 && S_ISDIR(dir->st_mode) && (dir->st_mode & S_ISVTX) && (dir->st_mode & S_IWOTH);
}

// Why a file of status sb, found in a shared directory of status dir, is
// not taken; NULL when it is.
const char *refusal(const struct stat &dir, const struct stat &sb, char *buf, size_t size)
{
    if (S_ISLNK(sb.st_mode)) snprintf(buf, size, "a symbolic link %s", kShared);
    else if (S_ISFIFO(sb.st_mode)) snprintf(buf, size, "a FIFO %s", kShared);
    else if (sb.st_uid != geteuid() && sb.st_uid != dir.st_uid)
        snprintf(buf, size, "a file of uid %u %s", (unsigned)sb.st_uid, kShared);
    else if (S_ISREG(sb.st_mode) && sb.st_nlink > 1)
        snprintf(buf, size, "a file of %u links %s", (unsigned)sb.st_nlink, kShared);
    else return nullptr;
    return buf;
}

}  // namespace

void fd_log_place_init(fd_log_place *at)
{
    at->dir = -1;
    at->real[0] = 0;
}

const char *fd_log_place_base(const fd_log_place *at)
{
    const char *slash = strrchr(at->real, '/');
    return slash ? slash + 1 : at->real;
}

void fd_log_place_close(fd_log_place *at)
{
    if (at->dir >= 0) close(at->dir);
    at->dir = -1;
}

int fd_open_log(const char *path, int flags, mode_t mode, bool mkparent, fd_log_place *at)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    struct stat dir;
    bool shared = shared_dir(path, &dir);
    // In a shared directory the file is emptied only once it is accepted.
    bool trunc = shared && (flags & O_TRUNC);
    flags = (flags & ~(trunc ? O_TRUNC : 0)) | O_CLOEXEC | O_NONBLOCK | (shared ? O_NOFOLLOW : 0);
    int fd = mkparent ? os_open_mkparent(path, flags, mode) : open(path, flags, mode);
    if (fd < 0) {
        if (shared && errno == ELOOP) errno = EACCES;  // a link at the name
        return -1;
    }
    struct stat sb;
    char why[128];
    int eno = 0, fl = fcntl(fd, F_GETFL);
    if (fstat(fd, &sb) != 0) eno = errno;
    else if (shared && refusal(dir, sb, why, sizeof why)) eno = EACCES;
    else if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) eno = errno;
    else if (trunc && ftruncate(fd, 0) != 0) eno = errno;
    if (!eno && at) {
        // The file's real path, from the descriptor, and the directory
        // that holds it.
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, at->real, sizeof at->real - 1);
        char *slash = n > 0 ? (char *)memrchr(at->real, '/', (size_t)n) : nullptr;
        if (slash) {
            at->real[n] = 0;
            *slash = 0;
            at->dir = open(slash == at->real ? "/" : at->real, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            *slash = '/';
        }
        if (at->dir < 0) eno = slash ? errno : ENOENT;
    }
    if (eno) {
        close(fd);
        errno = eno;
        return -1;
    }
    return fd;
}

const char *fd_open_refusal(const char *path, char *buf, size_t size)
{
    struct stat dir, sb;
    if (!path || !buf || !size || !shared_dir(path, &dir) || lstat(path, &sb) != 0) return nullptr;
    return refusal(dir, sb, buf, size);
}
