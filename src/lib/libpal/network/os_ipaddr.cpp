#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/network/os_ipaddr"
#include "libpal/network/os_ipaddr.h"

#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

inline u8 fam(const os_ipaddr *a) { return a->family & OS_IPADDR_FAMILY_MASK; }
inline bool has_ip(const os_ipaddr *a) { return (a->family & OS_IPADDR_IP_FLAG) != 0; }
inline void set_fam(os_ipaddr *a, u8 f, bool ip) { a->family = (u8)(f | (ip ? OS_IPADDR_IP_FLAG : 0)); }

constexpr u8 kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_mapped(const os_ipv6 *ip6) { return memcmp(ip6->addr, kMappedPrefix, 12) == 0; }

void ipv4_to_mapped(os_ipaddr *a)
{
    os_ipv4 v4 = a->u.ipv4;
    os_ipv6 v6 = {};
    memcpy(v6.addr, kMappedPrefix, 12);
    memcpy(v6.addr + 12, v4.addr, 4);
    a->u.ipv6 = v6;
}

// Reads a dotted IPv4 text; parts holds what was read so far either way.
bool parse_ipv4(const char *s, u8 parts[4])
{
    u32 cur = 0;
    int n = 0;
    memset(parts, 0, 4);
    for (;; ++s) {
        char c = *s;
        if (c >= '0' && c <= '9') {
            cur = cur * 10 + (u32)(c - '0');
            if (cur > 255) return false;
            continue;
        }
        if (c != '.' && c != 0) return false;
        if (n >= 4) return false;
        parts[n++] = (u8)cur;
        cur = 0;
        if (c == 0) break;
    }
    return n == 4;
}

bool parse_ipv6(const char *s, u8 out[16], u32 *scope)
{
    u16 groups[8] = {};
    int n = 0;
    u32 cur = 0;
    bool dbl = false;
    *scope = 0;

    if (strncasecmp(s, "::ffff:", 7) == 0) {
        u8 v4[4];
        if (parse_ipv4(s + 7, v4)) {
            memset(out, 0, 16);
            out[10] = out[11] = 0xff;
            memcpy(out + 12, v4, 4);
            return true;
        }
    }
    if (strncmp(s, "::", 2) == 0) {
        u8 v4[4];
        if (parse_ipv4(s + 2, v4)) {
            memset(out, 0, 16);
            memcpy(out + 12, v4, 4);
            return true;
        }
    }

    for (size_t i = 0;;) {
        char c = s[i];
        int h = hex_val_table(c);
        if (h >= 0) {
            cur = cur * 16 + (u32)h;
            if (cur > 0xffff) return false;
            ++i;
            continue;
        }
        if (c == ':') {
            if (s[i + 1] == ':') {
                if (dbl || s[i + 2] == ':') return false;
                dbl = true;
                if (n >= 8) return false;
                groups[n++] = (u16)cur;
                cur = 0;
                int colons = 0;
                for (const char *p = s + i + 1; *p; ++p)
                    if (*p == ':') ++colons;
                int z = 8 - n - colons;
                if (colons > 6 || z < 1) return false;
                for (int k = 0; k < z; ++k) groups[n++] = 0;
                i += 2;
                continue;
            }
            if (n >= 8 || i == 0) return false;
            groups[n++] = (u16)cur;
            cur = 0;
            ++i;
            continue;
        }
        if (c == '%') {
            if (n != 7) return false;
            groups[n++] = (u16)cur;
            const char *p = s + i + 1;
            if (*p == 0) return false;
            u64 sc = 0;
            while (*p >= '0' && *p <= '9') {
                sc = sc * 10 + (u64)(*p - '0');
                if (sc > 0xffffffffull) sc = 0xffffffffull;
                ++p;
            }
            *scope = (u32)sc;
            break;
        }
        if (c == 0) {
            if (n >= 8) return false;
            groups[n++] = (u16)cur;
            if (n != 8) return false;
            break;
        }
        return false;
    }
    for (int k = 0; k < 8; ++k) {
        out[2 * k] = (u8)(groups[k] >> 8);
        out[2 * k + 1] = (u8)groups[k];
    }
    return true;
}

}  // namespace

// ---- IPv4 ----------------------------------------------------------------

