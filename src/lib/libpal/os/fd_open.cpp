#include "libpal/os/fd_open.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr char kShared[] = "in a sticky directory that others may write";
constexpr int kMaxLinks = 40;  // as the kernel: more is a loop (ELOOP)

// Sticky, and others may write it (as /tmp).
bool is_shared(const struct stat &dir)
{
    return S_ISDIR(dir.st_mode) && (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
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

// Why the directory of status dir at path (real) may not hold the file:
// another user (not root) could put anything at its names, and so could
// everyone in one that others may write and that is not sticky.
const char *dir_refusal(const struct stat &dir, const char *path, char *buf, size_t size)
{
    if (!*path) path = "/";
    if (dir.st_uid != geteuid() && dir.st_uid != 0)
        snprintf(buf, size, "the directory %s is owned by uid %u", path, (unsigned)dir.st_uid);
    else if ((dir.st_mode & S_IWOTH) && !(dir.st_mode & S_ISVTX))
        snprintf(buf, size, "the directory %s may be written by others and is not sticky", path);
    else return nullptr;
    return buf;
}

// Appends "/" and name to real (PATH_MAX bytes); false when it does not fit.
bool append(char *real, const char *name)
{
    size_t len = strlen(real), n = strlen(name);
    if (len + 1 + n >= PATH_MAX) return false;
    real[len] = '/';
    memcpy(real + len + 1, name, n + 1);
    return true;
}

// Opens name in cur without following it (O_PATH); a missing directory
// is made when make (mode 0755 whatever the umask; another creator may
// have been first: its entry is taken as found). Its status in *sb; -1
// with errno.
int open_step(int cur, const char *name, bool make, struct stat *sb)
{
    int fd = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && make) {
        bool made = mkdirat(cur, name, 0755) == 0;
        if (!made && errno != EEXIST) return -1;
        fd = openat(cur, name, (made ? O_RDONLY | O_DIRECTORY : O_PATH) | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && made && fstat(fd, sb) == 0 && sb->st_uid == geteuid()) fchmod(fd, 0755);
    }
    if (fd >= 0 && fstat(fd, sb) != 0) {
        int eno = errno;
        close(fd);
        errno = eno;
        return -1;
    }
    return fd;
}

// Walks path to the directory that holds its last name, a component at a
// time from "/" (or the current directory), each one opened O_PATH without
// following it, so that what is checked is what is used. Links are
// followed as the kernel follows them, but one in a shared directory only
// when it is the effective user's or the directory's owner's, and one at
// the last name there not at all; a directory that holds the last name
// must be sound (dir_refusal). make: missing directories are made.
// at->dir gets the holding directory, at->real the file's real path, *dir
// the holding directory's status; 0. Else -1 with errno and nothing open;
// a refusal is EACCES with its reason in why (empty otherwise). A last
// name that is a link of /proc naming no path (/dev/stdout on a pipe:
// "pipe:[N]") is left for the open to follow: *magic is set.
int walk(const char *path, bool make, fd_log_place *at, struct stat *dir, char *why, size_t size, bool *magic)
{
    char rest[PATH_MAX], spliced[PATH_MAX];
    char *real = at->real;
    int cur = -1, links = 0;
    auto fail = [&](int eno) {
        if (cur >= 0) close(cur);
        errno = eno;
        return -1;
    };
    // The walk starts at "/" (real "") or at the current directory.
    auto restart = [&](const char *from) {
        if (cur >= 0) close(cur);
        cur = open(from, O_PATH | O_DIRECTORY | O_CLOEXEC);
        return cur >= 0 && fstat(cur, dir) == 0;
    };
    why[0] = 0;
    *magic = false;
    at->dir = -1;
    real[0] = 0;
    if (strlen(path) >= sizeof rest) return fail(ENAMETOOLONG);
    strcpy(rest, path);
    if (rest[0] != '/' && !getcwd(real, PATH_MAX)) return fail(errno);
    if (!strcmp(real, "/")) real[0] = 0;
    if (!restart(rest[0] == '/' ? "/" : ".")) return fail(errno);
    for (char *p = rest;;) {
        while (*p == '/') ++p;
        char *end = strchrnul(p, '/'), *next = end;
        while (*next == '/') ++next;
        bool last = !*next;
        *end = 0;
        bool dot = !strcmp(p, "."), up = !strcmp(p, "..");
        if (last && (!*p || end != next || dot || up)) return fail(*path ? EISDIR : ENOENT);  // "/", "d/", "d/.."
        if (dot || up) {
            if (up) {
                int fd = openat(cur, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
                close(cur);
                cur = fd;
                if (fd < 0 || fstat(fd, dir) != 0) return fail(errno);
                char *slash = strrchr(real, '/');
                *(slash ? slash : real) = 0;
            }
            p = next;
            continue;
        }
        if (last && dir_refusal(*dir, real, why, size)) return fail(EACCES);
        struct stat sb;
        int fd = open_step(cur, p, make && !last, &sb);
        if (fd < 0 && errno == ENOENT && last) sb.st_mode = 0;  // the file to make
        else if (fd < 0) return fail(errno);
        bool shared = is_shared(*dir);
        if (fd >= 0 && last && shared && refusal(*dir, sb, why, size)) {
            close(fd);
            return fail(EACCES);
        }
        if (fd >= 0 && S_ISLNK(sb.st_mode)) {
            // As the kernel's protected_symlinks: in a shared directory a
            // link of another user (not the directory's owner) is not
            // followed.
            if (shared && sb.st_uid != geteuid() && sb.st_uid != dir->st_uid) {
                snprintf(why, size, "%s/%s is a symbolic link of uid %u %s", real, p, (unsigned)sb.st_uid, kShared);
                close(fd);
                return fail(EACCES);
            }
            ssize_t n = ++links > kMaxLinks ? -1 : readlinkat(fd, "", spliced, sizeof spliced);
            int eno = links > kMaxLinks ? ELOOP : n < 0 ? errno : n == 0 ? ENOENT : 0;
            close(fd);
            if (eno) return fail(eno);
            struct statfs fs;
            if (last && spliced[0] != '/' && fstatfs(cur, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
                *magic = true;
                if (!append(real, p)) return fail(ENAMETOOLONG);
                at->dir = cur;
                return 0;
            }
            // The target takes the link's place in the rest of the path.
            size_t tail = strlen(next);
            if ((size_t)n + 1 + tail >= sizeof spliced) return fail(ENAMETOOLONG);
            spliced[n] = tail ? '/' : 0;
            memcpy(spliced + n + 1, next, tail + 1);
            memcpy(rest, spliced, (size_t)n + 2 + tail);
            if (rest[0] == '/') {
                real[0] = 0;
                if (!restart("/")) return fail(errno);
            }
            p = rest;
            continue;
        }
        if (fd >= 0 && !last && !S_ISDIR(sb.st_mode)) {
            close(fd);
            return fail(ENOTDIR);
        }
        bool fits = append(real, p);
        if (!fits || last) {
            if (fd >= 0) close(fd);
            if (!fits) return fail(ENAMETOOLONG);
            at->dir = cur;
            return 0;
        }
        close(cur);
        cur = fd;
        *dir = sb;
        p = next;
    }
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
    fd_log_place own;
    fd_log_place *w = at ? at : &own;
    char why[256];
    for (int walks = 1;; ++walks) {
        struct stat dir;
        bool magic;
        if (walk(path, mkparent && (flags & O_CREAT), w, &dir, why, sizeof why, &magic) != 0) return -1;
        // In a shared directory the file is emptied only once it is
        // accepted.
        bool shared = is_shared(dir), trunc = shared && (flags & O_TRUNC);
        int fl = (flags & ~(trunc ? O_TRUNC : 0)) | (magic ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC;
        int fd = openat(w->dir, fd_log_place_base(w), fl, mode), eno = fd < 0 ? errno : 0;
        struct stat sb;
        if (fd >= 0) {
            // Non-blocking only until its type is known (a FIFO elsewhere
            // is then written as before).
            fl = fcntl(fd, F_GETFL);
            if (fstat(fd, &sb) != 0) eno = errno;
            else if (shared && refusal(dir, sb, why, sizeof why)) eno = EACCES;
            else if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) eno = errno;
            else if (trunc && ftruncate(fd, 0) != 0) eno = errno;
        }
        if (!eno) {
            if (!at) fd_log_place_close(w);
            return fd;
        }
        if (fd >= 0) close(fd);
        fd_log_place_close(w);
        // The name became a link after the walk looked at it: a link is
        // refused in a shared directory, elsewhere it is walked once more.
        if (eno == ELOOP && !shared && walks == 1) continue;
        errno = eno == ELOOP && shared ? EACCES : eno;
        return -1;
    }
}

const char *fd_open_refusal(const char *path, char *buf, size_t size)
{
    if (!path || !buf || !size) return nullptr;
    fd_log_place at;
    struct stat dir;
    bool magic;
    if (walk(path, false, &at, &dir, buf, size, &magic) == 0) {
        fd_log_place_close(&at);
        return nullptr;
    }
    return buf[0] ? buf : nullptr;
}
