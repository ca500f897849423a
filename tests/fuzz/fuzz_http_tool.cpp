// The web tool's own URL handlers fed arbitrary methods, queries and
// request heads through a memory net handle: one head per answer, its
// lines ended with CR LF, never sniffed or framed, as long as its
// Content-Length says; a JSON answer is well formed and holds no markup; a
// request served names a valid Host or none, and one a later line marks
// as sent from another site is not answered. The harness writes /cmd's
// command itself, an echo of arbitrary bytes, so that no other shell
// command runs.
//   input: selector byte, NUL, query, NUL, header lines, NUL, echo text
#include "fuzz_common.h"

#include <algorithm>

#include "libdbg/http.h"
#include "libhttpd/api.h"
#include "libsh/libsh.h"

namespace {

const char *const kPaths[] = {"/", "/cmd", "/log", "/config", "/update", "/metrics", "/favicon.ico", "/nope"};
const char *const kMethods[] = {"GET", "get", "POST", "HEAD", "OPTIONS", "DELETE", "BREW", "<x>"};

httpd_server *server()
{
    static httpd_server *s = [] {
        libsh_init();
        http_log_init();
        httpd_server *srv = httpdCreate();
        FUZZ_ASSERT(srv && http_add_callbacks(srv) == 0);
        return srv;
    }();
    return s;
}

// A well-formed JSON value of arrays, objects, strings and bare words.
bool json_ok(const std::string &s)
{
    int depth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = (unsigned char)s[i];
        if (c == '"') {
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if ((unsigned char)s[i] < 0x20) return false;
                if (s[i] != '\\') continue;
                if (++i == s.size()) return false;
                if (s[i] == 'u') {
                    if (i + 4 >= s.size()) return false;
                    for (int k = 1; k <= 4; ++k)
                        if (!isxdigit((unsigned char)s[i + k])) return false;
                    i += 4;
                } else if (!strchr("\"\\/bfnrt", s[i])) {
                    return false;
                }
            }
            if (i == s.size()) return false;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth < 0 || (depth == 0 && i + 1 != s.size())) return false;
        }
    }
    return depth == 0 && !s.empty() && (s[0] == '[' || s[0] == '{');
}

std::string header(const std::string &head, const char *name)
{
    size_t p = head.find(name);
    if (p == std::string::npos) return "";
    p += strlen(name);
    return head.substr(p, head.find_first_of("\r\n", p) - p);
}

// A whole answer: a status line, head lines ended with CR LF, a body as
// long as the head says when it says so (none for HEAD); its status.
int check_answer(const std::string &out, bool head_only)
{
    FUZZ_ASSERT(out.rfind("HTTP/1.1 ", 0) == 0);
    size_t end = out.find("\r\n\r\n");
    FUZZ_ASSERT(end != std::string::npos);
    std::string head = out.substr(0, end + 2), body = out.substr(end + 4);
    FUZZ_ASSERT(head.find("HTTP/1.1 ", 1) == std::string::npos);
    for (size_t p = 0; (p = head.find('\n', p)) != std::string::npos; ++p) FUZZ_ASSERT(head[p - 1] == '\r');
    std::string length = header(head, "Content-Length: ");
    FUZZ_ASSERT(length.empty() || length == std::to_string(body.size()) || (head_only && body.empty()));
    return atoi(out.c_str() + 9);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 4);
    unsigned sel = (unsigned char)in[0][0];
    const char *path = kPaths[sel % 8];
    // With a login (and so the lock-out) on every other input.
    debug_http_param p = {0, "t", (sel & 8) ? "u" : "", (sel & 8) ? "p" : "", ">"};
    debug_http_server_set_param(&p);

    // "echo" and the text, every byte escaped; bytes the shell would read
    // as more than text become '_'.
    const char *method = kMethods[(sel >> 4) & 7];
    std::string req = std::string(method) + " " + path + "?command=echo%20";
    for (const char *t = in[3]; *t; ++t) {
        unsigned char c = (unsigned char)*t;
        if (strchr(";$\\'\"\r\n", c)) c = '_';
        char esc[4];
        snprintf(esc, sizeof esc, "%%%02X", c);
        req += esc;
    }
    // With the top bit, a last line marks the request as sent from another
    // site, after whatever lines (bytes above 127 among them) come before.
    constexpr char kCross[] = "Sec-Fetch-Site: cross-site";
    bool cross = sel & 128;
    std::string lines = in[2];
    if (cross) lines += std::string(lines.empty() ? "" : "\r\n") + kCross;
    req += std::string("&") + in[1] + " HTTP/1.1\r\n" + lines + "\r\n\r\n";

    net n{};
    n.type = NET_TYPE_MEM;
    net_mem *m = net_mem_open();
    n.transport = (u64)(uintptr_t)m;
    net_mem_write(m, req.data(), req.size());
    httpd_request *r = httpdGetConnectionNet(server(), &n, "192.0.2.1");
    FUZZ_ASSERT(r);
    int rc = httpdReadRequest(server(), r);
    if (rc == 0) httpdProcessRequest(server(), r);
    httpdFlush(r);
    std::string out((const char *)m->buf.data + m->buf.len - m->written, m->written);
    if (rc != 0) {
        // Not served: the answer is a whole one, or there is none.
        if (!out.empty()) {
            int status = check_answer(out, strcmp(method, "HEAD") == 0);
            FUZZ_ASSERT(status == 400 || status == 405 || status == 501 || status == 414 || status == 431);
        }
    } else {
        int status = check_answer(out, false);
        FUZZ_ASSERT(status == 200 || status == 401 || status == 403 || status == 404);
        FUZZ_ASSERT(!r->host[0] || httpdParseHost(r->host, strlen(r->host), nullptr, nullptr));
        unsigned url = sel % 8;
        if (cross && status == 200 && url >= 1 && url <= 4) {
            // Another site's request answered: only when an empty line
            // ended the head before the marking line (or a line at its
            // maximum length did).
            std::string before = req.substr(0, req.size() - (sizeof kCross - 1) - 4);
            before.erase(std::remove(before.begin(), before.end(), '\r'), before.end());
            FUZZ_ASSERT(before.find("\n\n") != std::string::npos || before.size() >= HTTP_MAX_LINE - 1);
        }
        std::string head = out.substr(0, out.find("\r\n\r\n") + 2), body = out.substr(head.size() + 2);
        FUZZ_ASSERT(header(head, "X-Content-Type-Options: ") == "nosniff");
        FUZZ_ASSERT(header(head, "X-Frame-Options: ") == "DENY");
        FUZZ_ASSERT(header(head, "Content-Length: ") == std::to_string(body.size()));
        if (header(head, "Content-Type: ").rfind("application/json", 0) == 0) {
            FUZZ_ASSERT(status == 200 && json_ok(body));
            FUZZ_ASSERT(body.find_first_of("<>&") == std::string::npos);
        }
    }
    httpdEndRequest(r);
    log_ctx_get(nullptr)->level.store(LOG_LVL_CRIT);  // whatever /update set
    return 0;
}
