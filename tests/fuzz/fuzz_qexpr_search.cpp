// Hex byte-pattern search with random patterns over exactly sized
// haystacks: every hit is inside the haystack and really matches.
#include "fuzz_common.h"

#include "libpal/qexpr/mem_search.h"
#include "libpal/string/str_escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts parts(data, size, 2);
    const char *pattern = parts[0];
    size_t hl = parts.parts[1].size() - 1;  // the haystack may hold NULs
    std::vector<u8> hay(parts[1], parts[1] + hl);
    const u8 *base = hay.data();
    const u8 *hit = mem_pattern_search(base, hay.size(), pattern);
    if (!hit) return 0;
    FUZZ_ASSERT(hit >= base && hit < base + hay.size());
    int n = str_hex_pattern_imp(pattern, nullptr, nullptr);
    FUZZ_ASSERT(n > 0 && (size_t)n <= (size_t)(base + hay.size() - hit));
    std::vector<u8> vals((size_t)n);
    std::vector<char> marks((size_t)n + 1);
    str_hex_pattern_imp(pattern, vals.data(), marks.data());
    for (int i = 0; i < n; ++i) FUZZ_ASSERT(marks[i] == '?' || hit[i] == vals[i]);
    // No earlier position matches.
    for (const u8 *p = base; p < hit; ++p) {
        int i = 0;
        while (i < n && (marks[i] == '?' || p[i] == vals[i])) ++i;
        FUZZ_ASSERT(i < n);
    }
    return 0;
}
