#pragma once
// A minimal writer of classic pcap capture files: the global header, packet
// records, and a size rule that drops the oldest packets whole. Every
// dumper operation holds the dumper's lock, so several threads may write
// one file.
#include <cstdio>
#include <pthread.h>
#include "libpal/env/os_types.h"
#include "libpal/os/fd_follow.h"
#include "libpal/os/fd_move.h"

constexpr u32 PCAP_MAGIC = 0xa1b2c3d4;
constexpr u32 PCAP_HDR_SIZE = 24;
constexpr u32 PCAP_REC_HDR_SIZE = 16;

// The global header as it is written (fields already in file order when
// swap is set).
struct pcap_file_hdr {
    u32 magic;
    u16 version_major;
    u16 version_minor;
    i32 thiszone;
    u32 sigfigs;
    u32 snaplen;
    u32 linktype;
};
static_assert(sizeof(pcap_file_hdr) == PCAP_HDR_SIZE, "pcap global header layout");

struct pcap {
    pcap_file_hdr hdr;
    u32 swap;  // 1: the file is big-endian and fields are byte-swapped
};

// Record header: seconds, microseconds, captured and original length.
struct pcap_pkthdr {
    u32 ts_sec;
    u32 ts_usec;
    u32 caplen;
    u32 len;
};

enum : i32 {
    PCAP_DUMP_FILE = 0,
    PCAP_DUMP_PIPE = 2,
    PCAP_DUMP_MEM = 3,
};

struct pcap_dumper {
    pcap *ctx;
    i32 kind;
    FILE *fp;        // NULL once the file could not be kept open
    void *pipe;      // named-pipe server of a pipe dumper
    u64 bytes;       // byte counter of pipe and memory dumpers
    char *name;
    u32 connected;
    pthread_mutex_t lock;
    // Following the name (pcap_dump_follow).
    fd_follow follow;
    u64 look_due;    // no look before this time (atomic access: read
                     // without the lock)
    u32 unlooked;    // packets written since the last look
    int open_errno;  // why the name could not be opened again
    fd_halve_mark mark;    // the marker of the size rule's halvings
    fd_halve_tally halve;  // the halvings that failed, not told yet
    u8 why_due;            // mark.why is not written in the file yet
    u8 telling;            // a writer is telling (pcap_dump_news)
    u32 news;              // something for pcap_dump_news (atomic access)
};

// byte_order 0 little-endian, 1 big-endian.
pcap *pcap_open_dead(int linktype, int snaplen, int byte_order);
void pcap_close(pcap *p);
// Creates (or empties) the file and writes the global header.
pcap_dumper *pcap_dump_open(pcap *p, const char *path);
// Appends to the file, or NULL when it holds another header than this
// context's (left untouched). The halving its marker names is finished
// first (a failure is noted in halve), and the packet chain is cut at its
// first record that is not whole (said in mark.why, in bytes).
pcap_dumper *pcap_dump_open_append(pcap *p, const char *path);
// Writes one packet (captured length cut to the snap length) straight to
// the file, whole or not at all: a packet that does not fit (a full disk)
// is taken back, so that the file stays a valid chain of whole packets.
// The data bytes written, or -1.
int pcap_dump_write(pcap_dumper *d, const pcap_pkthdr *h, const void *data);
// Writes one packet as pcap_dump_write does and applies the size rule, as
// one step under the dumper's lock (the file stays within the limit plus
// one packet). The data bytes written, or -1.
int pcap_dump_write_limited(pcap_dumper *d, const pcap_pkthdr *h, const void *data, u64 limit);
// The crash report's form (async-signal-safe): the packet of at most
// PCAP_SAFE_DATA_MAX data bytes is written with write(2) when the dumper's
// lock can be had within the crash report's short wait; no size rule, no
// log record. The data bytes written, or -1.
constexpr u32 PCAP_SAFE_DATA_MAX = 2048;
int pcap_dump_write_safe(pcap_dumper *d, const pcap_pkthdr *h, const void *data);
long pcap_dump_flush(pcap_dumper *d);
// What the writer has to tell: the finding in mark.why (why: for the file;
// say_why: for standard error, once) and the halvings that failed (halve;
// its say_ fields once). One load when there is nothing; true when *out
// holds something, which one writer at a time is given: it then calls
// pcap_dump_news_done with what it wrote in the file (the rest stays due).
struct pcap_dump_told {
    char why[sizeof(fd_halve_mark::why)];
    bool say_why;
    fd_halve_tally halve;
};
bool pcap_dump_news(pcap_dumper *d, pcap_dump_told *out);
void pcap_dump_news_done(pcap_dumper *d, const pcap_dump_told *written);
// Opens the name anew (as pcap_dump_open_append, its directory made too)
// when it no longer leads to the open file; one look per
// FD_FOLLOW_BURST_US at most (now: monotonic microseconds). 0, or -1 while
// the name cannot be opened (packets refused with its errno; tried again
// once a second). *lost: the packets written since the last look that
// went with a deleted file, when that look is under FD_FOLLOW_NAME_US old.
int pcap_dump_follow(pcap_dumper *d, u64 now, u32 *lost);
void pcap_dump_close(pcap_dumper *d);
// Applies the size rule (pcap_trim_fd) under the dumper's marker; a
// failure is noted in halve and the next waits a second. 0, or -1.
int pcap_dump_set_fsize(pcap_dumper *d, u64 limit);
int pcap_dump_mem_reset(pcap_dumper *d);
int pcap_dump_mem_sync(pcap_dumper *d);

// The size rule on the file open at fd (readable and writable; packet
// headers in the byte order swap) under the marker m (NULL: none): at
// limit bytes or more it keeps its header and its newest whole packets
// (fd_halve), walked from m->whole_from when set; a chain that breaks is
// logged as "file error" and cut at the break. 1 trimmed, 0 nothing done
// (also during a crash report), -1 failed (errno; m->step, m->lost).
int pcap_trim_fd(int fd, fd_halve_mark *m, u64 limit, int swap);
// The end of the last whole packet of [from, size) of the file open at fd
// (from: a packet start) in the byte order and snap length of p (a
// pcap *): the records rule of the marker of a dumper. -1 when the file
// cannot be read.
i64 pcap_whole_end(int fd, i64 from, i64 size, const void *p);
// Whether [from, end) of that file is whole packets, as a halving of the
// size rule keeps them (see fd_part_check).
int pcap_part_check(int fd, i64 from, i64 end, i64 to, const void *p);
