#pragma once
// States of the log outputs that live inside the log context.
#include <atomic>
#include <cstdio>
#include "libpal/env/os_types.h"

struct mpcap_log;
struct os_udp;
struct os_thread;

// Text or pcap file output.
struct log_file_state {
    char name[4096];
    char dir[2048];
    char mode[2];
    i32 size_limit;
    i32 kind;  // 2 text, 1 pcap
    mpcap_log *pcap;
    FILE *fp;
};
constexpr i32 LOG_FILE_SIZE_DEFAULT = 0x200000;
constexpr i32 LOG_FILE_KIND_TEXT = 2;
constexpr i32 LOG_FILE_KIND_PCAP = 1;

// Remote syslog output.
struct log_net_state {
    char url[8192];
    char host[8192];
    i32 port;
    i32 transport;  // 4 stream, 2 datagram
    i32 sock;
    i32 state;      // 0 closed, 1 opened, 2 connected
};

// bsv frames over UDP.
struct log_bsv_udp_state {
    char url[8192];
    char host[8192];
    u32 port;
    os_udp *udp;
    u32 pend_len;
    u32 pend_level;
    os_thread *thread;
    u8 pend[8192];
};

struct log2;
void log_file_state_init(log_file_state *st);
int log_file_write(struct log2 *ctx, int level, const char *module, const char *line, int len);
int log_file_close(log_file_state *st);
int log_net_write(struct log2 *ctx, int level, const char *module, const char *line, int len);
int log_net_close(log_net_state *st);
int log_bsv_udp_close(log_bsv_udp_state *st);

// Opening and settings of the outputs.
int log_file_open(log_file_state *st, const char *name);
int log_file_dir_set(log_file_state *st, const char *dir);
int log_file_mode_set(log_file_state *st, const char *mode);
int log_file_size_set(log_file_state *st, i32 bytes);
long log_file_tell(log_file_state *st);
int log_net_open(log_net_state *st, const char *url);
int log_bsv_udp_open(log_bsv_udp_state *st, const char *url);
