#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_kv"
#include "libpal/string/str_kv.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr size_t KV_WORK_SIZE = 8192;

// Copies text to out when it fits with its NUL; out stays as it was when
// it does not.
int copy_fit(char *out, size_t outsize, const char *text)
{
    if (!out) return -1;
    size_t n = strlen(text);
    if (n + 1 > outsize) return -1;
    memcpy(out, text, n + 1);
    return 0;
}

// Field n of s: fields are separated by any one delimiter character.
const char *field_at(const char *s, const char *delims, int n, size_t *len)
{
    if (!s || !delims || n < 0) return nullptr;
    const char *p = s;
    for (int i = 0; i < n; ++i) {
        const char *q = strpbrk(p, delims);
        if (!q) return nullptr;
        p = q + 1;
    }
    *len = strcspn(p, delims);
    return p;
}

char *trimmed_dup(char *tok) { return os_strdup(str_trim(tok)); }

// Splits a private copy of text into lines and calls fn(line) on each
// until it returns a result.
template <typename F>
char *each_line(const char *text, F fn)
{
    if (!text) return nullptr;
    char *copy = os_strdup(text);
    if (!copy) return nullptr;
    char *res = nullptr, *save = nullptr;
    for (char *line = strtok_r(copy, "\n", &save); line && !res; line = strtok_r(nullptr, "\n", &save))
        res = fn(line);
    os_free(copy);
    return res;
}

// Tokens n and m of a line (strtok rules); false when either is missing.
bool line_tokens(char *line, const char *delims, int n, int m, char **tn, char **tm)
{
    *tn = *tm = nullptr;
    char *save = nullptr;
    int i = 0;
    for (char *t = strtok_r(line, delims, &save); t; t = strtok_r(nullptr, delims, &save), ++i) {
        if (i == n) *tn = t;
        if (i == m) *tm = t;
        if (i >= n && i >= m) break;
    }
    return *tn && *tm;
}

}  // namespace

char *str_substr(const char *s, size_t start, size_t length)
{
    if (!s) return nullptr;
    if (length == 0) OS_CHECK_LOG("length > 0");
    size_t len = strlen(s);
    if (start > len) start = len;
    size_t n = len - start < length ? len - start : length;
    return os_strndup(s + start, n);
}

int str_to_bool(const char *s)
{
    char b[16];
    if (str_safecopy(b, sizeof b, s) != 0) b[0] = 0;
    for (char *p = b; *p; ++p) *p = (char)tolower((unsigned char)*p);
    if (str_in_list("true,t,yes,y,on,up,running,enabled,available", b, ',') == 0) return 1;
    if (str_in_list("false,f,no,n,off,down,unused,disabled,unavailable", b, ',') == 0) return 0;
    return -1;
}

int str_list_has(const char *list, const char *delimiters, const char *word)
{
    if (!list || !delimiters || !word) return -1;
    char work[KV_WORK_SIZE];
    if (str_safecopy(work, sizeof work, list) != 0) return -1;
    char *save = nullptr;
    for (char *t = strtok_r(work, delimiters, &save); t; t = strtok_r(nullptr, delimiters, &save))
        if (strcmp(str_trim(t), word) == 0) return 0;
    return -1;
}

char *str_tok_n(char *s, const char *delimiters, int n)
{
    if (!s || !delimiters || n < 0) return nullptr;
    char *save = nullptr;
    char *t = strtok_r(s, delimiters, &save);
    for (int i = 0; t && i < n; ++i) t = strtok_r(nullptr, delimiters, &save);
    return t;
}

char *str_tok_n_dup(const char *s, const char *delimiters, int n)
{
    if (!s) return nullptr;
    char *copy = os_strdup(s);
    if (!copy) return nullptr;
    char *t = str_tok_n(copy, delimiters, n);
    char *res = t ? os_strdup(t) : nullptr;
    os_free(copy);
    return res;
}

char *str_get_key_or_val(const char *s, const char *delimiters, int n, char *out, size_t outsize)
{
    size_t len = 0;
    const char *f = field_at(s, delimiters, n, &len);
    if (!f || !out || len + 1 > outsize) return nullptr;
    memcpy(out, f, len);
    out[len] = 0;
    return out;
}

int str_get_key_and_val(const char *s, const char *delimiters, char *key, size_t keysize, char *val,
                        size_t valsize)
{
    if (!str_get_key_or_val(s, delimiters, 0, key, keysize)) return -1;
    if (!str_get_key_or_val(s, delimiters, 1, val, valsize)) return -1;
    return 0;
}

char *str_lines_find_col(const char *text, const char *delimiters, const char *key, int n, int m)
{
    if (!delimiters || !key || n < 0 || m < 0) return nullptr;
    return each_line(text, [&](char *line) -> char * {
        char *tn, *tm;
        if (!line_tokens(line, delimiters, n, m, &tn, &tm) || strcmp(tn, key) != 0) return nullptr;
        return trimmed_dup(tm);
    });
}

char *str_lines_find_col2(const char *text, const char *marker, const char *delimiters, int m)
{
    if (!marker || !delimiters || m < 0) return nullptr;
    return each_line(text, [&](char *line) -> char * {
        if (!strstr(line, marker)) return nullptr;
        char *tn, *tm;
        if (!line_tokens(line, delimiters, m, m, &tn, &tm)) return nullptr;
        return trimmed_dup(tm);
    });
}

