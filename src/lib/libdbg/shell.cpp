#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/shell"
#include "libdbg/shell.h"
#include "libdbg/dbgsrv.h"
#include "libdbg/shell_guard.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libnet/libnet.h"
#include "libnet/sock_ctx.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/name_pipe_srv.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"
#include "libsh/libsh.h"

namespace {

char g_prompt[32] = ">";
const char *g_cmds = nullptr;  // command string of the stdio session
int g_cmd_index = 0;

// The stdio session's stream: standard output for replies, standard
// input (waited on together with the stop pipe) for requests.
struct stdio_stream {
    u32 type;
};
stdio_stream g_stdio_stream{2};

int write_all(int fd, const char *data, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 500);
                continue;
            }
            return -1;
        }
        done += (size_t)w;
    }
    return (int)n;
}

int stream_write(void *out, const char *data, size_t n)
{
    if (out != &g_stdio_stream) return -1;
    fflush(stdout);
    return write_all(STDOUT_FILENO, data, n);
}

// Reads more of standard input into buf (cap bytes, *len in use) while
// watching the stop pipe: 1 after bytes or the end of input (*eof set)
// arrived, 0 to try again, -1 on a stop request or a failure.
int stdin_fill(char *buf, size_t cap, size_t *len, bool *eof)
{
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {app_stop_fd(), POLLIN, 0}};
    int np = p[1].fd >= 0 ? 2 : 1;
    if (poll(p, (nfds_t)np, -1) < 0) return errno == EINTR ? 0 : -1;
    if (np == 2 && (p[1].revents & POLLIN)) return -1;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(STDIN_FILENO, buf + *len, cap - *len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        if (n <= 0) *eof = true;
        else *len += (size_t)n;
    } else if (p[0].revents & POLLNVAL) {
        *eof = true;
    }
    return 1;
}

struct stdin_lines {
    char buf[2 * DBG_STDIN_LINE_SIZE];
    size_t len;
    bool discarding;  // dropping the rest of an over-long line
    bool eof;
};
stdin_lines g_stdin;

// ---- network sessions ---------------------------------------------------

// A request holds at most kReqChars bytes before its terminator (carriage
// returns included); a longer one is refused as soon as it passes the
// limit, the rest of it up to its terminator is dropped, and the session
// goes on.
constexpr size_t kReqSize = 4095;
constexpr size_t kReqChars = kReqSize - 1;
constexpr int kReadSliceMs = 300;
constexpr int kWriteSliceMs = 500;
constexpr size_t kOutSize = 16384;

// State of one network session, owned by its thread. Requests are
// collected across reads until their NUL or line feed, so a pause in the
// middle of a request never runs the fragment. Replies are collected
// until the flush and sent with one write.
struct net_session {
    net *n;
    char req[kReqSize + 1];
    size_t req_len;  // bytes kept (carriage returns dropped)
    size_t req_raw;  // bytes received for this request
    bool too_long;   // dropping the rest of an over-long request
    char in[4096];   // received, not yet scanned
    size_t in_beg;
    size_t in_end;
    bool blocking;  // receives wait by themselves, at most one read slice
    bool eof;
    char out[kOutSize];
    size_t out_len;
    bool broken;  // a write failed or stalled: the session ends
    u64 written;         // bytes of replies so far
    u64 looked_ms;       // when the running request last looked at the connection
    u64 written_looked;  // written then
    bool looked;         // it has looked once
    sock_ctx_activity *active;  // the connection record's activity, or NULL
    bool busy;                  // marked busy in it
    shell_guard guard;          // looks at every byte received before any of it runs
};

thread_local net_session *t_sess = nullptr;

// A session's receive waits inside the kernel, at most one read slice at a
// time (and a send at most one write slice), so that a request that is
// already there, or comes during the wait, costs one system call; the stop
// flag is looked at between the slices. When the socket cannot be switched,
// the session waits with poll once a receive finds nothing.
bool session_blocking(u64 sock)
{
    int fd = os_sock_fd(sock);
    struct timeval rt = {0, kReadSliceMs * 1000};
    struct timeval wt = {0, kWriteSliceMs * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wt, sizeof wt) != 0)
        return false;
    return os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_BLOCK, 1) == 1;
}

