#pragma once
// bsv pcap logs: bsv records as packets of a pcap file, one user link type
// per record type (146 + type for types 1 to 15). The packet header carries
// the record's seconds and microseconds; the packet data are the record
// from its byte 12 on.
#include "libpal/env/os_types.h"

struct pcap;
struct pcap_dumper;
struct bsv_value;

struct bsvf_pcap {
    pcap *ctx;
    pcap_dumper *dumper;
    bsv_value *value;
};

constexpr int BSVF_PCAP_SNAPLEN = 65536;

// Link type of a record type, or -1 (logged).
int bsvf_type_2_dlt(int type);
bsvf_pcap *bsvf_pcap_create(const char *path, int type);
bsvf_pcap *bsvf_pcap_append(const char *path, int type);
bsvf_pcap *bsvf_pcap_create_imp(const char *path, int append, int type);
// Writes one record of more than 12 bytes as a packet: the data bytes
// written, or -1.
int bsvf_pcap_write(bsvf_pcap *h, const void *rec, int len);
// Writes the record, applies the size rule with limit and flushes, all
// under the file's lock, so that several writers keep the limit.
int bsvf_pcap_write_limited(bsvf_pcap *h, const void *rec, int len, u64 limit);
// The crash report's form (async-signal-safe): the packet is written only
// when the file's lock can be had within a short wait, without the size
// rule and without a log record. The data bytes written, or -1.
int bsvf_pcap_write_safe(bsvf_pcap *h, const void *rec, int len);
int bsvf_pcap_set_fsize(bsvf_pcap *h, u64 limit);
// Opens the file's name anew when it no longer leads to the file (see
// pcap_dump_follow): 0, or -1 while it cannot be opened.
int bsvf_pcap_follow(bsvf_pcap *h, u64 now, u32 *lost);
long bsvf_pcap_flush(bsvf_pcap *h);
int bsvf_pcap_mem_reset(bsvf_pcap *h);
int bsvf_pcap_mem_sync(bsvf_pcap *h);
void bsvf_pcap_close(bsvf_pcap *h);
