#pragma once
// Hexadecimal encodings, byte patterns, percent escapes of URL texts,
// backslash escapes of C, JSON and CSV texts, and the escape of a client's
// text in a log record.
#include "libpal/env/os_types.h"

// Hex digit value: 0-15, or 255 for any other character.
unsigned hex_digit_val(int c);
// Hex digit value: 0-15, or -1 for any other character.
i32 hex_val_table(int c);

// len -1 means strlen(src). Without out returns the size needed (2*len+1);
// -1 when out is too small; else the number of digits written.
i64 str_hex_encode_imp(const void *src, i64 len, char *out, size_t outsize);
char *str_hex_encode_dup(const void *src, i64 len);
char *str_hex_encode_str(const char *s);
// Without out returns the size needed (one byte per digit pair, one more
// with add_nul); -1 for odd length, a non-digit or a short out; else the
// number of bytes.
i64 str_hex_decode_imp(const char *hex, int add_nul, void *out, size_t outsize);
u8 *str_hex_decode_dup(const char *hex, size_t *len);
u8 *str_hex_decode_blank(char *hex, size_t *len);
char *str_hex_decode_str(const char *hex);
char *str_hex_decode_digits(const char *hex, int keep);
int str_hex_sep_decode(const char *text, char separator, u8 *out);
int str_hex_decode_loose(const char *text, size_t len, u8 *out, size_t outsize);
int str_bin2hex(const void *bytes, size_t n, char *out, size_t outsize);
// Byte patterns: two-digit hex bytes and '?' wildcards.
int str_hex_pattern_imp(const char *pattern, u8 *values, char *markers);
int str_hex_pattern(const char *pattern, u8 **values, int *len, char **markers);

// Escape classes of str_escape_imp.
enum {
    STR_ESC_URI = 0,
    STR_ESC_URL_ARG = 1,
    STR_ESC_ALL = 2,
    STR_ESC_QUOTE_HASH = 3,
    STR_ESC_QUOTE = 4,
    STR_ESC_PERCENT = 5,
    STR_ESC_PERCENT2 = 6,
    STR_ESC_CLASSES = 7,
};
// Without out returns the size needed (len + 2 per escaped byte + 1); with
// out writes the text and a NUL and returns the offset of that NUL; -1 for
// a class outside the tables.
i64 str_escape_imp(char *out, const char *src, size_t len, int cls);
int str_escape_url_args(const char *src, char *out, size_t outsize);
// Unescape modes.
enum {
    STR_UNESC_URI = 1,   // a '?' ends the text
    STR_UNESC_ARGS = 2,  // every escape decoded
    STR_UNESC_KEEP = 4,  // only printable escapes decoded, '?' ends the text
};
// Decodes at most n characters of in (up to its NUL) into out, which holds
// n+1 bytes; the result is always terminated. Returns its length.
i64 str_unescape_imp(char *out, const char *in, size_t n, int mode);
int str_unescape_uri(const char *src, char *out, size_t outsize);
int str_unescape_url_args(const char *src, char *out, size_t outsize);

size_t str_escape_cstr_imp(char *out, const char *src, size_t len);
int str_escape_cstr(char *out, size_t outsize, const char *src);
int str_escape_csv(char *out, size_t outsize, const char *src);
int str_parse_cescape(const char **p);
char *str_unescape_cstr(const char *s);

// A text a client chose, fit for one log record: bytes below 0x20, 0x7f,
// bytes above 0x7f, '[', ']' and the backslash are written as \xNN (two
// lower-case hex digits), so the text can neither end the record, forge a
// bracketed field or an escape, nor put raw bytes into a log. The result is
// cut at outsize (NUL included) before an escape that would not fit whole.
// Returns out (an empty text when out is NULL); NULL src gives the empty
// text. Called inside a log call's arguments it runs only when the record
// is written: the log macros do not evaluate the arguments of a record
// their level drops.
const char *str_escape_log(char *out, size_t outsize, const char *src);

// str_escape_log into N bytes of the stack, for a log call's arguments:
//     LOG_WARN("user [%s]\n", str_log_esc<256>(user).c_str());
// (where the caller's frame must stay small, escape into a buffer of its
// own instead).
template <size_t N>
struct str_log_esc {
    static_assert(N > 0, "room for the NUL");
    char text[N];
    explicit str_log_esc(const char *src) { str_escape_log(text, N, src); }
    const char *c_str() const { return text; }
};
