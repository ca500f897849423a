#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/log_conf"
#include "liblog/log_conf.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libconf/conf.h"
#include "liblog/lognet.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/dvar.h"

namespace {

constexpr i32 kFileSizeMin = 2048;
constexpr int kLookupMs = 1000;  // start-up waits this long for the syslog host

// While start-up holds the outputs, the default context's file and bsv
// sender are only named.
std::atomic<bool> g_hold{false};

bool held(struct log2 *c)
{
    return g_hold.load() && c == log_ctx_get(nullptr);
}

// The file output is opened with its pcap hook stopped first and the output
// mutex held, so that no record is written to a half-open file.
int file_open(struct log2 *c, const char *name)
{
    log_file_pcap_detach(&c->file);
    log_output_lock g(c);
    return held(c) ? log_file_hold(&c->file, name) : log_file_open(&c->file, name);
}

// The bsv sender has its own lock; its open joins an earlier "bsvnet".
int bsv_open(struct log2 *c, const char *url)
{
    return held(c) ? log_bsv_udp_hold(&c->bsv, url) : log_bsv_udp_open(&c->bsv, url);
}

// A file size limit refused, told as the INI's is; the limit stays.
int file_size_refused(const char *func, intptr_t size)
{
    if (size > INT32_MAX)
        LOG_AT_FN(LOG_LVL_WARN, func, "log2_ioctl log.file_size=%lld (must<=%d error)\n", (long long)size, INT32_MAX);
    else
        LOG_AT_FN(LOG_LVL_WARN, func, "log2_ioctl log.file_size=%lld (must>=%d error)\n", (long long)size, kFileSizeMin);
    return -1;
}

}  // namespace

void log2_outputs_hold(int hold)
{
    if (hold) {
        g_hold.store(true);
        return;
    }
    if (!g_hold.exchange(false)) return;
    struct log2 *c = log_ctx_get(nullptr);
    if (!c) return;
    {
        // The records kept meanwhile are written first.
        log_output_lock g(c);
        log_file_release(&c->file);
    }
    log_bsv_udp_start(&c->bsv);
    {
        log_output_lock g(c);
        log_net_start(&c->net);
    }
    // A syslog host that does not resolve is told now, not at the first
    // record, which may come much later (or be filtered out).
    log_net_check(c, kLookupMs);
}

int log2_ioctl(struct log2 *ctx, int code, intptr_t arg, int size)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return -1;
    const char *text = (const char *)arg;
    switch (code) {
    case LOG_IOC_LEVEL: c->level.store((i32)arg); return 0;
    case LOG_IOC_FLAGS: c->flags.store((u32)arg); return 0;
    case LOG_IOC_LEVEL_STR: return log_level_set_str(c, text);
    case LOG_IOC_FLAGS_STR: c->flags.store(log_flags_2_int(text)); return 0;
    case LOG_IOC_HOOK_HI: c->hook_hi.store((log_hook_fn)arg); return 0;
    case LOG_IOC_HOOK_LO: c->hook_lo.store((log_hook_fn)arg); return 0;
    case LOG_IOC_LEVEL_GET:
        if (size <= 3 || !arg) return -1;
        *(u32 *)arg = (u32)c->level.load();
        return 0;
    case LOG_IOC_FILE_OPEN: return file_open(c, text);
    case LOG_IOC_FILE_DIR: {
        log_output_lock g(c);
        return log_file_dir_set(&c->file, text);
    }
    case LOG_IOC_FILE_SIZE: {
        // As the INI's file_size: a halving needs some room.
        if (arg < kFileSizeMin || arg > INT32_MAX) return file_size_refused(__func__, arg);
        log_output_lock g(c);
        return log_file_size_set(&c->file, (i32)arg);
    }
    case LOG_IOC_BSV_URL: return bsv_open(c, text);
    case LOG_IOC_SYSLOG_URL: return log_net_set(c, &c->net, text, held(c));
    case LOG_IOC_CON_ON:
    case LOG_IOC_FILE_ON:
    case LOG_IOC_SYSLOG_ON: {
        // A record being written finishes with the switches it started with.
        log_output_lock g(c);
        std::atomic<u8> &sw = code == LOG_IOC_CON_ON ? c->con_on : code == LOG_IOC_FILE_ON ? c->file_on : c->syslog_on;
        sw.store(arg ? 1 : 0);
        return 0;
    }
    default:
        fputs("Invalid command code\n", stderr);
        return -1;
    }
}

