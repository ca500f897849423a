#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_buf"
#include "libpal/string/str_buf.h"

#include <cstdarg>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"

str_buf *str_buf_new(void)
{
    str_buf *b = (str_buf *)os_zalloc(sizeof(str_buf));
    if (!b) return nullptr;
    b->data = (char *)os_zalloc(STR_BUF_STEP);
    if (!b->data) {
        os_free(b);
        return nullptr;
    }
    b->capacity = STR_BUF_STEP;
    return b;
}

int str_buf_reset(str_buf *buf)
{
    buf->length = 0;
    memset(buf->data, 0, buf->capacity);
    return 0;
}

int str_buf_free(str_buf *buf)
{
    os_free(buf->data);
    os_free(buf);
    return 0;
}

char *str_buf_detach(str_buf *buf)
{
    char *d = buf->data;
    if (buf->length == 0) {
        os_free(d);
        d = nullptr;
    }
    os_free(buf);
    return d;
}

char *str_buf_detach_nonnull(str_buf *buf)
{
    char *d = str_buf_detach(buf);
    return d ? d : os_strdup("");
}

char *str_buf_get(str_buf *buf)
{
    return buf->length ? buf->data : nullptr;
}

// Grows the capacity to at least need bytes, in whole 4096-byte steps,
// with one reallocation.
static bool str_buf_reserve(str_buf *buf, u64 need)
{
    if (need <= buf->capacity) return true;
    u64 cap = (need + STR_BUF_STEP - 1) / STR_BUF_STEP * STR_BUF_STEP;
    char *d = (char *)safe_realloc(buf->data, cap);
    if (!d) return false;
    memset(d + buf->capacity, 0, cap - buf->capacity);
    buf->data = d;
    buf->capacity = cap;
    return true;
}

void str_buf_grow(str_buf *buf)
{
    str_buf_reserve(buf, buf->capacity + STR_BUF_STEP);
}

void str_buf_append_imp(str_buf *buf, const void *bytes, size_t n)
{
    if (n > UINT64_MAX - 1 - buf->length) return;
    if (!str_buf_reserve(buf, buf->length + n + 1)) return;
    memcpy(buf->data + buf->length, bytes, n);
    buf->length += n;
    buf->data[buf->length] = 0;
}

void str_buf_append(str_buf *buf, const void *bytes, size_t n)
{
    if (n) str_buf_append_imp(buf, bytes, n);
}

void str_buf_append_cstr(str_buf *buf, const char *text)
{
    str_buf_append(buf, text, strlen(text));
}

void str_buf_append_chr(str_buf *buf, char c)
{
    str_buf_append_imp(buf, &c, 1);
}

void str_buf_cut_tail(str_buf *buf, size_t n)
{
    if (buf->length == 0) return;
    if (n > buf->length) n = buf->length;
    buf->length -= n;
    memset(buf->data + buf->length, 0, n);
}

int str_buf_printf(str_buf *buf, const char *fmt, ...)
{
    char *tmp = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = safe_vasprintf(&tmp, fmt, ap);
    va_end(ap);
    if (n < 0) return n;
    str_buf_append(buf, tmp, (size_t)n);
    os_free(tmp);
    return n;
}

void str_lines_init(str_lines *lines, char *buffer, size_t size)
{
    lines->buffer = buffer;
    lines->size = size;
    lines->length = 0;
    if (size) buffer[0] = 0;
}

void str_lines_add(str_lines *lines, const char *text)
{
    size_t n = strlen(text);
    if (lines->length + 1 + n <= lines->size) {
        memcpy(lines->buffer + lines->length, text, n + 1);
        lines->length += n;
        return;
    }
    // Drop the oldest whole lines until at least n bytes are freed.
    size_t k = 0;
    for (;;) {
        const char *lf = (const char *)memchr(lines->buffer + k, '\n', lines->length - k);
        if (!lf) return;  // cannot be made to fit: dropped
        k = (size_t)(lf - lines->buffer) + 1;
        if (k >= n) break;
    }
    size_t rest = lines->length - k;
    if (rest) memmove(lines->buffer, lines->buffer + k, rest);
    lines->buffer[rest] = 0;
    lines->length = rest;
    if (lines->length + 1 + n > lines->size) return;
    memcpy(lines->buffer + lines->length, text, n + 1);
    lines->length += n;
}

