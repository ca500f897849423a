#define LOG_MOD "httpd"
// Records of every file of the server carry the api file's path: it is
// the path their filters and readers know the server by.
#define LOG_SRC "src/lib/libhttpd/api"
// The request head: the scan that alone decides where its lines end and
// when it is too large, recording where each line lies as the bytes
// arrive; the request line and the header lines read from those records;
// the checks of forms that readers of a head could read two ways.
#include "libhttpd/httpd_int.h"

#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

#include "liblog/log.h"
#include "libpal/string/str_escape.h"
#include "libpal/env/malloc.h"

using namespace httpd_int;

namespace {

// GET or POST from the method word at the start of a request line, else
// HTTP_NONE; *letters is the word's length.
u32 method_of(const char *line, size_t *letters)
{
    size_t n = 0;
    while ((line[n] >= 'a' && line[n] <= 'z') || (line[n] >= 'A' && line[n] <= 'Z')) ++n;
    *letters = n;
    if (n == 3 && strncasecmp(line, "GET", 3) == 0) return HTTP_GET;
    if (n == 4 && strncasecmp(line, "POST", 4) == 0) return HTTP_POST;
    return HTTP_NONE;
}

// A Content-Length value: decimal digits only, else -1.
i64 parse_length(const char *v)
{
    while (*v == ' ' || *v == '\t') ++v;
    if (*v < '0' || *v > '9') return -1;
    i64 n = 0;
    for (; *v >= '0' && *v <= '9'; ++v) {
        if (n > (i64)1 << 50) return -1;
        n = n * 10 + (*v - '0');
    }
    while (*v == ' ' || *v == '\t') ++v;
    return *v ? -1 : n;
}

// Records the line that has just ended (before end: its line end, when it
// has one, is left out); false without memory.
bool record_line(httpd_head_scan *s, u64 end)
{
    httpd_head_line l = {s->lineStart, (u32)end};
    if (s->lines < HTTPD_HEAD_FIRST_LINES) {
        s->first[s->lines] = l;
        return true;
    }
    u32 i = s->lines - HTTPD_HEAD_FIRST_LINES;
    if (i == s->cap) {
        u32 cap = s->cap ? s->cap * 2 : 16;
        auto *m = (httpd_head_line *)os_realloc(s->more, cap * sizeof(httpd_head_line));
        if (!m) return false;
        s->more = m;
        s->cap = cap;
    }
    s->more[i] = l;
    return true;
}

// "Name: value": the value's start two characters after the first ':',
// or NULL when the line is too short for it.
const char *header_value(const char *line)
{
    const char *p = strchr(line, ':');
    if (!p || !p[1]) return nullptr;
    return p + 2;
}

// A header's value after its name and colon, blanks before it skipped.
const char *trim_value(const char *v)
{
    while (*v == ' ' || *v == '\t') ++v;
    return v;
}

void parse_auth(httpd_request *r, const char *line)
{
    const char *cp = header_value(line);
    if (!cp || strncmp(cp, "Basic ", 6) != 0) return;
    cp = strchr(cp, ' ') + 1;
    char auth[HTTP_AUTH_DECODED_MAX + 1];
    int len = httpdDecodeBase64(cp, auth, (int)HTTP_AUTH_DECODED_MAX);
    r->authLength = len;
    char *colon = strchr(auth, ':');
    if (colon) {
        *colon = 0;
        copy_text(r->authPassword, sizeof r->authPassword, colon + 1);
    }
    copy_text(r->authUser, sizeof r->authUser, auth);
    explicit_bzero(auth, sizeof auth);
}

void parse_header(httpd_request *r, const char *line)
{
    if (strncasecmp(line, "Authorization: ", 15) == 0) {
        parse_auth(r, line);
    } else if (strncasecmp(line, "Accept-Encoding:", 16) == 0) {
        const char *v = header_value(line);
        if (v && strncasecmp(v, "gzip", 4) == 0) r->gzip = 1;
    } else if (strncasecmp(line, "Origin:", 7) == 0) {
        copy_text(r->origin, sizeof r->origin, trim_value(line + 7));
    } else if (strncasecmp(line, "Referer:", 8) == 0) {
        copy_text(r->referer, sizeof r->referer, trim_value(line + 8));
    } else if (strncasecmp(line, "Sec-Fetch-Site:", 15) == 0) {
        copy_text(r->fetchSite, sizeof r->fetchSite, trim_value(line + 15));
    } else if (strncasecmp(line, "User-Agent:", 11) == 0) {
        copy_text(r->userAgent, sizeof r->userAgent, trim_value(line + 11));
    }
}

bool ascii_alnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A byte above 127 among the first n of text.
bool high_byte(const char *text, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if ((unsigned char)text[i] > 127) return true;
    return false;
}

// What the header lines of a head show: the Host lines seen, and why the
// request is refused (400), NULL while nothing is wrong.
struct head_check {
    u32 hosts;
    const char *bad;
};

// The forms a browser never sends and that different readers of a head
// would read differently: a line folded onto the one before, a blank
// between a header's name and its colon, a byte above 127 in a name, a
// NUL, more than one Host, or a Host that is not host[:port] (so a byte
// above 127 there too). The Host's value is taken without the blanks
// around it; any other value may hold bytes above 127.
void check_header(httpd_request *r, head_check *hc, const char *line, int len)
{
    auto refuse = [hc](const char *why) {
        if (!hc->bad) hc->bad = why;
    };
    if (line[0] == ' ' || line[0] == '\t') refuse("folded header line");
    if (memchr(line, 0, (size_t)len)) refuse("NUL in a header line");
    const char *colon = strchr(line, ':');
    size_t name = colon ? (size_t)(colon - line) : strlen(line);
    if (high_byte(line, name)) refuse("byte above 127 in a header name");
    if (!colon) return;
    if (strcspn(line, " \t") < name) refuse("blank in a header name");
    if (name != 4 || strncasecmp(line, "Host", 4) != 0) return;
    if (++hc->hosts > 1) refuse("more than one Host line");
    const char *v = trim_value(colon + 1);
    size_t n = strlen(v);
    while (n && (v[n - 1] == ' ' || v[n - 1] == '\t')) --n;
    if (n >= sizeof r->host || (n && !httpdParseHost(v, n, nullptr, nullptr))) refuse("Host is not host[:port]");
    else copy_n(r->host, sizeof r->host, v, n);
}

// The request line: method word, target and protocol. false for a method
// other than GET and POST (answered here).
bool parse_request_line(httpd_server *server, httpd_request *r, const char *line)
{
    size_t letters = 0;
    r->method = method_of(line, &letters);
    copy_n(r->methodWord, sizeof r->methodWord, line, letters);
    if (r->method == HTTP_NONE) {
        LOG_VERB("r->request.method [%s] invalid\n", str_log_esc<sizeof r->methodWord>(r->methodWord).c_str());
        send_bad_method(r);
        httpdWriteErrorLog(server, r, kLevelError, "Invalid method received");
        return false;
    }
    const char *p = line + letters;
    while (*p && *p != ' ') ++p;  // the rest of a word such as "GET/x"
    while (*p == ' ') ++p;
    size_t n = strcspn(p, " ");
    if (n >= sizeof r->path) r->targetCut = 1;
    copy_n(r->path, sizeof r->path, p, n);
    p += n;
    if (*p == ' ') ++p;
    r->version = strncmp(p, "HTTP/1.0", 8) == 0 ? 1 : 2;
    return true;
}

// The '?' part of the target becomes the query and its variables; the
// path alone is cleaned.
void split_target(httpd_request *r)
{
    char *q = strchr(r->path, '?');
    if (q) {
        *q = 0;
        copy_text(r->query, sizeof r->query, q + 1);
        httpdStoreData(r, r->query);
    }
    httpdSanitiseUrl(r->path);
}

// Line i of the head as its reader sees it: its kept bytes, NUL-terminated
// in out (room for the longest line); their count.
int take_line(const httpd_request *r, u32 i, char *out)
{
    const httpd_head_line &l = httpdHeadLine(&r->scan, i);
    int n = 0;
    for (u32 k = l.start; k < l.end; ++k)
        if (head_byte((unsigned char)r->ahead[k]) == HEAD_KEEP) out[n++] = r->ahead[k];
    out[n] = 0;
    return n;
}

}  // namespace

