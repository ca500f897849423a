#pragma once
// bsv log records: every log record that passes the level filter is
// offered to the record hooks.
#include "libpal/env/os_types.h"

int bsv_log_hook(int level, const char *module, const char *file, int line, const char *func,
                 const char *msg);
// Type id of the "log" ring type: 1 once it is registered, 0 before.
u32 bsv_log_type_id(void);
