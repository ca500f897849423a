#pragma once
// Path texts: separators, normal form, base and directory names, and the
// standard Base64 encoder used for Basic credentials.
#include "libpal/env/os_types.h"

constexpr size_t PATH_BUF_SIZE = 4096;

char *path_fix_sep(char *path, char sep);
char *path_fix_sep_unix(char *path);
u32 *wpath_fix_sep_win(u32 *wpath);
char *path_normalize(char *path);
char *path_normalize_copy(const char *src, char *dst, size_t size);
int path_is_win_device(const char *path);
const char *path_basename(const char *path);
char *path_dirname(char *path);
int path_is_absolute(const char *path);
int path_is_equal(const char *a, const char *b);
int path_dir_is_equal(const char *a, const char *b);
char *path_dquote(char *path);
char *path_dquote_to(const char *path, char *out);
char *path_realpath(const char *path, char *resolved);

// 0, or 34 when the encoding does not fit (out emptied).
int str_base64_encode_std(const char *src, char *out, size_t outsize);
