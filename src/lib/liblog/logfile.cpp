#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile"
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/mpcap/fd_move.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr u64 kBurstUs = 20;              // records this close share a name check
constexpr u64 kRetryUs = 1000000;         // a file that cannot be written is tried again after this
constexpr char kDroppedFmt[] = "%u log records dropped: the file could not be written (%s)\n";

bool ends_with_pcap(const char *path)
{
    size_t n = strlen(path);
    return n >= 5 && strcmp(path + n - 5, ".pcap") == 0;
}

// The path a name stands for: inside the directory when it is relative and
// a directory is set. 0, or -1 when it does not fit.
int full_path(const log_file_state *st, const char *name, char *out, size_t size)
{
    if (name[0] != '/' && st->dir[0]) {
        int n = snprintf(out, size, "%s%c%s", st->dir, '/', name);
        return n >= 0 && (size_t)n < size ? 0 : -1;
    }
    return str_safecopy_trunc(out, size, name) == 0 ? 0 : -1;
}

// An absolute, normalised form of path without touching the file: the
// current directory goes in front of a relative path.
void absolute_name(const char *path, char *out, size_t size)
{
    char cwd[4096];
    if (path[0] != '/' && getcwd(cwd, sizeof cwd)) {
        int n = snprintf(out, size, "%s/%s", cwd, path);
        if (n < 0 || (size_t)n >= size) str_safecopy_trunc(out, size, path);
    } else {
        str_safecopy_trunc(out, size, path);
    }
    path_normalize(out);
}

// Identity, kind and size of a file. Only these fields are asked for: a
// query of the file times would make the kernel stamp the next write with
// a fresh time, one inode update per record.
struct file_id {
    u64 dev, ino, size;
    bool reg;
};

bool id_of(int dirfd, const char *path, int flags, file_id *out)
{
    struct statx sx;
    if (statx(dirfd, path, flags, STATX_TYPE | STATX_INO | STATX_SIZE, &sx) != 0) return false;
    out->dev = (u64)sx.stx_dev_major << 32 | sx.stx_dev_minor;
    out->ino = sx.stx_ino;
    out->size = sx.stx_size;
    out->reg = S_ISREG(sx.stx_mode);
    return true;
}

bool id_of_name(const char *path, file_id *out) { return id_of(AT_FDCWD, path, 0, out); }
bool id_of_fd(int fd, file_id *out) { return id_of(fd, "", AT_EMPTY_PATH, out); }

// Opens the text file; "w" empties it, "a" and "a+" keep it. The
// descriptor appends, so that every record lands at the current end, and
// reads, for the trim. A file that is opened again after it vanished gets
// its directory back too when that vanished with it (remake).
int open_text(log_file_state *st, const char *path, bool truncate, bool remake)
{
    int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = remake ? os_open_mkparent(path, flags, 0644) : open(path, flags, 0644);
    if (fd < 0) return -1;
    file_id id;
    if (!id_of_fd(fd, &id)) {
        close(fd);
        return -1;
    }
    st->fd = fd;
    st->dev = id.dev;
    st->ino = id.ino;
    st->size = id.size;
    st->checked_us = 0;
    // The name is looked up again only after the file was unlinked, moved
    // or changed: a lookup per record costs more than the write.
    st->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (st->watch >= 0 &&
        inotify_add_watch(st->watch, path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
        close(st->watch);
        st->watch = -1;
    }
    return 0;
}

void close_text(log_file_state *st)
{
    if (st->fd >= 0) close(st->fd);
    if (st->watch >= 0) close(st->watch);
    st->fd = -1;
    st->watch = -1;
}

u64 mono_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (u64)ts.tv_sec * 1000000u + (u64)ts.tv_nsec / 1000u;
}

