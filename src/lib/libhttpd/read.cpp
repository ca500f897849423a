#define LOG_MOD "httpd"
#define LOG_SRC "src/lib/libhttpd/api"
// Request reading: the connection, its read buffer, head lines, the
// request line and headers, the query, and the end of the connection.
#include "libhttpd/httpd_int.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <strings.h>
#include <sys/socket.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_safe.h"

using namespace httpd_int;

namespace {

constexpr char kServerHeader[] = "Server: VELTA Http Server\r\n";
constexpr char kDefaultType[] = "text/html\r\n";
constexpr char kDefaultStatus[] = "200 Output Follows\r\n";

bool is_socket(const net *n)
{
    return n->type == NET_TYPE_SOCK || n->type == NET_TYPE_SOCK2;
}

// ---- reading ----------------------------------------------------------------

// Refills the read buffer: from the input read ahead first, then from the
// connection: there the first byte is waited for at most the first-byte
// time and never beyond the head's deadline; the rest is taken as it is
// there, without waiting. The head may not grow beyond its cap.
bool refill(httpd_request *r)
{
    r->readBufRemain = 0;
    size_t room = HTTP_READ_BUF_SIZE;
    if (!r->headDone) {
        if (r->headBytes >= HTTP_HEAD_MAX) return false;
        if (HTTP_HEAD_MAX - r->headBytes < room) room = (size_t)(HTTP_HEAD_MAX - r->headBytes);
    }
    int n;
    if (r->aheadPos < r->aheadLen) {
        n = (int)(r->aheadLen - r->aheadPos < room ? r->aheadLen - r->aheadPos : room);
        memcpy(r->readBuf, r->ahead + r->aheadPos, (size_t)n);
        r->aheadPos += (u32)n;
    } else {
        if (r->inputEnded) return false;
        u64 now = os_mono_ms();
        if (now >= r->deadline) return false;
        u64 left = r->deadline - now;
        i32 saved = r->conn.timeout;
        r->conn.timeout = left < (u64)HTTP_FIRST_BYTE_MS ? (i32)left : HTTP_FIRST_BYTE_MS;
        n = net_read_timeout(&r->conn, r->readBuf, room, 0);
        r->conn.timeout = saved;
        if (n <= 0) return false;
    }
    r->readBuf[n] = 0;
    r->readBufPtr = r->readBuf;
    r->readBufRemain = n;
    if (!r->headDone) r->headBytes += (u64)n;
    return true;
}

bool read_char(httpd_request *r, char *c)
{
    if (r->readBufRemain <= 0 && !refill(r)) return false;
    *c = *r->readBufPtr++;
    r->readBufRemain--;
    return true;
}

// One head line into dest, as httpdReadLine reads it; its length (NULs
// included) in *len.
bool read_line(httpd_request *r, char *dest, int max, int *len)
{
    int n = 0;
    char c;
    bool ok = true;
    while (n < max) {
        if (!read_char(r, &c)) {
            ok = false;
            break;
        }
        if (c == '\n' || (unsigned char)c > 127) break;
        if (c == '\r') continue;
        dest[n++] = c;
    }
    dest[n] = 0;
    *len = n;
    return ok;
}

// Reads and drops up to max bytes from the connection until deadline
// (monotonic ms), its end or max. The buffer is scratch space of size
// bytes.
void discard_input(httpd_request *r, u64 max, u64 deadline, char *scratch, size_t size)
{
    u64 done = 0;
    while (done < max && !r->conn.disconnected) {
        u64 now = os_mono_ms();
        if (now >= deadline) return;
        u64 left = deadline - now;
        size_t want = max - done < size ? (size_t)(max - done) : size;
        i32 saved = r->conn.timeout;
        r->conn.timeout = left < (u64)HTTP_FIRST_BYTE_MS ? (i32)left : HTTP_FIRST_BYTE_MS;
        int n = net_read_timeout(&r->conn, scratch, want, 0);
        r->conn.timeout = saved;
        if (n <= 0) return;
        done += (u64)n;
    }
}

// Whether the client has sent input that was not read, or may still be
// sending an announced body: one look at the connection, without waiting.
bool input_pending(httpd_request *r)
{
    if (r->readBufRemain > 0 || r->aheadPos < r->aheadLen) return true;
    if (r->conn.disconnected) return false;
    if (r->bodyLeft > 0) return true;
    char b[512];
    ssize_t n = recv(os_sock_fd(r->conn.transport), b, sizeof b, MSG_DONTWAIT);
    if (n == 0) r->conn.disconnected = 1;
    return n > 0;
}

// Ends a socket connection: at once when the client has nothing more for
// it; otherwise the answer is marked complete and what the client still
// sends is read until it closes (for a bounded time), so that closing with
// unread input does not reset the connection under the answer. The
// request's linger function, when set, does that off this thread.
void end_connection(httpd_request *r)
{
    if (r->conn.stop.load() || net_cancel_requested(r->conn.cancel, 0) || !input_pending(r)) return;
    shutdown(os_sock_fd(r->conn.transport), SHUT_WR);
    if (r->linger) {
        u64 sock = r->conn.transport;
        r->conn.transport = 0;
        r->linger(sock, r->lingerArg);
        return;
    }
    char scratch[2048];
    discard_input(r, HTTP_DRAIN_MAX, os_mono_ms() + HTTP_DRAIN_MS, scratch, sizeof scratch);
}

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
    char auth[101];
    int len = httpdDecodeBase64(cp, auth, 100);
    r->authLength = len;
    char *colon = strchr(auth, ':');
    if (colon) {
        *colon = 0;
        copy_text(r->authPassword, sizeof r->authPassword, colon + 1);
    }
    copy_text(r->authUser, sizeof r->authUser, auth);
    explicit_bzero(auth, sizeof auth);
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

void parse_header(httpd_request *r, const char *line)
{
    if (strncasecmp(line, "Authorization: ", 15) == 0) {
        parse_auth(r, line);
    } else if (strncasecmp(line, "Accept-Encoding:", 16) == 0) {
        const char *v = header_value(line);
        if (v && strncasecmp(v, "gzip", 4) == 0) r->gzip = 1;
    } else if (strncasecmp(line, "Content-Length:", 15) == 0) {
        r->contentLength = parse_length(line + 15);
    } else if (strncasecmp(line, "Origin:", 7) == 0) {
        copy_text(r->origin, sizeof r->origin, trim_value(line + 7));
    } else if (strncasecmp(line, "Referer:", 8) == 0) {
        copy_text(r->referer, sizeof r->referer, trim_value(line + 8));
    } else if (strncasecmp(line, "Sec-Fetch-Site:", 15) == 0) {
        copy_text(r->fetchSite, sizeof r->fetchSite, trim_value(line + 15));
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

// What the header lines of a head show: the Host lines seen, and why the
// request is refused (400), NULL while nothing is wrong.
struct head_check {
    u32 hosts;
    const char *bad;
};

// The forms a browser never sends and that different readers of a head
// would read differently: a line folded onto the one before, a blank
// between a header's name and its colon, a NUL, more than one Host, or a
// Host that is not host[:port]. The Host's value is taken without the
// blanks around it.
void check_header(httpd_request *r, head_check *hc, const char *line, int len)
{
    auto refuse = [hc](const char *why) {
        if (!hc->bad) hc->bad = why;
    };
    if (line[0] == ' ' || line[0] == '\t') refuse("folded header line");
    if (memchr(line, 0, (size_t)len)) refuse("NUL in a header line");
    const char *colon = strchr(line, ':');
    if (!colon) return;
    size_t name = (size_t)(colon - line);
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
        LOG_VERB("r->request.method [%s] invalid\n", r->methodWord);
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

}  // namespace

// The answer's defaults: status, content type and the server's header.
void httpd_int::set_defaults(httpd_request *r)
{
    copy_text(r->headers, sizeof r->headers, kServerHeader);
    copy_text(r->contentType, sizeof r->contentType, kDefaultType);
    copy_text(r->response, sizeof r->response, kDefaultStatus);
    r->headersSent = 0;
}

// ---- requests ---------------------------------------------------------------

httpd_request *httpdGetConnectionNet(httpd_server *server, const net *conn, const char *peer)
{
    void *mem = os_zalloc(sizeof(httpd_request));
    if (!mem) {
        if (server) server->lastError = HTTP_ERR_ALLOC;
        return nullptr;
    }
    httpd_request *r = new (mem) httpd_request();
    r->conn.type = conn->type;
    r->conn.transport = conn->transport;
    r->conn.timeout = HTTP_FIRST_BYTE_MS;
    r->readBufPtr = r->readBuf;
    r->contentLength = -1;
    r->deadline = os_mono_ms() + HTTP_HEAD_DEADLINE_MS;
    set_defaults(r);
    copy_text(r->peerAddr, sizeof r->peerAddr, peer);
    copy_text(r->clientAddr, sizeof r->clientAddr, peer);
    if (server && server->defaultAcl && httpdCheckAcl(server, r, server->defaultAcl) != HTTP_ACL_PERMIT) {
        httpdEndRequest(r);
        server->lastError = HTTP_ERR_ACL;
        return nullptr;
    }
    return r;
}

httpd_request *httpdGetConnection(u64 sock, httpd_server *server, const os_ipaddr *peer)
{
    char text[HTTP_ADDR_MAX] = "";
    if (peer) {
        os_ipaddr a = *peer;
        // A v4-mapped IPv6 peer is the IPv4 client it stands for.
        static const u8 kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if ((a.family & OS_IPADDR_FAMILY_MASK) == OS_IPADDR_FAMILY_IPV6 &&
            memcmp(a.u.ipv6.addr, kMapped, sizeof kMapped) == 0) {
            char v4[OS_IPV4_CSTR_MAXN];
            os_ipv4 ip;
            memcpy(ip.addr, a.u.ipv6.addr + 12, 4);
            str_safecopy_trunc(text, sizeof text, os_ipv4_cstr(&ip, v4, sizeof v4));
        } else {
            os_ipaddr_ip_cstr(&a, text, sizeof text);
        }
    }
    net n{};
    n.type = NET_TYPE_SOCK;
    n.transport = sock;
    httpd_request *r = httpdGetConnectionNet(server, &n, text);
    if (!r && server && server->lastError == HTTP_ERR_ALLOC) os_socket_exit(sock);
    return r;
}

void httpdSetInput(httpd_request *r, char *data, size_t len, u64 accepted, int ended)
{
    if (!r) {
        os_free(data);
        return;
    }
    os_free(r->ahead);
    r->ahead = data;
    r->aheadLen = data ? (u32)len : 0;
    r->aheadPos = 0;
    r->deadline = accepted + HTTP_HEAD_DEADLINE_MS;
    r->inputEnded = ended ? 1 : 0;
}

void httpdSetLinger(httpd_request *r, httpd_linger_fn fn, void *arg)
{
    if (!r) return;
    r->linger = fn;
    r->lingerArg = arg;
}

void httpdHeadScanInit(httpd_head_scan *s)
{
    if (!s) return;
    memset(s, 0, sizeof *s);
    s->contentLength = -1;
}

int httpdHeadScan(httpd_head_scan *s, const char *data, size_t len)
{
    if (!s || !data) return HTTPD_HEAD_MORE;
    // Lines end as httpdReadLine ends them.
    while (!s->headEnd && s->pos < len && s->pos < HTTP_HEAD_MAX) {
        if (s->lines > 0 && s->method == HTTP_NONE) return HTTPD_HEAD_READY;
        unsigned char c = (unsigned char)data[s->pos++];
        if (c != '\n' && c <= 127) {
            if (c == '\r') continue;
            if (s->keyLen < sizeof s->key - 1) s->key[s->keyLen++] = (char)c;
            if (++s->lineLen < HTTP_MAX_LINE - 1) continue;
            if (s->lines == 0) s->firstCut = 1;
        }
        s->key[s->keyLen] = 0;
        if (s->lines++ == 0) {
            size_t letters;
            s->method = method_of(s->key, &letters);
        } else if (s->lineLen == 0 || s->key[0] == 0) {
            s->headEnd = s->pos;  // empty as a text, as the reader sees it
        } else if (strncasecmp(s->key, "Content-Length:", 15) == 0) {
            bool whole = s->lineLen < sizeof s->key - 1 || memchr(s->key, 0, s->keyLen);
            s->contentLength = whole ? parse_length(s->key + 15) : -1;
        }
        s->lineLen = 0;
        s->keyLen = 0;
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

int httpdReadLine(httpd_request *r, char *dest, int max)
{
    int len;
    return r && dest && max >= 0 && read_line(r, dest, max, &len) ? 1 : 0;
}

int httpdReadBuf(httpd_request *r, char *dest, int len)
{
    if (!r || len < 0 || (len > 0 && !dest)) return 0;
    while (len > 0) {
        if (r->readBufRemain <= 0 && !refill(r)) return 0;
        int k = len < r->readBufRemain ? len : r->readBufRemain;
        memcpy(dest, r->readBufPtr, (size_t)k);
        r->readBufPtr += k;
        r->readBufRemain -= k;
        dest += k;
        len -= k;
    }
    return 1;
}

int httpdReadRequest(httpd_server *server, httpd_request *r)
{
    set_defaults(r);
    char *line = (char *)os_malloc(HTTP_MAX_LINE);
    if (!line) return -1;
    constexpr int kMax = (int)HTTP_MAX_LINE - 1;
    int count = 0, len;
    bool complete = false, firstCut = false;
    head_check hc = {};
    while (read_line(r, line, kMax, &len)) {
        if (count++ == 0) {
            firstCut = len == kMax;
            if (!parse_request_line(server, r, line)) {
                os_free(line);
                return -1;
            }
            continue;
        }
        if (line[0] == 0) {
            complete = true;
            break;
        }
        check_header(r, &hc, line, len);
        parse_header(r, line);
    }
    if (!complete && (r->headBytes >= HTTP_HEAD_MAX || os_mono_ms() >= r->deadline)) {
        // A head that never ends is not served: too big, it is refused
        // with a short answer; trickled past the deadline, it is dropped.
        LOG_DBG("request head from %s not complete (%llu bytes)\n", r->clientAddr,
                (unsigned long long)r->headBytes);
        if (r->headBytes >= HTTP_HEAD_MAX) {
            const char *a = httpdFixedAnswer(count == 0 || firstCut ? 414 : 431);
            write_conn(r, a, strlen(a));
        }
        os_free(line);
        return -1;
    }
    if (hc.bad) {
        // Nothing of such a request is run.
        LOG_DBG("request from %s refused: %s\n", r->clientAddr, hc.bad);
        char msg[96];
        snprintf(msg, sizeof msg, "Bad request: %s", hc.bad);
        httpdWriteErrorLog(server, r, kLevelError, msg);
        const char *a = httpdFixedAnswer(400);
        write_conn(r, a, strlen(a));
        os_free(line);
        return -1;
    }
    r->headDone = complete;
    if (complete && r->method == HTTP_POST && r->contentLength > 0) {
        // The body is read off (up to a bound) before the answer.
        r->bodyLeft = r->contentLength;
        i64 take = r->contentLength < (i64)HTTP_DRAIN_MAX ? r->contentLength : (i64)HTTP_DRAIN_MAX;
        while (take > 0) {
            int k = take < (i64)HTTP_READ_BUF_SIZE ? (int)take : (int)HTTP_READ_BUF_SIZE;
            if (!httpdReadBuf(r, line, k)) break;
            take -= k;
            r->bodyLeft -= k;
        }
    }
    os_free(line);
    split_target(r);
    return 0;
}

void httpdEndRequest(httpd_request *r)
{
    if (!r) return;
    httpdFreeVariables(r);
    if (!r->closed) {
        r->closed = 1;
        flush_out(r);
        if (is_socket(&r->conn) && r->conn.transport) end_connection(r);
        net_close(&r->conn);
    }
    os_free(r->ahead);
    r->~httpd_request();
    os_free(r);
}

void httpdStoreData(httpd_request *r, const char *query)
{
    if (!r || !query) return;
    char *copy = os_strdup(query);
    if (!copy) return;
    char *save = nullptr;
    for (char *part = strtok_r(copy, "&", &save); part; part = strtok_r(nullptr, "&", &save)) {
        char *eq = strchr(part, '=');
        if (!eq) continue;
        *eq = 0;
        httpdAddVariable(r, part, httpdUnescape(eq + 1));
    }
    os_free(copy);
}

char *httpdUnescape(char *text)
{
    thread_local char empty[1] = "";
    if (!text) {
        empty[0] = 0;
        return empty;
    }
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    char *w = text;
    for (char *p = text; *p; ++p) {
        if (*p == '+') {
            *w++ = ' ';
        } else if (*p == '%') {
            if (!p[1] || !p[2]) break;  // a cut escape at the end is dropped
            int hi = hex(p[1]), lo = hex(p[2]);
            if (hi < 0 || lo < 0) {
                *w++ = '%';  // not an escape: kept as it came
                continue;
            }
            *w++ = (char)(hi * 16 + lo);
            p += 2;
        } else {
            *w++ = *p;
        }
    }
    *w = 0;
    return text;
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