struct log2 *log2_init(const char *conf_path, const char *name)
{
    if (getenv("VEDBGLOG")) log_debug_set(1);
    // The default context is configured once (and again once closed); a
    // named log, or a later init, is a context of its own.
    struct log2 *c = name ? nullptr : log_default_for_init();
    if (!c) c = log_ctx_new();
    log_debug_printf("conf_file=%s\n", conf_path ? conf_path : "(null)");
    if (!conf_path || !c) return c;
    conf *cf = conf_open(conf_path);
    if (!cf) {
        log_debug_printf("conf_load %s failed\n", conf_path);
        return c;
    }
    char sec[256];
    if (name) snprintf(sec, sizeof sec, "log_%s", name);
    else str_safecopy_trunc(sec, sizeof sec, "log");

    // A key's value, or NULL when it is missing or empty; traced first.
    auto key = [&](const char *k, bool trace = true) -> const char * {
        const char *v = conf_get(cf, sec, k, "");
        if (trace) log_debug_printf("log.%s=%s\n", k, v);
        return v && *v ? v : nullptr;
    };
    if (const char *v = key("debug"); v && strcmp(v, "1") == 0) log_debug_set(1);
    if (const char *v = key("level")) log2_ioctl(c, LOG_IOC_LEVEL_STR, (intptr_t)v, 0);
    if (const char *v = key("flags")) log2_ioctl(c, LOG_IOC_FLAGS_STR, (intptr_t)v, 0);
    if (const char *v = key("syslog")) {
        log2_ioctl(c, LOG_IOC_SYSLOG_URL, (intptr_t)v, 0);
        log2_ioctl(c, LOG_IOC_SYSLOG_ON, 1, 0);
    }
    if (const char *v = key("bsvlog")) bsv_open(c, v);
    if (const char *v = key("file_dir")) log2_ioctl(c, LOG_IOC_FILE_DIR, (intptr_t)v, 0);
    // A mode other than a or w (a typo) keeps the file: it is opened for
    // appending, and the value is told on standard error.
    const char *bad_mode = nullptr;
    if (const char *v = key("file_mode", false)) {
        log_output_lock g(c);
        if (log_file_mode_set(&c->file, v) != 0) {
            log_file_mode_set(&c->file, "a");
            bad_mode = v;
        }
    }
    if (const char *v = key("file")) {
        log2_ioctl(c, LOG_IOC_FILE_OPEN, (intptr_t)v, 0);
        log2_ioctl(c, LOG_IOC_FILE_ON, 1, 0);
    }
    if (bad_mode) {
        const char *file = log_file_name_get(c);
        log_tell("[%s] file_mode=%s is not a or w: %s%s is opened for appending (nothing is emptied)", sec,
                 str_log_esc<256>(bad_mode).c_str(), *file ? "the log file " : "a log file",
                 str_log_esc<4096>(file).c_str());
    }
    if (const char *v = key("file_size")) {
        // The limit is a 32-bit count: a larger size is refused, and said
        // with its text, but for 2G, the top of the range, which is the
        // largest count held.
        u64 sz;
        bool size = str_is_size(v, &sz);
        if (sz == (u64)INT32_MAX + 1) sz = INT32_MAX;
        if (!size || sz > (u64)INT32_MAX) {
            LOG_WARN("[%s] file_size=%s is %s, %d is used\n", sec, str_log_esc<256>(v).c_str(),
                     size ? "above 2G" : "not a size", (int)log_file_size_get(&c->file));
        } else if (sz >= (u64)kFileSizeMin) {
            log_debug_printf("log2_ioctl log.file_size=%d\n", (int)sz);
            log2_ioctl(c, LOG_IOC_FILE_SIZE, (intptr_t)sz, 0);
        } else {
            file_size_refused(__func__, (intptr_t)sz);
        }
    }
    conf_close(cf);
    return c;
}

int log_level_set(struct log2 *ctx, int level)
{
    struct log2 *c = log_ctx_get(ctx);
    if (c) c->level.store(level);
    return level;
}

int log_level_get(struct log2 *ctx)
{
    struct log2 *c = log_ctx_get(ctx);
    return c ? c->level.load() : LOG_LEVEL_DEFAULT;
}

int log_level_set_str(struct log2 *ctx, const char *name)
{
    int lv = log_level_2_int(name);
    if (lv < 0) return -1;
    log_level_set(ctx, lv);
    return 0;
}

