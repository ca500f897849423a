#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_table"
#include "libpal/string/str_table.h"

#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/conv_num.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

namespace {

// Doubles a pointer array when it is full.
template <typename T>
bool room_for_one(T **&arr, u32 count, u32 &cap)
{
    if (count < cap) return true;
    u64 ncap = cap ? (u64)cap * 2 : 2;
    if (ncap > UINT32_MAX / sizeof(T *)) return false;
    T **n = (T **)os_realloc(arr, ncap * sizeof(T *));
    if (!n) return false;
    memset(n + cap, 0, (ncap - cap) * sizeof(T *));
    arr = n;
    cap = (u32)ncap;
    return true;
}

str_table_section *section_new(const char *name)
{
    auto *s = (str_table_section *)os_zalloc(sizeof(str_table_section));
    if (!s) return nullptr;
    s->row = (str_vector **)os_zalloc(2 * sizeof(str_vector *));
    s->name = name ? os_strdup(name) : nullptr;
    if (!s->row || (name && !s->name)) {
        os_free(s->row);
        os_free(s->name);
        os_free(s);
        return nullptr;
    }
    s->row_capacity = 2;
    return s;
}

// Drops the last section of the table.
void drop_last_section(str_table *t)
{
    if (!t->nsections) return;
    str_table_section_free(t->sections[--t->nsections]);
    t->sections[t->nsections] = nullptr;
}

bool name_is(const str_table_section *s, const char *name)
{
    return s->name && name && strcmp(s->name, name) == 0;
}

const str_table_section *first_section(const str_table *t, const char *name)
{
    if (!t) return nullptr;
    for (u32 i = 0; i < t->nsections; ++i)
        if (name_is(t->sections[i], name)) return t->sections[i];
    return nullptr;
}

// The row of the first section of that name that has it.
const str_vector *find_row(const str_table *t, const char *name, int row)
{
    if (!t || row < 0) return nullptr;
    for (u32 i = 0; i < t->nsections; ++i) {
        const str_table_section *s = t->sections[i];
        if (name_is(s, name) && (u32)row < s->rows) return s->row[row];
    }
    return nullptr;
}

// A row vector whose cells are copies in one block of its own, as a split
// line's cells are; NULL cells are left out. Three allocations a row, however
// wide: a query fills a table row by row.
str_vector *row_new(int count, const char *const *cells)
{
    size_t bytes = 0;
    for (int i = 0; i < count; ++i)
        if (cells[i]) bytes += strlen(cells[i]) + 1;
    str_vector *v = str_vector_new(0);
    if (!v) return nullptr;
    v->items = (char **)os_zalloc(((size_t)count + 1) * sizeof(char *));
    v->split_buf = bytes ? (char *)os_malloc(bytes) : nullptr;
    if (!v->items || (bytes && !v->split_buf)) {
        str_vector_free(v);
        return nullptr;
    }
    v->capacity = (u64)count + 1;
    v->split_size = bytes;
    char *p = v->split_buf;
    for (int i = 0; i < count; ++i) {
        if (!cells[i]) continue;
        size_t n = strlen(cells[i]) + 1;
        memcpy(p, cells[i], n);
        v->items[v->count++] = p;
        p += n;
    }
    return v;
}

// A row made of the tab-separated cells of line; the cells lie in the
// row's own copy of the line.
str_vector *row_from_line(const char *line)
{
    str_vector *v = str_vector_new(0);
    if (v && str_split(line, "\t", v) != 0) {
        str_vector_free(v);
        v = nullptr;
    }
    return v;
}

}  // namespace

str_table *str_table_new(const char *name)
{
    auto *t = (str_table *)os_zalloc(sizeof(str_table));
    if (!t) return nullptr;
    t->sections = (str_table_section **)os_zalloc(2 * sizeof(str_table_section *));
    t->name = os_strdup(name ? name : "");
    if (!t->sections || !t->name) {
        os_free(t->sections);
        os_free(t->name);
        os_free(t);
        return nullptr;
    }
    t->section_capacity = 2;
    return t;
}

