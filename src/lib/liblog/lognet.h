#pragma once
// Syslog client of the log's syslog output: RFC 3164 messages over UDP or
// TCP, each sent with its terminating NUL.
#include <cstddef>
#include "libpal/env/code_str.h"

struct log2;

// Facility codes (already shifted by 3) and priority values; each table
// ends with a row whose text is NULL.
extern const os_code_str syslog_facility_tab[];
extern const os_code_str syslog_priority_tab[];

// Code of a name (ignoring case) or of a decimal number that is one of the
// table's codes; -1 otherwise.
int syslog_code_get(const char *name, const os_code_str *tab);
// Severity name of a log level ("debug" above 8).
const char *syslog_level_name(int level);
// A socket connected within 1000 ms (transport 2 datagram, 4 stream; a
// NULL or empty port takes the service "syslog" or "syslog-conn"), or -1.
int syslog_open(const char *host, const char *port, int transport);
// The message of one record in out (at most size - 1 characters); its
// length, or -1.
int syslog_format(struct log2 *ctx, const char *facpri, const char *tag, const char *msg,
                  char *out, size_t size);
// Sends the message with its NUL within 1000 ms: the bytes sent, or -1.
int syslog_write(struct log2 *ctx, int sock, const char *facpri, const char *tag, const char *msg);
void syslog_close(int sock);
