#pragma once
// Name resolution into framework addresses and back.
#include "libpal/network/os_ipaddr.h"

// Resolves name into addr (first result; the family of addr, when set,
// selects IPv4 or IPv6, and its port is kept). 1 resolved, 0 not; addr is
// left as it was on failure.
int os_addrinfo_addr(const char *name, os_ipaddr *addr);
// Host name of addr (reverse lookup only, never a numeric text), or NULL.
char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn);
