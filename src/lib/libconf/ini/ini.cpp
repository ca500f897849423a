#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/ini/ini"
#include "libconf/ini/ini.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "libconf/conf.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

constexpr size_t kKeyMax = 1025;   // lookup key buffer: 1024 characters
constexpr int kLineMax = 1024;     // parsed line buffer

int default_error_cb(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

std::atomic<int (*)(const char *, ...)> g_error_cb{default_error_cb};

char *dup_or_null(const char *s)
{
    return s ? os_strdup(s) : nullptr;
}

int find_slot(const dictionary *d, const char *key)
{
    if (!d || !key || d->n <= 0) return -1;
    u32 h = dictionary_hash(key);
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && d->hash[i] == h && strcmp(d->key[i], key) == 0) return i;
    return -1;
}

// Bounded copy of a key text (at most 1024 characters take part).
const char *bound_key(const char *key, char *buf)
{
    str_safecopy_trunc(buf, kKeyMax, key ? key : "");
    return buf;
}

bool key_in_section(const char *key, const char *sec, size_t sl)
{
    return strncmp(key, sec, sl) == 0 && key[sl] == '\t';
}

}  // namespace

// --- dictionary --------------------------------------------------------

dictionary *dictionary_new(int size)
{
    if (size < 128) size = 128;
    dictionary *d = (dictionary *)os_zalloc(sizeof(dictionary));
    if (!d) return nullptr;
    d->size = size;
    d->val = (char **)os_calloc((size_t)size, sizeof(char *));
    d->key = (char **)os_calloc((size_t)size, sizeof(char *));
    d->comment = (char **)os_calloc((size_t)size, sizeof(char *));
    d->hash = (u32 *)os_calloc((size_t)size, sizeof(u32));
    if (!d->val || !d->key || !d->comment || !d->hash) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary *d)
{
    if (!d) return;
    for (int i = 0; i < d->size; ++i) {
        if (d->key) os_free(d->key[i]);
        if (d->val) os_free(d->val[i]);
        if (d->comment) os_free(d->comment[i]);
    }
    os_free(d->val);
    os_free(d->key);
    os_free(d->comment);
    os_free(d->hash);
    os_free(d->tail_comment);
    os_free(d);
}

