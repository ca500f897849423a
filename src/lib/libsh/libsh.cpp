#define LOG_MOD "mish2"
#define LOG_SRC "src/lib/libsh/libsh"
#include "libsh/libsh.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "liblog/log_conf.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "libpal/value/dvar.h"
#include "libpal/value/fvar.h"
#include "libpal/value/rvar.h"
#include "libsh/libsh_source.h"

extern char **environ;

namespace {

const libsh_cmd g_builtin[] = {
    {"show", libsh_cmd_show, "Show the status of the program"},
    {"set", libsh_cmd_set, "Set public options"},
    {"call", libsh_cmd_call, "call application commands"},
    {"pwd", libsh_cmd_pwd, "Print working directory"},
    {"alias", libsh_cmd_alias, "Define or display alias"},
    {"unalias", libsh_cmd_unalias, "Delete the alias set by alias"},
    {"unset", libsh_cmd_unset, "Cancel environment variable"},
    {"echo", libsh_cmd_echo, "Echo the STRING(s) to output"},
    {"env", libsh_cmd_env, "Display all variables"},
    {"source", libsh_cmd_source, "Exec commands from file"},
    {"exit", libsh_cmd_exit, "Exit the service program"},
    {"quit", libsh_cmd_quit, "Quit the current session"},
    {"help", libsh_cmd_help, "Display this text"},
    {"?", libsh_cmd_help, "Synonym for `help'"},
    {nullptr, nullptr, nullptr},
};

std::atomic<const libsh_cmd *> g_app_cmds{nullptr};
std::atomic<libsh_exit_fn> g_exit_fn{nullptr};
std::atomic<dvar_mgr *> g_dvar{nullptr};
std::atomic<rvar_mgr *> g_rvar{nullptr};
std::atomic<fvar_mgr *> g_fvar{nullptr};

// The previous command line of the session of ctx. Only the session's own
// thread runs its lines (a file run by "source" included), so it needs no
// lock.
void prev_set(dbgsh_srv_ctx *ctx, const char *text)
{
    if (text != ctx->prev_line) str_safecopy_trunc(ctx->prev_line, sizeof ctx->prev_line, text);
}

// A handler that flushes itself gets no second end mark: while a handler
// runs, the context's flush goes through this trampoline, which notes the
// call. The state is per thread; a handler run from inside another one (a
// command of a file that "source" runs) has its own, linked to the outer
// one, and its flushes do not end the reply: the whole run answers as the
// one top-level command it is.
struct flush_state {
    dbgout_flush_fn orig;
    bool flushed;
    flush_state *outer;  // NULL for the top-level command
};
thread_local flush_state *t_flush = nullptr;

flush_state *top_state(flush_state *st)
{
    while (st && st->outer) st = st->outer;
    return st;
}

int counting_flush(void *out)
{
    flush_state *st = t_flush;
    if (!st || st->outer) return 0;
    st->flushed = true;
    return st->orig ? st->orig(out) : 0;
}

// The session's own flush, also while a trampoline is installed.
dbgout_flush_fn real_flush(dbgsh_srv_ctx *ctx)
{
    if (ctx->flush == counting_flush && t_flush) return t_flush->orig;
    return ctx->flush;
}

int run_handler(dbgsh_srv_ctx *ctx, libsh_cmd_fn fn, int argc, char **argv, bool *flushed)
{
    dbgout_flush_fn prev = ctx->flush;
    flush_state *saved = t_flush;
    flush_state st{real_flush(ctx), false, saved};
    t_flush = &st;
    ctx->flush = counting_flush;
    getopt_data_init(&ctx->opt);
    int r = fn(ctx, argc, argv);
    ctx->flush = prev;
    t_flush = saved;
    *flushed = st.flushed;
    return r;
}

void out_write(dbgsh_srv_ctx *ctx, const char *text)
{
    if (ctx->write) ctx->write(ctx->out, text);
}

// Ends the reply of a top-level command; inside a handler (a sourced
// file's line) the reply goes on.
void out_flush(dbgsh_srv_ctx *ctx)
{
    if (t_flush) return;
    if (dbgout_flush_fn f = real_flush(ctx)) f(ctx->out);
}

// An item and its command name escaped for the item's record.
struct item_shown {
    char cmd[LIBSH_LINE_MAX];
    char name[256];
};

// The work space of one command line. It is taken from the heap: a line
// run by "source" runs inside the line that called it, many levels deep, on
// session threads whose stacks are small.
struct line_work {
    char text[LIBSH_LINE_MAX];      // the line
    char expanded[LIBSH_LINE_MAX];  // one item with its alias expanded
    union {
        char alias[LIBSH_LINE_MAX];  // the alias's value, while the item is expanded
        item_shown shown;            // then the item's record texts
    };
    char name[256];                 // the item's command name
};

// The text of one item, trimmed, with an alias of its command name (put
// into w->name) expanded into w->expanded; NULL for a comment.
char *item_text(char *item, line_work *w)
{
    char *it = str_trim(item);
    if (it[0] == '#') return nullptr;
    str_cmd_name(it, w->name, sizeof w->name);
    if (alias_get_copy(w->name, w->alias, sizeof w->alias) == 0) {
        str_cmd_replace_name(it, w->alias, w->expanded, sizeof w->expanded);
        it = w->expanded;
    }
    return it;
}

// The arguments of a command line as a NULL-terminated vector in one
// counted block, with their count in *argc; NULL without memory. The
// first pass sizes the block (its count is one more than the arguments,
// room for the NULL), the second fills it.
char **args_new(const char *line, int *argc)
{
    int slots = 0;
    size_t nchars = 0;
    str_args_split(line, nullptr, nullptr, &slots, &nchars);
    if (slots < 1) slots = 1;
    size_t ptrs = (size_t)slots * sizeof(char *);
    char **argv = (char **)os_malloc(ptrs + nchars + 1);
    if (!argv) return nullptr;
    int n = 0;
    size_t m = 0;
    str_args_split(line, argv, (char *)argv + ptrs, &n, &m);
    *argc = n > 0 ? n - 1 : 0;
    argv[*argc] = nullptr;
    return argv;
}

// Runs one ';'-separated item. Returns the command's result, 0 for items
// that run nothing (*ran stays false).
int run_item(dbgsh_srv_ctx *ctx, char *item, line_work *w, bool *ran)
{
    *ran = false;
    char *it = item_text(item, w);
    if (!it) return 0;
    const int assigned = libsh_assign_var(it);
    if (assigned == 0) return 0;
    if (assigned != -1) {
        // Not stored: answered like a failed command, so that the sender
        // hears of it; the rest of the line does not run.
        *ran = true;
        if (ctx->printf) {
            const size_t nl = strcspn(it, "=");
            if (assigned == LIBSH_FULL)
                libsh_say_full(ctx, "shell variables", LIBSH_VARS_MAX, it, nl);
            else
                ctx->printf(ctx->out, "error: out of memory: %.*s not set\n", (int)nl, it);
        }
        out_flush(ctx);
        return -1;
    }

    int nargs = 0;
    char **argv = args_new(it, &nargs);
    if (!argv) return -1;
    const char *cmd = nargs > 0 ? argv[0] : "";
    // A line may come from a TCP or web client: its texts are escaped.
    LOG_VERB("cmd=[%s] func=[%s]\n", str_escape_log(w->shown.cmd, sizeof w->shown.cmd, it),
             str_escape_log(w->shown.name, sizeof w->shown.name, w->name));

    *ran = true;
    if (!libsh_source_admit(ctx)) {
        // The "source" this line comes from has to stop; it reports why.
        os_free(argv);
        return -1;
    }
    int r;
    bool flushed = false;
    libsh_cmd_fn fn = libsh_find_cmd(cmd);
    if (fn) {
        r = run_handler(ctx, fn, nargs, argv, &flushed);
    } else {
        if (ctx->printf) ctx->printf(ctx->out, "command not found: [%s]\n", cmd);
        out_write(ctx, "Type `help` to learn how to use prompt\n");
        prev_set(ctx, "");
        r = -12;
    }
    if (!flushed) out_flush(ctx);
    os_free(argv);
    return r;
}

}  // namespace

