#define LOG_MOD "pal"
#define LOG_SRC "src/lib/libpal/os/posix/os_system"
#include <cstdio>
#include <cstdlib>

#include "libpal/env/malloc.h"
#include "libpal/os/posix/os_popen.h"

namespace {

void hand_over(char *text, char **out)
{
    if (out) *out = text;
    else os_free(text);
}

int system_imp(int shell, const char *command, char **out, char **err)
{
    if (out) *out = nullptr;
    if (err) *err = nullptr;
    os_popen_child *c = os_popen_imp(shell, command, "r");
    if (!c) return -1;
    hand_over(os_popen_read(c), out);
    hand_over(os_popen_read_err(c), err);
    int status = os_perrno(c);
    os_pclose(c);
    return status;
}

}  // namespace

int os_system(const char *command, int, char **out, char **err)
{
    return system_imp(1, command, out, err);
}

int os_system_argv(const char *command, int, char **out, char **err)
{
    return system_imp(0, command, out, err);
}

int os_system_call(const char *command)
{
    fflush(stdout);
    fflush(stderr);
    return system(command);
}
