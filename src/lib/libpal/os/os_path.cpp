#include "libpal/os/os_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

char *os_path_norm(const char *path, char *buf)
{
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    size_t n = strnlen(path, PATH_BUF_SIZE);
    if (n >= PATH_BUF_SIZE) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(buf, path, n + 1);
    return path_normalize(buf);
}

namespace {

// A path argument brought to its normal form on the stack.
struct npath {
    char buf[PATH_BUF_SIZE];
    const char *p;
    explicit npath(const char *path) : p(os_path_norm(path, buf)) {}
    explicit operator bool() const { return p != nullptr; }
};

// Runs call(normalised path), or fails with the copy's errno.
template <typename F>
int with_path(const char *path, F call)
{
    npath n(path);
    return n ? call(n.p) : -1;
}

template <typename F>
int with_paths(const char *a, const char *b, F call)
{
    npath na(a), nb(b);
    return na && nb ? call(na.p, nb.p) : -1;
}

int set_times_at(const char *path, const os_file_times *t, int flags)
{
    if (!t) {
        errno = EINVAL;
        return -1;
    }
    struct timespec ts[2] = {{(time_t)t->atime.sec, (long)t->atime.nsec},
                             {(time_t)t->mtime.sec, (long)t->mtime.nsec}};
    return with_path(path, [&](const char *p) { return utimensat(AT_FDCWD, p, ts, flags); });
}

}  // namespace

void os_file_stat_from(const struct stat *st, os_file_stat_rec *r)
{
    r->kind = S_ISDIR(st->st_mode) ? OS_FILE_KIND_DIR : OS_FILE_KIND_FILE;
    if (S_ISLNK(st->st_mode)) r->kind |= OS_FILE_KIND_LINK;
    r->mode = st->st_mode;
    r->uid = st->st_uid;
    r->gid = st->st_gid;
    r->size = (u64)st->st_size;
    r->atime_sec = (u64)st->st_atim.tv_sec;
    r->atime_nsec = (u64)st->st_atim.tv_nsec;
    r->mtime_sec = (u64)st->st_mtim.tv_sec;
    r->mtime_nsec = (u64)st->st_mtim.tv_nsec;
    r->ctime_sec = (u64)st->st_ctim.tv_sec;
    r->ctime_nsec = (u64)st->st_ctim.tv_nsec;
    r->nlink = (u64)st->st_nlink;
    r->dev = (u64)st->st_dev;
    r->rdev = (u64)st->st_rdev;
    r->ino = (u64)st->st_ino;
    r->blksize = (u64)st->st_blksize;
    r->blocks = (u64)st->st_blocks;
}

void os_file_touch_times(os_file_times *t)
{
    if (!t) return;
    u64 now = (u64)time(nullptr);
    t->atime = t->mtime = t->ctime = {now, 0};
}

// Fills rec from the first of the given status calls that answers.
template <typename... Calls>
static int stat_rec(const char *path, os_file_stat_rec *rec, Calls... calls)
{
    if (!rec) {
        errno = EINVAL;
        return -1;
    }
    return with_path(path, [&](const char *p) {
        struct stat st;
        if (((calls(p, &st) != 0) && ...)) return -1;
        os_file_stat_from(&st, rec);
        return 0;
    });
}

int os_path_stat(const char *path, os_file_stat_rec *rec)
{
    // A dangling link still answers, as the link.
    return stat_rec(path, rec, stat, lstat);
}

int os_path_lstat(const char *path, os_file_stat_rec *rec)
{
    return stat_rec(path, rec, lstat);
}

int os_path_rename(const char *oldpath, const char *newpath, int force)
{
    return with_paths(oldpath, newpath, [&](const char *o, const char *n) {
        int r;
        if (force) {
            r = rename(o, n);
        } else {
            // The kernel refuses an existing target without a window in
            // which another creator could be overwritten; file systems
            // without that flag get the check first.
            r = renameat2(AT_FDCWD, o, AT_FDCWD, n, RENAME_NOREPLACE);
            if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
                struct stat st;
                if (lstat(n, &st) == 0) {
                    errno = EEXIST;
                    return -1;
                }
                r = rename(o, n);
            }
        }
        if (r != 0) return r;
        os_file_times t;
        os_file_touch_times(&t);
        struct timespec ts[2] = {{(time_t)t.atime.sec, 0}, {(time_t)t.mtime.sec, 0}};
        utimensat(AT_FDCWD, n, ts, AT_SYMLINK_NOFOLLOW);
        return 0;
    });
}