dvar_mgr *libsh_dvar_mgr(void) { return g_dvar.load(); }
rvar_mgr *libsh_rvar_mgr(void) { return g_rvar.load(); }
fvar_mgr *libsh_fvar_mgr(void) { return g_fvar.load(); }
const libsh_cmd *libsh_builtin_cmds(void) { return g_builtin; }
const libsh_cmd *libsh_app_cmds(void) { return g_app_cmds.load(); }

namespace {

// Command lines running now, on any session; the tables are freed at exit
// only when none runs. Each thread counts in its own slot, each slot on its
// own cache line, so that sessions on several cores do not pass one counter
// between them for every line.
constexpr u32 kRunSlots = 32;
struct alignas(64) run_slot {
    std::atomic<int> n{0};
};
run_slot g_running[kRunSlots];
std::atomic<u32> g_next_slot{0};

std::atomic<int> &my_run_slot()
{
    thread_local int slot = -1;
    if (slot < 0) slot = (int)(g_next_slot.fetch_add(1, std::memory_order_relaxed) % kRunSlots);
    return g_running[slot].n;
}

int running_count()
{
    int n = 0;
    for (const run_slot &s : g_running) n += s.n.load();
    return n;
}

struct running_guard {
    std::atomic<int> &n = my_run_slot();
    running_guard() { n.fetch_add(1); }
    ~running_guard() { n.fetch_sub(1); }
};

// A thread that runs many lines (a network session) keeps one work space
// between them (libsh_keep_work); other threads take one for each line.
thread_local bool t_keep_work = false;
thread_local line_work *t_spare_work = nullptr;

line_work *work_take()
{
    if (line_work *w = t_spare_work) {
        t_spare_work = nullptr;
        return w;
    }
    return (line_work *)os_malloc(sizeof(line_work));
}

void work_give(line_work *w)
{
    if (t_keep_work && !t_spare_work) t_spare_work = w;
    else os_free(w);
}

}  // namespace

