#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_url"
#include "libpal/string/str_url.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr size_t kOutSize = 4096;     // the getters' output buffers
constexpr int kPortDigits = 12;
// Characters a query key may not hold.
#define URL_BAD_KEY_CHARS ";/\\\"'?:@# &="

// Writes the fields one after another into the record's buffer, each with
// its NUL; once a field does not fit every later put fails too.
struct field_writer {
    char *buf;
    size_t used = 0;
    bool ok = true;

    char *put(const char *s, size_t n)
    {
        if (!ok || n + 1 > URL_BUF_SIZE - used) {
            ok = false;
            return buf;
        }
        char *p = buf + used;
        memcpy(p, s, n);
        p[n] = 0;
        used += n + 1;
        return p;
    }
    char *put(const char *s) { return put(s, strlen(s)); }
};

bool is_space_ctl(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The part after the first '?' of a URL, or the whole text.
const char *query_part(const char *text)
{
    const char *q = strchr(text, '?');
    return q ? q + 1 : text;
}

bool parse_into(url *u, const char *text)
{
    char t[URL_BUF_SIZE];
    if (str_safecopy(t, sizeof t, text) != 0) return false;
    url_normalize(t);

    field_writer w{u->buffer};
    const char *p = t;
    const char *sep = nullptr;
    bool plain = false;
    if (strncmp(t, "///", 3) == 0) {
        u->protocol = w.put("name");
        p = t + 3;
    } else if ((sep = strstr(t, "://")) != nullptr) {
        u->protocol = w.put(t, (size_t)(sep - t));
        p = sep + 3;
    } else {
        u->protocol = w.put("file");
        plain = true;
    }

    if (plain) {
        u->user = w.put("");
        u->passwd = w.put("");
        u->host = w.put("");
        size_t n = strcspn(p, "?");
        u->path = w.put(p, n);
        u->query = w.put(p[n] ? p + n + 1 : "");
        u->hash = w.put("");
        return w.ok;
    }

    // User information ends at the last '@' of the authority, which ends
    // at the first '/', '?' or '#'.
    size_t auth = strcspn(p, "/?#");
    const char *at = (const char *)memrchr(p, '@', auth);
    if (at) {
        const char *colon = (const char *)memchr(p, ':', (size_t)(at - p));
        u->user = w.put(p, (size_t)((colon ? colon : at) - p));
        u->passwd = colon ? w.put(colon + 1, (size_t)(at - colon - 1)) : w.put("");
        p = at + 1;
    } else {
        u->user = w.put("");
        u->passwd = w.put("");
    }

    if (*p == '[') {
        const char *h = p + 1;
        const char *e = strchr(h, ']');
        if (!e) e = h + strlen(h);
        u->host = w.put(h, (size_t)(e - h));
        p = *e ? e + 1 : e;
    } else {
        size_t n = strcspn(p, " \t\n\v\f\r&/:?#");
        u->host = w.put(p, n);
        p += n;
    }

    u->port = 0;
    if (*p == ':') {
        ++p;
        u64 v = 0;
        for (int i = 0; i < kPortDigits && *p >= '0' && *p <= '9'; ++i, ++p) v = v * 10 + (u64)(*p - '0');
        u->port = (u16)v;
        if (v > 65535)
            LOG_WARN("port %llu of host [%s] is above 65535, %u is used\n", (unsigned long long)v,
                     w.ok ? u->host : "", (unsigned)u->port);
    }

    while (is_space_ctl(*p)) ++p;
    size_t n = strcspn(p, "#?");
    u->path = n ? w.put(p, n) : w.put("/");
    p += n;

    if (*p == '?') {
        ++p;
        while (is_space_ctl(*p) || *p == '?') ++p;
        n = strcspn(p, "#");
        u->query = w.put(p, n);
        p += n;
    } else {
        u->query = w.put("");
    }
    u->hash = w.put(*p == '#' ? p + 1 : "");
    return w.ok;
}

}  // namespace

