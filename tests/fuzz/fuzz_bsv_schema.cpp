// bsv schema parser on arbitrary schema texts, then every getter and the
// name lookup over an arbitrary record of that layout.
#include "fuzz_common.h"

#include "libbsv/value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The schema is the text up to the first NUL; the record is the rest,
    // in its own exactly-sized block.
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    size_t slen = nul ? (size_t)(nul - data) : size;
    std::string schema((const char *)data, slen);
    std::vector<uint8_t> rec(nul ? nul + 1 : data + size, data + size);
    const uint8_t *r = rec.empty() ? (const uint8_t *)"" : rec.data();

    int count = value_get_info(nullptr, schema.c_str());
    bsv_value *v = bsv_value_init(schema.c_str(), size & 1);
    FUZZ_ASSERT((count > 0) == (v != nullptr));
    if (!v) return 0;
    FUZZ_ASSERT(bsv_value_get_count(v) == count);
    for (int i = 0; i < count; ++i) {
        const char *name = bsv_value_get_name(v, i);
        FUZZ_ASSERT(name && *name && strlen(name) <= (size_t)BSV_VALUE_NAME_MAX);
        u64 out = 0;
        if (bsv_value_read(v, r, rec.size(), i, -1, &out) == 0 && v->val[i].type == VALUE_TYPE_STRING) {
            const char *s = (const char *)(uintptr_t)out;
            FUZZ_ASSERT(s >= (const char *)r && s + strlen(s) < (const char *)r + rec.size());
        }
        // A name finds its first field.
        int first = 0;
        while (strcmp(v->val[first].name, name) != 0) ++first;
        bsv_value_res res;
        if (bsv_value_match(v, r, rec.size(), name, &res) == 0) FUZZ_ASSERT(res.type == v->val[first].type);
        bsv_value_get(v, r, rec.size(), i);
    }
    const char *strs[8];
    int n = bsv_value_strings(v, r, rec.size(), strs, 8);
    FUZZ_ASSERT(n <= 8);
    bsv_value_exit(v);
    return 0;
}
