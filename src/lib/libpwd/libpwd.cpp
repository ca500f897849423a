#define LOG_MOD "pwd"
#define LOG_SRC "src/lib/libpwd/libpwd"
#include "libpwd/libpwd.h"

#include <cstring>
#include <pthread.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/env/os_mutex.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/sha1.h"
#include "libpal/memory/mem_util.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char kWrong[] = "Wrong user or password";
constexpr char kKeyPrefix[] = "QUERN";
constexpr char kNameForbidden[] = ";/\\\"'?:@# ";
constexpr char kMasked[] = "***";

// The process's user and password, under g_lock for every read and write
// (the password's "{SHA}" form is made from it where it is needed).
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
char g_user[LIBPWD_TEXT_MAX];
char g_pwd[LIBPWD_TEXT_MAX];

}  // namespace

bool libpwd_secret_equal(const char *a, const char *b)
{
    u8 da[SHA1_DIGEST_LEN], db[SHA1_DIGEST_LEN];
    hash_sha1(a ? a : "", a ? strlen(a) : 0, da);
    hash_sha1(b ? b : "", b ? strlen(b) : 0, db);
    u8 diff = 0;
    for (size_t i = 0; i < SHA1_DIGEST_LEN; ++i) diff |= (u8)(da[i] ^ db[i]);
    return diff == 0;
}

namespace {

void set_err(char *err, const char *text)
{
    if (err) str_safecopy_trunc(err, LIBPWD_TEXT_MAX, text);
}

// A name, key or challenge as the client sent it, escaped for its record.
using shown = str_log_esc<LIBPWD_TEXT_MAX>;

// Replaces the stored texts (under g_lock).
void store_locked(const char *user, const char *pwd)
{
    explicit_bzero(g_user, sizeof g_user);
    explicit_bzero(g_pwd, sizeof g_pwd);
    if (user) str_safecopy_trunc(g_user, sizeof g_user, user);
    if (pwd) str_safecopy_trunc(g_pwd, sizeof g_pwd, pwd);
}

// A copy of the stored user and password, wiped when it goes.
struct stored_copy {
    char user[LIBPWD_TEXT_MAX];
    char pwd[LIBPWD_TEXT_MAX];
    stored_copy()
    {
        pthread_guard g(&g_lock);
        memcpy(user, g_user, sizeof user);
        memcpy(pwd, g_pwd, sizeof pwd);
    }
    ~stored_copy()
    {
        explicit_bzero(user, sizeof user);
        explicit_bzero(pwd, sizeof pwd);
    }
    stored_copy(const stored_copy &) = delete;
    stored_copy &operator=(const stored_copy &) = delete;
};

// A locked-out address is refused before any secret is looked at.
bool refused_locked(const char *ip, char *err)
{
    char text[LIBPWD_TEXT_MAX] = "";
    if (ipcheck_check(ip, text) != LIBPWD_LOCKED) return false;
    LOG_WARN("ip=[%s] error: %s\n", ip, text);
    set_err(err, text);
    return true;
}

}  // namespace

int libpwd_init(const libpwd_param *param)
{
    {
        pthread_guard g(&g_lock);
        store_locked(param ? param->user : nullptr, param ? param->pwd : nullptr);
    }
    ipcheck_init(param);
    return 0;
}

int libpwd_exit(void)
{
    {
        pthread_guard g(&g_lock);
        store_locked(nullptr, nullptr);
    }
    ipcheck_exit();
    return 0;
}

int libpwd_set_user_pwd(const char *user, const char *pwd, char *err)
{
    if (!user || !str_is_valid_name(user)) {
        if (err) str_sprintf_s(err, LIBPWD_TEXT_MAX, "user is invalid, Cannot use [%s]", kNameForbidden);
        return -1;
    }
    if (!pwd || !str_is_valid_name(pwd)) {
        if (err) str_sprintf_s(err, LIBPWD_TEXT_MAX, "passwd is invalid, Cannot use [%s]", kNameForbidden);
        return -1;
    }
    pthread_guard g(&g_lock);
    store_locked(user, pwd);
    return 0;
}

int libpwd_check_user_pwd(const char *ip, const char *user, const char *pwd, char *err)
{
    stored_copy s;
    return libpwd_check_login(ip, user, pwd, s.user, s.pwd, err);
}

int libpwd_check_login(const char *ip, const char *user, const char *pwd, const char *want_user,
                       const char *want_pwd, char *err)
{
    if (!ip) ip = "";
    if (!user) user = "";
    if (!pwd) pwd = "";
    if (refused_locked(ip, err)) return LIBPWD_LOCKED;
    char sha[64];
    libpwd_sha_pwd(want_pwd, sha, sizeof sha);
    // Every comparison is made, whatever the first one gave.
    bool user_ok = libpwd_secret_equal(user, want_user);
    bool pwd_ok = libpwd_secret_equal(pwd, want_pwd);
    bool sha_ok = sha[0] && libpwd_secret_equal(pwd, sha);
    explicit_bzero(sha, sizeof sha);
    if (!user_ok) {
        set_err(err, kWrong);
        if (strcmp(user, ":") != 0) {
            LOG_WARN("ip=[%s] wrong user [%s]\n", ip, shown(user).c_str());
            ipcheck_fail(ip);
        }
        return LIBPWD_WRONG;
    }
    if (!pwd_ok && !sha_ok) {
        LOG_WARN("ip=[%s] wrong pwd [%s]\n", ip, kMasked);
        set_err(err, kWrong);
        ipcheck_fail(ip);
        return LIBPWD_WRONG;
    }
    ipcheck_clear(ip);
    LOG_DBG("ip=[%s] login_ok\n", ip);
    return LIBPWD_OK;
}