namespace {

constexpr char kQuotes[] = "\"'";
constexpr char kUnbalanced[] = "error: unbalanced quotes, nothing run\n";
constexpr char kNoMemory[] = "error: out of memory, nothing run\n";

// Whether the line holds an odd number of quote characters, which the
// split refuses.
bool odd_quotes(const char *t)
{
    size_t n = 0;
    for (; *t; ++t) n += strchr(kQuotes, *t) != nullptr;
    return n & 1;
}

// Runs a line with w as its work space.
int run_line(dbgsh_srv_ctx *ctx, const char *line, line_work *w)
{
    char *text = w->text;
    const size_t len = strlen(line);
    if (len >= sizeof w->text) {
        // Never run a cut line, nor the previous one in its place.
        libsh_line_too_long(ctx, sizeof w->text - 1);
        return -1;
    }
    memcpy(text, line, len + 1);
    char *t = str_trim(text);
    if (!*t) {
        str_safecopy_trunc(text, sizeof w->text, ctx->prev_line);
        t = str_trim(text);
        if (!*t) {
            out_flush(ctx);
            return 0;
        }
    }
    str_vector items;
    str_vector_init(&items, STR_VEC_SKIP_EMPTY);
    if (str_split_esape(t, ";", kQuotes, &items) != 0) {
        str_vector_fini(&items);
        prev_set(ctx, "");
        // Refused: the error is the line's reply.
        if (ctx->printf) ctx->printf(ctx->out, "%s", odd_quotes(t) ? kUnbalanced : kNoMemory);
        out_flush(ctx);
        return -1;
    }
    prev_set(ctx, t);
    int r = 0;
    bool any = false;
    for (u64 i = 0; i < items.count; ++i) {
        bool ran = false;
        int rc = run_item(ctx, items.items[i], w, &ran);
        any = any || ran;
        if (rc == -1 && !ran) {
            r = -1;
            break;
        }
        if (!ran) continue;
        r = rc;
        if (r < 0 || ctx->exit_flag) break;
    }
    str_vector_fini(&items);
    // A line that runs no command (comments, assignments, only ';') still
    // gets its reply, an empty one, so that its sender never waits in vain.
    if (!any) out_flush(ctx);
    return r;
}

}  // namespace

int exec_commands(dbgsh_srv_ctx *ctx, const char *line)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    running_guard running;
    line_work *w = work_take();
    if (!w) {
        out_flush(ctx);
        return -1;
    }
    int r = run_line(ctx, line ? line : "", w);
    work_give(w);
    return r;
}

void libsh_keep_work(int on)
{
    t_keep_work = on != 0;
    if (!on) {
        os_free(t_spare_work);
        t_spare_work = nullptr;
    }
}

int libsh_reply_end(dbgsh_srv_ctx *ctx)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    flush_state *top = top_state(t_flush);
    if (!top) {
        dbgout_flush_fn f = real_flush(ctx);
        return f ? f(ctx->out) : 0;
    }
    if (top->flushed) return 0;
    top->flushed = true;
    return top->orig ? top->orig(ctx->out) : 0;
}

void libsh_line_too_long(dbgsh_srv_ctx *ctx, size_t max)
{
    if (!ctx) return;
    if (ctx->printf) ctx->printf(ctx->out, "error: command line too long (at most %d characters)\n", (int)max);
    out_flush(ctx);
}

