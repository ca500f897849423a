#pragma once
// Loopback sockets for the network benchmarks' own peers, and the programs
// they measure (vkto, a peer) as child processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

inline struct sockaddr_in loopback(int port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening TCP socket on 127.0.0.1 with a free port (put in *port).
inline int listen_loopback(int backlog, int *port)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(l, (struct sockaddr *)&a, sizeof a) != 0 || listen(l, backlog) != 0 ||
        getsockname(l, (struct sockaddr *)&a, &len) != 0) {
        close(l);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return l;
}

// A listener on 127.0.0.1 whose one thread accepts connections (TCP_NODELAY
// set) and hands each to serve, which owns the descriptor from then on.
// With a serve that answers and closes at once, this is the raw accept
// floor of this machine. Every wait is bounded, so finish() returns.
struct accept_loop {
    int lfd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread th;

    bool start(int backlog, std::function<void(int fd)> serve)
    {
        lfd = listen_loopback(backlog, &port);
        if (lfd < 0) return false;
        th = std::thread([this, serve] {
            while (!stop.load()) {
                struct pollfd p = {lfd, POLLIN, 0};
                if (poll(&p, 1, 200) <= 0) continue;
                int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                serve(c);
            }
        });
        return true;
    }
    void finish()
    {
        stop = true;
        if (th.joinable()) th.join();
        if (lfd >= 0) close(lfd);
        lfd = -1;
    }
};

// A loopback port that nothing listens on right now, or 0.
inline int free_port()
{
    int port = 0;
    int fd = listen_loopback(1, &port);
    if (fd >= 0) close(fd);
    return port;
}

// Whether something accepts connections on 127.0.0.1:port within 5 s.
inline bool wait_port(int port)
{
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = loopback(port);
        bool ok = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
        close(fd);
        if (ok) return true;
        usleep(50000);
    }
    return false;
}

// Resident memory of a process in KiB, or -1.
inline long rss_kib(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld", &kib) == 1) break;
    fclose(f);
    return kib;
}

// A child process whose standard input is a pipe we hold (its end ends
// vkto), output to /dev/null; dir, when set, is removed after it.
struct bench_child {
    pid_t pid = -1;
    int in = -1;
    std::string dir;

    // SIGTERM, up to 5 s to end, then SIGKILL.
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st = 0;
            for (int i = 0; i < 100 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(50000);
            if (waitpid(pid, &st, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
            }
        }
        pid = -1;
        if (in >= 0) close(in);
        in = -1;
        if (!dir.empty() && std::system(("rm -rf '" + dir + "'").c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
        dir.clear();
    }
};

// exe with args, in cwd unless it is empty; pid <= 0 on failure.
inline bench_child bench_spawn(const std::string &exe, const std::vector<std::string> &args,
                               const std::string &cwd)
{
    bench_child c;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return c;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        dup2(p[0], 0);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        dup2(null, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(p[0]);
    c.in = p[1];
    return c;
}

// vkto run as "vkto -q" from a copy of exe in a temporary directory, with
// ini as its vkto.ini; pid <= 0 on failure.
inline bench_child bench_start_vkto(const std::string &exe, const std::string &ini)
{
    char tmpl[] = "/tmp/vkto_bench_XXXXXX";
    if (!mkdtemp(tmpl)) return bench_child();
    bench_child fail;
    fail.dir = tmpl;
    if (std::system(("cp '" + exe + "' '" + fail.dir + "/vkto'").c_str()) != 0) {
        fail.stop();
        return fail;
    }
    FILE *f = fopen((fail.dir + "/vkto.ini").c_str(), "w");
    if (!f) {
        fail.stop();
        return fail;
    }
    fputs(ini.c_str(), f);
    fclose(f);
    bench_child c = bench_spawn(fail.dir + "/vkto", {"-q"}, fail.dir);
    c.dir = fail.dir;
    return c;
}

// vkto with its web tool alone, on 127.0.0.1:port.
inline bench_child bench_start_vkto_web(const std::string &exe, int port)
{
    char ini[256];
    snprintf(ini, sizeof ini,
             "[debug]\nshell_server_port=0\nhttp_server_port=%d\nhttp_server_addr=127.0.0.1\n\n[log]\nlevel=info\n",
             port);
    return bench_start_vkto(exe, ini);
}
