#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/value/value2"
#include "libpal/value/value2.h"

#include <cstdio>
#include <cstdlib>

#include "liblog/log.h"

int value2_set_str(value2 *v, const char *text)
{
    OS_CHECK_RET(v != nullptr, -1);
    i32 n = (i32)atol(text ? text : "");
    if (v->type == VALUE2_I32) {
        v->i = n;
        return 0;
    }
    if (v->type == VALUE2_I32_PTR && v->p) {
        *v->p = n;
        return 0;
    }
    LOG_ERR("unsupport type=%d\n", (int)v->type);
    return -1;
}

int value2_get_str(const value2 *v, char *buf, size_t size)
{
    OS_CHECK_RET(v != nullptr && buf != nullptr && size > 0, -1);
    if (v->type == VALUE2_I32) {
        snprintf(buf, size, "%d", v->i);
        return 0;
    }
    if (v->type == VALUE2_I32_PTR && v->p) {
        snprintf(buf, size, "%d", *v->p);
        return 0;
    }
    LOG_ERR("unsupport type=%d\n", (int)v->type);
    return -1;
}

int value2_is_set(const value2 *v)
{
    return v && v->word != 0 ? 1 : 0;
}

void value2_hold(value2 *v)
{
    if (v && v->type == VALUE2_I32) v->held.mark = 1;
}
