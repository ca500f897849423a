#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libpal/mpcap/mpcap"
#include "libpal/mpcap/mpcap.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/fd_open.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/os/posix/name_pipe_srv.h"

namespace {

constexpr bool kHostBig = std::endian::native == std::endian::big;

inline u32 sw32(u32 v, u32 swap) { return swap ? __builtin_bswap32(v) : v; }
inline u16 sw16(u16 v, u32 swap) { return swap ? __builtin_bswap16(v) : v; }

int clamp_int(i64 v)
{
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

pcap_dumper *dumper_new(pcap *p, FILE *fp, const char *path, const fd_halve_mark *mark)
{
    pcap_dumper *d = (pcap_dumper *)os_zalloc(sizeof *d);
    char *name = os_strdup(path);
    if (!d || !name) {
        os_free(d);
        os_free(name);
        fclose(fp);
        return nullptr;
    }
    d->ctx = p;
    d->kind = PCAP_DUMP_FILE;
    d->fp = fp;
    d->name = name;
    d->mark = *mark;
    pthread_mutex_init(&d->lock, nullptr);
    fd_follow_start(&d->follow, fileno(fp), nullptr);
    return d;
}

// Raises the news flag when something is due for pcap_dump_news; the
// caller holds the lock or the dumper is its own.
void update_news(pcap_dumper *d)
{
    if (d->mark.news || d->why_due || d->halve.fails || d->halve.say_eno)
        __atomic_store_n(&d->news, 1, __ATOMIC_RELEASE);
}

// The global header of an empty file: whole, or the file stays empty.
bool write_hdr(pcap *p, FILE *fp)
{
    struct iovec v = {&p->hdr, PCAP_HDR_SIZE};
    return fd_append_whole(fileno(fp), &v, 1);
}

// Reads the packet headers of a file in blocks.
struct hdr_reader {
    hdr_reader(int f, i64 n) : fd(f), size(n) {}
    int fd;
    i64 size;
    i64 at = 0;
    size_t len = 0;
    u8 buf[4096];
    // The record header at off: 1, 0 when it does not lie whole inside the
    // file, -1 when it cannot be read.
    int get(i64 off, u32 rec[4])
    {
        if (off + (i64)PCAP_REC_HDR_SIZE > size) return 0;
        if (off < at || off + (i64)PCAP_REC_HDR_SIZE > at + (i64)len) {
            size_t n = (size_t)(size - off < (i64)sizeof buf ? size - off : (i64)sizeof buf);
            if (!fd_pread_all(fd, buf, n, off)) return -1;
            at = off;
            len = n;
        }
        memcpy(rec, buf + (off - at), PCAP_REC_HDR_SIZE);
        return 1;
    }
};

// Follows the packet chain from off while packets start before stop: the
// offset reached (the first packet at or after stop, or the end of the
// file), or, with *broken set, the offset of the first record that does
// not lie whole inside the file or whose captured length is above snap;
// -1 when the file cannot be read.
i64 walk(hdr_reader &r, i64 off, i64 stop, u32 swap, u32 snap, bool *broken)
{
    *broken = false;
    while (off < stop && off < r.size) {
        u32 rec[4] = {};
        int got = r.get(off, rec);
        if (got < 0) return -1;
        u32 cap = sw32(rec[2], swap);
        if (!got || cap > snap || off + (i64)PCAP_REC_HDR_SIZE + cap > r.size) {
            *broken = true;
            return off;
        }
        off += (i64)PCAP_REC_HDR_SIZE + cap;
    }
    return off;
}

// The halving's marker of a dumper of p: its halvings copy whole packets
// down behind the header.
void mark_init(fd_halve_mark *m, const pcap *p)
{
    fd_halve_mark_init(m, pcap_whole_end, p, pcap_part_check, PCAP_HDR_SIZE);
}

// Where the packet chain of the file of m is known to start: the header's
// end, or where a halving whose cut was refused left the whole packets.
i64 chain_start(const fd_halve_mark *m)
{
    return m && m->whole_from > (i64)PCAP_HDR_SIZE ? m->whole_from : (i64)PCAP_HDR_SIZE;
}

// The check of a file that holds p's header before packets are appended:
// a record cut short at the end (a write stopped by a kill or a power cut)
// would make every packet behind it unreadable, so the file is cut back to
// its last whole packet, and the bytes cut off are said in mark. The chain
// is walked from start (a packet known whole). 0, or -1 (errno set) when
// the file cannot be read or cut.
int cut_torn(pcap *p, int fd, i64 size, const char *path, fd_halve_mark *mark)
{
    hdr_reader r(fd, size);
    bool broken;
    i64 end = walk(r, chain_start(mark), size, p->swap, sw32(p->hdr.snaplen, p->swap), &broken);
    if (end < 0) return -1;
    if (!broken) return 0;
    if (ftruncate(fd, (off_t)end) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "%s: the packet at offset %d is torn and cannot be cut off: ", path, clamp_int(end));
        return -1;
    }
    fd_halve_mark_note(mark, "%s: the packet at offset %lld was torn; %lld bytes cut off", path, (long long)end,
                       (long long)(size - end));
    return 0;
}

// Opens the path for appending: an empty file gets the global header; a
// file that holds one is continued only when it is exactly p's, since
// packets of another byte order or link type would make it unreadable
// (such a file is left as it is); its torn last record is cut off first
// (cut_torn). A file shorter than the header whose bytes begin p's header
// (the header's write was cut short) is started anew. mkparent: a missing
// directory is made too. Another user's link, FIFO or file in a shared
// directory is refused (fd_open_log); the halving's marker is placed
// beside the file, a finding kept in mark, and a halving finished that
// failed noted in tally. NULL with errno set.
FILE *open_append(pcap *p, const char *path, bool mkparent, fd_halve_mark *mark, fd_halve_tally *tally)
{
    FILE *fp = nullptr;
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path, O_RDWR | O_CREAT | O_APPEND, 0644, mkparent, &at);
    if (fd >= 0 && !(fp = fdopen(fd, "ab+"))) close(fd);
    if (!fp) {
        fd_log_place_close(&at);
        return nullptr;
    }
    fd_halve_mark_place(mark, &at);
    if (fd_halve_resume(fd, mark) < 0) fd_halve_tally_note(tally, -1, errno, mark);
    i64 size = fseeko(fp, 0, SEEK_END) == 0 ? (i64)ftello(fp) : -1;
    pcap_file_hdr have;
    size_t part = size > 0 && size < (i64)PCAP_HDR_SIZE ? (size_t)size : 0;
    if (part && fd_pread_all(fd, &have, part, 0) && memcmp(&have, &p->hdr, part) == 0 && ftruncate(fd, 0) == 0)
        size = 0;
    bool ok;
    if (size == 0) {
        ok = write_hdr(p, fp);
    } else {
        ok = size >= (i64)PCAP_HDR_SIZE && fd_pread_all(fd, &have, sizeof have, 0) &&
             memcmp(&have, &p->hdr, sizeof have) == 0;
        if (!ok) {
            LOG_ERR("%s is no pcap file of this kind (%d bytes)\n", path, clamp_int(size));
            errno = EINVAL;
        } else {
            ok = cut_torn(p, fd, size, path, mark) == 0;
        }
    }
    if (!ok) {
        int e = errno;
        fclose(fp);
        errno = e;
        return nullptr;
    }
    return fp;
}

}  // namespace

