// The HTTP request reader and the answers fed arbitrary bytes through a
// memory net handle; the scan of heads arriving in pieces agrees with it.
#include "fuzz_common.h"

#include "libhttpd/api.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"

namespace {

int echo_vars(httpd_server *, httpd_request *r)
{
    for (httpd_var *v = r->variables; v; v = v->nextVariable)
        for (httpd_var *val = v; val; val = val->nextValue) httpdPrintf(r, "%s=%s&", v->name, val->value);
    httpdOutput(r, "$a $b $ $x_1$");
    return 0;
}

int auth(httpd_server *, httpd_request *r)
{
    if (httpdAuthenticate(r, "velta")) httpdSendStr(r, r->authUser);
    return 0;
}

httpd_server *server()
{
    static httpd_server *s = [] {
        httpd_server *srv = httpdCreate();
        httpdAddCContent(srv, "/", "v", 0, nullptr, echo_vars);
        httpdAddCContent(srv, "/a/b", "", 1, nullptr, auth);
        httpdAddStaticContent(srv, "/s", "t", 0, nullptr, "static $a");
        httpdAddCWildcardContent(srv, "/w", nullptr, echo_vars);
        return srv;
    }();
    return s;
}

// The request read from data, given only its first len bytes.
struct read_result {
    int rc;
    u32 method;
    std::string path, query;
    bool ended;  // its head ended with its empty line
    i64 body;
};

read_result read_prefix(const uint8_t *data, size_t len)
{
    net n{};
    n.type = NET_TYPE_MEM;
    n.transport = (u64)(uintptr_t)net_mem_open();
    httpd_request *r = httpdGetConnectionNet(server(), &n, "192.0.2.1");
    FUZZ_ASSERT(r);
    char *ahead = (char *)os_malloc(len ? len : 1);
    FUZZ_ASSERT(ahead);
    memcpy(ahead, data, len);
    httpdSetInput(r, ahead, len, os_mono_ms(), 1);
    int rc = httpdReadRequest(server(), r);
    read_result res{rc, r->method, r->path, r->query, r->headDone != 0, r->contentLength};
    httpdEndRequest(r);
    return res;
}

// Scanned in two pieces, the head is "ready" only once the reader needs no
// more than the bytes scanned, and as soon as it does.
void check_scan(const uint8_t *data, size_t size)
{
    httpd_head_scan scan;
    httpdHeadScanInit(&scan);
    size_t cut = size ? data[0] % (size + 1) : 0;
    size_t ready = 0;
    int st = httpdHeadScan(&scan, (const char *)data, cut);
    if (st == HTTPD_HEAD_READY) ready = cut;
    else if (st == HTTPD_HEAD_MORE && (st = httpdHeadScan(&scan, (const char *)data, size)) == HTTPD_HEAD_READY)
        ready = size;
    httpdHeadScanFree(&scan);
    read_result whole = read_prefix(data, size);
    if (st == HTTPD_HEAD_MORE) {
        // Not a refused method, and not a whole head but for a POST body.
        FUZZ_ASSERT(whole.rc == 0 || whole.method != HTTP_NONE);
        FUZZ_ASSERT(!whole.ended || (whole.method == HTTP_POST && whole.body > 0));
    }
    if (!ready) return;
    read_result part = read_prefix(data, ready);
    FUZZ_ASSERT(part.rc == whole.rc && part.method == whole.method);
    FUZZ_ASSERT(part.path == whole.path && part.query == whole.query);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_scan(data, size);
    net n{};
    n.type = NET_TYPE_MEM;
    net_mem *m = net_mem_open();
    n.transport = (u64)(uintptr_t)m;
    if (size) net_mem_write(m, data, size);
    httpd_request *r = httpdGetConnectionNet(server(), &n, "192.0.2.1");
    FUZZ_ASSERT(r);
    if (httpdReadRequest(server(), r) == 0) {
        FUZZ_ASSERT(strlen(r->path) < HTTP_TEXT_MAX);
        FUZZ_ASSERT(strlen(r->query) < HTTP_TEXT_MAX);
        FUZZ_ASSERT(strlen(r->host) < HTTP_TEXT_MAX);
        FUZZ_ASSERT(strlen(r->authUser) < HTTP_AUTH_MAX && strlen(r->authPassword) < HTTP_AUTH_MAX);
        FUZZ_ASSERT(strstr(r->path, "//") == nullptr);
        FUZZ_ASSERT(strstr(r->path, "/./") == nullptr && strstr(r->path, "/../") == nullptr);
        FUZZ_ASSERT(strchr(r->path, '?') == nullptr);
        // A byte above 127 is refused in the request line and the Host.
        for (const char *t : {(const char *)r->path, (const char *)r->query, (const char *)r->host})
            for (; *t; ++t) FUZZ_ASSERT((unsigned char)*t < 0x80);
        httpdProcessRequest(server(), r);
        httpdFlush(r);
        // One head at most: every answer starts with the status line once.
        if (m->written) {
            const char *out = (const char *)m->buf.data + m->buf.len - m->written;
            std::string text(out, m->written);
            size_t first = text.find("HTTP/1.1 ");
            FUZZ_ASSERT(first == 0);
            size_t end = text.find("\r\n\r\n");
            FUZZ_ASSERT(end != std::string::npos);
            for (size_t p = 0; p < end; ++p) FUZZ_ASSERT(text[p] != '\n' || text[p - 1] == '\r');
            FUZZ_ASSERT(text.find("\r\nConnection: close\r\n") != std::string::npos);
        }
    } else {
        FUZZ_ASSERT(strlen(r->methodWord) <= HTTP_METHOD_MAX);
        // A request not served gets a whole answer or none.
        httpdFlush(r);
        std::string text((const char *)m->buf.data + m->buf.len - m->written, m->written);
        if (!text.empty()) {
            size_t end = text.find("\r\n\r\n");
            FUZZ_ASSERT(text.rfind("HTTP/1.1 ", 0) == 0 && end != std::string::npos);
            for (size_t p = 0; p < end; ++p) FUZZ_ASSERT(text[p] != '\n' || text[p - 1] == '\r');
        }
    }
    httpdEndRequest(r);
    return 0;
}
