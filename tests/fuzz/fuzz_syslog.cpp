// Syslog message builder and code parser: the message never exceeds its
// buffer, keeps its field widths, and a code is always one of the table's.
#include "fuzz_common.h"

#include "liblog/lognet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 4);
    for (const os_code_str *tab : {syslog_facility_tab, syslog_priority_tab}) {
        int code = syslog_code_get(in[0], tab);
        if (code >= 0) {
            bool found = false;
            for (const os_code_str *r = tab; r->text; ++r) found |= r->code == code;
            FUZZ_ASSERT(found);
        }
    }
    struct log2 *c = log_ctx_get(nullptr);
    c->flags.store(size ? data[0] : 0);
    size_t cap = size > 1 ? 2 + data[1] * 8 : 1536;
    std::vector<char> out(cap + 16, 'Z');
    int n = syslog_format(c, in[1], in[2], in[3], out.data(), cap);
    FUZZ_ASSERT(n >= 0 && (size_t)n < cap);
    FUZZ_ASSERT(strlen(out.data()) == (size_t)n);
    FUZZ_ASSERT(out[cap] == 'Z');
    FUZZ_ASSERT(out[0] == '<');
    FUZZ_ASSERT(n <= 1535);
    return 0;
}
