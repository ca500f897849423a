#pragma once
// Counts per client address: a fixed open-addressing table (an IPv4
// address counts as its v4-mapped IPv6 form, other families share one
// entry). The caller keeps it locked; its size bounds the number of
// addresses with a count above 0 to half of it.
#include "libpal/env/os_types.h"
#include "libpal/network/os_ipaddr.h"

struct addr_counts {
    struct entry {
        u8 key[16];
        u32 count;
    };
    entry *e = nullptr;
    u32 size = 0;  // a power of two
};

// 0, or -1 when the table cannot be allocated; size is rounded up to a
// power of two.
int addr_counts_init(addr_counts *t, u32 size);
void addr_counts_exit(addr_counts *t);
u32 addr_counts_get(const addr_counts *t, const os_ipaddr *peer);
void addr_counts_add(addr_counts *t, const os_ipaddr *peer);
// One fewer; an address whose count reaches 0 leaves the table.
void addr_counts_remove(addr_counts *t, const os_ipaddr *peer);
