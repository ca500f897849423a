#include "libbsv/bsv_log.h"
#include "libbsvf/pcap.h"
#include "liblog/log.h"

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
    // Write, size rule and flush as one step: the limit holds with any
    // number of logging threads.
    return bsvf_pcap_write_limited(st->pcap, rec, len, (u64)log_file_size_get(st));
}

int log_file_pcap_write_safe(int, const void *rec, int len, void *state)
{
    log_file_state *st = (log_file_state *)state;
    return st && st->pcap ? bsvf_pcap_write_safe(st->pcap, rec, len) : 0;
}
