// Both environment expanders on arbitrary text with a fixed lookup.
#include "fuzz_common.h"

#include "libpal/env/malloc.h"
#include "libpal/string/str_env.h"

namespace {

constexpr size_t kMaxValue = 9;

// Single letters A-H have values; "B" has an empty one; every other name
// has none.
const char *lookup(const char *name, void *)
{
    static const char *const values[] = {"1", "", "three", "/x/y", "$A", "%A%", "${B}", "123456789"};
    if (name[0] >= 'A' && name[0] <= 'H' && name[1] == 0) return values[name[0] - 'A'];
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    size_t len = strlen(text.data());

    char *d = str_env_expand_imp(text.data(), lookup, nullptr);
    FUZZ_ASSERT(d != nullptr);
    // Each value replaces at least two input characters ("$X").
    FUZZ_ASSERT(strlen(d) <= len + (len / 2 + 1) * kMaxValue);
    os_free(d);

    char *p = str_env_expand_pct_imp(text.data(), lookup, nullptr);
    FUZZ_ASSERT(p != nullptr);
    FUZZ_ASSERT(strlen(p) <= len + (len / 2 + 1) * kMaxValue);
    os_free(p);

    char buf[16];
    str_env_expand2(text.data(), buf, sizeof buf);
    FUZZ_ASSERT(strlen(buf) < sizeof buf);
    return 0;
}
