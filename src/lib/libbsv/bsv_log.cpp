#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libbsv/bsv_log"
#include "libbsv/bsv_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sched.h>

#include "libbsv/bsv_net.h"
#include "libbsv/bsv_rbuf.h"
#include "libbsv/bsv_type.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/tid_name.h"
#include "libpal/memory/mem_util.h"
#include "libpal/string/str_buf.h"

namespace {

constexpr char kPathPrefix[] = "d:\\work\\vel\\";
constexpr size_t kPathPrefixLen = sizeof kPathPrefix - 1;  // 12

// ---- output hook slots ----

// A slot counts the threads inside its procedure, so that a setter can
// wait until the previous procedure is no longer running.
template <class Fn>
struct hook_slot {
    std::atomic<Fn> fn{nullptr};
    std::atomic<void *> arg{nullptr};
    std::atomic<Fn> safe_fn{nullptr};  // async-signal-safe form of fn
    std::atomic<u32> busy{0};
};
hook_slot<bsv_log_udp_fn> g_udp;
hook_slot<bsv_log_file_fn> g_file;
pthread_mutex_t g_set_lock = PTHREAD_MUTEX_INITIALIZER;

// Set while this thread runs the hook: records logged by the consumers (or
// by rules) then skip the bsv outputs instead of re-entering them.
thread_local bool t_in_hook = false;

struct in_hook_guard {
    in_hook_guard() { t_in_hook = true; }
    ~in_hook_guard() { t_in_hook = false; }
};

// The procedure is loaded again after the thread is counted: a setter that
// cleared the slot and then saw no thread counted knows that nobody runs
// the old procedure.
template <class Fn, class... A>
int call_hook(hook_slot<Fn> &s, A... a)
{
    s.busy.fetch_add(1);
    int rc = 0;
    if (Fn f = s.fn.load()) rc = f(a..., s.arg.load());
    s.busy.fetch_sub(1);
    return rc;
}

// The crash report's call: the safe form of the procedure, only while the
// procedure itself is set (both are stored before it).
template <class Fn, class... A>
int call_safe_hook(hook_slot<Fn> &s, A... a)
{
    s.busy.fetch_add(1);
    int rc = 0;
    if (s.fn.load())
        if (Fn f = s.safe_fn.load()) rc = f(a..., s.arg.load());
    s.busy.fetch_sub(1);
    return rc;
}

template <class Fn>
void set_hook(hook_slot<Fn> &s, Fn fn, void *arg, Fn safe_fn)
{
    pthread_guard g(&g_set_lock);
    s.fn.store(nullptr);
    // A consumer that changes a hook from inside the hook cannot wait for
    // itself.
    if (!t_in_hook)
        while (s.busy.load() != 0) sched_yield();
    s.arg.store(arg);
    s.safe_fn.store(fn ? safe_fn : nullptr);
    s.fn.store(fn);
}

// ---- records ----

// The fixed fields and the strings of a record with hdr fixed bytes, for
// the calling thread of the given log name. Async-signal-safe once the
// process id is kept.
int build_imp(void *buf, int hdr, int level, const char *tag, const char *path, int line,
              const char *func, const char *msg, const char *name)
{
    OS_CHECK_TXT(buf != nullptr, "buf!=NULL", -1);
    u8 *b = (u8 *)buf;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    bsv_put_le(b, (u64)ts.tv_sec, 8);
    bsv_put_le(b + 8, (u64)ts.tv_nsec / 1000, 4);
    bsv_put_le(b + 12, os_getpid(), 4);
    bsv_put_le(b + 16, os_gettid(), 4);
    if (hdr == BSV_LOG2_HDR) {
        bsv_put_le(b + 20, 1, 2);  // cpu_num
        b[22] = 2;                 // irql
    }
    b[hdr - 1] = (u8)level;

    char ltext[16];
    char *e = ltext + sizeof ltext, *p = e;
    *--p = 0;
    unsigned u = line < 0 ? 0u - (unsigned)line : (unsigned)line;
    do {
        *--p = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (line < 0) *--p = '-';
    int n = mem_cat_strs_n(b + hdr, BSV_LOG_STR_MAX, tag ? tag : "", name, path ? path : "", p,
                           func ? func : "", msg ? msg : "", (const char *)nullptr);
    return n < 0 ? -1 : hdr + n;
}

// A value context of the log layout with hdr fixed bytes.
bool log_ctx_ok(const bsv_value *ctx, int hdr)
{
    int fixed = hdr == BSV_LOG_HDR ? 5 : 7;
    return ctx && ctx->count_idx == fixed + 6 && ctx->str_idx == fixed &&
           ctx->val[fixed].offset == hdr;
}

// Fixed fields into v, the six strings into s ("" when missing).
int parse_imp(const void *rec, int len, const bsv_value *ctx, int hdr, u64 *v, const char **s)
{
    if (!rec || len < hdr || !log_ctx_ok(ctx, hdr)) return -1;
    for (int i = 0; i < ctx->str_idx; ++i)
        if (bsv_value_read(ctx, rec, (u64)len, i, -1, &v[i]) != 0) return -1;
    bsv_value_strings(ctx, rec, (u64)len, s, 6);
    for (int i = 0; i < 6; ++i)
        if (!s[i]) s[i] = "";
    return 0;
}

// ---- the "log" ring type ----

constexpr u32 kLogTypeId = 1;
constexpr u32 kLogRecMax = BSV_NET_MAX;
constexpr i32 kLogReaders = 8;

// Its reader slots are static, so the first record allocates nothing.
bsv_rbuf_type g_log_type;
bsv_rbuf_reader *g_log_slots[kLogReaders];
std::atomic<u32> g_log_type_id{0};

}  // namespace

void bsv_log_set_udp_proc(bsv_log_udp_fn fn, void *arg, bsv_log_udp_fn safe_fn)
{
    set_hook(g_udp, fn, arg, safe_fn);
}

void bsv_log_set_file_proc(bsv_log_file_fn fn, void *arg, bsv_log_file_fn safe_fn)
{
    set_hook(g_file, fn, arg, safe_fn);
}

int bsv_log_build(void *buf, int level, const char *tag, const char *path, int line,
                  const char *func, const char *msg)
{
    char name[256];
    os_thread_name_get(name, sizeof name);
    return build_imp(buf, BSV_LOG_HDR, level, tag, path, line, func, msg, name);
}

int bsv_log_build2(void *buf, int level, const char *tag, const char *path, int line,
                   const char *func, const char *msg)
{
    char name[256];
    os_thread_name_get(name, sizeof name);
    return build_imp(buf, BSV_LOG2_HDR, level, tag, path, line, func, msg, name);
}

int bsv_log_parse(const void *rec, int len, const bsv_value *ctx, bsv_log_rec *out)
{
    u64 v[5];
    const char *s[6];
    if (!out || parse_imp(rec, len, ctx, BSV_LOG_HDR, v, s) != 0) return -1;
    *out = bsv_log_rec{v[0], (u32)v[1], (u32)v[2], (u32)v[3], (u8)v[4],
                       s[0], s[1], s[2], s[3], s[4], s[5]};
    return 0;
}

int bsv_log_parse2(const void *rec, int len, const bsv_value *ctx, bsv_log_rec2 *out)
{
    u64 v[7];
    const char *s[6];
    if (!out || parse_imp(rec, len, ctx, BSV_LOG2_HDR, v, s) != 0) return -1;
    *out = bsv_log_rec2{v[0], (u32)v[1], (u32)v[2], (u32)v[3], (u16)v[4], (u8)v[5], (u8)v[6],
                        s[0], s[1], s[2], s[3], s[4], s[5]};
    return 0;
}

int bsv_reg_log(void)
{
    LOG_VERB("==>\n");
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_type.name = "log";
        g_log_type.schema = BSV_SCHEMA_LOG;
        g_log_type.type_id = kLogTypeId;
        g_log_type.swap = 0;
        g_log_type.max_rec = kLogRecMax;
        g_log_type.max_readers = kLogReaders;
        g_log_type.slots = g_log_slots;
        bsv_rbuf_reg(&g_log_type);
        g_log_type_id.store(kLogTypeId);
    });
    return 0;
}