void str_table_section_free(str_table_section *section)
{
    if (!section) return;
    for (u32 i = 0; i < section->rows; ++i) str_vector_free(section->row[i]);
    os_free(section->row);
    os_free(section->name);
    os_free(section);
}

void str_table_free(str_table *table)
{
    if (!table) return;
    for (u32 i = 0; i < table->nsections; ++i) str_table_section_free(table->sections[i]);
    os_free(table->sections);
    os_free(table->name);
    os_free(table);
}

str_table_section *str_table_add_section(str_table *table, const char *name)
{
    if (!table) return nullptr;
    if (!room_for_one(table->sections, table->nsections, table->section_capacity)) return nullptr;
    str_table_section *s = section_new(name);
    if (!s) return nullptr;
    table->sections[table->nsections++] = s;
    return s;
}

int str_table_section_add_row(str_table_section *section, str_vector *row)
{
    if (!section || !row) return -1;
    if (row->count > UINT32_MAX) return -2;
    u32 width = (u32)row->count;
    if (section->rows && width != section->cols) return -2;
    if (!room_for_one(section->row, section->rows, section->row_capacity)) return -1;
    if (!section->rows) section->cols = width;
    section->row[section->rows++] = row;
    return 0;
}

int str_table_add_row(str_table *table, const char *section, int count, const char *const *cells)
{
    if (!table || count < 0 || (count && !cells)) return -1;
    str_table_section *s = nullptr;
    bool created = false;
    for (u32 i = 0; i < table->nsections && !s; ++i)
        if (name_is(table->sections[i], section)) s = table->sections[i];
    if (!s) {
        s = str_table_add_section(table, section);
        if (!s) return -1;
        created = true;
    }
    str_vector *row = row_new(count, cells);
    int rc = row ? str_table_section_add_row(s, row) : -1;
    if (rc != 0) {
        str_vector_free(row);
        if (created) drop_last_section(table);
    }
    return rc;
}

int str_table_get_cols(const str_table *table, const char *section)
{
    const str_table_section *s = first_section(table, section);
    return s ? (int)s->cols : -1;
}

int str_table_get_rows(const str_table *table, const char *section)
{
    const str_table_section *s = first_section(table, section);
    return s ? (int)s->rows : -1;
}

const char *str_table_get(const str_table *table, const char *section, int row, int col)
{
    if (!table || row < 0 || col < 0) return nullptr;
    for (u32 i = 0; i < table->nsections; ++i) {
        const str_table_section *s = table->sections[i];
        if (name_is(s, section) && (u32)row < s->rows && (u64)col < s->row[row]->count)
            return s->row[row]->items[col];
    }
    return nullptr;
}

const char *str_table_get_def(const str_table *table, const char *section, int row, int col,
                              const char *def)
{
    const char *c = str_table_get(table, section, row, col);
    return c ? c : def;
}

i32 str_table_get_int(const str_table *table, const char *section, int row, int col, i32 def)
{
    const char *c = str_table_get(table, section, row, col);
    return c ? (i32)atol(c) : def;
}

i64 str_table_get_num(const str_table *table, const char *section, int row, int col)
{
    const char *c = str_table_get(table, section, row, col);
    return c ? str_to_i64(c) : 0;
}

char **str_table_get_row(const str_table *table, const char *section, int row)
{
    const str_vector *v = find_row(table, section, row);
    return v ? v->items : nullptr;
}

str_array *str_table_get_row_array(const str_table *table, const char *section, int row)
{
    const str_vector *v = find_row(table, section, row);
    if (!v) return nullptr;
    str_array *a = str_array_new(v->count, STR_ARR_OWN);
    if (!a) return nullptr;
    for (u64 i = 0; i < v->count; ++i) {
        if (str_array_add(a, v->items[i]) != 0) {
            str_array_free(a);
            return nullptr;
        }
    }
    return a;
}

