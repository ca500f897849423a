#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/source"
#include <atomic>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_escape.h"
#include "libpal/tframe/app.h"
#include "libsh/libsh.h"
#include "libsh/libsh_source.h"

namespace {

constexpr int kSourceDepthMax = 16;

// Why a run stops before its files end.
enum class run_end { none, too_many, session_gone, stopping };

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

// Runs the lines of one open file; false when the run has to stop.
bool run_file(dbgsh_srv_ctx *ctx, FILE *f, const char *path, char *line)
{
    int lineno = 0;
    // An empty line of a file repeats a line of that file: before its first
    // command the previous line would be the "source" line itself.
    ctx->prev_line[0] = 0;
    source_run &r = t_run;
    while (!ctx->exit_flag && run_goes_on(ctx) && fgets(line, LIBSH_LINE_MAX, f)) {
        // Every line counts toward the bound, one that runs no command (an
        // empty one, a comment, a line of NUL bytes) as one.
        if (r.cmds >= LIBSH_SOURCE_CMDS_MAX) {
            r.end = run_end::too_many;
            break;
        }
        const u32 before = r.cmds;
        ++lineno;
        size_t n = strlen(line);
        if (n == LIBSH_LINE_MAX - 1 && line[n - 1] != '\n') {
            int ch = fgetc(f);
            if (ch != '\n' && ch != EOF) {
                // Skip the whole over-long line, never a piece of it.
                while ((ch = fgetc(f)) != EOF && ch != '\n') {
                }
                ctx->printf(ctx->out, "source: %s line %d too long (at most %d characters), skipped\n", path,
                            lineno, (int)LIBSH_LINE_MAX - 1);
                ++r.cmds;
                continue;
            }
        }
        exec_commands(ctx, line);
        if (r.cmds == before) ++r.cmds;
    }
    return r.end == run_end::none;
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

// "source" runs the lines of its files with the caller's context. A file
// may source others (itself too), down to kSourceDepthMax levels; the whole
// run, nested files included, is one command to its caller: one reply, at
// most LIBSH_SOURCE_CMDS_MAX commands (or lines that run none), and it
// stops when its session ends or the program stops. Only regular files are
// read.
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
    char *line = (char *)os_malloc(LIBSH_LINE_MAX);
    if (!line) return -1;
    depth_guard depth;
    int r = 0;
    for (; i < argc && !ctx->exit_flag; ++i) {
        // A FIFO or a device could keep the run waiting or reading for good.
        const char *kind = nullptr;
        FILE *f = os_fopen_regular(argv[i], &kind);
        if (!f) {
            if (kind) ctx->printf(ctx->out, "open:[%s] error:not a regular file (%s)\n", argv[i], kind);
            else ctx->printf(ctx->out, "open:[%s] error:%s\n", argv[i], os_strerror());
            r = -1;
            break;
        }
        bool goes_on = run_file(ctx, f, argv[i], line);
        fclose(f);
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
        case run_end::none: break;
        }
    }
    os_free(line);
    return r;
}
