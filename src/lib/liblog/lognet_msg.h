#pragma once
// The texts of the syslog output: RFC 3164 messages and the note of
// records dropped on their way to the peer. They are built by hand,
// without the formatter, so that a crash report can build them too
// (async-signal-safe once the host name has been read).
#include <cstddef>
#include "libpal/env/os_types.h"

struct tm;

constexpr size_t LOG_NET_MSG_MAX = 1536;  // one syslog message, its NUL included

// Reasons of drops beside errno values (log_net_dropped_text names them).
constexpr int LOG_NET_WHY_SLOW = -1;       // the buffer was full: the peer reads too slowly
constexpr int LOG_NET_WHY_NOT_YET = -2;    // the buffer was full before a connection stood
constexpr int LOG_NET_WHY_NO_NAME = -3;    // the host does not resolve
constexpr int LOG_NET_WHY_SLOW_NAME = -4;  // its name was not found in time
constexpr int LOG_NET_WHY_CLOSED = -5;     // the output closed before they went out

// The host name of the messages, read once ("unknown" for none).
const char *syslog_host_name();
// "<pri>Mmm dd hh:mm:ss host tag[pid]: msg" with the time stamp of local
// and the message's time prefix left out as the flags say; host 32, tag 64
// and message 800 characters at most, the whole at most size - 1. The
// length.
size_t syslog_compose(char *out, size_t size, int pri, const struct tm *local, const char *tag,
                      unsigned pid, const char *msg, u32 flags);
// The message of one record of the level (facility user) stamped now, as
// syslog_format writes it; its length.
size_t syslog_message(char *out, size_t size, int level, const char *tag, const char *msg, u32 flags);
// The warn record's message stamped now that tells count records dropped
// (why: the first's reason) on their way to url, NUL included: its length
// with the NUL.
size_t log_net_note_message(char *out, size_t size, const char *url, u32 count, int why);
