#include "libpal/env/os_time.h"

#include <cerrno>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <time.h>

void os_time_now(os_time *out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    out->sec = ts.tv_sec;
    out->nsec = (u32)ts.tv_nsec;
}

void os_time_after_ms(os_time *out, u64 ms)
{
    os_time now;
    os_time_now(&now);
    u32 ns = (u32)(ms % 1000) * 1000000u + now.nsec;
    i64 carry = 0;
    if (ns >= 1000000000u) {
        ns -= 1000000000u;
        carry = 1;
    }
    out->sec = now.sec + (i64)(ms / 1000) + carry;
    out->nsec = ns;
}

void os_timespec_after_ms(struct timespec *out, u64 ms)
{
    os_time t;
    os_time_after_ms(&t, ms);
    out->tv_sec = (time_t)t.sec;
    out->tv_nsec = (long)t.nsec;
}

void os_usleep(u64 us)
{
    struct timespec ts;
    ts.tv_sec = (time_t)(us / 1000000);
    ts.tv_nsec = (long)(us % 1000000) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void os_msleep(u64 ms)
{
    os_usleep(ms * 1000);
}

void os_sleep(u64 s)
{
    os_usleep(s * 1000000);
}

u64 os_time_ms(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return (u64)-1;
    return (u64)tv.tv_sec * 1000 + (u64)tv.tv_usec / 1000;
}

u64 os_time_us(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return (u64)-1;
    return (u64)tv.tv_sec * 1000000 + (u64)tv.tv_usec;
}

u64 os_mono_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (u64)ts.tv_sec * 1000 + (u64)ts.tv_nsec / 1000000;
}

u64 os_mono_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (u64)ts.tv_sec * 1000000 + (u64)ts.tv_nsec / 1000;
}

u32 os_date_code(void)
{
    struct tm tm;
    os_time_stamp(&tm, nullptr, nullptr);
    return (u32)tm.tm_year << 16 | (u32)tm.tm_mon << 8 | (u32)tm.tm_mday;
}

void os_time_local(os_time_parts *out)
{
    // One clock read serves the date and the milliseconds.
    struct tm tm;
    u32 ms;
    os_time_stamp(&tm, &ms, nullptr);
    out->year = (u16)(tm.tm_year + 1900);
    out->month = (u16)(tm.tm_mon + 1);
    out->weekday = (u16)tm.tm_wday;
    out->day = (u16)tm.tm_mday;
    out->hour = (u16)tm.tm_hour;
    out->minute = (u16)tm.tm_min;
    out->second = (u16)tm.tm_sec;
    out->msec = (u16)ms;
}

u64 os_uptime_ms(void)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    return (u64)si.uptime * 1000;
}

void os_time_stamp(struct tm *out, u32 *msec, u32 *usec)
{
    thread_local time_t last_sec = (time_t)-1;
    thread_local struct tm last_tm;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != last_sec) {
        localtime_r(&ts.tv_sec, &last_tm);
        last_sec = ts.tv_sec;
    }
    *out = last_tm;
    if (msec) *msec = (u32)(ts.tv_nsec / 1000000);
    if (usec) *usec = (u32)(ts.tv_nsec / 1000);
}
