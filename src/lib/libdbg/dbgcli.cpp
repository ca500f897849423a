#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/dbgcli"
#include "libdbg/dbgcli.h"
#include "libdbg/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libnet/sock_cli.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "libpal/tframe/app.h"
#include "libsh/libsh.h"

namespace {

constexpr int kWaitSliceMs = 300;
constexpr int kExec2DefaultMs = 10000;

// ---- connection -------------------------------------------------------------

struct cli_conn {
    char where[OS_IPADDR_CSTR_MAXN];  // the server's address and port, for messages
    net n;           // the connection; its writes
    char in[4096];   // received, not yet scanned
    size_t beg;
    size_t end;
    u32 stale;       // replies still owed to requests that timed out
};

enum { REPLY_FAIL = -1, REPLY_TIMEOUT = 0, REPLY_OK = 1 };

bool cli_connect(cli_conn *c, const char *host, int port, os_err *err)
{
    sock_opt opt = {};
    opt.timeout = DBGCLI_CONNECT_MS;
    opt.buffer_size = DBGCLI_SOCK_BUF;
    u64 s = sock_tcp_connect(host, port, &opt, err);
    if (!s) return false;
    sock_host_port_cstr(host, port, c->where, sizeof c->where);
    c->n.type = NET_TYPE_SOCK;
    c->n.transport = s;
    c->n.timeout = DBGCLI_REPLY_MS;
    return true;
}

// Sends text and its NUL byte.
bool cli_send(cli_conn *c, const char *text)
{
    size_t len = strlen(text) + 1;
    return net_write(&c->n, text, len) == (int)len;
}

// Reads the next reply up to its NUL byte into reply (size bytes; at most
// size-1 kept, carriage returns dropped), after skipping the replies still
// owed to earlier requests. REPLY_OK, or REPLY_TIMEOUT when the reply did
// not end within timeout_ms (what came of it is in reply, and the rest is
// skipped with the next read), or REPLY_FAIL.
int cli_read_reply(cli_conn *c, char *reply, size_t size, int timeout_ms, size_t *len, bool *overflow)
{
    *len = 0;
    *overflow = false;
    reply[0] = 0;
    const u64 start = os_mono_ms();
    u64 sock = c->n.transport;
    for (;;) {
        while (c->beg < c->end) {
            char ch = c->in[c->beg++];
            if (c->stale) {
                if (ch == 0) c->stale--;
                continue;
            }
            if (ch == 0) {
                reply[*len] = 0;
                return REPLY_OK;
            }
            if (ch == '\r') continue;
            if (*len + 1 < size) reply[(*len)++] = ch;
            else *overflow = true;
        }
        if (app_stop_requested()) return REPLY_FAIL;
        errno = 0;
        i64 r = os_socket_recv(sock, c->in, sizeof c->in);
        if (r > 0) {
            c->beg = 0;
            c->end = (size_t)r;
            continue;
        }
        if (r < 0 || errno == 0) {  // failure, or the server closed
            reply[*len] = 0;
            return REPLY_FAIL;
        }
        u64 elapsed = os_mono_ms() - start;
        if (elapsed >= (u64)timeout_ms) {
            reply[*len] = 0;
            c->stale++;
            return REPLY_TIMEOUT;
        }
        u64 left = (u64)timeout_ms - elapsed;
        int w = os_socket_wait(sock, OS_SOCK_WAIT_READ, left < (u64)kWaitSliceMs ? (int)left : kWaitSliceMs);
        if (w < 0) {
            reply[*len] = 0;
            return REPLY_FAIL;
        }
    }
}

// ---- standard input ---------------------------------------------------------

// Lines from standard input; an over-long one is logged and skipped.
static_assert(DBGCLI_LINE_SIZE <= DBG_STDIN_LINE_SIZE);
char *stdin_reader(char *out, int size)
{
    if (!out || size < 1) return nullptr;
    for (;;) {
        int n = dbg_stdin_line(out, (size_t)size);
        if (n >= 0) return out;
        if (n != DBG_LINE_TOO_LONG) return nullptr;
        LOG_ERR("line longer than %d characters ignored\n", size - 1);
    }
}

int stdout_output(const char *text)
{
    return puts(text);
}

// ---- one command ------------------------------------------------------------

enum { ITEM_NEXT, ITEM_QUIT, ITEM_END };

struct cli_run {
    cli_conn *c;
    debug_shell_req *req;
    char *reply;  // DBGCLI_REPLY_SIZE bytes
    bool failed;  // a reply did not come: the connection failed or ended, or time ran out
};

// Sends one request and prints its reply. Every request gets a reply, an
// empty one for a request that runs no command; with quiet an empty reply
// is awaited but not printed (what comments and stored assignments
// answer), while a refusal's text still is. ITEM_END when the connection
// is of no further use: it failed, or the request ended the session.
int send_request(cli_run *run, const char *text, bool quiet, bool ends_session)
{
    debug_shell_req *req = run->req;
    if (!cli_send(run->c, text)) {
        LOG_ERR("error: execution command failed\n");
        run->failed = true;
        return ITEM_END;
    }
    req->state.store(DBGCLI_WAITING);
    size_t len = 0;
    bool overflow = false;
    int ms = req->reply_ms > 0 ? req->reply_ms : DBGCLI_REPLY_MS;
    int r = cli_read_reply(run->c, run->reply, DBGCLI_REPLY_SIZE, ms, &len, &overflow);
    req->state.store(DBGCLI_SENDING);
    LOG_VERB("ret=%d\n", r == REPLY_OK ? (len ? (int)len : 1) : r);
    if (r == REPLY_FAIL) {
        LOG_DBG("error: read command returns error\n");
        if (!app_stop_requested())
            LOG_ERR("the TCP shell at %s closed the connection before answering\n", run->c->where);
        run->failed = true;
        return ITEM_END;
    }
    if (r == REPLY_TIMEOUT) {
        if (len && !quiet) {
            req->output(run->reply);
            fflush(stdout);
        }
        LOG_ERR("error: read command returns timeout\n");
        run->failed = true;
        return ITEM_NEXT;
    }
    if (!quiet || len) {
        if (len && run->reply[len - 1] == '\n') run->reply[--len] = 0;
        req->output(run->reply);
        fflush(stdout);
        if (overflow) {
            char cut[64];
            str_sprintf_s(cut, sizeof cut, DBG_OUTPUT_CUT, DBGCLI_REPLY_SIZE - 1);
            req->output(cut);
            fflush(stdout);
            LOG_ERR("reply longer than %d bytes: only the first %d shown\n", DBGCLI_REPLY_SIZE - 1,
                    DBGCLI_REPLY_SIZE - 1);
        }
    }
    return ends_session ? ITEM_END : ITEM_NEXT;
}

// Sends one item of a line and prints its reply.
int run_item(cli_run *run, char *item)
{
    char *it = str_trim(item);
    if (!*it) return ITEM_NEXT;  // an empty request would repeat a line
    if (strcmp(it, "quit") == 0) return ITEM_QUIT;
    int kind = libsh_item_runs_cmd(it);
    return send_request(run, it, kind == 0, kind == 2);
}

// Runs the items of one line in order (the shell's own splitting: ';'
// outside quotes), one request each, so that every request gets exactly one
// reply. A line the shell cannot split goes as it is, and the shell's
// refusal is its reply.
int run_line(cli_run *run, const char *line)
{
    str_vector items;
    str_vector_init(&items, STR_VEC_SKIP_EMPTY);
    int r = ITEM_NEXT;
    if (str_split_esape(line, ";", "\"'", &items) != 0) {
        r = send_request(run, line, false, false);
    } else {
        for (u64 i = 0; i < items.count && r == ITEM_NEXT; ++i) r = run_item(run, items.items[i]);
    }
    str_vector_fini(&items);
    return r;
}

// Runs a command text line by line. The server ends a request at a line
// feed and drops every carriage return, so a line feed inside the text
// starts a new line here too, and carriage returns go before anything is
// split or sent: each request then is exactly what the server runs.
int run_text(cli_run *run, char *text)
{
    char *w = text;
    for (const char *p = text; *p; ++p)
        if (*p != '\r') *w++ = *p;
    *w = 0;
    int r = ITEM_NEXT;
    for (char *line = text; line && r == ITEM_NEXT;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        r = run_line(run, line);
        line = nl ? nl + 1 : nullptr;
    }
    return r;
}

}  // namespace

