#pragma once
// Shell client: sends command strings to a running instance's TCP shell
// and prints the replies; without a command string (or with "sh") it is an
// interactive remote console.
#include <atomic>
#include "libpal/env/os_types.h"
#include "libsh/libsh_source.h"

enum : u32 {
    DBGCLI_IDLE = 0,
    DBGCLI_SENDING = 1,  // reading a line or sending a command
    DBGCLI_WAITING = 2,  // waiting for a reply
};

// Line reader: one line of at most size-1 characters into buf; NULL at the
// end of input. Output: one reply (a line end is added, as puts does).
typedef char *(*dbgcli_reader)(char *buf, int size);
typedef int (*dbgcli_output)(const char *text);

struct debug_shell_req {
    std::atomic<u32> state;
    const char *prompt;
    const char *cmds;       // ';'-separated commands; NULL or "sh": interactive
    dbgcli_reader reader;   // NULL: standard input
    dbgcli_output output;   // NULL: standard output
    i32 reply_ms = 0;       // wait for each reply; 0: DBGCLI_REPLY_MS
};

struct debug_shell_req2 {
    const char *cmd;
    char *reply;
    i32 size;        // bytes of reply; at most size-1 are stored
    i32 timeout_ms;  // 0: 10000
};

// Client limits.
constexpr int DBGCLI_CONNECT_MS = 2000;
constexpr int DBGCLI_SOCK_BUF = 10240;
constexpr int DBGCLI_LINE_SIZE = 16384;
constexpr int DBGCLI_REPLY_SIZE = 16384;  // a reply of up to 16383 bytes
// Longer than any wait of the server that ends in an answer (a "source"
// that gets nothing from a FIFO for that long says so), so that the
// answer is heard.
constexpr int DBGCLI_REPLY_MS = (int)LIBSH_SOURCE_WAIT_MS + 5000;

int debug_shell_connet_exec_cmd(const char *host, int port, debug_shell_req *req);
// One command; the reply (carriage returns removed) goes into the caller's
// buffer. The reply length, or a negative value on failure or time-out.
int debug_shell_connet_exec2_cmd(const char *host, int port, debug_shell_req2 *req);
int debug_shell_cli_exec(const char *host, int port, const char *cmds);
