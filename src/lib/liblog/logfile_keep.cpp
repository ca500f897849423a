#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"

// The records of a file output kept while it is held: one counted buffer,
// grown by doubling up to LOG_KEEP_MAX, of [u32 length][bytes] entries.

namespace {

constexpr u32 kFirst = 16 * 1024;

}  // namespace

bool log_keep_put(log_file_keep *k, const void *rec, size_t n)
{
    size_t need = sizeof(u32) + n;
    if (need > LOG_KEEP_MAX - k->used) {
        if (k->over != UINT32_MAX) ++k->over;
        return false;
    }
    if (k->used + need > k->size) {
        u32 size = k->size ? k->size : kFirst;
        while (size < k->used + need) size *= 2;
        if (size > LOG_KEEP_MAX) size = LOG_KEEP_MAX;
        char *grown = (char *)os_realloc(k->buf, size);
        if (!grown) {
            if (k->over != UINT32_MAX) ++k->over;
            return false;
        }
        k->buf = grown;
        k->size = size;
    }
    u32 len = (u32)n;
    memcpy(k->buf + k->used, &len, sizeof len);
    memcpy(k->buf + k->used + sizeof len, rec, n);
    k->used += (u32)need;
    ++k->count;
    return true;
}

const char *log_keep_next(const log_file_keep *k, u32 *at, u32 *len)
{
    if (*at + sizeof(u32) > k->used) return nullptr;
    memcpy(len, k->buf + *at, sizeof *len);
    const char *rec = k->buf + *at + sizeof(u32);
    *at += (u32)sizeof(u32) + *len;
    return rec;
}

void log_keep_clear(log_file_keep *k)
{
    os_free(k->buf);
    *k = {};
}