int url_parser_imp(url *u, const char *text)
{
    OS_CHECK_RET(u && u->buffer && text, -1);
    if (parse_into(u, text)) return 0;
    memset(u->buffer, 0, URL_BUF_SIZE);
    u->protocol = u->user = u->passwd = u->host = u->path = u->query = u->hash = u->buffer;
    u->port = 0;
    return -1;
}

int url_parser(url *u, char *buffer, const char *text)
{
    OS_CHECK_RET(u && buffer, -1);
    memset(u, 0, sizeof *u);
    memset(buffer, 0, URL_BUF_SIZE);
    u->buffer = buffer;
    return url_parser_imp(u, text);
}

void url_dump(const url *u)
{
    if (!u) return;
    auto field = [](const char *name, const char *v) {
        if (v && *v) printf("%s=%s\n", name, v);
    };
    field("protocol", u->protocol);
    field("user", u->user);
    // The password is never shown, only that there is one.
    if (u->passwd && *u->passwd) printf("passwd=******\n");
    field("host", u->host);
    if (u->port) printf("port=%d\n", (int)u->port);
    field("path", u->path);
    field("query", u->query);
    field("hash", u->hash);
}

namespace {

// Parses text into a record with its own buffer on the heap (8 KiB is too
// much to add to every caller's stack twice).
struct parsed {
    url u{};
    char *buf;
    int rc;

    explicit parsed(const char *text) : buf((char *)os_malloc(URL_BUF_SIZE))
    {
        rc = buf ? url_parser(&u, buf, text) : -1;
    }
    ~parsed() { os_free(buf); }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;
    bool ok() const { return rc == 0; }
};

int copy_field(const char *text, char *out, char *url::*field)
{
    if (!text || !out) return -1;
    parsed p(text);
    if (!p.ok() || !*(p.u.*field)) return -1;
    return str_safecopy(out, kOutSize, p.u.*field) == 0 ? 0 : -1;
}

}  // namespace

int url_get_protocol(const char *text, char *out)
{
    if (!text || !out) return -1;
    parsed p(text);
    if (!p.ok()) return -1;
    return str_safecopy(out, kOutSize, p.u.protocol) == 0 ? 0 : -1;
}

char *url_protocol_tip(const char *text, char *out)
{
    if (url_get_protocol(text, out) == 0) str_safecat(out, kOutSize, "://...");
    else str_safecopy(out, kOutSize, "file://...");
    return out;
}

int url_get_type(const char *text)
{
    static constexpr struct {
        const char *name;
        int kind;
    } kinds[] = {
        {"file", URL_TYPE_FILE}, {"http", URL_TYPE_HTTP}, {"https", URL_TYPE_HTTP},
        {"vkp", URL_TYPE_VKP},   {"vkps", URL_TYPE_VKP},  {"ftp", URL_TYPE_FTP},
        {"ftps", URL_TYPE_FTP},  {"name", URL_TYPE_NAME},
    };
    if (!text) return URL_TYPE_UNKNOWN;
    parsed p(text);
    if (!p.ok()) return URL_TYPE_UNKNOWN;
    for (const auto &k : kinds)
        if (strcmp(p.u.protocol, k.name) == 0) return k.kind;
    return URL_TYPE_UNKNOWN;
}

int url_get_host(const char *text, char *out)
{
    return copy_field(text, out, &url::host);
}

int url_get_path(const char *text, char *out)
{
    return copy_field(text, out, &url::path);
}

char *url_template(const char *text, char *out)
{
    if (!out) return out;
    parsed p(text ? text : "");
    if (!p.ok()) {
        str_safecopy(out, URL_BUF_SIZE, "url parser error");
        return out;
    }
    const url &u = p.u;
    str_buf *b = str_buf_new();
    if (!b) {
        out[0] = 0;
        return out;
    }
    if (strcmp(u.protocol, "name") == 0) str_buf_append_cstr(b, "///");
    else if (strcmp(u.protocol, "file") != 0) str_buf_printf(b, "%s://", u.protocol);
    if (*u.user) str_buf_append_cstr(b, *u.passwd ? "user:pwd@" : "user@");
    if (*u.host) str_buf_append_cstr(b, "host");
    if (u.port) str_buf_append_cstr(b, ":port");
    str_buf_append_cstr(b, u.path);
    if (*u.query) str_buf_printf(b, "?%s", u.query);
    if (*u.hash) str_buf_append_cstr(b, "#hash");
    str_safecopy(out, URL_BUF_SIZE, str_buf_get(b));
    str_buf_free(b);
    return out;
}

