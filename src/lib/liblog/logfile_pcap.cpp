#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/logfile_pcap"
#include <cerrno>

#include "libbsv/bsv_log.h"
#include "libbsvf/pcap.h"
#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/mpcap/mpcap.h"

namespace {

// Counts records that could not be written.
void pcap_drop(log_file_state *st, u32 n, int eno)
{
    if (__atomic_fetch_add(&st->pcap_dropped, n, __ATOMIC_ACQ_REL) == 0)
        __atomic_store_n(&st->pcap_errno, eno, __ATOMIC_RELAXED);
}

// A record torn by a write cut short, which the open of a file for
// appending cut off, counts as dropped.
constexpr int kTornErrno = EIO;

}  // namespace

// The pcap kind of the file output: bsv log records as packets of a pcap
// file, written by the record layer's file hook on the logging threads
// (outside the output mutex; the file has its own lock).
int log_file_pcap_open(log_file_state *st, const char *path)
{
    int type = bsv_log_type_get();
    bsvf_pcap *h = st->mode[0] == 'a' ? bsvf_pcap_append(path, type) : bsvf_pcap_create(path, type);
    if (!h) return -1;
    st->pcap = h;
    st->hooked = 1;
    __atomic_store_n(&st->pcap_dropped, 0, __ATOMIC_RELAXED);
    if (h->dumper->cut) pcap_drop(st, h->dumper->cut, kTornErrno);
    bsv_log_set_file_proc(log_file_pcap_write, st, log_file_pcap_write_safe);
    return 0;
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
    bsvf_pcap_close(st->pcap);
    st->pcap = nullptr;
}

int log_file_pcap_write(int, const void *rec, int len, void *state)
{
    log_file_state *st = (log_file_state *)state;
    if (!st || !st->pcap) return 0;
    u64 limit = (u64)log_file_size_get(st);
    // A file deleted or moved away is made anew by name; the records that
    // went with a deleted one, or were torn in the one found there, count
    // as dropped.
    u32 gone;
    int cut = bsvf_pcap_follow(st->pcap, os_mono_us(), &gone);
    if (gone) pcap_drop(st, gone, ENOENT);
    if (cut > 0) pcap_drop(st, (u32)cut, kTornErrno);
    // After records were dropped (a full disk) the first packet written
    // again is a record that says how many. Each writer that takes the
    // count reports its own share, so none is told twice.
    if (u32 lost = __atomic_exchange_n(&st->pcap_dropped, 0, __ATOMIC_ACQ_REL)) {
        char msg[512];
        log_file_dropped_text(msg, sizeof msg, lost, __atomic_load_n(&st->pcap_errno, __ATOMIC_RELAXED));
        u8 note[BSV_LOG_REC_MAX];
        int n = bsv_log_build(note, LOG_LVL_WARN, LOG_MOD, LOG_SRC, __LINE__, __func__, msg);
        if (n <= 0 || bsvf_pcap_write_limited(st->pcap, note, n, limit) < 0) {
            pcap_drop(st, lost + 1, errno);
            return -1;
        }
    }
    // Write, size rule and flush as one step: the limit holds with any
    // number of logging threads.
    int rc = bsvf_pcap_write_limited(st->pcap, rec, len, limit);
    if (rc < 0) pcap_drop(st, 1, errno);
    return rc;
}

int log_file_pcap_write_safe(int, const void *rec, int len, void *state)
{
    log_file_state *st = (log_file_state *)state;
    return st && st->pcap ? bsvf_pcap_write_safe(st->pcap, rec, len) : 0;
}
