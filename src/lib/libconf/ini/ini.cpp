#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/ini/ini"
#include "libconf/ini/ini.h"
#include "libconf/ini/ini_priv.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "libconf/conf.h"
#include "liblog/log.h"
#include "libpal/comm/verrmsg.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"
#include "libpal/os/os_path.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

using namespace ini_detail;

namespace {

constexpr size_t kKeyMax = 1025;  // lookup key buffer: 1024 characters

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

// Bounded copy of a key text (at most 1024 characters take part).
const char *bound_key(const char *key, char *buf)
{
    str_safecopy_trunc(buf, kKeyMax, key ? key : "");
    return buf;
}

bool is_section(const dictionary *d, int i)
{
    return d->key[i] && !strchr(d->key[i], '\t');
}

}  // namespace

namespace ini_detail {

bool blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool key_in_section(const char *key, const char *sec, size_t sl)
{
    return strncmp(key, sec, sl) == 0 && key[sl] == '\t';
}

bool is_header(const dictionary *d, int i)
{
    return d->key[i] && (!d->val[i] || !strchr(d->key[i], '\t'));
}

}  // namespace ini_detail

namespace {

// --- the hash index over the slots ------------------------------------

u32 hash_n(const char *key, size_t n)
{
    u32 h = 0;
    for (size_t i = 0; i < n; ++i) {
        h += (unsigned char)key[i];
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

u32 *index_alloc(i32 size, u32 *mask)
{
    u32 cells = 256;
    while (cells < (u32)size * 2) cells <<= 1;
    *mask = cells - 1;
    return (u32 *)os_calloc(cells, sizeof(u32));
}

void index_put(dictionary *d, int slot)
{
    u32 m = d->index_mask;
    u32 p = d->hash[slot] & m;
    while (d->index[p]) p = (p + 1) & m;
    d->index[p] = (u32)slot + 1;
}

// Removes a slot from the index (before its hash changes), moving later
// cells of the probe run back so that no run is broken.
void index_drop(dictionary *d, int slot)
{
    u32 m = d->index_mask;
    u32 hole = d->hash[slot] & m;
    while (d->index[hole] != (u32)slot + 1) hole = (hole + 1) & m;
    for (u32 q = (hole + 1) & m; d->index[q]; q = (q + 1) & m) {
        u32 home = d->hash[d->index[q] - 1] & m;
        bool stays = hole <= q ? (hole < home && home <= q) : (hole < home || home <= q);
        if (!stays) {
            d->index[hole] = d->index[q];
            hole = q;
        }
    }
    d->index[hole] = 0;
}

void free_slot(dictionary *d, int i)
{
    index_drop(d, i);
    os_free(d->key[i]);
    os_free(d->val[i]);
    os_free(d->comment[i]);
    d->key[i] = d->val[i] = d->comment[i] = nullptr;
    d->hash[i] = 0;
    d->n--;
}

// Gives slot i the key text nk (an own copy).
void rekey_slot(dictionary *d, int i, char *nk)
{
    index_drop(d, i);
    os_free(d->key[i]);
    d->key[i] = nk;
    d->hash[i] = dictionary_hash(nk);
    index_put(d, i);
}

}  // namespace

namespace ini_detail {

// The slot of the key made of the n bytes at key, or -1.
int find_slot_n(const dictionary *d, const char *key, size_t n)
{
    if (!d || !key || d->n <= 0) return -1;
    u32 h = hash_n(key, n);
    u32 m = d->index_mask;
    for (u32 p = h & m; d->index[p]; p = (p + 1) & m) {
        int s = (int)d->index[p] - 1;
        if (d->hash[s] == h && strncmp(d->key[s], key, n) == 0 && d->key[s][n] == 0) return s;
    }
    return -1;
}

int find_slot(const dictionary *d, const char *key)
{
    return key ? find_slot_n(d, key, strlen(key)) : -1;
}

}  // namespace ini_detail

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
    d->index = index_alloc(size, &d->index_mask);
    if (!d->val || !d->key || !d->comment || !d->hash || !d->index) {
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
    os_free(d->index);
    os_free(d->tail_comment);
    os_free(d);
}

u32 dictionary_hash(const char *key)
{
    return key ? hash_n(key, strlen(key)) : hash_n("", 0);
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

static int dictionary_grow(dictionary *d)
{
    size_t ns = (size_t)d->size * 2;
    if (ns > INT32_MAX / 2) return -1;
    char **v = (char **)os_calloc(ns, sizeof(char *));
    char **k = (char **)os_calloc(ns, sizeof(char *));
    char **c = (char **)os_calloc(ns, sizeof(char *));
    u32 *h = (u32 *)os_calloc(ns, sizeof(u32));
    u32 mask = 0;
    u32 *idx = index_alloc((i32)ns, &mask);
    if (!v || !k || !c || !h || !idx) {
        os_free(v);
        os_free(k);
        os_free(c);
        os_free(h);
        os_free(idx);
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
    os_free(d->index);
    d->val = v;
    d->key = k;
    d->comment = c;
    d->hash = h;
    d->index = idx;
    d->index_mask = mask;
    d->size = (i32)ns;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i]) index_put(d, i);
    return 0;
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
    if (d->n == d->size && dictionary_grow(d) != 0) return -1;
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
    index_put(d, slot);
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
    if (find_slot(d, new_name) >= 0) {
        LOG_ERR("nsec=%s exist error\n", new_name);
        return -1;
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
        rekey_slot(d, i, nk);
        ++renamed;
    }
    return renamed ? 0 : -2;
}

int dictionary_rename(dictionary *d, const char *old_key, const char *new_key)
{
    int i = find_slot(d, old_key);
    if (i < 0 || !new_key) return -2;
    if (find_slot(d, new_key) >= 0) return -1;
    char *nk = os_strdup(new_key);
    if (!nk) return -2;
    rekey_slot(d, i, nk);
    return 0;
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

long iniparser_getlongint(const dictionary *d, const char *key, long notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    return v ? strtol(v, nullptr, 0) : notfound;
}

int iniparser_getint(const dictionary *d, const char *key, int notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    return v ? (int)strtol(v, nullptr, 0) : notfound;
}

double iniparser_getdouble(const dictionary *d, const char *key, double notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    return v ? atof(v) : notfound;
}

int iniparser_getboolean(const dictionary *d, const char *key, int notfound)
{
    const char *v = iniparser_getstring(d, key, nullptr);
    if (!v) return notfound;
    if (v[0] && strchr("yY1tT", v[0])) return 1;
    if (v[0] && strchr("nN0fF", v[0])) return 0;
    return notfound;
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
        if (is_section(d, i)) ++n;
    return n;
}

const char *iniparser_getsecname(const dictionary *d, int n)
{
    if (!d || n < 0) return nullptr;
    for (int i = 0; i < d->size; ++i) {
        if (!is_section(d, i)) continue;
        if (n-- == 0) return d->key[i];
    }
    return nullptr;
}

int iniparser_getsecnkeys(const dictionary *d, const char *s)
{
    if (!d || !s || find_slot(d, s) < 0) return 0;
    size_t sl = strlen(s);
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && key_in_section(d->key[i], s, sl)) ++n;
    return n;
}

const char **iniparser_getseckeys(const dictionary *d, const char *s, const char **keys)
{
    if (!d || !s || !keys || find_slot(d, s) < 0) return nullptr;
    size_t sl = strlen(s);
    int n = 0;
    for (int i = 0; i < d->size; ++i)
        if (d->key[i] && key_in_section(d->key[i], s, sl)) keys[n++] = d->key[i] + sl + 1;
    return keys;
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

// --- loading -----------------------------------------------------------

namespace {

// Copies n bytes of s into out with every byte outside printable ASCII
// written as \xNN; a long text is cut and ends in "...".
const char *escape_line(const char *s, size_t n, char *out, size_t outsize)
{
    static const char hex[] = "0123456789abcdef";
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)s[i];
        if (w + 8 >= outsize) {
            memcpy(out + w, "...", 3);
            w += 3;
            break;
        }
        if (c >= 0x20 && c < 0x7f) {
            out[w++] = (char)c;
        } else {
            out[w++] = '\\';
            out[w++] = 'x';
            out[w++] = hex[c >> 4];
            out[w++] = hex[c & 15];
        }
    }
    out[w] = 0;
    return out;
}

enum line_kind { LINE_EMPTY, LINE_COMMENT, LINE_SECTION, LINE_VALUE, LINE_ERROR };

struct parsed_line {
    line_kind kind;
    const char *name;   // section or key (in the work buffer)
    const char *value;  // value text (in the work buffer)
    char cut;           // ';' or '#' that ended an unquoted value running into it
};

char *trim_range(char *b, char *e)
{
    while (b < e && blank(*b)) ++b;
    while (e > b && blank(e[-1])) --e;
    *e = 0;
    return b;
}

// Classifies a line whose trailing blanks are already cut; t is edited in
// place. A key runs up to the first '='; a value in double or single
// quotes is kept as it stands between them (a missing closing quote ends
// it at the end of the line); an unquoted value ends before the first ';'
// or '#' and is trimmed, and a value of two quotes is empty.
parsed_line classify(char *t)
{
    parsed_line r{LINE_ERROR, "", "", 0};
    while (blank(*t)) ++t;
    size_t len = strlen(t);
    if (len == 0) return r.kind = LINE_EMPTY, r;
    if (t[0] == '#' || t[0] == ';') return r.kind = LINE_COMMENT, r;
    if (t[0] == '[' && t[len - 1] == ']') {
        char *close = strchr(t + 1, ']');
        r.name = trim_range(t + 1, close);
        r.kind = LINE_SECTION;
        return r;
    }
    char *eq = strchr(t, '=');
    if (!eq || eq == t) return r;
    char *p = eq + 1;
    while (blank(*p)) ++p;
    r.kind = LINE_VALUE;
    if ((*p == '"' || *p == '\'') && p[1] && p[1] != *p) {
        char *end = strchr(p + 1, *p);
        r.value = p + 1;
        if (end) *end = 0;
    } else if (*p && !strchr(";#", *p)) {
        size_t n = strcspn(p, ";#");
        if (p[n] && !blank(p[n - 1])) r.cut = p[n];
        char *v = trim_range(p, p + n);
        if (strcmp(v, "\"\"") == 0 || strcmp(v, "''") == 0) v[0] = 0;
        r.value = v;
    } else if (*p && p[-1] == '=') {
        r.cut = *p;  // "key=#..." or "key=;...": emptied by the mark
    }
    r.name = trim_range(t, eq);
    return r;
}

// Reads a stream line by line through its own buffer; a line may hold
// any byte, NUL included.
struct line_reader {
    FILE *f;
    char *buf;
    size_t pos = 0, end = 0;
    static constexpr size_t kSize = 16 * 1024;

    // The next line (without its line feed) into out, of which room bytes
    // may be written; *len gets the line's whole length. False at the end.
    bool next(char *out, size_t room, size_t *len)
    {
        size_t n = 0;
        bool any = false;
        for (;;) {
            if (pos == end) {
                end = fread(buf, 1, kSize, f);
                pos = 0;
                if (end == 0) break;
            }
            any = true;
            const char *s = buf + pos;
            const char *nl = (const char *)memchr(s, '\n', end - pos);
            size_t take = nl ? (size_t)(nl - s) : end - pos;
            if (n < room) memcpy(out + n, s, take < room - n ? take : room - n);
            n += take;
            pos += take + (nl ? 1 : 0);
            if (nl) break;
        }
        *len = n;
        return any;
    }
};

// The loader's records carry the loader's name.
#define LOAD_LOG(lvl, ...)                                                                  \
    (log_default_drops(lvl) ? 0                                                             \
                            : log2_printf(nullptr, (lvl), LOG_MOD, LOG_SRC, __LINE__, "iniparser_load", \
                                          __VA_ARGS__))

// The state of one load.
struct loader {
    const char *path;
    dictionary *d;
    str_buf *comments;
    char *section;  // current section name
    char *joined;   // section, TAB, key
    int lineno = 0;
    int errors = 0;
    bool failed = false;   // the load fails
    bool stopped = false;  // memory ran out: what was read so far is kept
    bool quiet = conf_error_quiet() != 0;

    void syntax_error(const char *line, size_t n)
    {
        char shown[kLineMax * 4 + 8];
        escape_line(line, n, shown, sizeof shown);
        if (!quiet) LOAD_LOG(3, "iniparser: syntax error in %s (%d):\n-> %s\n", path, lineno, shown);
        if (errors++ == 0) {
            char brief[200];
            conf_error_set("syntax error in line %d: %s", lineno,
                           escape_line(line, n, brief, sizeof brief));
        }
    }

    void comment(const char *text)
    {
        str_buf_append_cstr(comments, text);
        str_buf_append_cstr(comments, "\n");
    }

    // One whole (joined) line of len characters, trailing blanks cut.
    void take(char *line, size_t len)
    {
        if (len == 0) {
            comment("");
            return;
        }
        parsed_line r = classify(line);
        int rc = 0;
        const char *c = comments->length ? str_buf_get(comments) : nullptr;
        switch (r.kind) {
        case LINE_EMPTY: comment(""); return;
        case LINE_COMMENT: comment(line); return;
        case LINE_ERROR: syntax_error(line, len); return;
        case LINE_SECTION:
            str_safecopy_trunc(section, kLineMax + 1, r.name);
            rc = dictionary_set(d, section, nullptr, c);
            break;
        case LINE_VALUE: {
            size_t sl = strlen(section), kl = strlen(r.name);
            memcpy(joined, section, sl);
            joined[sl] = '\t';
            memcpy(joined + sl + 1, r.name, kl + 1);
            if (r.cut)
                LOAD_LOG(4, "iniparser: the value of %s in %s (%d) %s at '%c'; quote the value to keep "
                         "what follows\n",
                         r.name, path, lineno, *r.value ? "ends" : "is empty", r.cut);
            rc = dictionary_set(d, joined, r.value, c);
            break;
        }
        }
        str_buf_reset(comments);
        if (rc < 0) {
            LOAD_LOG(3, "iniparser: memory allocation failure\n");
            stopped = true;
        }
    }

    void fail(const char *fmt, ...) OS_PRINTF(2, 3)
    {
        char why[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, sizeof why, fmt, ap);
        va_end(ap);
        conf_error_set("%s", why);
        if (!quiet) LOAD_LOG(3, "iniparser: %s: %s\n", path, why);
        failed = true;
    }

    void run(FILE *in)
    {
        line_reader rd{in, (char *)os_malloc(line_reader::kSize)};
        char *line = (char *)os_malloc(kLineMax + 1);
        if (!rd.buf || !line) {
            fail("out of memory");
        } else {
            size_t cont = 0, n = 0;
            while (!failed && !stopped && rd.next(line + cont, kLineMax - cont, &n)) {
                ++lineno;
                if (cont + n > kLineMax) {
                    conf_error_set("line %d is longer than %d characters", lineno, (int)kLineMax);
                    if (!quiet) LOAD_LOG(3, "iniparser: input line too long in %s (%d)\n", path, lineno);
                    failed = true;
                    break;
                }
                size_t len = cont + n;
                line[len] = 0;
                if (memchr(line + cont, 0, n)) {
                    syntax_error(line, len);
                    cont = 0;
                    continue;
                }
                while (len && blank(line[len - 1])) line[--len] = 0;
                if (len && line[len - 1] == '\\') {
                    LOAD_LOG(7, "null_line_3\n");
                    cont = len - 1;
                    continue;
                }
                take(line, len);
                cont = 0;
            }
            // A last line that ends in a backslash has nothing to join: it
            // is taken as it stands, backslash included.
            if (!failed && !stopped && cont) take(line, cont + 1);
            if (!failed && ferror(in)) fail("cannot be read: %s", os_errno_text(errno));
        }
        os_free(rd.buf);
        os_free(line);
    }
};

}  // namespace

dictionary *iniparser_load(const char *path)
{
    bool quiet = conf_error_quiet() != 0;
    FILE *in = path ? os_fopen(path, "r") : nullptr;
    if (!in) {
        int e = errno;
        conf_error_set("cannot be opened: %s", os_errno_text(e));
        if (!quiet) g_error_cb.load()("iniparser: cannot open %s\n", path ? path : "(null)");
        return nullptr;
    }
    loader ld{path, dictionary_new(0), str_buf_new(),
              (char *)os_zalloc(kLineMax + 1), (char *)os_malloc(2 * kLineMax + 4)};
    struct stat st;
    if (!ld.d || !ld.comments || !ld.section || !ld.joined) ld.fail("out of memory");
    else if (fstat(fileno(in), &st) == 0 && S_ISDIR(st.st_mode)) ld.fail("is a directory");
    else if (os_file_skip_bom(in) != 0) ld.fail("cannot be read: %s", os_errno_text(errno));
    else ld.run(in);

    // Memory running out mid-load keeps what was read; any other failure
    // and any syntax error fail the load.
    bool keep = ld.d && ld.comments && ld.errors == 0 && !ld.failed;
    if (keep) dictionary_set_tail_comment(ld.d, str_buf_get(ld.comments));
    if (!keep) {
        dictionary_del(ld.d);
        ld.d = nullptr;
    }
    if (ld.comments) str_buf_free(ld.comments);
    os_free(ld.section);
    os_free(ld.joined);
    fclose(in);
    return ld.d;
}

// --- backend slots -----------------------------------------------------

namespace {

struct ini_ctx {
    char *path;
    dictionary *dict;
};

// The vectors of names: own copies, no empty names, each name once. The
// dictionary's names are unique already, so the check is switched on
// only after the names are in.
str_vector *names_new()
{
    return str_vector_new(STR_VEC_OWN | STR_VEC_SKIP_EMPTY);
}

str_vector *names_done(str_vector *v)
{
    if (v) v->flags |= STR_VEC_UNIQUE;
    return v;
}

str_vector *ini_conf_sections(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    str_vector *v = names_new();
    if (!v || !c) return names_done(v);
    for (int i = 0; i < c->dict->size; ++i)
        if (is_section(c->dict, i)) str_vector_add(v, c->dict->key[i]);
    return names_done(v);
}

str_vector *ini_conf_keys(void *ctx, const char *section)
{
    ini_ctx *c = (ini_ctx *)ctx;
    str_vector *v = names_new();
    if (!v || !c || !section) return names_done(v);
    char kb[kKeyMax];
    if (find_slot(c->dict, bound_key(section, kb)) < 0) return names_done(v);
    size_t sl = strlen(section);
    for (int i = 0; i < c->dict->size; ++i) {
        const char *k = c->dict->key[i];
        if (k && key_in_section(k, section, sl)) str_vector_add(v, k + sl + 1);
    }
    return names_done(v);
}

int ini_conf_del_section(void *ctx, const char *section)
{
    ini_ctx *c = (ini_ctx *)ctx;
    return c ? iniparser_delsec(c->dict, section) : -2;
}

// Section, TAB and key into buf.
const char *join_key(char *buf, size_t size, const char *section, const char *key)
{
    snprintf(buf, size, "%s\t%s", section ? section : "", key ? key : "");
    return buf;
}

int ini_conf_del_key(void *ctx, const char *section, const char *key)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    char buf[4096];
    return iniparser_unset(c->dict, join_key(buf, sizeof buf, section, key));
}

int ini_conf_rename_section(void *ctx, const char *old_name, const char *new_name)
{
    ini_ctx *c = (ini_ctx *)ctx;
    return c ? iniparser_secrename(c->dict, old_name, new_name) : -2;
}

}  // namespace

