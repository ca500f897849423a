#pragma once
// What a browser sends, told from what a shell client sends. A web page
// can make the browser send an HTTP request to the TCP shell's port (a
// fetch, a form with a text body); the session then sees the request
// line, the headers and the body as command lines. The guard looks at a
// network session's input as it arrives, before any of it runs: a first
// line of the shape METHOD SP TARGET SP HTTP/1.x, or a line beginning with
// "Host:" (any case) at any point, marks the session as a browser's.
// Carriage returns are dropped and NUL or a line feed ends a line, as for
// the session's own requests.
#include "libpal/env/os_types.h"

enum : int {
    SHELL_GUARD_OK = 0,
    SHELL_GUARD_REQUEST_LINE = 1,
    SHELL_GUARD_HOST = 2,
};

// Zero-initialised at the start of a session.
struct shell_guard {
    bool past_first;  // the session's first line has ended
    u8 shape;         // where the first line stands in the request-line shape
    bool field;       // the current word of the first line has a byte
    u8 vlen;
    char ver[8];      // the first line's third word, as far as it goes
    u8 host;          // bytes of "host:" matched at the current line's start
};

// Takes the next n bytes of the session's input: SHELL_GUARD_OK, or what
// they showed of an HTTP request (the session is then to close at once).
int shell_guard_feed(shell_guard *g, const char *data, size_t n);