enum { REQ_FAIL = -1, REQ_NONE = 0, REQ_LINE = 1, REQ_TOO_LONG = 2, REQ_ONLY_CR = 3 };

constexpr i64 kRecvClosed = -2;

// Receives into the session's input buffer, as os_socket_recv does (0 with
// errno set: nothing came). A session of the connection manager is closed
// for a newcomer only while it is idle and its input unread, so it first
// waits for input without taking it, then marks itself busy (it stays so
// until no complete request is left); kRecvClosed when it had been closed.
i64 session_recv(net_session *s)
{
    if (!s->active) return os_socket_recv(s->n->transport, s->in, sizeof s->in);
    const int fd = os_sock_fd(s->n->transport);
    char c;
    ssize_t r = recv(fd, &c, 1, MSG_PEEK | (s->blocking ? 0 : MSG_DONTWAIT));
    if (r <= 0) return r == 0 ? 0 : (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1);
    if (!s->active->take()) return kRecvClosed;
    s->busy = true;
    errno = 0;
    return os_socket_recv(s->n->transport, s->in, sizeof s->in);
}

// Takes the next request into line (kReqSize + 1 bytes). REQ_LINE with
// the request (possibly empty); REQ_ONLY_CR for a request of nothing but
// carriage returns; REQ_TOO_LONG once a request passes kReqChars bytes
// (nothing of it is kept, and the rest of it will be dropped up to its
// terminator); REQ_NONE when no complete request came within the handle's
// time limit; REQ_FAIL on a failed read, the end of the stream, a stop
// request, or input that holds a browser's request (see shell_guard.h;
// none of it is taken).
int net_session_read(net_session *s, char *line)
{
    net *n = s->n;
    u64 start = 0;  // when a receive first found nothing
    if (n->stop.load()) return REQ_FAIL;
    for (;;) {
        while (s->in_beg < s->in_end) {
            char c = s->in[s->in_beg++];
            if (c == 0 || c == '\n') {
                bool only_cr = s->req_raw > 0 && s->req_len == 0;
                bool refused = s->too_long;
                memcpy(line, s->req, s->req_len);
                line[s->req_len] = 0;
                s->req_len = s->req_raw = 0;
                s->too_long = false;
                if (refused) continue;  // the end of a refused request
                return only_cr ? REQ_ONLY_CR : REQ_LINE;
            }
            if (s->too_long) continue;
            if (++s->req_raw > kReqChars) {
                LOG_DBG("request longer than %d bytes, refused\n", (int)kReqChars);
                s->too_long = true;
                s->req_len = 0;
                return REQ_TOO_LONG;
            }
            if (c != '\r') s->req[s->req_len++] = c;
        }
        if (s->eof || n->stop.load()) return REQ_FAIL;
        // No complete request is left: idle until input is taken.
        if (s->busy) {
            s->active->idle(os_mono_ms());
            s->busy = false;
        }
        // Receive first: the request is often there already.
        errno = 0;
        i64 r = session_recv(s);
        if (r == kRecvClosed) {
            LOG_VERB("closed for a new connection, input not taken\n");
            return REQ_FAIL;
        }
        if (r > 0) {
            // Judged whole before any request of it runs: a browser's
            // request line, headers and body often come in one piece.
            if (int what = shell_guard_feed(&s->guard, s->in, (size_t)r)) {
                debug_shell_log_browser(n->transport, what);
                return REQ_FAIL;
            }
            s->in_beg = 0;
            s->in_end = (size_t)r;
            continue;
        }
        if (r < 0) {
            int e = errno;
            LOG_DBG("socket_recv error [%d] [%s]\n", e, os_errno_text(e));
            return REQ_FAIL;
        }
        if (errno == 0) {
            // The peer ended its stream; an unterminated fragment is dropped.
            n->disconnected = 1;
            s->eof = true;
            continue;
        }
        // Nothing came (in blocking mode: within a read slice).
        const u64 now = os_mono_ms();
        if (!start) start = now;
        const u64 elapsed = now - start;
        if (n->timeout >= 0 && elapsed >= (u64)n->timeout) return REQ_NONE;
        if (s->blocking) continue;
        int slice = kReadSliceMs;
        if (n->timeout >= 0 && (u64)n->timeout - elapsed < (u64)slice) slice = (int)((u64)n->timeout - elapsed);
        // Readiness, hang-up and errors all lead to the receive, which
        // reports them.
        struct pollfd p = {os_sock_fd(n->transport), POLLIN | POLLRDHUP, 0};
        int w = poll(&p, 1, slice);
        if (w < 0 && errno != EINTR) {
            int e = errno;
            LOG_DBG("poll error [%d] [%s]\n", e, os_errno_text(e));
            return REQ_FAIL;
        }
        if (w > 0 && (p.revents & POLLNVAL)) return REQ_FAIL;
    }
}

