#pragma once
// Login checks: one user name and password for the process, a plain check
// (the password may also come in its "{SHA}" form), a challenge login, and
// the lock-out of client addresses that failed too often.
#include "libpal/env/os_types.h"

struct libpwd_param {
    const char *user;   // NULL: none
    const char *pwd;    // NULL: none
    i32 fail_count;     // failures before a lock-out; 0 turns the lock-out off
    i32 lock_minutes;   // 0 means 60
    i32 table_size;     // addresses tracked; 0 means 4096
};

constexpr size_t LIBPWD_TEXT_MAX = 4096;  // user, password, error texts
constexpr size_t LIBPWD_CERT_BYTES = 128; // random bytes of a challenge
constexpr size_t LIBPWD_KEY_LEN = 40;     // hex digits of a key
// Failures before a lock-out when nothing else set the limit.
constexpr i32 LIBPWD_FAIL_COUNT_DEFAULT = 5;

enum : int {
    LIBPWD_OK = 0,
    LIBPWD_WRONG = 1,
    LIBPWD_LOCKED = 2,
};

// Equality of two secrets in a time that does not depend on where they
// differ (their digests are compared without an early end).
bool libpwd_secret_equal(const char *a, const char *b);

int libpwd_init(const libpwd_param *param);
int libpwd_exit(void);
int libpwd_set_user_pwd(const char *user, const char *pwd, char *err);
// 0 accepted, 1 wrong user or password, 2 locked out; err (4096 bytes)
// gets the text for the user.
int libpwd_check_user_pwd(const char *ip, const char *user, const char *pwd, char *err);
// The same check against the given user and password in place of the
// stored ones (a service with a login of its own), with the same lock-out
// and records.
int libpwd_check_login(const char *ip, const char *user, const char *pwd, const char *want_user,
                       const char *want_pwd, char *err);
// 0 accepted, 1 wrong key or locked out (err holds the lock-out text).
int libpwd_check_key(const char *ip, const char *key, const char *expected, char *err);
// First step of the challenge login: 0 with the challenge (256 hex digits)
// and the key it expects, 1 for a wrong user or a locked-out address (err
// holds the lock-out text).
int libpwd_user_get_cert(const char *ip, int count, int *count_out, const char *user, char *cert,
                         size_t cert_size, char *key, size_t key_size, char *err);
int libpwd_build_key(const char *user, const char *pwd, int count, const char *cert, char *key,
                     size_t key_size);
char *libpwd_sha_pwd(const char *pwd, char *out, size_t size);
char *libpwd_sha_pwd_dup(const char *pwd);
int libpwd_encrypt_b64(const char *text, const char *key, char *out, size_t size);
int libpwd_decrypt_b64(const char *b64, const char *key, char *out, size_t size);

// Lock-out of client addresses. A second ipcheck_init sets the new limits
// (a failure limit of 0 turns the lock-out off).
int ipcheck_init(const libpwd_param *param);
// Starts the lock-out with the default limits (5 failures, 60 minutes, 4096
// addresses) unless ipcheck_init has set it up, or off, before.
int ipcheck_init_default(void);
int ipcheck_exit(void);
// 0, or 2 with the lock-out text in err (4096 bytes).
int ipcheck_check(const char *ip, char *err);
int ipcheck_fail(const char *ip);
int ipcheck_clear(const char *ip);
// Number of addresses tracked.
u32 ipcheck_count(void);
// The clock of the lock-out (milliseconds); NULL restores the monotonic clock.
void ipcheck_set_clock(u64 (*now_ms)(void));