// True when the file may no longer be the one of the name: it had an
// event, or there is no watch. Records that follow each other within
// kBurstUs (now: microseconds of any clock that moves on) share one look
// at the events.
bool maybe_moved(log_file_state *st, u64 now)
{
    if (st->watch < 0) return true;
    if (now - st->checked_us < kBurstUs) return false;
    st->checked_us = now;
    // Counting the queued events is cheaper than reading none.
    int queued = 0;
    if (ioctl(st->watch, FIONREAD, &queued) != 0) return true;
    if (queued <= 0) return false;
    alignas(struct inotify_event) char buf[4096];
    while (read(st->watch, buf, sizeof buf) > 0) {
    }
    return true;
}

// True while the open file is the one the name gives.
bool is_named(const log_file_state *st)
{
    file_id id;
    return id_of_name(st->name, &id) && id.reg && id.dev == st->dev && id.ino == st->ino;
}

// The reopen of the writer: the stored name with "a+".
int reopen_text(log_file_state *st)
{
    close_text(st);
    if (st->name[0]) return open_text(st, st->name, false, true);
    errno = ENOENT;
    return -1;
}

// Errors after which the same file may take records again once space
// returns; after others the name is opened anew.
bool is_space_error(int eno)
{
    return eno == ENOSPC || eno == EDQUOT || eno == EFBIG;
}

// A record that is not written is counted.
int drop(log_file_state *st)
{
    if (st->dropped != UINT32_MAX) ++st->dropped;
    return -1;
}

// A write or open that failed: its record is dropped and the file is left
// alone until the next attempt is due.
int fail(log_file_state *st, int eno)
{
    if (!st->dropped) log_debug_printf("log_file_write: fwrite error\n");
    st->drop_errno = eno;
    st->retry_us = mono_us() + kRetryUs;
    return drop(st);
}

inline size_t put_n(char *p, unsigned v, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = (char)('0' + v % 10);
        v /= 10;
    }
    return (size_t)digits;
}

inline size_t put_s(char *p, size_t room, const char *s)
{
    size_t n = strnlen(s, room);
    memcpy(p, s, n);
    return n;
}

// The level labels as the header writes them, padded to five.
constexpr char kLabels[7][6] = {"CRIT ", "ERROR", "WARN ", "NOTI ", "INFO ", "DEBUG", "VERB "};

// Text that changes at most once a second (the date and time up to the
// dot) or never (the process id), kept per thread.
struct header_cache {
    int key[6] = {-1};
    char stamp[20];  // "YYYY-MM-DD HH:MM:SS."
    u32 pid = 0;
    u8 pid_len = 0;
    char pid_text[12];
};
thread_local header_cache t_head;

