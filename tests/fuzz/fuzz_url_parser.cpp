// URL parser and query editor: the fields always lie inside the buffer,
// edits never write past it, and a failed edit leaves the text as it was.
#include "fuzz_common.h"

#include "libpal/string/str_map.h"
#include "libpal/string/str_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 4);
    const char *text = in[3];

    std::vector<char> buf(URL_BUF_SIZE);
    url u;
    int rc = url_parser(&u, buf.data(), text);
    const char *lo = buf.data(), *hi = buf.data() + buf.size();
    for (const char *f : {u.protocol, u.user, u.passwd, u.host, u.path, u.query, u.hash}) {
        FUZZ_ASSERT(f >= lo && f < hi);
        FUZZ_ASSERT(memchr(f, 0, (size_t)(hi - f)) != nullptr);
    }
    if (rc == 0) FUZZ_ASSERT(in.len(3) < URL_BUF_SIZE);

    std::vector<char> out(URL_BUF_SIZE);
    url_template(text, out.data());
    url_get_type(text);
    str_map_free(url_get_query_map(text));
    url_get_query(text, in[0], "d", out.data(), 64);

    // Edits of the text as a URL in its own buffer.
    std::vector<char> ub(URL_BUF_SIZE);
    snprintf(ub.data(), ub.size(), "%s", text);
    std::string before = ub.data();
    int mode = in.len(2) ? (in[2][0] & 7) : 1;
    if (url_set_query(ub.data(), in[0], in[1], mode & 1, mode % 5) != 0)
        FUZZ_ASSERT(before == ub.data());
    FUZZ_ASSERT(memchr(ub.data(), 0, ub.size()) != nullptr);
    url_add_path(ub.data(), in[1]);
    url_add_query_raw(ub.data(), in[0]);
    url_dquote(ub.data());
    FUZZ_ASSERT(memchr(ub.data(), 0, ub.size()) != nullptr);
    return 0;
}
