// The access list's address parser: what it accepts prints back to the
// same text (without leading zeros), and checking against a list of any
// accepted entries never fails to answer.
#include "fuzz_common.h"

#include "libhttpd/api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts p(data, size, 2);
    u32 addr = 0;
    u8 len = 0;
    if (httpdParseAcl(p[0], &addr, &len) == 0) {
        FUZZ_ASSERT(len <= 32);
        char back[32];
        if (len == 32)
            snprintf(back, sizeof back, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
        else
            snprintf(back, sizeof back, "%u.%u.%u.%u/%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255,
                     addr & 255, len);
        u32 a2 = 0;
        u8 l2 = 0;
        FUZZ_ASSERT(httpdParseAcl(back, &a2, &l2) == 0 && a2 == addr && l2 == len);
    }
    static httpd_server *s = httpdCreate();
    httpd_acl *acl = httpdAddAcl(s, nullptr, p[0], HTTP_ACL_PERMIT);
    net n{};
    n.type = NET_TYPE_MEM;
    n.transport = (u64)(uintptr_t)net_mem_open();
    httpd_request *r = httpdGetConnectionNet(nullptr, &n, p[1]);
    FUZZ_ASSERT(r);
    int rc = httpdCheckAcl(s, r, acl);
    FUZZ_ASSERT(rc == HTTP_ACL_PERMIT || rc == HTTP_ACL_DENY);
    httpdEndRequest(r);
    httpdFreeAcl(acl);
    return 0;
}
