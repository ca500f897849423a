#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_tools"
// Search and test functions over NUL-terminated texts.
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_vector.h"

namespace {

// Case-insensitive byte match: letters fold by bit 0x20, everything else
// must be equal.
inline bool ci_eq(unsigned char a, unsigned char b)
{
    unsigned ua = a & 0xDFu, ub = b & 0xDFu;
    if (ua == ub && ua >= 'A' && ua <= 'Z') return true;
    return a == b;
}

// End test of the prefix and suffix forms: NUL and space both end the text.
inline bool ci_end(unsigned char c) { return (c & 0xDFu) == 0; }

inline bool is_word_chr(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

int str_start_with(const char *text, const char *prefix)
{
    if (!text || !prefix) return 0;
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int str_istart_with(const char *text, const char *prefix)
{
    if (!text || !prefix) return 0;
    for (size_t i = 0;; ++i) {
        unsigned char t = (unsigned char)text[i], p = (unsigned char)prefix[i];
        if (ci_end(t)) return p == 0;
        if (p == 0) return 1;
        if (!ci_eq(t, p)) return 0;
    }
}

int str_end_with(const char *text, const char *suffix)
{
    if (!text || !suffix) return 0;
    size_t tl = strlen(text), sl = strlen(suffix);
    if (tl < sl) return 0;
    return memcmp(text + tl - sl, suffix, sl) == 0;
}

int str_iend_with(const char *text, const char *suffix)
{
    if (!text || !suffix) return 0;
    size_t tl = strlen(text), sl = strlen(suffix);
    if (tl < sl) return 0;
    const char *t = text + tl - sl;
    for (size_t i = 0; i < sl; ++i) {
        if (ci_end((unsigned char)t[i])) return 0;
        if (!ci_eq((unsigned char)t[i], (unsigned char)suffix[i])) return 0;
    }
    return 1;
}

int str_is_enclosed(const char *text, char c1, char c2)
{
    if (!text || text[0] != c1) return 0;
    size_t n = strlen(text);
    return n > 1 && text[n - 1] == c2;
}

const char *str_istr(const char *text, const char *sub)
{
    OS_CHECK_TXT(text != nullptr, "pstr!=NULL", nullptr);
    OS_CHECK_TXT(sub != nullptr, "psubstr!=NULL", nullptr);
    size_t tl = strlen(text), sl = strlen(sub);
    if (tl < sl) return nullptr;
    for (size_t i = 0; i + sl <= tl; ++i) {
        size_t k = 0;
        while (k < sl && ci_eq((unsigned char)text[i + k], (unsigned char)sub[k])) ++k;
        if (k == sl) return text + i;
    }
    return nullptr;
}

// One search step: start is where the text really begins, so that the byte
// before a match is judged even when the search resumes inside the text.
static const char *find_word_step(const char *start, const char *text, const char *word,
                                  const char **next, int nocase)
{
    const char *m = nocase ? str_istr(text, word) : strstr(text, word);
    if (!m) {
        *next = nullptr;
        return nullptr;
    }
    size_t wl = strlen(word);
    *next = m + wl;
    if (m != start && is_word_chr((unsigned char)m[-1])) return nullptr;
    if (m[wl] == 0 || !is_word_chr((unsigned char)m[wl])) return m;
    return nullptr;
}

const char *str_find_word_imp(const char *text, const char *word, const char **next, int nocase)
{
    const char *dummy;
    if (!next) next = &dummy;
    if (!text || !word) {
        *next = nullptr;
        return nullptr;
    }
    return find_word_step(text, text, word, next, nocase);
}

static const char *find_word(const char *text, const char *word, int nocase)
{
    if (!text || !word || !*word) return nullptr;
    const char *cursor = text;
    const char *hit = nullptr;
    while (cursor && !hit) hit = find_word_step(text, cursor, word, &cursor, nocase);
    return hit;
}

const char *str_find_word(const char *text, const char *word) { return find_word(text, word, 0); }

const char *str_ifind_word(const char *text, const char *word) { return find_word(text, word, 1); }

const char *str_rstr(const char *text, const char *sub)
{
    OS_CHECK_TXT(text != nullptr, "dst", nullptr);
    OS_CHECK_TXT(sub != nullptr, "src", nullptr);
    size_t tl = strlen(text), sl = strlen(sub);
    if (tl == 0) return nullptr;
    if (sl == 0) return text + tl - 1;
    if (tl < sl) return nullptr;
    for (size_t i = tl - sl + 1; i-- > 0;)
        if (memcmp(text + i, sub, sl) == 0) return text + i;
    return nullptr;
}

const char *str_has_any_chr(const char *text, const char *set)
{
    if (!text || !set) return nullptr;
    for (const char *s = set; *s; ++s) {
        const char *p = strchr(text, *s);
        if (p) return p;
    }
    return nullptr;
}

const char *str_rchr_any(const char *text, const char *set)
{
    if (!text || !set || !*set) return nullptr;
    for (size_t i = strlen(text); i-- > 0;)
        if (strchr(set, text[i])) return text + i;
    return nullptr;
}

size_t str_count_chrs(const char *text, const char *set)
{
    if (!text || !set || !*set) return 0;
    size_t n = 0;
    for (const char *p = text; *p; ++p)
        if (strchr(set, *p)) ++n;
    return n;
}

int str_in_list(const char *list, const char *word, char sep)
{
    if (!list || !word) return -1;
    size_t wl = strlen(word);
    const char *p = list;
    for (;;) {
        const char *e = sep ? strchr(p, sep) : nullptr;
        size_t n = e ? (size_t)(e - p) : strlen(p);
        if (n == wl && memcmp(p, word, wl) == 0) return 0;
        if (!e) return -1;
        p = e + 1;
    }
}

int str_multi_find(const char *list, const char *text)
{
    if (!list || !text) return -1;
    int i = 0;
    for (const char *p = list; *p; p += strlen(p) + 1, ++i)
        if (strcmp(p, text) == 0) return i;
    return -1;
}

const char *str_get_token(const char *text, const char *delims, char *buf, size_t buflen)
{
    if (!text || !buf) return nullptr;
    size_t n = delims ? strcspn(text, delims) : strlen(text);
    if (n + 1 > buflen) return nullptr;
    memcpy(buf, text, n);
    buf[n] = 0;
    return text + n;
}

char *str_concat_dup(const char *a, const char *b)
{
    if (!a) return nullptr;
    if (!b) return os_strdup(a);
    size_t la = strlen(a), lb = strlen(b);
    char *r = (char *)os_malloc(la + lb + 1);
    if (!r) return nullptr;
    memcpy(r, a, la);
    memcpy(r + la, b, lb + 1);
    return r;
}

char *str_dup_add_chr(const char *text, char c)
{
    if (!text || c == 0) return nullptr;
    size_t n = strlen(text);
    char *r = (char *)os_malloc(n + 2);
    if (!r) return nullptr;
    memcpy(r, text, n);
    r[n] = c;
    r[n + 1] = 0;
    return r;
}

int str_cmp_show_dbg(const char *a, const char *b)
{
    if (!a || !b) return 0;
    size_t la = strlen(a);
    for (size_t i = 0; i < la; ++i) {
        if (a[i] != b[i]) LOG_ERR("off=%u %c=%c\n", (unsigned)i, a[i], b[i]);
        if (b[i] == 0) break;
    }
    return 0;
}