int ini_conf_rename_key(void *ctx, const char *section, const char *old_key, const char *new_key)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c || !old_key || !new_key) return -2;
    char a[8192], b[8192], ka[kKeyMax], kb[kKeyMax];
    join_key(a, sizeof a, section, old_key);
    join_key(b, sizeof b, section, new_key);
    return dictionary_rename(c->dict, bound_key(a, ka), bound_key(b, kb));
}

int ini_conf_match(const char *path)
{
    size_t n = path ? strlen(path) : 0;
    const char *ext = n >= 4 ? path + n - 4 : "";
    if (strcasecmp(ext, ".ini") == 0 || strcasecmp(ext, ".vtc") == 0) return 0;
    conf_error_set("the name does not end in .ini or .vtc");
    return 1;
}

void *ini_conf_open(const char *path, int create)
{
    FILE *f = os_fopen(path, "r");
    if (!f && create) f = os_fopen(path, "w+");
    if (!f) {
        conf_error_set("cannot be opened: %s", os_errno_text(errno));
        return nullptr;
    }
    fclose(f);
    dictionary *d = iniparser_load(path);
    if (!d) return nullptr;
    ini_ctx *c = (ini_ctx *)os_zalloc(sizeof(ini_ctx));
    char *p = os_strdup(path);
    if (!c || !p) {
        os_free(c);
        os_free(p);
        dictionary_del(d);
        conf_error_set("out of memory");
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
    return iniparser_getstring(c->dict, join_key(buf, sizeof buf, section, key), def);
}

int ini_conf_set(void *ctx, const char *section, const char *key, const char *value)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    const char *sec = section ? section : "";
    if (!iniparser_find_entry(c->dict, sec) && iniparser_set(c->dict, sec, nullptr) != 0) return -1;
    char buf[8192];
    return iniparser_set(c->dict, join_key(buf, sizeof buf, sec, key), value) == 0 ? 0 : -1;
}