int httpd_int::read_head_lines(httpd_server *server, httpd_request *r, bool *complete)
{
    *complete = false;
    const httpd_head_scan &s = r->scan;
    if (s.lines == 0) return 0;  // nothing came: no method, nothing answered
    // Ordinary lines are taken into the stack; a long one into the heap.
    char small[1024];
    char *line = s.longest < sizeof small ? small : (char *)os_malloc(s.longest + 1);
    if (!line) return -1;
    head_check hc = {};
    int rc = 0;
    for (u32 i = 0; i < s.lines && rc == 0; ++i) {
        int len = take_line(r, i, line);
        if (i == 0) {
            if (!parse_request_line(server, r, line)) rc = -1;
            else if (high_byte(line, (size_t)len)) hc.bad = "byte above 127 in the request line";
            else if (r->path[0] != '/') hc.bad = "request target without its leading /";
        } else if (s.headEnd && i + 1 == s.lines) {
            *complete = true;  // the empty line
        } else {
            check_header(r, &hc, line, len);
            parse_header(r, line);
        }
    }
    if (line != small) os_free(line);
    if (rc == 0 && hc.bad) {
        // Nothing of such a request is run.
        LOG_DBG("request from %s refused: %s\n", r->clientAddr, hc.bad);
        char msg[96];
        snprintf(msg, sizeof msg, "Bad request: %s", hc.bad);
        httpdWriteErrorLog(server, r, kLevelError, msg);
        const char *a = httpdFixedAnswer(400);
        write_conn(r, a, strlen(a));
        rc = -1;
    }
    if (rc == 0) {
        r->contentLength = s.contentLength;
        split_target(r);
    }
    return rc;
}

