#include <cstdio>
#include "liblog/log.h"

int log_bsv_udp_close(log_bsv_udp_state *st)
{
    st->url[0] = 0;
    return 0;
}

int log_bsv_udp_open(log_bsv_udp_state *st, const char *url)
{
    if (!st || !url) return -1;
    snprintf(st->url, sizeof st->url, "%s", url);
    return 0;
}
