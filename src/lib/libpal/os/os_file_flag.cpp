#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/os_file_flag"
#include "libpal/os/os_file_flag.h"

#include <cstring>
#include <fcntl.h>
#include <strings.h>

#include "liblog/log.h"
#include "libpal/env/malloc.h"
#include "libpal/string/str_safe.h"

u32 os_file_flag_from_access(u32 access, u32 disposition)
{
    bool w = access & OS_FILE_ACCESS_WRITE;
    bool r = access & (OS_FILE_ACCESS_READ | OS_FILE_ACCESS_EXEC);
    u32 f = w ? (r ? OS_FILE_RDWR : OS_FILE_WRITE) : (r ? OS_FILE_READ : 0u);
    switch (disposition) {
    case OS_FILE_CREATE_NEW:
    case OS_FILE_OPEN_ALWAYS:
        f |= OS_FILE_CREATE;
        break;
    case OS_FILE_CREATE_ALWAYS:
        f |= OS_FILE_CREATE | OS_FILE_TRUNC;
        break;
    case OS_FILE_TRUNCATE_EXISTING:
        f |= OS_FILE_TRUNC;
        break;
    default:
        break;
    }
    return f;
}

u32 os_file_flag_to_init(u32 flags)
{
    static constexpr u32 access[4] = {OS_FILE_READ, OS_FILE_WRITE, OS_FILE_RDWR, 0};
    u32 f = access[flags & OS_O_ACCMODE] | OS_FILE_POSIX;
    if (flags & OS_O_APPEND) f |= OS_FILE_APPEND;
    if (flags & OS_O_TRUNC) f |= OS_FILE_TRUNC;
    if (flags & OS_O_CREAT) f |= OS_FILE_CREATE;
    if (flags & OS_O_DIRECT) f |= OS_FILE_DIRECT;
    return f;
}

int os_file_flag_to_os(u32 flags)
{
    static constexpr int access[4] = {O_RDONLY, O_WRONLY, O_RDWR, O_RDONLY};
    static constexpr struct {
        u32 from;
        int to;
    } map[] = {
        {OS_O_CREAT, O_CREAT},         {OS_O_APPEND, O_APPEND},
        {OS_O_TRUNC, O_TRUNC},         {OS_O_DIRECT, O_DIRECT},
        {OS_O_EXCL, O_EXCL},           {OS_O_NOFOLLOW, O_NOFOLLOW},
        {OS_O_NONBLOCK, O_NONBLOCK},   {OS_O_SYNC, O_SYNC},
        {OS_O_DIRECTORY, O_DIRECTORY}, {OS_O_CLOEXEC, O_CLOEXEC},
        {OS_O_LARGEFILE, O_LARGEFILE},
    };
    int f = access[flags & OS_O_ACCMODE];
    for (const auto &m : map)
        if (flags & m.from) f |= m.to;
    return f;
}

u32 os_sflag2pf(const char *text)
{
    if (!text) return 0;
    char *copy = os_strdup(text);
    if (!copy) return 0;
    u32 access = 0, bits = 0;
    char *save = nullptr;
    for (char *w = strtok_r(copy, ",.-", &save); w; w = strtok_r(nullptr, ",.-", &save)) {
        if (strcasecmp(w, "rw") == 0)
            access = OS_FILE_RDWR;
        else if (strcasecmp(w, "readonly") == 0)
            access = OS_FILE_READ;
        else if (strcasecmp(w, "direct") == 0)
            bits |= OS_FILE_DIRECT;
        else if (strcasecmp(w, "vss") == 0)
            bits |= OS_FILE_VSS;
        else if (strcasecmp(w, "sync") != 0)
            LOG_AT(7, "flags=[%s] not support\n", w);
    }
    os_free(copy);
    return access | bits;
}

char *os_path_strip_prefix(const char *path, char *out, size_t size)
{
    if (!out || size == 0) return out;
    out[0] = 0;
    if (!path) return out;
    char buf[8193];
    size_t n = strnlen(path, sizeof buf - 1);
    memcpy(buf, path, n);
    buf[n] = 0;
    for (char *p = buf; *p; ++p)
        if (*p == '/') *p = '\\';
    const char *rest = buf;
    static constexpr char kFile[] = "file:\\\\";
    static constexpr char kLong[] = "\\?\\";
    if (strncmp(rest, kFile, sizeof kFile - 1) == 0) {
        rest += sizeof kFile - 1;
        if (strncmp(rest, kLong, sizeof kLong - 1) == 0) rest += sizeof kLong - 1;
    }
    str_safecopy_trunc(out, size, rest);
    for (char *p = out; *p; ++p)
        if (*p == '\\') *p = '/';
    return out;
}

char *os_path_to_native(const char *path, char *out, size_t size)
{
    if (out && size) str_safecopy_trunc(out, size, path ? path : "");
    return out;
}
