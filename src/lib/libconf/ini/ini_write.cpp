#define LOG_MOD "conf"
#define LOG_SRC "src/lib/libconf/ini/ini_write"
// The INI writer, every line of which loads back to the same entry, and
// the backend slots that write: dump and save.
#include <cstring>

#include "libconf/conf.h"
#include "libconf/ini/ini.h"
#include "libconf/ini/ini_priv.h"
#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_file3.h"

using namespace ini_detail;

namespace {

// The writer's state: where the text goes (NULL: nowhere, only checked),
// and the first entry that has no line the loader reads back as it is.
struct ini_out {
    FILE *f;
    bool strict;  // such an entry stops the writer; else it is written as it stands
    const char *bad_section = nullptr;
    const char *bad_key = nullptr;

    bool stopped() const { return strict && bad_section; }
    void fail(const char *section, const char *key)
    {
        if (!bad_section) {
            bad_section = section;
            bad_key = key;
        }
    }
    void put(const char *text)
    {
        if (f) fputs(text, f);
    }
};

enum class form : u8 { plain, quoted, comment_end, open_quote, none };

struct value_form {
    form kind;
    char quote;
};

// The shortest line "name<sep>..." that the loader reads back as the key
// name and the value v, within its line limit. A value with ';' or '#',
// blanks at an end, a quote first or a backslash last would be cut,
// trimmed, unquoted or joined with the next line, and "[k=v]" would read
// as a section: such a value goes between quotes of a kind it does not
// hold; one that holds both kinds is followed by " ;", which ends the line
// with a comment mark. Where the closing quote would pass the limit it is
// left out: a quote left open runs to the end of the line.
value_form choose_form(const char *name, const char *sep, const char *v)
{
    if (strchr(v, '\n')) return {form::none, 0};
    size_t n = strlen(v), len = strlen(name) + strlen(sep) + n;
    const char *shown = name;
    while (blank(*shown)) ++shown;
    bool edges = n && (blank(v[0]) || blank(v[n - 1]));
    bool quote_first = v[0] == '"' || v[0] == '\'';
    // Two equal quotes first read back unquoted, unless they are the
    // whole value (the empty value).
    bool unquoted = !strpbrk(v, ";#") && !edges && !(quote_first && v[1] != v[0]) &&
                    !(n == 2 && quote_first && v[1] == v[0]);
    bool joins = n && v[n - 1] == '\\';
    bool section_like = shown[0] == '[' && n && v[n - 1] == ']';
    if (unquoted && !joins && !section_like) return {len <= kLineMax ? form::plain : form::none, 0};
    char q = !strchr(v, '"') ? '"' : !strchr(v, '\'') ? '\'' : 0;
    if (q && len + 2 <= kLineMax) return {form::quoted, q};
    if (unquoted && len + 2 <= kLineMax) return {form::comment_end, 0};
    if (q && n && !blank(v[n - 1]) && !joins && !section_like && len + 1 <= kLineMax)
        return {form::open_quote, q};
    return {form::none, 0};
}

void write_line(ini_out &o, const char *name, const char *sep, const char *v, value_form vf)
{
    if (!o.f) return;
    switch (vf.kind) {
    case form::quoted: fprintf(o.f, "%s%s%c%s%c\n", name, sep, vf.quote, v, vf.quote); break;
    case form::comment_end: fprintf(o.f, "%s%s%s ;\n", name, sep, v); break;
    case form::open_quote: fprintf(o.f, "%s%s%c%s\n", name, sep, vf.quote, v); break;
    default: fprintf(o.f, "%s%s%s\n", name, sep, v); break;
    }
}

// One key line of section (for the failure report) under its comment.
void write_key(ini_out &o, const dictionary *d, int i, const char *section, const char *name)
{
    const char *v = d->val[i] ? d->val[i] : "";
    value_form vf = choose_form(name, "=", v);
    if (vf.kind == form::none) {
        o.fail(section, name);
        if (o.stopped()) return;
    }
    if (d->comment[i]) o.put(d->comment[i]);
    write_line(o, name, "=", v, vf);
}

// A header reads back as its name when the name has no ']' or line feed
// and no blanks at its ends, and its line fits.
void write_header(ini_out &o, const dictionary *d, int i, int index)
{
    const char *s = d->key[i];
    size_t n = strlen(s);
    if (strpbrk(s, "]\n") || (n && (blank(s[0]) || blank(s[n - 1]))) || n + 2 > kLineMax) {
        o.fail(s, nullptr);
        if (o.stopped()) return;
    }
    if (d->comment[i]) o.put(d->comment[i]);
    else if (index > 0) o.put("\n");
    if (o.f) fprintf(o.f, "[%s]\n", s);
}

// The keys stored before any section header ("<TAB>key") come first, as
// long as no section of the empty name holds them.
void write_sectionless(ini_out &o, const dictionary *d)
{
    if (find_slot(d, "") >= 0) return;
    for (int i = 0; i < d->size && !o.stopped(); ++i)
        if (d->key[i] && d->key[i][0] == '\t' && !is_header(d, i)) write_key(o, d, i, "", d->key[i] + 1);
}

// Without any header every entry is written as stored, " = " between key
// and value; where that would pass the line limit, the blanks the loader
// drops anyway are left out.
void write_flat(ini_out &o, const dictionary *d)
{
    for (int i = 0; i < d->size && !o.stopped(); ++i) {
        if (!d->key[i]) continue;
        const char *k = d->key[i], *v = d->val[i] ? d->val[i] : "";
        const char *sep = " = ";
        value_form vf = choose_form(k, sep, v);
        if (vf.kind == form::none) {
            while (blank(*k)) ++k;
            sep = "=";
            vf = choose_form(k, sep, v);
        }
        if (vf.kind == form::none) {
            o.fail("", k);
            if (o.stopped()) return;
        }
        write_line(o, k, sep, v, vf);
    }
}

// A key name the loader reads back as it is.
bool safe_key_name(const char *k)
{
    size_t n = strlen(k);
    return n && !strpbrk(k, "=\n") && !strchr("#;", k[0]) && !blank(k[0]) && !blank(k[n - 1]);
}

// The header entry a key is written under: the longest prefix before a
// TAB that names one and leaves a key name that reads back; -1 for none.
// The longest gives the shortest key line: under a shorter header the rest
// of a long section name would join the key and could pass the loader's
// line limit.
int owner_of(const dictionary *d, const char *key)
{
    int owner = -1;
    for (const char *t = strchr(key, '\t'); t; t = strchr(t + 1, '\t')) {
        int s = find_slot_n(d, key, (size_t)(t - key));
        if (s >= 0 && is_header(d, s) && safe_key_name(t + 1)) owner = s;
    }
    return owner;
}

void write_section(ini_out &o, const dictionary *d, int si, int index)
{
    write_header(o, d, si, index);
    const char *s = d->key[si];
    size_t sl = strlen(s);
    for (int i = 0; i < d->size && !o.stopped(); ++i)
        if (d->key[i] && key_in_section(d->key[i], s, sl)) write_key(o, d, i, s, d->key[i] + sl + 1);
}

// One pass that lists every section's keys in slot order; false when the
// work lists cannot be had.
bool write_sections_linear(ini_out &o, const dictionary *d)
{
    size_t n = (size_t)d->size;
    int *first = (int *)os_malloc(n * sizeof(int));
    int *last = (int *)os_malloc(n * sizeof(int));
    int *next = (int *)os_malloc(n * sizeof(int));
    bool ok = first && last && next;
    if (ok) {
        for (size_t i = 0; i < n; ++i) first[i] = last[i] = next[i] = -1;
        for (int i = 0; i < d->size; ++i) {
            if (!d->key[i] || is_header(d, i)) continue;
            int s = owner_of(d, d->key[i]);
            if (s < 0) continue;
            if (last[s] < 0) first[s] = i;
            else next[last[s]] = i;
            last[s] = i;
        }
        int index = 0;
        for (int s = 0; s < d->size && !o.stopped(); ++s) {
            if (!is_header(d, s)) continue;
            write_header(o, d, s, index++);
            size_t sl = strlen(d->key[s]);
            for (int i = first[s]; i >= 0 && !o.stopped(); i = next[i])
                write_key(o, d, i, d->key[s], d->key[i] + sl + 1);
        }
    }
    os_free(first);
    os_free(last);
    os_free(next);
    return ok;
}

void write_ini(ini_out &o, const dictionary *d)
{
    bool headers = false;
    for (int i = 0; i < d->size && !headers; ++i) headers = is_header(d, i);
    if (!headers) {
        write_flat(o, d);
        return;
    }
    write_sectionless(o, d);
    if (!o.stopped() && !write_sections_linear(o, d)) {
        int index = 0;
        for (int i = 0; i < d->size && !o.stopped(); ++i)
            if (is_header(d, i)) write_section(o, d, i, index++);
    }
    if (!o.stopped()) o.put(d->tail_comment ? d->tail_comment : "\n");
}

}  // namespace

void iniparser_dumpsection_ini(const dictionary *d, const char *s, int index, FILE *f)
{
    if (!d || !s || !f) return;
    int si = find_slot(d, s);
    if (si < 0 || !is_header(d, si)) return;
    ini_out o{f, false};
    write_section(o, d, si, index);
}

void iniparser_dump_ini(const dictionary *d, FILE *f)
{
    if (!d || !f) return;
    ini_out o{f, false};
    write_ini(o, d);
}

int iniparser_write_ini(const dictionary *d, FILE *f, const char **section, const char **key)
{
    if (section) *section = nullptr;
    if (key) *key = nullptr;
    if (!d) return -1;
    ini_out check{nullptr, true};
    write_ini(check, d);
    if (check.bad_section) {
        if (section) *section = check.bad_section;
        if (key) *key = check.bad_key;
        return -1;
    }
    if (f) {
        ini_out o{f, true};
        write_ini(o, d);
    }
    return 0;
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
