#pragma once
// Test helper: runs a function in a forked child and gives its result as
// the child's exit status (-1 when the child did not exit normally).
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace testutil
