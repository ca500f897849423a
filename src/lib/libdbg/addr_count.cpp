#include "libdbg/addr_count.h"

#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/hash/dict.h"

namespace {

void key_of(const os_ipaddr *a, u8 key[16])
{
    memset(key, 0, 16);
    switch (a->family & OS_IPADDR_FAMILY_MASK) {
    case OS_IPADDR_FAMILY_IPV4:
        key[10] = key[11] = 0xff;
        memcpy(key + 12, a->u.ipv4.addr, 4);
        break;
    case OS_IPADDR_FAMILY_IPV6: memcpy(key, a->u.ipv6.addr, 16); break;
    default: break;
    }
}

u32 home_of(const addr_counts *t, const u8 key[16])
{
    return dict_hash(key, 16) & (t->size - 1);
}

// The entry of key, or the empty one where it would go.
u32 find(const addr_counts *t, const u8 key[16])
{
    u32 i = home_of(t, key);
    while (t->e[i].count && memcmp(t->e[i].key, key, 16) != 0) i = (i + 1) & (t->size - 1);
    return i;
}

}  // namespace

int addr_counts_init(addr_counts *t, u32 size)
{
    u32 n = 2;
    while (n < size) n <<= 1;
    t->e = (addr_counts::entry *)os_zalloc(n * sizeof(addr_counts::entry));
    t->size = t->e ? n : 0;
    return t->e ? 0 : -1;
}

void addr_counts_exit(addr_counts *t)
{
    os_free(t->e);
    t->e = nullptr;
    t->size = 0;
}

u32 addr_counts_get(const addr_counts *t, const os_ipaddr *peer)
{
    u8 key[16];
    key_of(peer, key);
    return t->e[find(t, key)].count;
}

void addr_counts_add(addr_counts *t, const os_ipaddr *peer)
{
    u8 key[16];
    key_of(peer, key);
    addr_counts::entry &e = t->e[find(t, key)];
    memcpy(e.key, key, 16);
    e.count++;
}

void addr_counts_remove(addr_counts *t, const os_ipaddr *peer)
{
    u8 key[16];
    key_of(peer, key);
    u32 mask = t->size - 1;
    u32 i = find(t, key);
    if (!t->e[i].count || --t->e[i].count) return;
    // The entries after it move back where their probe would no longer
    // reach them past the hole.
    for (u32 j = (i + 1) & mask; t->e[j].count; j = (j + 1) & mask) {
        u32 home = home_of(t, t->e[j].key);
        bool stays = i < j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        t->e[i] = t->e[j];
        t->e[j].count = 0;
        i = j;
    }
}