// Writes all of data to a net handle; a write that fails or makes no
// progress within the handle's time limit marks the session broken.
int net_write_all(net *n, const char *data, size_t size, net_session *s)
{
    if (s && s->broken) return -1;
    int w = net_write(n, data, size);
    if (w == (int)size) return w;
    if (s) {
        s->broken = true;
        n->wdisconnected = 1;  // later writes fail at once
    }
    return -1;
}

int session_send(net_session *s)
{
    size_t len = s->out_len;
    s->out_len = 0;
    if (len == 0) return 0;
    return net_write_all(s->n, s->out, len, s);
}

int session_write(net_session *s, const char *data, size_t size)
{
    if (s->broken) return -1;
    if (s->out_len + size > sizeof s->out) {
        if (session_send(s) < 0) return -1;
        if (size > sizeof s->out) {
            s->written += size;
            return net_write_all(s->n, data, size, s);
        }
    }
    memcpy(s->out + s->out_len, data, size);
    s->out_len += size;
    s->written += size;
    return (int)size;
}

int stream_out(void *out, const char *data, size_t size)
{
    if (out == &g_stdio_stream) return stream_write(out, data, size);
    if (!out) return -1;
    net_session *s = t_sess;
    if (s && s->n == out) return session_write(s, data, size);
    return net_write_all((net *)out, data, size, nullptr);
}

int stream_flush(void *out)
{
    if (out == &g_stdio_stream) return stream_write(out, "", 1);
    if (!out) return -1;
    net_session *s = t_sess;
    if (s && s->n == out) {
        if (session_write(s, "", 1) < 0) return -1;
        return session_send(s) < 0 ? -1 : 1;
    }
    return net_write_all((net *)out, "", 1, nullptr);
}

// How often a long run ("source") looks at its connection: a clock read
// per command or line, a system call only this often.
constexpr u64 kLookEveryMs = 10;

// Whether the session of ctx can still be answered; asked between the
// commands and lines of a long run ("source"). A network session is gone
// once a write failed, it was told to stop, or its connection is reset or
// closed both ways. A client that has ended its sending side (closed the
// connection, or only shut down its side) shows whether it still listens
// only through the output it takes: the output held so far goes out at
// each look, and a client that has gone answers it with a reset, seen at
// the next look; a run that has written nothing between two looks cannot
// tell, and stops.
int session_alive(dbgsh_srv_ctx *ctx)
{
    net_session *s = t_sess;
    if (!s || s->n != ctx->out) return 1;
    if (s->broken || s->n->stop.load()) return 0;
    const u64 now = os_mono_ms();
    if (now - s->looked_ms < kLookEveryMs) return 1;
    s->looked_ms = now;
    const bool wrote = s->written != s->written_looked || !s->looked;
    s->written_looked = s->written;
    s->looked = true;
    struct pollfd p = {os_sock_fd(s->n->transport), POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0) return 1;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;
    if (p.revents & POLLRDHUP) {
        if (!wrote) return 0;
        if (s->out_len && session_send(s) < 0) return 0;
    }
    return 1;
}

