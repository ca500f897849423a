#define LOG_MOD "httpd"
// Records of every file of the server carry the api file's path: it is
// the path their filters and readers know the server by.
#define LOG_SRC "src/lib/libhttpd/api"
// Answers: the head, output with and without templates, the built-in
// answers, files and in-memory text.
#include "libhttpd/httpd_int.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"

using namespace httpd_int;

namespace {

constexpr char kStatus304[] = "304 Not Modified\n";
constexpr char kStatus401[] = "401 Please Authenticate\r\n";
constexpr char kStatus403[] = "403 Permission Denied\n";
constexpr char kStatus404[] = "404 Not Found\n";
constexpr char kStatus405[] = "405 Method Not Allowed\r\n";
constexpr char kStatus501[] = "501 Not Implemented\r\n";
constexpr char kAllow[] = "Allow: GET, POST\r\n";
constexpr char kBadMethod[] = "\n<B>ERROR : Method Not Implemented</B>\n\n";
static_assert(sizeof kBadMethod - 1 == 40, "the method refusal is 40 bytes");
constexpr char kBody403[] = "<HTML><HEAD><TITLE>403 Permission Denied</TITLE></HEAD>\n"
                            "<BODY><H1>Access to the request URL was denied!</H1>\n";
constexpr char kBody404[] = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n"
                            "<BODY><H1>The request URL was not found!</H1>\n"
                            "</BODY></HTML>\n";
// Methods of HTTP this server knows and does not serve (405); any other
// word gets 501.
constexpr const char *kKnownMethods[] = {"HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE"};

constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void append(char *buf, size_t size, size_t *len, const char *text)
{
    size_t n = strlen(text);
    if (*len + 1 >= size) return;
    if (n > size - 1 - *len) n = size - 1 - *len;
    memcpy(buf + *len, text, n);
    *len += n;
    buf[*len] = 0;
}

// Appends head lines (a status, header lines or a content type, as set by
// the server or its callers): every line ends with CR LF on the wire,
// whether its text ends it with a bare LF or not at all. A line is never
// cut: one that does not fit is left out whole.
void append_lines(char *buf, size_t size, size_t *len, const char *text)
{
    const char *p = text;
    while (*p) {
        size_t n = strcspn(p, "\n");
        size_t body = n && p[n - 1] == '\r' ? n - 1 : n;
        if (*len + body + 3 > size) return;
        memcpy(buf + *len, p, body);
        *len += body;
        memcpy(buf + *len, "\r\n", 3);
        *len += 2;
        p += n;
        if (*p == '\n') ++p;
    }
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

// Walks the text with its $name templates expanded, giving each piece to
// put(text, length).
template <typename F>
void expand(httpd_request *r, const char *text, F put)
{
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
}

size_t expanded_length(httpd_request *r, const char *text)
{
    size_t total = 0;
    expand(r, text, [&](const char *, size_t n) { total += n; });
    return total;
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
    expand(r, text, [&](const char *s, size_t n) {
        while (n) {
            size_t room = HTTP_OUTPUT_MAX - len;
            size_t k = n < room ? n : room;
            memcpy(buf + len, s, k);
            len += k;
            s += k;
            n -= k;
            if (len == HTTP_OUTPUT_MAX) flush();
        }
    });
    flush();
    os_free(buf);
    return result;
}

// A file as the answer: its type by its name, 404 when it cannot be
// examined, 304 when the request names its modification time, else the
// head with its size and the file in blocks of 65536 bytes.
void send_file(httpd_server *server, httpd_request *r, const char *path)
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
    write_head(r, (i64)st.st_size, st.st_mtime);
    char *buf = (char *)os_malloc(HTTP_OUTPUT_MAX);
    if (buf) {
        // No more than the head announced, should the file grow meanwhile.
        i64 left = (i64)st.st_size;
        while (left > 0) {
            ssize_t n = read(fd, buf, left < (i64)HTTP_OUTPUT_MAX ? (size_t)left : HTTP_OUTPUT_MAX);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            left -= n;
            r->responseLength += n;
            if (write_conn(r, buf, (size_t)n) != (int)n) break;
        }
        os_free(buf);
    }
    close(fd);
}

}  // namespace

bool httpd_int::flush_out(httpd_request *r)
{
    if (r->outLen == 0) return true;
    int w = net_write(&r->conn, r->outBuf, r->outLen);
    bool ok = w == (int)r->outLen;
    r->outLen = 0;
    return ok;
}

int httpd_int::write_conn(httpd_request *r, const void *data, size_t len)
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
    write_head(r, contentLength > 0 ? contentLength : -1, modTime);
}

