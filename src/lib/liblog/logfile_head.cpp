#include <cstring>
#include <ctime>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"

// The header of a text file line: its time stamp, level label, process
// id, thread name and module.

namespace {

inline size_t put_n(char *p, unsigned v, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = (char)('0' + v % 10);
        v /= 10;
    }
    return (size_t)digits;
}

// Two decimal digits of v (below 100).
inline void put_2(char *p, unsigned v)
{
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    memcpy(p, kPairs + 2 * v, 2);
}

inline size_t put_s(char *p, size_t room, const char *s)
{
    size_t n = strnlen(s, room);
    memcpy(p, s, n);
    return n;
}

// The level labels as the header writes them, padded to five.
constexpr char kLabels[7][6] = {"CRIT ", "ERROR", "WARN ", "NOTI ", "INFO ", "DEBUG", "VERB "};

// Text that changes at most once a second (the date and time up to the
// dot), kept per thread.
struct stamp_cache {
    int sod = -1, mday = 0, mon = 0, year = 0;
    char stamp[20];  // "YYYY-MM-DD HH:MM:SS."
};
thread_local stamp_cache t_stamp;

// The header behind the time as this thread last made it, with what it
// was made from (level, module, process id, and the generation of the
// thread names): a record with the same copies it.
struct head_cache {
    u32 gen = 0;
    u32 pid = 0;
    int level = -1;
    u32 len = 0;
    char module[64];
    char text[256];
};
thread_local head_cache t_head;

// Compares two texts without reading past the end of either.
bool same_text(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (!*a) return true;
    }
}

}  // namespace

void log_file_stamp(char *s, u64 *tod)
{
    struct tm tm;
    u32 usec;
    os_time_stamp(&tm, nullptr, &usec);  // usec < 1000000
    stamp_cache &c = t_stamp;
    int sod = (tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec;  // second of the day
    if (sod != c.sod || tm.tm_mday != c.mday || tm.tm_mon != c.mon || tm.tm_year != c.year) {
        c.sod = sod;
        c.mday = tm.tm_mday;
        c.mon = tm.tm_mon;
        c.year = tm.tm_year;
        int year = tm.tm_year + 1900;
        if (year < 0 || year > 9999) year = 0;
        char *t = c.stamp;
        t += put_n(t, (unsigned)year, 4);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mon + 1, 2);
        *t++ = '-';
        t += put_n(t, (unsigned)tm.tm_mday, 2);
        *t++ = ' ';
        t += put_n(t, (unsigned)tm.tm_hour, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_min, 2);
        *t++ = ':';
        t += put_n(t, (unsigned)tm.tm_sec, 2);
        *t = '.';
    }
    *tod = (u64)sod * 1000000u + usec;
    static_assert(sizeof c.stamp + 7 == LOG_FILE_STAMP);
    memcpy(s, c.stamp, sizeof c.stamp);
    put_2(s + sizeof c.stamp, usec / 10000);
    put_2(s + sizeof c.stamp + 2, usec / 100 % 100);
    put_2(s + sizeof c.stamp + 4, usec % 100);
    s[LOG_FILE_STAMP - 1] = ' ';
}

size_t log_file_head(char *h, int level, const char *module)
{
    if (!module) module = "";
    head_cache &k = t_head;
    u32 gen = os_thread_name_gen(), pid = os_getpid();
    char *t = h + LOG_FILE_STAMP;
    if (k.gen == gen && k.pid == pid && k.level == level && same_text(module, k.module)) {
        // A short one as a copy of known size, which the compiler makes
        // inline (h has room for it).
        static_assert(LOG_FILE_STAMP + 64 <= LOG_FILE_HEAD_MAX);
        if (k.len <= 64) memcpy(t, k.text, 64);
        else memcpy(t, k.text, k.len);
        return LOG_FILE_STAMP + k.len;
    }
    size_t n = 0;
    if (level >= LOG_LVL_CRIT && level <= LOG_LVL_VERB) {
        memcpy(t, kLabels[level - LOG_LVL_CRIT], 5);
        n = 5;
    } else {
        n = put_s(t, 32, log_level_2_prefix(level));
        while (n < 5) t[n++] = ' ';
    }
    t[n++] = ' ';
    char digits[12];
    char *e = digits + sizeof digits, *d = e;
    for (u32 v = pid; d == e || v; v /= 10) *--d = (char)('0' + v % 10);
    memcpy(t + n, d, (size_t)(e - d));
    n += (size_t)(e - d);
    memcpy(t + n, " --- [", 6);
    n += 6;
    os_thread_name_get(t + n, 256);
    n += strnlen(t + n, 255);
    t[n++] = ']';
    t[n++] = ' ';
    size_t ml = put_s(t + n, 255, module);
    n += ml;
    t[n++] = ' ';
    static_assert(LOG_FILE_STAMP + 32 + 1 + 10 + 6 + 255 + 2 + 255 + 1 <= LOG_FILE_HEAD_MAX);
    if (ml < sizeof k.module && n <= sizeof k.text) {
        memcpy(k.module, module, ml + 1);
        memcpy(k.text, t, n);
        k.len = (u32)n;
        k.level = level;
        k.pid = pid;
        k.gen = gen;
    }
    return LOG_FILE_STAMP + n;
}

