"""Bursts of connections to the TCP shell: sequential and parallel
connect/request/close cycles and a burst of connects made at once. No
connection may need a retransmission (a connect the listener's queue
dropped is retried by the client's kernel a second later), every request
gets its reply, and the whole run stays within generous time bounds."""
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
TCPI_TOTAL_RETRANS = 100  # offset of tcpi_total_retrans in struct tcp_info


def retransmissions(sock):
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, TCPI_TOTAL_RETRANS + 4)
    return struct.unpack_from("I", info, TCPI_TOTAL_RETRANS)[0]


def read_reply(sock):
    got = b""
    while b"\0" not in got:
        chunk = sock.recv(4096)
        if not chunk:
            break
        got += chunk
    return got


def cycle(port, word):
    """connect, one request, its reply, close: (seconds, reply ok,
    retransmissions)."""
    t0 = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(b"echo " + word + b"\n")
        ok = read_reply(s) == word + b"\r\n\0"
        rt = retransmissions(s)
    return time.monotonic() - t0, ok, rt


def summary(times):
    times = sorted(times)
    return "median %.1f ms, max %.1f ms" % (times[len(times) // 2] * 1000, times[-1] * 1000)


def case_sequential(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        n = e2e.load(300)
        t0 = time.monotonic()
        res = [cycle(port, b"s%d" % i) for i in range(n)]
        took = time.monotonic() - t0
        print("%d sequential cycles: %.2f s, %s" % (n, took, summary([r[0] for r in res])))
        t.eq(sum(1 for r in res if not r[1]), 0, "every sequential request answered")
        t.eq(sum(r[2] for r in res), 0, "no sequential connection retransmitted")
        t.check(took < 30 * e2e.SLOW, "%d sequential cycles within %d s (%.2f s)" % (n, 30 * e2e.SLOW, took))


def case_parallel(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        threads, per = 8, e2e.load(1250)
        results = [[] for _ in range(threads)]
        errors = []

        def worker(k):
            try:
                for i in range(per):
                    results[k].append(cycle(port, b"p%d_%d" % (k, i)))
            except OSError as e:
                errors.append("worker %d: %s" % (k, e))

        t0 = time.monotonic()
        ws = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
        for w in ws:
            w.start()
        for w in ws:
            w.join(200 * e2e.SLOW)
        took = time.monotonic() - t0
        res = [r for rs in results for r in rs]
        print("%d cycles from 8 threads: %.2f s (%.0f/s), %s" % (threads * per, took, len(res) / took,
                                                              summary([r[0] for r in res] or [0])))
        t.eq(errors, [], "no connection failed")
        t.eq(len(res), threads * per, "every cycle ran")
        t.eq(sum(1 for r in res if not r[1]), 0, "every parallel request answered")
        t.eq(sum(r[2] for r in res), 0, "no parallel connection retransmitted")
        t.check(took < 120 * e2e.SLOW, "%d cycles within %d s (%.2f s)" % (threads * per, 120 * e2e.SLOW, took))
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo after"), ["after\n"], "the server answers after the load")


def case_connects_at_once(t):
    # 200 connects made back to back before any request: all wait in the
    # listener's queue, none is dropped, and each session then answers.
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        socks = []
        try:
            for _ in range(200):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.settimeout(30)
                s.setblocking(False)
                try:
                    s.connect(("127.0.0.1", port))
                except BlockingIOError:
                    pass
                socks.append(s)
            for s in socks:
                s.setblocking(True)
                s.settimeout(30)
                s.sendall(b"echo burst\n")
            wrong = sum(1 for s in socks if read_reply(s) != b"burst\r\n\0")
            t.eq(wrong, 0, "every session of the burst answered")
            t.eq(sum(retransmissions(s) for s in socks), 0, "no connect of the burst retransmitted")
        finally:
            for s in socks:
                s.close()


sys.exit(e2e.Checks().run([case_sequential, case_parallel, case_connects_at_once]))
