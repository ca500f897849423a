#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/regex/regex_ex"
#include "libpal/regex/regex_ex.h"

#include <cstring>
#include <new>
#include <regex.h>

#include "libpal/env/malloc.h"
#include "libpal/libpal.h"
#include "libpal/string/str_buf.h"

namespace {

constexpr int kMatchFlags = REG_EXTENDED | REG_NEWLINE;

// The regex compiler copies a repeated part once per repetition ("+" twice,
// "{n,m}" m times), so stacked repetitions grow it exponentially ("a++++...",
// "((a{1,100}){1,100}){1,100}"), and its closures over optional parts grow
// it by another power ("((a*)*){1,500}" takes seconds). This estimate of the
// compiled size follows the copying rule; the copies beyond the written
// pattern are limited, which keeps the worst compile near a tenth of a
// second.
constexpr u64 kCopiesMax = 512;
constexpr u64 kSizeMax = kCopiesMax + REGEX_PATTERN_MAX;  // saturation point
constexpr int kDepthMax = 64;

u64 sat_add(u64 a, u64 b)
{
    return a + b > kSizeMax ? kSizeMax + 1 : a + b;
}
u64 sat_mul(u64 a, u64 b)
{
    return (b && a > kSizeMax / b) ? kSizeMax + 1 : a * b;
}

// "{n}", "{n,}" or "{n,m}" at p: the largest count plus one, p moved past
// it; 0 when p holds no interval.
u64 interval(const char *&p)
{
    const char *q = p + 1;
    u64 n = 0, m = 0;
    bool digits = false;
    for (; *q >= '0' && *q <= '9'; ++q) {
        if (n < 100000) n = n * 10 + (u64)(*q - '0');
        digits = true;
    }
    m = n;
    if (*q == ',') {
        ++q;
        m = 0;
        bool upper = false;
        for (; *q >= '0' && *q <= '9'; ++q) {
            if (m < 100000) m = m * 10 + (u64)(*q - '0');
            upper = true;
        }
        if (!upper) m = n;
    }
    if (!digits || *q != '}') return 0;
    p = q + 1;
    return (m > n ? m : n) + 1;
}

void skip_bracket(const char *&p)
{
    ++p;
    if (*p == '^') ++p;
    if (*p == ']') ++p;
    while (*p && *p != ']') {
        if (*p == '[' && (p[1] == ':' || p[1] == '.' || p[1] == '=')) {
            char end = p[1];
            p += 2;
            while (*p && !(*p == end && p[1] == ']')) ++p;
            if (*p) p += 2;
        } else {
            ++p;
        }
    }
    if (*p) ++p;
}

u64 size_of_alt(const char *&p, int depth);

u64 size_of_atom(const char *&p, int depth)
{
    if (*p == '(') {
        ++p;
        u64 s = depth < kDepthMax ? size_of_alt(p, depth + 1) : kSizeMax + 1;
        if (*p == ')') ++p;
        return sat_add(s, 1);
    }
    if (*p == '[') {
        skip_bracket(p);
    } else if (*p == '\\' && p[1]) {
        // Back-references (not part of extended expressions) can make a
        // match take exponential time.
        bool backref = p[1] >= '1' && p[1] <= '9';
        p += 2;
        if (backref) return kSizeMax + 1;
    } else {
        ++p;
    }
    return 1;
}

u64 size_of_alt(const char *&p, int depth)
{
    u64 total = 0, seq = 0;
    while (*p && *p != ')' && total <= kSizeMax && seq <= kSizeMax) {
        if (*p == '|') {
            total = sat_add(total, seq);
            seq = 0;
            ++p;
            continue;
        }
        u64 atom = size_of_atom(p, depth);
        for (;;) {
            u64 k;
            if (*p == '*' || *p == '?') {
                atom = sat_add(atom, 1);
                ++p;
            } else if (*p == '+') {
                atom = sat_mul(atom, 2);
                ++p;
            } else if (*p == '{' && (k = interval(p)) != 0) {
                atom = sat_mul(atom, k);
            } else {
                break;
            }
        }
        seq = sat_add(seq, atom);
    }
    return sat_add(total, seq);
}

bool size_ok(const char *pattern)
{
    const char *p = pattern;
    u64 s = 0;
    // A ")" without its "(" ends size_of_alt early: go on after it.
    while (*p && s <= kSizeMax) {
        s = sat_add(s, size_of_alt(p, 0));
        if (*p == ')') ++p;
    }
    return s <= kCopiesMax + strlen(pattern);
}

// Compiles pattern into re; 0, or the regcomp code with its text in err.
int compile(regex_t *re, const char *pattern, int flags, char *err, size_t errsize)
{
    if (strlen(pattern) > REGEX_PATTERN_MAX) {
        snprintf(err, errsize, "pattern longer than %zu characters", REGEX_PATTERN_MAX);
        return REG_ESIZE;
    }
    if (!size_ok(pattern)) {
        snprintf(err, errsize, "pattern too complex");
        return REG_ESPACE;
    }
    int rc = regcomp(re, pattern, flags);
    if (rc != 0) regerror(rc, re, err, errsize);
    return rc;
}

// Compiled pattern freed when the scope ends.
struct scoped_regex {
    regex_t re;
    bool ok = false;
    ~scoped_regex()
    {
        if (ok) regfree(&re);
    }
};

}  // namespace

