#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/shell"
#include "libdbg/shell.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/string/str_buf.h"
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

// Line reader of the stdio session: standard input is read in blocks and
// cut into lines; the stop pipe ends the wait.
struct line_reader {
    char buf[2 * LIBSH_LINE_MAX];
    size_t len;
    bool discarding;  // dropping the rest of an over-long line
    bool eof;
};
line_reader g_in;

enum { READ_STOP = -1, READ_TOO_LONG = -2 };

// One line without its line end into line (LIBSH_LINE_MAX bytes); returns
// its length, READ_TOO_LONG after an over-long line has been dropped, or
// READ_STOP at the end of input or on a stop request.
int stdio_read_line(char *line)
{
    line_reader &r = g_in;
    for (;;) {
        char *nl = (char *)memchr(r.buf, '\n', r.len);
        if (nl) {
            size_t n = (size_t)(nl - r.buf);
            bool dropped = r.discarding;
            if (!dropped && n < LIBSH_LINE_MAX) {
                memcpy(line, r.buf, n);
                line[n] = 0;
            }
            memmove(r.buf, nl + 1, r.len - n - 1);
            r.len -= n + 1;
            r.discarding = false;
            if (dropped || n >= LIBSH_LINE_MAX) return READ_TOO_LONG;
            return (int)n;
        }
        if (r.len >= LIBSH_LINE_MAX) {
            r.discarding = true;
            r.len = 0;
        }
        if (r.eof) {
            if (r.len == 0 && !r.discarding) return READ_STOP;
            bool dropped = r.discarding;
            size_t n = r.len;
            memcpy(line, r.buf, n);
            line[n] = 0;
            r.len = 0;
            r.discarding = false;
            return dropped ? READ_TOO_LONG : (int)n;
        }
        if (app_stop_requested()) return READ_STOP;
        struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {app_stop_fd(), POLLIN, 0}};
        int np = p[1].fd >= 0 ? 2 : 1;
        int rc = poll(p, (nfds_t)np, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return READ_STOP;
        }
        if (np == 2 && (p[1].revents & POLLIN)) return READ_STOP;
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(STDIN_FILENO, r.buf + r.len, sizeof r.buf - r.len);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) r.eof = true;
            else r.len += (size_t)n;
        } else if (p[0].revents & POLLNVAL) {
            r.eof = true;
        }
    }
}

}  // namespace

int dbgout_write(void *out, const char *text)
{
    char *t = str_relace(text ? text : "", "\n", "\r\n");
    if (!t) {
        LOG_DBG("str_relace return failed\n");
        return -1;
    }
    str_rtrim(t);
    int r = stream_write(out, t, strlen(t));
    os_free(t);
    return r;
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
    return stream_write(out, "", 1);
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

int dbgsh_srv_ctx_init(dbgsh_srv_ctx *ctx, void *net, u32 mode, void *)
{
    OS_CHECK_RET(ctx != nullptr, -1);
    if (mode != STDIO_MODE) {
        // Network and pipe sessions come with the TCP shell server.
        LOG_ERR("mode=%d invalid\n", (int)mode);
        return -1;
    }
    ctx->mode = mode;
    if (!g_cmds) {
        os_msleep(300);
        printf("\nType `help` to learn how to use prompt\n");
        fflush(stdout);
    }
    ctx->out = net ? net : &g_stdio_stream;
    ctx->exit_flag = 0;
    ctx->printf = dbgout_printf;
    ctx->write = dbgout_write;
    ctx->flush = dbgout_flush;
    getopt_data_init(&ctx->opt);
    return 0;
}

int dbgsh_srv_imp(dbgsh_srv_ctx *ctx)
{
    OS_CHECK_RET(ctx != nullptr, -1);
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
            len = stdio_read_line(line);
        }
        LOG_VERB("ret=%d cmd=[%s]\n", len, len >= 0 ? line : "");
        if (len == READ_TOO_LONG) {
            ctx->printf(ctx->out, "error: command line too long (at most %d characters)\n",
                        (int)LIBSH_LINE_MAX - 1);
            ctx->flush(ctx->out);
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
