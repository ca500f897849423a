#include "libdbg/shell_guard.h"

#include <cstring>

namespace {

enum : u8 { SHAPE_METHOD, SHAPE_TARGET, SHAPE_VERSION, SHAPE_NO };
constexpr char kHost[] = "host:";
constexpr u8 kHostLen = sizeof kHost - 1;
constexpr u8 kHostNo = kHostLen + 1;  // the line does not begin so

// A character of an HTTP token (a method): browsers and forms may send any.
bool token_char(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

void first_line_byte(shell_guard *g, unsigned char c)
{
    switch (g->shape) {
    case SHAPE_METHOD:
        if (token_char(c)) {
            g->field = true;
        } else if (c == ' ' && g->field) {
            g->shape = SHAPE_TARGET;
            g->field = false;
        } else {
            g->shape = SHAPE_NO;
        }
        break;
    case SHAPE_TARGET:
        if (c == ' ' && g->field) g->shape = SHAPE_VERSION;
        else if (c > ' ' && c != 0x7f) g->field = true;
        else g->shape = SHAPE_NO;
        break;
    case SHAPE_VERSION:
        if (c != ' ' && g->vlen < sizeof g->ver) g->ver[g->vlen++] = (char)c;
        else g->shape = SHAPE_NO;
        break;
    default: break;
    }
}

bool request_line(const shell_guard *g)
{
    return g->shape == SHAPE_VERSION && g->vlen == sizeof g->ver && memcmp(g->ver, "HTTP/1.", 7) == 0 &&
           g->ver[7] >= '0' && g->ver[7] <= '9';
}

}  // namespace

int shell_guard_feed(shell_guard *g, const char *data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)data[i];
        if (c == '\r') continue;
        if (c == 0 || c == '\n') {
            if (!g->past_first && request_line(g)) return SHELL_GUARD_REQUEST_LINE;
            g->past_first = true;
            g->host = 0;
            continue;
        }
        if (g->host < kHostLen) {
            const unsigned char lc = c >= 'A' && c <= 'Z' ? (unsigned char)(c + 32) : c;
            g->host = lc == (unsigned char)kHost[g->host] ? (u8)(g->host + 1) : kHostNo;
            if (g->host == kHostLen) return SHELL_GUARD_HOST;
        }
        if (!g->past_first) first_line_byte(g, c);
    }
    return SHELL_GUARD_OK;
}
