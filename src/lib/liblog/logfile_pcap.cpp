#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile_pcap"
#include <cerrno>
#include <utility>

#include "libbsv/bsv_log.h"
#include "libbsvf/pcap.h"
#include "liblog/log.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/mpcap/mpcap.h"

namespace {

// Counts records that could not be written.
void pcap_drop(log_file_state *st, u32 n, int eno)
{
    if (__atomic_fetch_add(&st->pcap_dropped, n, __ATOMIC_ACQ_REL) == 0)
        __atomic_store_n(&st->pcap_errno, eno, __ATOMIC_RELAXED);
}

}  // namespace

// The pcap kind of the file output: bsv log records as packets of a pcap
// file, written by the record layer's file hook on the logging threads
// (outside the output mutex; the file has its own lock).
int log_file_pcap_open(log_file_state *st, const char *path)
{
    int type = bsv_log_type_get();
    errno = 0;
    bsvf_pcap *h = nullptr;
    if (log_file_make_dirs(st) == 0)
        h = st->mode[0] == 'a' ? bsvf_pcap_append(path, type) : bsvf_pcap_create(path, type);
    __atomic_store_n(&st->pcap_dropped, 0, __ATOMIC_RELAXED);
    st->pcap = h;
    if (h) return 0;
    // The writer tries the name again once a second.
    if (!errno) errno = EINVAL;
    __atomic_store_n(&st->open_retry_us, os_mono_us() + FD_FOLLOW_RETRY_US, __ATOMIC_RELAXED);
    return -1;
}

void log_file_pcap_attach(log_file_state *st)
{
    st->hooked = 1;
    bsv_log_set_file_proc(log_file_pcap_write, st, log_file_pcap_write_safe);
}

void log_file_pcap_detach(log_file_state *st)
{
    if (!st || !st->hooked) return;
    // Returns once no thread runs the hook any more.
    bsv_log_set_file_proc(nullptr, nullptr);
    st->hooked = 0;
}

void log_file_pcap_close(log_file_state *st)
{
    log_file_pcap_detach(st);
    if (st->pcap && st->pcap->dumper) log_file_mark_closed(&st->pcap->dumper->mark);  // no writer runs now
    bsvf_pcap_close(st->pcap);
    st->pcap = nullptr;
}

