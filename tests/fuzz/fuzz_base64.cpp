// Base64 decoder on any text, and encode/decode round trips.
#include "fuzz_common.h"

#include "libpal/string/str_base64.h"
#include "libpal/string/str_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Any text: decoded into an exactly-sized and a one-byte-short buffer.
    std::vector<char> text(data, data + size);
    text.push_back(0);
    size_t chars = strcspn(text.data(), "=");
    size_t room = chars * 3 / 4;
    std::vector<uint8_t> out(room ? room : 1);
    int n = str_base64_decode(text.data(), out.data(), room);
    FUZZ_ASSERT(n >= -1 && n <= (int)room);
    if (n > 0) FUZZ_ASSERT(str_base64_decode(text.data(), out.data(), (size_t)n - 1) == -1);

    // Any bytes: both alphabets round-trip.
    for (int url = 0; url < 2; ++url) {
        std::vector<char> enc(PL_BASE64_ENCODE_LEN(size));
        const void *src = size ? (const void *)data : (const void *)"";
        int e = str_base64_encode_imp(src, size, enc.data(), enc.size(), url);
        FUZZ_ASSERT(e == (int)enc.size() - 1);
        std::vector<uint8_t> dec(size + 1);
        FUZZ_ASSERT(str_base64_decode(enc.data(), dec.data(), size) == (int)size);
        FUZZ_ASSERT(size == 0 || memcmp(dec.data(), data, size) == 0);
        FUZZ_ASSERT(str_base64_encode_imp(src, size, enc.data(), enc.size() - 1, url) == -1);
    }

    // The credential encoder: fits exactly, or reports 34 with out emptied.
    size_t tl = strlen(text.data());
    std::vector<char> cred(PL_BASE64_ENCODE_LEN(tl));
    FUZZ_ASSERT(str_base64_encode_std(text.data(), cred.data(), cred.size()) == 0);
    if (tl) {
        FUZZ_ASSERT(str_base64_encode_std(text.data(), cred.data(), cred.size() - 1) == 34);
        FUZZ_ASSERT(cred[0] == 0);
    }
    return 0;
}
