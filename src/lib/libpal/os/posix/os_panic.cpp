#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_panic"
#include "libpal/os/posix/os_panic.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "libbsv/bsv_log.h"
#include "liblog/log.h"
#include "liblog/lognet.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/tid_name.h"
#include "libpal/os/fd_move.h"
#include "libpal/os/os_con.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/os/posix/os_popen.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"

namespace {

constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kLockTries = 20;  // tries of a lock, 10 ms apart
constexpr int kGivenUpMax = 16;
constexpr int kSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV};
constexpr const char kCorePatternDefault[] = "/proc/sys/kernel/core_pattern";

char g_dump_dir[4096];
std::atomic<bool> g_dump_on{false};
std::atomic<void (*)(void)> g_callback{nullptr};
char g_core_path[4096] = "/proc/sys/kernel/core_pattern";
std::atomic<long> g_gmtoff{0};     // local time offset for the report's time stamp
std::atomic<int> g_reporter{0};    // thread id of the thread reporting a crash
alignas(16) char g_first_stack[kAltStackSize];
std::atomic<bool> g_first_stack_used{false};
// Locks a crash report could not take in time: not waited for again.
std::atomic<const void *> g_given_up[kGivenUpMax];

// ---- async-signal-safe pieces of the handler -----------------------------

// One line of the report, built without the formatter.
struct line_buf {
    char b[1536];
    size_t n = 0;
    void add_n(const char *s, size_t len)
    {
        if (len > sizeof b - 1 - n) len = sizeof b - 1 - n;
        memcpy(b + n, s, len);
        n += len;
    }
    void add(const char *s) { add_n(s, strlen(s)); }
    void add_uint(unsigned long v, int width = 0)
    {
        char t[24];
        int k = 0;
        do {
            t[k++] = (char)('0' + v % 10);
            v /= 10;
        } while (v || k < width);
        while (k) add_n(&t[--k], 1);
    }
    const char *c_str()
    {
        b[n] = 0;
        return b;
    }
};

// The prefix the log puts before a record, as far as it can be had
// without locks: time, thread id and name, source and function.
void add_prefix(line_buf &l, u32 flags, int line)
{
    if (flags & (LOG_F_TIME | LOG_F_TIME_MS)) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        long day = (long)((ts.tv_sec + g_gmtoff.load(std::memory_order_relaxed)) % 86400);
        if (day < 0) day += 86400;
        l.add_uint((unsigned long)day / 3600, 2);
        l.add(":");
        l.add_uint((unsigned long)day / 60 % 60, 2);
        l.add(":");
        l.add_uint((unsigned long)day % 60, 2);
        if (!(flags & LOG_F_TIME)) {
            l.add(".");
            l.add_uint((unsigned long)ts.tv_nsec / 1000000, 3);
        }
        l.add(" ");
    }
    if (flags & LOG_F_TID) {
        l.add("[");
        l.add_uint((unsigned long)syscall(SYS_gettid));
        l.add("] ");
    }
    if (flags & LOG_F_TID_NAME) {
        char name[128];
        l.add("[");
        l.add(os_thread_name_get_cached(name, sizeof name));
        l.add("] ");
    }
    if (flags & LOG_F_FILE) {
        const char *f = LOG_SRC;
        if (flags & LOG_F_BASENAME) f = strrchr(f, '/') + 1;
        l.add("[");
        l.add(f);
        l.add(":");
        l.add_uint((unsigned long)line);
        l.add("] ");
    }
    if (flags & LOG_F_FUNC) l.add("panic_handler(): ");
}

// The local time by the offset kept at set-up (localtime_r may lock), and
// the microseconds.
struct tm local_now(unsigned long *usec)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long t = (long long)ts.tv_sec + g_gmtoff.load(std::memory_order_relaxed);
    long long days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Civil date of a day count since 1970-01-01.
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long mon = mp < 10 ? mp + 3 : mp - 9;
    long long year = yoe + era * 400 + (mon <= 2);
    if (year < 0 || year > 9999) year = 0;
    struct tm tm = {};
    tm.tm_year = (int)(year - 1900);
    tm.tm_mon = (int)mon - 1;
    tm.tm_mday = (int)(doy - (153 * mp + 2) / 5 + 1);
    tm.tm_hour = (int)(secs / 3600);
    tm.tm_min = (int)(secs / 60 % 60);
    tm.tm_sec = (int)(secs % 60);
    if (usec) *usec = (unsigned long)ts.tv_nsec / 1000;
    return tm;
}

