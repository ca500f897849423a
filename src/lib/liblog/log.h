#pragma once
// Log core: the log context, levels, option bits, flags and the log call.
#include <atomic>
#include <cstdarg>
#include "libpal/env/os_types.h"
#include "libpal/string/str_buf.h"
#include "liblog/log_out.h"

struct os_mutex;

// Levels (low byte of the level word) and the option bits above it, all
// of the level word's own type, so that LOG_LVL_WARN | LOG_OPT_BSVNET is a
// plain int in every C++ version.
constexpr int LOG_LVL_CRIT = 2;
constexpr int LOG_LVL_ERR = 3;
constexpr int LOG_LVL_WARN = 4;
constexpr int LOG_LVL_NOTI = 5;
constexpr int LOG_LVL_INFO = 6;
constexpr int LOG_LVL_DBG = 7;
constexpr int LOG_LVL_VERB = 8;

constexpr int LOG_OPT_ERRNO = 0x100;    // append the caller's errno text
constexpr int LOG_OPT_NOEXIT = 0x200;   // a crit record does not end the process
constexpr int LOG_OPT_BSVNET = 0x400;   // also send as a bsv frame over UDP
constexpr int LOG_OPT_BSVONLY = 0x800;  // bsv outputs only

// Flag bits of the context.
enum : u32 {
    LOG_F_TID = 1,
    LOG_F_TIME = 2,
    LOG_F_FUNC = 4,
    LOG_F_FILE = 8,
    LOG_F_BASENAME = 16,
    LOG_F_COLOUR = 32,
    LOG_F_TIME_MS = 64,
    LOG_F_TID_NAME = 128,
};
constexpr u32 LOG_FLAGS_DEFAULT = 39;
constexpr int LOG_LEVEL_DEFAULT = 7;
constexpr size_t LOG_LINE_MAX = 8192;
constexpr size_t LOG_LAST_LOG_SIZE = 1024;
constexpr size_t LOG_LAST_LOG_ROOM = 4 * LOG_LAST_LOG_SIZE;

typedef void (*log_hook_fn)(int level, const char *module, const char *line, int len);
typedef void (*log_redirect_fn)(int level, const char *module, const char *file, int line,
                                const char *func, int eno, const char *fmt, va_list ap);

struct log2 {
    std::atomic<u32> flags;
    std::atomic<i32> level;
    std::atomic<u8> con_on;
    std::atomic<u8> file_on;
    std::atomic<u8> syslog_on;
    os_mutex *mutex;
    std::atomic<log_hook_fn> hook_hi;   // levels above 4
    std::atomic<log_hook_fn> hook_lo;   // levels 4 and below
    std::atomic<log_redirect_fn> redirect;
    // Set (under the output mutex) when log2_exit closes the default
    // context, which stays allocated since other threads may still log to
    // it: their records are dropped from then on, and their calls return
    // 0, until log2_init opens it again. (Other contexts are freed.)
    std::atomic<u8> closed;
    // The last-log text is written under the output mutex for every
    // record: the gap keeps it off the cache line of the settings above,
    // which every logging thread reads.
    char gap[64];
    // The records waiting for the output mutex, newest first (log_queue.h).
    std::atomic<struct log_rec *> queue;
    // The last-log text is last_lines: LOG_LAST_LOG_SIZE bytes that move
    // on through this room as their oldest lines drop out, and back to its
    // start once they reach its end, so that a record seldom moves text.
    str_lines last_lines;
    char last_log[LOG_LAST_LOG_ROOM];
    log_file_state file;
    log_net_state net;
    struct log2 *self;
    log_bsv_udp_state bsv;
};

int log2_printf(struct log2 *ctx, int level, const char *module, const char *file, int line,
                const char *func, const char *fmt, ...) OS_PRINTF(7, 8);
int log2_vprintf(struct log2 *ctx, int level, const char *module, const char *file, int line,
                 const char *func, const char *fmt, va_list ap) OS_PRINTF(7, 0);
int log2_puts(struct log2 *ctx, int level, const char *module, const char *file, int line,
              const char *func, const char *text);
int log_default_printf(int level, const char *module, const char *file, int line,
                       const char *func, const char *fmt, ...) OS_PRINTF(6, 7);
void log_redirect_default(int level, const char *module, const char *file, int line,
                          const char *func, int eno, const char *fmt, va_list ap);
int log_redirect_set(struct log2 *ctx, log_redirect_fn hook);
int log_output(struct log2 *ctx, int level, const char *module, const char *line, int len,
               const char *file_line);
int log_output_line(struct log2 *ctx, int level, const char *module, const char *line, int len);

