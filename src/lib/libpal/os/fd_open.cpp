#include "libpal/os/fd_open.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr char kSticky[] = "in a sticky directory that others may write";
constexpr char kGroup[] = "in a directory that its group may write";
constexpr int kMaxLinks = 40;  // as the kernel: more is a loop (ELOOP)
constexpr size_t kWhy = 512;

thread_local char t_refused[kWhy];  // see fd_open_last_refusal

// A directory that others than its owner may write: sticky with others'
// write bit, or with its group's write bit.
bool fd_dir_shared(const struct stat *dir)
{
    return S_ISDIR(dir->st_mode) &&
           (((dir->st_mode & S_ISVTX) && (dir->st_mode & S_IWOTH)) || (dir->st_mode & S_IWGRP));
}

// The words that place a name in a shared directory.
const char *shared_text(const struct stat &dir)
{
    return (dir.st_mode & S_IWOTH) ? kSticky : kGroup;
}

// Why a file of status sb, found at the log's name in a shared directory
// of status dir, is not taken; NULL when it is.
const char *refusal(const struct stat &dir, const struct stat &sb, char *buf, size_t size)
{
    const char *in = shared_text(dir);
    if (S_ISLNK(sb.st_mode)) snprintf(buf, size, "a symbolic link %s", in);
    else if (S_ISFIFO(sb.st_mode)) snprintf(buf, size, "a FIFO %s", in);
    else if (sb.st_uid != geteuid() && sb.st_uid != dir.st_uid)
        snprintf(buf, size, "a file of uid %u %s", (unsigned)sb.st_uid, in);
    else if (S_ISREG(sb.st_mode) && sb.st_nlink > 1)
        snprintf(buf, size, "a file of %u links %s", (unsigned)sb.st_nlink, in);
    else return nullptr;
    return buf;
}

// Whether a name of path is "..".
bool climbs(const char *path)
{
    for (const char *p = path; (p = strstr(p, "..")); p += 2)
        if ((p == path || p[-1] == '/') && (p[2] == '/' || !p[2])) return true;
    return false;
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

// The uid that owners without a mapping in this user namespace show as.
uid_t overflow_uid()
{
    char buf[32] = "";
    int fd = open("/proc/sys/kernel/overflowuid", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf - 1) : -1;
    if (fd >= 0) close(fd);
    buf[n > 0 ? n : 0] = 0;
    char *end;
    unsigned long v = strtoul(buf, &end, 10);
    return end != buf ? (uid_t)v : (uid_t)65534;
}

// Whether this user namespace maps its parent's uid 0 (the first one maps
// every uid onto itself; no /proc counts as that).
bool parent_root_mapped()
{
    int fd = open("/proc/self/uid_map", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buf[512];
    size_t have = 0;
    bool mapped = false;
    for (ssize_t n; (n = read(fd, buf + have, sizeof buf - 1 - have)) > 0;) {
        buf[have += (size_t)n] = 0;
        char *line = buf;
        for (char *nl; (nl = strchr(line, '\n')); line = nl + 1) {
            *nl = 0;
            unsigned long inner, outer, count;
            if (sscanf(line, "%lu %lu %lu", &inner, &outer, &count) == 3 && outer == 0 && count > 0) mapped = true;
        }
        have = strlen(line);
        memmove(buf, line, have + 1);
        if (have == sizeof buf - 1) have = 0;  // no line is that long
    }
    close(fd);
    return mapped;
}

// One walk of a path from "/", a name at a time, each opened without
// following it (O_PATH | O_NOFOLLOW), so that what is judged is what is
// used: every directory entered must be the effective user's or root's,
// and sticky when others may write it; a link is followed only when it is
// the effective user's or root's (a link of /proc as the kernel follows
// it); in a shared directory the file at the last name must be a plain
// file of the effective user or the directory's owner.
struct walker {
    walker(fd_log_place *place, bool mk, bool all_dirs) : at(place), make(mk), dirs(all_dirs) {}
    ~walker()
    {
        if (cur >= 0) close(cur);
    }
    walker(const walker &) = delete;
    walker &operator=(const walker &) = delete;

    fd_log_place *at;  // out: the directory that holds the last name, and the real path
    bool make;         // missing directories are made
    bool dirs;         // every name is a directory, the last one too
    struct stat dir{}; // out: the status of at->dir (of cur during the walk)
    bool magic = false;  // out: the last name is a link of /proc, to be opened as the kernel follows it
    char why[kWhy] = "";  // out: the reason of a refusal (EACCES)

    int cur = -1;
    int links = 0;
    uid_t euid = geteuid();
    uid_t overflow = 0;      // the overflow uid; 0 not read yet
    int root_unmapped = -1;  // the parent namespace's root shows as it: 1, 0; -1 not read yet
    char rest[PATH_MAX];     // the path still to walk

    int fail(int eno)
    {
        if (cur >= 0) close(cur);
        cur = -1;
        errno = eno;
        return -1;
    }
    int refuse(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, sizeof why, fmt, ap);
        va_end(ap);
        return fail(EACCES);
    }
    // Root, or an owner that does not map here when the parent namespace's
    // root does not: that is how root's files show in such a namespace
    // (another unmapped user's look the same).
    bool rootish(uid_t uid)
    {
        if (uid == 0) return true;
        if (!overflow) overflow = overflow_uid();
        if (uid != overflow) return false;
        if (root_unmapped < 0) root_unmapped = parent_root_mapped() ? 0 : 1;
        return root_unmapped == 1;
    }
    bool trusted(uid_t uid) { return uid == euid || rootish(uid); }

    // Takes fd (a directory; real names it; sb its status when known) as
    // the current directory and judges it. 0, or -1 with errno.
    int enter(int fd, const struct stat *sb = nullptr)
    {
        if (fd < 0) return fail(errno);
        if (cur >= 0) close(cur);
        cur = fd;
        if (sb) dir = *sb;
        else if (fstat(fd, &dir) != 0) return fail(errno);
        const char *path = at->real[0] ? at->real : "/";
        if (!trusted(dir.st_uid)) return refuse("the directory %s is owned by uid %u", path, (unsigned)dir.st_uid);
        if ((dir.st_mode & S_IWOTH) && !(dir.st_mode & S_ISVTX))
            return refuse("the directory %s may be written by others and is not sticky", path);
        return 0;
    }
    // The walk ends in the current directory: it is handed over.
    int done()
    {
        at->dir = cur;
        cur = -1;
        return 0;
    }
    // Opens name in cur without following it; a missing directory is made
    // when mk (mode 0755 less the umask, the group as mkdir gives it; an
    // entry another made first is judged as found), unless the names
    // behind it (next) climb out by "..": the way would leave what it made
    // for steps not judged yet, so nothing is made (ENOENT, as open(2)
    // says of such a path). -1 with errno.
    int step(const char *name, bool mk, const char *next, struct stat *sb)
    {
        int fd = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && mk) {
            if (climbs(next)) {
                errno = ENOENT;
                return -1;
            }
            if (mkdirat(cur, name, 0755) != 0 && errno != EEXIST) return -1;
            fd = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd >= 0 && fstat(fd, sb) != 0) {
            int eno = errno;
            close(fd);
            errno = eno;
            return -1;
        }
        return fd;
    }
    // Follows the link at name (open at fd, closed here) of cur: its
    // target takes its place in the rest of the path (next), or, in /proc,
    // the kernel leads to the file. 1 the walk goes on at rest, 0 it
    // ended, -1 with errno.
    int follow(int fd, const char *name, const struct stat &sb, const char *next, bool last);
    int walk(const char *path);
};