u32 dictionary_hash(const char *key)
{
    u32 h = 0;
    for (const unsigned char *p = (const unsigned char *)key; p && *p; ++p) {
        h += *p;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

const char *dictionary_get(const dictionary *d, const char *key, const char *def)
{
    int i = find_slot(d, key);
    return i < 0 ? def : d->val[i];
}

const char *dictionary_get_comment(const dictionary *d, const char *key)
{
    int i = find_slot(d, key);
    return i < 0 ? nullptr : d->comment[i];
}

int dictionary_set(dictionary *d, const char *key, const char *val, const char *comment)
{
    if (!d || !key) return -1;
    int i = find_slot(d, key);
    if (i >= 0) {
        char *nv = dup_or_null(val);
        if (val && !nv) return -1;
        os_free(d->val[i]);
        d->val[i] = nv;
        return 0;
    }
    if (d->n == d->size) {
        size_t ns = (size_t)d->size * 2;
        char **v = (char **)os_calloc(ns, sizeof(char *));
        char **k = (char **)os_calloc(ns, sizeof(char *));
        char **c = (char **)os_calloc(ns, sizeof(char *));
        u32 *h = (u32 *)os_calloc(ns, sizeof(u32));
        if (!v || !k || !c || !h) {
            os_free(v);
            os_free(k);
            os_free(c);
            os_free(h);
            return -1;
        }
        memcpy(v, d->val, (size_t)d->size * sizeof(char *));
        memcpy(k, d->key, (size_t)d->size * sizeof(char *));
        memcpy(c, d->comment, (size_t)d->size * sizeof(char *));
        memcpy(h, d->hash, (size_t)d->size * sizeof(u32));
        os_free(d->val);
        os_free(d->key);
        os_free(d->comment);
        os_free(d->hash);
        d->val = v;
        d->key = k;
        d->comment = c;
        d->hash = h;
        d->size = (i32)ns;
    }
    int slot = d->n;
    while (d->key[slot]) slot = (slot + 1) % d->size;
    char *nk = os_strdup(key);
    char *nv = dup_or_null(val);
    char *nc = dup_or_null(comment);
    if (!nk || (val && !nv) || (comment && !nc)) {
        os_free(nk);
        os_free(nv);
        os_free(nc);
        return -1;
    }
    d->key[slot] = nk;
    d->val[slot] = nv;
    d->comment[slot] = nc;
    d->hash[slot] = dictionary_hash(key);
    d->n++;
    return 0;
}

int dictionary_set_nocomment(dictionary *d, const char *key, const char *val)
{
    return dictionary_set(d, key, val, nullptr);
}

int dictionary_set_tail_comment(dictionary *d, const char *text)
{
    if (!d) return -1;
    char *t = dup_or_null(text);
    if (text && !t) return -1;
    os_free(d->tail_comment);
    d->tail_comment = t;
    return 0;
}

static void free_slot(dictionary *d, int i)
{
    os_free(d->key[i]);
    os_free(d->val[i]);
    os_free(d->comment[i]);
    d->key[i] = d->val[i] = d->comment[i] = nullptr;
    d->hash[i] = 0;
    d->n--;
}

int dictionary_unset(dictionary *d, const char *key)
{
    int i = find_slot(d, key);
    if (i < 0) return -1;
    free_slot(d, i);
    return 0;
}

int dictionary_secdel(dictionary *d, const char *s)
{
    if (!d || !s) return -2;
    size_t sl = strlen(s);
    int removed = 0;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        if (strcmp(d->key[i], s) == 0 || key_in_section(d->key[i], s, sl)) {
            free_slot(d, i);
            ++removed;
        }
    }
    return removed ? 0 : -2;
}

int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name)
{
    if (!d || !old_name || !new_name) return -2;
    for (int i = 0; i < d->size; ++i) {
        if (d->key[i] && strcmp(d->key[i], new_name) == 0) {
            LOG_ERR("nsec=%s exist error\n", new_name);
            return -1;
        }
    }
    size_t ol = strlen(old_name);
    int renamed = 0;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        if (strcmp(d->key[i], old_name) != 0 && !key_in_section(d->key[i], old_name, ol)) continue;
        char buf[4096];
        snprintf(buf, sizeof buf, "%s%s", new_name, d->key[i] + ol);
        char *nk = os_strdup(buf);
        if (!nk) continue;
        os_free(d->key[i]);
        d->key[i] = nk;
        d->hash[i] = dictionary_hash(nk);
        ++renamed;
    }
    return renamed ? 0 : -2;
}

void dictionary_dump(const dictionary *d, FILE *f)
{
    if (!d || !f) return;
    if (d->n <= 0) {
        fprintf(f, "empty dictionary\n");
        return;
    }
    for (int i = 0; i < d->size; ++i)
        if (d->key[i]) fprintf(f, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
}

// --- parser and writer -------------------------------------------------

void iniparser_set_error_callback(int (*cb)(const char *fmt, ...))
{
    g_error_cb.store(cb ? cb : default_error_cb);
}

void iniparser_freedict(dictionary *d)
{
    dictionary_del(d);
}

const char *iniparser_getstring(const dictionary *d, const char *key, const char *def)
{
    if (!d || !key) return def;
    char kb[kKeyMax];
    return dictionary_get(d, bound_key(key, kb), def);
}

int iniparser_getint(const dictionary *d, const char *key, int notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    if (!v) return notfound;
    return (int)strtol(v, nullptr, 0);
}

int iniparser_find_entry(const dictionary *d, const char *entry)
{
    static const char sentinel[] = "\x01INVALID\x01";
    return iniparser_getstring(d, entry, sentinel) != sentinel ? 1 : 0;
}

int iniparser_getnsec(const dictionary *d)
{
    if (!d) return -1;
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && !strchr(d->key[i], '\t')) ++n;
    return n;
}

