#pragma once
// Processes: resource limits, SIGPIPE, daemon mode.
#include "libpal/env/os_types.h"

int os_ulimit(int resource);
int os_socket_init_env(void);
int os_daemonize(void);
int os_is_root(void);