// The header of a text log file line, "%04d-%02d-%02d %02d:%02d:%02d.%06u
// %-5s %d --- [%s] %s ", in local time.
void add_file_header(line_buf &l, int level)
{
    unsigned long usec;
    struct tm tm = local_now(&usec);
    l.add_uint((unsigned long)(tm.tm_year + 1900), 4);
    l.add("-");
    l.add_uint((unsigned long)tm.tm_mon + 1, 2);
    l.add("-");
    l.add_uint((unsigned long)tm.tm_mday, 2);
    l.add(" ");
    l.add_uint((unsigned long)tm.tm_hour, 2);
    l.add(":");
    l.add_uint((unsigned long)tm.tm_min, 2);
    l.add(":");
    l.add_uint((unsigned long)tm.tm_sec, 2);
    l.add(".");
    l.add_uint(usec, 6);
    l.add(" ");
    const char *label = log_level_2_prefix(level & 0xff);
    l.add(label);
    for (size_t k = strlen(label); k < 5; ++k) l.add(" ");
    l.add(" ");
    l.add_uint((unsigned long)getpid());
    l.add(" --- [");
    char name[128];
    l.add(os_thread_name_get_cached(name, sizeof name));
    l.add("] " LOG_MOD " ");
}

// The log's level filter for one record of the report.
bool passes(const struct log2 *ctx, int level)
{
    return !ctx || (level & 0xff) <= ctx->level.load(std::memory_order_relaxed);
}

bool try_log_lock(void *m)
{
    return os_mutex_trylock((os_mutex *)m) == 1;
}

// The outputs of the report, as the log call reaches them: standard error
// (unless the console output is off) and the log file always; the hook
// pair, syslog and the last-log text only under the log lock, which is
// tried for a short while (the thread that crashed may hold it itself).
struct report_out {
    struct log2 *ctx;
    bool locked = false;
    explicit report_out(struct log2 *c) : ctx(c)
    {
        // The thread that crashed may hold the lock itself: only try it.
        if (ctx && ctx->mutex) locked = os_panic_try_lock(ctx->mutex, try_log_lock, ctx->mutex);
    }
    ~report_out()
    {
        if (locked) os_mutex_unlock(ctx->mutex);
    }
    report_out(const report_out &) = delete;
    report_out &operator=(const report_out &) = delete;
    // One record with the message text.
    void put(int level, int line, const line_buf &text)
    {
        if (!passes(ctx, level)) return;
        u32 flags = ctx ? ctx->flags.load(std::memory_order_relaxed) : 0;
        line_buf l;
        add_prefix(l, flags, line);
        l.add_n(text.b, text.n);
        l.c_str();
        if (locked) {
            log_hook_fn hi = ctx->hook_hi.load(), lo = ctx->hook_lo.load();
            if (hi && lo) ((level & 0xff) <= 4 ? lo : hi)(level & 0xff, LOG_MOD, l.b, (int)l.n);
        }
        if (!ctx || ctx->con_on.load(std::memory_order_relaxed)) {
            const char *colour = (flags & LOG_F_COLOUR) ? os_color_code(os_level_color(level & 0xff)) : "";
            const char *reset = *colour ? "\033[0m" : "";
            fd_write_all(STDERR_FILENO, colour, strlen(colour));
            fd_write_all(STDERR_FILENO, l.b, l.n);
            fd_write_all(STDERR_FILENO, reset, strlen(reset));
        }
        // Without the lock the text file is written only while no halving
        // is under way: a halving's descriptor does not append, and a line
        // written then would tear the file or leave a hole in it.
        if (ctx && ctx->file_on.load(std::memory_order_relaxed) && ctx->file.fd >= 0 &&
            (locked || !fd_halve_busy(&ctx->file.mark))) {
            // The file line: its header, the function and the message.
            line_buf f;
            add_file_header(f, level);
            if (flags & LOG_F_FUNC) f.add("panic_handler(): ");
            f.add_n(text.b, text.n);
            // Whole or not at all: a line cut by a full disk is taken back.
            struct iovec v = {f.b, f.n};
            fd_append_whole(ctx->file.fd, &v, 1);
        }
        if (!locked) return;
        if (ctx->syslog_on.load(std::memory_order_relaxed)) {
            struct tm tm = local_now(nullptr);
            log_net_write_safe(ctx, level, LOG_MOD, l.b, &tm);
        }
        str_lines_add(&ctx->last_lines, l.b);
    }
};

