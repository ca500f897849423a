// The Base64 decoder of the HTTP credentials on any text and bound.
#include "fuzz_common.h"

#include "libhttpd/api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    int max = data[0] % 128;
    std::vector<char> text(data + 1, data + size);
    text.push_back(0);
    std::vector<char> out((size_t)max + 1, 'Z');
    int n = httpdDecodeBase64(text.data(), out.data(), max);
    FUZZ_ASSERT(n >= 0 && n <= max);
    FUZZ_ASSERT(out[(size_t)n] == 0);
    // The same input with a bound of its own decoded length gives the same bytes.
    std::vector<char> again((size_t)n + 1);
    FUZZ_ASSERT(httpdDecodeBase64(text.data(), again.data(), n) == n);
    FUZZ_ASSERT(memcmp(again.data(), out.data(), (size_t)n) == 0);
    return 0;
}
