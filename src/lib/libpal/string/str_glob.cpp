#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_glob"
#include "libpal/string/str_glob.h"

#include <cctype>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char NAME_SET[] = ";/\\\"'?:@# ";
constexpr char QUERY_KEY_SET[] = ";/\\\"'?:@# &=";
constexpr char QUERY_VAL_SET[] = "&";

inline bool chr_eq(char a, char b, int nocase)
{
    if (nocase) return tolower((unsigned char)a) == tolower((unsigned char)b);
    return a == b;
}

// End of the alternative that starts at p: the next '|' that is not
// escaped, or the end of the pattern.
const char *alt_end(const char *p)
{
    while (*p && *p != '|') {
        if (*p == '\\' && p[1]) ++p;
        ++p;
    }
    return p;
}

// Leftmost occurrence of seg[0..n) in q, '?' matching any character.
const char *seg_find(const char *q, const char *seg, size_t n, int nocase)
{
    size_t ql = strlen(q);
    for (size_t i = 0; i + n <= ql; ++i) {
        size_t k = 0;
        while (k < n && (seg[k] == '?' || chr_eq(q[i + k], seg[k], nocase))) ++k;
        if (k == n) return q + i;
    }
    return nullptr;
}

bool match_alt(const char *q, const char *p, const char *pend, int nocase)
{
    while (p < pend) {
        char c = *p;
        if (c == '?') {
            if (!*q) return false;
            ++q;
            ++p;
        } else if (c == '\\') {
            if (p + 1 >= pend) return *q == 0;
            if (!*q || !chr_eq(*q, p[1], nocase)) return false;
            ++q;
            p += 2;
        } else if (c == '*') {
            const char *seg = p + 1, *segend = seg;
            while (segend < pend && *segend != '*') ++segend;
            size_t n = (size_t)(segend - seg);
            if (n) {
                const char *hit = seg_find(q, seg, n, nocase);
                if (!hit) return false;
                q = hit + n;
            }
            // a last segment leaves the end of the text open
            if (segend == pend) return true;
            p = segend;
        } else {
            if (!*q || !chr_eq(*q, c, nocase)) return false;
            ++q;
            ++p;
        }
    }
    return *q == 0;
}

bool has_any(const char *s, const char *set) { return s && strpbrk(s, set) != nullptr; }

}  // namespace

int str_wildcard_imp(const char *s, const char *pattern, int nocase)
{
    if (!s || !pattern) return 0;
    const char *p = pattern;
    for (;;) {
        const char *end = alt_end(p);
        if (match_alt(s, p, end, nocase)) return 1;
        if (!*end) return 0;
        p = end + 1;
    }
}

int str_wildcard(const char *s, const char *pattern) { return str_wildcard_imp(s, pattern, 0); }

int str_iwildcard(const char *s, const char *pattern) { return str_wildcard_imp(s, pattern, 1); }

char *str_cmd_name(const char *cmd, char *out, size_t outsize)
{
    if (!out || outsize == 0) return out;
    if (!cmd) {
        out[0] = 0;
        return out;
    }
    const char *sp = strchr(cmd, ' ');
    if (!sp) {
        str_safecopy(out, outsize, cmd);
        return out;
    }
    size_t n = (size_t)(sp - cmd);
    if (n > outsize - 1) n = outsize - 1;
    memcpy(out, cmd, n);
    out[n] = 0;
    return out;
}

char *str_cmd_replace_name(const char *cmd, const char *name, char *out, size_t outsize)
{
    if (!out || outsize == 0) return out;
    if (str_safecopy(out, outsize, name) != 0) return out;
    const char *sp = cmd ? strchr(cmd, ' ') : nullptr;
    if (sp) str_safecat(out, outsize, sp);
    return out;
}

int str_args_join(int argc, char *const *argv, char *out, size_t outsize)
{
    if (!out || outsize == 0) return -1;
    out[0] = 0;
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
        char arg[4096];
        if (strchr(argv[i], ' '))
            str_sprintf_s(arg, sizeof arg, "\"%s\"", argv[i]);
        else
            str_safecopy(arg, sizeof arg, argv[i]);
        // the reporting appends empty out when it is full: stop there
        if (str_safecat(out, outsize, arg) != 0 || str_safecat(out, outsize, " ") != 0) {
            out[0] = 0;
            return -1;
        }
    }
    return 0;
}

int str_args_split(const char *cmdline, char **argv, char *buf, int *argc, size_t *nchars)
{
    int n = 0;
    size_t w = 0;
    auto put = [&](char c) {
        if (buf) buf[w] = c;
        ++w;
    };
    auto start_arg = [&]() {
        if (argv && buf) argv[n] = buf + w;
        ++n;
    };
    const char *p = cmdline ? cmdline : "";
    bool quoted = false;

    // argument 0: quotes toggle, backslashes are plain characters
    start_arg();
    for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            put(*p);
    }
    put(0);

    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        start_arg();
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                size_t nb = strspn(p, "\\");
                p += nb;
                if (*p == '"') {
                    for (size_t i = 0; i < nb / 2; ++i) put('\\');
                    if (nb & 1) {
                        put('"');
                        ++p;
                        continue;
                    }
                } else {
                    for (size_t i = 0; i < nb; ++i) put('\\');
                    continue;
                }
            }
            if (*p == '"') {
                if (quoted && p[1] == '"') {
                    put('"');
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
                continue;
            }
            put(*p++);
        }
        put(0);
    }
    if (argv && buf) argv[n] = nullptr;
    if (argc) *argc = n + 1;
    if (nchars) *nchars = w;
    return 0;
}

int str_is_digits(const char *s)
{
    if (!s) return 0;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return 0;
    return 1;
}

int str_has_multi_colon(const char *s)
{
    if (!s) return 0;
    const char *c = strchr(s, ':');
    return c && strchr(c + 1, ':') != nullptr;
}

int str_is_valid_name(const char *s) { return !has_any(s, NAME_SET); }

int str_is_valid_query_key(const char *s) { return !has_any(s, QUERY_KEY_SET); }

int str_is_valid_query_val(const char *s) { return !has_any(s, QUERY_VAL_SET); }

int str_check_name(const char *s, u32 flags, char *err)
{
    static constexpr struct {
        u32 flag;
        const char *set;
    } checks[] = {
        {STR_CHK_NAME, NAME_SET},
        {STR_CHK_QUERY_KEY, "&="},
        {STR_CHK_QUERY_VAL, "&"},
        {STR_CHK_BRACKETS, "[]"},
    };
    if ((flags & STR_CHK_NOT_EMPTY) && (!s || !*s)) {
        if (err) str_safecopy(err, STR_CHECK_ERR_SIZE, "Can't be empty");
        return 0;
    }
    for (const auto &c : checks) {
        if ((flags & c.flag) && has_any(s, c.set)) {
            if (err) str_sprintf_s(err, STR_CHECK_ERR_SIZE, "Can't Contain [%s]", c.set);
            return 0;
        }
    }
    return 1;
}
