#pragma once
// The one place the web tool's server calls epoll: its parts list
// descriptors with a tag and take the tags of those that are ready. (It
// does not use the library's select poller: its connections get
// descriptors above 1023, and a select set is rebuilt and walked whole on
// every wake.)
#include "libpal/env/os_types.h"

enum http_poll_mode : u8 {
    HTTP_POLL_OFF,     // listed, no event until armed again
    HTTP_POLL_ONCE,    // the next input or hang-up, then off
    HTTP_POLL_ALWAYS,  // whenever input is there
};

struct http_poll {
    int ep = -1;
};

// 0, or -1 with errno set.
int http_poll_init(http_poll *p);
void http_poll_exit(http_poll *p);
// Lists fd with tag in mode; a descriptor listed already keeps its place
// and takes the new tag and mode. 0, or -1 with errno set.
int http_poll_add(http_poll *p, int fd, u64 tag, http_poll_mode mode);
// A listed descriptor in a new mode (armed again after its event).
int http_poll_arm(http_poll *p, int fd, u64 tag, http_poll_mode mode);
// Waits for ready descriptors (timeout_ms -1: without a limit): their
// number with their tags in tags (max at most), or -1 with errno set.
int http_poll_wait(http_poll *p, u64 *tags, int max, int timeout_ms);
