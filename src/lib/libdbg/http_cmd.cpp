#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http_cmd"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>

#include "libdbg/http.h"
#include "libdbg/http_answer.h"
#include "libdbg/shell.h"
#include "libhttpd/api.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libsh/libsh.h"

namespace {

constexpr u32 WEB_MODE = 2;
constexpr size_t kPrintfSize = 8192;
// Output beyond what one answer can carry is not kept.
constexpr size_t kCaptureMax = HTTP_ANSWER_SIZE;
constexpr char kHead[] = "[{\"resp\":\"";
constexpr char kTail[] = "\"}]";

// How often a long run ("source") looks at its client: a clock read per
// command or line, a system call only this often.
constexpr u64 kLookEveryMs = 10;

// The command output of one request, and its client.
struct capture {
    str_buf *buf;
    int fd;              // the client's socket; -1: none to look at
    net_cancel *cancel;  // set when the tool stops
    u64 looked_ms;
    bool cut;            // output was left out
};

// Whether the request's client is still there. An HTTP client sends
// nothing after its request and reads the answer to the end, so the end
// of its stream (closed, or only its sending side shut down), a reset or
// the tool's stop ends the command.
int client_alive(dbgsh_srv_ctx *ctx)
{
    capture *c = (capture *)ctx->out;
    if (c->cancel && c->cancel->flag.load()) return 0;
    const u64 now = os_mono_ms();
    if (c->fd < 0 || now - c->looked_ms < kLookEveryMs) return 1;
    c->looked_ms = now;
    struct pollfd p = {c->fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0) return 1;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) ? 0 : 1;
}

void capture_add(capture *c, const char *data, size_t n)
{
    size_t room = c->buf && c->buf->length < kCaptureMax ? kCaptureMax - c->buf->length : 0;
    if (n > room) c->cut = true;
    if (room) str_buf_append(c->buf, data, n < room ? n : room);
}

int cap_printf(void *out, const char *fmt, ...)
{
    char text[kPrintfSize];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return n;
    size_t len = (size_t)n < sizeof text ? (size_t)n : sizeof text - 1;
    capture_add((capture *)out, text, len);
    return n;
}

int cap_write(void *out, const char *text)
{
    size_t n = text ? strlen(text) : 0;
    capture_add((capture *)out, text, n);
    return (int)n;
}

int cap_flush(void *out)
{
    capture_add((capture *)out, "", 1);
    return 1;
}

// The answer "[{"resp":"<escaped text>"}]" in size bytes. Output that
// does not fit whole (or was not all kept) ends with the lines that fit
// and a last line that says it was cut, still closed as JSON.
void build_answer(char *out, size_t size, const char *text, size_t len, bool cut)
{
    size_t head = sizeof kHead - 1, tail = sizeof kTail - 1;
    memcpy(out, kHead, head);
    char *body = out + head;
    size_t room = size - head - tail;  // the escaped text and its NUL
    size_t used = 0;
    size_t n = http_json_escape(body, room, text, len, &used);
    char line[48], note[64];
    snprintf(line, sizeof line, DBG_OUTPUT_CUT, (int)(size - 1));
    int k = snprintf(note, sizeof note, "%s\\n\\u0000", line);
    constexpr size_t kLineEnd = 2;  // "\\n" before the note when no whole line fits
    if ((used < len || cut) && k > 0 && room > (size_t)k + kLineEnd + 1) {
        room -= (size_t)k + kLineEnd;
        n = http_json_escape(body, room, text, len, &used);
        const char *eol = (const char *)memrchr(text, '\n', used);
        if (eol) {
            n = http_json_escape(body, room, text, (size_t)(eol - text) + 1, nullptr);
        } else if (n) {
            memcpy(body + n, "\\n", kLineEnd);
            n += kLineEnd;
        }
        memcpy(body + n, note, (size_t)k);
        n += (size_t)k;
    }
    memcpy(body + n, kTail, tail + 1);
}

void answer_error(char *out, size_t size, const char *why)
{
    snprintf(out, size, "[{\"resp\":\"\",\"error\":\"%s\"}]", why);
}

bool hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Every escape of the argument is complete and none stands for a NUL.
bool decodable(const char *arg)
{
    for (const char *p = arg; *p; ++p) {
        if (*p != '%') continue;
        if (!hex_digit(p[1]) || !hex_digit(p[2])) return false;
        if (p[1] == '0' && p[2] == '0') return false;
        p += 2;
    }
    return true;
}

bool blank(const char *s)
{
    for (; *s; ++s)
        if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n') return false;
    return true;
}

}  // namespace

