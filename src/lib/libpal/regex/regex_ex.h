#pragma once
// POSIX extended regular expressions: one-shot matches, a pattern compiled
// once and matched many times, the first match's offsets, and replace-all.
#include "libpal/env/os_types.h"

// Longest pattern accepted. Longer ones, patterns that would compile to a
// huge or slow automaton ("a++++++++++", "a{1,1000}", loops over parts that
// may be empty such as "(a*)*" or "a**") and back-references fail like a
// pattern that does not compile.
constexpr size_t REGEX_PATTERN_MAX = 1024;

// 1 when the pattern matches somewhere in text, else 0 (REG_EXTENDED and
// REG_NEWLINE; reg_imatch adds REG_ICASE). A bad pattern logs and gives 0.
int reg_match(const char *text, const char *pattern);
int reg_imatch(const char *text, const char *pattern);
int regmatch_imp(const char *pattern, const char *text, int icase);

// A pattern compiled once with the flags of regmatch_imp. A pattern that
// does not compile is logged once here and never matches.
struct regex_cached;
regex_cached *regex_cached_new(const char *pattern, int icase);
void regex_cached_free(regex_cached *re);
int regex_cached_ok(const regex_cached *re);
int regex_cached_icase(const regex_cached *re);
int regex_cached_match(const regex_cached *re, const char *text);

// First match of pattern (REG_EXTENDED) in text: status 0 and its offsets,
// or status 1 and -1 offsets when nothing matched or the pattern is bad.
struct cns_reg_res {
    int status;
    i64 start;
    i64 end;
};
cns_reg_res cns_reg(const char *text, const char *pattern);

// New heap text with every match of pattern replaced; a match that is
// empty inserts the replacement and steps over one character.
char *regex_replace_all(const char *text, const char *pattern, const char *replacement);
