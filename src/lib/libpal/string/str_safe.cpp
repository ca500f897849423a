#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_safe"
#include "libpal/string/str_safe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr const char kDestCheck[] = "(dest) != NULL && (size) > 0";
constexpr const char kSrcCheck[] = "(src) != NULL";
constexpr const char kTermCheck[] = "(\"String is not null terminated\" && 0)";

// A failed argument check: record, assertion hook, errno 22.
int check_failed(const char *func, int line, const char *cond)
{
    log2_printf(nullptr, 3, LOG_MOD, LOG_SRC, line, func, "expr[%s]: %s\n", "_Expr_val", cond);
    pl_assert_hook();
    errno = EINVAL;
    return EINVAL;
}

int overflow(const char *func, int line, size_t need, size_t size, const char *src, char *dest)
{
    // The text may be a client's (a shell or web request): its head is
    // shown with \xNN escapes, in the head's own 16 bytes.
    char head[16];
    str_get_head(src, head, sizeof head);
    log2_printf(nullptr, 3, LOG_MOD, LOG_SRC, line, func, "need_size=%d buf_size=%u head=[%s]\n",
                (int)need, (unsigned)size, str_log_esc<sizeof head>(head).c_str());
    pl_assert_hook();
    dest[0] = 0;
    errno = ERANGE;
    return ERANGE;
}

// Copies src (with its NUL) to dst when it fits in room bytes; otherwise
// truncates (report 0) or refuses (report 1, -1 returned).
int copy_bounded(char *dst, size_t room, const char *src, int report)
{
    const char *z = (const char *)memchr(src, 0, room);
    if (z) {
        memcpy(dst, src, (size_t)(z - src) + 1);
        return 0;
    }
    if (report) return -1;
    memcpy(dst, src, room - 1);
    dst[room - 1] = 0;
    return 0;
}

}  // namespace

int str_safecopy_imp(char *dest, size_t size, const char *src, int report)
{
    if (!dest || size == 0) return check_failed(__func__, __LINE__, kDestCheck);
    if (!src) {
        dest[0] = 0;
        return check_failed(__func__, __LINE__, kSrcCheck);
    }
    if (copy_bounded(dest, size, src, report) == 0) return 0;
    return overflow(__func__, __LINE__, strlen(src) + 1, size, src, dest);
}

int str_safecopy(char *dest, size_t size, const char *src)
{
    return str_safecopy_imp(dest, size, src, 1);
}

int str_safecopy_trunc(char *dest, size_t size, const char *src)
{
    return str_safecopy_imp(dest, size, src, 0);
}

size_t str_safencopy(char *dest, const char *src, size_t size)
{
    if (str_safecopy_trunc(dest, size, src) != 0) return size;
    return strlen(dest);
}

int str_safecat_imp(char *dest, size_t size, const char *src, int report)
{
    if (!dest || size == 0) return check_failed(__func__, __LINE__, kDestCheck);
    if (!src) {
        dest[0] = 0;
        return check_failed(__func__, __LINE__, kSrcCheck);
    }
    const char *end = (const char *)memchr(dest, 0, size);
    if (!end) {
        dest[0] = 0;
        return check_failed(__func__, __LINE__, kTermCheck);
    }
    size_t len = (size_t)(end - dest);
    if (copy_bounded(dest + len, size - len, src, report) == 0) return 0;
    return overflow(__func__, __LINE__, len + strlen(src) + 1, size, src, dest);
}

int str_safecat(char *dest, size_t size, const char *src)
{
    return str_safecat_imp(dest, size, src, 1);
}

int str_safecat_trunc(char *dest, size_t size, const char *src)
{
    return str_safecat_imp(dest, size, src, 0);
}

int str_safecat_chr(char *dest, size_t size, char c)
{
    char s[2] = {c, 0};
    return str_safecat(dest, size, s);
}

int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list ap)
{
    if (!dest || size == 0) {
        check_failed("strcat_printf", __LINE__, kDestCheck);
        return EINVAL;
    }
    const char *end = (const char *)memchr(dest, 0, size);
    if (!end) return -1;
    size_t len = (size_t)(end - dest);
    int n = vsnprintf(dest + len, size - len, fmt, ap);
    if ((size_t)n >= size - len) {
        OS_CHECK_LOG("ret<clen");
    }
    return (int)len + n;
}

int strcat_printf(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = strcat_vprintf(dest, size, fmt, ap);
    va_end(ap);
    return n;
}

int str_vsprintf_s(char *dest, size_t size, const char *fmt, va_list ap)
{
    if (!dest || size == 0) {
        check_failed("str_sprintf_s", __LINE__, kDestCheck);
        return EINVAL;
    }
    int n = vsnprintf(dest, size, fmt, ap);
    if (n < 0) {
        int e = errno;
        dest[0] = 0;
        char msg[256];
        strerror_r(e, msg, sizeof msg);
        log2_printf(nullptr, 3, LOG_MOD, LOG_SRC, __LINE__, "str_sprintf_s",
                    "buf_size=%u fmt=[%s] eno=[%d] [%s]\n", (unsigned)size, fmt, e, msg);
        pl_assert_hook();
        return n;
    }
    if ((size_t)n >= size) {
        log2_printf(nullptr, 3, LOG_MOD, LOG_SRC, __LINE__, "str_sprintf_s",
                    "need_size=%u buf_size=%u fmt=[%s]\n", (unsigned)n + 1, (unsigned)size, fmt);
        pl_assert_hook();
    }
    return n;
}

int str_sprintf_s(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = str_vsprintf_s(dest, size, fmt, ap);
    va_end(ap);
    return n;
}
