#pragma once
// The runtime library: start-up, system identity and the common headers.
#include "libpal/env/os_types.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_time.h"
#include "libpal/env/os_mutex.h"
#include "libpal/env/tid_name.h"
#include "libpal/env/code_str.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_vector.h"
#include "liblog/log.h"

// System identity record.
struct pl_sys_info {
    const char *os_name;
    const char *arch_name;
    u64 sid;
    u64 boot_time;
    u64 start_ms;
    char host_name[128];
    u64 stime;
    u16 app_id;
    u8 os_id;
    u8 arch_id;
};

// The identity filled by pl_init (held by the application descriptor).
pl_sys_info *pl_sys_info_get(void);

int pl_init(void);
int pl_exit(void);
void pl_sys_init(void);
int pl_rlimit_init(void);
void pl_assert_hook(void);

// The host's description, made once and kept.
const char *os_get_info_cstr(void);
u64 os_mac_id(void);
// The hardware identity (the first interface's hardware address in hex),
// in a text of the calling thread's own, valid until its next call there.
const char *os_hw_info(void);

// Capacity record read by os_usage_percent: the third and fourth u64
// fields are the free and the total amount.
struct os_capacity {
    u64 a;
    u64 b;
    u64 free;
    u64 total;
};
double os_usage_percent(os_capacity *cap);
char *os_conf_path(char *buf, const char *name);
