#define LOG_MOD "httpd"
// Records of every file of the server carry the api file's path: it is
// the path their filters and readers know the server by.
#define LOG_SRC "src/lib/libhttpd/api"
// Request reading: the connection and its input, the request (its head
// read through the head's scan), its body, the query and its variables,
// the end of the connection, and the server's error log.
#include "libhttpd/httpd_int.h"

#include <cerrno>
#include <cstring>
#include <ctime>
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

// One read of at most size bytes from the connection: its first byte is
// waited for at most the first-byte time and never past deadline
// (monotonic ms); the rest is taken as it is there. The count, or 0 / -1
// when the input, the time or the connection ended first.
int read_conn(httpd_request *r, char *buf, size_t size, u64 deadline)
{
    u64 now = os_mono_ms();
    if (now >= deadline) return 0;
    u64 left = deadline - now;
    i32 saved = r->conn.timeout;
    r->conn.timeout = left < (u64)HTTP_FIRST_BYTE_MS ? (i32)left : HTTP_FIRST_BYTE_MS;
    int n = net_read_timeout(&r->conn, buf, size, 0);
    r->conn.timeout = saved;
    return n;
}

// Refills the read buffer: from the input read ahead first, then from the
// connection.
bool refill(httpd_request *r)
{
    r->readBufRemain = 0;
    int n;
    if (r->aheadPos < r->aheadLen) {
        n = (int)(r->aheadLen - r->aheadPos < HTTP_READ_BUF_SIZE ? r->aheadLen - r->aheadPos : HTTP_READ_BUF_SIZE);
        memcpy(r->readBuf, r->ahead + r->aheadPos, (size_t)n);
        r->aheadPos += (u32)n;
    } else {
        if (r->inputEnded) return false;
        n = read_conn(r, r->readBuf, HTTP_READ_BUF_SIZE, r->deadline);
        if (n <= 0) return false;
    }
    r->readBuf[n] = 0;
    r->readBufPtr = r->readBuf;
    r->readBufRemain = n;
    return true;
}

// Reads the request's input until its head's scan has what it needs
// (HTTPD_HEAD_READY), finds the head too large, or no more comes in time
// (HTTPD_HEAD_MORE); the scan's result.
int gather_head(httpd_request *r)
{
    for (;;) {
        int st = httpdHeadScan(&r->scan, r->ahead ? r->ahead : "", r->aheadLen);
        if (st != HTTPD_HEAD_MORE || r->inputEnded) return st;
        if (!httpdHeadRoom(&r->ahead, &r->aheadCap, r->aheadLen)) return HTTPD_HEAD_NO_MEMORY;
        if (r->aheadLen == r->aheadCap) return st;
        int n = read_conn(r, r->ahead + r->aheadLen, r->aheadCap - r->aheadLen, r->deadline);
        if (n <= 0) return st;
        r->aheadLen += (u32)n;
    }
}

bool read_char(httpd_request *r, char *c)
{
    if (r->readBufRemain <= 0 && !refill(r)) return false;
    *c = *r->readBufPtr++;
    r->readBufRemain--;
    return true;
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
    // Read and dropped until the client closes, within a bounded time and
    // size.
    char scratch[2048];
    u64 deadline = os_mono_ms() + HTTP_DRAIN_MS;
    for (u64 done = 0; done < HTTP_DRAIN_MAX && !r->conn.disconnected;) {
        int n = read_conn(r, scratch, sizeof scratch, deadline);
        if (n <= 0) return;
        done += (u64)n;
    }
}

}  // namespace

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
    httpdHeadScanInit(&r->scan);
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
    r->aheadLen = r->aheadCap = data ? (u32)len : 0;
    r->aheadPos = 0;
    r->deadline = accepted + HTTP_HEAD_DEADLINE_MS;
    r->inputEnded = ended ? 1 : 0;
}

void httpdSetHeadScan(httpd_request *r, httpd_head_scan *s)
{
    if (!r || !s) return;
    httpdHeadScanFree(&r->scan);
    r->scan = *s;
    httpdHeadScanInit(s);
}

void httpdSetLinger(httpd_request *r, httpd_linger_fn fn, void *arg)
{
    if (!r) return;
    r->linger = fn;
    r->lingerArg = arg;
}

