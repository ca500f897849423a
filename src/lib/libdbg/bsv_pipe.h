#pragma once
// Reserved bsv pipe service: starts nothing.
int debug_bsv_pipe_srv_init(const char *name);
const char *debug_bsv_pipe_name(void);
int debug_bsv_pipe_srv_exit(void);