int libpwd_check_key(const char *ip, const char *key, const char *expected, char *err)
{
    if (!ip) ip = "";
    if (!key) key = "";
    // A locked-out address is refused as a wrong key is: callers of the
    // challenge login know only 0 and 1.
    if (refused_locked(ip, err)) return LIBPWD_WRONG;
    if (!expected || !expected[0] || !libpwd_secret_equal(key, expected)) {
        LOG_WARN("ip=[%s] wrong key [%s]\n", ip, shown(key).c_str());
        set_err(err, kWrong);
        ipcheck_fail(ip);
        return LIBPWD_WRONG;
    }
    LOG_DBG("ip=[%s] key=[%s] login_ok\n", ip, shown(key).c_str());
    ipcheck_clear(ip);
    return LIBPWD_OK;
}

int libpwd_user_get_cert(const char *ip, int count, int *count_out, const char *user, char *cert,
                         size_t cert_size, char *key, size_t key_size, char *err)
{
    if (!ip) ip = "";
    if (!user) user = "";
    if (count_out) *count_out = count < 1 ? count : 1;
    if (refused_locked(ip, err)) return LIBPWD_WRONG;
    stored_copy s;
    if (!libpwd_secret_equal(user, s.user)) {
        LOG_WARN("ip=[%s] wrong user [%s]\n", ip, shown(user).c_str());
        set_err(err, kWrong);
        ipcheck_fail(ip);
        return LIBPWD_WRONG;
    }
    if (!cert || cert_size < LIBPWD_CERT_BYTES * 2 + 1 || !key || key_size < LIBPWD_KEY_LEN + 1) {
        OS_CHECK_LOG("cert_size > 256 && key_size > 40");
        set_err(err, kWrong);
        return LIBPWD_WRONG;
    }
    u8 random[LIBPWD_CERT_BYTES];
    mem_random(random, sizeof random);
    str_bin2hex(random, sizeof random, cert, cert_size);
    explicit_bzero(random, sizeof random);
    libpwd_build_key(s.user, s.pwd, count_out ? *count_out : 1, cert, key, key_size);
    return LIBPWD_OK;
}

int libpwd_build_key(const char *user, const char *pwd, int count, const char *cert, char *key, size_t key_size)
{
    (void)count;
    if (!user) user = "";
    if (!pwd) pwd = "";
    if (!cert) cert = "";
    LOG_VERB("user=[%s] pwd=[%s] cert=[%s]\n", shown(user).c_str(), kMasked, shown(cert).c_str());
    sha1_ctx c;
    hash_sha1_init(&c);
    hash_sha1_update(&c, kKeyPrefix, sizeof kKeyPrefix - 1);
    hash_sha1_update(&c, user, strlen(user));
    hash_sha1_update(&c, pwd, strlen(pwd));
    hash_sha1_update(&c, cert, strlen(cert));
    u8 digest[SHA1_DIGEST_LEN];
    hash_sha1_final(&c, digest);
    if (!key || key_size < LIBPWD_KEY_LEN + 1 || str_bin2hex(digest, sizeof digest, key, key_size) == 0) {
        OS_CHECK_LOG("ret != FALSE");
        if (key && key_size) key[0] = 0;
        return 0;
    }
    LOG_VERB("lkey=[%s]\n", key);
    return 0;
}

char *libpwd_sha_pwd(const char *pwd, char *out, size_t size)
{
    if (!out || size == 0) return out;
    out[0] = 0;
    if (!pwd || !pwd[0]) return out;
    u8 digest[SHA1_DIGEST_LEN];
    hash_sha1(pwd, strlen(pwd), digest);
    char b64[PL_BASE64_ENCODE_LEN(SHA1_DIGEST_LEN)];
    base64_encode_core(digest, sizeof digest, b64, false);
    str_sprintf_s(out, size, "{SHA}%s", b64);
    return out;
}

char *libpwd_sha_pwd_dup(const char *pwd)
{
    char buf[256];
    return os_strdup(libpwd_sha_pwd(pwd, buf, sizeof buf));
}

int libpwd_encrypt_b64(const char *text, const char *key, char *out, size_t size)
{
    if (!text || !key || !out) return -1;
    size_t n = strlen(text);
    u8 *tmp = (u8 *)os_malloc(n + 1);
    if (!tmp) return -1;
    rc4_state st;
    rc4_init(&st, key, strlen(key));
    rc4_crypt(&st, text, tmp, n);
    int r = str_base64_encode(tmp, n, out, size);
    explicit_bzero(tmp, n);
    os_free(tmp);
    return r < 0 ? -1 : 0;
}

int libpwd_decrypt_b64(const char *b64, const char *key, char *out, size_t size)
{
    if (!b64 || !key || !out || size == 0) return -1;
    int n = str_base64_decode(b64, out, size);
    if (n <= 0 || (size_t)n >= size) {
        out[0] = 0;
        return -1;
    }
    out[n] = 0;
    rc4_state st;
    rc4_init(&st, key, strlen(key));
    rc4_crypt(&st, out, out, (size_t)n);
    return 0;
}