struct regex_cached {
    regex_t re;
    int ok;
    int icase;
    // A pattern without special characters matches where it occurs as a
    // substring: searched directly, which is several times faster.
    char *literal;
};

namespace {

bool is_literal(const char *pattern)
{
    return !strpbrk(pattern, ".[]()*+?{}|^$\\");
}

}  // namespace

int regmatch_imp(const char *pattern, const char *text, int icase)
{
    if (!pattern || !text) return 0;
    scoped_regex r;
    char err[256];
    if (compile(&r.re, pattern, kMatchFlags | (icase ? REG_ICASE : 0), err, sizeof err) != 0) {
        LOG_ERR("regcomp: %s\n", err);
        return 0;
    }
    r.ok = true;
    return regexec(&r.re, text, 0, nullptr, 0) == 0;
}

int reg_match(const char *text, const char *pattern)
{
    return regmatch_imp(pattern, text, 0);
}

int reg_imatch(const char *text, const char *pattern)
{
    return regmatch_imp(pattern, text, 1);
}

regex_cached *regex_cached_new(const char *pattern, int icase)
{
    if (!pattern) return nullptr;
    regex_cached *r = (regex_cached *)os_zalloc(sizeof *r);
    if (!r) return nullptr;
    r->icase = icase ? 1 : 0;
    char err[256];
    if (compile(&r->re, pattern, kMatchFlags | (icase ? REG_ICASE : 0), err, sizeof err) != 0) {
        LOG_ERR("regcomp: %s\n", err);
        return r;
    }
    r->ok = 1;
    if (is_literal(pattern)) r->literal = os_strdup(pattern);
    return r;
}

void regex_cached_free(regex_cached *re)
{
    if (!re) return;
    if (re->ok) regfree(&re->re);
    os_free(re->literal);
    os_free(re);
}

int regex_cached_ok(const regex_cached *re)
{
    return re && re->ok;
}

int regex_cached_icase(const regex_cached *re)
{
    return re ? re->icase : 0;
}

int regex_cached_match(const regex_cached *re, const char *text)
{
    if (!re || !re->ok || !text) return 0;
    if (re->literal) return (re->icase ? strcasestr(text, re->literal) : strstr(text, re->literal)) != nullptr;
    return regexec(&re->re, text, 0, nullptr, 0) == 0;
}

namespace {

// First match at or after text + from; eflags as for regexec.
cns_reg_res find_from(const regex_t *re, const char *text, size_t from)
{
    regmatch_t m;
    int rc = regexec(re, text + from, 1, &m, from ? REG_NOTBOL : 0);
    if (rc != 0) {
        if (rc != REG_NOMATCH) {
            char err[256];
            regerror(rc, re, err, sizeof err);
            LOG_ERR("%s: regcomp('%s')\n", err, text);
        }
        return {1, -1, -1};
    }
    return {0, (i64)from + m.rm_so, (i64)from + m.rm_eo};
}

}  // namespace

cns_reg_res cns_reg(const char *text, const char *pattern)
{
    if (!text || !pattern) return {1, -1, -1};
    scoped_regex r;
    char err[256];
    if (compile(&r.re, pattern, REG_EXTENDED, err, sizeof err) != 0) {
        LOG_ERR("%s: regex '%s'\n", err, pattern);
        return {1, -1, -1};
    }
    r.ok = true;
    return find_from(&r.re, text, 0);
}

char *regex_replace_all(const char *text, const char *pattern, const char *replacement)
{
    if (!text || !pattern || !replacement) return nullptr;
    if (strcmp(pattern, replacement) == 0) return os_strdup(text);
    scoped_regex r;
    char err[256];
    if (compile(&r.re, pattern, REG_EXTENDED, err, sizeof err) != 0) {
        LOG_ERR("%s: regex '%s'\n", err, pattern);
        return os_strdup(text);
    }
    r.ok = true;
    str_buf *out = str_buf_new();
    if (!out) return nullptr;
    size_t len = strlen(text);
    size_t pos = 0;
    while (pos <= len) {
        cns_reg_res m = find_from(&r.re, text, pos);
        if (m.status != 0) break;
        str_buf_append(out, text + pos, (size_t)m.start - pos);
        str_buf_append_cstr(out, replacement);
        pos = (size_t)m.end;
        if (m.end == m.start) {
            // An empty match: step over one character so the walk ends.
            if (pos < len) str_buf_append_chr(out, text[pos]);
            ++pos;
        }
    }
    if (pos < len) str_buf_append(out, text + pos, len - pos);
    return str_buf_detach_nonnull(out);
}