int libsh_item_runs_cmd(const char *item)
{
    line_work w;
    if (!item || strlen(item) >= sizeof w.text) return 1;
    str_safecopy_trunc(w.text, sizeof w.text, item);
    char *it = item_text(w.text, &w);
    if (!it || libsh_is_assign(it)) return 0;
    str_cmd_name(it, w.name, sizeof w.name);
    if (strcmp(w.name, "exit") != 0 && strcmp(w.name, "quit") != 0) return 1;
    // With -h among their options (read as their getopt reads them) they
    // only describe themselves.
    int argc = 0;
    char **argv = args_new(it, &argc);
    int r = 2;
    for (int i = 1; argv && i < argc; ++i) {
        const char *a = argv[i];
        if (a[0] != '-' || !a[1] || strcmp(a, "--") == 0) break;
        if (strchr(a + 1, 'h')) {
            r = 1;
            break;
        }
    }
    os_free(argv);
    return r;
}

libsh_cmd_fn libsh_find_cmd(const char *name)
{
    if (!name) return nullptr;
    for (const libsh_cmd *c = g_builtin; c->name; ++c)
        if (strcmp(c->name, name) == 0) return c->handler;
    for (const libsh_cmd *c = g_app_cmds.load(); c && c->name; ++c)
        if (strcmp(c->name, name) == 0) return c->handler;
    return nullptr;
}

const char *libsh_cmd_help_text(const char *name)
{
    if (name) {
        for (const libsh_cmd *c = g_app_cmds.load(); c && c->name; ++c)
            if (strcmp(c->name, name) == 0) return c->help ? c->help : "";
        for (const libsh_cmd *c = g_builtin; c->name; ++c)
            if (strcmp(c->name, name) == 0) return c->help;
    }
    return "get cmd help failed";
}

int libsh_set_app_cmds(const libsh_cmd *table)
{
    g_app_cmds.store(table);
    return 0;
}

int libsh_dvar_add(dvar_item *item) { return dvar_mgr_add(g_dvar.load(), item); }
int libsh_show_add(rvar_item *item) { return rvar_mgr_add(g_rvar.load(), item); }
int libsh_call_add(fvar_item *item) { return fvar_mgr_add(g_fvar.load(), item); }
char *libsh_dvar_dump(void) { return dvar_mgr_dump_json(g_dvar.load()); }
int libsh_dvar_set(const char *name, const char *value, char *err)
{
    return dvar_mgr_set(g_dvar.load(), name, value, err);
}

int libsh_set_exit_func(libsh_exit_fn fn)
{
    g_exit_fn.store(fn);
    return 0;
}

libsh_exit_fn libsh_get_exit_func(void)
{
    return g_exit_fn.load();
}

int libsh_init(void)
{
    LOG_VERB("==>\n");
    init_envv(environ);
    alias_init();
    dvar_mgr *d = dvar_mgr_init();
    if (!d) LOG_CRIT("malloc failed\n");
    g_dvar.store(d);
    log_level_cmd_reg(d);
    rvar_mgr *r = rvar_mgr_init();
    if (!r) LOG_CRIT("malloc failed\n");
    g_rvar.store(r);
    fvar_mgr *f = fvar_mgr_init();
    if (!f) LOG_CRIT("malloc failed\n");
    g_fvar.store(f);
    libsh_show_init();
    libsh_call_init();
    return 0;
}

int libsh_exit(void)
{
    LOG_DBG("==>\n");
    // A session that outlived the servers' stop may still be running a
    // command: give it a moment, and leave the tables to the process's end
    // rather than free them under it.
    for (int i = 0; i < 100 && running_count() > 0; ++i) os_msleep(10);
    if (running_count() > 0) {
        LOG_WARN("commands still running, shell tables kept\n");
        return -1;
    }
    alias_exit();
    free_envv();
    if (dvar_mgr *d = g_dvar.exchange(nullptr)) dvar_mgr_exit(d);
    if (rvar_mgr *r = g_rvar.exchange(nullptr)) rvar_mgr_exit(r);
    if (fvar_mgr *f = g_fvar.exchange(nullptr)) fvar_mgr_exit(f);
    return 0;
}

int libsh_readline(const char *prompt, char *buf, size_t size)
{
    if (!buf || size == 0) return 0;
    buf[0] = 0;
    printf("%s", prompt ? prompt : "");
    fflush(stdout);
    if (!fgets(buf, (int)size, stdin)) buf[0] = 0;
    for (size_t n = strlen(buf); n && (buf[n - 1] == '\r' || buf[n - 1] == '\n');) buf[--n] = 0;
    return 0;
}