int bsv_reg_log_again(void)
{
    bsv_reg_log();
    return bsv_rbuf_reg(&g_log_type);
}

int bsv_log_type_get(void)
{
    bsv_reg_log();
    return (int)g_log_type_id.load();
}

u32 bsv_log_type_id(void)
{
    return g_log_type_id.load(std::memory_order_relaxed);
}

int bsv_log_hook(int level, const char *module, const char *file, int line, const char *func,
                 const char *msg)
{
    if (t_in_hook) return 0;
    if (!g_log_type_id.load(std::memory_order_acquire)) {
        in_hook_guard guard;
        bsv_reg_log();
    }
    // Without a consumer there is no record to build.
    bool udp = (level & BSV_LOG_LEVEL_NET) && g_udp.fn.load();
    if (!udp && !g_file.fn.load() && !g_log_type.readers.load(std::memory_order_relaxed)) return 0;
    if (module && (strcmp(module, "bsv") == 0 || strcmp(module, "net") == 0)) return 0;
    in_hook_guard guard;
    if (file && strncmp(file, kPathPrefix, kPathPrefixLen) == 0) file += kPathPrefixLen;
    u8 rec[BSV_LOG_REC_MAX];
    int len = bsv_log_build(rec, level, module, file, line, func, msg);
    if (len < 0) return -1;
    int rc = 0;
    if (udp) {
        u8 frame[BSV_NET_MAX];
        int n = bsv_net_info_build(frame, 0, rec, len);
        if (n > 0) rc = call_hook(g_udp, level, (const void *)frame, n);
    }
    if (g_file.fn.load()) rc = call_hook(g_file, level, (const void *)rec, len);
    if (g_log_type.readers.load(std::memory_order_relaxed)) rc = bsv_rbuf_write(&g_log_type, rec, len);
    return rc;
}