int debug_shell_connet_exec_cmd(const char *host, int port, debug_shell_req *req)
{
    OS_CHECK_RET(host && req, -1);
    req->state.store(DBGCLI_IDLE);
    LOG_VERB("ip=%s port=%d cmd=[%s]\n", host, port, req->cmds ? req->cmds : "");
    cli_conn *c = (cli_conn *)os_zalloc(sizeof(cli_conn));
    char *line = (char *)os_malloc(DBGCLI_LINE_SIZE);
    char *last = (char *)os_zalloc(DBGCLI_LINE_SIZE);
    char *reply = (char *)os_malloc(DBGCLI_REPLY_SIZE);
    os_err err = {};
    int result = -1;
    if (!c || !line || !last || !reply) {
        LOG_ERR("client memory error\n");
    } else if (!cli_connect(c, host, port, &err)) {
        LOG_ERR("sock_connect %s:%u error: %s\n", host, (unsigned)port, os_err_str(&err));
    } else {
        result = 0;
        if (!req->reader) req->reader = stdin_reader;
        const bool default_reader = req->reader == stdin_reader;
        if (!req->output) req->output = stdout_output;
        const bool interactive = !req->cmds || strcmp(req->cmds, "sh") == 0;
        cli_run run = {c, req, reply, false};
        if (interactive) {
            for (;;) {
                req->state.store(DBGCLI_SENDING);
                if (default_reader) {
                    printf("%s", req->prompt ? req->prompt : "");
                    fflush(stdout);
                }
                memset(line, 0, DBGCLI_LINE_SIZE);
                if (!req->reader(line, DBGCLI_LINE_SIZE)) break;  // end of input: like quit
                char *t = str_trim(line);
                if (strcmp(t, "quit") == 0) break;
                if (!*t) {
                    // An empty line repeats this console's previous line.
                    if (!last[0]) continue;
                    str_safecopy_trunc(line, DBGCLI_LINE_SIZE, last);
                    t = line;
                } else {
                    str_safecopy_trunc(last, DBGCLI_LINE_SIZE, t);
                }
                if (run_text(&run, t) != ITEM_NEXT) break;
            }
        } else {
            req->state.store(DBGCLI_SENDING);
            char *text = os_strdup(req->cmds);
            if (text) run_text(&run, text);
            else LOG_ERR("client memory error\n");
            run.failed = run.failed || !text;
            os_free(text);
        }
        net_close(&c->n);
        if (run.failed) result = -1;
    }
    req->state.store(DBGCLI_IDLE);
    os_free(reply);
    os_free(last);
    os_free(line);
    os_free(c);
    return result;
}

