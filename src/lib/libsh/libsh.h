#pragma once
// Command shell: command tables, line parsing and dispatch, aliases,
// shell variables and the variable registries shared by every front end
// (stdio and TCP sessions, command files, the web tool).
#include "libpal/env/os_types.h"
#include "libpal/os/os_opt.h"

struct dvar_item;
struct rvar_item;
struct fvar_item;
struct dvar_mgr;
struct rvar_mgr;
struct fvar_mgr;

enum : u32 {
    STDIO_MODE = 0,
    NET_MODE = 1,
    PIPE_MODE = 3,
};

constexpr size_t LIBSH_LINE_MAX = 4096;

typedef int (*dbgout_printf_fn)(void *out, const char *fmt, ...);
typedef int (*dbgout_write_fn)(void *out, const char *text);
typedef int (*dbgout_flush_fn)(void *out);

struct dbgsh_srv_ctx {
    u32 mode;
    u32 exit_flag;
    void *out;
    dbgout_printf_fn printf;
    dbgout_write_fn write;
    dbgout_flush_fn flush;
    getopt_data opt;
    // The previous command line of this session, which its empty lines
    // repeat; empty when there is none. Each context keeps its own, so a
    // session never runs another's line; dbgsh_srv_ctx_init clears it.
    char prev_line[LIBSH_LINE_MAX];
    // When set, asked like the session check (below) whether this
    // session's client is still there; dbgsh_srv_ctx_init clears it.
    int (*alive)(dbgsh_srv_ctx *ctx);
};

typedef int (*libsh_cmd_fn)(dbgsh_srv_ctx *ctx, int argc, char **argv);

struct libsh_cmd {
    const char *name;
    libsh_cmd_fn handler;
    const char *help;
};

int libsh_init(void);
int libsh_exit(void);
// Runs a line; every command of it that runs ends its reply with one
// flush. Commands run from a file by "source" write into the reply of
// that "source": their flushes do not end it.
int exec_commands(dbgsh_srv_ctx *ctx, const char *line);
// With on, the calling thread keeps the work space of exec_commands from
// one line to the next instead of taking it from the heap for each; off
// frees it. For threads that run many lines; call it with 0 before the
// thread ends.
void libsh_keep_work(int on);
// Ends the reply of the top-level command being run now (once); for
// commands that end the session or the process, also when a sourced file
// runs them.
int libsh_reply_end(dbgsh_srv_ctx *ctx);
// Refuses a command line longer than max characters: the error text and
// the end of the reply.
void libsh_line_too_long(dbgsh_srv_ctx *ctx, size_t max);

// One top-level "source" runs at most this many commands, those of the
// files it sources included; a line that runs none counts as one.
constexpr u32 LIBSH_SOURCE_CMDS_MAX = 10000;
// Asked before every command and line of a "source", so it must be cheap:
// 0 when the session of ctx has ended (its peer is gone), so that the run
// stops. Set by the session layer; without one every session counts as
// alive.
typedef int (*libsh_session_check_fn)(dbgsh_srv_ctx *ctx);
int libsh_set_session_check(libsh_session_check_fn fn);
// What one ';'-separated item of a line does: 0 runs nothing (a comment,
// or a variable assignment after alias expansion; sent alone, it is
// answered with an empty reply, or with the error of an assignment the
// shell refuses), 1 runs a command, 2 runs "exit" or "quit" (without -h),
// which end the session after their reply.
int libsh_item_runs_cmd(const char *item);
libsh_cmd_fn libsh_find_cmd(const char *name);
const char *libsh_cmd_help_text(const char *name);
int libsh_set_app_cmds(const libsh_cmd *table);
int libsh_dvar_add(dvar_item *item);
int libsh_show_add(rvar_item *item);
int libsh_call_add(fvar_item *item);
char *libsh_dvar_dump(void);
int libsh_dvar_set(const char *name, const char *value, char *err);
typedef int (*libsh_exit_fn)(void);
int libsh_set_exit_func(libsh_exit_fn fn);
libsh_exit_fn libsh_get_exit_func(void);

// The shell's registries (NULL before libsh_init and after libsh_exit).
dvar_mgr *libsh_dvar_mgr(void);
rvar_mgr *libsh_rvar_mgr(void);
fvar_mgr *libsh_fvar_mgr(void);

// The built-in command table.
const libsh_cmd *libsh_builtin_cmds(void);
const libsh_cmd *libsh_app_cmds(void);

// Shell variables and aliases, which clients define, are bounded alike so
// that no client can grow the program without end: a name and a value of
// at most LIBSH_TEXT_MAX characters each, and a number of entries (below).
// A new name past that number is refused (LIBSH_FULL) and changes
// nothing, while an entry that exists can always take a new value or be
// removed.
constexpr size_t LIBSH_TEXT_MAX = 255;
constexpr int LIBSH_FULL = -2;
// Writes the refusal of a new name past the bound of its table (what:
// "shell variables", "aliases"): "error: too many WHAT (MAX): NAME not set".
void libsh_say_full(dbgsh_srv_ctx *ctx, const char *what, u32 max, const char *name, size_t len);

// Aliases: at most LIBSH_ALIASES_MAX, the built-in ones among them.
constexpr u32 LIBSH_ALIASES_MAX = 256;
int alias_init(void);
int alias_exit(void);
const char *alias_get(const char *name);
// Copies the value of name into out; 0, or -1 when there is no such alias.
int alias_get_copy(const char *name, char *out, size_t size);
// Defines or replaces an alias: 0; LIBSH_FULL for a new name in a full
// table; -1 for a name of no or more than LIBSH_TEXT_MAX characters or a
// longer value; -8 without memory (nothing changed).
int alias_set(const char *name, const char *value);
int alias_unset(const char *name);
// Calls fn for every alias in bucket and chain order, under the table's
// lock: fn must not call back into the alias table.
void alias_foreach(void (*fn)(const char *name, const char *value, void *arg), void *arg);

// Shell variables (a copy of the process environment): at most
// LIBSH_VARS_MAX are added to those copied at start.
constexpr u32 LIBSH_VARS_MAX = 256;
int init_envv(char **environ_copy);
void free_envv(void);
int libsh_env_index(const char *name);
const char *libsh_getenv(const char *name);
int libsh_getenv_copy(const char *name, char *out, size_t size);
// 0, LIBSH_FULL, or -8 without memory (nothing changed).
int libsh_setenv(const char *name, const char *value);
int libsh_unsetenv(const char *name);
// 0 when text is an assignment and was stored; -1 when it is not an
// assignment; LIBSH_FULL or -8 when it is one but was not stored.
int libsh_assign_var(const char *text);
// 1 when text has the form of a variable assignment (nothing is stored).
int libsh_is_assign(const char *text);
// Heap text of every variable, one "NAME=value\n" per line; NULL when none.
char *libsh_env_text(void);

int libsh_readline(const char *prompt, char *buf, size_t size);

// Built-in handlers.
int libsh_cmd_show(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_set(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_call(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_pwd(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_cd(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_alias(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_unalias(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_unset(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_echo(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_env(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_source(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_exit(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_quit(dbgsh_srv_ctx *ctx, int argc, char **argv);
int libsh_cmd_help(dbgsh_srv_ctx *ctx, int argc, char **argv);

// Registers the built-in "show" items and "call" functions.
int libsh_show_init(void);
int libsh_call_init(void);