bool httpdHeadRoom(char **buf, u32 *cap, u32 len)
{
    if (*cap - len >= 512 || *cap >= HTTPD_HEAD_BUF_MAX) return true;
    u32 c = *cap ? (*cap * 4 < HTTPD_HEAD_BUF_MAX ? *cap * 4 : HTTPD_HEAD_BUF_MAX) : HTTPD_HEAD_BUF_FIRST;
    char *b = (char *)os_realloc(*buf, c);
    if (!b) return false;
    *buf = b;
    *cap = c;
    return true;
}

void httpdHeadScanInit(httpd_head_scan *s)
{
    if (!s) return;
    memset(s, 0, sizeof *s);
    s->contentLength = -1;
}

void httpdHeadScanFree(httpd_head_scan *s)
{
    if (!s) return;
    os_free(s->more);
    httpdHeadScanInit(s);
}

int httpdHeadScan(httpd_head_scan *s, const char *data, size_t len)
{
    if (!s || !data) return HTTPD_HEAD_MORE;
    while (!s->headEnd && s->pos < len && s->pos < HTTP_HEAD_MAX) {
        if (s->lines > 0 && s->method == HTTP_NONE) return HTTPD_HEAD_READY;
        unsigned char c = (unsigned char)data[s->pos++];
        head_byte_kind kind = head_byte(c);
        if (kind == HEAD_DROP) continue;
        if (kind == HEAD_KEEP) {
            if (s->keyLen < sizeof s->key - 1) s->key[s->keyLen++] = (char)c;
            if (++s->lineLen < HTTP_MAX_LINE - 1) continue;
            if (s->lines == 0) s->firstCut = 1;  // ended by its length
        }
        if (!record_line(s, kind == HEAD_END ? s->pos - 1 : s->pos)) return HTTPD_HEAD_NO_MEMORY;
        s->key[s->keyLen] = 0;
        if (s->lines++ == 0) {
            size_t letters;
            s->method = method_of(s->key, &letters);
        } else if (s->lineLen == 0) {
            s->headEnd = s->pos;  // a line that starts with a NUL is not empty: it is refused
        } else if (strncasecmp(s->key, "Content-Length:", 15) == 0) {
            bool whole = s->lineLen < sizeof s->key - 1 || memchr(s->key, 0, s->keyLen);
            s->contentLength = whole ? parse_length(s->key + 15) : -1;
        }
        if (s->lineLen > s->longest) s->longest = s->lineLen;
        s->lineLen = 0;
        s->keyLen = 0;
        s->lineStart = (u32)s->pos;
    }
    if (s->lines > 0 && s->method == HTTP_NONE) return HTTPD_HEAD_READY;
    if (s->headEnd) {
        if (s->method != HTTP_POST || s->contentLength <= 0) return HTTPD_HEAD_READY;
        u64 want = (u64)s->contentLength < HTTP_BODY_AHEAD ? (u64)s->contentLength : HTTP_BODY_AHEAD;
        return len - s->headEnd >= want ? HTTPD_HEAD_READY : HTTPD_HEAD_MORE;
    }
    if (s->pos >= HTTP_HEAD_MAX) return s->lines == 0 || s->firstCut ? HTTPD_HEAD_URI_TOO_LONG : HTTPD_HEAD_TOO_LARGE;
    return HTTPD_HEAD_MORE;
}