int bsv_log_hook_safe(int level, const char *module, const char *file, int line,
                      const char *func, const char *msg)
{
    if (module && (strcmp(module, "bsv") == 0 || strcmp(module, "net") == 0)) return 0;
    if (file && strncmp(file, kPathPrefix, kPathPrefixLen) == 0) file += kPathPrefixLen;
    // The "log" ring type is not registered here (that may allocate); a
    // process without it has no ring reader either.
    bool ring = g_log_type_id.load() && g_log_type.readers.load(std::memory_order_relaxed);
    bool udp = (level & BSV_LOG_LEVEL_NET) && g_udp.fn.load();
    if (!udp && !g_file.fn.load() && !ring) return 0;
    char name[256];
    os_thread_name_get_cached(name, sizeof name);
    u8 rec[BSV_LOG_REC_MAX];
    int len = build_imp(rec, BSV_LOG_HDR, level, module, file, line, func, msg, name);
    if (len < 0) return -1;
    int rc = 0;
    if (udp) {
        // The type id the ordinary hook finds once it has registered "log".
        u8 frame[BSV_NET_MAX];
        int n = bsv_net_info_build(frame, (int)kLogTypeId, rec, len);
        if (n > 0) rc = call_safe_hook(g_udp, level, (const void *)frame, n);
    }
    if (g_file.fn.load()) rc = call_safe_hook(g_file, level, (const void *)rec, len);
    if (ring) rc = bsv_rbuf_write_safe(&g_log_type, rec, len);
    return rc;
}

void bsv_log_safe_init(void)
{
    os_getpid();
    u8 frame[BSV_NET_MAX];
    u8 none = 0;
    bsv_net_info_build(frame, (int)kLogTypeId, &none, 1);
    bsv_net_cipher(frame, BSV_NET_HDR);
}

