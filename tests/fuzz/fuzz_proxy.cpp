// The proxy handshakes fed arbitrary replies through a socket pair: the
// reply waits in the pair before the handshake starts, and its end closes
// the stream, so no read ever waits.
#include "fuzz_common.h"

#include <sys/socket.h>
#include <unistd.h>

#include "libnet/sock_proxy.h"
#include "libpal/network/os_socket.h"

namespace {

// SOCKS4 resolves its target: numeric texts only, so that nothing leaves
// the machine.
const char *const kSocks4Targets[] = {"127.0.0.1", "::1", "255.255.255.255", "10.1.2.3"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const int kind = data[0] % 3;
    fuzz_parts in(data + 1, size - 1, 4);
    const char *host = in[0];
    // The last part runs to the end of the input, NUL bytes included.
    std::string answer(in.parts[3].begin(), in.parts[3].end() - 1);

    static sock_proxy proxy;  // 9 KB: off the stack
    memset(&proxy, 0, sizeof proxy);
    snprintf(proxy.user, sizeof proxy.user, "%s", in[1]);
    snprintf(proxy.passwd, sizeof proxy.passwd, "%s", in[2]);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t put = 0;
    while (put < answer.size()) {
        ssize_t k = send(sv[1], answer.data() + put, answer.size() - put, MSG_NOSIGNAL);
        if (k <= 0) break;
        put += (size_t)k;
    }
    shutdown(sv[1], SHUT_WR);

    net n = {};
    n.type = NET_TYPE_SOCK;
    n.transport = os_fd_sock(sv[0]);
    n.timeout = 0;
    os_err err = {};
    int port = (int)(data[0] / 3) * 257;
    int r;
    if (kind == 0) {
        r = proxy_http_init(&n, host, port, &proxy, &err);
    } else if (kind == 1) {
        r = proxy_sock4_init(&n, kSocks4Targets[data[0] / 3 % 4], port, &proxy, &err);
    } else {
        r = proxy_sock5_init(&n, host, port, &proxy, &err);
    }
    FUZZ_ASSERT(r == 0 || r == -1);
    FUZZ_ASSERT(n.timeout == 0);  // the handle's own limit is restored
    if (r == -1) {
        FUZZ_ASSERT(err.msg[0] != 0);
        FUZZ_ASSERT(err.code == -1 || err.code == -2);
    } else if (put == answer.size()) {
        // Success needs the reply a proxy gives when it agrees.
        if (kind == 0) FUZZ_ASSERT(answer.size() >= 12 && answer[9] == '2');
        if (kind == 1) FUZZ_ASSERT(answer.size() >= 8 && answer[0] == 0 && answer[1] == 0x5A);
        if (kind == 2) FUZZ_ASSERT(answer.size() >= 2 && answer[0] == 5);
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
