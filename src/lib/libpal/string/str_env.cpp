#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_env"
#include "libpal/string/str_env.h"

#include <climits>
#include <cstring>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "libpal/env/os_time.h"
#include "libpal/libpal.h"
#include "libpal/os/os_mac.h"

namespace {

const char *env_lookup(const char *name, void *)
{
    return os_getenv(name);
}

// The result and the name being collected (both always terminated), plus
// the lookup shared by both forms.
struct expander {
    expander(str_env_lookup_fn l, void *a)
        : out(str_buf_new()), name(str_buf_new()), lookup(l ? l : env_lookup), arg(a)
    {
    }
    ~expander()
    {
        if (out) str_buf_free(out);
        if (name) str_buf_free(name);
    }
    expander(const expander &) = delete;
    expander &operator=(const expander &) = delete;
    str_buf *out;
    str_buf *name;
    str_env_lookup_fn lookup;
    void *arg;

    bool ready() const { return out && name; }
    void put(const char *p, size_t n) { str_buf_append(out, p, n); }
    void put(char c) { str_buf_append_chr(out, c); }
    void put_name() { put(name->data, name->length); }
    void add(char c) { str_buf_append_chr(name, c); }
    void clear_name() { str_buf_cut_tail(name, name->length); }
    // Writes the value of a non-empty name; true when it had one.
    bool put_value()
    {
        if (name->length == 0) return false;
        const char *v = lookup(name->data, arg);
        if (v) str_buf_append_cstr(out, v);
        return v != nullptr;
    }
    char *finish()
    {
        char *r = str_buf_detach_nonnull(out);
        out = nullptr;
        return r;
    }
};

bool ends_name(char c)
{
    return c == '/' || c == '\\' || c == '_' || c == ':' || c == '=';
}

}  // namespace

const char *str_env_lookup(const char *name)
{
    return name ? os_getenv(name) : nullptr;
}

// Literal runs are copied straight from the input; only names are collected.
char *str_env_expand_imp(const char *text, str_env_lookup_fn lookup, void *arg)
{
    if (!text) return nullptr;
    expander x(lookup, arg);
    if (!x.ready()) return nullptr;
    enum { LITERAL, NAME, BRACE } st = LITERAL;
    const char *lit = text;  // start of the pending literal run
    const char *p = text;
    for (; *p; ++p) {
        char c = *p;
        switch (st) {
        case LITERAL:
            if (c == '$') {
                x.put(lit, (size_t)(p - lit));
                x.clear_name();
                st = NAME;
            }
            break;
        case NAME:
            if (c == '{') {
                st = BRACE;
            } else if (c == '$') {
                x.put_value();
                x.clear_name();
            } else if (ends_name(c)) {
                x.put_value();
                st = LITERAL;
                lit = p;  // the terminator begins the next literal run
            } else {
                x.add(c);
            }
            break;
        case BRACE:
            if (c == '}') {
                x.put_value();
                st = LITERAL;
                lit = p + 1;
            } else {
                x.add(c);
            }
            break;
        }
    }
    if (st == LITERAL) x.put(lit, (size_t)(p - lit));
    else if (st == NAME) x.put_value();
    else x.put_name();
    return x.finish();
}

char *str_env_expand(const char *text)
{
    return str_env_expand_imp(text, env_lookup, nullptr);
}

char *str_env_expand_pct_imp(const char *text, str_env_lookup_fn lookup, void *arg)
{
    if (!text) return nullptr;
    expander x(lookup, arg);
    if (!x.ready()) return nullptr;
    bool in_name = false;
    const char *lit = text;
    const char *p = text;
    for (; *p; ++p) {
        if (!in_name) {
            if (*p == '%') {
                x.put(lit, (size_t)(p - lit));
                x.clear_name();
                in_name = true;
            }
        } else if (*p == '%') {
            if (x.name->length && !x.put_value()) {
                x.put('%');
                x.put_name();
                x.put('%');
            }
            in_name = false;
            lit = p + 1;
        } else {
            x.add(*p);
        }
    }
    if (in_name) {
        x.put('%');
        x.put_name();
    } else {
        x.put(lit, (size_t)(p - lit));
    }
    return x.finish();
}

char *str_env_expand_pct(const char *text)
{
    return str_env_expand_pct_imp(text, env_lookup, nullptr);
}

char *str_env_expand2(const char *text, char *buf, size_t size)
{
    OS_CHECK_RET(buf && size > 0, buf);
    char *s = str_env_expand_pct(text);
    if (!s) {
        buf[0] = 0;
        return buf;
    }
    str_safecopy(buf, size, s);
    os_free(s);
    return buf;
}

int str_check_chars(const char *text, u32 flags)
{
    if (!text) return 0;
    for (const char *p = text; *p; ++p) {
        char c = *p;
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        bool digit = c >= '0' && c <= '9';
        if (!((alpha && (flags & STR_CHARS_ALPHA)) || (digit && (flags & STR_CHARS_DIGIT)))) return 0;
    }
    return 1;
}

u64 os_hostid(void)
{
    return os_mac_id();
}

char *os_hostname(char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0) name[0] = 0;
    name[HOST_NAME_MAX] = 0;
    if (!name[0] || strcmp(name, "(none)") == 0) str_safecopy(name, sizeof name, "none");
    str_safecopy_trunc(buf, size, name);
    return buf;
}

namespace {
u64 read_boot_time()
{
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    os_time now;
    os_time_now(&now);
    return (u64)(now.sec - si.uptime);
}
}  // namespace

u64 os_boot_time(void)
{
    static const u64 boot = read_boot_time();
    return boot;
}