// One record of the report to the bsv outputs, as the log call would hand
// it to the record layer.
void to_bsv(const struct log2 *ctx, int level, int line, line_buf &text)
{
    if (passes(ctx, level)) bsv_log_hook_safe(level, LOG_MOD, LOG_SRC, line, "panic_handler", text.c_str());
}

// Creates the directory and its parents with mkdir(2) alone; 0 when it
// exists afterwards.
int make_dirs(const char *dir)
{
    char p[sizeof g_dump_dir];
    size_t n = strnlen(dir, sizeof p - 1);
    memcpy(p, dir, n);
    p[n] = 0;
    for (size_t i = 1; i < n; ++i) {
        if (p[i] != '/') continue;
        p[i] = 0;
        mkdir(p, 0755);
        p[i] = '/';
    }
    if (mkdir(p, 0755) == 0) return 0;
    struct stat st;
    int e = errno;
    if (e == EEXIST && stat(p, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    errno = e;
    return -1;
}

[[noreturn]] void end_process(int signo)
{
    if (!g_dump_on.load()) _exit(254);
    // Let the signal take the process down, with a core file.
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
    _exit(254);  // not reached: the default action of these signals ends the process
}

// ---- set-up ----------------------------------------------------------------

void gmtoff_update()
{
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm)) g_gmtoff.store(tm.tm_gmtoff);
}

}  // namespace

os_panic_altstack::os_panic_altstack() : mem_(nullptr), set_(false), old_{}
{
    // The first thread to ask (the one that installs the handler) takes the
    // static stack; the others allocate theirs.
    bool expected = false;
    void *mem = g_first_stack_used.compare_exchange_strong(expected, true) ? g_first_stack : nullptr;
    if (!mem) mem = mem_ = os_malloc(kAltStackSize);
    if (!mem) return;
    stack_t ss = {};
    ss.ss_sp = mem;
    ss.ss_size = kAltStackSize;
    set_ = sigaltstack(&ss, &old_) == 0;
    if (!set_) LOG_AT(3 | LOG_OPT_ERRNO, "sigaltstack error: ");
}

os_panic_altstack::~os_panic_altstack()
{
    if (set_) {
        if (old_.ss_flags & SS_DISABLE) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        } else {
            sigaltstack(&old_, nullptr);
        }
    }
    if (mem_) os_free(mem_);
    else if (set_) g_first_stack_used.store(false);
}

int os_panic_init(void)
{
    gmtoff_update();
    bsv_log_safe_init();
    // The calling thread keeps its alternate stack for the life of the
    // process: the object is never destroyed.
    static bool have_stack = false;
    if (!have_stack) {
        alignas(os_panic_altstack) static char slot[sizeof(os_panic_altstack)];
        new (slot) os_panic_altstack();
        have_stack = true;
    }
    struct sigaction sa = {};
    sa.sa_handler = panic_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_ONSTACK;
    for (int s : kSignals) sigaction(s, &sa, nullptr);
    return 0;
}

bool os_panic_try_lock(const void *lock, bool (*try_once)(void *), void *arg)
{
    if (!lock || !try_once) return false;
    for (auto &g : g_given_up)
        if (g.load() == lock) return false;
    for (int i = 0; i < kLockTries; ++i) {
        if (i) {
            struct timespec d = {0, 10 * 1000 * 1000};
            nanosleep(&d, nullptr);
        }
        if (try_once(arg)) return true;
    }
    for (auto &g : g_given_up) {
        const void *none = nullptr;
        if (g.compare_exchange_strong(none, lock) || none == lock) break;
    }
    return false;
}

namespace {

bool try_pthread_lock(void *m)
{
    return pthread_mutex_trylock((pthread_mutex_t *)m) == 0;
}

}  // namespace

bool os_panic_trylock(pthread_mutex_t *m)
{
    return os_panic_try_lock(m, try_pthread_lock, m);
}

void os_panic_set_callback(void (*fn)(void))
{
    g_callback.store(fn);
}

void os_panic_set_core_pattern_path(const char *path)
{
    str_safecopy_trunc(g_core_path, sizeof g_core_path, path && *path ? path : kCorePatternDefault);
}

