// Key=value editors and readers on lists, keys and values from the input.
#include "fuzz_common.h"

#include "libpal/env/malloc.h"
#include "libpal/string/str_kv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    int mode = data[0] % 6;
    size_t room = data[1];
    fuzz_parts in(data + 2, size - 2, 4);
    const char *delims = in.len(0) ? in[0] : "&";
    const char *key = in[1], *value = in[2], *list = in[3];

    std::vector<char> buf(room + in.len(3) + 1);
    memcpy(buf.data(), list, in.len(3) + 1);
    std::vector<char> before(buf);
    int rc = str_set_val(buf.data(), buf.size(), delims, mode, key, value);
    FUZZ_ASSERT(memchr(buf.data(), 0, buf.size()));
    if (rc != 0) FUZZ_ASSERT(buf == before);

    std::vector<char> q(room + 1);
    strncpy(q.data(), list, room);
    std::string old(q.data());
    str_add_url_arg(q.data(), q.size(), key, value);
    FUZZ_ASSERT(strlen(q.data()) < q.size());
    FUZZ_ASSERT(strncmp(q.data(), old.c_str(), old.size()) == 0);

    std::vector<char> out(room ? room : 1);
    str_get_val(list, delims, key, out.data(), room);
    str_get_kv_val_to(list, delims, '=', value, out.data(), room);
    str_get_val_unquote(list, delims, '=', key, out.data(), room);
    str_get_line_val(list, key, out.data(), room);
    str_get_val_bracket(list, key, out.data(), room);
    str_get_url_arg(list, key, out.data(), room);
    std::vector<char> v2(room ? room : 1);
    str_get_key_and_val(list, delims, out.data(), room, v2.data(), room);
    os_free(str_lines_find_col(list, delims, key, data[0] % 4, data[1] % 4));
    os_free(str_lines_find_col2(list, key, delims, data[1] % 4));
    str_list_has(list, delims, key);
    str_to_bool(key);
    return 0;
}
