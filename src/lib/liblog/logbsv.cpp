#include "liblog/log.h"

int log_bsv_udp_close(log_bsv_udp_state *st)
{
    st->url[0] = 0;
    return 0;
}
