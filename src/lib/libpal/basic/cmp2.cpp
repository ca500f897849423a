#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/basic/cmp2"
#include <cstring>

#include "libpal/basic/cmp.h"
#include "liblog/log.h"

int cmp2_puint64(const void *key, const void *elem)
{
    u64 a = (u64)(uintptr_t)key, b;
    memcpy(&b, elem, sizeof b);
    LOG_DBG("a=%llu b=%llu", (unsigned long long)a, (unsigned long long)b);
    return a < b ? -1 : a > b ? 1 : 0;
}
