#include "liblog/log.h"

// The pcap kind of the file output: bsv log records as packets of a pcap
// file, written by the record layer's file hook on the logging threads.
int log_file_pcap_open(log_file_state *, const char *)
{
    return -1;
}

void log_file_pcap_close(log_file_state *st)
{
    st->pcap = nullptr;
}

void log_file_pcap_detach(log_file_state *st)
{
    st->hooked = 0;
}

int log_file_pcap_write(int, const void *, int, void *)
{
    return 0;
}
