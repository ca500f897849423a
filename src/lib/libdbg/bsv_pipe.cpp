#define LOG_MOD "bsv"
#define LOG_SRC "src/lib/libdbg/bsv_pipe"
#include "libdbg/bsv_pipe.h"

#include "liblog/log.h"

namespace {
char g_pipe_name[256];
}

int debug_bsv_pipe_srv_init(const char *)
{
    LOG_VERB("==>\n");
    return -1;
}

const char *debug_bsv_pipe_name(void)
{
    return g_pipe_name;
}

int debug_bsv_pipe_srv_exit(void)
{
    return 0;
}