int os_panic_init_core_dump(const char *dir, const char *)
{
    char pattern[sizeof g_dump_dir + 32];
    snprintf(pattern, sizeof pattern, "%s/%%e-%%p-%%t-%%c.core", dir ? dir : "");
    if (strlen(pattern) > OS_CORE_PATTERN_MAX) {
        LOG_ERR("core pattern [%s] is longer than %d bytes, dumps stay off\n", pattern,
                (int)OS_CORE_PATTERN_MAX);
        return -1;
    }
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &rl) != 0) {
        LOG_AT(3 | LOG_OPT_ERRNO, "setrlimit error: ");
        return -1;
    }
    str_safecopy_trunc(g_dump_dir, sizeof g_dump_dir, dir);
    LOG_VERB("buf=%s\n", pattern);
    if (os_mkdirs(g_dump_dir) != 0) LOG_AT(3 | LOG_OPT_ERRNO, "mkdir [%s] error:", g_dump_dir);
    if (char *old = os_cat(g_core_path)) {
        old[strcspn(old, "\n")] = 0;
        if (strcmp(old, pattern) != 0)
            LOG_WARN("core_pattern [%s] is replaced by [%s]\n", old, pattern);
        os_free(old);
    }
    if (os_file_save_text(g_core_path, pattern) != 0)
        LOG_AT(3 | LOG_OPT_ERRNO, "write /proc/sys/kernel/core_pattern error:");
    gmtoff_update();
    g_dump_on.store(true);
    return 0;
}

int os_painc_set_dump_dir(const char *dir, const char *app_name)
{
    LOG_VERB("[%s][%s]==>\n", dir ? dir : "(null)", app_name ? app_name : "(null)");
    if (!os_is_root()) return -1;
    if (!dir || !*dir) return 0;
    return os_panic_init_core_dump(dir, app_name);
}

void panic_handler(int signo)
{
    const int tid = (int)syscall(SYS_gettid);
    int expected = 0;
    if (!g_reporter.compare_exchange_strong(expected, tid)) {
        // A fault inside the report ends the process at once; a crash of
        // another thread waits here until the reporting thread ends it.
        if (expected == tid) end_process(signo);
        for (;;) pause();
    }
    constexpr int kCrit = LOG_LVL_CRIT | LOG_OPT_NOEXIT;
    struct log2 *ctx = g_log_default.load();
    // The process ends after the report: a log file halving that has not
    // begun yet never does, and one under way keeps the report out of its
    // file.
    fd_halve_stop();
    line_buf last, sig, ver;
    {
        report_out lock(ctx);  // the last-log text changes under the log lock
        last.add("[");
        if (ctx) last.add_n(ctx->last_lines.buffer, strnlen(ctx->last_lines.buffer, LOG_LAST_LOG_SIZE - 1));
        last.add("]");
    }
    sig.add("signo=");
    sig.add_uint((unsigned long)signo);
    const char *d = sigdescr_np(signo);
    sig.add(" [");
    sig.add(d ? d : "Unknown signal");
    sig.add("]\n");
    ver.add("appver: ");
    ver.add(g_app.app_ver ? g_app.app_ver : "");
    ver.add("\n");
    // The last-log text goes to the bsv outputs only; the signal also as a
    // frame over UDP.
    to_bsv(ctx, kCrit | LOG_OPT_BSVONLY, __LINE__, last);
    const int sig_line = __LINE__;
    to_bsv(ctx, kCrit | LOG_OPT_BSVNET, sig_line, sig);
    const int ver_line = __LINE__;
    to_bsv(ctx, kCrit, ver_line, ver);
    {
        report_out out(ctx);
        out.put(kCrit, sig_line, sig);
        out.put(kCrit, ver_line, ver);
        // What the syslog output dropped, or cannot send now, is told
        // before the process ends.
        line_buf drops;
        if (out.locked && (drops.n = log_net_crash_note(ctx, drops.b, sizeof drops.b)) > 0)
            out.put(LOG_LVL_WARN | LOG_OPT_NOEXIT, __LINE__, drops);
    }
    if (auto cb = g_callback.load()) cb();
    if (g_dump_on.load() && make_dirs(g_dump_dir) != 0) {
        line_buf err;
        err.add("mkdir [");
        err.add(g_dump_dir);
        err.add("] error:");
        const char *t = strerrordesc_np(errno);
        err.add(t ? t : "");
        err.add("\n");
        const int line = __LINE__;
        to_bsv(ctx, LOG_LVL_ERR | LOG_OPT_ERRNO, line, err);
        report_out out(ctx);
        out.put(LOG_LVL_ERR | LOG_OPT_ERRNO, line, err);
    }
    end_process(signo);
}
