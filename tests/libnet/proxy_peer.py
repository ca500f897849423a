#!/usr/bin/env python3
"""Proxy servers on loopback for the proxy handshake tests.

Starts an echo server and five proxies, each on a port of its own:
  http         HTTP CONNECT without authentication
  http_auth    HTTP CONNECT that wants Basic alice:s3cret (else 407)
  socks4       SOCKS4 and SOCKS4a
  socks5       SOCKS5 without authentication (method 0 only)
  socks5_auth  SOCKS5 with RFC 1929 user name and password alice:s3cret
and prints their ports as one JSON line. It runs until its standard input
ends. The proxies resolve the names of ALIASES themselves, the way a proxy
with its own name service would.
"""
import base64
import json
import select
import socket
import struct
import sys
import threading

USER, PASSWORD = b"alice", b"s3cret"
ALIASES = {"echo.test": "127.0.0.1", "255.255.255.255": "127.0.0.1"}


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def recv_cstr(conn, limit=8192):
    data = b""
    while True:
        ch = recv_exact(conn, 1)
        if ch == b"\0":
            return data
        data += ch
        if len(data) > limit:
            raise EOFError


def connect_target(host, port):
    host = ALIASES.get(host, host)
    return socket.create_connection((host, port), timeout=5)


def relay(a, b):
    """Copies both ways until one side ends."""
    a.settimeout(None)
    b.settimeout(None)
    try:
        while True:
            ready, _, _ = select.select([a, b], [], [], 30)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        return


def serve_echo(conn):
    while True:
        data = conn.recv(65536)
        if not data:
            return
        conn.sendall(data)


def serve_http(conn, need_auth):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = conn.recv(4096)
        if not chunk:
            return
        head += chunk
        if len(head) > 65536:
            return
    lines = head.split(b"\r\n")
    method, target, _version = lines[0].split(b" ", 2)
    headers = {}
    for line in lines[1:]:
        if b":" in line:
            k, v = line.split(b":", 1)
            headers[k.strip().lower()] = v.strip()
    if method != b"CONNECT":
        conn.sendall(b"HTTP/1.1 405 Method Not Allowed\r\n\r\n")
        return
    if need_auth:
        want = b"Basic " + base64.b64encode(USER + b":" + PASSWORD)
        if headers.get(b"proxy-authorization") != want:
            conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                         b"Proxy-Authenticate: Basic realm=\"test\"\r\n\r\n")
            return
    host, _, port = target.decode().rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if headers.get(b"host") != target:
        conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
        return
    try:
        up = connect_target(host, int(port))
    except OSError:
        conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\n\r\n")
        return
    conn.sendall(b"HTTP/1.1 200 Connection established\r\nVia: test\r\n\r\n")
    relay(conn, up)
    up.close()


def serve_socks4(conn):
    ver, cmd, port = struct.unpack("!BBH", recv_exact(conn, 4))
    ip = recv_exact(conn, 4)
    recv_cstr(conn)  # user id
    if ver != 4 or cmd != 1:
        return
    if ip[:3] == b"\0\0\0" and ip[3] != 0:
        host = recv_cstr(conn).decode()
    else:
        host = socket.inet_ntoa(ip)
    try:
        up = connect_target(host, port)
    except OSError:
        conn.sendall(struct.pack("!BBH4s", 0, 0x5B, 0, b"\0\0\0\0"))
        return
    conn.sendall(struct.pack("!BBH4s", 0, 0x5A, port, ip))
    relay(conn, up)
    up.close()


def serve_socks5(conn, need_auth):
    ver, count = recv_exact(conn, 2)
    methods = recv_exact(conn, count)
    want = 2 if need_auth else 0
    if ver != 5 or want not in methods:
        conn.sendall(b"\x05\xff")
        return
    conn.sendall(bytes([5, want]))
    if need_auth:
        sub_ver, ulen = recv_exact(conn, 2)
        user = recv_exact(conn, ulen)
        plen = recv_exact(conn, 1)[0]
        password = recv_exact(conn, plen)
        ok = sub_ver == 1 and user == USER and password == PASSWORD
        conn.sendall(b"\x01\x00" if ok else b"\x01\x01")
        if not ok:
            return
    ver, cmd, _rsv, atyp = recv_exact(conn, 4)
    if atyp == 1:
        host = socket.inet_ntoa(recv_exact(conn, 4))
    elif atyp == 4:
        host = socket.inet_ntop(socket.AF_INET6, recv_exact(conn, 16))
    elif atyp == 3:
        host = recv_exact(conn, recv_exact(conn, 1)[0]).decode()
    else:
        conn.sendall(b"\x05\x08\x00\x01\0\0\0\0\0\0")
        return
    port = struct.unpack("!H", recv_exact(conn, 2))[0]
    if cmd != 1:
        conn.sendall(b"\x05\x07\x00\x01\0\0\0\0\0\0")
        return
    try:
        up = connect_target(host, port)
    except ConnectionRefusedError:
        conn.sendall(b"\x05\x05\x00\x01\0\0\0\0\0\0")
        return
    except OSError:
        conn.sendall(b"\x05\x04\x00\x01\0\0\0\0\0\0")
        return
    # The bound address as a name, so that the client reads the long form.
    conn.sendall(b"\x05\x00\x00\x03\x09echo.test" + struct.pack("!H", port))
    relay(conn, up)
    up.close()


def serve(listener, handler):
    def one(conn):
        try:
            conn.settimeout(10)
            handler(conn)
        except (OSError, EOFError, ValueError):
            pass
        finally:
            conn.close()

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=one, args=(conn,), daemon=True).start()


def listen(family=socket.AF_INET, host="127.0.0.1"):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((host, 0))
    s.listen(64)
    return s


def main():
    servers = {
        "echo": serve_echo,
        "http": lambda c: serve_http(c, False),
        "http_auth": lambda c: serve_http(c, True),
        "socks4": serve_socks4,
        "socks5": lambda c: serve_socks5(c, False),
        "socks5_auth": lambda c: serve_socks5(c, True),
    }
    ports = {}
    for name, handler in servers.items():
        s = listen()
        ports[name] = s.getsockname()[1]
        threading.Thread(target=serve, args=(s, handler), daemon=True).start()
    try:
        s6 = listen(socket.AF_INET6, "::1")
        ports["echo6"] = s6.getsockname()[1]
        threading.Thread(target=serve, args=(s6, serve_echo), daemon=True).start()
    except OSError:
        ports["echo6"] = 0
    sys.stdout.write(json.dumps(ports) + "\n")
    sys.stdout.flush()
    sys.stdin.read()


if __name__ == "__main__":
    main()
