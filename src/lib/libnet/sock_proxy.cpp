#define LOG_MOD "net"
#define LOG_SRC "src/lib/libnet/sock_proxy"
#include "libnet/sock_proxy.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/os/posix/addrinfo.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_path.h"

#define ERR_SET(err, code, ...) os_err_set((err), LOG_SRC, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr size_t kWorkSize = 4096;
constexpr size_t kSocks5FieldMax = 255;
const char kTooLong[] = "proxy request too long";
const char kSendError[] = "proxy send error";

// A request built in a fixed work buffer; anything that does not fit marks
// it failed, so that a cut request is never sent.
struct request {
    char data[kWorkSize];
    size_t len = 0;
    bool fits = true;

    void put(const void *p, size_t n)
    {
        if (!fits || n > sizeof data - len) {
            fits = false;
            return;
        }
        memcpy(data + len, p, n);
        len += n;
    }
    void put_byte(u8 b) { put(&b, 1); }
    void put_u16(u16 v)
    {
        put_byte((u8)(v >> 8));
        put_byte((u8)v);
    }
    // A text with its NUL.
    void put_cstr(const char *s) { put(s, strlen(s) + 1); }
    void printf(const char *fmt, ...) OS_PRINTF(2, 3)
    {
        if (!fits) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(data + len, sizeof data - len, fmt, ap);
        va_end(ap);
        if (n < 0 || (size_t)n >= sizeof data - len) {
            fits = false;
            data[len] = 0;
            return;
        }
        len += (size_t)n;
    }
    ~request() { explicit_bzero(data, sizeof data); }
};

// Reads and writes of one handshake. The handle's timeout on entry is the
// limit of the whole handshake: each transfer gets what is left of it. The
// handle's own timeout is restored at the end.
class exchange {
  public:
    explicit exchange(net *n) : n_(n), limit_(n->timeout), start_(os_mono_ms()) {}
    ~exchange() { n_->timeout = limit_; }
    exchange(const exchange &) = delete;
    exchange &operator=(const exchange &) = delete;

    int read(void *data, size_t size)
    {
        left();
        return net_read(n_, data, size);
    }
    // True when every byte went out.
    bool write(const void *data, size_t size)
    {
        left();
        return net_write(n_, data, size) == (int)size;
    }
    bool send(const request &r) { return r.fits && write(r.data, r.len); }

  private:
    void left()
    {
        if (limit_ < 0) return;
        u64 used = os_mono_ms() - start_;
        n_->timeout = used >= (u64)limit_ ? 0 : (i32)((u64)limit_ - used);
    }
    net *n_;
    i32 limit_;
    u64 start_;
};

bool is_ipv6_text(const char *host)
{
    const char *c = strchr(host, ':');
    return c && strchr(c + 1, ':');
}

bool socks5_field_fits(const char *what, const char *text, os_err *err)
{
    if (strlen(text) <= kSocks5FieldMax) return true;
    ERR_SET(err, -1, "proxy %s too long (at most %d bytes)", what, (int)kSocks5FieldMax);
    return false;
}

// The SOCKS5 reply texts by reply code.
const char *socks5_reply_text(int code)
{
    static const char *const texts[] = {
        nullptr,
        "General SOCKS server failure!",
        "Connection not allowed by ruleset!",
        "Network unreachable!",
        "Host unreachable!",
        "Connection refused!",
        "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",
        "Address type not supported!",
    };
    return code > 0 && code < (int)(sizeof texts / sizeof texts[0]) ? texts[code] : nullptr;
}

// The end of an HTTP reply head: CR LF CR LF, or CR LF LF. False when the
// head ended; true while more bytes belong to it.
struct head_end {
    int cur = 0, prev = 0;
    bool more(u8 c)
    {
        int next;
        if (c == '\r') {
            next = 1;
            cur = prev;
        } else if (c == '\n') {
            if (cur && prev) return false;
            next = cur;
        } else {
            next = 0;
            cur = 0;
        }
        prev = cur;
        cur = next;
        return true;
    }
};

}  // namespace

