#include "libpal/os/os_con.h"

#include <cstdarg>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "libpal/env/os_time.h"

namespace {
constexpr const char *kReset = "\033[0m";
constexpr unsigned char kLevelColor[7] = {9, 8, 7, 2, 0, 5, 3};  // levels 2..8
}  // namespace

const char *os_color_code(int code)
{
    switch (code) {
    case 2: return "\033[07;37m";
    case 3: return "\033[32m";
    case 4: return "\033[37m";
    case 5: return "\033[36m";
    case 6: return "\033[37m";
    case 7: return "\033[01;33m";
    case 8: return "\033[01;31m";
    case 9: return "\033[01;07;31m";
    default: return "\033[37m";
    }
}

int os_level_color(int level)
{
    return level >= 2 && level <= 8 ? kLevelColor[level - 2] : 0;
}

int os_color_puts(FILE *stream, int code, const char *text)
{
    if (code != 0)
        fprintf(stream, "%s%s%s", os_color_code(code), text, kReset);
    else
        fputs(text, stream);
    return 0;
}

int os_color_printf(FILE *stream, int code, const char *fmt, ...)
{
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return os_color_puts(stream, code, buf);
}

char *os_stdin_gets(char *buf, int size)
{
    return fgets(buf, size, stdin);
}

int os_wait_key(void)
{
    static struct termios saved;
    tcgetattr(STDIN_FILENO, &saved);
    struct termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    for (;;) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) break;
        os_msleep(10);
    }
    return tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}