bsv_log_handle *bsv_open_log(void)
{
    bsv_reg_log();
    auto *h = (bsv_log_handle *)os_zalloc(sizeof(bsv_log_handle));
    if (!h) return nullptr;
    char err[BSV_RBUF_ERR_SIZE] = "";
    h->reader = bsv_rbuf_open("log", err);
    if (!h->reader) {
        LOG_ERR("bsv_open(log), error: %s\n", err);
        os_free(h);
        return nullptr;
    }
    bsv_rbuf_reader_info info;
    info.schema[0] = 0;
    if (bsv_rbuf_info(h->reader, &info) != 0 || !(h->vctx = bsv_value_init(info.schema, info.swap))) {
        LOG_ERR("bsv_value_init(log) [%s], failed\n", info.schema);
        bsv_rbuf_close(h->reader);
        os_free(h);
        return nullptr;
    }
    bsv_rbuf_start(h->reader);
    return h;
}

int bsv_close_log(bsv_log_handle *h)
{
    OS_CHECK_TXT(h != nullptr, "h != NULL", -1);
    bsv_rbuf_close(h->reader);
    bsv_value_exit(h->vctx);
    os_free(h);
    return 0;
}

int bsv_read_raw_log(bsv_log_handle *h, const u8 **rec)
{
    OS_CHECK_TXT(h != nullptr, "h != NULL", -1);
    OS_CHECK_TXT(rec != nullptr, "rec != NULL", -1);
    if (h->pos >= h->fill) {
        i64 n = bsv_rbuf_read(h->reader, h->buf, sizeof h->buf);
        if (n < 1) return (int)n;
        h->fill = (u32)n;
        h->pos = 0;
    }
    u16 vlen = 0;
    if (h->fill - h->pos >= 2) memcpy(&vlen, h->buf + h->pos, 2);
    // A broken block gives up the rest of the buffer once, so the reader
    // moves on to the next refill.
    if (vlen == 0 || h->pos + 2u + vlen > h->fill) {
        h->pos = h->fill;
        OS_CHECK_LOG("vlen != 0");
        return -1;
    }
    *rec = h->buf + h->pos + 2;
    h->pos += 2u + vlen;
    return vlen;
}

int bsv_read_log(bsv_log_handle *h, u32 *level, char *text, size_t size)
{
    OS_CHECK_TXT(h != nullptr, "h != NULL", -1);
    OS_CHECK_TXT(level != nullptr, "log_level != NULL", -1);
    OS_CHECK_TXT(text != nullptr && size > 0, "buf != NULL", -1);
    const u8 *rec = nullptr;
    int n = bsv_read_raw_log(h, &rec);
    if (n < 1) return n;
    bsv_log_rec r;
    if (bsv_log_parse(rec, n, h->vctx, &r) != 0) return -1;
    *level = r.level;
    time_t sec = (time_t)r.sec;
    struct tm tm;
    if (!localtime_r(&sec, &tm)) memset(&tm, 0, sizeof tm);
    n = snprintf(text, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 (int)(r.usec / 1000), log_level_2_prefix(r.level), (int)r.pid, r.tid_name, r.tag,
                 r.func, r.msg);
    if (n < 0) {
        text[0] = 0;
        return 0;
    }
    return (size_t)n < size ? n : (int)size - 1;
}

char *bsv_rbuf_stat_dump(bsv_log_handle *h)
{
    OS_CHECK_TXT(h != nullptr, "h != NULL", nullptr);
    rbuf_stat st;
    if (bsv_rbuf_stat(h->reader, &st) != 0) return nullptr;
    str_buf *b = str_buf_new();
    if (!b) return nullptr;
    str_buf_printf(b, "write_byte=%li\n", (long)st.write_bytes);
    str_buf_printf(b, "read_byte=%li\n", (long)st.read_bytes);
    str_buf_printf(b, "drop_byte=%li\n", (long)st.drop_bytes);
    str_buf_printf(b, "write_count=%li\n", (long)st.write_count);
    str_buf_printf(b, "read_count=%li\n", (long)st.read_count);
    str_buf_printf(b, "drop_count=%li\n", (long)st.drop_count);
    return str_buf_detach(b);
}
