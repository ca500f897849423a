// The level and flag vocabulary of the log: the three name tables and the
// conversions between codes, names and tag lists.
#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/code_str.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

const os_code_str log_level_name_tab[7] = {
    {8, "verb"}, {7, "dbg"}, {6, "info"}, {5, "noti"}, {4, "warn"}, {3, "err"}, {2, "crit"},
};
const os_code_str log_level_label_tab[7] = {
    {8, "VERB"}, {7, "DEBUG"}, {6, "INFO"}, {5, "NOTI"}, {4, "WARN"}, {3, "ERROR"}, {2, "CRIT"},
};
const os_code_str log_level_severity_tab[7] = {
    {8, "debug"}, {7, "debug"}, {6, "info"}, {5, "warning"},
    {4, "warning"}, {3, "error"}, {2, "error"},
};

// A name that is no level is told on standard error. It may come from a
// client ("set log.level", the web tool's update): shown with \xNN escapes,
// at most as long as a command line.
namespace {
using shown_name = str_log_esc<4096>;
}  // namespace

int log_level_2_int(const char *name)
{
    int v = os_str_to_code(name, log_level_name_tab, 7);
    if (v < 0) fprintf(stderr, "error: invalid level [%s]\n", name ? shown_name(name).c_str() : "(null)");
    return v;
}

int log_prefix_2_int(const char *label)
{
    int v = os_str_to_code(label, log_level_label_tab, 7);
    if (v < 0) fprintf(stderr, "error: invalid prefix [%s]\n", label ? shown_name(label).c_str() : "(null)");
    return v;
}

const char *log_level_2_str(int level) { return os_code_to_str(level, 0, log_level_name_tab, 7); }
const char *log_level_2_prefix(int level) { return os_code_to_str(level, 0, log_level_label_tab, 7); }
const char *log_level_2_severity(int level)
{
    return os_code_to_str(level, 0, log_level_severity_tab, 7);
}

const char *log_level_names(void)
{
    return "verb|dbg|info|noti|warn|err|crit";
}

const char *log_level_conf_str(void)
{
    static const char *text = [] {
        static char buf[128];
        snprintf(buf, sizeof buf,
                 "log.verb=%d\nlog.dbg=%d\nlog.info=%d\nlog.noti=%d\nlog.warn=%d\nlog.err=%d\n"
                 "log.crit=%d",
                 8, 7, 6, 5, 4, 3, 2);
        return buf;
    }();
    return text;
}

u32 log_flags_2_int(const char *tags)
{
    u32 f = LOG_F_COLOUR;
    if (!tags) return f;
    char buf[1024];
    str_safecopy_trunc(buf, sizeof buf, tags);
    char *save = nullptr;
    for (char *t = strtok_r(buf, "|", &save); t; t = strtok_r(nullptr, "|", &save)) {
        if (!strcmp(t, "no_colour")) f &= ~LOG_F_COLOUR;
        else if (!strcmp(t, "time")) f |= LOG_F_TIME;
        else if (!strcmp(t, "time_ms")) { f &= ~LOG_F_TIME; f |= LOG_F_TIME_MS; }
        else if (!strcmp(t, "func")) f |= LOG_F_FUNC;
        else if (!strcmp(t, "tid")) f |= LOG_F_TID;
        else if (!strcmp(t, "tid_name")) f |= LOG_F_TID_NAME;
        else if (!strcmp(t, "file")) f |= LOG_F_FILE | LOG_F_BASENAME;
        else fprintf(stderr, "Invalid tags: [%s]\n", t);
    }
    log_debug_printf("log_flags_2_int=%s 0x%x\n", tags, f);
    return f;
}
