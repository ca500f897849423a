#pragma once
// What the parts of the INI backend share: the dictionary (ini_dict.cpp),
// the loader and the backend slots (ini.cpp), and the writer with the save
// slot (ini_write.cpp), which stands on the dictionary alone.
#include <cstddef>
#include <cstring>
#include "libconf/ini/ini.h"

// The context of one open file, made by ini_conf_open.
struct ini_ctx {
    char *path;
    dictionary *dict;
};

namespace ini_detail {

constexpr size_t kLineMax = 1023;  // characters of one (joined) line the loader takes

// White space the loader trims: blank, TAB, line feed, VT, FF, CR.
inline bool blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// key is "sec<TAB>..." where sec is the sl bytes of section name sec.
inline bool key_in_section(const char *key, const char *sec, size_t sl)
{
    return strncmp(key, sec, sl) == 0 && key[sl] == '\t';
}

// The writer gives a header to a section entry, and also to an entry
// without a value whose name holds a TAB ("[a<TAB>b]" in the file), so
// that it and its keys are saved.
inline bool is_header(const dictionary *d, int i)
{
    return d->key[i] && (!d->val[i] || !strchr(d->key[i], '\t'));
}

// The slot of the key made of the n bytes at key (or of key), or -1.
int find_slot_n(const dictionary *d, const char *key, size_t n);
int find_slot(const dictionary *d, const char *key);

}  // namespace ini_detail