// "%04d-%02d-%02d %02d:%02d:%02d.%06u %-5s %d --- [%s] %s " from one read
// of the clock; returns its length. The time of day in microseconds goes
// to tod when asked for.
size_t build_header(char *h, size_t cap, int level, const char *module, u64 *tod)
{
    struct tm tm;
    u32 usec;
    os_time_stamp(&tm, nullptr, &usec);
    usec %= 1000000;
    header_cache &c = t_head;
    const int key[6] = {tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    if (memcmp(key, c.key, sizeof key) != 0) {
        memcpy(c.key, key, sizeof key);
        int year = tm.tm_year + 1900;
        if (year < 0 || year > 9999) year = 0;
        char *t = c.stamp;
        t += put_n(t, (unsigned)year, 4);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mon + 1, 2);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mday, 2);
        *t++ = ' ';
        t += put_n(t, (unsigned)tm.tm_hour, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_min, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_sec, 2);
        *t = '.';
    }
    if (tod) *tod = (u64)((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 1000000u + usec;
    size_t n = sizeof c.stamp;
    memcpy(h, c.stamp, n);
    n += put_n(h + n, usec, 6);
    h[n++] = ' ';
    if (level >= LOG_LVL_CRIT && level <= LOG_LVL_VERB) {
        memcpy(h + n, kLabels[level - LOG_LVL_CRIT], 5);
        n += 5;
    } else {
        size_t l = put_s(h + n, 32, log_level_2_prefix(level));
        n += l;
        for (; l < 5; ++l) h[n++] = ' ';
    }
    h[n++] = ' ';
    u32 pid = os_getpid();
    if (pid != c.pid) {
        char *e = c.pid_text + sizeof c.pid_text, *p = e;
        for (u32 v = pid; p == e || v; v /= 10) *--p = (char)('0' + v % 10);
        c.pid_len = (u8)(e - p);
        memmove(c.pid_text, p, c.pid_len);
        c.pid = pid;
    }
    memcpy(h + n, c.pid_text, c.pid_len);
    n += c.pid_len;
    memcpy(h + n, " --- [", 6);
    n += 6;
    os_thread_name_get(h + n, 256);
    n += strnlen(h + n, 255);
    h[n++] = ']';
    h[n++] = ' ';
    n += put_s(h + n, cap - n - 2 < 256 ? cap - n - 2 : 256, module ? module : "");
    h[n++] = ' ';
    h[n] = 0;
    return n;
}

// Writes header and line in one call, behind the line that tells of
// dropped records when there were any; the bytes written, or 0 when the
// record did not go out whole (then nothing of it stays in the file). A
// short line is copied behind the header: one buffer writes faster than
// two.
size_t write_record(log_file_state *st, char *h, size_t hl, size_t cap, const char *line, size_t len)
{
    char note[1024];
    size_t nl = 0;
    if (st->dropped) {
        nl = build_header(note, sizeof note / 2, LOG_LVL_WARN, LOG_MOD, nullptr);
        int n = log_file_dropped_text(note + nl, sizeof note - nl, st->dropped, st->drop_errno);
        nl += n > 0 ? (size_t)n : 0;
    }
    struct iovec v[3] = {{note, nl}, {h, hl}, {(void *)line, len}};
    if (hl + len <= cap) {
        memcpy(h + hl, line, len);
        v[1].iov_len += len;
        v[2].iov_len = 0;
    }
    return fd_append_whole(st->fd, v, 3) ? nl + hl + len : 0;
}

}  // namespace

// Keeps the newest part of a file of size bytes: the last half of the
// limit, from its first line start on, is moved to the front in bounded
// steps and the file is cut behind it. The file stays the same (readers
// that follow it keep their descriptor) and a crash part way loses no
// line that was not going to be dropped.
int log_file_trim(int fd, i64 size, i32 limit)
{
    i64 half = limit / 2;
    i64 start = size > half ? size - half : 0;
    // The first line start at or after start.
    char buf[4096];
    i64 src = -1;
    for (i64 at = start; at < size && src < 0;) {
        size_t n = (size_t)(size - at < (i64)sizeof buf ? size - at : (i64)sizeof buf);
        if (!fd_pread_all(fd, buf, n, at)) return -1;
        if (const char *nl = (const char *)memchr(buf, '\n', n)) src = at + (nl - buf) + 1;
        at += (i64)n;
    }
    return fd_move_down(fd, src < 0 ? start : src, size, 0);
}

void log_file_init(log_file_state *st)
{
    if (!st) return;
    memset(st, 0, sizeof *st);
    st->mode[0] = 'w';
    st->size_limit = LOG_FILE_SIZE_DEFAULT;
    st->kind = LOG_FILE_KIND_TEXT;
    st->fd = -1;
    st->watch = -1;
}

int log_file_dropped_text(char *buf, size_t size, u32 count, int eno)
{
    char et[256];
    int n = snprintf(buf, size, kDroppedFmt, count, os_errno_str(eno, et, sizeof et));
    return n < 0 ? 0 : (size_t)n < size ? n : (int)size - 1;
}

int log_file_close(log_file_state *st)
{
    if (!st) return 0;
    if (st->pcap) {
        log_file_pcap_detach(st);
        log_file_pcap_close(st);
    }
    close_text(st);
    st->held = 0;
    st->dropped = 0;
    st->retry_us = 0;
    return 0;
}

int log_file_hold(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    log_file_close(st);
    char path[4096];
    if (full_path(st, name, path, sizeof path) != 0) {
        log_debug_printf("fopen %s err\n", name);
        st->name[0] = 0;
        return -1;
    }
    absolute_name(path, st->name, sizeof st->name);
    st->kind = ends_with_pcap(path) ? LOG_FILE_KIND_PCAP : LOG_FILE_KIND_TEXT;
    st->held = 1;
    return 0;
}

