#pragma once
// Syslog client of the log's syslog output: RFC 3164 messages over UDP or
// TCP, each sent with its terminating NUL.
#include <cstddef>
#include "libpal/env/code_str.h"
#include "libpal/env/os_types.h"

struct log2;
struct tm;

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
// The message built by hand, without the formatter or the clock, so that a
// crash report can build it too (async-signal-safe once the host name has
// been read): "<pri>Mmm dd hh:mm:ss host tag[pid]: msg" with the time stamp
// of local, the message's time prefix left out as the flags say, and the
// cuts of syslog_format. The length.
size_t syslog_compose(char *out, size_t size, int pri, const struct tm *local, const char *tag,
                      unsigned pid, const char *msg, u32 flags);
// The message of one record of the level (facility user) stamped now, as
// syslog_format writes it; its length.
size_t syslog_message(char *out, size_t size, int level, const char *tag, const char *msg, u32 flags);
// Sends the message with its NUL within 1000 ms: the bytes sent, or -1.
int syslog_write(struct log2 *ctx, int sock, const char *facpri, const char *tag, const char *msg);
void syslog_close(int sock);

// The crash report's form of log_net_write (async-signal-safe; the caller
// holds the output mutex): one record of the level, stamped with the
// caller's local time, handed to the sender while a connection stands (or
// is being made for records that wait), with no connection attempt of its
// own and no message on standard error; it waits for the sender to send
// it, the records of one report at most a second together. The bytes
// sent, 0 without a connection, or -1.
int log_net_write_safe(struct log2 *ctx, int level, const char *module, const char *line,
                       const struct tm *local);

// Looks the syslog output's host up, waiting at most wait_ms (the look-up
// goes on, unheeded, on a thread of its own when it takes longer): a host
// that does not resolve is told on standard error and gives -1; 0
// otherwise (also when the answer did not come in time, or the output is
// closed).
int log_net_check(struct log2 *ctx, int wait_ms);