int walker::follow(int fd, const char *name, const struct stat &sb, const char *next, bool last)
{
    char *real = at->real;
    char text[PATH_MAX];
    ssize_t n = readlinkat(fd, "", text, sizeof text - 1);
    int eno = n < 0 ? errno : 0;
    close(fd);
    if (!trusted(sb.st_uid)) {
        bool shared = fd_dir_shared(&dir);
        return refuse("%s/%s is a symbolic link of uid %u%s%s", real, name, (unsigned)sb.st_uid, shared ? " " : "",
                      shared ? shared_text(dir) : "");
    }
    if (++links > kMaxLinks) return fail(ELOOP);
    struct statfs fs;
    if (fstatfs(cur, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
        // Whatever its text ("pipe:[N]", "/tmp/out.txt (deleted)", a path
        // of another mount namespace): the link itself is opened.
        if (last && !dirs) {
            magic = true;
            if (!append(real, name)) return fail(ENAMETOOLONG);
            return done();
        }
        int d = openat(cur, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (d < 0) return fail(errno);
        text[n > 0 ? n : 0] = 0;
        size_t t = strlen(text);
        bool path_text = text[0] == '/' && !(t > 10 && strcmp(text + t - 10, " (deleted)") == 0);
        // "/" is kept as "": names are appended behind a '/'.
        if (path_text && strcmp(text, "/") == 0) real[0] = 0;
        else if (path_text) memcpy(real, text, t + 1);
        if (!path_text && !append(real, name)) {
            close(d);
            return fail(ENAMETOOLONG);
        }
        if (enter(d) != 0) return -1;
        if (last) return done();
        memmove(rest, next, strlen(next) + 1);
        return 1;
    }
    if (eno || n == 0) return fail(eno ? eno : ENOENT);
    // The target takes the link's place in the rest of the path.
    size_t tail = strlen(next);
    if ((size_t)n + 1 + tail >= sizeof rest) return fail(ENAMETOOLONG);
    text[n] = tail ? '/' : 0;
    memcpy(text + n + 1, next, tail + 1);
    memcpy(rest, text, (size_t)n + 2 + tail);
    if (rest[0] == '/') {
        real[0] = 0;
        if (enter(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)) != 0) return -1;
    }
    return 1;
}

int walker::walk(const char *path)
{
    char *real = at->real;
    at->dir = -1;
    real[0] = 0;
    size_t len = strlen(path);
    if (!len) return fail(ENOENT);
    // The whole path from "/": a relative one behind the current directory.
    if (path[0] == '/') {
        if (len >= sizeof rest) return fail(ENAMETOOLONG);
        memcpy(rest, path, len + 1);
    } else {
        if (!getcwd(rest, sizeof rest)) return fail(errno);
        size_t c = strlen(rest);
        if (c + 1 + len >= sizeof rest) return fail(ENAMETOOLONG);
        rest[c] = '/';
        memcpy(rest + c + 1, path, len + 1);
    }
    if (enter(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)) != 0) return -1;
    for (char *p = rest;;) {
        while (*p == '/') ++p;
        char *end = strchrnul(p, '/'), *next = end;
        while (*next == '/') ++next;
        bool last = !*next;
        bool slash = end != next;
        *end = 0;
        bool dot = !strcmp(p, "."), up = !strcmp(p, "..");
        if (last && !dirs && (!*p || slash || dot || up)) return fail(EISDIR);  // "/", "d/", "d/.."
        if (!*p || dot || up) {
            if (up) {
                char *s = strrchr(real, '/');
                *(s ? s : real) = 0;
                if (enter(openat(cur, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)) != 0) return -1;
            }
            if (last) return done();
            p = next;
            continue;
        }
        bool file = last && !dirs;  // the name of the file, found or to be made
        struct stat sb;
        int fd = step(p, make && !file, next, &sb);
        if (fd < 0 && !(file && errno == ENOENT)) return fail(errno);
        if (fd >= 0 && file && fd_dir_shared(&dir) && refusal(dir, sb, why, sizeof why)) {
            close(fd);
            return fail(EACCES);
        }
        if (fd >= 0 && S_ISLNK(sb.st_mode)) {
            int r = follow(fd, p, sb, next, last);
            if (r <= 0) return r;
            p = rest;
            continue;
        }
        if (file) {
            if (fd >= 0) close(fd);
            if (!append(real, p)) return fail(ENAMETOOLONG);
            return done();
        }
        if (!S_ISDIR(sb.st_mode) || !append(real, p)) {
            close(fd);
            return fail(S_ISDIR(sb.st_mode) ? ENAMETOOLONG : ENOTDIR);
        }
        if (enter(fd, &sb) != 0) return -1;
        if (last) return done();
        p = next;
    }
}

