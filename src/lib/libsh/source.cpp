#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/source"
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_escape.h"
#include "libpal/tframe/app.h"
#include "libsh/libsh.h"
#include "libsh/libsh_source.h"

namespace {

constexpr int kSourceDepthMax = 16;

constexpr int kWaitStepMs = 50;
std::atomic<u32> g_wait_ms{LIBSH_SOURCE_WAIT_MS};

// Why a run stops before its files end.
enum class run_end { none, too_many, session_gone, stopping, waited };

// The "source" run on this thread: files nest on the same thread, so the
// outermost call owns the state and the nested ones share its count.
struct source_run {
    int depth;
    u32 cmds;
    run_end end;
};
thread_local source_run t_run = {0, 0, run_end::none};

std::atomic<libsh_session_check_fn> g_session_check{nullptr};

// Whether the run may go on; notes why not.
bool run_goes_on(dbgsh_srv_ctx *ctx)
{
    source_run &r = t_run;
    if (r.end != run_end::none) return false;
    if (app_stop_requested()) {
        r.end = run_end::stopping;
        return false;
    }
    libsh_session_check_fn check = g_session_check.load();
    if ((check && !check(ctx)) || (ctx->alive && !ctx->alive(ctx))) {
        r.end = run_end::session_gone;
        return false;
    }
    return true;
}

// A file of a run, read in pieces. A FIFO or a device is never waited on
// for more than kWaitStepMs at a time: between the waits the run's stop
// conditions are looked at, and g_wait_ms without a byte ends the run.
struct src_file {
    int fd;
    bool waits;  // not a regular file: a read may have to wait
    bool eof;
    size_t pos, len;
    char buf[LIBSH_LINE_MAX];
};

// The line being run and the file it comes from (one per nesting level).
struct src_work {
    char line[LIBSH_LINE_MAX];
    src_file f;
};

// Counts a line that runs no command; false (the run stops) past the bound.
bool count_line()
{
    source_run &r = t_run;
    if (r.cmds >= LIBSH_SOURCE_CMDS_MAX) {
        r.end = run_end::too_many;
        return false;
    }
    ++r.cmds;
    return true;
}

// Refills f's buffer: false at the end of the file (or a read error) and
// when the run has to stop.
bool fill(dbgsh_srv_ctx *ctx, src_file *f, const char *path)
{
    const u64 from = os_mono_ms();
    for (;;) {
        if (f->waits) {
            struct pollfd p = {f->fd, POLLIN, 0};
            int n = poll(&p, 1, kWaitStepMs);
            if (n <= 0) {
                if (n < 0 && errno != EINTR) break;
                if (!run_goes_on(ctx)) return false;
                const u32 limit = g_wait_ms.load();
                if (os_mono_ms() - from < limit) continue;
                ctx->printf(ctx->out, "error: source stopped: nothing came from [%s] for %g s\n", path,
                            limit / 1000.0);
                t_run.end = run_end::waited;
                return false;
            }
        }
        ssize_t n = read(f->fd, f->buf, sizeof f->buf);
        if (n > 0) {
            f->pos = 0;
            f->len = (size_t)n;
            return true;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) break;
    }
    f->eof = true;
    return false;
}

// The next line as fgets would give it into line (LIBSH_LINE_MAX bytes):
// up to its line feed, or LIBSH_LINE_MAX - 1 bytes of it. Its length in
// bytes (NUL bytes in it counted), or 0 when nothing is left or the run
// has to stop.
size_t read_line(dbgsh_srv_ctx *ctx, src_file *f, const char *path, char *line)
{
    size_t n = 0;
    while (n < LIBSH_LINE_MAX - 1) {
        if (f->pos == f->len && (f->eof || !fill(ctx, f, path))) break;
        size_t take = std::min(f->len - f->pos, LIBSH_LINE_MAX - 1 - n);
        const char *nl = (const char *)memchr(f->buf + f->pos, '\n', take);
        if (nl) take = (size_t)(nl - (f->buf + f->pos)) + 1;
        memcpy(line + n, f->buf + f->pos, take);
        f->pos += take;
        n += take;
        if (nl) break;
    }
    line[n] = 0;
    return t_run.end == run_end::none ? n : 0;
}

// Drops the rest of an over-long line up to its line feed: true when there
// was more of it than its first LIBSH_LINE_MAX - 1 bytes. Each piece read
// counts as a line, so that a file without line feeds is bounded too.
bool skip_long_line(dbgsh_srv_ctx *ctx, src_file *f, const char *path)
{
    bool more = false;
    for (;;) {
        if (f->pos == f->len && (f->eof || !count_line() || !fill(ctx, f, path))) return more;
        const char *start = f->buf + f->pos;
        const char *nl = (const char *)memchr(start, '\n', f->len - f->pos);
        if (nl == start && !more) {
            ++f->pos;  // the line was exactly that long
            return false;
        }
        more = true;
        if (nl) {
            f->pos += (size_t)(nl - start) + 1;
            return true;
        }
        f->pos = f->len;
    }
}

// Runs the lines of one open file; false when the run has to stop.
bool run_file(dbgsh_srv_ctx *ctx, src_work *w, const char *path)
{
    int lineno = 0;
    // An empty line of a file repeats a line of that file: before its first
    // command the previous line would be the "source" line itself.
    ctx->prev_line[0] = 0;
    source_run &r = t_run;
    char *line = w->line;
    size_t n;
    while (!ctx->exit_flag && run_goes_on(ctx) && (n = read_line(ctx, &w->f, path, line)) > 0) {
        // Every line counts toward the bound, one that runs no command (an
        // empty one, a comment, a line of NUL bytes) as one.
        if (r.cmds >= LIBSH_SOURCE_CMDS_MAX) {
            r.end = run_end::too_many;
            break;
        }
        const u32 before = r.cmds;
        ++lineno;
        // The bytes read, not strlen: a NUL early in an over-long line must
        // not let its tail run as a line of its own.
        if (n == LIBSH_LINE_MAX - 1 && line[n - 1] != '\n' && skip_long_line(ctx, &w->f, path)) {
            // The whole over-long line is dropped, never a piece of it run.
            if (r.end != run_end::none) break;
            ctx->printf(ctx->out, "source: %s line %d too long (at most %d characters), skipped\n", path, lineno,
                        (int)LIBSH_LINE_MAX - 1);
            ++r.cmds;
            continue;
        }
        exec_commands(ctx, line);
        if (r.cmds == before) ++r.cmds;
    }
    return r.end == run_end::none;
}

// Opens a file of the run without waiting on the open; false with the
// reason written.
bool open_file(dbgsh_srv_ctx *ctx, const char *path, src_file *f)
{
    struct stat st;
    f->fd = os_open_nowait(path, &st);
    if (f->fd >= 0 && S_ISDIR(st.st_mode)) {
        close(f->fd);
        f->fd = -1;
        errno = EISDIR;
    }
    if (f->fd < 0) {
        ctx->printf(ctx->out, "open:[%s] error:%s\n", path, os_strerror());
        return false;
    }
    f->waits = !S_ISREG(st.st_mode);
    f->eof = false;
    f->pos = f->len = 0;
    return true;
}

// Depth of the calling thread's run, kept right on every way out.
struct depth_guard {
    depth_guard()
    {
        if (t_run.depth++ == 0) t_run = {1, 0, run_end::none};
    }
    ~depth_guard() { --t_run.depth; }
    bool outermost() const { return t_run.depth == 1; }
};

}  // namespace

