#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_safe2"
#include <cerrno>
#include <cstring>

#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"
#include "liblog/log.h"

namespace {
// Error text of the errno value left by the failing call.
struct err_text {
    char buf[256];
    explicit err_text(int e) { os_errno_str(e, buf, sizeof buf); }
};
}  // namespace

void *safe_malloc(size_t size)
{
    void *p = os_malloc(size);
    if (!p) {
        err_text e(errno);
        LOG_CRIT("Failed to malloc %d bytes of memory: %s. Bailing out", (int)size, e.buf);
        return nullptr;
    }
    memset(p, 0, size);
    return p;
}

void *safe_calloc(size_t count, size_t size)
{
    void *p = os_calloc(count, size);
    if (!p) {
        err_text e(errno);
        LOG_CRIT("Failed to calloc %d-%d bytes of memory: %s. Bailing out", (int)count, (int)size,
                 e.buf);
    }
    return p;
}

void *safe_realloc(void *ptr, size_t size)
{
    void *p = os_realloc(ptr, size);
    if (!p) {
        err_text e(errno);
        LOG_CRIT("Failed to realloc buffer to %d bytes of memory: %s. Bailing out", (int)size,
                 e.buf);
    }
    return p;
}

char *safe_strdup(const char *s)
{
    if (!s) LOG_CRIT("safe_strdup called with NULL which would have crashed strdup. Bailing out");
    char *p = os_strdup(s);
    if (!p) {
        err_text e(errno);
        LOG_CRIT("Failed to duplicate a string: %s. Bailing out", e.buf);
    }
    return p;
}

int safe_vasprintf(char **out, const char *fmt, va_list ap)
{
    int n = os_vasprintf(out, fmt, ap);
    if (n == -1) {
        err_text e(errno);
        LOG_CRIT("Failed to vasprintf: %s. Bailing out", e.buf);
    }
    return n;
}

int safe_asprintf(char **out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = safe_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}
