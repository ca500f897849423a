#pragma once
// What the files of the HTTP server share: bounded copies, how a byte of a
// head counts, the output an answer gathers before it goes out, and the
// answer's defaults.
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

// How a byte of a request head counts: a line feed ends its line and is
// dropped, a carriage return is dropped, any other byte is kept. A byte
// above 127 is an opaque byte of a header's value, never the end of a line
// (the head's checks refuse it in the request line, a header's name and
// the Host). A line ends too at its maximum length.
enum head_byte_kind : u8 { HEAD_KEEP, HEAD_DROP, HEAD_END };

inline head_byte_kind head_byte(unsigned char c)
{
    if (c == '\n') return HEAD_END;
    return c == '\r' ? HEAD_DROP : HEAD_KEEP;
}

// Reads the request line and the header lines that the request's head
// scan recorded in its input: 0, or -1 when the request is not served
// (answered here when an answer is due). *complete: the head ended with
// its empty line.
int read_head_lines(httpd_server *server, httpd_request *r, bool *complete);

// The local time as fmt (strftime) into buf, empty when it does not fit.
void local_time_text(const char *fmt, char *buf, size_t size);

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
