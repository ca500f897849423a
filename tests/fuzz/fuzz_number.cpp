// Number and size parsers.
#include "fuzz_common.h"

#include <cerrno>

#include "libpal/string/conv_num.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const char *t = text.data();

    for (int base : {0, 2, 8, 10, 16, 37}) {
        str_num n;
        str_parse_all_number(&n, t, base);
        FUZZ_ASSERT(n.type == VALUE_U64 || n.type == VALUE_DOUBLE);
    }
    // Plain decimal integers agree with strtoull, overflow included.
    size_t digits = strspn(t, "0123456789");
    if (digits && digits == strlen(t) && t[0] != '0') {
        str_num n;
        str_parse_all_number(&n, t, 10);
        errno = 0;
        unsigned long long ref = strtoull(t, nullptr, 10);
        FUZZ_ASSERT(n.type == VALUE_U64);
        FUZZ_ASSERT(n.u == (errno == ERANGE ? 0 : ref));
    }
    str_to_i64(t);
    str_to_f64(t);
    str_hex_to_u32(t);
    str_parse_size(t);
    char out[21];
    str_size_human_imp(str_parse_size(t), size ? data[0] : 0, out, sizeof out);
    return 0;
}