int httpdReadLine(httpd_request *r, char *dest, int max)
{
    if (!r || !dest || max < 0) return 0;
    int n = 0;
    char c;
    bool ok = true;
    while (n < max) {
        if (!read_char(r, &c)) {
            ok = false;
            break;
        }
        head_byte_kind kind = head_byte((unsigned char)c);
        if (kind == HEAD_END) break;
        if (kind == HEAD_KEEP) dest[n++] = c;
    }
    dest[n] = 0;
    return ok ? 1 : 0;
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
    int st = gather_head(r);
    const httpd_head_scan &s = r->scan;
    if (st != HTTPD_HEAD_READY && (st != HTTPD_HEAD_MORE || (!s.headEnd && os_mono_ms() >= r->deadline))) {
        // A head that never ends is not served: too big, it is refused
        // with a short answer; trickled past the deadline, it is dropped.
        LOG_DBG("request head from %s not complete (%llu bytes)\n", r->clientAddr, (unsigned long long)s.pos);
        if (const char *a = st != HTTPD_HEAD_MORE ? httpdFixedAnswer(st) : nullptr) write_conn(r, a, strlen(a));
        return -1;
    }
    bool complete;
    if (read_head_lines(server, r, &complete) != 0) return -1;
    // What follows the head is the body; a head cut short by the end of
    // the input took all of it.
    r->aheadPos = complete ? (u32)s.headEnd : r->aheadLen;
    r->headDone = complete;
    if (complete && r->method == HTTP_POST && r->contentLength > 0) {
        // The body is read off (up to a bound) before the answer.
        r->bodyLeft = r->contentLength;
        i64 take = r->contentLength < (i64)HTTP_DRAIN_MAX ? r->contentLength : (i64)HTTP_DRAIN_MAX;
        char scratch[HTTP_READ_BUF_SIZE];
        while (take > 0) {
            int k = take < (i64)sizeof scratch ? (int)take : (int)sizeof scratch;
            if (!httpdReadBuf(r, scratch, k)) break;
            take -= k;
            r->bodyLeft -= k;
        }
    }
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
    httpdHeadScanFree(&r->scan);
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

// ---- variables --------------------------------------------------------------

int httpdAddVariable(httpd_request *r, const char *name, const char *value)
{
    if (!r || !name) return -1;
    while (*name == ' ' || *name == '\t') ++name;
    httpd_var *v = (httpd_var *)os_zalloc(sizeof(httpd_var));
    if (!v) return -1;
    v->name = os_strdup(name);
    v->value = os_strdup(value ? value : "");
    if (!v->name || !v->value) {
        os_free(v->name);
        os_free(v->value);
        os_free(v);
        return -1;
    }
    httpd_var *cur = r->variables, *last = nullptr;
    while (cur && strcmp(cur->name, v->name) != 0) {
        last = cur;
        cur = cur->nextVariable;
    }
    if (cur) {
        while (cur->nextValue) cur = cur->nextValue;
        cur->nextValue = v;
    } else if (last) {
        last->nextVariable = v;
    } else {
        r->variables = v;
    }
    return 0;
}

int httpdSetVariableValue(httpd_request *r, const char *name, const char *value)
{
    httpd_var *v = httpdGetVariableByName(r, name);
    if (!v) return httpdAddVariable(r, name, value);
    char *copy = os_strdup(value ? value : "");
    if (!copy) return -1;
    os_free(v->value);
    v->value = copy;
    return 0;
}

namespace {

// The first variable from v on whose name starts with prefix and goes on
// with rest (NULL: anything).
httpd_var *find_variable(httpd_var *v, const char *prefix, const char *rest)
{
    size_t n = strlen(prefix);
    for (; v; v = v->nextVariable)
        if (strncmp(v->name, prefix, n) == 0 && (!rest || strcmp(v->name + n, rest) == 0)) return v;
    return nullptr;
}

}  // namespace

httpd_var *httpdGetVariableByName(httpd_request *r, const char *name)
{
    return r && name ? find_variable(r->variables, "", name) : nullptr;
}

httpd_var *httpdGetVariableByPrefix(httpd_request *r, const char *prefix)
{
    return r && prefix ? find_variable(r->variables, prefix, nullptr) : nullptr;
}

httpd_var *httpdGetVariableByPrefixedName(httpd_request *r, const char *prefix, const char *name)
{
    return r && prefix && name ? find_variable(r->variables, prefix, name) : nullptr;
}

httpd_var *httpdGetNextVariableByPrefix(httpd_var *var, const char *prefix)
{
    return var && prefix ? find_variable(var->nextVariable, prefix, nullptr) : nullptr;
}

void httpdFreeVariables(httpd_request *r)
{
    if (!r) return;
    httpd_var *v = r->variables;
    while (v) {
        httpd_var *nextVar = v->nextVariable;
        while (v) {
            httpd_var *nextVal = v->nextValue;
            os_free(v->name);
            os_free(v->value);
            os_free(v);
            v = nextVal;
        }
        v = nextVar;
    }
    r->variables = nullptr;
}

void httpdDumpVariables(httpd_request *r)
{
    if (!r) return;
    for (httpd_var *v = r->variables; v; v = v->nextVariable) {
        printf("Variable '%s'\n", v->name);
        for (httpd_var *val = v; val; val = val->nextValue) printf("\t= '%s'\n", val->value);
    }
    fflush(stdout);
}

// ---- error log --------------------------------------------------------------

void httpdWriteErrorLog(httpd_server *server, httpd_request *r, const char *level, const char *message)
{
    if (!server || !server->errorLog) return;
    char when[64];
    local_time_text("%a %b %d %T %Y", when, sizeof when);
    if (r && r->clientAddr[0])
        fprintf(server->errorLog, "[%s] [%s] [client %s] %s\n", when, level, r->clientAddr, message);
    else
        fprintf(server->errorLog, "[%s] [%s] %s\n", when, level, message);
    fflush(server->errorLog);
}