// --- query reading -------------------------------------------------------

int url_get_query_imp(const char *text, const char *key, const char *def, char *out,
                      size_t outsize)
{
    if (text && key) {
        char raw[URL_BUF_SIZE], val[URL_BUF_SIZE];
        if (str_get_val(query_part(text), "&", key, raw, sizeof raw) == 0 &&
            str_unescape_url_args(raw, val, sizeof val) == 0)
            return str_safecopy(out, outsize, val);
    }
    return str_safecopy(out, outsize, def ? def : "");
}

int url_has_query(const char *text, const char *key)
{
    if (!text || !key) return 0;
    char raw[URL_BUF_SIZE];
    return str_get_val(query_part(text), "&", key, raw, sizeof raw) == 0 ? 1 : 0;
}

char *url_get_query(const char *text, const char *key, const char *def, char *out,
                    size_t outsize)
{
    url_get_query_imp(text, key, def, out, outsize);
    return out;
}

char *url_get_query_dup(const char *text, const char *key, const char *def)
{
    char out[kOutSize];
    url_get_query_imp(text, key, def, out, sizeof out);
    return os_strdup(out);
}

long url_get_query_int(const char *text, const char *key, long def)
{
    char v[64];
    url_get_query_imp(text, key, "", v, sizeof v);
    return v[0] ? atol(v) : def;
}

long long url_get_query_int64(const char *text, const char *key, long long def)
{
    char v[64];
    url_get_query_imp(text, key, "", v, sizeof v);
    return v[0] ? atoll(v) : def;
}

str_map *url_get_query_map(const char *text)
{
    if (!text) return nullptr;
    parsed p(text);
    if (!p.ok() || !*p.u.query) return nullptr;
    str_vector pairs;
    str_vector_init(&pairs, STR_VEC_UNIQUE);
    str_map *map = nullptr;
    char *key = (char *)os_malloc(kOutSize);
    char *val = (char *)os_malloc(URL_BUF_SIZE);
    char *dec = (char *)os_malloc(kOutSize);
    if (key && val && dec && str_split(p.u.query, "&", &pairs) == 0)
        map = str_map_new(STR_MAP_KEY_COPY | STR_MAP_VAL_COPY);
    for (u64 i = 0; map && i < pairs.count; ++i) {
        const char *pair = pairs.items[i];
        if (str_get_key_and_val(pair, "=", key, kOutSize, val, URL_BUF_SIZE) != 0) {
            LOG_ERR("str_get_key_and_val [%s] failed\n", pair);
            break;
        }
        if (str_unescape_url_args(val, dec, kOutSize) != 0) dec[0] = 0;
        str_map_add(map, key, dec);
    }
    str_vector_fini(&pairs);
    os_free(key);
    os_free(val);
    os_free(dec);
    return map;
}

// --- query editing -------------------------------------------------------