int os_path_unlink(const char *path)
{
    return with_path(path, [](const char *p) { return remove(p); });
}

int os_path_mknod(const char *path, mode_t mode, dev_t dev)
{
    return with_path(path, [&](const char *p) { return mknod(p, mode, dev); });
}

int os_path_mkfifo(const char *path, mode_t mode)
{
    return with_path(path, [&](const char *p) { return mkfifo(p, mode); });
}

int os_path_symlink(const char *target, const char *linkpath)
{
    return with_paths(target, linkpath, [](const char *t, const char *l) { return symlink(t, l); });
}

int os_path_link(const char *existing, const char *newpath)
{
    return with_paths(existing, newpath, [](const char *e, const char *n) { return link(e, n); });
}

int os_path_chmod(const char *path, mode_t mode)
{
    return with_path(path, [&](const char *p) { return chmod(p, mode); });
}

int os_path_lchmod(const char *path, mode_t mode)
{
    return with_path(path, [&](const char *p) {
        return fchmodat(AT_FDCWD, p, mode, AT_SYMLINK_NOFOLLOW);
    });
}

int os_path_chown(const char *path, uid_t uid, gid_t gid)
{
    return with_path(path, [&](const char *p) { return chown(p, uid, gid); });
}

int os_path_lchown(const char *path, uid_t uid, gid_t gid)
{
    return with_path(path, [&](const char *p) { return lchown(p, uid, gid); });
}

int os_path_truncate(const char *path, i64 length)
{
    return with_path(path, [&](const char *p) { return truncate(p, (off_t)length) == 0 ? 0 : -1; });
}

int os_path_set_times(const char *path, const os_file_times *times)
{
    return set_times_at(path, times, 0);
}

int os_path_set_times_nofollow(const char *path, const os_file_times *times)
{
    return set_times_at(path, times, AT_SYMLINK_NOFOLLOW);
}

char *os_realpath(const char *path, char *buf)
{
    if (!buf) return buf;
    buf[0] = 0;
    npath n(path);
    // realpath writes at most PATH_MAX (4096) bytes.
    if (n && !realpath(n.p, buf)) buf[0] = 0;
    return buf;
}

mode_t os_umask(mode_t mask)
{
    return umask(mask);
}

int os_path_is_dir(const char *path)
{
    return with_path(path, [](const char *p) {
        struct stat st;
        if (stat(p, &st) != 0) return -1;
        return S_ISDIR(st.st_mode) ? 1 : 0;
    });
}

int os_mkdir(const char *path, mode_t mode)
{
    return with_path(path, [&](const char *p) {
        struct stat st;
        for (int tries = 0;; ++tries) {
            if (stat(p, &st) == 0) {
                if (S_ISDIR(st.st_mode)) return 0;
                errno = EACCES;
                return -1;
            }
            if (mkdir(p, mode) == 0) return 0;
            // Another creator may have been first: look again once.
            if (errno != EEXIST || tries > 0) return -1;
        }
    });
}

int os_mkdir_0755(const char *path)
{
    return os_mkdir(path, 0755);
}

int os_mkdirs(const char *path)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    char buf[PATH_BUF_SIZE];
    size_t n = strnlen(path, sizeof buf);
    if (n >= sizeof buf) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }
    memcpy(buf, path, n + 1);
    // The first character is skipped: a leading separator names the root.
    for (char *s = buf + 1; *s; ++s) {
        if (*s != '/' && *s != '\\') continue;
        *s = 0;
        if (os_access(buf, F_OK) != 0 && os_mkdir_0755(buf) != 0) return -1;
        *s = '/';
    }
    return os_mkdir_0755(buf);
}

