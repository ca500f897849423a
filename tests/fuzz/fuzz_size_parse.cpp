// The size parser behind the log's file_size key: no crash, and every
// text agrees with a small model of the grammar (a number, then at most
// two unit letters from the table, each multiplying it).
#include "fuzz_common.h"

#include <strings.h>

#include "libpal/string/conv_num.h"

namespace {

struct unit {
    const char *suffix;
    double factor;
};
// Looked up in this order, letters compared without regard to case.
const unit kUnits[] = {
    {"c", 1}, {"w", 2}, {"b", 512}, {"kB", 1e3}, {"kD", 1e3}, {"k", 1024}, {"KB", 1e3},
    {"KD", 1e3}, {"K", 1024}, {"MB", 1e6}, {"MD", 1e6}, {"M", 1048576.0}, {"GB", 1e9},
    {"GD", 1e9}, {"G", 1073741824.0}, {"TB", 1e12}, {"T", 1099511627776.0}, {"PB", 1e15},
    {"P", 1125899906842624.0},
};

u64 model(const char *t)
{
    size_t len = strnlen(t, 257);
    if (len > 256 || !*t || strchr("\t\n\v\f\r +-", t[0])) return 0;
    size_t letters = 0;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    while (letters < len && letter(t[len - 1 - letters])) ++letters;
    if (letters > 2 || letters == len) return 0;
    double v = atof(std::string(t, len - letters).c_str());
    for (const char *s = t + len - letters; *s;) {
        const unit *u = nullptr;
        for (const auto &r : kUnits)
            if (strncasecmp(s, r.suffix, strlen(r.suffix)) == 0) {
                u = &r;
                break;
            }
        if (!u) return 0;
        v *= u->factor;
        s += strlen(u->suffix);
    }
    if (!(v > 0)) return 0;
    return v >= 18446744073709551616.0 ? UINT64_MAX : (u64)v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text((const char *)data, size);
    const char *t = text.c_str();  // cut at the first NUL, as a key value is
    u64 got = str_parse_size(t);
    FUZZ_ASSERT(got == model(t));
    return 0;
}
