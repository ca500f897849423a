// The halving's marker: the file NAME.halving beside the log file, which
// names the step of a halving under way, and the open that reads it,
// checks it and finishes the work it names.
#include "libpal/os/fd_mark.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/comm/verrmsg.h"

namespace {

// The marker's name in its directory.
const char *mark_base(const fd_halve_mark *m)
{
    const char *slash = strrchr(m->path, '/');
    return slash ? slash + 1 : m->path;
}

// A finding about the marker, for the caller to tell. One that stays (a
// marker that cannot be removed is found again at every open) is told
// once: its text, already held, is not news again.
void vnote(fd_halve_mark *m, bool stays, const char *fmt, va_list ap)
{
    char text[sizeof m->why];
    vsnprintf(text, sizeof text, fmt, ap);
    if (stays && strcmp(text, m->why) == 0) return;
    memcpy(m->why, text, sizeof text);
    m->news = 1;
}

void note(fd_halve_mark *m, bool stays, const char *fmt, ...) OS_PRINTF(3, 4);
void note(fd_halve_mark *m, bool stays, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(m, stays, fmt, ap);
    va_end(ap);
}

// Removes the marker open at mfd while its name still leads to it (a file
// put there by another is left alone): 0 when it no longer stands at its
// name, removed now or before, else why it cannot be removed.
int unlink_held(const fd_halve_mark *m, int mfd)
{
    struct stat held, named;
    if (fstat(mfd, &held) != 0) return errno;
    if (fstatat(m->dir, mark_base(m), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || held.st_nlink == 0 ? 0 : errno;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return 0;
    return unlinkat(m->dir, mark_base(m), 0) == 0 || errno == ENOENT ? 0 : errno;
}

// A marker whose work is done, or that names none, open at mfd: removed
// and closed. One that cannot be removed is emptied, since an empty marker
// names nothing, and that is said.
void let_go(fd_halve_mark *m, int mfd)
{
    if (int eno = unlink_held(m, mfd)) {
        char et[128];
        bool emptied = ftruncate(mfd, 0) == 0;
        note(m, false, "marker %s cannot be removed (%s)%s", m->path, os_errno_str(eno, et, sizeof et),
             emptied ? "; emptied" : " nor emptied");
    }
    close(mfd);
}

// A finding that stays is told again once the marker was found in order;
// one not told yet is kept for telling.
void forget(fd_halve_mark *m)
{
    if (!m->news) m->why[0] = 0;
}

// A marker that is not followed: removed where the program may, and said.
void refuse(fd_halve_mark *m, const char *why)
{
    char et[128];
    int eno = unlinkat(m->dir, mark_base(m), 0) == 0 ? 0 : errno;
    if (!eno || eno == ENOENT)
        note(m, false, "marker %s not followed: %s; removed", m->path, why);
    else
        note(m, true, "marker %s not followed: %s; it cannot be removed (%s), the file is halved without a marker",
             m->path, why, os_errno_str(eno, et, sizeof et));
}

// Why a marker of status sb is not the program's own (into buf), or NULL.
const char *not_own(const struct stat &sb, char *buf, size_t size)
{
    if (S_ISLNK(sb.st_mode)) snprintf(buf, size, "a symbolic link");
    else if (S_ISFIFO(sb.st_mode)) snprintf(buf, size, "a FIFO");
    else if (!S_ISREG(sb.st_mode)) snprintf(buf, size, "not a regular file");
    else if (sb.st_nlink != 1) snprintf(buf, size, "a file of %u links", (unsigned)sb.st_nlink);
    else if (sb.st_uid != geteuid()) snprintf(buf, size, "a file of uid %u", (unsigned)sb.st_uid);
    else if (sb.st_mode & (S_IWGRP | S_IWOTH)) snprintf(buf, size, "writable by group or others");
    else return nullptr;
    return buf;
}

}  // namespace

void fd_mark::none_text(char out[FD_HALVE_MARK_LEN])
{
    memset(out, ' ', FD_HALVE_MARK_LEN - 1);
    memcpy(out, "none", 4);
    out[FD_HALVE_MARK_LEN - 1] = '\n';
}

bool fd_mark::pending(const fd_halve_mark *m)
{
    return m->fd >= 0 && m->text[0] && memcmp(m->text, "none", 4) != 0;
}

bool fd_mark::apart(i64 from, i64 end, i64 to)
{
    return to >= 0 && to < from && from <= end && to + (end - from) <= from;
}

i64 fd_mark::whole_end(const fd_halve_mark *m, int fd, i64 from, i64 size)
{
    return m->whole_end ? m->whole_end(fd, from, size, m->whole_arg) : size;
}

void fd_mark::drop(fd_halve_mark *m, int eno)
{
    if (m->fd < 0) return;
    char et[128];
    os_errno_str(eno, et, sizeof et);
    if (unlink_held(m, m->fd) == 0) {
        note(m, false, "marker %s could not be written (%s); removed", m->path, et);
        close(m->fd);
        m->fd = -1;
    } else if (ftruncate(m->fd, 0) == 0) {
        note(m, false, "marker %s could not be written (%s); emptied", m->path, et);
    } else {
        note(m, false, "marker %s could not be written (%s) nor removed", m->path, et);
        return;
    }
    m->text[0] = 0;
}

bool fd_mark::put(fd_halve_mark *m, const char *text)
{
    i64 wrote = 0;
    if (fd_pwrite_all(m->fd, text, FD_HALVE_MARK_LEN, 0, &wrote)) {
        memcpy(m->text, text, FD_HALVE_MARK_LEN);
        return true;
    }
    int eno = errno;
    if (wrote > 0) {
        i64 again = 0;
        bool back = m->text[0] ? fd_pwrite_all(m->fd, m->text, FD_HALVE_MARK_LEN, 0, &again) : ftruncate(m->fd, 0) == 0;
        if (!back) drop(m, eno);
    }
    errno = eno;
    return false;
}

void fd_mark::settle(fd_halve_mark *m, const char *text)
{
    if (m->fd < 0 || memcmp(m->text, text, FD_HALVE_MARK_LEN) == 0) return;
    if (!put(m, text) && m->text[0]) drop(m, errno);
}

// The one kept open, unless it has lost its name (removed from outside),
// else made anew, after whatever stood at its name was removed: a file
// found there is never taken over. None can be made in a directory that
// cannot be written, with a file there that cannot be removed, or with
// another file put there each time it was removed: these two are said.
bool fd_mark::ready(fd_halve_mark *m)
{
    if (m->fd >= 0) {
        struct stat sb;
        if (fstat(m->fd, &sb) == 0 && sb.st_nlink > 0) return true;
        close(m->fd);
        m->fd = -1;
    }
    m->text[0] = 0;
    const char *base = mark_base(m);
    for (int tries = 0; tries < 3; ++tries) {
        struct stat sb;
        char why[96];
        bool found = fstatat(m->dir, base, &sb, AT_SYMLINK_NOFOLLOW) == 0;
        int eno = unlinkat(m->dir, base, 0) == 0 ? 0 : errno;
        // One of the program's own (left by a kill) goes without a word;
        // anything else found there is said.
        if (!eno && found && not_own(sb, why, sizeof why)) note(m, false, "marker %s not followed: %s; removed", m->path, why);
        if (eno && eno != ENOENT && fstatat(m->dir, base, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
            // Told once: a finding about this marker may stand already.
            char et[128];
            if (!m->why[0])
                note(m, true, "marker %s cannot be removed (%s): the file is halved without a marker", m->path,
                     os_errno_str(eno, et, sizeof et));
            return false;
        }
        m->fd = openat(m->dir, base, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (m->fd >= 0) {
            fchmod(m->fd, 0644);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    note(m, true, "marker %s not made: another file took its name each time it was removed; the file is halved "
         "without a marker", m->path);
    return false;
}

void fd_halve_mark_init(fd_halve_mark *m, fd_whole_end whole_end, const void *arg, fd_part_check part_check, i64 head)
{
    m->fd = -1;
    m->dir = -1;
    m->busy = 0;
    m->news = 0;
    m->step = FD_HALVE_COPY;
    m->whole_end = whole_end;
    m->part_check = part_check;
    m->whole_arg = arg;
    m->head = head;
    m->whole_from = 0;
    m->lost = 0;
    m->why[0] = 0;
    m->text[0] = 0;
    m->path[0] = 0;
}

void fd_halve_mark_place(fd_halve_mark *m, fd_log_place *at)
{
    fd_halve_mark_close(m);
    int n = snprintf(m->path, sizeof m->path, "%s%s", at->real, FD_HALVE_MARK_SUFFIX);
    if (n > 0 && (size_t)n < sizeof m->path && at->dir >= 0) {
        m->dir = at->dir;
        at->dir = -1;
    } else {
        m->path[0] = 0;
    }
}

void fd_halve_mark_close(fd_halve_mark *m)
{
    if (!m) return;
    if (m->fd >= 0 && !fd_mark::pending(m)) let_go(m, m->fd);
    else if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    if (m->dir >= 0) close(m->dir);
    m->dir = -1;
    m->text[0] = 0;
    m->whole_from = 0;
}

const char *fd_halve_mark_news(fd_halve_mark *m)
{
    if (!m || !m->news) return nullptr;
    m->news = 0;
    return m->why;
}

void fd_halve_mark_note(fd_halve_mark *m, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vnote(m, false, fmt, ap);
    va_end(ap);
}

void fd_halve_mark_remove(fd_halve_mark *m)
{
    if (!m || m->dir < 0) return;
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    unlinkat(m->dir, mark_base(m), 0);  // whatever stands there: the file is new
    m->text[0] = 0;
    m->whole_from = 0;
}

void fd_halve_mark_text(char out[FD_HALVE_MARK_LEN], u64 dev, u64 ino, i64 from, i64 end, i64 to, bool rewrite)
{
    fd_mark::none_text(out);
    int n = snprintf(out, FD_HALVE_MARK_LEN, "%s %llu %llu %lld %lld %lld", rewrite ? "rewrite" : "halving",
                     (unsigned long long)dev, (unsigned long long)ino, (long long)from, (long long)end,
                     (long long)to);
    out[n] = ' ';  // n < 110: five numbers of at most 20 characters
    out[FD_HALVE_MARK_LEN - 1] = '\n';
}

namespace {

// The marker of m, open: for reading and writing when it may be (a
// marker followed is taken over for the halving that finishes its work),
// else for reading, to say why it is not followed; never blocking, never
// through a link.
int open_mark(const fd_halve_mark *m)
{
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int mfd = openat(m->dir, mark_base(m), O_RDWR | kFlags);
    if (mfd < 0 && errno == EACCES) mfd = openat(m->dir, mark_base(m), O_RDONLY | kFlags);
    return mfd;
}

// What a marker says: work pending or none; a copy whose source is in
// place or was just cut away, or a write-back from memory into the file
// cut at to (rewrite).
struct mark_says {
    bool work;
    bool rewrite;
    u64 dev, ino;
    i64 from, end, to;
};

// Reads the text of a marker (n bytes): true when it is one the program
// writes, byte for byte (a marker cut short or written over in part is
// not), or empty (made, not written yet).
bool parse_mark(const char *text, ssize_t n, mark_says *out)
{
    *out = {};
    char want[FD_HALVE_MARK_LEN];
    fd_mark::none_text(want);
    if (n == 0 || (n == (ssize_t)FD_HALVE_MARK_LEN && memcmp(text, want, FD_HALVE_MARK_LEN) == 0)) return true;
    char verb[8] = "";
    unsigned long long dev = 0, ino = 0;
    long long from = 0, end = 0, to = 0;
    if (n != (ssize_t)FD_HALVE_MARK_LEN ||
        sscanf(text, "%7s %llu %llu %lld %lld %lld", verb, &dev, &ino, &from, &end, &to) != 6)
        return false;
    bool rewrite = strcmp(verb, "rewrite") == 0;
    if ((!rewrite && strcmp(verb, "halving") != 0) || !fd_mark::apart(from, end, to)) return false;
    fd_halve_mark_text(want, dev, ino, from, end, to, rewrite);
    if (memcmp(text, want, FD_HALVE_MARK_LEN) != 0) return false;
    *out = {true, rewrite, dev, ino, from, end, to};
    return true;
}

// Why the pending work r does not fit the file open at fd, of status sb
// (into buf), or NULL when it does. It names the file, at a size its step
// leaves: a copy's source still in place (end or more), or cut away behind
// the part copied (to + len); a write-back's file cut at to and the part
// written back, whole or in part. It names a copy to where the writer's
// halvings copy, and, while its source is in place, a part of whole
// records as the writer's halvings keep them.
const char *misfit(int fd, const fd_halve_mark *m, const mark_says &r, const struct stat &sb, char *buf, size_t size)
{
    if ((u64)sb.st_dev != r.dev || (u64)sb.st_ino != r.ino) return "it names another file";
    char et[128];
    i64 s = (i64)sb.st_size, len = r.end - r.from;
    bool source = !r.rewrite && s >= r.end;
    if (r.rewrite ? s < r.to || s > r.to + len : !source && s != r.to + len)
        snprintf(buf, size, "it does not fit the file's size (%lld bytes)", (long long)s);
    else if (m->head >= 0 && r.to != m->head)
        snprintf(buf, size, "it names a copy to offset %lld", (long long)r.to);
    else if (int part = source && m->part_check ? m->part_check(fd, r.from, r.end, r.to, m->whole_arg) : 1; part < 0)
        snprintf(buf, size, "the file cannot be read (%s)", os_errno_str(errno, et, sizeof et));
    else if (!part)
        snprintf(buf, size, "it names a part that is not whole records (bytes %lld to %lld)", (long long)r.from,
                 (long long)r.end);
    else
        return nullptr;
    return buf;
}

// A write-back that a kill cut short: the file cut at to holds the first
// size - to bytes of the part of len bytes. It is cut to its last whole
// record and the loss said: the bytes that are not in whole records.
void mend_write_back(int fd, fd_halve_mark *m, i64 to, i64 size, i64 len)
{
    // A torn tail that cannot be cut off is lost all the same.
    i64 w = fd_mark::whole_end(m, fd, to, size);
    if (w >= to) ftruncate(fd, (off_t)w);
    int n = (int)strlen(m->path) - (int)sizeof FD_HALVE_MARK_SUFFIX + 1;
    note(m, false, "a halving of %.*s was cut short while its newest part was written back: %lld bytes of it were lost",
         n, m->path, (long long)(len - (w >= to ? w - to : size - to)));
    lseek(fd, 0, SEEK_END);
}

// Does the work r names in the file of size bytes, under the marker open
// at mfd; as fd_halve_resume.
int act(int fd, fd_halve_mark *m, int mfd, const mark_says &r, const char *text, i64 size)
{
    i64 len = r.end - r.from;
    if (size >= r.end) {
        // The copy's source is still in place: the marker is taken over
        // (no moment without one while work is pending). Records behind
        // it (a cut that was refused) are whole from the part's start on,
        // and the marker stays until a halving succeeds; with none behind
        // it the copy is made again.
        if (m->fd >= 0) close(m->fd);
        m->fd = mfd;
        memcpy(m->text, text, FD_HALVE_MARK_LEN);
        m->whole_from = r.from;
        if (size > r.end || len == 0) return 0;
        if (fd_halve(fd, m, r.from, r.end, r.to) < 0) return -1;
        mfd = m->fd;  // its text "none" now, or dropped
        m->fd = -1;
        m->text[0] = 0;
        if (mfd >= 0) let_go(m, mfd);
        return 1;
    }
    if (size < r.to + len) mend_write_back(fd, m, r.to, size, len);
    let_go(m, mfd);
    return 1;
}

}  // namespace

int fd_halve_resume(int fd, fd_halve_mark *m)
{
    if (fd < 0 || !m || m->dir < 0) return 0;
    // Read the marker, as far as it is the program's own.
    int mfd = open_mark(m);
    char why[128], et[128];
    if (mfd < 0) {
        if (errno == ENOENT) {
            forget(m);  // nothing stands there now
        } else if (errno == ELOOP) {
            refuse(m, "a symbolic link");
        } else {
            snprintf(why, sizeof why, "it cannot be opened (%s)", os_errno_str(errno, et, sizeof et));
            refuse(m, why);
        }
        return 0;
    }
    struct stat ms, sb;
    char text[FD_HALVE_MARK_LEN + 2];
    const char *bad = fstat(mfd, &ms) != 0 ? "its status cannot be read" : not_own(ms, why, sizeof why);
    if (!bad && (fcntl(mfd, F_GETFL) & O_ACCMODE) == O_RDONLY) bad = "it cannot be opened for writing";
    ssize_t n = bad ? 0 : pread(mfd, text, sizeof text - 1, 0);
    if (n < 0) {
        snprintf(why, sizeof why, "it cannot be read (%s)", os_errno_str(errno, et, sizeof et));
        bad = why;
    }
    // Check it: the program's text, naming this file at a size a halving
    // leaves, and a part the writer's halvings name. Nothing of a marker
    // that fails is used.
    mark_says r;
    if (!bad) {
        text[n] = 0;
        if (!parse_mark(text, n, &r)) bad = "it holds no marker text";
        else if (r.work && fstat(fd, &sb) != 0) bad = "the file's status cannot be read";
        else if (r.work) bad = misfit(fd, m, r, sb, why, sizeof why);
    }
    if (bad) {
        close(mfd);
        refuse(m, bad);
        return 0;
    }
    forget(m);
    // Act on it.
    if (!r.work) {
        let_go(m, mfd);
        return 0;
    }
    return act(fd, m, mfd, r, text, (i64)sb.st_size);
}
