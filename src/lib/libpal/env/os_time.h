#pragma once
// Clocks, deadlines, sleeps and local date parts.
#include <ctime>
#include "libpal/env/os_types.h"

struct os_time {
    i64 sec;
    u32 nsec;
};

struct os_time_parts {
    u16 year;
    u16 month;    // 1-12
    u16 weekday;  // 0 Sunday
    u16 day;
    u16 hour;
    u16 minute;
    u16 second;
    u16 msec;
};

void os_time_now(os_time *out);
void os_time_after_ms(os_time *out, u64 ms);
void os_timespec_after_ms(struct timespec *out, u64 ms);
void os_usleep(u64 us);
void os_msleep(u64 ms);
void os_sleep(u64 s);
u64 os_time_ms(void);
u64 os_time_us(void);
// Monotonic milliseconds, for deadlines and elapsed times.
u64 os_mono_ms(void);
// Monotonic microseconds, the same clock.
u64 os_mono_us(void);
u32 os_date_code(void);
void os_time_local(os_time_parts *out);
u64 os_uptime_ms(void);

// Local broken-down time and milliseconds of the current realtime clock
// (clock_gettime + localtime_r, cached per thread within one second).
void os_time_stamp(struct tm *out, u32 *msec, u32 *usec);