const char *iniparser_getsecname(const dictionary *d, int n)
{
    if (!d || n < 0) return nullptr;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i] || strchr(d->key[i], '\t')) continue;
        if (n-- == 0) return d->key[i];
    }
    return nullptr;
}

int iniparser_set(dictionary *d, const char *entry, const char *val)
{
    char kb[kKeyMax];
    return dictionary_set(d, bound_key(entry, kb), val, nullptr);
}

int iniparser_unset(dictionary *d, const char *entry)
{
    char kb[kKeyMax];
    return dictionary_unset(d, bound_key(entry, kb));
}

int iniparser_delsec(dictionary *d, const char *s)
{
    char kb[kKeyMax];
    return dictionary_secdel(d, bound_key(s, kb));
}

int iniparser_secrename(dictionary *d, const char *old_name, const char *new_name)
{
    char a[kKeyMax], b[kKeyMax];
    return dictionary_secrename(d, bound_key(old_name, a), bound_key(new_name, b));
}

void iniparser_dump(const dictionary *d, FILE *f)
{
    if (!d || !f) return;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i]) continue;
        if (d->val[i]) fprintf(f, "[%s]=[%s]\n", d->key[i], d->val[i]);
        else fprintf(f, "[%s]=UNDEF\n", d->key[i]);
    }
}

void iniparser_dump_ini(const dictionary *d, FILE *f)
{
    if (!d || !f) return;
    int nsec = iniparser_getnsec(d);
    if (nsec < 1) {
        for (int i = 0; i < d->size; ++i)
            if (d->key[i]) fprintf(f, "%s = %s\n", d->key[i], d->val[i] ? d->val[i] : "");
        return;
    }
    int idx = 0;
    for (int i = 0; i < d->size; ++i) {
        const char *sec = d->key[i];
        if (!sec || strchr(sec, '\t')) continue;
        if (d->comment[i]) fputs(d->comment[i], f);
        else if (idx > 0) fputs("\n", f);
        ++idx;
        fprintf(f, "[%s]\n", sec);
        size_t sl = strlen(sec);
        for (int j = 0; j < d->size; ++j) {
            if (!d->key[j] || !key_in_section(d->key[j], sec, sl)) continue;
            if (d->comment[j]) fputs(d->comment[j], f);
            fprintf(f, "%s=%s\n", d->key[j] + sl + 1, d->val[j] ? d->val[j] : "");
        }
    }
    fputs(d->tail_comment ? d->tail_comment : "\n", f);
}

namespace {

enum line_kind { LINE_EMPTY, LINE_COMMENT, LINE_SECTION, LINE_VALUE, LINE_ERROR };

line_kind classify(const char *input, char *section, char *key, char *value)
{
    char line[kLineMax + 1];
    str_safecopy_trunc(line, sizeof line, input);
    char *t = str_trim(line);
    size_t len = strlen(t);
    if (len == 0) return LINE_EMPTY;
    if (t[0] == '#' || t[0] == ';') return LINE_COMMENT;
    if (t[0] == '[' && t[len - 1] == ']') {
        section[0] = 0;
        sscanf(t, "[%1024[^]]", section);
        str_trim(section);
        return LINE_SECTION;
    }
    key[0] = value[0] = 0;
    if (sscanf(t, "%1024[^=] = \"%1024[^\"]\"", key, value) == 2 ||
        sscanf(t, "%1024[^=] = '%1024[^']'", key, value) == 2) {
        str_trim(key);
        return LINE_VALUE;
    }
    if (sscanf(t, "%1024[^=] = %1024[^;#]", key, value) == 2) {
        str_trim(key);
        str_trim(value);
        if (strcmp(value, "\"\"") == 0 || strcmp(value, "''") == 0) value[0] = 0;
        return LINE_VALUE;
    }
    char dummy[kLineMax + 1];
    if (sscanf(t, "%1024[^=] = %1024[;#]", key, dummy) == 2 ||
        sscanf(t, "%1024[^=] %1024[=]", key, dummy) == 2) {
        str_trim(key);
        value[0] = 0;
        return LINE_VALUE;
    }
    return LINE_ERROR;
}

}  // namespace