// The record of a request read (verb): its length (or the read's result)
// and its text, escaped since a client sent it. Out of line, so that the
// escaped text takes the stack only while the record is written; it names
// the session loop's function and line.
[[gnu::noinline]] void log_request(int at, const char *func, int ret, const char *line)
{
    char shown[4 * LIBSH_LINE_MAX];
    log2_printf(nullptr, LOG_LVL_VERB, LOG_MOD, LOG_SRC, at, func, "ret=%d cmd=[%s]\n", ret,
                str_escape_log(shown, sizeof shown, line));
}
#define LOG_REQUEST(ret, line) (log_default_drops(LOG_LVL_VERB) ? (void)0 : log_request(__LINE__, __func__, ret, line))

int net_session_loop(dbgsh_srv_ctx *ctx, sock_tcp_ctx *rec)
{
    LOG_VERB("NET_MODE ==>\n");
    net *n = (net *)ctx->out;
    net_session *s = (net_session *)os_zalloc(sizeof(net_session));
    char *line = (char *)os_malloc(kReqSize + 1);
    if (!s || !line) {
        LOG_ERR("session memory error\n");
        os_free(s);
        os_free(line);
        net_close(n);
        return -1;
    }
    s->n = n;
    s->active = rec ? &rec->active : nullptr;
    s->blocking = session_blocking(n->transport);
    if (!s->blocking) LOG_DBG("socket [%d] stays non-blocking: %s\n", os_sock_fd(n->transport), os_strerror());
    net_session *saved = t_sess;
    t_sess = s;
    libsh_keep_work(1);
    for (;;) {
        int r = net_session_read(s, line);
        LOG_REQUEST(r == REQ_LINE ? (line[0] ? (int)strlen(line) : 1) : r, r == REQ_LINE ? line : "");
        if (r == REQ_FAIL) {
            LOG_VERB("gets return failed break\n");
            break;
        }
        if (r == REQ_NONE) continue;
        // The session is busy (see session_recv) until the reply has gone
        // out: a full table never closes it in the middle of a request (a
        // whole "source" run).
        s->looked_ms = os_mono_ms();
        s->looked = false;
        if (r == REQ_TOO_LONG)
            libsh_line_too_long(ctx, kReqChars);
        else if (r == REQ_ONLY_CR)
            dbgout_flush(ctx->out);  // runs nothing, and is answered like any such line
        else
            exec_commands(ctx, str_trim(line));
        if (s->broken) {
            LOG_VERB("write failed break\n");
            break;
        }
        if (ctx->exit_flag) {
            LOG_VERB("ctx.exit_flag break\n");
            break;
        }
    }
    libsh_keep_work(0);
    t_sess = saved;
    // The manager looks at a registered session's socket: it lets go of
    // it before the socket closes.
    if (rec) sock_tcp_ctx_set_net(rec->mgr, rec, nullptr);
    net_close(n);
    os_free(line);
    os_free(s);
    return 0;
}

// Named-pipe session: requests through the handle's line read.
int pipe_session_loop(dbgsh_srv_ctx *ctx)
{
    LOG_VERB("PIPE_MODE ==>\n");
    net *n = (net *)ctx->out;
    char *line = (char *)os_malloc(LIBSH_LINE_MAX);
    if (!line) {
        net_close(n);
        return -1;
    }
    for (;;) {
        memset(line, 0, LIBSH_LINE_MAX);
        const u64 start = os_mono_ms();
        int len = net_gets(n, line, kReqSize);
        LOG_REQUEST(len, len > 0 ? line : "");
        if (len < 0 || n->stop.load()) {
            LOG_VERB("gets return failed break\n");
            break;
        }
        if (len == 0) {
            // A pipe that reports nothing at once must not make this spin.
            while (!n->stop.load() && os_mono_ms() - start < 1000) os_msleep(100);
            continue;
        }
        exec_commands(ctx, str_trim(line));
        if (ctx->exit_flag) {
            LOG_VERB("ctx.exit_flag break\n");
            break;
        }
    }
    net_close(n);
    os_free(line);
    return 0;
}

}  // namespace

