#pragma once
// String vector and the search and test tools over NUL-terminated texts.
#include "libpal/env/os_types.h"

// The four fields that begin str_vector, str_map and str_array, so that
// the array sort and unique functions serve all three.
struct str_arr_hdr {
    void **items;
    u64 count;
    u64 capacity;
    u32 flags;
};

enum : u32 {
    STR_VEC_OWN = 1,
    STR_VEC_TEXT = 2,
    STR_VEC_ADDR = 4,
    STR_VEC_INDIRECT = 8,
    STR_VEC_NOCASE = 16,
    STR_VEC_SKIP_EMPTY = 32,
    STR_VEC_UNIQUE = 64,
};

struct str_vector {
    char **items;
    u64 count;
    u64 capacity;
    u32 flags;
    u8 heap;
    char *split_buf;
    u64 split_size;
};

void str_vector_init(str_vector *vec, u32 flags);
str_vector *str_vector_new(u32 flags);
void str_vector_reset(str_vector *vec);
void str_vector_fini(str_vector *vec);
void str_vector_free(str_vector *vec);
int str_vector_find_case(const str_vector *vec, const char *text);
int str_vector_find_nocase(const str_vector *vec, const char *text);
int str_vector_find(const str_vector *vec, const char *text);
int str_vector_add(str_vector *vec, const char *text);
int str_vector_del(str_vector *vec, const char *text);
int str_vector_terminate(str_vector *vec);
void str_vector_sort(str_vector *vec);
int str_vector_sort_uniq(str_vector *vec);
int str_split_imp(char *buffer, const char *delims, str_vector *vec);
int str_split(const char *text, const char *delims, str_vector *vec);
int str_split_esape(const char *text, const char *delims, const char *quotes, str_vector *vec);

int str_start_with(const char *text, const char *prefix);
int str_istart_with(const char *text, const char *prefix);
int str_end_with(const char *text, const char *suffix);
int str_iend_with(const char *text, const char *suffix);
int str_is_enclosed(const char *text, char c1, char c2);
const char *str_istr(const char *text, const char *sub);
const char *str_find_word_imp(const char *text, const char *word, const char **next, int nocase);
const char *str_find_word(const char *text, const char *word);
const char *str_ifind_word(const char *text, const char *word);
const char *str_rstr(const char *text, const char *sub);
const char *str_has_any_chr(const char *text, const char *set);
const char *str_rchr_any(const char *text, const char *set);
size_t str_count_chrs(const char *text, const char *set);
int str_in_list(const char *list, const char *word, char sep);
int str_multi_find(const char *list, const char *text);
const char *str_get_token(const char *text, const char *delims, char *buf, size_t buflen);
char *str_get_head(const char *text, char *buf, size_t blen);
char *str_concat_dup(const char *a, const char *b);
char *str_dup_add_chr(const char *text, char c);
int str_cmp_show_dbg(const char *a, const char *b);
