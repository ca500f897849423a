// Halving a file in place: the kept part copied down, the file cut
// behind it, under the marker (fd_mark.cpp).
#include "libpal/os/fd_move.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/os/fd_follow.h"
#include "libpal/os/fd_mark.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

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
// *out counts the bytes written at to. False (errno set) when the system
// cannot (an older kernel, a file system without it) or the copy fails:
// the caller copies them itself, from the start.
bool copy_in_kernel(int fd, i64 from, i64 end, i64 to, i64 *out)
{
    if (to + (end - from) > from) {
        errno = EINVAL;
        return false;
    }
    loff_t in = from, at = to;
    while (in < end) {
        ssize_t r = copy_file_range(fd, &in, fd, &at, (size_t)(end - in), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) errno = ENODATA;  // the file ends before the part does (it shrank)
        if (r <= 0) return false;
        if (at - to > *out) *out = at - to;
    }
    return true;
}

// The same through a buffer of this process.
bool copy_through(int fd, i64 from, i64 end, i64 to, i64 *out)
{
    chunk_buf b;
    auto put = [fd, to, out](const char *p, size_t n, i64 done) {
        i64 wrote = 0;
        bool ok = fd_pwrite_all(fd, p, n, to + done, &wrote);
        if (done + wrote > *out) *out = done + wrote;
        return ok;
    };
    return copy_range(fd, from, end, b, 0, put);
}

// The descriptor without O_APPEND while it lives (positioned writes need
// one that does not append), as it was after. A flag that cannot be read
// or changed fails the halving before it begins; one that cannot be put
// back is tried twice, and the halving leaves the descriptor at the file's
// end anyway, so that the next record lands there.
struct no_append {
    int fd, fl;
    explicit no_append(int f) : fd(f), fl(fcntl(f, F_GETFL))
    {
        if (fl >= 0 && (fl & O_APPEND) && fcntl(fd, F_SETFL, fl & ~O_APPEND) != 0) fl = -1;
    }
    ~no_append()
    {
        if (fl >= 0 && (fl & O_APPEND) && fcntl(fd, F_SETFL, fl) != 0) fcntl(fd, F_SETFL, fl);
    }
    bool ok() const { return fl >= 0; }
    no_append(const no_append &) = delete;
    no_append &operator=(const no_append &) = delete;
};
// What a move of the kept part came to, besides its result.
struct moved {
    i64 whole_from;  // see fd_halve_mark; -1: as it was
    i64 lost;        // bytes of the part lost
    u8 step;         // what failed
};

// One halving: the marker state (the caller's, or one of its own placed
// nowhere when the caller gave none), whether its steps are written in the
// marker file, and the marker's texts for them.
struct halving {
    fd_halve_mark *m;
    bool marked;
    char copy[FD_HALVE_MARK_LEN];     // the part is copied from its source
    char rewrite[FD_HALVE_MARK_LEN];  // the file is cut, the part written back
    // The marker takes text before the step it names; false when it cannot.
    bool say(const char *text) { return !marked || fd_mark::put(m, text); }
};

// After a copy that failed part way: the kept part [from, from + len),
// whole at its source, is read into memory, the file cut at to (which
// frees its blocks) and the part written back there, under the marker
// saying so; without that text the part stays at its source.
void write_back(int fd, halving &h, i64 from, i64 len, i64 to, moved *out)
{
    char *buf = (char *)os_malloc((size_t)len);
    bool go = buf && fd_pread_all(fd, buf, (size_t)len, from) && h.say(h.rewrite);
    if (go && ftruncate(fd, (off_t)to) != 0) {
        go = false;
        if (h.marked) fd_mark::settle(h.m, h.copy);
    }
    if (go) {
        i64 put = 0;
        fd_pwrite_all(fd, buf, (size_t)len, to, &put);
        out->whole_from = 0;
        if (put < len) {
            // Stopped part way: the file ends in the last whole record
            // written back, so that none is glued to the next; one that
            // cannot be cut there leaves the records whole from its end on.
            i64 w = fd_mark::whole_end(h.m, fd, to, to + put);
            if (w < to || ftruncate(fd, (off_t)w) != 0) out->whole_from = to + put;
            out->lost = len - (w < to ? put : w - to);
        }
    }
    os_free(buf);
}

// Moves the kept part [from, end) down to to (apart) and cuts the file
// behind it. A copy that fails keeps the newest part as fd_halve says. 0,
// or -1 with errno of the first failure.
int move_keeping(int fd, halving &h, i64 from, i64 end, i64 to, moved *out)
{
    out->whole_from = -1;
    out->lost = 0;
    out->step = FD_HALVE_COPY;
    no_append na(fd);
    if (!na.ok()) return -1;
    i64 len = end - from, wrote = 0;
    if (copy_in_kernel(fd, from, end, to, &wrote) || copy_through(fd, from, end, to, &wrote)) {
        // A cut refused leaves the copy in front and the part at its
        // source, whole, with the broken rest of the older bytes between.
        bool cut = ftruncate(fd, (off_t)(to + len)) == 0;
        out->whole_from = cut ? 0 : from;
        out->step = cut ? FD_HALVE_COPY : FD_HALVE_CUT;
        return cut ? 0 : -1;
    }
    int eno = errno;
    if (wrote > 0) {
        out->whole_from = from;
        write_back(fd, h, from, len, to, out);
    }
    errno = eno;
    return -1;
}