int dbg_stdin_line(char *line, size_t size)
{
    stdin_lines &r = g_stdin;
    if (!line || size == 0) return DBG_LINE_END;
    if (size > DBG_STDIN_LINE_SIZE) size = DBG_STDIN_LINE_SIZE;
    const size_t max = size - 1;
    for (;;) {
        char *nl = (char *)memchr(r.buf, '\n', r.len);
        if (nl || (r.eof && (r.len || r.discarding))) {
            size_t n = nl ? (size_t)(nl - r.buf) : r.len;
            bool dropped = r.discarding || n > max;
            if (!dropped) {
                memcpy(line, r.buf, n);
                line[n] = 0;
            }
            size_t used = nl ? n + 1 : n;
            memmove(r.buf, r.buf + used, r.len - used);
            r.len -= used;
            r.discarding = false;
            return dropped ? DBG_LINE_TOO_LONG : (int)n;
        }
        if (r.eof) return DBG_LINE_END;
        if (r.len > max) {
            r.discarding = true;
            r.len = 0;
        }
        if (app_stop_requested()) return DBG_LINE_END;
        if (stdin_fill(r.buf, sizeof r.buf, &r.len, &r.eof) < 0) return DBG_LINE_END;
    }
}

// Every "\n" goes out as "\r\n" and the blanks at the very end of the text
// (spaces, TABs, vertical tabs, form feeds; never line ends) are dropped.
// The converted bytes pass through a small buffer, so a write allocates
// nothing and the text is read once.
int dbgout_write(void *out, const char *text)
{
    if (!text) text = "";
    size_t n = strlen(text);
    while (n && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\v' || text[n - 1] == '\f')) --n;
    char buf[4096];
    size_t used = 0;
    int total = 0;
    auto send = [&]() {
        int w = stream_out(out, buf, used);
        used = 0;
        if (w < 0) return false;
        total += w;
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        if (used + 2 > sizeof buf && !send()) return -1;
        if (text[i] == '\n') buf[used++] = '\r';
        buf[used++] = text[i];
    }
    if (used && !send()) return -1;
    return total;
}

int dbgout_printf(void *out, const char *fmt, ...)
{
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return dbgout_write(out, buf);
}

int dbgout_flush(void *out)
{
    return stream_flush(out);
}

int dbgsh_gets(const char *cmds, int index, char *buf, size_t size)
{
    if (!cmds || !buf || size == 0) return -1;
    if (!str_get_key_or_val(cmds, ";", index, buf, size)) return -1;
    return (int)strlen(buf);
}

int debug_shell_init(const debug_shell_param *param)
{
    OS_CHECK_RET(param != nullptr, 0);
    if (!param->prompt) {
        str_safecopy_trunc(g_prompt, sizeof g_prompt, ">");
        return 0;
    }
    if (str_safecopy(g_prompt, sizeof g_prompt, param->prompt) != 0) g_prompt[0] = 0;
    return 0;
}

const char *debug_shell_prompt(void)
{
    return g_prompt;
}

int dbgsh_srv_ctx_init(dbgsh_srv_ctx *ctx, void *netp, u32 mode, void *transport)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    net *n = (net *)netp;
    switch (mode) {
    case STDIO_MODE:
        if (n) {
            n->type = NET_TYPE_STD;
            n->timeout = 1000;
            n->transport = 0;
        }
        if (!g_cmds) {
            os_msleep(300);
            printf("\nType `help` to learn how to use prompt\n");
            fflush(stdout);
        }
        ctx->out = n ? (void *)n : (void *)&g_stdio_stream;
        break;
    case NET_MODE:
    case PIPE_MODE:
        OS_CHECK_RET(n != nullptr, -1);
        n->type = mode == NET_MODE ? NET_TYPE_SOCK : NET_TYPE_NPIPE;
        n->timeout = 1000;
        n->transport = (u64)(uintptr_t)transport;
        ctx->out = n;
        break;
    default:
        LOG_ERR("mode=%d invalid\n", (int)mode);
        return -1;
    }
    libsh_set_session_check(session_alive);
    ctx->mode = mode;
    ctx->exit_flag = 0;
    ctx->prev_line[0] = 0;
    ctx->alive = nullptr;
    ctx->printf = dbgout_printf;
    ctx->write = dbgout_write;
    ctx->flush = dbgout_flush;
    getopt_data_init(&ctx->opt);
    return 0;
}

