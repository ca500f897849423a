#define LOG_MOD "dbg"
#define LOG_SRC "src/lib/libdbg/dbgsrv"
#include "libdbg/dbgsrv.h"

#include "liblog/log.h"

int debug_shell_server_init(const char *, int)
{
    return 0;
}

int debug_shell_server_exit(void)
{
    return 0;
}