int httpdParseHost(const char *text, size_t len, size_t *hostLen, int *port)
{
    if (port) *port = -1;
    if (!text || len == 0) return 0;
    size_t h = 0;  // the host part's length
    if (text[0] == '[') {
        const char *close = (const char *)memchr(text, ']', len);
        char addr[64];
        size_t n = close ? (size_t)(close - text) - 1 : 0;
        if (n == 0 || n >= sizeof addr) return 0;
        memcpy(addr, text + 1, n);
        addr[n] = 0;
        unsigned char bin[16];
        if (inet_pton(AF_INET6, addr, bin) != 1) return 0;
        h = n + 2;
    } else {
        // A name (an IPv4 address is one too): unreserved characters,
        // sub-delimiters and %XX escapes.
        while (h < len && text[h] != ':') {
            unsigned char c = (unsigned char)text[h];
            if (c == '%') {
                if (h + 2 >= len || !hex_digit(text[h + 1]) || !hex_digit(text[h + 2])) return 0;
                h += 3;
                continue;
            }
            if (!ascii_alnum(c) && (c == 0 || !strchr("-._~!$&'()*+,;=", c))) return 0;
            ++h;
        }
        if (h == 0) return 0;
    }
    if (h < len) {
        // ":" and a decimal port; without digits it is the default port.
        if (text[h] != ':' || len - h - 1 > 5) return 0;
        int p = 0;
        for (size_t i = h + 1; i < len; ++i) {
            if (text[i] < '0' || text[i] > '9') return 0;
            p = p * 10 + (text[i] - '0');
        }
        if (len - h > 1) {
            if (p < 1 || p > 65535) return 0;
            if (port) *port = p;
        }
    }
    if (hostLen) *hostLen = h;
    return 1;
}

int httpdDecodeBase64(const char *in, char *out, int max)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Built at compile time, so there is nothing to set up on first use.
    struct table {
        i8 v[256];
        constexpr table() : v()
        {
            for (int i = 0; i < 256; ++i) v[i] = -1;
            for (int i = 0; i < 64; ++i) v[(unsigned char)kAlphabet[i]] = (i8)i;
        }
    };
    static constexpr table kRev;
    if (!out || max < 0) return 0;
    out[0] = 0;
    if (!in) return 0;
    while (*in == ' ' || *in == '\t') ++in;
    int n = 0;
    u32 acc = 0;
    int bits = 0;
    for (const unsigned char *p = (const unsigned char *)in; kRev.v[*p] >= 0 && n < max; ++p) {
        acc = (acc << 6) | (u32)kRev.v[*p];
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[n++] = (char)((acc >> bits) & 0xff);
        }
    }
    out[n] = 0;
    return n;
}

void httpdSanitiseUrl(char *url)
{
    if (!url) return;
    // Doubled slashes.
    char *w = url;
    for (char *p = url; *p; ++p) {
        if (*p == '/' && w > url && w[-1] == '/') continue;
        *w++ = *p;
    }
    *w = 0;
    // Steps of one dot, then steps of two dots with the step before them.
    auto is_step = [](const char *s, const char *name) {
        size_t n = strlen(name);
        return strncmp(s, name, n) == 0 && (s[n] == '/' || s[n] == 0);
    };
    char *out = url;
    char *p = url;
    bool absolute = *p == '/';
    if (absolute) {
        ++p;
        ++out;
    }
    // Each kept step is copied to out; ".." removes the last kept step.
    while (*p) {
        size_t n = strcspn(p, "/");
        bool more = p[n] == '/';
        if (is_step(p, ".")) {
            // dropped
        } else if (is_step(p, "..")) {
            char *start = absolute ? url + 1 : url;
            if (out > start) {
                char *q = out - 1;  // the '/' after the last kept step
                while (q > start && q[-1] != '/') --q;
                out = q;
            }
        } else {
            memmove(out, p, n);
            out += n;
            if (more) *out++ = '/';
        }
        p += n + (more ? 1 : 0);
    }
    *out = 0;
}
