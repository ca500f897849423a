#include "libpal/qexpr/mem_search.h"

#include <cstring>

#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"

const u8 *mem_bmh_search(const void *hay, size_t hay_len, const void *needle, size_t needle_len)
{
    if (!hay || !needle || needle_len == 0 || needle_len > hay_len) return nullptr;
    const u8 *h = (const u8 *)hay;
    const u8 *n = (const u8 *)needle;
    size_t shift[256];
    for (size_t &s : shift) s = needle_len + 1;
    for (size_t i = 0; i < needle_len; ++i) shift[n[i]] = needle_len - i;
    for (size_t pos = 0; pos + needle_len <= hay_len;) {
        if (memcmp(h + pos, n, needle_len) == 0) return h + pos;
        // The byte after the window decides the step; at the end there is none.
        if (pos + needle_len == hay_len) break;
        pos += shift[h[pos + needle_len]];
    }
    return nullptr;
}

const u8 *mem_mask_search(const void *hay, size_t hay_len, const void *pattern, size_t pattern_len,
                          const char *mask)
{
    if (!hay || !pattern || pattern_len == 0 || pattern_len > hay_len) return nullptr;
    if (mask && strnlen(mask, pattern_len) < pattern_len) return nullptr;
    const u8 *h = (const u8 *)hay;
    const u8 *p = (const u8 *)pattern;
    for (size_t pos = 0; pos + pattern_len <= hay_len; ++pos) {
        size_t i = 0;
        while (i < pattern_len && (h[pos + i] == p[i] || (mask && mask[i] == '?'))) ++i;
        if (i == pattern_len) return h + pos;
    }
    return nullptr;
}

namespace {

// Stack room for patterns up to this many bytes; longer ones use the heap.
constexpr size_t kSmall = 256;

// Byte buffer on the stack when it fits, else from the counted allocator.
struct bytes {
    explicit bytes(size_t n) : p(n <= kSmall ? small : (u8 *)os_malloc(n)) {}
    ~bytes()
    {
        if (p != small) os_free(p);
    }
    bytes(const bytes &) = delete;
    bytes &operator=(const bytes &) = delete;
    u8 small[kSmall];
    u8 *p;
};

}  // namespace

const u8 *mem_pattern_search(const void *hay, size_t hay_len, const char *pattern)
{
    if (!hay || !pattern) return nullptr;
    if (strchr(pattern, '?')) {
        int n = str_hex_pattern_imp(pattern, nullptr, nullptr);
        if (n < 1) return nullptr;
        bytes values((size_t)n), mask((size_t)n + 1);
        if (!values.p || !mask.p) return nullptr;
        str_hex_pattern_imp(pattern, values.p, (char *)mask.p);
        mask.p[n] = 0;
        return mem_mask_search(hay, hay_len, values.p, (size_t)n, (const char *)mask.p);
    }
    i64 need = str_hex_decode_imp(pattern, 0, nullptr, 0);
    if (need < 1) return nullptr;
    bytes needle((size_t)need);
    if (!needle.p) return nullptr;
    i64 n = str_hex_decode_imp(pattern, 0, needle.p, (size_t)need);
    if (n < 1) return nullptr;
    return mem_bmh_search(hay, hay_len, needle.p, (size_t)n);
}
