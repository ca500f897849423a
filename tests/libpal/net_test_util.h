#pragma once
// Helpers shared by the socket, poller, thread and network tests.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "common/log_capture.h"
#include "liblog/log.h"
#include "libpal/env/os_time.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/os_popen.h"

namespace nettest {

using testutil::log_capture;

// Open descriptors of the process (the directory stream's own excluded).
inline int fd_count()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}
inline int thread_count() { return os_thread_count(); }

// "prefix_XXXX_<tid>": a registered thread name as the log shows it.
inline bool is_thread_name(const std::string &s, const std::string &prefix)
{
    if (s.compare(0, prefix.size() + 1, prefix + "_") != 0) return false;
    size_t i = prefix.size() + 1;
    for (size_t k = 0; k < 4; ++k, ++i)
        if (i >= s.size() || !isxdigit((unsigned char)s[i]) || isupper((unsigned char)s[i])) return false;
    if (i >= s.size() || s[i++] != '_' || i >= s.size()) return false;
    for (; i < s.size(); ++i)
        if (!isdigit((unsigned char)s[i])) return false;
    return true;
}

// An integer socket option of the socket handle s; -1 when it cannot be read.
inline int int_opt(u64 s, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(os_sock_fd(s), level, name, &v, &len);
    return v;
}

// Polls cond every 5 ms until it holds (true) or ms pass (false).
inline bool wait_until(const std::function<bool()> &cond, u64 ms)
{
    u64 deadline = os_mono_ms() + ms;
    while (!cond()) {
        if (os_mono_ms() >= deadline) return false;
        os_msleep(5);
    }
    return true;
}

// 127.0.0.1:port as a system address.
inline struct sockaddr_in loopback4(int port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((u16)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A blocking TCP listener on 127.0.0.1 with a port the system chose, which
// goes to *port; -1 on failure.
inline int listen_loopback(int backlog, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback4(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A UDP socket bound on 127.0.0.1 with a port the system chose; its address
// in *bound. 0 on failure.
inline u64 udp_loopback(os_ipaddr *bound)
{
    u64 s = os_socket_init(OS_SOCK_UDP, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr a;
    os_ipaddr_clear(&a);
    os_ipaddr_set(&a, "127.0.0.1", 0, OS_IPADDR_FAMILY_IPV4);
    if (!s || os_socket_bind(s, &a) != 1 || !os_socket_local(s, bound)) {
        if (s) os_socket_exit(s);
        return 0;
    }
    return s;
}

// True when the peer of sock has closed its end: a receive gives 0 with
// errno left at 0.
inline bool peer_closed(u64 sock)
{
    char ch;
    errno = 0;
    return os_socket_recv(sock, &ch, 1) == 0 && errno == 0;
}

// Reads from a blocking descriptor until at least n bytes came, the peer
// closed or a receive failed; every byte read (more than n when more came).
inline std::string read_n(int fd, size_t n)
{
    std::string out;
    char buf[8192];
    while (out.size() < n) {
        ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0) break;
        out.append(buf, (size_t)k);
    }
    return out;
}

}  // namespace nettest
