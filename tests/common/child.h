#pragma once
// Test helper: runs a function in a forked child and gives its result as
// the child's exit status (-1 when the child did not exit normally).
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "libpal/os/fd_move.h"

namespace testutil {

template <typename F>
int in_child(F fn)
{
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs fn in a forked child that SIGKILL ends at the given step of a file
// halving (fd_keep_part); true when the child ended that way.
template <typename F>
bool killed_at_step(int step, F fn)
{
    static int kill_at;
    kill_at = step;
    pid_t pid = fork();
    if (pid == 0) {
        fd_keep_hook_set([](int s) {
            if (s == kill_at) kill(getpid(), SIGKILL);
        });
        fn();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace testutil
