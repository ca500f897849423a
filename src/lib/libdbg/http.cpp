#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/http"
#include "libdbg/http.h"

#include "liblog/log.h"

namespace {
debug_http_param g_param;
}

int debug_http_server_set_param(const debug_http_param *param)
{
    if (param) g_param = *param;
    return 0;
}

int debug_http_server_init(const char *, int)
{
    return 0;
}

int dbg_http_server_stop(void)
{
    return 0;
}
