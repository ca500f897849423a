#include "liblog/log.h"
#include "libpal/string/str_safe.h"

int log_bsv_udp_close(log_bsv_udp_state *st)
{
    st->url[0] = 0;
    return 0;
}

int log_bsv_udp_open(log_bsv_udp_state *st, const char *url)
{
    if (!st || !url) return -1;
    str_safecopy_trunc(st->url, sizeof st->url, url);
    return 0;
}
