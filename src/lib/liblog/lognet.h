#pragma once
// Syslog client of the log's syslog output: RFC 3164 messages over UDP or
// TCP, each sent with its terminating NUL.
#include <cstddef>
#include "liblog/lognet_msg.h"
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
// The crash report's word on what the output dropped (async-signal-safe;
// the caller holds the output mutex): stops the sender and writes the
// message that tells the records it dropped or still holds, which the
// text file has not been told of; its length, 0 when there are none.
size_t log_net_crash_note(struct log2 *ctx, char *out, size_t size);

// Looks the syslog output's host up, waiting at most wait_ms (the look-up
// goes on, unheeded, on a thread of its own when it takes longer): a host
// that does not resolve is told on standard error and gives -1; 0
// otherwise (also when the answer did not come in time, or the output is
// closed).
int log_net_check(struct log2 *ctx, int wait_ms);
