#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile"
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr size_t kMoveChunk = 64 * 1024;  // bytes moved per step of a trim

bool ends_with_pcap(const char *path)
{
    size_t n = strlen(path);
    return n >= 5 && strcmp(path + n - 5, ".pcap") == 0;
}

// Every missing directory of path with mode 0755; a directory made by
// another process meanwhile is fine.
int mkdirs(const char *path)
{
    char buf[4096];
    if (str_safecopy_trunc(buf, sizeof buf, path) != 0 || !buf[0]) return -1;
    path_normalize(buf);
    for (char *p = buf + 1;; ++p) {
        if (*p != '/' && *p) continue;
        char c = *p;
        *p = 0;
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
        *p = c;
        if (!c || !p[1]) break;
    }
    struct stat sb;
    return stat(buf, &sb) == 0 && S_ISDIR(sb.st_mode) ? 0 : -1;
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

// Opens the text file; "w" empties it, "a" and "a+" keep it. The
// descriptor appends, so that every record lands at the current end, and
// reads, for the trim.
int open_text(log_file_state *st, const char *path, bool truncate)
{
    int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = open(path, flags, 0644);
    if (fd < 0) return -1;
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
        close(fd);
        return -1;
    }
    st->fd = fd;
    st->dev = sb.st_dev;
    st->ino = sb.st_ino;
    return 0;
}

void close_text(log_file_state *st)
{
    if (st->fd >= 0) close(st->fd);
    st->fd = -1;
}

