#include <unistd.h>

#include "liblog/log.h"
#include "libpal/string/str_safe.h"

int log_net_write(struct log2 *, int, const char *, const char *, int)
{
    return 0;
}

int log_net_close(log_net_state *st)
{
    if (st->sock > 0) close(st->sock);
    st->sock = 0;
    st->state = 0;
    return 0;
}

int log_net_open(log_net_state *st, const char *url)
{
    if (!st || !url) return -1;
    str_safecopy_trunc(st->url, sizeof st->url, url);
    return 0;
}