// Holds a context's output mutex while an output is opened or closed. A
// record this thread logs meanwhile reaches the console and the last-log
// text only, instead of waiting for the mutex it holds.
class log_output_lock {
public:
    explicit log_output_lock(struct log2 *c);
    ~log_output_lock();
    log_output_lock(const log_output_lock &) = delete;
    log_output_lock &operator=(const log_output_lock &) = delete;
private:
    struct log2 *c_;
    const struct log2 *prev_;
};
// A context of its own, apart from the default one (which it leaves as
// it is); freed by log2_exit.
struct log2 *log_ctx_new(void);
struct log2 *log_ctx_get(struct log2 *ctx);
// Closes a context's outputs. Other contexts are freed; the default one
// is marked closed (a second call returns at once), and log2_init opens
// it again. A crit record logged to it meanwhile still ends the process.
int log2_exit(struct log2 *ctx);
int log_debug_printf(const char *fmt, ...) OS_PRINTF(1, 2);
// A failing output told to the user: "<program>: <text>" on standard error
// whatever the level and the console switch, in one write (so that it does
// not cut into a console record; the output mutex may be held).
void log_tell(const char *fmt, ...) OS_PRINTF(1, 2);
void log_debug_set(int on);
int log_debug_get(void);
void log_thread_name_set(const char *name);

int log_level_2_int(const char *name);
int log_prefix_2_int(const char *label);
const char *log_level_2_str(int level);
const char *log_level_2_prefix(int level);
const char *log_level_2_severity(int level);
const char *log_level_names(void);
const char *log_level_conf_str(void);
u32 log_flags_2_int(const char *tags);

// Console writer (called under the output mutex).
int log_con_write(struct log2 *ctx, int level, const char *module, const char *line, int len);

// The three name tables (verb first, crit last).
struct os_code_str;
extern const os_code_str log_level_name_tab[7];
extern const os_code_str log_level_label_tab[7];
extern const os_code_str log_level_severity_tab[7];

// Every source file that logs defines LOG_MOD (its library's tag) and
// LOG_SRC (its own path without extension) before using these.
// The default context (NULL until first use).
extern std::atomic<struct log2 *> g_log_default;

// True when the default context would drop a record of this level word at
// its level filter (no redirect hook): the macros below then skip the call,
// so a dropped record does not even evaluate its arguments.
inline bool log_default_drops(int level)
{
    struct log2 *c = g_log_default.load(std::memory_order_acquire);
    return c && !c->redirect.load(std::memory_order_relaxed) &&
           (level & 0xff) > c->level.load(std::memory_order_relaxed);
}

// LOG_AT_FN names the function the record shows: a helper that writes a
// record for the function it serves gives that function's name.
#define LOG_AT_FN(lvl, func, ...)                                                              \
    (log_default_drops(lvl) ? 0                                                                \
                            : log2_printf(nullptr, (lvl), LOG_MOD, LOG_SRC, __LINE__, (func), \
                                          __VA_ARGS__))
#define LOG_AT(lvl, ...) LOG_AT_FN(lvl, __func__, __VA_ARGS__)
#define LOG_CRIT(...) LOG_AT(2, __VA_ARGS__)
#define LOG_ERR(...) LOG_AT(3, __VA_ARGS__)
#define LOG_WARN(...) LOG_AT(4, __VA_ARGS__)
#define LOG_NOTI(...) LOG_AT(5, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(6, __VA_ARGS__)
#define LOG_DBG(...) LOG_AT(7, __VA_ARGS__)
#define LOG_VERB(...) LOG_AT(8, __VA_ARGS__)
#define LOG_ENTER() LOG_AT(8, "==>\n")
#define LOG_LEAVE() LOG_AT(8, "<==\n")

void pl_assert_hook(void);

// Argument checks: a failed check logs "expr[%s]: assert failed\n" with the
// expression's text at level err, calls the assertion hook and returns.
#define OS_CHECK_LOG(text) (LOG_AT(3, "expr[%s]: assert failed\n", text), pl_assert_hook())
#define OS_CHECK_RET(expr, ret)          \
    do {                                 \
        if (!(expr)) {                   \
            OS_CHECK_LOG(#expr);         \
            return ret;                  \
        }                                \
    } while (0)
#define OS_CHECK_RET_VOID(expr)          \
    do {                                 \
        if (!(expr)) {                   \
            OS_CHECK_LOG(#expr);         \
            return;                      \
        }                                \
    } while (0)
#define OS_CHECK_TXT(expr, text, ret)    \
    do {                                 \
        if (!(expr)) {                   \
            OS_CHECK_LOG(text);          \
            return ret;                  \
        }                                \
    } while (0)

// State of the process-wide default context: 0 none, 1 made, 2 configured.
u8 log_default_state(void);
void log_default_state_set(u8 state);
// For log2_init: the default context, made or opened again when it was
// closed, and marked configured; NULL when it is configured already.
struct log2 *log_default_for_init(void);
