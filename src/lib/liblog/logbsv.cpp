#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_safe.h"

void log_bsv_init(log_bsv_udp_state *st)
{
    if (!st) return;
    st->port = 514;
    pthread_mutex_init(&st->lock, nullptr);
}

int log_bsv_udp_close(log_bsv_udp_state *st)
{
    st->url[0] = 0;
    st->held = 0;
    return 0;
}

int log_bsv_udp_hold(log_bsv_udp_state *st, const char *url)
{
    if (!st || !url) return -1;
    log_bsv_udp_close(st);
    str_safecopy_trunc(st->url, sizeof st->url, url);
    st->held = 1;
    return 0;
}

int log_bsv_udp_open(log_bsv_udp_state *st, const char *url)
{
    if (!st || !url) return -1;
    log_bsv_udp_close(st);
    str_safecopy_trunc(st->url, sizeof st->url, url);
    return 0;
}

int log_bsv_udp_send(int, const void *, int, void *)
{
    return 0;
}

log_bsv_udp_state *log_bsv_get(log_bsv_udp_state *st)
{
    return st;
}
