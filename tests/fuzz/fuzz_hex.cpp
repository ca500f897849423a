// Hex decoders in all their tolerances, and the byte patterns.
#include "fuzz_common.h"

#include <strings.h>

#include "libpal/env/malloc.h"
#include "libpal/string/str_escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const char *t = text.data();
    size_t tl = strlen(t);

    i64 need = str_hex_decode_imp(t, 1, nullptr, 0);
    if (need >= 0) {
        std::vector<uint8_t> out((size_t)need);
        i64 n = str_hex_decode_imp(t, 1, out.data(), out.size());
        FUZZ_ASSERT(n == -1 || n == need - 1);
        if (n >= 0) {
            std::vector<char> enc(2 * (size_t)n + 1);
            FUZZ_ASSERT(str_hex_encode_imp(out.data(), n, enc.data(), enc.size()) == 2 * n);
            FUZZ_ASSERT(strcasecmp(enc.data(), t) == 0);
        }
    }

    size_t room = tl / 3 + 1;
    std::vector<uint8_t> loose(room);
    int l = str_hex_decode_loose(t, size, loose.data(), room);
    FUZZ_ASSERT(l >= -1 && l <= (int)room);

    std::vector<uint8_t> sep(tl / 2 + 1);
    int r = str_hex_sep_decode(t, size ? (char)data[0] : ':', sep.data());
    FUZZ_ASSERT(r == 0 || r == 1);

    u8 *vals = nullptr;
    char *marks = nullptr;
    int len = 0;
    int p = str_hex_pattern(t, &vals, &len, &marks);
    FUZZ_ASSERT(p == str_hex_pattern_imp(t, nullptr, nullptr));
    if (p > 0) {
        FUZZ_ASSERT(len == p && (int)strlen(marks) == p);
        os_free(vals);
        os_free(marks);
    }

    std::vector<char> copy(text);
    size_t dl = 0;
    u8 *blank = str_hex_decode_blank(copy.data(), &dl);
    os_free(blank);
    char *digits = str_hex_decode_digits(t, size & 1);
    os_free(digits);
    return 0;
}
