#pragma once
// Record rings: a ring type is a named stream of bsv records; each reader
// opened on it ("name?query") gets a ring of its own, so a slow reader
// loses only its own oldest records. A record written to the type is
// copied into the ring of every active reader whose rule filter keeps it.
//
// Lock order: the registry mutex, then a reader's ring mutex (then the
// rule set's own mutex while a filter runs).
#include <atomic>

#include "libbsv/value.h"
#include "libpal/env/os_types.h"
#include "libpal/memory/rbuf.h"

struct qexpr;
struct qexpr_value;
struct bsv_rbuf_reader;

constexpr int BSV_RBUF_TYPES_MAX = 8;
constexpr int BSV_RBUF_ERR_SIZE = 4096;
constexpr u64 BSV_RBUF_SIZE_DEFAULT = 1048576;
constexpr u64 BSV_RBUF_SIZE_MAX = 64ull << 20;  // largest ring a reader may ask for

// Ring type, owned by whoever registers it.
struct bsv_rbuf_type {
    const char *name;
    const char *schema;
    u32 type_id;
    u32 swap;
    u32 max_rec;       // largest record, also each reader ring's block size
    i32 max_readers;
    std::atomic<u32> readers;  // open readers
    // max_readers entries: the caller's zero-filled array, or NULL to have
    // the registry allocate one (and free it at the tear-down)
    bsv_rbuf_reader **slots;
};

struct bsv_rbuf_reader {
    rbuf *ring;
    bsv_value *vctx;     // for the filter, made with it
    qexpr *rules;        // NULL without a filter
    std::atomic<u32> active;
    bsv_rbuf_type *type; // NULL once the registry has been torn down
};

struct bsv_rbuf_reader_info {
    u16 type_id;
    u16 swap;
    u32 max_rec;
    char schema[512];
};

int bsv_rbuf_reg(bsv_rbuf_type *type);
// A new reader, or NULL with the reason in err (BSV_RBUF_ERR_SIZE bytes):
// "memory allocation failed", "name does not exist", "too many readers",
// or a size beyond BSV_RBUF_SIZE_MAX.
bsv_rbuf_reader *bsv_rbuf_open(const char *text, char *err);
int bsv_rbuf_close(bsv_rbuf_reader *r);
int bsv_rbuf_info(bsv_rbuf_reader *r, bsv_rbuf_reader_info *info);
int bsv_rbuf_start(bsv_rbuf_reader *r);
// Loads rule text into the reader's rule set (made on first use): the
// loader's result, -1 (logged with the reason) when the text is refused or
// no rule set can be made. Records the rules drop never reach the ring.
int bsv_rbuf_set_filter(bsv_rbuf_reader *r, const char *rules);
// The rule set's verdict over one record: 1 drop, 0 keep.
int bsv_rbuf_filter(const bsv_value *vctx, const void *rec, u64 len, qexpr *rules);
// Context of the variable procedure: rule variables are record fields.
struct bsv_rbuf_filter_ctx {
    const bsv_value *vctx;
    const void *rec;
    u64 len;
};
int bsv_rbuf_filter_proc(const char *name, qexpr_value *val, void *arg);
int bsv_rbuf_write(bsv_rbuf_type *type, const void *rec, int len);
// The async-signal-safe form for a crash report: the registry's and each
// ring's lock are only tried for the crash report's short wait, readers
// with a rule filter are passed over (rules allocate and log), and waiting
// readers are not woken. 0, or -1 when the registry's lock stayed taken.
int bsv_rbuf_write_safe(bsv_rbuf_type *type, const void *rec, int len);
// Whole ring blocks (a 2-byte length, then the record), no waiting.
i64 bsv_rbuf_read(bsv_rbuf_reader *r, void *buf, u64 len);
int bsv_rbuf_stat(bsv_rbuf_reader *r, rbuf_stat *out);
int bsv_rbuf_find(bsv_rbuf_reader *r);
// Drops every ring type. Readers stay with their owners, who still read
// what their rings hold and close them; they receive nothing more.
int bsv_rbuf_exit(void);