// Keeps why as this thread's last refusal when the failure (errno) is one.
int told(const walker &w)
{
    if (errno == EACCES && w.why[0]) memcpy(t_refused, w.why, sizeof t_refused);
    return -1;
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
    t_refused[0] = 0;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    fd_log_place own;
    fd_log_place *place = at ? at : &own;
    for (int walks = 1;; ++walks) {
        walker w(place, mkparent && (flags & O_CREAT), false);
        if (w.walk(path) != 0) return told(w);
        // In a shared directory the file is emptied only once it is
        // accepted.
        bool shared = fd_dir_shared(&w.dir), trunc = shared && (flags & O_TRUNC);
        int fl = (flags & ~(trunc ? O_TRUNC : 0)) | (w.magic ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC;
        int fd = openat(place->dir, fd_log_place_base(place), fl, mode), eno = fd < 0 ? errno : 0;
        struct stat sb;
        if (fd >= 0) {
            // Non-blocking only until its type is known (a FIFO elsewhere
            // is then written as before).
            fl = fcntl(fd, F_GETFL);
            if (fstat(fd, &sb) != 0) eno = errno;
            else if (shared && refusal(w.dir, sb, w.why, sizeof w.why)) eno = EACCES;
            else if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) eno = errno;
            else if (trunc && ftruncate(fd, 0) != 0) eno = errno;
        }
        if (!eno) {
            // A file reached through /proc has no directory to put
            // anything beside it.
            if (!at || w.magic) fd_log_place_close(place);
            return fd;
        }
        if (fd >= 0) close(fd);
        fd_log_place_close(place);
        // The name became a link after the walk looked at it: a link is
        // refused in a shared directory, elsewhere it is walked once more.
        if (eno == ELOOP && !shared && walks == 1) continue;
        if (eno == ELOOP && shared) {
            snprintf(w.why, sizeof w.why, "a symbolic link %s", shared_text(w.dir));
            eno = EACCES;
        }
        errno = eno;
        return told(w);
    }
}

int fd_make_dirs(const char *path)
{
    t_refused[0] = 0;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    fd_log_place at;
    walker w(&at, true, true);
    if (w.walk(path) != 0) return told(w);
    fd_log_place_close(&at);
    return 0;
}

const char *fd_open_last_refusal(void)
{
    return t_refused[0] ? t_refused : nullptr;
}

const char *fd_path_refusal(const char *path, char *buf, size_t size)
{
    if (!path || !buf || !size) return nullptr;
    fd_log_place at;
    walker w(&at, false, false);
    if (w.walk(path) == 0) {
        fd_log_place_close(&at);
        return nullptr;
    }
    if (errno != EACCES || !w.why[0]) return nullptr;
    snprintf(buf, size, "%s", w.why);
    return buf;
}
