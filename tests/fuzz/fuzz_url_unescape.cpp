// URL unescapes: every mode, the wrappers and the query-argument reader.
#include "fuzz_common.h"

#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 2);
    const char *text = in[1];
    size_t n = in.len(1);

    for (int mode : {STR_UNESC_URI, STR_UNESC_ARGS, STR_UNESC_KEEP}) {
        std::vector<char> out(n + 1);
        i64 w = str_unescape_imp(out.data(), text, n, mode);
        FUZZ_ASSERT(w >= 0 && (size_t)w <= n);
        FUZZ_ASSERT(out[w] == 0);
    }
    // The wrappers with an exact and a short buffer.
    std::vector<char> exact(n + 1), shortb(n ? n : 1);
    FUZZ_ASSERT(str_unescape_uri(text, exact.data(), exact.size()) == 0);
    FUZZ_ASSERT(str_unescape_url_args(text, exact.data(), exact.size()) == 0);
    FUZZ_ASSERT(str_unescape_url_args(text, shortb.data(), n) == -1);

    // Escaping and unescaping give the text back.
    i64 need = str_escape_imp(nullptr, text, n, STR_ESC_URL_ARG);
    std::vector<char> esc((size_t)need), back(need);
    FUZZ_ASSERT(str_escape_url_args(text, esc.data(), esc.size()) == 0);
    FUZZ_ASSERT(str_unescape_url_args(esc.data(), back.data(), back.size()) == 0);
    FUZZ_ASSERT(strcmp(back.data(), text) == 0);

    std::vector<char> arg(64);
    str_get_url_arg(text, in[0], arg.data(), arg.size());
    return 0;
}
