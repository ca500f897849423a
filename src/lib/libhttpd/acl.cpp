// Access control list of the HTTP server: IPv4 network blocks, each
// allowing or denying the clients inside it, checked in the order added.
#include <cstring>
#include <strings.h>

#include "libhttpd/api.h"
#include "libpal/env/malloc.h"

namespace {

// A decimal number of at most max at *p, advancing p; -1 when there is no
// digit or the value is above max.
int read_number(const char **p, int max)
{
    const char *s = *p;
    if (*s < '0' || *s > '9') return -1;
    int v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s - '0');
        if (v > max) return -1;
        ++s;
    }
    *p = s;
    return v;
}

u32 prefix_mask(u8 len)
{
    return len == 0 ? 0 : 0xffffffffu << (32 - len);
}

}  // namespace

int httpdParseAcl(const char *text, u32 *addr, u8 *len)
{
    if (!text) return -1;
    const char *p = text;
    u32 a = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return -1;
            ++p;
        }
        int part = read_number(&p, 255);
        if (part < 0) return -1;
        a = (a << 8) | (u32)part;
    }
    int n = 32;
    if (*p == '/') {
        ++p;
        n = read_number(&p, 32);
        if (n < 0) return -1;
    }
    if (*p) return -1;
    if (addr) *addr = a;
    if (len) *len = (u8)n;
    return 0;
}

httpd_acl *httpdAddAcl(httpd_server *server, httpd_acl *acl, const char *text, int action)
{
    u32 addr = 0;
    u8 len = 0;
    if (httpdParseAcl(text, &addr, &len) != 0) {
        httpdWriteErrorLog(server, nullptr, "error", "Invalid IP address format");
        return nullptr;
    }
    if (action != HTTP_ACL_PERMIT && action != HTTP_ACL_DENY) {
        httpdWriteErrorLog(server, nullptr, "error", "Invalid acl action");
        return nullptr;
    }
    httpd_acl *e = (httpd_acl *)os_zalloc(sizeof(httpd_acl));
    if (!e) return nullptr;
    e->addr = addr;
    e->len = len;
    e->action = (u8)action;
    if (!acl) return e;
    httpd_acl *last = acl;
    while (last->next) last = last->next;
    last->next = e;
    return acl;
}

void httpdSetDefaultAcl(httpd_server *server, httpd_acl *acl)
{
    if (server) server->defaultAcl = acl;
}

void httpdFreeAcl(httpd_acl *acl)
{
    while (acl) {
        httpd_acl *next = acl->next;
        os_free(acl);
        acl = next;
    }
}

int httpdCheckAcl(httpd_server *server, httpd_request *r, httpd_acl *acl)
{
    const char *client = r->clientAddr;
    // A v4-mapped IPv6 client is the IPv4 address it carries.
    if (strncasecmp(client, "::ffff:", 7) == 0 && strchr(client + 7, '.')) client += 7;
    u32 addr = 0;
    u8 len = 0;
    if (httpdParseAcl(client, &addr, &len) == 0) {
        for (httpd_acl *e = acl; e; e = e->next) {
            if (len < e->len) {
                httpdWriteErrorLog(server, r, "error", "IP Address must be more specific than network block");
                continue;
            }
            u32 mask = prefix_mask(e->len);
            if ((addr & mask) != (e->addr & mask)) continue;
            if (e->action == HTTP_ACL_PERMIT) return HTTP_ACL_PERMIT;
            break;
        }
    }
    httpdSend403(server, r);
    httpdWriteErrorLog(server, r, "error", "Access denied by ACL");
    return HTTP_ACL_DENY;
}
