#pragma once
// bsv log records: every log record that passes the level filter is
// offered to the record hooks.
int bsv_log_hook(int level, const char *module, const char *file, int line, const char *func,
                 const char *msg);
