#pragma once
// bsv log records: every log record that passes the level filter becomes a
// binary log record (type 1) that goes to the UDP output hook (inside an
// info frame, for records with the level bit 0x400 or 0x800), to the file
// output hook and to the readers of the "log" record ring.
//
// Record layout (little-endian): sec u64, usec u32, pid u32, tid u32,
// level u8, then the strings tag, tid_name, file, line, func and msg, each
// with its NUL; the strings take at most 1449 bytes (the one that reaches
// the limit is cut with a NUL in the last byte, later ones are left out).
#include "libbsv/value.h"
#include "libpal/env/os_types.h"

constexpr int BSV_LOG_HDR = 21;        // fixed fields of a log record
constexpr int BSV_LOG2_HDR = 24;       // fixed fields of a v2 record
constexpr int BSV_LOG_STR_MAX = 1449;  // bytes of the strings
constexpr int BSV_LOG_REC_MAX = BSV_LOG_HDR + BSV_LOG_STR_MAX;    // 1470
constexpr int BSV_LOG2_REC_MAX = BSV_LOG2_HDR + BSV_LOG_STR_MAX;  // 1473
constexpr u32 BSV_LOG_LEVEL_NET = 0xc00;  // level bits that send a frame

// Output hooks; the level keeps its option bits.
typedef int (*bsv_log_udp_fn)(int level, const void *frame, int len, void *arg);
typedef int (*bsv_log_file_fn)(int level, const void *rec, int len, void *arg);

// Set (or clear, with NULL) an output hook. When the call returns, no
// thread runs the previous procedure any more, so its state may be freed;
// the caller must not hold a lock that the previous procedure takes.
// safe_fn is the async-signal-safe form of fn (same argument) that a crash
// report runs; without one the crash report skips that output.
void bsv_log_set_udp_proc(bsv_log_udp_fn fn, void *arg, bsv_log_udp_fn safe_fn = nullptr);
void bsv_log_set_file_proc(bsv_log_file_fn fn, void *arg, bsv_log_file_fn safe_fn = nullptr);

// The record hook of the log call. A record logged while this thread is
// already inside the hook (by a consumer or a rule) skips the bsv outputs.
int bsv_log_hook(int level, const char *module, const char *file, int line, const char *func,
                 const char *msg);

// The async-signal-safe form of bsv_log_hook for a crash report: the same
// record and frame bytes, built on the stack with the thread's kept name
// (or its id), handed to the hooks' safe procedures and written to the
// "log" ring only where its locks can be had within the crash report's
// short wait. No allocation, no log call, no blocking lock.
int bsv_log_hook_safe(int level, const char *module, const char *file, int line,
                      const char *func, const char *msg);
// Does once what bsv_log_hook_safe must find done (the process id, the
// frame layer's application id and cipher key); the crash handler's set-up
// calls it.
void bsv_log_safe_init(void);

int bsv_log_build(void *buf, int level, const char *tag, const char *path, int line,
                  const char *func, const char *msg);
int bsv_log_build2(void *buf, int level, const char *tag, const char *path, int line,
                   const char *func, const char *msg);

// Parsed log records: the texts point into the record; a text the record
// lacks (it was cut) is "".
struct bsv_log_rec {
    u64 sec;
    u32 usec;
    u32 pid;
    u32 tid;
    u8 level;
    const char *tag;
    const char *tid_name;
    const char *file;
    const char *line;
    const char *func;
    const char *msg;
};

struct bsv_log_rec2 {
    u64 sec;
    u32 usec;
    u32 pid;
    u32 tid;
    u16 cpu_num;
    u8 irql;
    u8 level;
    const char *tag;
    const char *tid_name;
    const char *file;
    const char *line;
    const char *func;
    const char *msg;
};

// 0, or -1 when ctx has not the record's layout or the record is shorter
// than its fixed fields.
int bsv_log_parse(const void *rec, int len, const bsv_value *ctx, bsv_log_rec *out);
int bsv_log_parse2(const void *rec, int len, const bsv_value *ctx, bsv_log_rec2 *out);

// The "log" ring type: the log schema, type id 1, records of at most
// 1472 bytes, at most 8 readers.
int bsv_reg_log(void);
// Registers the "log" type again after the rings were closed
// (bsv_rbuf_exit), for a log opened again; 0, or -1 when it cannot.
int bsv_reg_log_again(void);
// bsv_reg_log, then the "log" type id (1); the record type of pcap logs.
int bsv_log_type_get(void);
// Type id of the "log" ring type: 1 once it is registered, 0 before.
u32 bsv_log_type_id(void);

// Log reader: reads the "log" ring back, record by record.
struct bsv_rbuf_reader;
constexpr int BSV_LOG_READ_BUF = 4096;
struct bsv_log_handle {
    bsv_rbuf_reader *reader;
    bsv_value *vctx;
    u8 buf[BSV_LOG_READ_BUF];  // whole ring blocks: a 2-byte length, then a record
    u32 fill;
    u32 pos;
};

bsv_log_handle *bsv_open_log(void);
int bsv_close_log(bsv_log_handle *h);
// The next record: its length with *rec pointing at it (valid until the
// next read), 0 when nothing is queued, -1 on error.
int bsv_read_raw_log(bsv_log_handle *h, const u8 **rec);
// The next record as a text line "YYYY-MM-DD HH:MM:SS.mmm LEVEL pid --- [thread]
// tag func(): message" in local time: the length written, 0 when nothing
// is queued, -1 on error.
int bsv_read_log(bsv_log_handle *h, u32 *level, char *text, size_t size);
// Heap text (os_free) of the reader ring's six counters, or NULL.
char *bsv_rbuf_stat_dump(bsv_log_handle *h);