bool libsh_source_admit(dbgsh_srv_ctx *ctx)
{
    source_run &r = t_run;
    if (r.depth == 0) return true;
    if (!run_goes_on(ctx)) return false;
    if (r.cmds >= LIBSH_SOURCE_CMDS_MAX) {
        r.end = run_end::too_many;
        return false;
    }
    ++r.cmds;
    return true;
}

int libsh_set_session_check(libsh_session_check_fn fn)
{
    g_session_check.store(fn);
    return 0;
}

void libsh_source_set_wait(u32 ms)
{
    g_wait_ms.store(ms ? ms : LIBSH_SOURCE_WAIT_MS);
}

// "source" runs the lines of its files with the caller's context. A file
// may source others (itself too), down to kSourceDepthMax levels; the whole
// run, nested files included, is one command to its caller: one reply, at
// most LIBSH_SOURCE_CMDS_MAX commands (or lines that run none), and it
// stops when its session ends or the program stops. No open or read waits
// for good: a FIFO or a device that gives nothing for LIBSH_SOURCE_WAIT_MS
// ends the run.
int libsh_cmd_source(dbgsh_srv_ctx *ctx, int argc, char **argv)
{
    static const char help[] = "source [opt] [file]...\n%s\n-h: Display this help\n";
    int c;
    while ((c = getopt_r(argc, argv, "h", &ctx->opt)) != -1) {
        if (c == 'h') {
            ctx->printf(ctx->out, help, libsh_cmd_help_text("source"));
            return 0;
        }
    }
    // The commands run below parse their own options with the same
    // context: the position of the first file is kept here.
    const int first = ctx->opt.optind;
    int i = first;
    if (i >= argc) {
        ctx->printf(ctx->out, help, libsh_cmd_help_text("source"));
        return 1;
    }
    if (t_run.depth >= kSourceDepthMax) {
        ctx->printf(ctx->out, "source: nesting too deep (at most %d levels)\n", kSourceDepthMax);
        return -1;
    }
    src_work *w = (src_work *)os_malloc(sizeof(src_work));
    if (!w) return -1;
    char *line = w->line;
    depth_guard depth;
    int r = 0;
    for (; i < argc && !ctx->exit_flag; ++i) {
        if (!open_file(ctx, argv[i], &w->f)) {
            r = -1;
            break;
        }
        bool goes_on = run_file(ctx, w, argv[i]);
        close(w->f.fd);
        if (!goes_on) {
            r = -1;
            break;
        }
    }
    if (depth.outermost()) {
        // The file's name as a client may have sent it, escaped into the
        // line's buffer for the records.
        const char *file = argv[first];
        switch (t_run.end) {
        case run_end::too_many:
            LOG_WARN("source %s: stopped after %u commands\n", str_escape_log(line, LIBSH_LINE_MAX, file),
                     LIBSH_SOURCE_CMDS_MAX);
            ctx->printf(ctx->out, "error: source stopped after %u commands (the most one source may run)\n",
                        LIBSH_SOURCE_CMDS_MAX);
            break;
        case run_end::stopping: ctx->write(ctx->out, "error: source stopped: the program is stopping\n"); break;
        case run_end::session_gone:
            LOG_DBG("source %s: the session ended\n", str_escape_log(line, LIBSH_LINE_MAX, file));
            // Heard only by a client that has shut down just its sending side.
            ctx->write(ctx->out, "error: source stopped: the client closed the connection\n");
            break;
        case run_end::waited:
        case run_end::none: break;
        }
    }
    os_free(w);
    return r;
}