namespace {

// Builds the edited URL into res; returns NULL, or the failure text.
const char *edit_query(const char *u, const char *key, const char *val, int mode, str_buf *res)
{
    const char *q = strchr(u, '?');
    const bool set_new = mode == STR_MAP_SET_ALWAYS || mode == STR_MAP_SET_NOT_EXIST;
    if (!q || !q[1]) {
        size_t base = q ? (size_t)(q - u) : strlen(u);
        str_buf_append(res, u, base);
        if (set_new) str_buf_printf(res, "?%s=%s", key, val);
        return nullptr;
    }
    str_vector pairs;
    str_vector_init(&pairs, STR_VEC_UNIQUE);
    if (str_split(q + 1, "&", &pairs) != 0) {
        str_vector_fini(&pairs);
        return "memory allocation failed";
    }
    str_buf_append(res, u, (size_t)(q - u));
    size_t klen = strlen(key);
    bool matched = false, written = false;
    auto emit = [&](const char *k, const char *eq, const char *v) {
        str_buf_printf(res, "%c%s%s%s", written ? '&' : '?', k, eq, v);
        written = true;
    };
    for (u64 i = 0; i < pairs.count; ++i) {
        const char *pair = pairs.items[i];
        bool hit = strncmp(pair, key, klen) == 0 && pair[klen] == '=';
        matched = matched || hit;
        if (hit && (mode == STR_MAP_SET_ALWAYS || mode == STR_MAP_SET_EXIST)) emit(key, "=", val);
        else if (hit && mode == STR_MAP_DEL_EXIST) continue;
        else emit(pair, "", "");
    }
    if (!matched && set_new) emit(key, "=", val);
    str_vector_fini(&pairs);
    return nullptr;
}

}  // namespace

int url_set_query(char *u, const char *key, const char *val, int escape, int mode)
{
    const char *why = nullptr;
    char *enc = nullptr;
    const char *v = val;
    if (!key || !val) why = "key or val cannot be null";
    else if (!*key) why = "key cannot be empty";
    else if (strpbrk(key, URL_BAD_KEY_CHARS)) why = "key cannot contain [" URL_BAD_KEY_CHARS "]";
    else if (escape) {
        enc = (char *)os_malloc(URL_BUF_SIZE);
        if (!enc || str_escape_url_args(val, enc, URL_BUF_SIZE) != 0) why = "val too long";
        v = enc;
    } else if (strchr(val, '&')) {
        why = "escape_val cannot contain [&]";
    }
    if (!why && !*v && mode != STR_MAP_DEL_EXIST) why = "val cannot be empty";
    if (!why && (!u || !memchr(u, 0, URL_BUF_SIZE))) why = "url is not a terminated text";

    str_buf *res = nullptr;
    if (!why) {
        res = str_buf_new();
        why = res ? edit_query(u, key, v, mode, res) : "memory allocation failed";
        if (!why && res->length + 1 > URL_BUF_SIZE) why = "url too long";
    }
    if (!why) memcpy(u, res->data, res->length + 1);
    if (res) str_buf_free(res);
    os_free(enc);
    if (!why) return 0;

    // An unterminated url is shown only as far as its buffer goes.
    LOG_ERR("url=[%.*s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n",
            u ? (int)strnlen(u, URL_BUF_SIZE) : 0, u ? u : "", key ? key : "", val ? val : "", escape,
            str_map_mode_name(mode), why);
    return -1;
}

int url_set_query_mode(char *u, const char *key, const char *val, int mode)
{
    return url_set_query(u, key, val, 1, mode);
}

int url_set_query_int_mode(char *u, const char *key, int val, int mode)
{
    char t[32];
    snprintf(t, sizeof t, "%d", val);
    return url_set_query(u, key, t, 1, mode);
}

int url_set_query_long_mode(char *u, const char *key, long val, int mode)
{
    char t[64];
    snprintf(t, sizeof t, "%li", val);
    return url_set_query(u, key, t, 1, mode);
}

int url_set_query_str(char *u, const char *key, const char *val)
{
    return url_set_query(u, key, val, 1, STR_MAP_SET_ALWAYS);
}

int url_set_query_raw(char *u, const char *key, const char *val)
{
    return url_set_query(u, key, val, 0, STR_MAP_SET_ALWAYS);
}

int url_set_query_int(char *u, const char *key, int val)
{
    return url_set_query_int_mode(u, key, val, STR_MAP_SET_ALWAYS);
}

int url_set_query_long(char *u, const char *key, long val)
{
    return url_set_query_long_mode(u, key, val, STR_MAP_SET_ALWAYS);
}

