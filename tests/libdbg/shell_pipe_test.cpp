#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/log_capture.h"
#include "common/tmp_dir.h"
#include "libdbg/shell.h"

namespace {

struct fifo {
    testutil::tmp_dir dir{"vk_shpipe"};
    std::string path = dir / "pipe";
    fifo() { mkfifo(path.c_str(), 0600); }
};

TEST(ShellPipe, MissingPipeFails)
{
    testutil::log_capture cap;
    EXPECT_EQ(debug_shell_pipe_loop("/no/such/dir/pipe"), -1);
    EXPECT_TRUE(cap.has("os_name_pipe_srv_open [/no/such/dir/pipe] error: ")) << cap.get();
    EXPECT_EQ(debug_shell_pipe_close(), 0) << "no session: nothing to close";
}

// The session runs until it is closed from another thread, which ends it
// within a bounded time; a second session meanwhile is refused.
TEST(ShellPipe, CloseEndsTheRunningSessionConcurrency)
{
    fifo f;
    std::atomic<int> result{-2};
    std::atomic<bool> done{false};
    std::thread t([&] {
        result = debug_shell_pipe_loop(f.path.c_str());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!done.load()) {
        testutil::log_capture cap;
        EXPECT_EQ(debug_shell_pipe_loop(f.path.c_str()), -1);
        EXPECT_TRUE(cap.has("a pipe session runs already")) << cap.get();
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done.load() && std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(debug_shell_pipe_close(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(done.load()) << "the session did not end";
    t.join();
    EXPECT_EQ(result.load(), 0);
}

}  // namespace
