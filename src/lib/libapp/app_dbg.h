#pragma once
// Debug services: the shell with its application items, the stdio
// shell's prompt, the web debug tool and the TCP shell server.

int app_dbg_init(void);
// Starts the web tool and the TCP shell as configured, then lets the log
// open its files. -1 when a server could not listen; a daemon (-d) then
// starts nothing more and leaves the log's files alone.
int app_dbg_start(void);
int app_dbg_stop(void);
int app_dbg_exit(void);
char *app_dbg_show_config(void);