void os_ipv4_clear(os_ipv4 *ip)
{
    OS_CHECK_TXT(ip, "ipv4", );
    memset(ip, 0, sizeof *ip);
}

int os_ipv4_is_any(const os_ipv4 *ip)
{
    OS_CHECK_TXT(ip, "ipv4", 1);
    return ip->addr[0] == 0 && ip->addr[1] == 0 && ip->addr[2] == 0 && ip->addr[3] == 0;
}

int os_ipv4_is_loopback(const os_ipv4 *ip)
{
    OS_CHECK_TXT(ip, "ipv4", 0);
    return ip->addr[0] == 127 && ip->addr[1] == 0 && ip->addr[2] == 0 && ip->addr[3] == 1;
}

int os_ipv4_is_equal(const os_ipv4 *ip, const os_ipv4 *other)
{
    OS_CHECK_TXT(ip && other, "ipv4 && other", 0);
    return memcmp(ip->addr, other->addr, 4) == 0;
}

char *os_ipv4_cstr(const os_ipv4 *ip, char *data, size_t maxn)
{
    OS_CHECK_TXT(ip && data && maxn >= OS_IPV4_CSTR_MAXN,
                 "ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN", nullptr);
    snprintf(data, maxn, "%u.%u.%u.%u", ip->addr[0], ip->addr[1], ip->addr[2], ip->addr[3]);
    return data;
}

int os_ipv4_cstr_set(os_ipv4 *ip, const char *text)
{
    OS_CHECK_TXT(text, "cstr", 0);
    u8 parts[4];
    bool ok = parse_ipv4(text, parts);
    if (ip) memcpy(ip->addr, parts, 4);
    return ok ? 1 : 0;
}

// ---- IPv6 ----------------------------------------------------------------

void os_ipv6_clear(os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", );
    memset(ip6, 0, sizeof *ip6);
}

int os_ipv6_is_any(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    static constexpr u8 zero[16] = {};
    return memcmp(ip6->addr, zero, 16) == 0;
}