int os_mkdir_parent(const char *path)
{
    npath n(path);
    if (!n) return -1;
    char *cut = strrchr(n.buf, '/');
    if (!cut) {
        errno = EINVAL;
        return -1;
    }
    // The parent of "/x" is the root itself.
    cut[cut == n.buf ? 1 : 0] = 0;
    return os_mkdirs(n.buf);
}

int os_rmdir(const char *path)
{
    return with_path(path, [](const char *p) { return rmdir(p); });
}

int os_open_mkparent(const char *path, int flags, mode_t mode)
{
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT) && os_mkdir_parent(path) == 0)
        fd = open(path, flags | O_CLOEXEC, mode);
    return fd;
}

int os_readlink(const char *path, char *buf, size_t size)
{
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    return with_path(path, [&](const char *p) {
        ssize_t r = readlink(p, buf, size);
        if (r < 0) return -1;
        // A result that fills the buffer may have been cut.
        if ((size_t)r >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        buf[r] = 0;
        return (int)r;
    });
}

static int lock_call(int fd, int cmd, short type, i64 offset, i64 length)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = (off_t)offset;
    fl.l_len = (off_t)length;
    int r;
    do {
        r = fcntl(fd, cmd, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

int os_file_lock(int fd, int flags, i64 offset, i64 length)
{
    short type = (flags & 15) == OS_LOCK_READ ? F_RDLCK : F_WRLCK;
    return lock_call(fd, (flags & OS_LOCK_NOWAIT) ? F_SETLK : F_SETLKW, type, offset, length);
}

int os_file_unlock(int fd, int, i64 offset, i64 length)
{
    return lock_call(fd, F_SETLKW, F_UNLCK, offset, length);
}

int os_access(const char *path, int mode)
{
    return with_path(path, [&](const char *p) { return access(p, mode); });
}

int os_chdir(const char *path)
{
    return with_path(path, [](const char *p) { return chdir(p); });
}

FILE *os_fopen(const char *path, const char *mode)
{
    npath n(path);
    if (!n) return nullptr;
    if (!mode) {
        errno = EINVAL;
        return nullptr;
    }
    // 'e': the descriptor is close-on-exec.
    char m[16];
    str_safecopy_trunc(m, sizeof m - 1, mode);
    if (!strchr(m, 'e')) str_safecat_trunc(m, sizeof m, "e");
    if (m[0] != 'w' && m[0] != 'a') return fopen(n.p, m);
    // A file this opens may be created: with mode 0644.
    int flags = O_CREAT | O_CLOEXEC | (strchr(m, '+') ? O_RDWR : O_WRONLY) |
                (m[0] == 'w' ? O_TRUNC : O_APPEND);
    int fd = open(n.p, flags, 0644);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, m);
    if (!f) close(fd);
    return f;
}

namespace {

const char *file_kind(mode_t m)
{
    if (S_ISDIR(m)) return "a directory";
    if (S_ISFIFO(m)) return "a FIFO";
    if (S_ISCHR(m)) return "a character device";
    if (S_ISBLK(m)) return "a block device";
    if (S_ISSOCK(m)) return "a socket";
    return "another kind of file";
}

}  // namespace

int os_open_nowait(const char *path, struct stat *st)
{
    npath n(path);
    if (!n) return -1;
    int fd = open(n.p, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

FILE *os_fopen_regular(const char *path, const char **kind)
{
    const char *dummy;
    if (!kind) kind = &dummy;
    *kind = nullptr;
    npath n(path);
    if (!n) return nullptr;
    // The type is known before the open (opening some devices acts on
    // them) and checked again on what was opened.
    struct stat st;
    if (stat(n.p, &st) == 0 && !S_ISREG(st.st_mode)) {
        *kind = file_kind(st.st_mode);
        return nullptr;
    }
    int fd = os_open_nowait(n.p, &st);
    if (fd < 0) return nullptr;
    FILE *f = nullptr;
    int e = 0;
    if (!S_ISREG(st.st_mode)) *kind = file_kind(st.st_mode);
    else if (fcntl(fd, F_SETFL, O_RDONLY) != 0 || !(f = fdopen(fd, "r"))) e = errno;
    if (!f) {
        close(fd);
        errno = e;
    }
    return f;
}

FILE *os_fsopen(const char *path, const char *mode, int)
{
    return os_fopen(path, mode);
}
