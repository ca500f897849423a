#pragma once
// Between the shell's dispatch and "source": the work limit of one
// top-level "source" run and its stop conditions.
#include "libsh/libsh.h"

// Called for every command about to run: true when no "source" runs on
// the calling thread, or when the one running may go on (the command is
// then counted); false when it has to stop (too many commands, its session
// ended, or the program is stopping).
bool libsh_source_admit(dbgsh_srv_ctx *ctx);

// A FIFO or a device that gives no byte for this long ends the run.
constexpr u32 LIBSH_SOURCE_WAIT_MS = 60000;
// Sets that wait (0: LIBSH_SOURCE_WAIT_MS again); for tests.
void libsh_source_set_wait(u32 ms);
