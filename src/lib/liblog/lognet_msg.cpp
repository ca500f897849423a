#define LOG_MOD "tag"
#define LOG_SRC "src/lib/liblog/lognet_msg"
#include "liblog/lognet_msg.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/env/tid_name.h"
#include "libpal/string/str_safe.h"

namespace {

// The host name of the messages, read once (by the first connection).
char g_host[64];
std::once_flag g_host_once;
std::atomic<bool> g_host_read{false};

// Appends to a bounded text without the formatter.
struct text_out {
    char *p;
    size_t size, n = 0;
    void add(const char *s, size_t max = (size_t)-1)
    {
        for (; max && *s && n + 1 < size; --max) p[n++] = *s++;
    }
    void add_num(long v, int width = 0, char fill = '0')
    {
        char t[24];
        int k = 0;
        unsigned long u = v < 0 ? 0ul - (unsigned long)v : (unsigned long)v;
        do {
            t[k++] = (char)('0' + u % 10);
            u /= 10;
        } while (u);
        while (k < width) t[k++] = fill;
        if (v < 0) t[k++] = '-';
        while (k && n + 1 < size) p[n++] = t[--k];
    }
    size_t end()
    {
        if (size) p[n] = 0;
        return n;
    }
};

// "Mmm dd hh:mm:ss" of a local time, as ctime writes it from its fifth
// character on.
void add_stamp(text_out &o, const struct tm *t)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    int mon = t->tm_mon >= 0 && t->tm_mon < 12 ? t->tm_mon : 0;
    o.add(months + 3 * mon, 3);
    o.add(" ");
    o.add_num((unsigned)t->tm_mday % 100, 2, ' ');
    o.add(" ");
    o.add_num((unsigned)t->tm_hour % 100, 2);
    o.add(":");
    o.add_num((unsigned)t->tm_min % 100, 2);
    o.add(":");
    o.add_num((unsigned)t->tm_sec % 100, 2);
}

// The words of a reason: the output's own, or the system's for an errno
// value (a static text: no buffer, no lock).
const char *why_text(int why)
{
    switch (why) {
    case LOG_NET_WHY_SLOW: return "the peer read too slowly";
    case LOG_NET_WHY_NOT_YET: return "no connection stood yet";
    case LOG_NET_WHY_NO_NAME: return "its host does not resolve";
    case LOG_NET_WHY_SLOW_NAME: return "its host name was not found in time";
    case LOG_NET_WHY_CLOSED: return "the output closed before they were sent";
    case 0: return "ok";
    default: break;
    }
    const char *t = why > 0 ? strerrordesc_np(why) : nullptr;
    return t ? t : "unknown error";
}

}  // namespace

const char *syslog_host_name()
{
    std::call_once(g_host_once, [] {
        char h[256] = "";
        if (gethostname(h, sizeof h - 1) != 0) h[0] = 0;
        h[sizeof h - 1] = 0;
        if (!h[0] || strcmp(h, "(none)") == 0) str_safecopy_trunc(h, sizeof h, "unknown");
        str_safecopy_trunc(g_host, sizeof g_host, h);
        g_host_read.store(true, std::memory_order_release);
    });
    return g_host;
}

size_t syslog_compose(char *out, size_t size, int pri, const struct tm *local, const char *tag,
                      unsigned pid, const char *msg, u32 flags)
{
    if (!out || size == 0) return 0;
    // The message leaves out the line's time prefix.
    size_t skip = (flags & LOG_F_TIME) ? 9 : (flags & LOG_F_TIME_MS) ? 13 : 0;
    if (!msg) msg = "";
    if (skip && strnlen(msg, skip) == skip) msg += skip;
    // "<%d>%.15s %.32s %.64s[%u]: %.800s"
    text_out o{out, size};
    o.add("<");
    o.add_num(pri);
    o.add(">");
    add_stamp(o, local);
    o.add(" ");
    o.add(g_host_read.load(std::memory_order_acquire) ? g_host : "unknown", 32);
    o.add(" ");
    o.add(tag && *tag ? tag : "<someone>", 64);
    o.add("[");
    o.add_num(pid);
    o.add("]: ");
    o.add(msg, 800);
    return o.end();
}

size_t syslog_message(char *out, size_t size, int level, const char *tag, const char *msg, u32 flags)
{
    struct tm tm;
    os_time_stamp(&tm, nullptr, nullptr);
    syslog_host_name();
    // Facility user, the severity of syslog_level_name's names.
    int sev = (level & 0xff) < 7 ? (level & 0xff) : 7;
    return syslog_compose(out, size, 8 | sev, &tm, tag, os_getpid(), msg, flags);
}

int log_net_dropped_text(char *buf, size_t size, const char *url, u32 count, int why)
{
    // "%u log records dropped: syslog %.256s could not take them (%s)\n"
    text_out o{buf, size};
    o.add_num((long)count);
    o.add(" log records dropped: syslog ");
    o.add(url ? url : "", 256);
    o.add(" could not take them (");
    o.add(why_text(why));
    o.add(")\n");
    return (int)o.end();
}

size_t log_net_note_message(char *out, size_t size, const char *url, u32 count, int why)
{
    char text[700];
    log_net_dropped_text(text, sizeof text, url, count, why);
    return syslog_message(out, size, LOG_LVL_WARN, LOG_MOD, text, 0) + 1;
}
