#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/memory/mem_str"
#include <cstdarg>
#include <cstring>

#include "liblog/log.h"
#include "libpal/memory/mem_util.h"

namespace {

// Copies one piece; when it does not fit, the bounded form cuts it and
// puts a NUL in the last byte, the plain form fails.
int put_piece(u8 *buf, size_t size, size_t *off, const void *src, size_t len, bool cut)
{
    size_t room = size - *off;
    if (!cut) {
        int r = mem_add_str(buf + *off, room, src, len);
        if (r < 0) return -1;
        *off += len;
        return 0;
    }
    size_t c = len < room ? len : room;
    memcpy(buf + *off, src, c);
    *off += c;
    if (c == room && c > 0) buf[size - 1] = '\0';
    return 0;
}

int cat_strs(void *buf, size_t size, va_list ap, bool cut)
{
    OS_CHECK_RET(buf != nullptr, -1);
    size_t off = 0;
    while (off < size || !cut) {
        const char *s = va_arg(ap, const char *);
        if (!s) break;
        if (put_piece((u8 *)buf, size, &off, s, strlen(s) + 1, cut) < 0) return -1;
    }
    return (int)off;
}

int gather(void *buf, size_t size, const struct iovec *iov, size_t count, bool cut)
{
    OS_CHECK_RET(buf != nullptr, -1);
    OS_CHECK_RET(iov != nullptr || count == 0, -1);
    size_t off = 0;
    for (size_t i = 0; i < count && (off < size || !cut); ++i) {
        if (!iov[i].iov_base && iov[i].iov_len) continue;
        if (put_piece((u8 *)buf, size, &off, iov[i].iov_base, iov[i].iov_len, cut) < 0) return -1;
    }
    return (int)off;
}

}  // namespace

int mem_add_str(void *buf, size_t blen, const void *s, size_t slen)
{
    OS_CHECK_RET(slen <= blen, -1);
    if (slen) memcpy(buf, s, slen);
    return (int)slen;
}

int mem_cat_strs(void *buf, size_t size, ...)
{
    va_list ap;
    va_start(ap, size);
    int r = cat_strs(buf, size, ap, false);
    va_end(ap);
    return r;
}

int mem_cat_strs_n(void *buf, size_t size, ...)
{
    va_list ap;
    va_start(ap, size);
    int r = cat_strs(buf, size, ap, true);
    va_end(ap);
    return r;
}

int mem_gather_str(void *buf, size_t size, const struct iovec *iov, size_t count)
{
    return gather(buf, size, iov, count, false);
}

int mem_gather(void *buf, size_t size, const struct iovec *iov, size_t count)
{
    return gather(buf, size, iov, count, true);
}