namespace {

// The file whose name did not open, opened for appending when the next
// attempt is due (one logging thread makes it); NULL meanwhile.
bsvf_pcap *pcap_open_again(log_file_state *st)
{
    u64 now = os_mono_us();
    u64 due = __atomic_load_n(&st->open_retry_us, __ATOMIC_RELAXED);
    if (now < due || !__atomic_compare_exchange_n(&st->open_retry_us, &due, now + FD_FOLLOW_RETRY_US, false,
                                                  __ATOMIC_RELAXED, __ATOMIC_RELAXED))
        return nullptr;
    bsvf_pcap *h = log_file_make_dirs(st) == 0 ? bsvf_pcap_append(st->name, bsv_log_type_get()) : nullptr;
    if (!h) {
        log_file_open_failed(st, st->name, errno ? errno : EINVAL);
        return nullptr;
    }
    bsvf_pcap *none = nullptr;
    if (__atomic_compare_exchange_n(&st->pcap, &none, h, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return h;
    bsvf_pcap_close(h);  // made by a thread of an earlier attempt meanwhile
    return none;
}

// A record of the output itself as a packet, ahead of the record due.
int write_note(bsvf_pcap *h, const char *msg, u64 limit, int line, int level = LOG_LVL_WARN)
{
    u8 note[BSV_LOG_REC_MAX];
    int n = bsv_log_build(note, level, LOG_MOD, LOG_SRC, line, "log_file_pcap_write", msg);
    return n > 0 ? bsvf_pcap_write_limited(h, note, n, limit) : -1;
}

// What the file's writer has to tell (a finding about the marker or a
// loss found at an open, halvings that failed): on standard error once,
// and as records in the file, in front of the next record (a finding of
// an open) or at once behind the record whose halving failed; a record
// that cannot be written stays due.
void tell_news(log_file_state *st, bsvf_pcap *h, u64 limit)
{
    pcap_dump_told told;
    if (!pcap_dump_news(h->dumper, &told)) return;
    if (told.say_why) log_tell("%s", told.why);
    log_file_halve_failed(st->name, &told.halve);
    char msg[512];
    snprintf(msg, sizeof msg, "%s\n", told.why);
    if (told.why[0] && write_note(h, msg, limit, __LINE__) < 0) told.why[0] = 0;
    if (told.halve.fails) {
        log_file_halve_failed_text(msg, sizeof msg, &told.halve);
        if (write_note(h, msg, limit, __LINE__, LOG_LVL_ERR) < 0) told.halve.fails = 0;
    }
    pcap_dump_news_done(h->dumper, &told);
}

}  // namespace

bool log_file_pcap_keep(log_file_state *st, const void *rec, int len)
{
    pthread_guard g(&st->keep_lock);
    bool held = __atomic_load_n(&st->held, __ATOMIC_ACQUIRE);
    if (held) log_keep_put(&st->keep, rec, (size_t)len);
    return held;
}

void log_file_pcap_release(log_file_state *st, int rc, int eno)
{
    bsvf_pcap *h = rc == 0 ? __atomic_load_n(&st->pcap, __ATOMIC_ACQUIRE) : nullptr;
    u64 limit = (u64)log_file_size_get(st);
    // The packets are written without the lock (a writer may log), taken
    // out in turns until none came meanwhile.
    for (;;) {
        log_file_keep k{};
        {
            pthread_guard g(&st->keep_lock);
            if (!st->keep.count && !st->keep.over) {
                __atomic_store_n(&st->held, 0, __ATOMIC_RELEASE);
                return;
            }
            std::swap(k, st->keep);
        }
        u32 lost = k.count, at = 0, len;
        for (const char *r; h && (r = log_keep_next(&k, &at, &len)); --lost) {
            if (bsvf_pcap_write_limited(h, r, (int)len, limit) < 0) {
                eno = errno;
                h = nullptr;  // the rest waits no more for a file that fails
                break;
            }
        }
        if (lost) pcap_drop(st, lost, eno);
        if (k.over) pcap_drop(st, k.over, ENOBUFS);
        log_keep_clear(&k);
    }
}

int log_file_pcap_write(int, const void *rec, int len, void *state)
{
    log_file_state *st = (log_file_state *)state;
    if (!st) return 0;
    if (__atomic_load_n(&st->held, __ATOMIC_ACQUIRE) && log_file_pcap_keep(st, rec, len)) return 0;
    bsvf_pcap *h = __atomic_load_n(&st->pcap, __ATOMIC_ACQUIRE);
    if (!h && !(h = pcap_open_again(st))) {
        pcap_drop(st, 1, __atomic_load_n(&st->open_errno, __ATOMIC_RELAXED));
        return -1;
    }
    u64 limit = (u64)log_file_size_get(st);
    // A file deleted or moved away is made anew by name; the records that
    // went with a deleted one count as dropped.
    u32 gone;
    if (bsvf_pcap_follow(h, os_mono_us(), &gone) < 0) log_file_open_failed(st, st->name, errno);
    if (gone) pcap_drop(st, gone, ENOENT);
    // After records were dropped (a full disk, a name that did not open)
    // the first packets written again are records that say so. Each
    // writer that takes a count reports its own share, so none is told
    // twice.
    if (__atomic_load_n(&st->pcap_dropped, __ATOMIC_RELAXED) | __atomic_load_n(&st->open_fails, __ATOMIC_RELAXED)) {
        char msg[512];
        if (u32 fails = __atomic_exchange_n(&st->open_fails, 0, __ATOMIC_ACQ_REL)) {
            log_file_opened_text(msg, sizeof msg, st->name, fails);
            if (write_note(h, msg, limit, __LINE__) < 0) {
                __atomic_fetch_add(&st->open_fails, fails, __ATOMIC_ACQ_REL);
                pcap_drop(st, 1, errno);
                return -1;
            }
        }
        if (u32 lost = __atomic_exchange_n(&st->pcap_dropped, 0, __ATOMIC_ACQ_REL)) {
            log_file_dropped_text(msg, sizeof msg, lost, __atomic_load_n(&st->pcap_errno, __ATOMIC_RELAXED));
            if (write_note(h, msg, limit, __LINE__) < 0) {
                pcap_drop(st, lost + 1, errno);
                return -1;
            }
        }
    }
    tell_news(st, h, limit);
    // Write, size rule and flush as one step: the limit holds with any
    // number of logging threads.
    int rc = bsvf_pcap_write_limited(h, rec, len, limit);
    if (rc < 0) pcap_drop(st, 1, errno);
    tell_news(st, h, limit);
    return rc;
}

int log_file_pcap_write_safe(int, const void *rec, int len, void *state)
{
    log_file_state *st = (log_file_state *)state;
    bsvf_pcap *h = st ? __atomic_load_n(&st->pcap, __ATOMIC_ACQUIRE) : nullptr;
    return h ? bsvf_pcap_write_safe(h, rec, len) : 0;
}