int log_file_open(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    char path[4096];
    int fit = full_path(st, name, path, sizeof path);  // before name may be cleared
    log_file_close(st);
    st->name[0] = 0;
    st->kind = ends_with_pcap(path) ? LOG_FILE_KIND_PCAP : LOG_FILE_KIND_TEXT;
    if (st->kind == LOG_FILE_KIND_PCAP) {
        if (fit != 0 || log_file_pcap_open(st, path) != 0) {
            log_debug_printf("bsvf_pcap_file %s err\n", path);
            return -1;
        }
    } else if (fit != 0 || open_text(st, path, st->mode[0] == 'w', false) != 0) {
        log_debug_printf("fopen %s err\n", path);
        return -1;
    }
    char real[PATH_MAX];
    if (realpath(path, real)) str_safecopy_trunc(st->name, sizeof st->name, real);
    else absolute_name(path, st->name, sizeof st->name);
    path_normalize(st->name);
    return 0;
}

int log_file_write(struct log2 *ctx, int level, const char *module, const char *line, int len)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c || !line || len < 0) return -1;
    log_file_state *st = &c->file;
    if (st->kind == LOG_FILE_KIND_PCAP || st->held) return 0;
    // While records are dropped the file is left alone (no look at its
    // name, no reopen, no write) until the next attempt is due: a record
    // then costs what it costs without the file.
    if (st->dropped && mono_us() < st->retry_us) return drop(st);
    // The header's read of the clock also paces the looks at the name.
    char h[2048];
    u64 tod;
    size_t hl = build_header(h, 1024, level, module, &tod);
    // Follow the name: a file deleted or moved away is made anew.
    bool moved = st->fd >= 0 && maybe_moved(st, tod) && !is_named(st);
    if (st->fd < 0 || moved || (st->dropped && !is_space_error(st->drop_errno))) {
        if (reopen_text(st) != 0) return fail(st, errno);
    }
    size_t put = write_record(st, h, hl, sizeof h, line, (size_t)len);
    if (!put) return fail(st, errno);
    st->dropped = 0;
    st->size += put;
    file_id id;
    if ((i64)st->size >= st->size_limit) {
        // The count may be stale (another writer of the same file, or an
        // outside truncation): the real size decides.
        if (!id_of_fd(st->fd, &id)) return 0;
        st->size = id.size;
        if ((i64)id.size >= st->size_limit && log_file_trim(st->fd, (i64)id.size, st->size_limit) == 0 &&
            id_of_fd(st->fd, &id))
            st->size = id.size;
    }
    return 0;
}

int log_file_dir_set(log_file_state *st, const char *dir)
{
    if (!st || !dir) return -1;
    if (os_mkdirs(dir) != 0) log_debug_printf("os_mkdirs %s failed\n", dir);
    str_safecopy_trunc(st->dir, sizeof st->dir, dir);
    return 0;
}

int log_file_mode_set(log_file_state *st, const char *mode)
{
    if (!st || !mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log_debug_printf("mode %s err\n", mode ? mode : "(null)");
        return -1;
    }
    st->mode[0] = mode[0];
    st->mode[1] = 0;
    return 0;
}

int log_file_size_set(log_file_state *st, i32 bytes)
{
    if (!st) return -1;
    // Read without the output mutex by the pcap hook.
    __atomic_store_n(&st->size_limit, bytes < LOG_FILE_SIZE_MIN ? LOG_FILE_SIZE_MIN : bytes,
                     __ATOMIC_RELAXED);
    return 0;
}

log_file_state *log_file_get(log_file_state *st)
{
    return st;
}

i32 log_file_size_get(log_file_state *st)
{
    return st ? __atomic_load_n(&st->size_limit, __ATOMIC_RELAXED) : 0;
}

long log_file_tell(log_file_state *st)
{
    if (!st || st->fd < 0) return -1;
    return (long)lseek(st->fd, 0, SEEK_END);
}