size_t http_json_escape(char *out, size_t room, const char *src, size_t len, size_t *used)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t w = 0, i = 0;
    if (room == 0) {
        if (used) *used = 0;
        return 0;
    }
    const size_t max = room - 1;  // the NUL
    const unsigned char *s = (const unsigned char *)src;
    while (i < len) {
        unsigned char c = s[i];
        char esc[8];
        size_t n = 0, take = 1;
        switch (c) {
        case '"': esc[0] = '\\'; esc[1] = '"'; n = 2; break;
        case '\\': esc[0] = '\\'; esc[1] = '\\'; n = 2; break;
        case '\b': esc[0] = '\\'; esc[1] = 'b'; n = 2; break;
        case '\t': esc[0] = '\\'; esc[1] = 't'; n = 2; break;
        case '\n': esc[0] = '\\'; esc[1] = 'n'; n = 2; break;
        case '\f': esc[0] = '\\'; esc[1] = 'f'; n = 2; break;
        case '\r': esc[0] = '\\'; esc[1] = 'r'; n = 2; break;
        // Never markup, whatever a browser takes the answer for.
        case '<': memcpy(esc, "\\u003c", 6); n = 6; break;
        case '>': memcpy(esc, "\\u003e", 6); n = 6; break;
        case '&': memcpy(esc, "\\u0026", 6); n = 6; break;
        default:
            if (c < 0x80) {
                if (c < 0x20) {
                    memcpy(esc, "\\u00", 4);
                    esc[4] = kHex[c >> 4];
                    esc[5] = kHex[c & 15];
                    n = 6;
                } else {
                    esc[0] = (char)c;
                    n = 1;
                }
                break;
            }
            // A whole UTF-8 sequence goes as it is; any other byte is
            // written as the character of its value.
            size_t seq = 0;
            unsigned char lo = 0x80, hi = 0xBF;
            if (c >= 0xC2 && c <= 0xDF) seq = 2;
            else if (c >= 0xE0 && c <= 0xEF) {
                seq = 3;
                if (c == 0xE0) lo = 0xA0;
                if (c == 0xED) hi = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                seq = 4;
                if (c == 0xF0) lo = 0x90;
                if (c == 0xF4) hi = 0x8F;
            }
            bool ok = seq && i + seq <= len && s[i + 1] >= lo && s[i + 1] <= hi;
            for (size_t k = 2; ok && k < seq; ++k) ok = s[i + k] >= 0x80 && s[i + k] <= 0xBF;
            if (ok) {
                memcpy(esc, s + i, seq);
                n = take = seq;
            } else {
                memcpy(esc, "\\u00", 4);
                esc[4] = kHex[c >> 4];
                esc[5] = kHex[c & 15];
                n = 6;
            }
        }
        if (w + n > max) break;
        memcpy(out + w, esc, n);
        w += n;
        i += take;
    }
    out[w] = 0;
    if (used) *used = i;
    return w;
}

int http_exec_cmd(const char *cmd, char *out, size_t size, httpd_request *from)
{
    capture cap = {str_buf_new(), -1, nullptr, 0, false};
    if (from && from->conn.type == NET_TYPE_SOCK) {
        cap.fd = os_sock_fd(from->conn.transport);
        cap.cancel = from->conn.cancel;
    }
    dbgsh_srv_ctx ctx = {};
    ctx.mode = WEB_MODE;
    ctx.out = &cap;
    ctx.alive = client_alive;
    ctx.printf = cap_printf;
    ctx.write = cap_write;
    ctx.flush = cap_flush;
    LOG_VERB("cmd=%s\n", str_log_esc<HTTP_CMD_SIZE>(cmd).c_str());
    int r = exec_commands(&ctx, cmd);
    if (r < 0) LOG_DBG("exec [%s] failed\n", str_log_esc<HTTP_CMD_SIZE>(cmd).c_str());
    const char *text = cap.buf ? str_buf_get(cap.buf) : nullptr;
    build_answer(out, size, text ? text : "", cap.buf ? (size_t)cap.buf->length : 0, cap.cut);
    str_buf_free(cap.buf);
    return r;
}

static_assert(LOG_LINE_MAX <= HTTP_CMD_ARG_SIZE, "the answer's record text fits the argument's buffer");

int http_answer_cmd(httpd_server *, httpd_request *r, const char *handler)
{
    char *answer = (char *)os_malloc(HTTP_ANSWER_SIZE);
    char *raw = (char *)os_malloc(HTTP_CMD_ARG_SIZE);
    char *cmd = (char *)os_malloc(HTTP_CMD_SIZE);
    if (!answer || !raw || !cmd) {
        os_free(answer);
        os_free(raw);
        os_free(cmd);
        return -1;
    }
    raw[0] = 0;
    // An argument that cannot be read whole is never run in part, and an
    // empty one never stands for another session's previous line.
    bool found = str_get_val(r->query, "&", "command", raw, HTTP_CMD_ARG_SIZE) == 0;
    if (r->targetCut || (found && strlen(raw) >= HTTP_CMD_SIZE)) {
        answer_error(answer, HTTP_ANSWER_SIZE, "command too long");
    } else if (!found) {
        answer_error(answer, HTTP_ANSWER_SIZE, "command missing");
    } else if (!decodable(raw)) {
        answer_error(answer, HTTP_ANSWER_SIZE, "command not decodable");
    } else {
        str_unescape_url_args(raw, cmd, HTTP_CMD_SIZE);
        // raw is read: its space takes the records' escaped texts.
        LOG_AT_FN(LOG_LVL_VERB, handler, "ucmd=[%s]\n", str_escape_log(raw, HTTP_CMD_SIZE, cmd));
        if (blank(cmd)) answer_error(answer, HTTP_ANSWER_SIZE, "command empty");
        else http_exec_cmd(cmd, answer, HTTP_ANSWER_SIZE, r);
    }
    LOG_AT_FN(LOG_LVL_VERB, handler, "ret=[%s]\n", str_escape_log(raw, LOG_LINE_MAX, answer));
    http_send_json(r, answer);
    os_free(answer);
    os_free(raw);
    os_free(cmd);
    return 0;
}
