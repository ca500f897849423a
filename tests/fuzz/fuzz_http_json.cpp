// The web tool's JSON string escape on any bytes and room: the text fits,
// is a well-formed JSON string body in UTF-8 without markup characters, and
// is never cut inside an escape or a character.
#include "fuzz_common.h"

#include "libdbg/http.h"

namespace {

// Length of the valid UTF-8 sequence at s (n bytes left), 0 when invalid.
size_t utf8_len(const unsigned char *s, size_t n)
{
    unsigned char c = s[0];
    size_t k = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (!k || k > n) return 0;
    for (size_t i = 1; i < k; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;
    if (c == 0xED && s[1] > 0x9F) return 0;
    if (c == 0xF0 && s[1] < 0x90) return 0;
    if (c == 0xF4 && s[1] > 0x8F) return 0;
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    size_t room = ((size_t)data[0] << 8 | data[1]) % 4096;
    const char *src = (const char *)data + 2;
    size_t len = size - 2;
    std::vector<char> out(room ? room : 1, 'Z');
    size_t used = 0;
    size_t w = http_json_escape(out.data(), room, src, len, &used);
    if (room == 0) {
        FUZZ_ASSERT(w == 0 && used == 0);
        return 0;
    }
    FUZZ_ASSERT(w < room && out[w] == 0 && used <= len);
    if (used < len) FUZZ_ASSERT(w + 6 >= room - 1);  // stopped only for lack of room
    const unsigned char *o = (const unsigned char *)out.data();
    for (size_t i = 0; i < w;) {
        if (o[i] == '\\') {
            FUZZ_ASSERT(i + 1 < w);
            unsigned char e = o[i + 1];
            if (e == 'u') {
                FUZZ_ASSERT(i + 5 < w);
                for (int k = 2; k < 6; ++k) FUZZ_ASSERT(isxdigit(o[i + k]));
                i += 6;
            } else {
                FUZZ_ASSERT(strchr("\"\\bfnrt", e) && e);
                i += 2;
            }
            continue;
        }
        FUZZ_ASSERT(o[i] >= 0x20 && o[i] != '"' && !strchr("<>&", o[i]));
        size_t k = utf8_len(o + i, w - i);
        FUZZ_ASSERT(k > 0);
        i += k;
    }
    return 0;
}
