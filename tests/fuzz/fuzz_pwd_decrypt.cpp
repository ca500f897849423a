// The login checks' Base64 and RC4 decoder on any text and buffer size, and
// the lock-out table on any address texts.
#include "fuzz_common.h"

#include "libpwd/libpwd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts p(data, size, 3);
    size_t room = p.len(2) % 300;
    std::vector<char> out(room ? room : 1, 'Z');
    int rc = libpwd_decrypt_b64(p[0], p[1], out.data(), room);
    FUZZ_ASSERT(rc == 0 || rc == -1);
    if (rc == 0) FUZZ_ASSERT(memchr(out.data(), 0, room) != nullptr);

    static bool started = [] {
        libpwd_param lp = {"u", "p", 2, 1, 8};
        return libpwd_init(&lp) == 0;
    }();
    FUZZ_ASSERT(started);
    char err[LIBPWD_TEXT_MAX];
    libpwd_check_user_pwd(p[0], p[1], p[2], err);
    FUZZ_ASSERT(ipcheck_count() <= 8);
    return 0;
}
