#pragma once
// Debug shell sessions: one stream (standard input and output, a TCP
// connection or a named pipe) tied to the command shell. Replies use CR LF
// line ends, and each command's output ends with one NUL byte.
#include "libpal/env/os_types.h"

struct dbgsh_srv_ctx;
struct sock_tcp_ctx;

struct debug_shell_param {
    const char *prompt;
};

// Output operations of a session; out is the session's stream.
int dbgout_printf(void *out, const char *fmt, ...) OS_PRINTF(2, 3);
int dbgout_write(void *out, const char *text);
int dbgout_flush(void *out);

int dbgsh_srv_ctx_init(dbgsh_srv_ctx *ctx, void *net, u32 mode, void *transport);
int dbgsh_srv_imp(dbgsh_srv_ctx *ctx);
// A network session (NET_MODE) as dbgsh_srv_imp runs it, for the
// connection of rec, whose handle it has registered: it keeps the record's
// activity (busy from before it takes input until its requests are
// answered), ends once chosen to close, and unregisters its handle before
// closing the socket.
int dbgsh_srv_net_imp(dbgsh_srv_ctx *ctx, sock_tcp_ctx *rec);
int debug_shell_stdio_loop(void);
int debug_shell_run_cmds(const char *cmds);
// A session on the named pipe at name, until its read fails, "exit" or
// "quit", or debug_shell_pipe_close; -1 when the pipe cannot be opened or
// another pipe session runs.
int debug_shell_pipe_loop(const char *name);
// Disconnects the running pipe session's pipe and ends the session; 0.
int debug_shell_pipe_close(void);
int debug_shell_init(const debug_shell_param *param);
int dbgsh_gets(const char *cmds, int index, char *buf, size_t size);

// The line that follows output cut at its limit of N bytes (the format
// takes N as an int), in the shell client's output and at the end of a web
// command's answer alike.
constexpr char DBG_OUTPUT_CUT[] = "... output cut at %d bytes";

// Lines of standard input, shared by the stdio session and the console
// client, read in blocks while watching the program's stop request.
enum { DBG_LINE_END = -1, DBG_LINE_TOO_LONG = -2 };
constexpr size_t DBG_STDIN_LINE_SIZE = 16384;  // the largest size taken
// One line without its line end into line (size bytes, at most
// DBG_STDIN_LINE_SIZE): its length; DBG_LINE_TOO_LONG after a line of size
// or more characters has been dropped whole; DBG_LINE_END at the end of
// input or on a stop request.
int dbg_stdin_line(char *line, size_t size);
const char *debug_shell_prompt(void);