dictionary *iniparser_load(const char *path)
{
    FILE *in = path ? os_fopen(path, "r") : nullptr;
    if (!in) {
        g_error_cb.load()("iniparser: cannot open %s\n", path ? path : "(null)");
        return nullptr;
    }
    os_file_skip_bom(in);
    dictionary *d = dictionary_new(0);
    str_buf *comments = str_buf_new();
    if (!d || !comments) {
        dictionary_del(d);
        if (comments) str_buf_free(comments);
        fclose(in);
        return nullptr;
    }
    // Work buffers sized for the longest line; kept off the stack.
    char *line = (char *)os_zalloc(kLineMax + 1);
    char *section = (char *)os_zalloc(kLineMax + 1);
    char *key = (char *)os_zalloc(kLineMax + 1);
    char *value = (char *)os_zalloc(kLineMax + 1);
    char *joined = (char *)os_zalloc(2 * kLineMax + 4);
    int errs = 0, lineno = 0, last = 0;
    bool fail = !line || !section || !key || !value || !joined;
    while (!fail && fgets(line + last, kLineMax - last, in)) {
        ++lineno;
        int len = (int)strlen(line) - 1;
        if (len <= 0) {
            str_buf_append_cstr(comments, "\n");
            last = 0;
            line[0] = 0;
            continue;
        }
        if (line[len] != '\n' && !feof(in)) {
            LOG_ERR("iniparser: input line too long in %s (%d)\n", path, lineno);
            fail = true;
            break;
        }
        while (len >= 0 && str_is_blank_chr((unsigned char)line[len])) line[len--] = 0;
        if (len < 0) {
            // only blanks: an empty line
            str_buf_append_cstr(comments, "\n");
            last = 0;
            line[0] = 0;
            continue;
        }
        if (line[len] == '\\') {
            LOG_DBG("null_line_3\n");
            last = len;
            continue;
        }
        int rc = 0;
        switch (classify(line, section, key, value)) {
        case LINE_EMPTY:
            str_buf_append_cstr(comments, "\n");
            break;
        case LINE_COMMENT:
            str_buf_append_cstr(comments, line);
            str_buf_append_cstr(comments, "\n");
            break;
        case LINE_SECTION:
            rc = dictionary_set(d, section, nullptr, str_buf_get(comments));
            str_buf_reset(comments);
            break;
        case LINE_VALUE:
            snprintf(joined, 2 * kLineMax + 4, "%s\t%s", section, key);
            rc = dictionary_set(d, joined, value, str_buf_get(comments));
            str_buf_reset(comments);
            break;
        case LINE_ERROR:
            LOG_ERR("iniparser: syntax error in %s (%d):\n-> %s\n", path, lineno, line);
            ++errs;
            break;
        }
        memset(line, 0, kLineMax + 1);
        last = 0;
        if (rc < 0) {
            LOG_ERR("iniparser: memory allocation failure\n");
            break;
        }
    }
    if (fail || errs) {
        dictionary_del(d);
        d = nullptr;
    } else {
        dictionary_set_tail_comment(d, str_buf_get(comments));
    }
    os_free(line);
    os_free(section);
    os_free(key);
    os_free(value);
    os_free(joined);
    str_buf_free(comments);
    fclose(in);
    return d;
}

// --- backend slots -----------------------------------------------------

