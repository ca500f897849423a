// The HTTP request reader and the answers fed arbitrary bytes through a
// memory net handle.
#include "fuzz_common.h"

#include "libhttpd/api.h"
#include "libpal/env/malloc.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
        httpdProcessRequest(server(), r);
        httpdFlush(r);
        // One head at most: every answer starts with the status line once.
        if (m->written) {
            const char *out = (const char *)m->buf.data + m->buf.len - m->written;
            std::string text(out, m->written);
            size_t first = text.find("HTTP/1.1 ");
            FUZZ_ASSERT(first == 0);
            FUZZ_ASSERT(text.find("\r\nConnection: close\r\n") != std::string::npos);
        }
    } else {
        FUZZ_ASSERT(strlen(r->methodWord) <= HTTP_METHOD_MAX);
    }
    httpdEndRequest(r);
    return 0;
}
