#pragma once
// Processes: commands with their standard output and standard error
// captured, exit statuses, resource limits, SIGPIPE, daemon mode.
//
// os_popen and os_system run their text through "/bin/sh -c": never pass
// them text from an untrusted source; the _argv forms run a program
// directly.
#include "libpal/env/os_types.h"

// A started child. The first three members are what callers read; the
// rest belongs to the readers and to os_pclose.
struct os_popen_child {
    i32 pid;  // 0 once the child has been waited for
    i32 fd;   // the parent's end of the data pipe (read end for "r", write end for "w")
    i32 efd;  // read end of the error pipe (the child's standard error)
    i32 reap_pid;          // a child that was not collected in time: os_pclose ends and reaps it
    u8 mode_w;             // started with mode "w"
    struct str_buf *pend[2];  // output read ahead: [0] standard output, [1] standard error
};

// Mode "r" (read the child's standard output) or "w" (write its standard
// input); anything else fails with errno EINVAL and starts nothing.
os_popen_child *os_popen_imp(int shell, const char *command, const char *mode);
os_popen_child *os_popen(const char *command, const char *mode);
os_popen_child *os_popen_argv(const char *command, const char *mode);
// Everything the child writes to standard output (or standard error), up
// to the end of the pipe, as a heap text ("" when there is nothing); NULL
// when the text buffer cannot be made. Both pipes are read together, so a
// child that fills one while the caller waits on the other never stalls.
char *os_popen_read(os_popen_child *child);
char *os_popen_read_err(os_popen_child *child);
// The exit status (the signal number for a child ended by a signal), 0 when
// already collected, -1 when the child did not end within about a second
// or cannot be waited for.
int os_perrno(os_popen_child *child);
// Closes both pipes, collects the child (a child that does not end within
// about a second is killed and still reaped) and frees the record; 0.
int os_pclose(os_popen_child *child);

// The command's exit status with its standard output and standard error
// as heap texts in *out and *err (each may be NULL to drop it); -1 when
// the child cannot be started. The second argument is not read.
int os_system(const char *command, int unused, char **out, char **err);
int os_system_argv(const char *command, int unused, char **out, char **err);
int os_system_call(const char *command);

int os_ulimit(int resource);
int os_socket_init_env(void);
// Detaches from the terminal: 0 in the daemon, -1 when a fork fails. The
// calling process waits, at most OS_DAEMON_REPORT_MS, for the daemon's
// os_daemon_ready and ends with the status reported there; with 1 (after
// an err record) when the daemon ends without reporting or the time runs
// out. Standard input moves to /dev/null at once; standard output and
// error stay the caller's until os_daemon_ready. Call it before any other
// thread starts.
constexpr int OS_DAEMON_REPORT_MS = 30000;
int os_daemonize(void);
// In the daemon: points standard output and error at /dev/null, then hands
// status (0: serving; else the start's exit status, 1 when that is 0 in
// its low byte) to the process waiting in os_daemonize. 0 once delivered
// (for status 0: once that process has answered that it has it, which
// takes at most OS_DAEMON_REPORT_MS), or when there is nothing to report
// (not a daemon, or reported before); -1 when that process no longer
// waits, or ended or fell silent before it answered.
int os_daemon_ready(int status);
int os_is_root(void);
// Threads of the calling process (1 when it has no others), -1 when the
// count cannot be read.
int os_thread_count(void);
