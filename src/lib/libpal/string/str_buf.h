#pragma once
// Growable text buffer, bounded line log, replace-all, quoting and
// in-place edits of NUL-terminated texts.
#include "libpal/env/os_types.h"

struct str_buf {
    char *data;
    u64 length;
    u64 capacity;
};
constexpr u64 STR_BUF_STEP = 4096;

struct str_lines {
    char *buffer;
    u64 size;
    u64 length;
};

str_buf *str_buf_new(void);
int str_buf_reset(str_buf *buf);
int str_buf_free(str_buf *buf);
char *str_buf_detach(str_buf *buf);
char *str_buf_detach_nonnull(str_buf *buf);
char *str_buf_get(str_buf *buf);
void str_buf_grow(str_buf *buf);
void str_buf_append_imp(str_buf *buf, const void *bytes, size_t n);
void str_buf_append(str_buf *buf, const void *bytes, size_t n);
void str_buf_append_cstr(str_buf *buf, const char *text);
void str_buf_append_chr(str_buf *buf, char c);
void str_buf_cut_tail(str_buf *buf, size_t n);
int str_buf_printf(str_buf *buf, const char *fmt, ...) OS_PRINTF(2, 3);

void str_lines_init(str_lines *lines, char *buffer, size_t size);
void str_lines_add(str_lines *lines, const char *text);

char *str_relace_imp(const char *src, const char *old, const char *rep, size_t max_count,
                     char *out, size_t out_size);
char *str_relace_to(const char *src, const char *old, const char *rep, char *out,
                    size_t out_size);
char *str_relace(const char *src, const char *old, const char *rep);

char *str_replace_chr(char *text, char c1, char c2);
u32 *wstr_replace_chr(u32 *wtext, u32 c1, u32 c2);
char *str_set_last_chr(char *text, char c);

char *str_quote_imp(const char *text, const char *set, char q, char *out, size_t out_size);
char *str_dquote(const char *text, char *out, size_t out_size);
char *str_squote(const char *text, char *out, size_t out_size);
char *str_squote_shell(const char *text, char *out, size_t out_size);
char *str_dquote_shell(const char *text, char *out, size_t out_size);
char *str_dquote_conf(const char *text, char *out, size_t out_size);
const char *str_shell_quote(const char *text, char *out, size_t out_size);

int str_is_blank_chr(int c);
int str_is_quote_chr(int c);
char *str_trim_imp(char *text, int (*pred)(int), int ch);
char *str_trim(char *text);
char *str_trim_quote(char *text);
char *str_trim_chr(char *text, int ch);
char *str_trim_all(char *text);
char *str_rtrim(char *text);
int str_insert_head(char *text, size_t size, const char *head);
int str_add_chr_not_exist_tail(char *text, size_t size, char c);
char *str_zero(char *text);
char *str_tolower(char *text);
char *str_toupper(char *text);
char *str_delchars(char *text, const char *set);
char *str_delchar(char *text, char c);
char *str_rdelchar(char *text, char c);
char *str_strip_ends(char *text);
char *str_del_suffix(char *text, const char *suffix);
char *str_delete(char *text, size_t pos, size_t n);
char *str_delete_to(char *dst, const char *src, size_t pos, size_t n);
int str_del_str(char *text, const char *sub);
void str_reverse(char *text);
int str_replace_split(char *text, const char *sep);
