#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/string/str_path"
#include "libpal/string/str_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"

// Turns the other separator into sep and folds runs of sep into one, for
// narrow and wide texts alike.
template <typename C>
static C *fix_sep(C *path, C sep)
{
    if (!path) return path;
    C other = sep == '/' ? '\\' : '/';
    bool last_sep = false;
    C *w = path;
    for (C *r = path; *r; ++r) {
        C c = *r == other ? sep : *r;
        if (c == sep) {
            if (last_sep) continue;
            last_sep = true;
        } else {
            last_sep = false;
        }
        *w++ = c;
    }
    *w = 0;
    return path;
}

char *path_fix_sep(char *path, char sep) { return fix_sep(path, sep); }

char *path_fix_sep_unix(char *path) { return fix_sep(path, '/'); }

u32 *wpath_fix_sep_win(u32 *wpath) { return fix_sep(wpath, (u32)'\\'); }

char *path_normalize(char *path)
{
    if (!path) return path;
    str_trim_all(path);
    for (char *p = path; *p; ++p)
        if (*p == '\\') *p = '/';
    static constexpr char scheme[] = "file://";
    if (strncmp(path, scheme, sizeof scheme - 1) == 0)
        memmove(path, path + sizeof scheme - 1, strlen(path + sizeof scheme - 1) + 1);
    return path_fix_sep_unix(path);
}

char *path_normalize_copy(const char *src, char *dst, size_t size)
{
    if (str_safecopy(dst, size, src) == EINVAL) return dst;
    return path_normalize(dst);
}

int path_is_win_device(const char *path)
{
    char buf[PATH_BUF_SIZE];
    if (!path || str_safecopy(buf, sizeof buf, path) != 0) return 0;
    for (char *p = buf; *p; ++p)
        if (*p == '/') *p = '\\';
    static const char *const devices[] = {"\\\\.\\", "\\\\?\\", "\\\\\\", "\\\\", "\\"};
    for (const char *d : devices)
        if (strcmp(buf, d) == 0) return 1;
    return 0;
}

const char *path_basename(const char *path)
{
    if (!path) return path;
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

char *path_dirname(char *path)
{
    if (!path) return path;
    char *base = (char *)path_basename(path);
    if (base != path) *base = 0;
    return path;
}

int path_is_absolute(const char *path)
{
    OS_CHECK_TXT(path != nullptr, "path", 0);
    char c = path[0];
    if (c == '~' || c == '/' || c == '\\') return 1;
    if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && path[1] == ':') return 1;
    if (strstr(path, "://")) return 1;
    if (strstr(path, ":\\\\")) return 1;
    return 0;
}

// Copies both paths into working buffers and compares them after prep.
// A path too long for its buffer is equal only to the very same text.
static int path_cmp_with(const char *a, const char *b, void (*prep)(char *))
{
    if (!a || !b) return 0;
    char ba[PATH_BUF_SIZE], bb[PATH_BUF_SIZE];
    int ra = str_safecopy(ba, sizeof ba, a);
    int rb = str_safecopy(bb, sizeof bb, b);
    if (ra != 0 || rb != 0) return strcmp(a, b) == 0;
    prep(ba);
    prep(bb);
    return strcmp(ba, bb) == 0;
}

int path_is_equal(const char *a, const char *b)
{
    return path_cmp_with(a, b, [](char *p) { path_normalize(p); });
}

int path_dir_is_equal(const char *a, const char *b)
{
    return path_cmp_with(a, b, [](char *p) { path_normalize(path_dirname(p)); });
}

char *path_dquote(char *path)
{
    if (!path) return path;
    // A quoted text needs two more characters; one that would be cut is
    // left as it is.
    if (strlen(path) + 3 > PATH_BUF_SIZE) return path;
    char tmp[PATH_BUF_SIZE];
    str_dquote(path, tmp, sizeof tmp);
    str_safecopy(path, PATH_BUF_SIZE, tmp);
    return path;
}

char *path_dquote_to(const char *path, char *out) { return str_dquote(path, out, PATH_BUF_SIZE); }

char *path_realpath(const char *path, char *resolved)
{
    if (!path) return nullptr;
    return realpath(path, resolved);
}

int str_base64_encode_std(const char *src, char *out, size_t outsize)
{
    if (!out || outsize == 0 || !src) return EINVAL;
    out[0] = 0;
    size_t n = strlen(src);
    if (PL_BASE64_ENCODE_LEN(n) <= outsize) {
        base64_encode_core(src, n, out, false);
        return 0;
    }
    // Groups go in one at a time; the first that does not fit is appended
    // by the reporting append, which logs it and empties out.
    size_t k = (outsize - 1) / 4;
    base64_encode_core(src, k * 3, out, false);
    char group[5];
    base64_encode_core(src + k * 3, n - k * 3 < 3 ? n - k * 3 : 3, group, false);
    return str_safecat(out, outsize, group);
}
