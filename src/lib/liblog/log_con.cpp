#include <cstdio>

#include "liblog/log.h"
#include "libpal/os/os_con.h"

int log_con_write(struct log2 *ctx, int level, const char *, const char *line, int)
{
    int code = (ctx->flags.load(std::memory_order_relaxed) & LOG_F_COLOUR) ? os_level_color(level) : 0;
    os_color_puts(stderr, code, line);
    fflush(stderr);
    return 0;
}
