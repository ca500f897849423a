#pragma once
// Endpoint addresses: IPv4, IPv6 with scope id, and local (Unix-domain)
// socket paths, tagged with a family, an "IP set" flag and a port.
#include "libpal/env/os_types.h"

constexpr size_t OS_IPV4_CSTR_MAXN = 16;
constexpr size_t OS_IPV6_CSTR_MAXN = 60;
constexpr size_t OS_IPADDR_CSTR_MAXN = 80;
constexpr size_t OS_UNIXADDR_CSTR_MAXN = 108;

enum : u8 {
    OS_IPADDR_FAMILY_NONE = 0,
    OS_IPADDR_FAMILY_IPV4 = 1,
    OS_IPADDR_FAMILY_IPV6 = 2,
    OS_IPADDR_FAMILY_UNIX = 3,
    OS_IPADDR_FAMILY_MASK = 0x7f,
    OS_IPADDR_IP_FLAG = 0x80,
};

struct os_ipv4 {
    u8 addr[4];  // network order: a.b.c.d
};

struct os_ipv6 {
    u32 scope_id;  // host order; meaningful for link-local addresses
    u8 addr[16];   // network order
};

struct os_unixaddr {
    u8 abstract;  // non-zero: abstract socket namespace
    char path[108];
};

struct os_ipaddr {
    u8 family;  // low 7 bits family, 0x80 the IP flag
    u16 port;   // host order
    union {
        os_ipv4 ipv4;
        os_ipv6 ipv6;
        os_unixaddr un;
    } u;
};

void os_ipv4_clear(os_ipv4 *ip);
int os_ipv4_is_any(const os_ipv4 *ip);
int os_ipv4_is_loopback(const os_ipv4 *ip);
int os_ipv4_is_equal(const os_ipv4 *ip, const os_ipv4 *other);
char *os_ipv4_cstr(const os_ipv4 *ip, char *data, size_t maxn);
int os_ipv4_cstr_set(os_ipv4 *ip, const char *text);

void os_ipv6_clear(os_ipv6 *ip6);
int os_ipv6_is_any(const os_ipv6 *ip6);
int os_ipv6_is_loopback(const os_ipv6 *ip6);
int os_ipv6_is_linklocal(const os_ipv6 *ip6);
int os_ipv6_is_sitelocal(const os_ipv6 *ip6);
int os_ipv6_is_multicast(const os_ipv6 *ip6);
int os_ipv6_is_mc_linklocal(const os_ipv6 *ip6);
int os_ipv6_is_equal(const os_ipv6 *ip6, const os_ipv6 *other);
char *os_ipv6_cstr(const os_ipv6 *ip6, char *data, size_t maxn);
int os_ipv6_cstr_set(os_ipv6 *ip6, const char *text);

void os_unixaddr_clear(os_unixaddr *ua);
int os_unixaddr_is_abstract(const os_unixaddr *ua);
int os_unixaddr_is_equal(const os_unixaddr *ua, const os_unixaddr *other);
char *os_unixaddr_cstr(const os_unixaddr *ua, char *data, size_t maxn);
// A path that does not fit the 108-byte field is refused (0), never cut.
int os_unixaddr_cstr_set(os_unixaddr *ua, const char *text, int abstract);

void os_ipaddr_clear(os_ipaddr *a);
void os_ipaddr_copy(os_ipaddr *a, const os_ipaddr *src);
void os_ipaddr_ip_clear(os_ipaddr *a);
int os_ipaddr_ip_is_empty(const os_ipaddr *a);
int os_ipaddr_is_empty(const os_ipaddr *a);
int os_ipaddr_ip_is_any(const os_ipaddr *a);
int os_ipaddr_ip_is_loopback(const os_ipaddr *a);
int os_ipaddr_ip_is_equal(const os_ipaddr *a, const os_ipaddr *b);
int os_ipaddr_is_equal(const os_ipaddr *a, const os_ipaddr *b);
char *os_ipaddr_ip_cstr(const os_ipaddr *a, char *data, size_t maxn);
char *os_ipaddr_cstr(const os_ipaddr *a, char *data, size_t maxn);
char *os_ipaddr_cstr_noport(const os_ipaddr *a, char *data, size_t maxn);
int os_ipaddr_ip_cstr_set(os_ipaddr *a, const char *text, int family);
int os_ipaddr_set(os_ipaddr *a, const char *text, int port, int family);
os_ipv4 *os_ipaddr_ipv4(os_ipaddr *a);
void os_ipaddr_ipv4_set(os_ipaddr *a, const os_ipv4 *ip);
os_ipv6 *os_ipaddr_ipv6(os_ipaddr *a);
void os_ipaddr_ipv6_set(os_ipaddr *a, const os_ipv6 *ip6);
os_unixaddr *os_ipaddr_unix(os_ipaddr *a);
void os_ipaddr_unix_set(os_ipaddr *a, const os_unixaddr *ua);
int os_ipaddr_unix_set_cstr(os_ipaddr *a, const char *path, int abstract);
void os_ipaddr_ip_set(os_ipaddr *a, const os_ipaddr *src);
int os_ipaddr_family(const os_ipaddr *a);
void os_ipaddr_family_set(os_ipaddr *a, int family);
u16 os_ipaddr_port(const os_ipaddr *a);
void os_ipaddr_port_set(os_ipaddr *a, u16 port);
int os_ipaddr_ipv6_to_ipv4(const os_ipv6 *ip6, os_ipv4 *ip);