pcap *pcap_open_dead(int linktype, int snaplen, int byte_order)
{
    pcap *p = (pcap *)os_zalloc(sizeof *p);
    if (!p) return nullptr;
    p->swap = (byte_order == 1) != kHostBig ? 1 : 0;
    p->hdr.magic = sw32(PCAP_MAGIC, p->swap);
    p->hdr.version_major = sw16(2, p->swap);
    p->hdr.version_minor = sw16(4, p->swap);
    p->hdr.snaplen = sw32((u32)snaplen, p->swap);
    p->hdr.linktype = sw32((u32)linktype, p->swap);
    return p;
}

void pcap_close(pcap *p)
{
    os_free(p);
}

pcap_dumper *pcap_dump_open(pcap *p, const char *path)
{
    if (!p || !path) return nullptr;
    // Readable too: the size rule walks the packets of the file. Every
    // packet goes to the file's end, whatever a halving did.
    fd_log_place at;
    fd_log_place_init(&at);
    int fd = fd_open_log(path, O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644, false, &at);
    FILE *fp = fd >= 0 ? fdopen(fd, "ab+") : nullptr;
    fd_halve_mark mark;
    mark_init(&mark, p);
    fd_halve_mark_place(&mark, &at);
    if (!fp) {
        if (fd >= 0) close(fd);
        fd_halve_mark_close(&mark);
        return nullptr;
    }
    fd_halve_mark_remove(&mark);
    if (!write_hdr(p, fp)) {
        fclose(fp);
        fd_halve_mark_close(&mark);
        return nullptr;
    }
    pcap_dumper *d = dumper_new(p, fp, path, &mark);
    if (!d) fd_halve_mark_close(&mark);
    return d;
}

