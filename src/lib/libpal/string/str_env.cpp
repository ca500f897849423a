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

// Growing, always terminated collector for names; any length fits.
class name_buf {
public:
    name_buf() { data_[0] = 0; }
    ~name_buf()
    {
        if (data_ != small_) os_free(data_);
    }
    name_buf(const name_buf &) = delete;
    name_buf &operator=(const name_buf &) = delete;

    bool add(char c)
    {
        if (len_ + 1 >= cap_ && !grow()) return false;
        data_[len_++] = c;
        data_[len_] = 0;
        return true;
    }
    void clear()
    {
        len_ = 0;
        data_[0] = 0;
    }
    const char *str() const { return data_; }
    size_t len() const { return len_; }

private:
    bool grow()
    {
        size_t cap = cap_ * 2;
        char *d = (char *)os_malloc(cap);
        if (!d) return false;
        memcpy(d, data_, len_ + 1);
        if (data_ != small_) os_free(data_);
        data_ = d;
        cap_ = cap;
        return true;
    }
    char small_[128];
    char *data_ = small_;
    size_t len_ = 0;
    size_t cap_ = sizeof small_;
};

// The result buffer plus the scan state shared by both forms.
struct expander {
    expander(str_buf *o, str_env_lookup_fn l, void *a) : out(o), lookup(l ? l : env_lookup), arg(a) {}
    str_buf *out;
    str_env_lookup_fn lookup;
    void *arg;
    name_buf name;
    bool ok = true;

    void put(const char *p, size_t n) { str_buf_append(out, p, n); }
    void put(char c) { str_buf_append_chr(out, c); }
    void add(char c) { ok = name.add(c) && ok; }
    const char *value() { return lookup(name.str(), arg); }
    // Writes the value of a non-empty name; true when it had one.
    bool put_value()
    {
        if (name.len() == 0) return false;
        const char *v = value();
        if (v) str_buf_append_cstr(out, v);
        return v != nullptr;
    }
    char *finish()
    {
        if (!ok) {
            str_buf_free(out);
            return nullptr;
        }
        return str_buf_detach_nonnull(out);
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
    str_buf *out = str_buf_new();
    if (!out) return nullptr;
    expander x(out, lookup, arg);
    enum { LITERAL, NAME, BRACE } st = LITERAL;
    const char *lit = text;  // start of the pending literal run
    const char *p = text;
    for (; *p; ++p) {
        char c = *p;
        switch (st) {
        case LITERAL:
            if (c == '$') {
                x.put(lit, (size_t)(p - lit));
                x.name.clear();
                st = NAME;
            }
            break;
        case NAME:
            if (c == '{') {
                st = BRACE;
            } else if (c == '$') {
                x.put_value();
                x.name.clear();
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
    else x.put(x.name.str(), x.name.len());
    return x.finish();
}

char *str_env_expand(const char *text)
{
    return str_env_expand_imp(text, env_lookup, nullptr);
}

char *str_env_expand_pct_imp(const char *text, str_env_lookup_fn lookup, void *arg)
{
    if (!text) return nullptr;
    str_buf *out = str_buf_new();
    if (!out) return nullptr;
    expander x(out, lookup, arg);
    bool in_name = false;
    const char *lit = text;
    const char *p = text;
    for (; *p; ++p) {
        if (!in_name) {
            if (*p == '%') {
                x.put(lit, (size_t)(p - lit));
                x.name.clear();
                in_name = true;
            }
        } else if (*p == '%') {
            if (x.name.len() && !x.put_value()) {
                x.put('%');
                x.put(x.name.str(), x.name.len());
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
        x.put(x.name.str(), x.name.len());
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
