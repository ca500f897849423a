#include "libbsv/bsv_log.h"

int bsv_log_hook(int, const char *, const char *, int, const char *, const char *)
{
    return 0;
}

u32 bsv_log_type_id(void)
{
    return 0;
}