// The reopen of the writer: the stored name with "a+".
int reopen_text(log_file_state *st)
{
    close_text(st);
    return st->name[0] ? open_text(st, st->name, false) : -1;
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

// "%04d-%02d-%02d %02d:%02d:%02d.%06u %-5s %d --- [%s] %s " from one read
// of the clock; returns its length.
size_t build_header(char *h, size_t cap, int level, const char *module)
{
    struct tm tm;
    u32 usec;
    os_time_stamp(&tm, nullptr, &usec);
    size_t n = 0;
    int year = tm.tm_year + 1900;
    if (year < 0 || year > 9999) year = 0;
    n += put_n(h + n, (unsigned)year, 4);
    h[n++] = '-';
    n += put_n(h + n, (unsigned)tm.tm_mon + 1, 2);
    h[n++] = '-';
    n += put_n(h + n, (unsigned)tm.tm_mday, 2);
    h[n++] = ' ';
    n += put_n(h + n, (unsigned)tm.tm_hour, 2);
    h[n++] = ':';
    n += put_n(h + n, (unsigned)tm.tm_min, 2);
    h[n++] = ':';
    n += put_n(h + n, (unsigned)tm.tm_sec, 2);
    h[n++] = '.';
    n += put_n(h + n, usec % 1000000, 6);
    h[n++] = ' ';
    size_t l = put_s(h + n, 32, log_level_2_prefix(level));
    n += l;
    for (; l < 5; ++l) h[n++] = ' ';
    h[n++] = ' ';
    char pid[16];
    int pl = snprintf(pid, sizeof pid, "%u", os_getpid());
    n += put_s(h + n, (size_t)pl, pid);
    memcpy(h + n, " --- [", 6);
    n += 6;
    char name[256];
    os_thread_name_get(name, sizeof name);
    n += put_s(h + n, sizeof name, name);
    h[n++] = ']';
    h[n++] = ' ';
    n += put_s(h + n, cap - n - 2 < 256 ? cap - n - 2 : 256, module ? module : "");
    h[n++] = ' ';
    h[n] = 0;
    return n;
}

// Writes header and line in one call; true when every byte went out.
bool write_record(int fd, const char *h, size_t hl, const char *line, size_t len)
{
    struct iovec v[2] = {{(void *)h, hl}, {(void *)line, len}};
    ssize_t n = writev(fd, v, 2);
    return n >= 0 && (size_t)n == hl + len;
}

bool pread_all(int fd, char *buf, size_t n, off_t at)
{
    while (n) {
        ssize_t r = pread(fd, buf, n, at);
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

bool pwrite_all(int fd, const char *buf, size_t n, off_t at)
{
    while (n) {
        ssize_t r = pwrite(fd, buf, n, at);
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

// Keeps the newest part of a file of size bytes: the last half of the
// limit, from its first line start on, is moved to the front in bounded
// steps and the file is cut behind it. The file stays the same (readers
// that follow it keep their descriptor) and a crash part way loses no
// line that was not going to be dropped.
int log_file_trim(int fd, i64 size, i32 limit)
{
    i64 half = limit / 2;
    i64 start = size > half ? size - half : 0;
    char small[4096];
    char *buf = (char *)os_malloc(kMoveChunk);
    size_t chunk = buf ? kMoveChunk : sizeof small;
    if (!buf) buf = small;
    int rc = -1;
    // The first line start at or after start.
    i64 src = -1;
    for (i64 at = start; at < size && src < 0;) {
        size_t n = (size_t)(size - at < (i64)chunk ? size - at : (i64)chunk);
        if (!pread_all(fd, buf, n, at)) goto out;
        if (const char *nl = (const char *)memchr(buf, '\n', n)) src = at + (nl - buf) + 1;
        at += (i64)n;
    }
    if (src < 0) src = start;
    {
        // Positioned writes need a descriptor that does not append.
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_APPEND) != 0) goto out;
        i64 w = 0;
        bool ok = true;
        for (i64 r = src; r < size && ok;) {
            size_t n = (size_t)(size - r < (i64)chunk ? size - r : (i64)chunk);
            ok = pread_all(fd, buf, n, r) && pwrite_all(fd, buf, n, w);
            r += (i64)n;
            w += (i64)n;
        }
        if (ok && ftruncate(fd, w) == 0) rc = 0;
        fcntl(fd, F_SETFL, fl);
    }
out:
    if (buf != small) os_free(buf);
    return rc;
}

void log_file_state_init(log_file_state *st)
{
    memset(st, 0, sizeof *st);
    st->mode[0] = 'w';
    st->size_limit = LOG_FILE_SIZE_DEFAULT;
    st->kind = LOG_FILE_KIND_TEXT;
    st->fd = -1;
}

void log_file_init(log_file_state *st)
{
    if (st) log_file_state_init(st);
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
    } else if (fit != 0 || open_text(st, path, st->mode[0] == 'w') != 0) {
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
    // Follow the name: a file deleted or moved away is made anew.
    struct stat sb;
    bool same = stat(st->name, &sb) == 0 && S_ISREG(sb.st_mode) && st->fd >= 0 &&
                (u64)sb.st_dev == st->dev && (u64)sb.st_ino == st->ino;
    if (!same) {
        if (reopen_text(st) != 0) return -1;
        sb.st_size = 0;
        struct stat now;
        if (fstat(st->fd, &now) == 0) sb.st_size = now.st_size;
    }
    char h[1024];
    size_t hl = build_header(h, sizeof h, level, module);
    if (!write_record(st->fd, h, hl, line, (size_t)len)) {
        log_debug_printf("log_file_write: fwrite error\n");
        if (reopen_text(st) != 0) return -1;
        if (!write_record(st->fd, h, hl, line, (size_t)len)) {
            close_text(st);
            return -1;
        }
        struct stat now;
        sb.st_size = fstat(st->fd, &now) == 0 ? now.st_size - (off_t)(hl + (size_t)len) : 0;
    }
    i64 size = (i64)sb.st_size + (i64)(hl + (size_t)len);
    if (size >= st->size_limit) {
        // The size seen before this write may be stale (another writer of
        // the same file): the trim works on the real size.
        struct stat now;
        if (fstat(st->fd, &now) == 0 && now.st_size >= st->size_limit)
            log_file_trim(st->fd, now.st_size, st->size_limit);
    }
    return 0;
}

int log_file_dir_set(log_file_state *st, const char *dir)
{
    if (!st || !dir) return -1;
    if (mkdirs(dir) != 0) log_debug_printf("os_mkdirs %s failed\n", dir);
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
