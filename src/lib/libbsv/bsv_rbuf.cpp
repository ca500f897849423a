#include "libbsv/bsv_rbuf.h"

int bsv_rbuf_exit(void)
{
    return 0;
}
