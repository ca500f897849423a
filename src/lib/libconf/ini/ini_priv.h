#pragma once
// Helpers the INI loader and writer share.
#include <cstddef>
#include "libconf/ini/ini.h"

namespace ini_detail {

constexpr size_t kLineMax = 1023;  // characters of one (joined) line the loader takes

// White space the loader trims: blank, TAB, line feed, VT, FF, CR.
bool blank(char c);
// key is "sec<TAB>..." where sec is the sl bytes of section name sec.
bool key_in_section(const char *key, const char *sec, size_t sl);
// The writer gives a header to a section entry, and also to an entry
// without a value whose name holds a TAB ("[a<TAB>b]" in the file), so
// that it and its keys are saved.
bool is_header(const dictionary *d, int i);
// The slot of the key made of the n bytes at key (or of key), or -1.
int find_slot_n(const dictionary *d, const char *key, size_t n);
int find_slot(const dictionary *d, const char *key);

}  // namespace ini_detail