const char *log_level_get_str(struct log2 *ctx)
{
    return log_level_2_str(log_level_get(ctx));
}

const char *log_last_log_get(struct log2 *ctx)
{
    struct log2 *c = log_ctx_get(ctx);
    return c ? c->last_lines.buffer : "";
}

char *log_last_log_dup(struct log2 *ctx)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return nullptr;
    os_mutex_guard g(c->mutex);
    return os_strdup(c->last_lines.buffer);
}

const char *log_file_name_get(struct log2 *ctx)
{
    // Copied under the output mutex, which a change of the file holds.
    thread_local char name[sizeof(log_file_state::name)];
    struct log2 *c = log_ctx_get(ctx);
    if (!c) return "";
    log_output_lock g(c);
    str_safecopy_trunc(name, sizeof name, c->file.name);
    return name;
}

long log_file_offset_get(struct log2 *ctx)
{
    struct log2 *c = log_ctx_get(ctx);
    return c ? log_file_tell(&c->file) : -1;
}

void log_info_get(struct log2 *ctx, log_info *info)
{
    struct log2 *c = log_ctx_get(ctx);
    if (!info) return;
    memset(info, 0, sizeof *info);
    if (!c) return;
    {
        // What is in effect: no name while no file is open, and syslog
        // off while its URL was refused. The file and syslog outputs
        // change under the output mutex, the bsv sender under its lock.
        log_output_lock g(c);
        info->level = c->level.load();
        info->flags = c->flags.load();
        info->con_on = c->con_on.load();
        info->file_on = c->file_on.load();
        str_safecopy_trunc(info->file_name, sizeof info->file_name, log_file_shown_name(&c->file));
        info->file_size = log_file_size_get(&c->file);
        info->syslog_on = c->syslog_on.load() && c->net.state != 0;
        str_safecopy_trunc(info->syslog_url, sizeof info->syslog_url, c->net.url);
    }
    pthread_guard g(&c->bsv.lock);
    str_safecopy_trunc(info->bsv_url, sizeof info->bsv_url, c->bsv.url);
}

char *log_info_dump(struct log2 *ctx)
{
    // The record (some 20 KiB of texts) and the quoting room are one
    // counted block, off the small stacks of the shell's and web's threads.
    struct room {
        log_info in;
        char q[4096];
    };
    auto *r = (room *)os_malloc(sizeof(room));
    str_buf *b = r ? str_buf_new() : nullptr;
    if (!b) {
        os_free(r);
        return nullptr;
    }
    const log_info &in = r->in;
    char *q = r->q;
    log_info_get(ctx, &r->in);
    str_buf_printf(b, "log_level=%s\n", log_level_2_str(in.level));
    str_buf_printf(b, "log_shell_enale_out=%d\n", in.con_on);
    str_buf_printf(b, "log_file_enale_out=%d\n", in.file_on);
    str_buf_printf(b, "log_file_name=%s\n", str_squote(in.file_name, q, sizeof r->q));
    str_buf_printf(b, "log_file_max_size=%d\n", in.file_size);
    str_buf_printf(b, "log_syslog_enale_out=%d\n", in.syslog_on);
    str_buf_printf(b, "log_syslog_url=%s\n", str_squote(in.syslog_url, q, sizeof r->q));
    str_buf_printf(b, "log_bsvlog_url=%s\n", str_squote(in.bsv_url, q, sizeof r->q));
    os_free(r);
    return str_buf_detach(b);
}

int log_level_cmd_get(char *buf, size_t size)
{
    str_safecopy_trunc(buf, size, log_level_get_str(nullptr));
    return 0;
}

int log_level_cmd_set(const char *value, char *msg)
{
    if (log_level_set_str(nullptr, value) == 0) return 0;
    if (msg) snprintf(msg, 4096, "invalid param [%s]\n", value ? value : "");
    return -1;
}

int log_level_cmd_reg(dvar_mgr *mgr)
{
    static dvar_item item = [] {
        dvar_item it{};
        it.name = "log.level";
        it.kind = DVAR_KIND_ENUM;
        it.range = log_level_names();
        it.desc = "Set log output level";
        it.set_fn = log_level_cmd_set;
        it.get_fn = log_level_cmd_get;
        return it;
    }();
    return dvar_mgr_add(mgr, &item);
}
