#pragma once
// Proxy handshakes of the TCP client: HTTP CONNECT (with Basic
// authentication), SOCKS4 / SOCKS4a and SOCKS5 (with user name and password
// authentication). Each handshake runs over a net handle whose timeout is
// the whole handshake's time limit.
#include "libnet/libnet.h"

// Largest reply head an HTTP proxy may send before the tunnel starts.
constexpr size_t PROXY_HTTP_HEAD_MAX = 16384;

// Connects to the proxy named in options and asks it to connect on to
// host:port. The socket, or 0 with err filled.
u64 proxy_tcp_connect(const char *host, int port, const sock_opt *options, os_err *err);

// 0 when the proxy on net connected on to host:port; -1 with err filled.
int proxy_http_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err);
int proxy_sock4_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err);
int proxy_sock5_init(net *n, const char *host, int port, const sock_proxy *proxy, os_err *err);
