#pragma once
// Crash handling: a report through the log on the fatal signals, then the
// end of the process (status 254) or a core dump when dumps are set up.

int os_panic_init(void);
int os_painc_set_dump_dir(const char *dir, const char *app_name);
int os_panic_init_core_dump(const char *dir, const char *app_name);
void os_panic_set_callback(void (*fn)(void));
void panic_handler(int signo);