// Finds the first item of list whose trimmed side before (by_value false)
// or after (by_value true) its first sep equals want, and copies the other
// side, trimmed, to out. An item without sep ends a search by key and is
// skipped by a search by value.
static int kv_lookup(const char *list, const char *delims, char sep, const char *want,
                     bool by_value, char *out, size_t outsize)
{
    if (!list || !delims || !want || !sep) return -1;
    char work[KV_WORK_SIZE];
    if (str_safecopy(work, sizeof work, list) != 0) return -1;
    char *save = nullptr;
    for (char *t = strtok_r(work, delims, &save); t; t = strtok_r(nullptr, delims, &save)) {
        char *s = strchr(t, sep);
        if (!s) {
            if (by_value) continue;
            return -1;
        }
        *s = 0;
        char *side = str_trim(t), *other = str_trim(s + 1);
        if (by_value) std::swap(side, other);
        if (strcmp(side, want) == 0) return copy_fit(out, outsize, other);
    }
    return -1;
}

int str_get_kv_val(const char *list, const char *item_delimiters, char kv_separator,
                   const char *key, char *out, size_t outsize)
{
    return kv_lookup(list, item_delimiters, kv_separator, key, false, out, outsize);
}

int str_get_kv_val_to(const char *list, const char *item_delimiters, char kv_separator,
                      const char *value, char *out, size_t outsize)
{
    return kv_lookup(list, item_delimiters, kv_separator, value, true, out, outsize);
}

int str_get_val(const char *list, const char *item_delimiters, const char *key, char *out,
                size_t outsize)
{
    return str_get_kv_val(list, item_delimiters, '=', key, out, outsize);
}

int str_get_line_val(const char *text, const char *key, char *out, size_t outsize)
{
    return str_get_val(text, "\r\n", key, out, outsize);
}

int str_get_url_arg(const char *query, const char *key, char *out, size_t outsize)
{
    char raw[KV_WORK_SIZE];
    if (str_get_val(query, "&", key, raw, sizeof raw) != 0) return -1;
    return str_unescape_url_args(raw, out, outsize);
}

char *str_add_url_arg(char *buf, size_t size, const char *key, const char *value)
{
    if (!buf || !key || !value) return buf;
    char esc[KV_WORK_SIZE];
    if (str_escape_url_args(value, esc, sizeof esc) != 0) return buf;
    size_t len = strnlen(buf, size);
    if (len >= size) return buf;
    size_t need = len + (len ? 1 : 0) + strlen(key) + 1 + strlen(esc) + 1;
    if (need > size) {
        OS_CHECK_LOG("need<=size");
        return buf;
    }
    snprintf(buf + len, size - len, "%s%s=%s", len ? "&" : "", key, esc);
    return buf;
}

int str_get_val_bracket(const char *text, const char *key, char *out, size_t outsize)
{
    char val[KV_WORK_SIZE];
    if (str_get_kv_val(text, "\n", '=', key, val, sizeof val) != 0) return -1;
    char *open = strchr(val, '[');
    char *close = strrchr(val, ']');
    if (!open || !close || close < open) return -1;
    *close = 0;
    return copy_fit(out, outsize, open + 1);
}

int str_get_val_unquote(const char *list, const char *item_delimiters, char kv_separator,
                        const char *key, char *out, size_t outsize)
{
    char val[KV_WORK_SIZE];
    if (str_get_kv_val(list, item_delimiters, kv_separator, key, val, sizeof val) != 0) return -1;
    size_t n = strlen(val);
    if (str_is_enclosed(val, '\'', '\'') || str_is_enclosed(val, '"', '"') ||
        str_is_enclosed(val, '[', ']')) {
        val[n - 1] = 0;
        return copy_fit(out, outsize, val + 1);
    }
    return copy_fit(out, outsize, val);
}

int str_get_line_val_unquote(const char *text, const char *key, char *out, size_t outsize)
{
    return str_get_val_unquote(text, "\n", '=', key, out, outsize);
}

int str_set_val(char *buf, size_t size, const char *delimiters, int mode, const char *key,
                const char *value)
{
    if (!buf || size == 0 || !delimiters || !*delimiters || !key) return -1;
    if (!value) value = "";
    if (!memchr(buf, 0, size)) return -1;
    str_vector items;
    str_vector_init(&items, STR_VEC_SKIP_EMPTY);
    str_buf *res = str_buf_new();
    if (!res || str_split(buf, delimiters, &items) != 0) {
        if (res) str_buf_free(res);
        str_vector_fini(&items);
        return -1;
    }
    size_t klen = strlen(key);
    bool found = false;
    for (u64 i = 0; i < items.count; ++i) {
        const char *it = items.items[i];
        bool hit = strncmp(it, key, klen) == 0 && it[klen] == '=';
        found = found || hit;
        if (hit && (mode == STR_MAP_SET_ALWAYS || mode == STR_MAP_SET_EXIST)) {
            str_buf_printf(res, "%s=%s%s", key, value, delimiters);
        } else if (hit && mode == STR_MAP_DEL_EXIST) {
            continue;
        } else {
            str_buf_printf(res, "%s%s", it, delimiters);
        }
    }
    if (!found && (mode == STR_MAP_SET_ALWAYS || mode == STR_MAP_SET_NOT_EXIST))
        str_buf_printf(res, "%s=%s%s", key, value, delimiters);
    str_vector_fini(&items);

    size_t dlen = strlen(delimiters);
    if (res->length >= dlen && memcmp(res->data + res->length - dlen, delimiters, dlen) == 0)
        str_buf_cut_tail(res, dlen);
    int rc = 0;
    if (res->length + 1 > size) {
        OS_CHECK_LOG("len<size");
        rc = -1;
    } else {
        memcpy(buf, res->data, res->length + 1);
    }
    str_buf_free(res);
    return rc;
}
