#pragma once
// Conversions between numbers and texts: the general number parser and its
// wrappers, sizes with unit suffixes, human-readable sizes, durations and
// grouped decimal text.
#include "libpal/basic/value_type.h"
#include "libpal/env/os_types.h"

// Result of the number parser: VALUE_U64 (the integer in u) or
// VALUE_DOUBLE (the number in d). Every failure gives VALUE_U64 with 0.
struct str_num {
    value_type type;
    union {
        u64 u;
        double d;
    };
};

str_num *str_parse_all_number(str_num *result, const char *text, int base);
i64 str_to_i64(const char *text);
double str_to_f64(const char *text);
u64 str_hex_to_u64(const char *text);
u32 str_hex_to_u32(const char *text);
long long str_to_ll(const char *text);
int str_u64_group(u64 value, char *out, size_t outsize, int group);

// Unit suffix table row; a table ends with a row whose suffix is empty.
struct str_size_unit {
    const char *suffix;
    u64 factor;
};
u64 str_parse_size_imp(const char *text, const str_size_unit *table);
u64 str_parse_size(const char *text);
// True when the whole text is a size str_parse_size reads ("2M", "4096",
// "1.5k"; "2abcM", "abc" and "12 " are not); *size: what it reads.
bool str_is_size(const char *text, u64 *size);
// Writes size into out ("0" for 0) and returns out; unit 0 chooses the
// unit letter itself. str_size_human uses one buffer per thread.
char *str_size_human_imp(u64 size, u64 unit, char *out, size_t outsize);
const char *str_size_human(u64 size, u64 unit);

char *str_duration_fmt(double seconds, char *out, size_t outsize);
char *str_duration_dhms(double seconds, char *out, size_t outsize);
char *str_hours_fmt(i64 hours, char *out, size_t outsize);