pcap_dumper *pcap_dump_open_append(pcap *p, const char *path)
{
    if (!p || !path) return nullptr;
    fd_halve_mark mark;
    mark_init(&mark, p);
    fd_halve_tally tally{};
    FILE *fp = open_append(p, path, false, &mark, &tally);
    pcap_dumper *d = fp ? dumper_new(p, fp, path, &mark) : nullptr;
    if (d) {
        d->halve = tally;
        update_news(d);
    } else {
        fd_halve_mark_close(&mark);
    }
    return d;
}

namespace {

// The record header in the file's byte order; the captured length, cut to
// the snap length.
u32 rec_hdr(const pcap_dumper *d, const pcap_pkthdr *h, u32 rec[4])
{
    u32 swap = d->ctx->swap;
    u32 snap = sw32(d->ctx->hdr.snaplen, swap);
    u32 cap = h->caplen < snap ? h->caplen : snap;
    rec[0] = sw32(h->ts_sec, swap);
    rec[1] = sw32(h->ts_usec, swap);
    rec[2] = sw32(cap, swap);
    rec[3] = sw32(h->len, swap);
    return cap;
}

// Writes one packet, header and data in one call straight to the file
// (the stream's buffer stays empty): a packet that does not fit whole is
// taken back, so that the packets behind it do not shift. The caller
// holds the lock.
int write_locked(pcap_dumper *d, const pcap_pkthdr *h, const void *data)
{
    if (!d->fp) {
        errno = d->open_errno ? d->open_errno : EBADF;
        return -1;
    }
    u32 rec[4];
    u32 cap = rec_hdr(d, h, rec);
    struct iovec v[2] = {{rec, sizeof rec}, {(void *)data, cap}};
    if (!fd_append_whole(fileno(d->fp), v, 2)) return -1;
    ++d->unlooked;
    return (int)cap;
}

// The size rule; the caller holds the lock. A halving that fails is
// counted for the writer to tell, and the next waits a second (the file
// stays over its limit meanwhile).
int set_fsize_locked(pcap_dumper *d, u64 limit)
{
    if (!d->fp || d->kind != PCAP_DUMP_FILE) return -1;
    if (fd_halve_tally_wait(&d->halve)) return 0;
    int rc = pcap_trim_fd(fileno(d->fp), &d->mark, limit, (int)d->ctx->swap);
    fd_halve_tally_note(&d->halve, rc, errno, &d->mark);
    update_news(d);
    if (rc > 0) d->unlooked = 0;
    return rc < 0 ? -1 : 0;
}

}  // namespace

int pcap_dump_write(pcap_dumper *d, const pcap_pkthdr *h, const void *data)
{
    if (!d || !h || (!data && h->caplen)) return -1;
    pthread_guard g(&d->lock);
    return write_locked(d, h, data);
}

int pcap_dump_write_limited(pcap_dumper *d, const pcap_pkthdr *h, const void *data, u64 limit)
{
    if (!d || !h || (!data && h->caplen)) return -1;
    pthread_guard g(&d->lock);
    int n = write_locked(d, h, data);
    if (n < 0) return -1;
    set_fsize_locked(d, limit);
    return n;
}

