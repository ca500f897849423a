#pragma once
// Debug shell sessions: one stream (standard input and output, a TCP
// connection or a named pipe) tied to the command shell. Replies use CR LF
// line ends, and each command's output ends with one NUL byte.
#include "libpal/env/os_types.h"

struct dbgsh_srv_ctx;

struct debug_shell_param {
    const char *prompt;
};

// Output operations of a session; out is the session's stream.
int dbgout_printf(void *out, const char *fmt, ...) OS_PRINTF(2, 3);
int dbgout_write(void *out, const char *text);
int dbgout_flush(void *out);

int dbgsh_srv_ctx_init(dbgsh_srv_ctx *ctx, void *net, u32 mode, void *transport);
int dbgsh_srv_imp(dbgsh_srv_ctx *ctx);
int debug_shell_stdio_loop(void);
int debug_shell_run_cmds(const char *cmds);
int debug_shell_init(const debug_shell_param *param);
int dbgsh_gets(const char *cmds, int index, char *buf, size_t size);

// Reads more of standard input into buf (cap bytes, *len in use) while
// watching the program's stop request: 1 after bytes or the end of input
// (*eof set) arrived, 0 to try again, -1 on a stop request or a failure.
int dbg_stdin_fill(char *buf, size_t cap, size_t *len, bool *eof);
const char *debug_shell_prompt(void);