int ini_conf_dump(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (c) iniparser_dump_ini(c->dict, stdout);
    fflush(stdout);
    return 0;
}

// The byte-order mark and the INI text; a write error fails the save.
static int write_ini_file(FILE *f, void *arg)
{
    os_file_write_bom(f);
    if (iniparser_write_ini((const dictionary *)arg, f, nullptr, nullptr) != 0) return -1;
    return ferror(f) ? -1 : 0;
}

// The file is replaced as a whole (a temporary file beside it, synced and
// renamed), so a crash or a full disk never leaves half a configuration.
// An entry that no line of the file format holds fails the save before
// the file is touched.
int ini_conf_save(void *ctx)
{
    ini_ctx *c = (ini_ctx *)ctx;
    if (!c) return -1;
    const char *sec, *key;
    if (iniparser_write_ini(c->dict, nullptr, &sec, &key) != 0) {
        if (key)
            conf_error_set("the value of key %.200s in section [%.200s] cannot be written in a line the "
                           "loader reads back (at most %d characters)",
                           key, sec, (int)kLineMax);
        else
            conf_error_set("section name [%.200s] cannot be written in a line the loader reads back "
                           "(at most %d characters)",
                           sec ? sec : "", (int)kLineMax);
        LOG_ERR("save [%s] error: %s\n", c->path, conf_last_error());
        return -1;
    }
    if (os_file_save_atomic_fn(c->path, write_ini_file, c->dict) != 0) {
        LOG_AT(7 | LOG_OPT_ERRNO, "fopen [%s] err: ", c->path);
        return -1;
    }
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
