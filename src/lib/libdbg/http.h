#pragma once
// Web debug tool.
#include "libpal/env/os_types.h"

struct debug_http_param {
    u32 login_check;
    const char *title;
    const char *user;
    const char *pwd;
    const char *prompt;
};

int debug_http_server_set_param(const debug_http_param *param);
int debug_http_server_init(const char *addrs, int port);
int dbg_http_server_stop(void);
