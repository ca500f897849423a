#pragma once
// What the files of the HTTP server share: bounded copies, the output an
// answer gathers before it goes out, and the answer's defaults.
#include <cstring>
#include <ctime>

#include "libhttpd/api.h"

namespace httpd_int {

constexpr char kLevelError[] = "error";

// Copies at most size - 1 bytes of src (n bytes at most) and terminates.
inline void copy_n(char *dst, size_t size, const char *src, size_t n)
{
    if (n >= size) n = size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

inline void copy_text(char *dst, size_t size, const char *src)
{
    copy_n(dst, size, src ? src : "", src ? strlen(src) : 0);
}

// Writes what the output buffer holds; false when the connection failed.
bool flush_out(httpd_request *r);
// Output of the answer: small pieces are gathered (a head and a short
// body leave in one write), larger ones written through.
int write_conn(httpd_request *r, const void *data, size_t len);
// The answer's defaults: status, content type and the server's header.
void set_defaults(httpd_request *r);
// Writes the head once; contentLength < 0 when the length is not known.
void write_head(httpd_request *r, i64 contentLength, time_t modTime);
// The answer to a request whose method is not served: 405 with the
// methods served for a method of HTTP, else 501; the body names the method
// (a HEAD answer only says how long it is).
void send_bad_method(httpd_request *r);

}  // namespace httpd_int
