#pragma once
// Log configuration and control: the "log" section of the configuration
// file, run-time command codes, getters and setters, the settings text and
// the "log.level" shell variable.
#include <cstdint>
#include "liblog/log.h"

// log2_ioctl command codes.
enum {
    LOG_IOC_LEVEL = 1,
    LOG_IOC_FLAGS = 2,
    LOG_IOC_LEVEL_STR = 3,
    LOG_IOC_FLAGS_STR = 4,
    LOG_IOC_HOOK_HI = 5,
    LOG_IOC_HOOK_LO = 6,
    LOG_IOC_LEVEL_GET = 7,
    LOG_IOC_FILE_OPEN = 20,
    LOG_IOC_FILE_DIR = 21,
    LOG_IOC_FILE_SIZE = 22,
    LOG_IOC_BSV_URL = 23,
    LOG_IOC_SYSLOG_URL = 24,
    LOG_IOC_CON_ON = 40,
    LOG_IOC_FILE_ON = 42,
    LOG_IOC_SYSLOG_ON = 43,
};

// The settings in effect, as log_info_get took them: its texts are copies,
// which a later change of the log does not touch.
struct log_info {
    i32 level;
    u32 flags;
    u8 con_on;
    u8 file_on;
    char file_name[sizeof(log_file_state::name)];
    i32 file_size;
    u8 syslog_on;
    char syslog_url[sizeof(log_net_state::url)];
    char bsv_url[sizeof(log_bsv_udp_state::url)];
};

struct log2 *log2_init(const char *conf_path, const char *name);
// Numbers are passed in arg; texts and functions as their address.
int log2_ioctl(struct log2 *ctx, int code, intptr_t arg, int size);

int log_level_set(struct log2 *ctx, int level);
int log_level_get(struct log2 *ctx);
int log_level_set_str(struct log2 *ctx, const char *name);
const char *log_level_get_str(struct log2 *ctx);
const char *log_last_log_get(struct log2 *ctx);
// Copy of the last-log text taken under the output lock (counted text).
char *log_last_log_dup(struct log2 *ctx);
// The file output's name: the calling thread's own copy, good until its
// next call.
const char *log_file_name_get(struct log2 *ctx);
long log_file_offset_get(struct log2 *ctx);
void log_info_get(struct log2 *ctx, log_info *info);
char *log_info_dump(struct log2 *ctx);

struct dvar_mgr;
int log_level_cmd_reg(dvar_mgr *mgr);
int log_level_cmd_get(char *buf, size_t size);
int log_level_cmd_set(const char *value, char *msg);

// While held, outputs that create files or start threads (the text or
// pcap file, the bsv sender) are only recorded; releasing the hold opens
// what was recorded on the default context, and looks the syslog host up
// (log_net_check). Start-up holds them until the option checks and the
// daemon fork are done.
void log2_outputs_hold(int hold);