int pcap_dump_write_safe(pcap_dumper *d, const pcap_pkthdr *h, const void *data)
{
    if (!d || !h || (!data && h->caplen) || d->kind != PCAP_DUMP_FILE) return -1;
    if (!os_panic_trylock(&d->lock)) return -1;
    // With the lock held no packet is half written; this one goes behind
    // what the file holds in one write(2), or not at all.
    int rc = -1;
    u8 pkt[PCAP_REC_HDR_SIZE + PCAP_SAFE_DATA_MAX];
    u32 rec[4];
    u32 cap = d->fp ? rec_hdr(d, h, rec) : 0;
    int fd = d->fp ? fileno_unlocked(d->fp) : -1;
    if (fd >= 0 && cap <= PCAP_SAFE_DATA_MAX && lseek(fd, 0, SEEK_END) >= 0) {
        memcpy(pkt, rec, sizeof rec);
        if (cap) memcpy(pkt + sizeof rec, data, cap);
        struct iovec v = {pkt, sizeof rec + cap};
        if (fd_append_whole(fd, &v, 1)) rc = (int)cap;
    }
    pthread_mutex_unlock(&d->lock);
    return rc;
}

int pcap_dump_follow(pcap_dumper *d, u64 now, u32 *lost)
{
    if (lost) *lost = 0;
    if (!d || d->kind != PCAP_DUMP_FILE || now < __atomic_load_n(&d->look_due, __ATOMIC_RELAXED)) return 0;
    pthread_guard g(&d->lock);
    if (now < __atomic_load_n(&d->look_due, __ATOMIC_RELAXED)) return 0;  // looked at meanwhile
    if (d->fp) {
        int fd = fileno(d->fp);
        u64 last = d->follow.checked_us;
        fd_look look = fd_follow_look(&d->follow, fd, d->name, now);
        if (look == fd_look::gone) {
            // The packets written since the last look (all within
            // FD_FOLLOW_BURST_US of it) went with a deleted file when it
            // went while they came; one found gone after a quiet spell
            // most likely went during it.
            if (lost && now - last < FD_FOLLOW_NAME_US && fd_unlinked(fd)) *lost = d->unlooked;
            fclose(d->fp);
            d->fp = nullptr;
        }
        if (look != fd_look::none) d->unlooked = 0;
    }
    if (!d->fp) {
        d->fp = open_append(d->ctx, d->name, true, &d->mark, &d->halve);
        update_news(d);
        if (d->fp) fd_follow_start(&d->follow, fileno(d->fp), nullptr);
        else d->open_errno = errno;
    }
    u64 due = d->fp ? d->follow.checked_us + FD_FOLLOW_BURST_US : now + FD_FOLLOW_RETRY_US;
    __atomic_store_n(&d->look_due, due, __ATOMIC_RELAXED);
    return d->fp ? 0 : -1;
}

bool pcap_dump_news(pcap_dumper *d, pcap_dump_told *out)
{
    if (!d || !__atomic_load_n(&d->news, __ATOMIC_ACQUIRE)) return false;
    pthread_guard g(&d->lock);
    if (d->telling) return false;
    __atomic_store_n(&d->news, 0, __ATOMIC_RELAXED);
    // Standard error's part is told once, now; the file's stays due until
    // it is written.
    const char *why = fd_halve_mark_news(&d->mark);
    out->say_why = why != nullptr;
    d->why_due |= out->say_why;
    if (d->why_due) memcpy(out->why, d->mark.why, sizeof out->why);
    else out->why[0] = 0;
    out->halve = d->halve;
    d->halve.say_eno = 0;
    d->halve.say_lost = 0;
    d->telling = out->why[0] || out->halve.fails || out->halve.say_eno;
    return d->telling;
}

void pcap_dump_news_done(pcap_dumper *d, const pcap_dump_told *written)
{
    pthread_guard g(&d->lock);
    if (written->why[0]) d->why_due = 0;
    if (written->halve.fails) fd_halve_tally_told(&d->halve, &written->halve);
    d->telling = 0;
    update_news(d);
}

long pcap_dump_flush(pcap_dumper *d)
{
    if (!d) return -1;
    pthread_guard g(&d->lock);
    if (d->kind == PCAP_DUMP_PIPE || d->kind == PCAP_DUMP_MEM) return (long)d->bytes;
    return d->fp ? fflush(d->fp) : -1;
}

