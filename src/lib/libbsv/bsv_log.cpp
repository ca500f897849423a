#include "libbsv/bsv_log.h"

int bsv_log_hook(int, const char *, const char *, int, const char *, const char *)
{
    return 0;
}