arr32 *str_table_get_row_int(const str_table *table, const char *section, int row)
{
    const str_vector *v = find_row(table, section, row);
    if (!v) return nullptr;
    arr32 *a = arr32_new(v->count);
    if (!a) return nullptr;
    for (u64 i = 0; i < v->count; ++i) {
        if (arr32_push(a, (i32)atol(v->items[i])) != 0) {
            arr32_free(a);
            return nullptr;
        }
    }
    return a;
}

arr8 *str_table_get_row_chr(const str_table *table, const char *section, int row)
{
    const str_vector *v = find_row(table, section, row);
    if (!v) return nullptr;
    arr8 *a = arr8_new(v->count);
    if (!a) return nullptr;
    for (u64 i = 0; i < v->count; ++i) {
        if (arr8_push(a, (u8)v->items[i][0]) != 0) {
            arr8_free(a);
            return nullptr;
        }
    }
    return a;
}

str_table_kv *str_table_get_kv(const str_table *table, const char *section)
{
    const str_table_section *s = first_section(table, section);
    if (!s) return nullptr;
    auto *kv = (str_table_kv *)os_zalloc(((size_t)s->rows + 1) * sizeof(str_table_kv));
    if (!kv) return nullptr;
    for (u32 i = 0; i < s->rows; ++i) {
        const str_vector *r = s->row[i];
        // a row too short for a key or a value answers with "" or 0
        kv[i].key = os_strdup(r->count > 0 ? r->items[0] : "");
        kv[i].val = r->count > 1 ? atol(r->items[1]) : 0;
        if (!kv[i].key) {
            str_table_array_free(kv, i);
            return nullptr;
        }
    }
    return kv;
}

void str_table_array_free(str_table_kv *array, size_t count)
{
    if (!array) return;
    for (size_t i = 0; i < count; ++i) os_free(array[i].key);
    os_free(array);
}

str_table *_str_stable_get(const char *text)
{
    if (!text) return nullptr;
    str_vector lines;
    str_vector_init(&lines, 0);
    if (str_split(text, "\n", &lines) != 0 || lines.count < 3) {
        str_vector_fini(&lines);
        return nullptr;
    }
    str_table *t = str_table_new(lines.items[0]);
    u64 i = 2;
    while (t && i < lines.count) {
        str_table_section *s = str_table_add_section(t, lines.items[i++]);
        if (!s) {
            str_table_free(t);
            t = nullptr;
            break;
        }
        bool ended = false;
        while (i < lines.count) {
            char *line = lines.items[i++];
            if (!*line) {
                ended = true;
                break;
            }
            str_vector *row = row_from_line(line);
            int rc = row ? str_table_section_add_row(s, row) : -1;
            if (rc != 0) {
                if (rc == -2) LOG_DBG("val=[%s] error\n", line);
                str_vector_free(row);
                str_table_free(t);
                t = nullptr;
                break;
            }
        }
        if (t && !ended) drop_last_section(t);
    }
    str_vector_fini(&lines);
    return t;
}

i32 str_stable_get_int(const char *text, const char *section, int row, int col, i32 def)
{
    str_table *t = _str_stable_get(text);
    i32 v = str_table_get_int(t, section, row, col, def);
    str_table_free(t);
    return v;
}

char *str_stable_get_dup(const char *text, const char *section, int row, int col, const char *def)
{
    str_table *t = _str_stable_get(text);
    const char *c = str_table_get_def(t, section, row, col, def);
    char *r = c ? os_strdup(c) : nullptr;
    str_table_free(t);
    return r;
}

char *str_stable_get_str(const char *text, const char *section, int row, int col, const char *def,
                         char *out, size_t size)
{
    str_table *t = _str_stable_get(text);
    const char *c = str_table_get_def(t, section, row, col, def);
    if (out && size) {
        if (c)
            str_safecopy(out, size, c);
        else
            out[0] = 0;
    }
    str_table_free(t);
    return out;
}