void pcap_dump_close(pcap_dumper *d)
{
    if (!d) return;
    if (d->fp) fclose(d->fp);
    if (d->pipe) os_name_pipe_srv_close((os_name_pipe_srv *)d->pipe);
    fd_halve_mark_close(&d->mark);
    os_free(d->name);
    pthread_mutex_destroy(&d->lock);
    os_free(d);
}

i64 pcap_whole_end(int fd, i64 from, i64 size, const void *p)
{
    const pcap *c = (const pcap *)p;
    hdr_reader r(fd, size);
    bool broken;
    return walk(r, from, size, c->swap, sw32(c->hdr.snaplen, c->swap), &broken);
}

int pcap_part_check(int fd, i64 from, i64 end, i64, const void *p)
{
    i64 w = pcap_whole_end(fd, from, end, p);
    return w < 0 ? -1 : w == end ? 1 : 0;
}

int pcap_trim_fd(int fd, fd_halve_mark *m, u64 limit, int swap)
{
    if (m) {
        m->lost = 0;
        m->step = FD_HALVE_COPY;
    }
    off_t eof = lseek(fd, 0, SEEK_END);
    if (eof < 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "ftell error: ");
        return -1;
    }
    i64 size = (i64)eof;
    if ((u64)size < limit) return 0;
    pcap_file_hdr hdr;
    if (size < (i64)PCAP_HDR_SIZE || !fd_pread_all(fd, &hdr, sizeof hdr, 0)) {
        int eno = size < (i64)PCAP_HDR_SIZE ? ENODATA : errno;
        LOG_ERR("file error offset=%d fsize=%d\n", 0, clamp_int(size));
        errno = eno;
        return -1;
    }
    hdr_reader r(fd, size);
    u32 snap = sw32(hdr.snaplen, (u32)swap);
    bool broken;
    // The first packet that starts at or after half the limit, and within
    // the newest half of the limit (a file far over it, after halvings that
    // failed or a smaller limit, comes back within it at once), and the end
    // of the chain behind it: the end of the file, or the first record that
    // is not whole. No more is kept, so the file keeps its limit and stays
    // readable whatever its chain holds.
    // The packets in front of whole_from (a copy whose cut was refused,
    // and the broken rest behind it) are not walked: they go.
    i64 half = (i64)(limit / 2);
    i64 from = walk(r, chain_start(m), size - half > half ? size - half : half, (u32)swap, snap, &broken);
    i64 end = from < 0 || broken ? from : walk(r, from, size, (u32)swap, snap, &broken);
    if (end < 0) return -1;
    if (broken) LOG_ERR("file error offset=%d fsize=%d\n", clamp_int(end), clamp_int(size));
    // Copied behind the header, the kept part must not reach its own
    // bytes: it starts in the second half of what stays.
    i64 mid = (end + (i64)PCAP_HDR_SIZE + 1) / 2;
    if (from < mid && (from = walk(r, from, mid, (u32)swap, snap, &broken)) < 0) return -1;
    if (from < end) {
        if (fd_halve(fd, m, from, end, PCAP_HDR_SIZE) >= 0) return 1;
        return errno == ECANCELED ? 0 : -1;
    }
    // No packet starts there: the newest is longer than the packets before
    // it, and all of them stay until the next halving, cut at a break.
    if (end == size) return 0;
    if (ftruncate(fd, (off_t)end) == 0) return 1;
    if (m) m->step = FD_HALVE_CUT;
    return -1;
}

int pcap_dump_set_fsize(pcap_dumper *d, u64 limit)
{
    if (!d) return -1;
    pthread_guard g(&d->lock);
    return set_fsize_locked(d, limit);
}

int pcap_dump_mem_reset(pcap_dumper *d)
{
    if (!d || d->kind != PCAP_DUMP_PIPE) return -1;
    pthread_guard g(&d->lock);
    d->bytes = 0;
    d->connected = 0;
    return 0;
}

int pcap_dump_mem_sync(pcap_dumper *d)
{
    if (!d || d->kind != PCAP_DUMP_PIPE) return -1;
    pthread_guard g(&d->lock);
    if (!d->connected && d->pipe) os_name_pipe_srv_disconnect((os_name_pipe_srv *)d->pipe);
    return 0;
}
