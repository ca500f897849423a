#pragma once
// Named table of named sections; each section holds rows of equal width,
// each row a str_vector of cell texts owned by the table.
#include "libpal/basic/arr.h"
#include "libpal/env/os_types.h"

struct str_vector;
struct str_array;

struct str_table_section {
    char *name;  // may be NULL; an unnamed section matches no name
    u32 rows;
    u32 row_capacity;
    u32 cols;
    str_vector **row;
};

struct str_table {
    char *name;
    u32 nsections;
    u32 section_capacity;
    str_table_section **sections;
};

// One entry of str_table_get_kv: a copy of the row's first cell and its
// second cell as a number. The array ends with a zeroed entry.
struct str_table_kv {
    char *key;
    long val;
};

str_table *str_table_new(const char *name);
void str_table_free(str_table *table);
str_table_section *str_table_add_section(str_table *table, const char *name);
// 0, -1 (no memory) or -2 (width differs). The section takes the row.
int str_table_section_add_row(str_table_section *section, str_vector *row);
void str_table_section_free(str_table_section *section);
int str_table_add_row(str_table *table, const char *section, int count, const char *const *cells);

int str_table_get_cols(const str_table *table, const char *section);
int str_table_get_rows(const str_table *table, const char *section);
const char *str_table_get(const str_table *table, const char *section, int row, int col);
const char *str_table_get_def(const str_table *table, const char *section, int row, int col,
                              const char *def);
i32 str_table_get_int(const str_table *table, const char *section, int row, int col, i32 def);
i64 str_table_get_num(const str_table *table, const char *section, int row, int col);
char **str_table_get_row(const str_table *table, const char *section, int row);
str_array *str_table_get_row_array(const str_table *table, const char *section, int row);
arr32 *str_table_get_row_int(const str_table *table, const char *section, int row);
arr8 *str_table_get_row_chr(const str_table *table, const char *section, int row);
str_table_kv *str_table_get_kv(const str_table *table, const char *section);
void str_table_array_free(str_table_kv *array, size_t count);

str_table *_str_stable_get(const char *text);
i32 str_stable_get_int(const char *text, const char *section, int row, int col, i32 def);
char *str_stable_get_dup(const char *text, const char *section, int row, int col, const char *def);
char *str_stable_get_str(const char *text, const char *section, int row, int col, const char *def,
                         char *out, size_t size);
