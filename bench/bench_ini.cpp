// INI loading: in-process loads of generated files, and whole-process
// loads side by side with Python's configparser reading the same file.
//
//   bench_ini                  the in-process benchmarks, then the
//                              whole-process comparison (1 MB and 10 MB)
//   bench_ini --load FILE      load FILE once and exit (the process that
//                              is timed)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "libconf/conf.h"
#include "liblog/log.h"

namespace {

std::string tmp_dir()
{
    const char *t = getenv("TMPDIR");
    std::string d = std::string(t && *t ? t : "/tmp") + "/bench_ini_" + std::to_string(getpid());
    mkdir(d.c_str(), 0755);
    return d;
}

// An INI file of about bytes: sections of 20 keys with comments and blank
// lines, in the subset both loaders read alike.
std::string make_ini(const std::string &dir, size_t bytes)
{
    std::string path = dir + "/load_" + std::to_string(bytes) + ".ini";
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return "";
    size_t n = 0;
    for (int s = 0; n < bytes; ++s) {
        n += (size_t)fprintf(f, "\n# section %d\n[section_%d]\n", s, s);
        for (int k = 0; k < 20 && n < bytes; ++k) {
            if (k % 5 == 0) n += (size_t)fprintf(f, "; about key %d\n", k);
            n += (size_t)fprintf(f, "key_%d = value %d of section %d with some text\n", k, k, s);
        }
    }
    fclose(f);
    return path;
}

double run_ms(const std::vector<std::string> &argv)
{
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> a;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(a[0], a.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? ms : -1;
}

std::string self_dir()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

const char kPython[] =
    "import configparser, sys\n"
    "c = configparser.ConfigParser(interpolation=None)\n"
    "c.read(sys.argv[1])\n"
    "sys.exit(0 if c.sections() else 1)\n";

void compare(const char *label, const char *key, const std::vector<std::string> &ours,
             const std::string &file, int runs)
{
    std::vector<double> ratio, mine, py;
    for (int i = 0; i < runs; ++i) {
        std::vector<std::string> a = ours;
        a.push_back(file);
        double m = run_ms(a);
        double p = run_ms({"python3", "-c", kPython, file});
        if (m < 0 || p < 0) {
            printf("%s: a run failed (ours %.1f ms, python3 %.1f ms)\n", label, m, p);
            return;
        }
        mine.push_back(m);
        py.push_back(p);
        ratio.push_back(p / m);
    }
    auto med = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("%-34s ours median %7.1f ms (min %7.1f), configparser median %7.1f ms (min %7.1f); "
           "speed ratio configparser/ours min %.2fx median %.2fx\n",
           label, med(mine), *std::min_element(mine.begin(), mine.end()), med(py),
           *std::min_element(py.begin(), py.end()), *std::min_element(ratio.begin(), ratio.end()),
           med(ratio));
    // The medians again as result lines, which make bench pairs run by run.
    printf("result %s@vk %.3f ms lower\n", key, med(mine));
    printf("result %s@configparser %.3f ms lower python3 configparser.ConfigParser(interpolation=None)"
           ".read of the same file, a whole process\n",
           key, med(py));
}

std::string g_file_1m, g_file_10m;

void BM_IniLoad1MB(benchmark::State &state)
{
    for (auto _ : state) {
        conf *c = conf_open(g_file_1m.c_str());
        benchmark::DoNotOptimize(c);
        conf_close(c);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (1 << 20));
}
BENCHMARK(BM_IniLoad1MB)->Unit(benchmark::kMillisecond);

void BM_IniLoad10MB(benchmark::State &state)
{
    for (auto _ : state) {
        conf *c = conf_open(g_file_10m.c_str());
        benchmark::DoNotOptimize(c);
        conf_close(c);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (10 << 20));
}
BENCHMARK(BM_IniLoad10MB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--load") == 0) {
        log_ctx_get(nullptr)->level.store(LOG_LVL_ERR);
        conf *c = conf_open(argv[2]);
        int ok = c != nullptr;
        conf_close(c);
        return ok ? 0 : 1;
    }
    log_ctx_get(nullptr)->level.store(LOG_LVL_ERR);
    std::string dir = tmp_dir();
    g_file_1m = make_ini(dir, 1 << 20);
    g_file_10m = make_ini(dir, 10 << 20);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    bool py = system("python3 -c 'import configparser' >/dev/null 2>&1") == 0;
    if (!py) {
        printf("python3 is not installed: whole-process comparison skipped\n");
    } else {
        std::string self = self_dir() + "/bench_ini";
        std::string vkto = self_dir() + "/vkto";
        compare("1 MB, loader process", "ini_1MB_loader_process", {self, "--load"}, g_file_1m, 7);
        compare("10 MB, loader process", "ini_10MB_loader_process", {self, "--load"}, g_file_10m, 5);
        if (access(vkto.c_str(), X_OK) == 0) {
            compare("1 MB, vkto -q -p -c", "ini_1MB_vkto_p", {vkto, "-q", "-p", "-c"}, g_file_1m, 7);
            compare("10 MB, vkto -q -p -c", "ini_10MB_vkto_p", {vkto, "-q", "-p", "-c"}, g_file_10m, 5);
        }
    }
    unlink(g_file_1m.c_str());
    unlink(g_file_10m.c_str());
    rmdir(dir.c_str());
    return 0;
}
