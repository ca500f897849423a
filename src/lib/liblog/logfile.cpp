#include <cstdio>
#include <cstring>

#include "liblog/log.h"
#include "libpal/string/str_safe.h"

void log_file_state_init(log_file_state *st)
{
    memset(st, 0, sizeof *st);
    st->mode[0] = 'w';
    st->size_limit = LOG_FILE_SIZE_DEFAULT;
    st->kind = LOG_FILE_KIND_TEXT;
}

int log_file_write(struct log2 *, int, const char *, const char *, int)
{
    return 0;
}

int log_file_close(log_file_state *st)
{
    if (st->fp) {
        fclose(st->fp);
        st->fp = nullptr;
    }
    return 0;
}

int log_file_open(log_file_state *st, const char *name)
{
    if (!st || !name) return -1;
    str_safecopy_trunc(st->name, sizeof st->name, name);
    return 0;
}

int log_file_dir_set(log_file_state *st, const char *dir)
{
    if (!st || !dir) return -1;
    str_safecopy_trunc(st->dir, sizeof st->dir, dir);
    return 0;
}

int log_file_mode_set(log_file_state *st, const char *mode)
{
    if (!st || !mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log_debug_printf("mode %s err\n", mode ? mode : "(null)");
        return -1;
    }
    st->mode[0] = mode[0];
    st->mode[1] = 0;
    return 0;
}

int log_file_size_set(log_file_state *st, i32 bytes)
{
    if (!st) return -1;
    st->size_limit = bytes < 1024 ? 1024 : bytes;
    return 0;
}

long log_file_tell(log_file_state *st)
{
    return st && st->fp ? ftell(st->fp) : -1;
}