int proxy_http_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err)
{
    OS_CHECK_RET(n && host && proxy, -1);
    LOG_DBG("==>\n");
    request req;
    const char *fmt = is_ipv6_text(host) ? "CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n"
                                         : "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n";
    req.printf(fmt, host, port, host, port);
    // The log shows the request with the credentials masked.
    size_t auth_at = 0, auth_end = 0;
    if (proxy->user[0]) {
        char cred[kWorkSize];
        char b64[kWorkSize];
        int c = snprintf(cred, sizeof cred, "%s:%s", proxy->user, proxy->passwd);
        bool ok = c >= 0 && (size_t)c < sizeof cred && PL_BASE64_ENCODE_LEN(c) <= sizeof b64;
        if (ok) str_base64_encode_std(cred, b64, sizeof b64);
        req.printf("Proxy-Authorization: Basic ");
        auth_at = req.len;
        if (ok) req.printf("%s", b64);
        else req.fits = false;
        auth_end = req.len;
        req.printf("\r\n");
        explicit_bzero(cred, sizeof cred);
        explicit_bzero(b64, sizeof b64);
    }
    req.printf("\r\n");
    exchange io(n);
    if (!req.fits) {
        ERR_SET(err, -1, "%s", kTooLong);
        return -1;
    }
    if (auth_at)
        LOG_VERB("[%.*s***%s]", (int)auth_at, req.data, req.data + auth_end);
    else
        LOG_VERB("[%s]", req.data);
    if (!io.send(req)) {
        ERR_SET(err, -1, "%s", kSendError);
        return -1;
    }

    char buf[16] = {};
    int r = io.read(buf, 12);
    LOG_VERB("ret=%d\n", r);
    if (r != 12) {
        ERR_SET(err, -1, "proxy recv len error");
        LOG_DBG("net_read ret=%d !=12 error\n", r);
        return -1;
    }
    if (buf[9] != '2') {
        buf[11] = 0;
        LOG_DBG("net_read [%s] buf[9]=%c !=2 error\n", buf, buf[9]);
        ERR_SET(err, -1, "%s", buf[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
        return -1;
    }
    LOG_VERB("read last...\n");
    head_end end;
    for (size_t head = 12;; ++head) {
        if (head >= PROXY_HTTP_HEAD_MAX) {
            ERR_SET(err, -1, "proxy reply head longer than %d bytes", (int)PROXY_HTTP_HEAD_MAX);
            return -1;
        }
        u8 c;
        if (io.read(&c, 1) != 1) {
            ERR_SET(err, -1, "proxy read return error");
            return -1;
        }
        if (!end.more(c)) break;
    }
    LOG_DBG("proxy init ok!!\n");
    return 0;
}

int proxy_sock4_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err)
{
    OS_CHECK_RET(n && host && proxy, -1);
    LOG_DBG("==>\n");
    bool v6_text = is_ipv6_text(host);
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    // A name with both kinds of address resolves to its IPv4 one here.
    if (!v6_text) os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4);
    if (!os_addrinfo_addr(host, &addr)) {
        ERR_SET(err, -2, "addrinfo_addr %s error", host);
        return -1;
    }
    if (v6_text || os_ipaddr_family(&addr) != OS_IPADDR_FAMILY_IPV4) {
        ERR_SET(err, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    const os_ipv4 *ip = os_ipaddr_ipv4(&addr);
    static const u8 all_ones[4] = {255, 255, 255, 255};
    bool socks4a = memcmp(ip->addr, all_ones, 4) == 0;
    request req;
    req.put_byte(4);
    req.put_byte(1);
    req.put_u16((u16)port);
    if (socks4a) {
        static const u8 marker[4] = {0, 0, 0, 1};
        req.put(marker, 4);
    } else {
        req.put(ip->addr, 4);
        u32 a;
        memcpy(&a, ip->addr, 4);
        LOG_VERB("hostaddr=%x\n", (unsigned)ntohl(a));
    }
    req.put_cstr(proxy->user);
    if (socks4a) {
        req.put_cstr(host);
        LOG_DBG("use socks4a\n");
    }
    exchange io(n);
    if (!req.fits) {
        ERR_SET(err, -1, "%s", kTooLong);
        return -1;
    }
    if (!io.send(req)) {
        ERR_SET(err, -1, "%s", kSendError);
        return -1;
    }
    u8 buf[8] = {};
    int r = io.read(buf, sizeof buf);
    if (r == 8 && buf[0] == 0 && buf[1] == 0x5A) return 0;
    LOG_DBG("ret=%d error\n", r);
    ERR_SET(err, -1, "proxy read return error");
    return -1;
}

int proxy_sock5_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err)
{
    OS_CHECK_RET(n && host && proxy, -1);
    LOG_DBG("=>\n");
    const bool auth = proxy->user[0] != 0;
    // The address form of the target.
    u8 atyp = 3;
    in_addr_t v4 = inet_addr(host);
    os_ipv6 v6;
    os_ipv6_clear(&v6);
    if (v4 != INADDR_NONE) atyp = 1;
    else if (is_ipv6_text(host) && os_ipv6_cstr_set(&v6, host)) atyp = 4;
    // Every length travels in one byte: longer fields are refused before
    // anything is sent.
    if (auth && (!socks5_field_fits("user", proxy->user, err) ||
                 !socks5_field_fits("password", proxy->passwd, err)))
        return -1;
    if (atyp == 3 && !socks5_field_fits("host name", host, err)) return -1;

    exchange io(n);
    static const u8 greet_plain[] = {5, 1, 0};
    static const u8 greet_auth[] = {5, 2, 0, 2};
    bool sent = auth ? io.write(greet_auth, sizeof greet_auth) : io.write(greet_plain, sizeof greet_plain);
    if (!sent) {
        ERR_SET(err, -1, "%s", kSendError);
        return -1;
    }
    u8 buf[kWorkSize] = {};
    int r = io.read(buf, 2);
    // Only a method that was offered is taken.
    int method = buf[1];
    if (method != 0 && !(auth && method == 2)) method = 0xFF;
    if (r != 2 || buf[0] != 5 || method == 0xFF) {
        LOG_DBG("nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", r, buf[0], method);
        ERR_SET(err, -2, "Proxy read return error");
        return -1;
    }
    if (method == 2) {
        request sub;
        sub.put_byte(1);
        sub.put_byte((u8)strlen(proxy->user));
        sub.put(proxy->user, strlen(proxy->user));
        sub.put_byte((u8)strlen(proxy->passwd));
        sub.put(proxy->passwd, strlen(proxy->passwd));
        if (!io.send(sub)) {
            ERR_SET(err, -1, "%s", kSendError);
            return -1;
        }
        memset(buf, 0, 2);
        r = io.read(buf, 2);
        if (r != 2 || buf[1] != 0) {
            ERR_SET(err, -2, "Proxy password or user name error");
            return -1;
        }
    }

    request req;
    static const u8 head[] = {5, 1, 0};
    req.put(head, sizeof head);
    req.put_byte(atyp);
    if (atyp == 1) {
        req.put(&v4, 4);
    } else if (atyp == 4) {
        req.put(v6.addr, 16);
    } else {
        req.put_byte((u8)strlen(host));
        req.put(host, strlen(host));
    }
    req.put_u16((u16)port);
    if (!io.send(req)) {
        ERR_SET(err, -1, "%s", kSendError);
        return -1;
    }

    memset(buf, 0, 4);
    r = io.read(buf, 4);
    if (r == 4 && buf[0] == 5 && buf[1] == 0) {
        // The bound address and port follow; their length depends on the
        // address type.
        int want;
        switch (buf[3]) {
        case 1: want = 6; break;
        case 4: want = 18; break;
        case 3:
            if (io.read(buf, 1) != 1) {
                ERR_SET(err, -1, "Proxy read return error");
                return -1;
            }
            want = buf[0] + 2;
            break;
        default:
            ERR_SET(err, -1, "Proxy reply address type 0x%x unknown", buf[3]);
            return -1;
        }
        if (io.read(buf, (size_t)want) == want) return 0;
        ERR_SET(err, -1, "Proxy read return error");
        return -1;
    }
    const char *text = socks5_reply_text(buf[1]);
    if (text)
        ERR_SET(err, -1, "%s", text);
    else
        ERR_SET(err, -1, "proxy unkown error: %d", buf[1]);
    return -1;
}

u64 proxy_tcp_connect(const char *host, int port, const sock_opt *options, os_err *err)
{
    OS_CHECK_RET(host && options, 0);
    LOG_VERB("==>\n");
    const sock_proxy *proxy = &options->proxy;
    if (proxy->type != SOCK_PROXY_HTTP && proxy->type != SOCK_PROXY_SOCKS4 && proxy->type != SOCK_PROXY_SOCKS5) {
        ERR_SET(err, -1, "Unsupported proxy type=%d", (int)proxy->type);
        return 0;
    }
    // The proxy itself is reached directly, with the caller's other options.
    sock_opt direct = {};
    direct.timeout = options->timeout;
    direct.buffer_size = options->buffer_size;
    direct.no_wait = options->no_wait;
    direct.cancel = options->cancel;
    u64 s = sock_tcp_connect(proxy->host, (int)proxy->port, &direct, err);
    if (!s) {
        LOG_DBG("connect proxy server %s:%d failed\n", proxy->host, (int)proxy->port);
        return 0;
    }
    LOG_DBG("connect proxy ip=%s port=%d ok!\n", proxy->host, (int)proxy->port);
    net n = {};
    n.type = NET_TYPE_SOCK;
    n.transport = s;
    n.timeout = options->timeout > 0x7fffffff ? 0x7fffffff : (i32)options->timeout;
    n.cancel = options->cancel;
    int r = proxy->type == SOCK_PROXY_HTTP     ? proxy_http_init(&n, host, port, proxy, err)
          : proxy->type == SOCK_PROXY_SOCKS4 ? proxy_sock4_init(&n, host, port, proxy, err)
                                             : proxy_sock5_init(&n, host, port, proxy, err);
    if (r != 0) {
        sock_close(s);
        return 0;
    }
    return s;
}
