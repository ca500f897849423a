// Starting /bin/true and collecting it: os_popen (through /bin/sh, with
// both pipes) and os_popen_argv (direct exec) against posix_spawn +
// waitpid. After the Google Benchmark runs, paired rounds print the ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include "libpal/os/posix/os_popen.h"

extern char **environ;

namespace {

bool run_popen(bool shell)
{
    os_popen_child *c = shell ? os_popen("/bin/true", "r") : os_popen_argv("/bin/true", "r");
    if (!c) return false;
    os_pclose(c);
    return true;
}

bool run_spawn()
{
    pid_t pid;
    char arg0[] = "/bin/true";
    char *argv[] = {arg0, nullptr};
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) return false;
    int st;
    return waitpid(pid, &st, 0) == pid;
}

void BM_os_popen_true(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(run_popen(true));
}
BENCHMARK(BM_os_popen_true)->UseRealTime();

void BM_os_popen_argv_true(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(run_popen(false));
}
BENCHMARK(BM_os_popen_argv_true)->UseRealTime();

void BM_posix_spawn_true(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(run_spawn());
}
BENCHMARK(BM_posix_spawn_true)->UseRealTime();

template <class F>
double round_us(F f, int n)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
}

void paired(const char *name, bool shell)
{
    constexpr int kRounds = 7, kRuns = 200;
    std::vector<double> ratios;
    for (int r = 0; r < kRounds; ++r) {
        double a = round_us([shell] { run_popen(shell); }, kRuns);
        double b = round_us(run_spawn, kRuns);
        ratios.push_back(a / b);
    }
    std::sort(ratios.begin(), ratios.end());
    printf("%s / posix_spawn+waitpid time ratio over %d paired rounds: min %.2f median %.2f\n", name,
           kRounds, ratios.front(), ratios[ratios.size() / 2]);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    paired("os_popen(/bin/true)", true);
    paired("os_popen_argv(/bin/true)", false);
    return 0;
}
