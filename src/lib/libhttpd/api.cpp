#define LOG_MOD "httpd"
#define LOG_SRC "src/lib/libhttpd/api"
#include "libhttpd/api.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/string/str_safe.h"

namespace {

// ---- texts ------------------------------------------------------------------
constexpr char kServerHeader[] = "Server: VELTA Http Server\r\n";
constexpr char kDefaultType[] = "text/html\r\n";
constexpr char kDefaultStatus[] = "200 Output Follows\r\n";
constexpr char kStatus304[] = "304 Not Modified\n";
constexpr char kStatus401[] = "401 Please Authenticate\r\n";
constexpr char kStatus403[] = "403 Permission Denied\n";
constexpr char kStatus404[] = "404 Not Found\n";
constexpr char kBadMethod[] = "\n<B>ERROR : Method Not Implemented</B>\n\n";
static_assert(sizeof kBadMethod - 1 == 40, "the method refusal is 40 bytes");
constexpr char kLevelError[] = "error";

constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// ---- small helpers ----------------------------------------------------------

// Copies at most size - 1 bytes of src (n bytes at most) and terminates.
void copy_n(char *dst, size_t size, const char *src, size_t n)
{
    if (n >= size) n = size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void copy_text(char *dst, size_t size, const char *src)
{
    copy_n(dst, size, src ? src : "", src ? strlen(src) : 0);
}

bool is_socket(const net *n)
{
    return n->type == NET_TYPE_SOCK || n->type == NET_TYPE_SOCK2;
}

// Writes what the output buffer holds; false when the connection failed.
bool flush_out(httpd_request *r)
{
    if (r->outLen == 0) return true;
    int w = net_write(&r->conn, r->outBuf, r->outLen);
    bool ok = w == (int)r->outLen;
    r->outLen = 0;
    return ok;
}

// Output of the answer: small pieces are gathered (a head and a short
// body leave in one write), larger ones written through.
int write_conn(httpd_request *r, const void *data, size_t len)
{
    if (len == 0) return 0;
    if (r->outLen + len <= sizeof r->outBuf) {
        memcpy(r->outBuf + r->outLen, data, len);
        r->outLen += (u32)len;
        return (int)len;
    }
    if (!flush_out(r)) return -1;
    if (len <= sizeof r->outBuf) {
        memcpy(r->outBuf, data, len);
        r->outLen = (u32)len;
        return (int)len;
    }
    return net_write(&r->conn, data, len);
}

// ---- content tree -----------------------------------------------------------

void free_entries(httpd_content *c)
{
    while (c) {
        httpd_content *next = c->next;
        os_free(c->name);
        os_free(c->path);
        os_free(c);
        c = next;
    }
}

void free_dir(httpd_dir *d)
{
    while (d) {
        httpd_dir *next = d->next;
        free_dir(d->children);
        free_entries(d->entries);
        os_free(d->name);
        os_free(d);
        d = next;
    }
}

// A new entry of kind type in front of dir's entries; NULL without memory.
httpd_content *add_entry(httpd_server *server, const char *dir, const char *name, int type,
                         int indexFlag, httpd_preload_fn preload)
{
    httpd_dir *d = httpdFindContentDir(server, dir, 1);
    if (!d) return nullptr;
    httpd_content *c = (httpd_content *)os_zalloc(sizeof(httpd_content));
    if (!c) return nullptr;
    c->name = os_strdup(name ? name : "");
    if (!c->name) {
        os_free(c);
        return nullptr;
    }
    c->type = type;
    c->indexFlag = indexFlag;
    c->preload = preload;
    c->next = d->entries;
    d->entries = c;
    return c;
}

// The path of a file entry: absolute as given, else joined to the base.
char *entry_path(httpd_server *server, const char *path)
{
    if (!path) path = "";
    if (path[0] == '/') return os_strdup(path);
    return os_asprintf("%s/%s", server->fileBasePath, path);
}

// ---- reading ----------------------------------------------------------------

// Refills the read buffer with what the peer has sent: the first byte is
// waited for at most the first-byte time and never beyond the head's
// deadline; the rest is taken as it is there, without waiting.
bool refill(httpd_request *r)
{
    r->readBufRemain = 0;
    if (r->headBytes >= HTTP_HEAD_MAX) return false;
    u64 now = os_mono_ms();
    if (now >= r->deadline) return false;
    u64 left = r->deadline - now;
    size_t room = HTTP_READ_BUF_SIZE;
    if (HTTP_HEAD_MAX - r->headBytes < room) room = (size_t)(HTTP_HEAD_MAX - r->headBytes);
    i32 saved = r->conn.timeout;
    r->conn.timeout = left < (u64)HTTP_FIRST_BYTE_MS ? (i32)left : HTTP_FIRST_BYTE_MS;
    int n = net_read_timeout(&r->conn, r->readBuf, room, 0);
    r->conn.timeout = saved;
    if (n <= 0) return false;
    r->readBuf[n] = 0;
    r->readBufPtr = r->readBuf;
    r->readBufRemain = n;
    r->headBytes += (u64)n;
    return true;
}

bool read_char(httpd_request *r, char *c)
{
    if (r->readBufRemain <= 0 && !refill(r)) return false;
    *c = *r->readBufPtr++;
    r->readBufRemain--;
    return true;
}

// One head line into dest (max characters at most): a line feed or a byte
// above 127 ends it and is dropped, carriage returns are dropped. false
// when a read failed before the line ended.
bool read_line(httpd_request *r, char *dest, size_t max)
{
    size_t n = 0;
    char c;
    while (n < max) {
        if (!read_char(r, &c)) {
            dest[n] = 0;
            return false;
        }
        if (c == '\n' || (unsigned char)c > 127) break;
        if (c == '\r') continue;
        dest[n++] = c;
    }
    dest[n] = 0;
    return true;
}

// Reads and drops up to max bytes of input: first what the read buffer
// holds, then from the connection until deadline (monotonic ms), its end or
// max. The buffer is scratch space of size bytes.
void discard_input(httpd_request *r, u64 max, u64 deadline, char *scratch, size_t size)
{
    u64 done = 0;
    if (r->readBufRemain > 0) {
        u64 take = (u64)r->readBufRemain < max ? (u64)r->readBufRemain : max;
        r->readBufPtr += take;
        r->readBufRemain -= (i32)take;
        done = take;
    }
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
    } else if (strncasecmp(line, "Host: ", 6) == 0) {
        if (const char *v = header_value(line)) copy_text(r->host, sizeof r->host, v);
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

// The request line: method word, target and protocol. false for a method
// other than GET and POST (answered here).
bool parse_request_line(httpd_server *server, httpd_request *r, const char *line)
{
    size_t letters = 0;
    while ((line[letters] >= 'a' && line[letters] <= 'z') || (line[letters] >= 'A' && line[letters] <= 'Z'))
        ++letters;
    copy_n(r->methodWord, sizeof r->methodWord, line, letters);
    if (letters == 3 && strncasecmp(line, "GET", 3) == 0) {
        r->method = HTTP_GET;
    } else if (letters == 4 && strncasecmp(line, "POST", 4) == 0) {
        r->method = HTTP_POST;
    } else {
        LOG_VERB("r->request.method [%s] invalid\n", r->methodWord);
        write_conn(r, kBadMethod, sizeof kBadMethod - 1);
        write_conn(r, r->methodWord, strlen(r->methodWord));
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

// The answer's defaults: status, content type and the server's header.
void set_defaults(httpd_request *r)
{
    copy_text(r->headers, sizeof r->headers, kServerHeader);
    copy_text(r->contentType, sizeof r->contentType, kDefaultType);
    copy_text(r->response, sizeof r->response, kDefaultStatus);
    r->headersSent = 0;
}

// ---- writing ----------------------------------------------------------------

void append(char *buf, size_t size, size_t *len, const char *text)
{
    size_t n = strlen(text);
    if (*len + 1 >= size) return;
    if (n > size - 1 - *len) n = size - 1 - *len;
    memcpy(buf + *len, text, n);
    *len += n;
    buf[*len] = 0;
}

// The local time of now in fmt.
void local_time_text(const char *fmt, char *buf, size_t size)
{
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    if (strftime(buf, size, fmt, &tm) == 0) buf[0] = 0;
}

void call_error(httpd_error_fn fn, httpd_server *server, httpd_request *r, int code)
{
    fn(server, r, code);
}

const char *content_type_of(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (!dot) return nullptr;
    static constexpr struct {
        const char *ext;
        const char *type;
    } kTypes[] = {
        {".gif", "image/gif\r\n"}, {".jpg", "image/jpeg\r\n"}, {".xbm", "image/xbm\r\n"},
        {".png", "image/png\r\n"}, {".css", "text/css\r\n"},
    };
    for (const auto &t : kTypes)
        if (strcasecmp(dot, t.ext) == 0) return t.type;
    return nullptr;
}

// Writes the text with its $name templates expanded, in pieces through a
// heap buffer.
int output_expanded(httpd_request *r, const char *text)
{
    char *buf = (char *)os_malloc(HTTP_OUTPUT_MAX);
    if (!buf) return -1;
    size_t len = 0;
    int result = 0;
    auto flush = [&]() {
        if (len) {
            int w = write_conn(r, buf, len);
            if (w < 0) result = -1;
            r->responseLength += (i64)len;
        }
        len = 0;
    };
    auto put = [&](const char *s, size_t n) {
        while (n) {
            size_t room = HTTP_OUTPUT_MAX - len;
            size_t k = n < room ? n : room;
            memcpy(buf + len, s, k);
            len += k;
            s += k;
            n -= k;
            if (len == HTTP_OUTPUT_MAX) flush();
        }
    };
    const char *p = text;
    while (*p) {
        const char *dollar = strchr(p, '$');
        if (!dollar) {
            put(p, strlen(p));
            break;
        }
        put(p, (size_t)(dollar - p));
        const char *name = dollar + 1;
        size_t n = 0;
        while (n < 80 && (isalnum((unsigned char)name[n]) || name[n] == '_')) ++n;
        char varName[81];
        copy_n(varName, sizeof varName, name, n);
        httpd_var *v = n ? httpdGetVariableByName(r, varName) : nullptr;
        if (v) put(v->value, strlen(v->value));
        else put(dollar, n + 1);
        p = name + n;
    }
    flush();
    os_free(buf);
    return result;
}

}  // namespace

// ---- server and content tree ------------------------------------------------

httpd_server *httpdCreate(void)
{
    httpd_server *s = (httpd_server *)os_zalloc(sizeof(httpd_server));
    if (!s) return nullptr;
    s->startTime = (u32)time(nullptr);
    s->content = (httpd_dir *)os_zalloc(sizeof(httpd_dir));
    if (s->content) s->content->name = os_strdup("");
    if (!s->content || !s->content->name) {
        if (s->content) os_free(s->content);
        os_free(s);
        return nullptr;
    }
    return s;
}

void httpdDestroy(httpd_server *server)
{
    if (!server) return;
    free_dir(server->content);
    httpdFreeAcl(server->defaultAcl);
    os_free(server);
}

void httpdSetFileBase(httpd_server *server, const char *path)
{
    if (server) copy_text(server->fileBasePath, sizeof server->fileBasePath, path);
}

void httpdSetAccessLog(httpd_server *server, FILE *fp)
{
    if (server) server->accessLog = fp;
}

void httpdSetErrorLog(httpd_server *server, FILE *fp)
{
    if (server) server->errorLog = fp;
}

int httpdAddCContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                     httpd_preload_fn preload, httpd_content_fn function)
{
    httpd_content *c = add_entry(server, dir, name, HTTP_C_FUNCT, indexFlag, preload);
    if (!c) return -1;
    c->function = function;
    return 0;
}

int httpdAddFileContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                        httpd_preload_fn preload, const char *path)
{
    char *full = entry_path(server, path);
    if (!full) return -1;
    httpd_content *c = add_entry(server, dir, name, HTTP_FILE, indexFlag, preload);
    if (!c) {
        os_free(full);
        return -1;
    }
    c->path = full;
    return 0;
}

int httpdAddStaticContent(httpd_server *server, const char *dir, const char *name, int indexFlag,
                          httpd_preload_fn preload, const char *text)
{
    httpd_content *c = add_entry(server, dir, name, HTTP_STATIC, indexFlag, preload);
    if (!c) return -1;
    c->data = text;
    return 0;
}

int httpdAddWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                            const char *path)
{
    char *full = entry_path(server, path);
    if (!full) return -1;
    httpd_content *c = add_entry(server, dir, "", HTTP_WILDCARD, 0, preload);
    if (!c) {
        os_free(full);
        return -1;
    }
    c->path = full;
    return 0;
}

int httpdAddCWildcardContent(httpd_server *server, const char *dir, httpd_preload_fn preload,
                             httpd_content_fn function)
{
    httpd_content *c = add_entry(server, dir, "", HTTP_C_WILDCARD, 0, preload);
    if (!c) return -1;
    c->function = function;
    return 0;
}

httpd_dir *httpdFindContentDir(httpd_server *server, const char *dir, int create)
{
    if (!server || !server->content) return nullptr;
    httpd_dir *cur = server->content;
    const char *p = dir ? dir : "";
    while (*p) {
        size_t n = strcspn(p, "/");
        if (n == 0) {
            ++p;
            continue;
        }
        httpd_dir *child = cur->children;
        while (child && !(strlen(child->name) == n && strncmp(child->name, p, n) == 0)) child = child->next;
        if (!child) {
            if (create != 1) return nullptr;
            child = (httpd_dir *)os_zalloc(sizeof(httpd_dir));
            if (!child) return nullptr;
            child->name = os_strndup(p, n);
            if (!child->name) {
                os_free(child);
                return nullptr;
            }
            child->next = cur->children;
            cur->children = child;
        }
        cur = child;
        p += n;
    }
    return cur;
}

httpd_content *httpdFindContentEntry(httpd_request *r, httpd_dir *dir, const char *fileName)
{
    if (!dir) return nullptr;
    const char *name = fileName ? fileName : "";
    for (httpd_content *c = dir->entries; c; c = c->next) {
        bool match = c->type == HTTP_WILDCARD || c->type == HTTP_C_WILDCARD ||
                     (name[0] == 0 && c->indexFlag) || strcmp(c->name, name) == 0;
        if (match) {
            if (r) r->content = c;
            return c;
        }
    }
    return nullptr;
}

int httpdSetErrorFunction(httpd_server *server, int code, httpd_error_fn function)
{
    switch (code) {
    case 304: server->errorFunction304 = function; return 0;
    case 403: server->errorFunction403 = function; return 0;
    case 404: server->errorFunction404 = function; return 0;
    default: {
        char msg[128];
        snprintf(msg, sizeof msg, "Invalid error code (%d) for custom callback", code);
        httpdWriteErrorLog(server, nullptr, kLevelError, msg);
        return -1;
    }
    }
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

int httpdReadRequest(httpd_server *server, httpd_request *r)
{
    set_defaults(r);
    char *line = (char *)os_malloc(HTTP_MAX_LINE);
    if (!line) return -1;
    int count = 0;
    bool complete = false;
    while (read_line(r, line, HTTP_MAX_LINE - 1)) {
        if (count++ == 0) {
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
        parse_header(r, line);
    }
    if (!complete && (r->headBytes >= HTTP_HEAD_MAX || os_mono_ms() >= r->deadline)) {
        // A head that never ends (too big, or trickled past the deadline)
        // is not served.
        LOG_DBG("request head from %s not complete (%llu bytes)\n", r->clientAddr,
                (unsigned long long)r->headBytes);
        os_free(line);
        return -1;
    }
    if (complete && r->method == HTTP_POST && r->contentLength > 0) {
        u64 max = (u64)r->contentLength < HTTP_DRAIN_MAX ? (u64)r->contentLength : HTTP_DRAIN_MAX;
        discard_input(r, max, r->deadline, line, HTTP_MAX_LINE);
    }
    os_free(line);
    split_target(r);
    return 0;
}

void httpdProcessRequest(httpd_server *server, httpd_request *r)
{
    r->responseLength = 0;
    char dirName[HTTP_TEXT_MAX];
    copy_text(dirName, sizeof dirName, r->path);
    char *slash = strrchr(dirName, '/');
    if (!slash) {
        LOG_DBG("Invalid request path '%s'\n", dirName);
        return;
    }
    char fileName[HTTP_TEXT_MAX];
    copy_text(fileName, sizeof fileName, slash + 1);
    if (slash == dirName) dirName[1] = 0;
    else *slash = 0;

    httpd_dir *dir = httpdFindContentDir(server, dirName, 0);
    httpd_content *entry = dir ? httpdFindContentEntry(r, dir, fileName) : nullptr;
    if (!entry) {
        httpdSend404(server, r);
        httpdWriteAccessLog(server, r);
        return;
    }
    if (entry->preload && entry->preload(server) < 0) {
        httpdWriteAccessLog(server, r);
        return;
    }
    switch (entry->type) {
    case HTTP_FILE: httpdSendFile(server, r, entry->path); break;
    case HTTP_C_FUNCT:
    case HTTP_C_WILDCARD: entry->function(server, r); break;
    case HTTP_STATIC: httpdSendStatic(server, r, entry->data); break;
    case HTTP_WILDCARD: {
        char *path = os_asprintf("%s/%s", entry->path, fileName);
        if (path && strlen(path) < HTTP_TEXT_MAX) httpdSendFile(server, r, path);
        else httpdSend404(server, r);
        os_free(path);
        break;
    }
    default: break;
    }
    httpdWriteAccessLog(server, r);
}

void httpdEndRequest(httpd_request *r)
{
    if (!r) return;
    httpdFreeVariables(r);
    if (!r->closed) {
        r->closed = 1;
        flush_out(r);
        if (is_socket(&r->conn) && r->conn.transport) {
            // The answer is complete: say so, then read what the client
            // still sends until it closes, so that closing with unread
            // input never resets the connection under the answer.
            shutdown(os_sock_fd(r->conn.transport), SHUT_WR);
            if (!r->conn.disconnected && !r->conn.stop.load() && !net_cancel_requested(r->conn.cancel, 0)) {
                char scratch[2048];
                r->readBufRemain = 0;
                discard_input(r, HTTP_DRAIN_MAX, os_mono_ms() + HTTP_DRAIN_MS, scratch, sizeof scratch);
            }
        }
        net_close(&r->conn);
    }
    r->~httpd_request();
    os_free(r);
}

const char *httpdRequestMethodName(httpd_request *r)
{
    switch (r ? r->method : HTTP_NONE) {
    case HTTP_GET: return "GET";
    case HTTP_POST: return "POST";
    default: return "INVALID";
    }
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

httpd_var *httpdGetVariableByName(httpd_request *r, const char *name)
{
    if (!r || !name) return nullptr;
    for (httpd_var *v = r->variables; v; v = v->nextVariable)
        if (strcmp(v->name, name) == 0) return v;
    return nullptr;
}

httpd_var *httpdGetVariableByPrefix(httpd_request *r, const char *prefix)
{
    if (!r || !prefix) return nullptr;
    size_t n = strlen(prefix);
    for (httpd_var *v = r->variables; v; v = v->nextVariable)
        if (strncmp(v->name, prefix, n) == 0) return v;
    return nullptr;
}

httpd_var *httpdGetVariableByPrefixedName(httpd_request *r, const char *prefix, const char *name)
{
    if (!r || !prefix || !name) return nullptr;
    size_t n = strlen(prefix);
    for (httpd_var *v = r->variables; v; v = v->nextVariable)
        if (strncmp(v->name, prefix, n) == 0 && strcmp(v->name + n, name) == 0) return v;
    return nullptr;
}

httpd_var *httpdGetNextVariableByPrefix(httpd_var *var, const char *prefix)
{
    if (!var || !prefix) return nullptr;
    size_t n = strlen(prefix);
    for (httpd_var *v = var->nextVariable; v; v = v->nextVariable)
        if (strncmp(v->name, prefix, n) == 0) return v;
    return nullptr;
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

// ---- response set-up and output ---------------------------------------------

void httpdSetResponse(httpd_request *r, const char *msg)
{
    copy_text(r->response, sizeof r->response, msg);
}

void httpdSetContentType(httpd_request *r, const char *type)
{
    copy_text(r->contentType, sizeof r->contentType, type);
}

void httpdAddHeader(httpd_request *r, const char *line)
{
    if (!line) return;
    constexpr size_t kMax = HTTP_TEXT_MAX - 2;
    size_t len = strlen(r->headers);
    if (len >= kMax) return;
    size_t n = strlen(line);
    if (n > kMax - len) n = kMax - len;
    memcpy(r->headers + len, line, n);
    len += n;
    r->headers[len] = 0;
    if (n && line[n - 1] != '\n' && len < kMax) {
        r->headers[len++] = '\n';
        r->headers[len] = 0;
    }
}

void httpdSetCookie(httpd_request *r, const char *name, const char *value)
{
    char line[HTTP_TEXT_MAX];
    snprintf(line, sizeof line, "Set-Cookie: %s=%s; path=/;", name ? name : "", value ? value : "");
    httpdAddHeader(r, line);
}

char *httpdDate(time_t t, char *buf, size_t size)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    snprintf(buf, size, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
             kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

void httpdWriteHeaders(httpd_request *r, i64 contentLength, time_t modTime)
{
    if (r->headersSent) return;
    r->headersSent = 1;
    char head[4096];
    size_t len = 0;
    head[0] = 0;
    char date[40];
    append(head, sizeof head, &len, "HTTP/1.1 ");
    append(head, sizeof head, &len, r->response);
    append(head, sizeof head, &len, r->headers);
    append(head, sizeof head, &len, "Date: ");
    append(head, sizeof head, &len, httpdDate(time(nullptr), date, sizeof date));
    append(head, sizeof head, &len, "\r\nConnection: close\r\nContent-Type: ");
    append(head, sizeof head, &len, r->contentType);
    append(head, sizeof head, &len, "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n");
    if (contentLength > 0) {
        char line[128];
        snprintf(line, sizeof line, "Content-Length: %lld\r\nLast-Modified: %s\r\n", (long long)contentLength,
                 httpdDate(modTime ? modTime : time(nullptr), date, sizeof date));
        append(head, sizeof head, &len, line);
    }
    append(head, sizeof head, &len, "\r\n");
    write_conn(r, head, len);
}

void httpdSendHeaders(httpd_request *r)
{
    httpdWriteHeaders(r, 0, 0);
}

int httpdOutput(httpd_request *r, const char *text)
{
    if (!text) return 0;
    if (!r->headersSent) httpdSendHeaders(r);
    return output_expanded(r, text);
}

int httpdWrite(httpd_request *r, const char *data, size_t length)
{
    if (!r->headersSent) httpdSendHeaders(r);
    r->responseLength += (i64)length;
    return write_conn(r, data, length);
}

int httpdWriteStr(httpd_request *r, const char *text)
{
    return httpdWrite(r, text ? text : "", text ? strlen(text) : 0);
}

int httpdPrintf(httpd_request *r, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int n = os_vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0 || !text) return -1;
    int w = httpdWrite(r, text, (size_t)n);
    os_free(text);
    return w;
}

int httpdSendData(httpd_request *r, const char *data, size_t length)
{
    httpdWriteHeaders(r, (i64)length, 0);
    r->responseLength += (i64)length;
    return write_conn(r, data, length);
}

int httpdSendStr(httpd_request *r, const char *text)
{
    return httpdSendData(r, text ? text : "", text ? strlen(text) : 0);
}

int httpdWriteBody(httpd_request *r, const char *text)
{
    size_t n = text ? strlen(text) : 0;
    r->responseLength += (i64)n;
    return write_conn(r, text, n);
}

int httpdNetWriteStr(httpd_request *r, const char *text)
{
    return write_conn(r, text, text ? strlen(text) : 0);
}

int httpdFlush(httpd_request *r)
{
    return flush_out(r) ? 0 : -1;
}

// ---- authentication ---------------------------------------------------------

int httpdAuthenticate(httpd_request *r, const char *realm)
{
    if (r->authLength > 0) return 1;
    char line[256];
    snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm ? realm : "");
    httpdSetResponse(r, kStatus401);
    httpdAddHeader(r, line);
    httpdOutput(r, "\r\n");
    return 0;
}

void httpdForceAuthenticate(httpd_request *r, const char *realm)
{
    char line[256];
    snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\n", realm ? realm : "");
    httpdSetResponse(r, kStatus401);
    httpdAddHeader(r, line);
    httpdOutput(r, "\n");
}

int httpdCloseSocket(int *fd)
{
    if (!fd || *fd < 1) return fd ? *fd : -1;
    shutdown(*fd, SHUT_RDWR);
    int rc = close(*fd);
    *fd = -1;
    return rc;
}

// ---- escaping and decoding --------------------------------------------------

char *httpdEscape(const char *text)
{
    if (!text) return nullptr;
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t n = 0;
    auto keep = [](unsigned char c) { return isalnum(c) || (c != 0 && strchr("@!\"$'()*+,-._", c)); };
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) n += keep(*p) ? 1 : 3;
    char *out = (char *)os_malloc(n + 1);
    if (!out) return nullptr;
    char *w = out;
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        if (keep(*p)) {
            *w++ = (char)*p;
        } else {
            *w++ = '%';
            *w++ = kHex[*p >> 4];
            *w++ = kHex[*p & 15];
        }
    }
    *w = 0;
    return out;
}

char *httpdUrlEncode(const char *text)
{
    return httpdEscape(text);
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

// ---- built-in answers, files and static text --------------------------------

void httpdSend304(httpd_server *server, httpd_request *r)
{
    if (server && server->errorFunction304) return call_error(server->errorFunction304, server, r, 304);
    httpdSetResponse(r, kStatus304);
    httpdSendHeaders(r);
}

void httpdSend403(httpd_server *server, httpd_request *r)
{
    if (server && server->errorFunction403) return call_error(server->errorFunction403, server, r, 403);
    httpdSetResponse(r, kStatus403);
    httpdSendHeaders(r);
    httpdWriteBody(r, "<HTML><HEAD><TITLE>403 Permission Denied</TITLE></HEAD>\n");
    httpdWriteBody(r, "<BODY><H1>Access to the request URL was denied!</H1>\n");
}

void httpdSend404(httpd_server *server, httpd_request *r)
{
    char msg[HTTP_TEXT_MAX + 32];
    snprintf(msg, sizeof msg, "File does not exist: %s\n", r->path);
    httpdWriteErrorLog(server, r, kLevelError, msg);
    if (server && server->errorFunction404) return call_error(server->errorFunction404, server, r, 404);
    httpdSetResponse(r, kStatus404);
    httpdSendHeaders(r);
    httpdWriteBody(r, "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n");
    httpdWriteBody(r, "<BODY><H1>The request URL was not found!</H1>\n");
    httpdWriteBody(r, "</BODY></HTML>\n");
}

void httpdSendFile(httpd_server *server, httpd_request *r, const char *path)
{
    if (const char *type = content_type_of(path)) httpdSetContentType(r, type);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        httpdSend404(server, r);
        return;
    }
    char date[40];
    if (strcmp(r->ifModified, httpdDate(st.st_mtime, date, sizeof date)) == 0) {
        close(fd);
        httpdSend304(server, r);
        return;
    }
    httpdWriteHeaders(r, (i64)st.st_size, st.st_mtime);
    char *buf = (char *)os_malloc(HTTP_OUTPUT_MAX);
    if (buf) {
        for (;;) {
            ssize_t n = read(fd, buf, HTTP_OUTPUT_MAX);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            r->responseLength += n;
            if (write_conn(r, buf, (size_t)n) != (int)n) break;
        }
        os_free(buf);
    }
    close(fd);
}

void httpdSendStatic(httpd_server *server, httpd_request *r, const char *data)
{
    char date[40];
    if (strcmp(r->ifModified, httpdDate((time_t)server->startTime, date, sizeof date)) == 0) {
        httpdSend304(server, r);
        return;
    }
    httpdWriteHeaders(r, data ? (i64)strlen(data) : 0, (time_t)server->startTime);
    httpdOutput(r, data);
}

// ---- logs -------------------------------------------------------------------

void httpdWriteAccessLog(httpd_server *server, httpd_request *r)
{
    if (!server || !server->accessLog || !r) return;
    char when[30];
    local_time_text("%d/%b/%Y:%T %Z", when, sizeof when);
    fprintf(server->accessLog, "%s - - [%s] %s \"%s\" %d %lld\n", r->clientAddr, when,
            httpdRequestMethodName(r), r->path, atoi(r->response), (long long)r->responseLength);
    fflush(server->accessLog);
}

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
