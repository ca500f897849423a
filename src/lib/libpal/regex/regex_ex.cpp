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

// What the regex compiler makes of a pattern can be far larger and slower
// than the pattern: it copies a repeated part once per repetition ("+"
// twice, "{n,m}" m times), so stacked repetitions grow exponentially
// ("a++++++++++", "((a{1,100}){1,100}){1,100}"), and a loop over a part
// that can match the empty string ("(a*)*", "(x?|^)+", "a**") makes its
// closures explode, most of all next to anchors ("u$((l*)*){1,20}" takes
// many seconds). Such patterns are refused before they are compiled:
// loops over parts that may be empty, back-references (not part of
// extended expressions; they make matching exponential), and copies
// beyond the written pattern past a small budget.
class pattern_cost {
public:
    explicit pattern_cost(const char *pattern) : p_(pattern)
    {
        u64 size = alternatives(0).size;
        ok_ = !bad_ && size <= kCopiesMax + strlen(pattern);
    }
    bool ok() const { return ok_; }

private:
    static constexpr u64 kCopiesMax = 512;
    static constexpr u64 kSizeMax = kCopiesMax + REGEX_PATTERN_MAX;
    static constexpr int kDepthMax = 64;

    struct part {
        u64 size;
        bool nullable;  // may match the empty string
    };

    u64 add(u64 a, u64 b)
    {
        if (a + b > kSizeMax) bad_ = true;
        return bad_ ? kSizeMax : a + b;
    }
    u64 mul(u64 a, u64 b)
    {
        if (b && a > kSizeMax / b) bad_ = true;
        return bad_ ? kSizeMax : a * b;
    }

    // "{n}", "{n,}", "{n,m}" or "{,m}": true with the bounds (max 0: no
    // bound) and the scan moved past it.
    bool interval(u64 *min, u64 *max)
    {
        const char *q = p_ + 1;
        auto number = [&q](u64 *v) {
            bool digits = false;
            for (*v = 0; *q >= '0' && *q <= '9'; ++q) {
                if (*v < 100000) *v = *v * 10 + (u64)(*q - '0');
                digits = true;
            }
            return digits;
        };
        bool has_min = number(min);  // "{,m}" reads as "{0,m}"
        *max = *min;
        if (*q == ',') {
            ++q;
            if (!number(max)) *max = 0;
        } else if (!has_min) {
            return false;
        }
        if (*q != '}') return false;
        p_ = q + 1;
        return true;
    }

    void skip_bracket()
    {
        ++p_;
        if (*p_ == '^') ++p_;
        if (*p_ == ']') ++p_;
        while (*p_ && *p_ != ']') {
            if (*p_ == '[' && (p_[1] == ':' || p_[1] == '.' || p_[1] == '=')) {
                char end = p_[1];
                p_ += 2;
                while (*p_ && !(*p_ == end && p_[1] == ']')) ++p_;
                if (*p_) p_ += 2;
            } else {
                ++p_;
            }
        }
        if (*p_) ++p_;
    }

    part atom(int depth)
    {
        char c = *p_;
        if (c == '(') {
            ++p_;
            if (depth >= kDepthMax) {
                bad_ = true;
                return {kSizeMax, false};
            }
            part g = alternatives(depth + 1);
            if (*p_ == ')') ++p_;
            return {add(g.size, 1), g.nullable};
        }
        if (c == '[') {
            skip_bracket();
            return {1, false};
        }
        if (c == '\\' && p_[1]) {
            char e = p_[1];
            p_ += 2;
            if (e >= '1' && e <= '9') bad_ = true;
            // Word boundaries and buffer anchors match the empty string.
            return {1, strchr("bB<>`'", e) != nullptr};
        }
        ++p_;
        return {1, c == '^' || c == '$'};
    }

    // Applies the quantifiers that follow an atom.
    part quantified(part a)
    {
        for (;;) {
            u64 min = 0, max = 0;
            char c = *p_;
            if (c == '*' || c == '+' || c == '?') {
                ++p_;
                min = c == '+' ? 1 : 0;
                max = c == '?' ? 1 : 0;
            } else if (!(c == '{' && interval(&min, &max))) {
                return a;
            }
            bool repeats = max == 0 || max > 1;
            if (repeats && a.nullable) bad_ = true;
            if (c == '*' || c == '?') a.size = add(a.size, 1);
            else if (c == '+') a.size = mul(a.size, 2);
            else a.size = mul(a.size, (max > min ? max : min) + 1);
            if (min == 0) a.nullable = true;
            if (bad_) return a;
        }
    }

    part alternatives(int depth)
    {
        u64 total = 0, seq = 0;
        bool nullable = false, seq_nullable = true;
        // Outside every group a ")" is an ordinary character.
        while (*p_ && (*p_ != ')' || depth == 0) && !bad_) {
            if (*p_ == '|') {
                total = add(total, seq);
                nullable = nullable || seq_nullable;
                seq = 0;
                seq_nullable = true;
                ++p_;
                continue;
            }
            part a = quantified(atom(depth));
            seq = add(seq, a.size);
            seq_nullable = seq_nullable && a.nullable;
        }
        return {add(total, seq), nullable || seq_nullable};
    }

    const char *p_;
    bool bad_ = false;
    bool ok_ = false;
};

// Compiles pattern into re; 0, or the regcomp code with its text in err.
int compile(regex_t *re, const char *pattern, int flags, char *err, size_t errsize)
{
    if (strlen(pattern) > REGEX_PATTERN_MAX) {
        snprintf(err, errsize, "pattern longer than %zu characters", REGEX_PATTERN_MAX);
        return REG_ESIZE;
    }
    if (!pattern_cost(pattern).ok()) {
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
