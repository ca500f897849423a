// The file layer against the plain system calls it wraps: 64 KiB reads,
// open and close, whole-file loads of 4 KiB and 4 MiB, and a directory
// listing of 10000 entries with status.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_data.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_dir.h"
#include "libpal/os/os_file2.h"
#include "libpal/os/os_file3.h"

namespace {

std::string g_dir;

std::string file_of(size_t size)
{
    return g_dir + "/f" + std::to_string(size);
}

void make_file(size_t size)
{
    FILE *f = fopen(file_of(size).c_str(), "wb");
    for (size_t done = 0; done < size; done += kBenchDataLen) {
        size_t n = size - done < kBenchDataLen ? size - done : kBenchDataLen;
        fwrite(bench_data(), 1, n, f);
    }
    fclose(f);
}

constexpr size_t k64K = 64 << 10;

void BM_read64k_os_file(benchmark::State &state)
{
    os_file *f = os_file_open(file_of(k64K).c_str(), OS_FILE_READ);
    std::vector<char> buf(k64K);
    for (auto _ : state) {
        os_file_seek(f, 0, SEEK_SET);
        benchmark::DoNotOptimize(os_file_read(f, buf.data(), buf.size()));
    }
    os_file_close(f);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)k64K);
}
BENCHMARK(BM_read64k_os_file);

void BM_read64k_syscall(benchmark::State &state)
{
    // The same open flags as the layer's, so only the layer differs.
    int fd = open(file_of(k64K).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_LARGEFILE);
    std::vector<char> buf(k64K);
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        benchmark::DoNotOptimize(read(fd, buf.data(), buf.size()));
    }
    close(fd);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)k64K);
}
BENCHMARK(BM_read64k_syscall);

void BM_open_close_os_file(benchmark::State &state)
{
    std::string p = file_of(k64K);
    for (auto _ : state) os_file_close(os_file_open(p.c_str(), OS_FILE_READ));
}
BENCHMARK(BM_open_close_os_file);

void BM_open_close_syscall(benchmark::State &state)
{
    std::string p = file_of(k64K);
    for (auto _ : state) close(open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}
BENCHMARK(BM_open_close_syscall);

void BM_load_os_file(benchmark::State &state)
{
    std::string p = file_of((size_t)state.range(0));
    for (auto _ : state) {
        size_t n = 0;
        char *d = os_file_load_bin(p.c_str(), &n);
        benchmark::DoNotOptimize(d);
        os_free(d);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_load_os_file)->Arg(4 << 10)->Arg(4 << 20);

// The plain way: open, size the buffer by fstat, read in a loop, close.
void BM_load_read_loop(benchmark::State &state)
{
    std::string p = file_of((size_t)state.range(0));
    for (auto _ : state) {
        int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        fstat(fd, &st);
        size_t cap = (size_t)st.st_size + 1, n = 0;
        char *buf = (char *)malloc(cap);
        for (;;) {
            ssize_t r = read(fd, buf + n, cap - n);
            if (r <= 0) break;
            n += (size_t)r;
        }
        close(fd);
        benchmark::DoNotOptimize(buf);
        free(buf);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_load_read_loop)->Arg(4 << 10)->Arg(4 << 20);

void BM_list_os_dir(benchmark::State &state)
{
    std::string p = g_dir + "/many";
    for (auto _ : state) {
        os_dir *d = os_dir_open(p.c_str());
        u64 total = 0;
        while (os_dir_entry *e = os_dir_read(d)) total += e->st.size;
        os_dir_close(d);
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_list_os_dir)->Unit(benchmark::kMillisecond);

void BM_list_std_filesystem(benchmark::State &state)
{
    std::string p = g_dir + "/many";
    for (auto _ : state) {
        u64 total = 0;
        for (const auto &e : std::filesystem::directory_iterator(p))
            total += (u64)e.symlink_status().type() + (u64)e.last_write_time().time_since_epoch().count();
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_list_std_filesystem)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    char t[] = "/tmp/vk_bench_file_XXXXXX";
    if (!mkdtemp(t)) return 1;
    g_dir = t;
    make_file(k64K);
    make_file(4 << 10);
    make_file(4 << 20);
    mkdir((g_dir + "/many").c_str(), 0755);
    for (int i = 0; i < 10000; ++i) close(creat((g_dir + "/many/e" + std::to_string(i)).c_str(), 0644));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    nftw(
        g_dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
