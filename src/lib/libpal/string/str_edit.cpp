#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_edit"
#include <cctype>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

int str_is_blank_chr(int c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

int str_is_quote_chr(int c)
{
    return c == '\'' || c == '"';
}

char *str_trim_imp(char *text, int (*pred)(int), int ch)
{
    auto trimmable = [&](unsigned char c) {
        return c < 0x80 && ((pred && pred(c)) || c == (unsigned char)ch);
    };
    size_t n = strlen(text);
    if (!n) return text;
    while (n && trimmable((unsigned char)text[n - 1])) text[--n] = 0;
    size_t i = 0;
    while (i < n && trimmable((unsigned char)text[i])) ++i;
    if (i) memmove(text, text + i, n - i + 1);
    return text;
}

char *str_trim(char *text) { return str_trim_imp(text, str_is_blank_chr, 0); }
char *str_trim_quote(char *text) { return str_trim_imp(text, str_is_quote_chr, 0); }
char *str_trim_chr(char *text, int ch) { return str_trim_imp(text, nullptr, ch); }

char *str_trim_all(char *text)
{
    return str_trim(str_trim_quote(str_trim(text)));
}

char *str_rtrim(char *text)
{
    size_t n = strlen(text);
    while (n) {
        unsigned char c = (unsigned char)text[n - 1];
        if (c >= 0x80 || !(c == ' ' || c == '\t' || c == '\v' || c == '\f')) break;
        text[--n] = 0;
    }
    return text;
}

int str_insert_head(char *text, size_t size, const char *head)
{
    char *tmp = os_strdup(text);
    if (!tmp) return -1;
    str_safecopy(text, size, head);
    str_safecat(text, size, tmp);
    os_free(tmp);
    return 0;
}

int str_add_chr_not_exist_tail(char *text, size_t size, char c)
{
    size_t len = strnlen(text, size);
    if (size < 2) {
        // A one-byte buffer has no room for c and its NUL.
        OS_CHECK_LOG("len+1 <= slen || slen >= 2");
        return -1;
    }
    if (len && text[len - 1] == c) return 0;
    if (len + 1 >= size) {
        text[size - 2] = c;
        text[size - 1] = 0;
        return 0;
    }
    text[len] = c;
    text[len + 1] = 0;
    return 0;
}

char *str_zero(char *text)
{
    if (text) memset(text, 0, strlen(text));
    return text;
}

char *str_tolower(char *text)
{
    for (char *p = text; *p; ++p) *p = (char)tolower((unsigned char)*p);
    return text;
}

char *str_toupper(char *text)
{
    for (char *p = text; *p; ++p) *p = (char)toupper((unsigned char)*p);
    return text;
}

char *str_delchars(char *text, const char *set)
{
    char *w = text;
    for (const char *r = text; *r; ++r)
        if (!strchr(set, *r)) *w++ = *r;
    *w = 0;
    return text;
}

char *str_delchar(char *text, char c)
{
    char *w = text;
    for (const char *r = text; *r; ++r)
        if (*r != c) *w++ = *r;
    *w = 0;
    return text;
}

char *str_rdelchar(char *text, char c)
{
    OS_CHECK_TXT(text != nullptr, "str!=NULL", text);
    char *p = strrchr(text, c);
    if (p && c) memmove(p, p + 1, strlen(p + 1) + 1);
    return text;
}

char *str_strip_ends(char *text)
{
    size_t n = strlen(text);
    if (n <= 2) {
        text[0] = 0;
        return text;
    }
    memmove(text, text + 1, n - 2);
    text[n - 2] = 0;
    return text;
}

char *str_del_suffix(char *text, const char *suffix)
{
    size_t n = strlen(text), m = strlen(suffix);
    if (m <= n && memcmp(text + n - m, suffix, m) == 0) text[n - m] = 0;
    return text;
}

char *str_delete(char *text, size_t pos, size_t n)
{
    size_t len = strlen(text);
    if (pos >= len) return text;
    if (n > len - pos) n = len - pos;
    memmove(text + pos, text + pos + n, len - pos - n + 1);
    return text;
}

char *str_delete_to(char *dst, const char *src, size_t pos, size_t n)
{
    size_t len = strlen(src);
    if (pos >= len) {
        if (dst != src) memmove(dst, src, len + 1);
        return dst;
    }
    if (n > len - pos) n = len - pos;
    if (dst != src) memmove(dst, src, pos);
    memmove(dst + pos, src + pos + n, len - pos - n + 1);
    return dst;
}

int str_del_str(char *text, const char *sub)
{
    size_t m = strlen(sub);
    if (!m) return 1;
    char *p = strstr(text, sub);
    if (!p) return 0;
    memmove(p, p + m, strlen(p + m) + 1);
    return 1;
}

void str_reverse(char *text)
{
    size_t n = strlen(text);
    for (size_t i = 0; i < n / 2; ++i) {
        char t = text[i];
        text[i] = text[n - 1 - i];
        text[n - 1 - i] = t;
    }
}

int str_replace_split(char *text, const char *sep)
{
    str_vector v;
    str_vector_init(&v, 0);
    if (str_split(text, sep, &v) != 0) {
        str_vector_fini(&v);
        return -1;
    }
    size_t cap = strlen(text) + 1;
    text[0] = 0;
    for (u64 i = 0; i < v.count; ++i) {
        str_safecat(text, cap, v.items[i]);
        if (strlen(text) + 1 >= cap) break;
        str_safecat(text, cap, sep);
    }
    str_vector_fini(&v);
    return 0;
}