char *str_relace_imp(const char *src, const char *old, const char *rep, size_t max_count,
                     char *out, size_t out_size)
{
    if (!src || !old || !rep) return nullptr;
    size_t slen = strlen(src), olen = strlen(old), rlen = strlen(rep);
    size_t count = 0;
    if (olen) {
        for (const char *p = strstr(src, old); p; p = strstr(p + olen, old)) {
            ++count;
            if (max_count && count == max_count) break;
        }
    }
    // The result length, computed without wrapping.
    size_t len = slen - count * olen;
    if (rlen && count > (SIZE_MAX - 1 - len) / rlen) return nullptr;
    len += count * rlen;
    char *dst = out;
    if (!out) {
        dst = (char *)os_malloc(len + 1);
        if (!dst) return nullptr;
    } else if (len + 1 > out_size) {
        return nullptr;
    }
    char *w = dst;
    const char *r = src;
    for (size_t i = 0; i < count; ++i) {
        const char *m = strstr(r, old);
        memcpy(w, r, (size_t)(m - r));
        w += m - r;
        memcpy(w, rep, rlen);
        w += rlen;
        r = m + olen;
    }
    memcpy(w, r, strlen(r) + 1);
    return dst;
}

char *str_relace_to(const char *src, const char *old, const char *rep, char *out, size_t out_size)
{
    return str_relace_imp(src, old, rep, 0, out, out_size);
}

char *str_relace(const char *src, const char *old, const char *rep)
{
    return str_relace_imp(src, old, rep, 0, nullptr, 0);
}

char *str_replace_chr(char *text, char c1, char c2)
{
    for (char *p = text; *p; ++p)
        if (*p == c1) *p = c2;
    return text;
}

u32 *wstr_replace_chr(u32 *wtext, u32 c1, u32 c2)
{
    for (u32 *p = wtext; *p; ++p)
        if (*p == c1) *p = c2;
    return wtext;
}

char *str_set_last_chr(char *text, char c)
{
    size_t n = strlen(text);
    if (n) text[n - 1] = c;
    return text;
}

char *str_quote_imp(const char *text, const char *set, char q, char *out, size_t out_size)
{
    if (!text || !*text) {
        str_sprintf_s(out, out_size, "%c%c", q, q);
    } else if (strpbrk(text, set) && text[0] != q) {
        str_sprintf_s(out, out_size, "%c%s%c", q, text, q);
    } else {
        str_safecopy(out, out_size, text);
    }
    return out;
}

char *str_dquote(const char *t, char *o, size_t n) { return str_quote_imp(t, " \t;", '"', o, n); }
char *str_squote(const char *t, char *o, size_t n) { return str_quote_imp(t, " \t;", '\'', o, n); }
char *str_squote_shell(const char *t, char *o, size_t n)
{
    return str_quote_imp(t, " \t$%;", '\'', o, n);
}
char *str_dquote_shell(const char *t, char *o, size_t n)
{
    return str_quote_imp(t, " \t$%;", '"', o, n);
}
char *str_dquote_conf(const char *t, char *o, size_t n) { return str_quote_imp(t, " #;", '"', o, n); }

const char *str_shell_quote(const char *text, char *out, size_t out_size)
{
    size_t w = 0;
    const char *p = text;
    while (*p) {
        size_t n = strcspn(p, "'");
        size_t m = strspn(p + n, "'");
        size_t pair = (n ? n + 2 : 0) + (m == 0 ? 0 : m == 1 ? 2 : m + 2);
        if (w + 1 + pair > out_size) return nullptr;
        if (n) {
            out[w++] = '\'';
            memcpy(out + w, p, n);
            w += n;
            out[w++] = '\'';
        }
        if (m == 1) {
            out[w++] = '\\';
            out[w++] = '\'';
        } else if (m >= 2) {
            out[w++] = '"';
            memcpy(out + w, p + n, m);
            w += m;
            out[w++] = '"';
        }
        p += n + m;
    }
    if (w + 1 > out_size) return nullptr;
    out[w] = 0;
    return p;
}