int dbgsh_srv_imp(dbgsh_srv_ctx *ctx)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    if (ctx->mode == NET_MODE) return net_session_loop(ctx, nullptr);
    if (ctx->mode == PIPE_MODE) return pipe_session_loop(ctx);
    if (ctx->mode != STDIO_MODE) {
        LOG_ERR("mode=%d invalid\n", (int)ctx->mode);
        return -1;
    }
    LOG_VERB("STDIO_MODE ==>\n");
    char *line = (char *)os_malloc(LIBSH_LINE_MAX);
    if (!line) return -1;
    for (;;) {
        if (app_stop_requested()) break;
        if (!g_cmds) ctx->printf(ctx->out, "%s", g_prompt);
        memset(line, 0, LIBSH_LINE_MAX);
        int len;
        if (g_cmds) {
            len = dbgsh_gets(g_cmds, g_cmd_index++, line, LIBSH_LINE_MAX);
            if (len < 0) {
                fflush(stdout);
                exit(0);
            }
        } else {
            len = dbg_stdin_line(line, LIBSH_LINE_MAX);
        }
        LOG_REQUEST(len, len >= 0 ? line : "");
        if (len == DBG_LINE_TOO_LONG) {
            libsh_line_too_long(ctx, LIBSH_LINE_MAX - 1);
            continue;
        }
        if (len < 0) {
            LOG_VERB("gets return failed break\n");
            break;
        }
        exec_commands(ctx, str_trim(line));
        if (ctx->exit_flag) {
            LOG_VERB("ctx.exit_flag break\n");
            break;
        }
    }
    os_free(line);
    return 0;
}

int dbgsh_srv_net_imp(dbgsh_srv_ctx *ctx, sock_tcp_ctx *rec)
{
    OS_CHECK_RET(ctx != nullptr && ctx->mode == NET_MODE, -1);
    return net_session_loop(ctx, rec);
}

int debug_shell_stdio_loop(void)
{
    dbgsh_srv_ctx ctx{};
    if (dbgsh_srv_ctx_init(&ctx, nullptr, STDIO_MODE, nullptr) != 0) return -1;
    int r = dbgsh_srv_imp(&ctx);
    LOG_DBG("<==\n");
    return r;
}

int debug_shell_run_cmds(const char *cmds)
{
    g_cmds = cmds;
    g_cmd_index = 0;
    return debug_shell_stdio_loop();
}

namespace {
// The pipe session, reached by debug_shell_pipe_close from other threads.
pthread_mutex_t g_pipe_lock = PTHREAD_MUTEX_INITIALIZER;
os_name_pipe_srv *g_pipe = nullptr;
net *g_pipe_net = nullptr;
}  // namespace

int debug_shell_pipe_loop(const char *name)
{
    LOG_DBG("==>\n");
    os_name_pipe_srv *p = os_name_pipe_srv_open(name, 0, 0);
    if (!p) {
        LOG_AT(3 | LOG_OPT_ERRNO, "os_name_pipe_srv_open [%s] error: ", name ? name : "(null)");
        return -1;
    }
    net n{};
    dbgsh_srv_ctx ctx{};
    dbgsh_srv_ctx_init(&ctx, &n, PIPE_MODE, p);
    {
        pthread_guard g(&g_pipe_lock);
        if (g_pipe) {
            LOG_ERR("a pipe session runs already, [%s] not served\n", name);
            os_name_pipe_srv_close(p);
            return -1;
        }
        g_pipe = p;
        g_pipe_net = &n;
    }
    LOG_DBG("open [%s] ok\n", name);
    int r = dbgsh_srv_imp(&ctx);
    {
        pthread_guard g(&g_pipe_lock);
        g_pipe = nullptr;
        g_pipe_net = nullptr;
    }
    os_name_pipe_srv_close(p);
    LOG_DBG("<==\n");
    return r;
}

int debug_shell_pipe_close(void)
{
    pthread_guard g(&g_pipe_lock);
    if (g_pipe) {
        os_name_pipe_srv_disconnect(g_pipe);
        g_pipe_net->stop.store(1);
    }
    return 0;
}
