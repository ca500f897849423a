#pragma once
// A small text pattern matcher for tests: literal text with the tokens
//   {d}   one or more decimal digits
//   {dd}  exactly two decimal digits (also {ddd})
//   {x4}  exactly four lower-case hex digits
//   {*}   anything (shortest match first)
#include <cctype>
#include <cstring>
#include <string>

namespace testutil {

inline bool text_like(const char *t, const char *p)
{
    while (*p) {
        if (*p == '{') {
            const char *end = strchr(p, '}');
            std::string tok(p + 1, end);
            p = end + 1;
            if (tok == "d") {
                if (!isdigit((unsigned char)*t)) return false;
                while (isdigit((unsigned char)*t)) ++t;
            } else if (tok == "*") {
                for (const char *s = t;; ++s) {
                    if (text_like(s, p)) return true;
                    if (!*s) return false;
                }
            } else if (tok[0] == 'x') {
                for (int i = 0; i < std::stoi(tok.substr(1)); ++i, ++t)
                    if (!isxdigit((unsigned char)*t) || isupper((unsigned char)*t)) return false;
            } else {
                for (size_t i = 0; i < tok.size(); ++i, ++t)
                    if (!isdigit((unsigned char)*t)) return false;
            }
            continue;
        }
        if (*t != *p) return false;
        ++t;
        ++p;
    }
    return *t == 0;
}

inline bool text_like(const std::string &t, const std::string &p)
{
    return text_like(t.c_str(), p.c_str());
}

}  // namespace testutil
