// The rule tokenizer and the canonical form: no crash, messages inside the
// error buffer, and the canonical text reads back as itself.
#include "fuzz_common.h"

#include "libpal/env/malloc.h"
#include "libpal/qexpr/qparser.h"

namespace {

int count(void *arg, int, const char *name, int, const char *value, int, int)
{
    FUZZ_ASSERT(strlen(name) <= QEXPR_NAME_MAX);
    FUZZ_ASSERT(strlen(value) <= QEXPR_VALUE_MAX);
    ++*(int *)arg;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    char err[QEXPR_ERR_SIZE];
    int n = 0;
    int rc = qparser_parse(text.data(), count, &n, err);
    FUZZ_ASSERT(rc == 0 || rc == -1);
    FUZZ_ASSERT(strlen(err) < sizeof err);
    FUZZ_ASSERT(rc == qparser_parse_str(text.data(), err));

    char *once = qparser_format_str(text.data(), err);
    FUZZ_ASSERT((once != nullptr) == (rc == 0));
    if (!once) return 0;
    FUZZ_ASSERT(n > 0 || once[0] == 0);
    char *twice = qparser_format_str(once, err);
    if (twice) {
        FUZZ_ASSERT(strcmp(once, twice) == 0);
    } else {
        // Only a value that escapes made empty ("\x") has no written form.
        FUZZ_ASSERT(strstr(once, " \"\"\n") != nullptr);
    }
    os_free(twice);
    os_free(once);
    return 0;
}
