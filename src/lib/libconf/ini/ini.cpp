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

// --- the parser's lookups and changes -----------------------------------

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
#define LOAD_LOG(lvl, ...) LOG_AT_FN(lvl, "iniparser_load", __VA_ARGS__)

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
    const char *kind = nullptr;
    FILE *in = path ? os_fopen_regular(path, &kind) : nullptr;
    if (!in) {
        int e = errno;
        if (kind) conf_error_set("is %s, not a regular file", kind);
        else conf_error_set("cannot be opened: %s", os_errno_text(e));
        if (!quiet) g_error_cb.load()("iniparser: cannot open %s\n", path ? path : "(null)");
        return nullptr;
    }
    loader ld{path, dictionary_new(0), str_buf_new(),
              (char *)os_zalloc(kLineMax + 1), (char *)os_malloc(2 * kLineMax + 4)};
    if (!ld.d || !ld.comments || !ld.section || !ld.joined) ld.fail("out of memory");
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
    // Never waits on a FIFO or a device: only a regular file is read.
    const char *kind = nullptr;
    FILE *f = os_fopen_regular(path, &kind);
    if (!f && create && !kind) f = os_fopen(path, "w+");
    if (!f) {
        if (kind) conf_error_set("is %s, not a regular file", kind);
        else conf_error_set("cannot be opened: %s", os_errno_text(errno));
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
