// Glob matching: pattern and text from the input.
#include "fuzz_common.h"

#include "libpal/string/str_glob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 2);
    const char *pattern = in[0], *text = in[1];
    int a = str_wildcard(text, pattern);
    int b = str_iwildcard(text, pattern);
    FUZZ_ASSERT(a == 0 || a == 1);
    FUZZ_ASSERT(b == 0 || b == 1);
    if (a) FUZZ_ASSERT(b);  // ignoring case never loses a match
    FUZZ_ASSERT(str_wildcard(text, "*") == 1);
    // A pattern without special characters matches itself only.
    if (!strpbrk(text, "*?\\|")) FUZZ_ASSERT(str_wildcard(text, text) == 1);
    return 0;
}