static int set_query_b64(char *u, const char *key, const char *text, int urlsafe)
{
    if (!text) return url_set_query_str(u, key, text);
    char enc[URL_BUF_SIZE];
    // The text is encoded with its NUL.
    if (str_base64_encode_imp(text, strlen(text) + 1, enc, sizeof enc, urlsafe) < 0) return -1;
    return url_set_query_str(u, key, enc);
}

int url_set_query_b64(char *u, const char *key, const char *text)
{
    return set_query_b64(u, key, text, 0);
}

int url_set_query_b64url(char *u, const char *key, const char *text)
{
    return set_query_b64(u, key, text, 1);
}

static int set_query_kv(char *u, const char *pair, int escape)
{
    if (!pair) return -1;
    char *k = (char *)os_malloc(URL_BUF_SIZE);
    char *v = (char *)os_malloc(URL_BUF_SIZE);
    int rc = -1;
    if (k && v && str_get_key_and_val(pair, "=", k, URL_BUF_SIZE, v, URL_BUF_SIZE) == 0)
        rc = url_set_query(u, k, v, escape, STR_MAP_SET_ALWAYS);
    os_free(k);
    os_free(v);
    return rc;
}

int url_set_query_kv(char *u, const char *pair)
{
    return set_query_kv(u, pair, 1);
}

int url_set_query_kv_raw(char *u, const char *pair)
{
    return set_query_kv(u, pair, 0);
}

int url_del_query(char *u, const char *key)
{
    return url_set_query(u, key, "", 1, STR_MAP_DEL_EXIST);
}

// --- other URL texts -----------------------------------------------------

int url_add_path(char *u, const char *part)
{
    if (!u || !part || !memchr(u, 0, URL_BUF_SIZE)) return 0;
    const char *q = strchr(u, '?');
    if (!q) {
        str_safecat(u, URL_BUF_SIZE, part);
        return 0;
    }
    const char *slash = (part[0] == '/' || part[0] == '\\') ? "" : "/";
    size_t head = (size_t)(q - u);
    if (strlen(u) + strlen(slash) + strlen(part) + 1 > URL_BUF_SIZE) {
        OS_CHECK_LOG("len<size");
        return 0;
    }
    char *tail = os_strdup(q);
    if (!tail) return 0;
    u[head] = 0;
    strcat(u, slash);
    strcat(u, part);
    strcat(u, tail);
    os_free(tail);
    return 0;
}

int url_add_query_raw(char *u, const char *text)
{
    if (!u || !text || !memchr(u, 0, URL_BUF_SIZE)) return 0;
    strcat_printf(u, URL_BUF_SIZE, strchr(u, '?') ? "&%s" : "?%s", text);
    return 0;
}

char *url_normalize(char *text)
{
    if (!text) return text;
    str_trim_all(text);
    for (char *p = text; *p; ++p)
        if (*p == '\\') *p = '/';
    return text;
}

static char *quote_url(char *u, char *(*quote)(const char *, char *, size_t))
{
    if (!u || strnlen(u, URL_BUF_SIZE) + 3 > URL_BUF_SIZE) return u;
    char tmp[URL_BUF_SIZE];
    quote(u, tmp, sizeof tmp);
    str_safecopy(u, URL_BUF_SIZE, tmp);
    return u;
}

char *url_dquote(char *u)
{
    return quote_url(u, str_dquote);
}

char *url_squote(char *u)
{
    return quote_url(u, str_squote);
}

static bool normalized_copy(const char *text, char *t)
{
    if (!text || str_safecopy(t, URL_BUF_SIZE, text) != 0) return false;
    url_normalize(t);
    return true;
}

int url_is_absolute(const char *text)
{
    char t[URL_BUF_SIZE];
    if (!normalized_copy(text, t)) return 0;
    return (strstr(t, "://") || t[0] == '/' || (t[0] && t[1] == ':')) ? 1 : 0;
}

int url_has_protocol(const char *text)
{
    char t[URL_BUF_SIZE];
    if (!normalized_copy(text, t)) return 0;
    return strstr(t, "://") ? 1 : 0;
}