// The head, once per request; length < 0 when the body's length is not
// known (the body then ends with the connection).
void httpd_int::write_head(httpd_request *r, i64 contentLength, time_t modTime)
{
    if (r->headersSent) return;
    r->headersSent = 1;
    char head[4096];
    size_t len = 0;
    head[0] = 0;
    char date[40];
    append(head, sizeof head, &len, "HTTP/1.1 ");
    append_lines(head, sizeof head, &len, r->response[0] ? r->response : "\n");
    append_lines(head, sizeof head, &len, r->headers);
    append(head, sizeof head, &len, "Date: ");
    append(head, sizeof head, &len, httpdDate(time(nullptr), date, sizeof date));
    append(head, sizeof head, &len, "\r\nConnection: close\r\nContent-Type: ");
    append_lines(head, sizeof head, &len, r->contentType[0] ? r->contentType : "\n");
    append(head, sizeof head, &len, "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n");
    if (contentLength >= 0) {
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
    write_head(r, -1, 0);
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
    write_head(r, (i64)length, 0);
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
    httpdSendStr(r, "\r\n");
    return 0;
}

void httpdForceAuthenticate(httpd_request *r, const char *realm)
{
    char line[256];
    snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\n", realm ? realm : "");
    httpdSetResponse(r, kStatus401);
    httpdAddHeader(r, line);
    httpdSendStr(r, "\n");
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

// ---- built-in answers, files and static text --------------------------------

void httpdSend304(httpd_server *server, httpd_request *r)
{
    if (server && server->errorFunction304) return call_error(server->errorFunction304, server, r, 304);
    httpdSetResponse(r, kStatus304);
    httpdSendHeaders(r);
}

void httpdSend403(httpd_server *server, httpd_request *r, const char *note)
{
    if (server && server->errorFunction403) return call_error(server->errorFunction403, server, r, 403);
    httpdSetResponse(r, kStatus403);
    if (!note) return (void)httpdSendData(r, kBody403, sizeof kBody403 - 1);
    char body[2048];  // the page and a short note
    int n = snprintf(body, sizeof body, "%s%s", kBody403, note);
    httpdSendData(r, body, n < 0 ? 0 : (size_t)n < sizeof body ? (size_t)n : sizeof body - 1);
}

void httpdSend404(httpd_server *server, httpd_request *r)
{
    if (server && server->errorLog) {
        char msg[HTTP_TEXT_MAX + 32];
        snprintf(msg, sizeof msg, "File does not exist: %s\n", str_log_esc<HTTP_TEXT_MAX>(r->path).c_str());
        httpdWriteErrorLog(server, r, kLevelError, msg);
    }
    if (server && server->errorFunction404) return call_error(server->errorFunction404, server, r, 404);
    httpdSetResponse(r, kStatus404);
    httpdSendData(r, kBody404, sizeof kBody404 - 1);
}

void httpdSendFile(httpd_server *server, httpd_request *r, const char *path)
{
    send_file(server, r, path);
}

void httpdSendFileEntry(httpd_server *server, httpd_request *r, const char *path)
{
    send_file(server, r, path);
}

const char *httpdFixedAnswer(int code)
{
    switch (code) {
    case 400: return "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    case 414: return "HTTP/1.1 414 URI Too Long\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    case 431: return "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    case 503: return "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    default: return nullptr;
    }
}

void httpd_int::send_bad_method(httpd_request *r)
{
    const char *word = r->methodWord;
    bool known = false;
    for (const char *m : kKnownMethods) known = known || strcasecmp(word, m) == 0;
    // The word as sent, escaped for the page it is shown in.
    char body[sizeof kBadMethod + 5 * HTTP_METHOD_MAX];
    size_t len = sizeof kBadMethod - 1;
    memcpy(body, kBadMethod, len);
    for (const char *p = word; *p; ++p) {
        const char *e = *p == '<' ? "&lt;" : *p == '>' ? "&gt;" : *p == '&' ? "&amp;" : nullptr;
        size_t n = e ? strlen(e) : 1;
        if (len + n >= sizeof body) break;
        memcpy(body + len, e ? e : p, n);
        len += n;
    }
    httpdSetResponse(r, known ? kStatus405 : kStatus501);
    if (known) httpdAddHeader(r, kAllow);
    if (strcasecmp(word, "HEAD") == 0) write_head(r, (i64)len, 0);  // the length of what GET would give
    else httpdSendData(r, body, len);
}

void httpdSendStatic(httpd_server *server, httpd_request *r, const char *data)
{
    char date[40];
    if (strcmp(r->ifModified, httpdDate((time_t)server->startTime, date, sizeof date)) == 0) {
        httpdSend304(server, r);
        return;
    }
    // The length is that of the text as it goes out, templates expanded.
    write_head(r, data ? (i64)expanded_length(r, data) : 0, (time_t)server->startTime);
    httpdOutput(r, data);
}