namespace {

struct ini_ctx {
    char *path;
    dictionary *dict;
};

str_vector *list_new()
{
    return str_vector_new(STR_VEC_OWN | STR_VEC_SKIP_EMPTY | STR_VEC_UNIQUE);
}

str_vector *ini_conf_sections(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    str_vector *v = list_new();
    if (!v || !c) return v;
    for (int i = 0; i < c->dict->size; ++i) {
        const char *k = c->dict->key[i];
        if (k && !strchr(k, '\t')) str_vector_add(v, k);
    }
    return v;
}

str_vector *ini_conf_keys(void *ctx, const char *section)
{
    ini_ctx *c = (ini_ctx *)ctx;
    str_vector *v = list_new();
    if (!v || !c || !section) return v;
    char kb[kKeyMax];
    if (find_slot(c->dict, bound_key(section, kb)) < 0) return v;
    size_t sl = strlen(section);
    for (int i = 0; i < c->dict->size; ++i) {
        const char *k = c->dict->key[i];
        if (k && key_in_section(k, section, sl)) str_vector_add(v, k + sl + 1);
    }
    return v;
}

int ini_conf_del_section(void *ctx, const char *section)
{
    ini_ctx *c = (ini_ctx *)ctx;
    return c ? iniparser_delsec(c->dict, section) : -2;
}

int ini_conf_del_key(void *ctx, const char *section, const char *key)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    char buf[4096];
    snprintf(buf, sizeof buf, "%s\t%s", section ? section : "", key ? key : "");
    return iniparser_unset(c->dict, buf);
}

int ini_conf_rename_section(void *ctx, const char *old_name, const char *new_name)
{
    ini_ctx *c = (ini_ctx *)ctx;
    return c ? iniparser_secrename(c->dict, old_name, new_name) : -2;
}

int ini_conf_rename_key(void *, const char *, const char *, const char *)
{
    LOG_WARN("noimpl\n");
    return 0;
}

}  // namespace

int ini_conf_match(const char *path)
{
    size_t n = path ? strlen(path) : 0;
    if (n < 4) return 1;
    const char *ext = path + n - 4;
    return (strcasecmp(ext, ".ini") == 0 || strcasecmp(ext, ".vtc") == 0) ? 0 : 1;
}

void *ini_conf_open(const char *path, int create)
{
    FILE *f = os_fopen(path, "r");
    if (!f && create) f = os_fopen(path, "w+");
    if (!f) return nullptr;
    fclose(f);
    dictionary *d = iniparser_load(path);
    if (!d) return nullptr;
    ini_ctx *c = (ini_ctx *)os_zalloc(sizeof(ini_ctx));
    char *p = os_strdup(path);
    if (!c || !p) {
        os_free(c);
        os_free(p);
        dictionary_del(d);
        return nullptr;
    }
    c->path = p;
    c->dict = d;
    return c;
}

int ini_conf_close(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return 0;
    os_free(c->path);
    dictionary_del(c->dict);
    os_free(c);
    return 0;
}

const char *ini_conf_get(void *ctx, const char *section, const char *key, const char *def)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return def;
    char buf[8192];
    snprintf(buf, sizeof buf, "%s\t%s", section ? section : "", key ? key : "");
    return iniparser_getstring(c->dict, buf, def);
}

int ini_conf_set(void *ctx, const char *section, const char *key, const char *value)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    const char *sec = section ? section : "";
    if (!iniparser_find_entry(c->dict, sec) && iniparser_set(c->dict, sec, nullptr) != 0) return -1;
    char buf[8192];
    snprintf(buf, sizeof buf, "%s\t%s", sec, key ? key : "");
    return iniparser_set(c->dict, buf, value) == 0 ? 0 : -1;
}

int ini_conf_dump(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (c) iniparser_dump_ini(c->dict, stdout);
    fflush(stdout);
    return 0;
}

int ini_conf_save(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    FILE *f = os_fopen(c->path, "w+");
    if (!f) {
        LOG_AT(7 | LOG_OPT_ERRNO, "fopen [%s] err: ", c->path);
        return -1;
    }
    os_file_write_bom(f);
    iniparser_dump_ini(c->dict, f);
    fflush(f);
    fclose(f);
    return 0;
}

const conf_ops *ini_conf_ops_get(void)
{
    static const conf_ops ops = {
        ini_conf_match,       ini_conf_open,        ini_conf_close,        ini_conf_get,
        ini_conf_set,         ini_conf_sections,    ini_conf_keys,         ini_conf_del_section,
        ini_conf_del_key,     ini_conf_rename_section, ini_conf_rename_key, ini_conf_dump,
        ini_conf_save,
    };
    return &ops;
}
