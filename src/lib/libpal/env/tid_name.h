#pragma once
// Thread-name registry: "name_XXXX" per kernel thread id, for the log.
#include "libpal/env/os_types.h"

int os_thread_name_init(void);
int os_thread_name_set(const char *name);
char *os_thread_name_get(char *buf, size_t size);
// The calling thread's name as it was last set or looked up on this
// thread, read without a lock (async-signal-safe): the bare thread id when
// the thread has none kept.
char *os_thread_name_get_cached(char *buf, size_t size);
int os_thread_name_del(void);
// Changes whenever a name is set or removed: what was made from the names
// of one generation holds while it lasts.
u32 os_thread_name_gen(void);
void os_thread_name_exit(void);
// The calling thread's kernel id and the process id, kept after the first
// call (async-signal-safe from then on) and read again in a forked child.
u32 os_gettid(void);
u32 os_getpid(void);