int os_ipv6_is_loopback(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    static constexpr u8 lo[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(ip6->addr, lo, 16) == 0;
}

int os_ipv6_is_linklocal(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    return ip6->addr[0] == 0xfe && (ip6->addr[1] & 0xc0) == 0x80;
}

int os_ipv6_is_sitelocal(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    return ip6->addr[0] == 0xfe && (ip6->addr[1] & 0xc0) == 0xc0;
}

int os_ipv6_is_multicast(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    return ip6->addr[0] == 0xff;
}

int os_ipv6_is_mc_linklocal(const os_ipv6 *ip6)
{
    OS_CHECK_TXT(ip6, "ipv6", 1);
    return ip6->addr[0] == 0xff && (ip6->addr[1] & 0x0f) == 2;
}

static bool ipv6_scoped(const os_ipv6 *ip6)
{
    return os_ipv6_is_linklocal(ip6) || os_ipv6_is_mc_linklocal(ip6);
}

int os_ipv6_is_equal(const os_ipv6 *ip6, const os_ipv6 *other)
{
    OS_CHECK_TXT(ip6 && other, "ipv6 && other", 0);
    if (ipv6_scoped(ip6) && ip6->scope_id != other->scope_id) return 0;
    return memcmp(ip6->addr, other->addr, 16) == 0;
}

char *os_ipv6_cstr(const os_ipv6 *ip6, char *data, size_t maxn)
{
    OS_CHECK_TXT(ip6 && data && maxn >= OS_IPV6_CSTR_MAXN,
                 "ipv6 && data && maxn >= OS_IPV6_CSTR_MAXN", nullptr);
    u32 g[8];
    for (int k = 0; k < 8; ++k) g[k] = (u32)ip6->addr[2 * k] << 8 | ip6->addr[2 * k + 1];
    char scope[16] = "";
    if (ipv6_scoped(ip6)) snprintf(scope, sizeof scope, "%%%u", ip6->scope_id);
    snprintf(data, maxn, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", g[0], g[1], g[2], g[3], g[4],
             g[5], g[6], g[7], scope);
    return data;
}

int os_ipv6_cstr_set(os_ipv6 *ip6, const char *text)
{
    OS_CHECK_TXT(text, "cstr", 0);
    u8 addr[16];
    u32 scope = 0;
    if (!parse_ipv6(text, addr, &scope)) return 0;
    if (ip6) {
        // The two embedded-IPv4 forms carry no scope; only the bytes change.
        bool embedded = strchr(text, '.') != nullptr;
        if (!embedded) ip6->scope_id = scope;
        memcpy(ip6->addr, addr, 16);
    }
    return 1;
}

// ---- local socket paths --------------------------------------------------

void os_unixaddr_clear(os_unixaddr *ua)
{
    OS_CHECK_TXT(ua, "unixaddr", );
    memset(ua->path, 0, sizeof ua->path);
}

int os_unixaddr_is_abstract(const os_unixaddr *ua)
{
    return ua ? ua->abstract : 0;
}

int os_unixaddr_is_equal(const os_unixaddr *ua, const os_unixaddr *other)
{
    OS_CHECK_TXT(ua && other, "unixaddr && other", 0);
    return strncmp(ua->path, other->path, sizeof ua->path) == 0;
}

char *os_unixaddr_cstr(const os_unixaddr *ua, char *data, size_t maxn)
{
    OS_CHECK_TXT(ua && data && maxn >= OS_UNIXADDR_CSTR_MAXN,
                 "unixaddr && data && maxn >= OS_UNIXADDR_CSTR_MAXN", nullptr);
    snprintf(data, maxn, "%.*s", (int)sizeof ua->path, ua->path);
    return data;
}

int os_unixaddr_cstr_set(os_unixaddr *ua, const char *text, int abstract)
{
    OS_CHECK_TXT(text, "cstr", 0);
    OS_CHECK_TXT(ua, "unixaddr", 0);
    size_t n = strlen(text);
    // An abstract name is stored after a leading NUL in the system address,
    // so it has one byte less room than a path.
    size_t room = sizeof ua->path - (abstract ? 1 : 0);
    if (n >= room) {
        LOG_ERR("unix path too long (%zu >= %zu): %.32s...\n", n, room, text);
        return 0;
    }
    ua->abstract = abstract ? 1 : 0;
    memset(ua->path, 0, sizeof ua->path);
    memcpy(ua->path, text, n);
    return 1;
}

// ---- tagged address ------------------------------------------------------

void os_ipaddr_clear(os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", );
    memset(a, 0, sizeof *a);
}

void os_ipaddr_copy(os_ipaddr *a, const os_ipaddr *src)
{
    OS_CHECK_TXT(a && src, "ipaddr && copied", );
    if (a == src) return;
    if (!has_ip(src)) {
        // No address to copy: the destination ends without one as well.
        a->family = fam(src);
        a->port = src->port;
        memset(&a->u, 0, sizeof a->u);
        return;
    }
    if (fam(src) == OS_IPADDR_FAMILY_IPV4) {
        a->port = src->port;
        set_fam(a, OS_IPADDR_FAMILY_IPV4, true);
        a->u.ipv4 = src->u.ipv4;
        return;
    }
    *a = *src;
}

void os_ipaddr_ip_clear(os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", );
    a->family &= OS_IPADDR_FAMILY_MASK;
}

int os_ipaddr_ip_is_empty(const os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", 1);
    return has_ip(a) ? 0 : 1;
}

int os_ipaddr_is_empty(const os_ipaddr *a)
{
    return os_ipaddr_ip_is_empty(a);
}

int os_ipaddr_ip_is_any(const os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", 1);
    if (!has_ip(a)) return 1;
    switch (fam(a)) {
    case OS_IPADDR_FAMILY_IPV4: return os_ipv4_is_any(&a->u.ipv4);
    case OS_IPADDR_FAMILY_IPV6: return os_ipv6_is_any(&a->u.ipv6);
    case OS_IPADDR_FAMILY_UNIX: return 0;
    default: return 1;
    }
}

int os_ipaddr_ip_is_loopback(const os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", 1);
    switch (fam(a)) {
    case OS_IPADDR_FAMILY_IPV4: return os_ipv4_is_loopback(&a->u.ipv4);
    case OS_IPADDR_FAMILY_IPV6: return os_ipv6_is_loopback(&a->u.ipv6);
    default: return 0;
    }
}

int os_ipaddr_ip_is_equal(const os_ipaddr *a, const os_ipaddr *b)
{
    OS_CHECK_TXT(a && b, "ipaddr && other", 0);
    if (!has_ip(a) && !has_ip(b)) return 1;
    if (!has_ip(a) || !has_ip(b)) return 0;
    u8 fa = fam(a), fb = fam(b);
    if (fa == OS_IPADDR_FAMILY_IPV4 && fb == OS_IPADDR_FAMILY_IPV4)
        return os_ipv4_is_equal(&a->u.ipv4, &b->u.ipv4);
    if (fa == OS_IPADDR_FAMILY_IPV6 && fb == OS_IPADDR_FAMILY_IPV6)
        return os_ipv6_is_equal(&a->u.ipv6, &b->u.ipv6);
    if (fa == OS_IPADDR_FAMILY_UNIX && fb == OS_IPADDR_FAMILY_UNIX)
        return os_unixaddr_is_equal(&a->u.un, &b->u.un);
    if (fa == OS_IPADDR_FAMILY_UNIX || fb == OS_IPADDR_FAMILY_UNIX) return 0;
    if ((fa == OS_IPADDR_FAMILY_IPV4 && fb == OS_IPADDR_FAMILY_IPV6) ||
        (fa == OS_IPADDR_FAMILY_IPV6 && fb == OS_IPADDR_FAMILY_IPV4)) {
        const os_ipv4 *v4 = fa == OS_IPADDR_FAMILY_IPV4 ? &a->u.ipv4 : &b->u.ipv4;
        const os_ipv6 *v6 = fa == OS_IPADDR_FAMILY_IPV6 ? &a->u.ipv6 : &b->u.ipv6;
        return is_mapped(v6) && memcmp(v6->addr + 12, v4->addr, 4) == 0;
    }
    OS_CHECK_LOG("0");
    return 0;
}

int os_ipaddr_is_equal(const os_ipaddr *a, const os_ipaddr *b)
{
    OS_CHECK_TXT(a && b, "ipaddr && other", 0);
    return a->port == b->port && os_ipaddr_ip_is_equal(a, b);
}

char *os_ipaddr_ip_cstr(const os_ipaddr *a, char *data, size_t maxn)
{
    OS_CHECK_TXT(a && data && maxn, "ipaddr && data && maxn", nullptr);
    switch (fam(a)) {
    case OS_IPADDR_FAMILY_IPV6:
        if (has_ip(a)) return os_ipv6_cstr(&a->u.ipv6, data, maxn);
        if (maxn < OS_IPV6_CSTR_MAXN) OS_CHECK_LOG("maxn >= OS_IPV6_CSTR_MAXN");
        str_sprintf_s(data, maxn > 1 ? maxn - 1 : 1, "::");
        return data;
    case OS_IPADDR_FAMILY_IPV4:
        if (has_ip(a)) return os_ipv4_cstr(&a->u.ipv4, data, maxn);
        if (maxn < OS_IPV4_CSTR_MAXN) OS_CHECK_LOG("maxn >= OS_IPV4_CSTR_MAXN");
        str_sprintf_s(data, maxn > 1 ? maxn - 1 : 1, "0.0.0.0");
        return data;
    case OS_IPADDR_FAMILY_UNIX:
        if (has_ip(a)) return os_unixaddr_cstr(&a->u.un, data, maxn);
        if (maxn < OS_UNIXADDR_CSTR_MAXN) OS_CHECK_LOG("maxn >= OS_UNIXADDR_CSTR_MAXN");
        memset(data, 0, maxn);
        return data;
    default:
        OS_CHECK_LOG("0");
        return nullptr;
    }
}

char *os_ipaddr_cstr(const os_ipaddr *a, char *data, size_t maxn)
{
    OS_CHECK_TXT(a && data && maxn >= OS_IPADDR_CSTR_MAXN,
                 "ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN", nullptr);
    if (!has_ip(a)) {
        snprintf(data, maxn, "0.0.0.0:0");
        return data;
    }
    if (fam(a) == OS_IPADDR_FAMILY_UNIX) {
        OS_CHECK_TXT(maxn >= OS_UNIXADDR_CSTR_MAXN, "maxn >= OS_UNIXADDR_CSTR_MAXN", nullptr);
        return os_unixaddr_cstr(&a->u.un, data, maxn);
    }
    char ip[OS_IPADDR_CSTR_MAXN];
    if (!os_ipaddr_ip_cstr(a, ip, sizeof ip)) return nullptr;
    bool v6 = fam(a) == OS_IPADDR_FAMILY_IPV6;
    snprintf(data, maxn, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", a->port);
    return data;
}

char *os_ipaddr_cstr_noport(const os_ipaddr *a, char *data, size_t maxn)
{
    if (!os_ipaddr_cstr(a, data, maxn)) return nullptr;
    // A local socket path has no port; its ':' characters belong to it.
    if (has_ip(a) && fam(a) == OS_IPADDR_FAMILY_UNIX) return data;
    char *colon = strrchr(data, ':');
    if (colon) *colon = 0;
    return data;
}

int os_ipaddr_ip_cstr_set(os_ipaddr *a, const char *text, int family)
{
    if (!text) {
        if (a) a->family = (u8)(family & OS_IPADDR_FAMILY_MASK);
        return 1;
    }
    os_ipaddr tmp = {};
    u8 f = (u8)family;
    bool ok = false;
    switch (family) {
    case OS_IPADDR_FAMILY_IPV6: ok = os_ipv6_cstr_set(&tmp.u.ipv6, text); break;
    case OS_IPADDR_FAMILY_UNIX: ok = os_unixaddr_cstr_set(&tmp.u.un, text, 0); break;
    case OS_IPADDR_FAMILY_IPV4: ok = os_ipv4_cstr_set(&tmp.u.ipv4, text); break;
    default:
        if (os_ipv4_cstr_set(&tmp.u.ipv4, text)) {
            ok = true;
            f = OS_IPADDR_FAMILY_IPV4;
        } else if (os_ipv6_cstr_set(&tmp.u.ipv6, text)) {
            ok = true;
            f = OS_IPADDR_FAMILY_IPV6;
        }
        break;
    }
    if (!ok) return 0;
    if (!a) return 1;
    set_fam(&tmp, f, true);
    tmp.port = a->port;
    os_ipaddr_copy(a, &tmp);
    return 1;
}

int os_ipaddr_set(os_ipaddr *a, const char *text, int port, int family)
{
    OS_CHECK_TXT(a, "ipaddr", 0);
    a->port = family == OS_IPADDR_FAMILY_UNIX ? 0 : (u16)port;
    return os_ipaddr_ip_cstr_set(a, text, family);
}

os_ipv4 *os_ipaddr_ipv4(os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", nullptr);
    if (!has_ip(a)) return nullptr;
    switch (fam(a)) {
    case OS_IPADDR_FAMILY_IPV4: return &a->u.ipv4;
    case OS_IPADDR_FAMILY_IPV6: {
        os_ipv4 v4;
        if (!os_ipaddr_ipv6_to_ipv4(&a->u.ipv6, &v4)) return nullptr;
        memset(&a->u, 0, sizeof a->u);
        a->u.ipv4 = v4;
        set_fam(a, OS_IPADDR_FAMILY_IPV4, true);
        return &a->u.ipv4;
    }
    case OS_IPADDR_FAMILY_UNIX: return nullptr;
    default: OS_CHECK_LOG("0"); return nullptr;
    }
}

void os_ipaddr_ipv4_set(os_ipaddr *a, const os_ipv4 *ip)
{
    OS_CHECK_TXT(a, "ipaddr", );
    if (!ip) {
        os_ipaddr_ip_clear(a);
        return;
    }
    set_fam(a, OS_IPADDR_FAMILY_IPV4, true);
    a->u.ipv4 = *ip;
}

os_ipv6 *os_ipaddr_ipv6(os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", nullptr);
    if (!has_ip(a)) return nullptr;
    switch (fam(a)) {
    case OS_IPADDR_FAMILY_IPV6: return &a->u.ipv6;
    case OS_IPADDR_FAMILY_IPV4:
        ipv4_to_mapped(a);
        set_fam(a, OS_IPADDR_FAMILY_IPV6, true);
        return &a->u.ipv6;
    case OS_IPADDR_FAMILY_UNIX: return nullptr;
    default: OS_CHECK_LOG("0"); return nullptr;
    }
}

void os_ipaddr_ipv6_set(os_ipaddr *a, const os_ipv6 *ip6)
{
    OS_CHECK_TXT(a && ip6, "ipaddr && ipv6", );
    set_fam(a, OS_IPADDR_FAMILY_IPV6, true);
    a->u.ipv6 = *ip6;
}

os_unixaddr *os_ipaddr_unix(os_ipaddr *a)
{
    OS_CHECK_TXT(a, "ipaddr", nullptr);
    return has_ip(a) && fam(a) == OS_IPADDR_FAMILY_UNIX ? &a->u.un : nullptr;
}

void os_ipaddr_unix_set(os_ipaddr *a, const os_unixaddr *ua)
{
    OS_CHECK_TXT(a && ua, "ipaddr && unixaddr", );
    set_fam(a, OS_IPADDR_FAMILY_UNIX, true);
    a->u.un = *ua;
}

int os_ipaddr_unix_set_cstr(os_ipaddr *a, const char *path, int abstract)
{
    OS_CHECK_TXT(a, "ipaddr", 0);
    os_ipaddr tmp = {};
    if (!os_unixaddr_cstr_set(&tmp.u.un, path, abstract)) return 0;
    set_fam(&tmp, OS_IPADDR_FAMILY_UNIX, true);
    *a = tmp;
    return 1;
}

void os_ipaddr_ip_set(os_ipaddr *a, const os_ipaddr *src)
{
    OS_CHECK_TXT(a, "ipaddr", );
    if (!src) {
        os_ipaddr_ip_clear(a);
        return;
    }
    switch (fam(src)) {
    case OS_IPADDR_FAMILY_IPV4: os_ipaddr_ipv4_set(a, &src->u.ipv4); break;
    case OS_IPADDR_FAMILY_IPV6: os_ipaddr_ipv6_set(a, &src->u.ipv6); break;
    case OS_IPADDR_FAMILY_UNIX: os_ipaddr_unix_set(a, &src->u.un); break;
    default: OS_CHECK_LOG("0"); break;
    }
}

int os_ipaddr_family(const os_ipaddr *a)
{
    return a ? fam(a) : 0;
}

void os_ipaddr_family_set(os_ipaddr *a, int family)
{
    OS_CHECK_TXT(a, "ipaddr", );
    u8 from = fam(a);
    u8 to = (u8)(family & OS_IPADDR_FAMILY_MASK);
    bool ip = has_ip(a);
    if (to == 0) {
        a->family = 0;
        return;
    }
    if (from == to) return;
    if ((from == OS_IPADDR_FAMILY_UNIX || to == OS_IPADDR_FAMILY_UNIX)) {
        OS_CHECK_LOG("0");
        return;
    }
    if (from == OS_IPADDR_FAMILY_IPV4 && to == OS_IPADDR_FAMILY_IPV6) {
        if (ip) ipv4_to_mapped(a);
        set_fam(a, OS_IPADDR_FAMILY_IPV6, ip);
        return;
    }
    if (from == OS_IPADDR_FAMILY_IPV6 && to == OS_IPADDR_FAMILY_IPV4) {
        // Only an IPv4-mapped address has an IPv4 form; any other keeps
        // no address rather than a stale one.
        os_ipv4 v4;
        if (ip && os_ipaddr_ipv6_to_ipv4(&a->u.ipv6, &v4)) {
            memset(&a->u, 0, sizeof a->u);
            a->u.ipv4 = v4;
            set_fam(a, OS_IPADDR_FAMILY_IPV4, true);
        } else {
            memset(&a->u, 0, sizeof a->u);
            set_fam(a, OS_IPADDR_FAMILY_IPV4, false);
        }
        return;
    }
    set_fam(a, to, ip);
}

u16 os_ipaddr_port(const os_ipaddr *a)
{
    return a ? a->port : 0;
}

void os_ipaddr_port_set(os_ipaddr *a, u16 port)
{
    if (a) a->port = port;
}

int os_ipaddr_ipv6_to_ipv4(const os_ipv6 *ip6, os_ipv4 *ip)
{
    OS_CHECK_TXT(ip6 && ip, "ipv6 && ipv4", 0);
    if (!is_mapped(ip6)) return 0;
    memcpy(ip->addr, ip6->addr + 12, 4);
    return 1;
}