int debug_shell_connet_exec2_cmd(const char *host, int port, debug_shell_req2 *req)
{
    OS_CHECK_RET(host && req && req->cmd && req->reply && req->size > 0, -1);
    req->reply[0] = 0;
    cli_conn *c = (cli_conn *)os_zalloc(sizeof(cli_conn));
    if (!c) return -1;
    os_err err = {};
    if (!cli_connect(c, host, port, &err)) {
        LOG_ERR("sock_connect %s:%u error: %s\n", host, (unsigned)port, os_err_str(&err));
        os_free(c);
        return -1;
    }
    LOG_VERB("cmd=[%s]\n", req->cmd);
    int result;
    if (!cli_send(c, req->cmd)) {
        LOG_ERR("error: execution command failed\n");
        result = -1;
    } else {
        size_t len = 0;
        bool overflow = false;
        int ms = req->timeout_ms > 0 ? req->timeout_ms : kExec2DefaultMs;
        int r = cli_read_reply(c, req->reply, (size_t)req->size, ms, &len, &overflow);
        result = r == REPLY_OK ? (int)len : -1;
        LOG_VERB("ret=%d\n", result);
        if (r != REPLY_OK) {
            req->reply[0] = 0;
            LOG_ERR("error: read command returns timeout\n");
        } else if (overflow) {
            LOG_ERR("reply longer than %d bytes: only the first %d kept\n", (int)req->size - 1,
                    (int)req->size - 1);
        }
    }
    net_close(&c->n);
    os_free(c);
    return result;
}

int debug_shell_cli_exec(const char *host, int port, const char *cmds)
{
    char prompt[128];
    str_sprintf_s(prompt, sizeof prompt, "%s>", g_app.app_name ? g_app.app_name : "");
    debug_shell_req req;
    req.state.store(DBGCLI_IDLE);
    req.prompt = prompt;
    req.cmds = cmds;
    req.reader = nullptr;
    req.output = nullptr;
    return debug_shell_connet_exec_cmd(host, port, &req);
}
