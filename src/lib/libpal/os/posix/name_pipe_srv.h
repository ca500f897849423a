#pragma once
// Named-pipe server. On this platform only open and close do real work;
// wait, disconnect, read and write are stubs that report an empty pipe.
#include "libpal/env/os_types.h"

struct os_name_pipe_srv {
    i32 fd;
    i32 state;
};

os_name_pipe_srv *os_name_pipe_srv_open(const char *path, int unused, int mode);
// Closes the pipe and frees the record.
int os_name_pipe_srv_close(os_name_pipe_srv *pipe);
int os_name_pipe_srv_wait(os_name_pipe_srv *pipe, int timeout_ms);
int os_name_pipe_srv_disconnect(os_name_pipe_srv *pipe);
int os_name_pipe_srv_read(os_name_pipe_srv *pipe, void *data, size_t size, int timeout_ms);
int os_name_pipe_srv_write(os_name_pipe_srv *pipe, const void *data, size_t size);
int os_name_pipe_srv_state(const os_name_pipe_srv *pipe);