int g_stopped = 0;  // fd_halve_stop was called (atomic access)

// A halving under way, told to the crash report through m->busy. The
// flag is raised before the stop is read and the report stops before it
// reads the flag, so one of them always sees the other.
struct busy_guard {
    fd_halve_mark *m;
    bool stopped;
    explicit busy_guard(fd_halve_mark *mk) : m(mk)
    {
        __atomic_store_n(&m->busy, 1, __ATOMIC_SEQ_CST);
        stopped = __atomic_load_n(&g_stopped, __ATOMIC_SEQ_CST) != 0;
    }
    ~busy_guard() { __atomic_store_n(&m->busy, 0, __ATOMIC_SEQ_CST); }
    busy_guard(const busy_guard &) = delete;
    busy_guard &operator=(const busy_guard &) = delete;
};

}  // namespace

void fd_halve_stop(void)
{
    __atomic_store_n(&g_stopped, 1, __ATOMIC_SEQ_CST);
}

bool fd_halve_busy(const fd_halve_mark *m)
{
    return m && __atomic_load_n(&m->busy, __ATOMIC_SEQ_CST) != 0;
}

int fd_halve(int fd, fd_halve_mark *m, i64 from, i64 end, i64 to)
{
    fd_halve_mark none;
    if (!m) {
        fd_halve_mark_init(&none);
        m = &none;
    }
    m->lost = 0;
    m->step = FD_HALVE_COPY;
    if (fd < 0 || !fd_mark::apart(from, end, to)) {
        errno = EINVAL;
        return -1;
    }
    busy_guard busy(m);
    if (busy.stopped) {
        errno = ECANCELED;
        return -1;
    }
    struct stat sb;
    halving h{m, m->dir >= 0 && fstat(fd, &sb) == 0 && fd_mark::ready(m), {}, {}};
    if (h.marked) {
        fd_halve_mark_text(h.copy, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to);
        fd_halve_mark_text(h.rewrite, (u64)sb.st_dev, (u64)sb.st_ino, from, end, to, true);
        // No copy without the marker that names it. One that names nothing
        // yet (just made, or "none") and cannot take the text (a full disk
        // has no block for it) is let go, and said: the halving goes on
        // without a marker, as where none can be made, since a full disk is
        // when it is needed most. One that names pending work stays as it is.
        if (!h.say(h.copy)) {
            if (fd_mark::pending(m)) {
                m->step = FD_HALVE_MARK;
                return -1;
            }
            fd_mark::drop(m, errno);
            h.marked = false;
        }
    }
    moved out;
    int rc = move_keeping(fd, h, from, end, to, &out);
    int eno = errno;
    lseek(fd, 0, SEEK_END);
    if (out.whole_from >= 0) m->whole_from = out.whole_from <= to ? 0 : out.whole_from;
    m->lost = out.lost;
    m->step = out.step;
    // The marker says what the next open must know: nothing, the copy
    // whose source is still in place, or where the whole records start
    // behind a tail that could not be cut (a part of no bytes).
    char text[FD_HALVE_MARK_LEN];
    if (h.marked && m->whole_from == from) {
        fd_mark::settle(m, h.copy);
    } else if (h.marked && m->whole_from) {
        fd_halve_mark_text(text, (u64)sb.st_dev, (u64)sb.st_ino, m->whole_from, m->whole_from, to);
        fd_mark::settle(m, text);
    } else if (!m->whole_from) {
        fd_mark::none_text(text);
        fd_mark::settle(m, text);
    }
    errno = eno;
    return rc == 0 ? (h.marked ? 1 : 0) : -1;
}

bool fd_halve_tally_wait(const fd_halve_tally *t)
{
    return t->retry_us && os_mono_us() < t->retry_us;
}

void fd_halve_tally_note(fd_halve_tally *t, int rc, int eno, const fd_halve_mark *m)
{
    bool failing = t->retry_us != 0;
    t->retry_us = 0;
    if (rc >= 0) return;
    if (!eno) eno = EIO;  // a failure is never told as a success
    u64 lost = m ? (u64)m->lost : 0;
    if (!t->fails++) {
        t->eno = eno;
        t->step = m ? m->step : FD_HALVE_COPY;
    }
    t->lost += lost;
    // On standard error: the first failure after one that did not fail,
    // and each that lost records.
    if (!failing || lost) {
        t->say_eno = eno;
        t->say_lost += lost;
    }
    t->retry_us = os_mono_us() + FD_FOLLOW_RETRY_US;
}

void fd_halve_tally_told(fd_halve_tally *t, const fd_halve_tally *told)
{
    t->fails = told && told->fails < t->fails ? t->fails - told->fails : 0;
    t->lost = t->fails && told && told->lost < t->lost ? t->lost - told->lost : 0;
}
