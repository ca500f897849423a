"""The TCP shell under load and misbehaving clients (loopback only, every
loop bounded): a full session table, idle connections, stalled, reset and
vanishing clients, bad input, stopping with sessions open, and thread and
descriptor counts."""
import errno
import os
import resource
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
CAP = 256


def baseline(v):
    """Thread and descriptor counts with no session open (stable for 0.3 s)."""
    return e2e.stable_counts(v.proc.pid)


def open_sessions(port, n):
    """n sessions, each answered before the next connects."""
    conns = []
    for i in range(n):
        c = e2e.ShellConn(port)
        r = c.ask("echo %d" % i)
        if r != ["%d\n" % i]:
            raise AssertionError("session %d: %r" % (i, r))
        conns.append(c)
    return conns


def start_for_full_table():
    """vkto, with room here for more than 256 connections to it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 1024:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    return e2e.start_shell(ARGS.vkto)


def case_cap(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        base = baseline(v)
        conns = open_sessions(port, CAP)
        wrong = [i for i, c in enumerate(conns) if c.ask("echo again%d" % i) != ["again%d\n" % i]]
        t.eq(wrong, [], "256 sessions open at once, each answered")
        threads, fds = e2e.proc_counts(v.proc.pid)
        t.eq(threads - base[0], CAP, "one thread per session")
        extra = [e2e.ShellConn(port) for _ in range(3)]
        t.eq([c.ask("echo over") for c in extra], [["over\n"]] * 3, "new sessions on a full table are served")
        t.check(all(c.closed_within(3) for c in conns[:3]), "the sessions idle longest make way")
        t.eq([c.ask("echo on") for c in conns[3:]], [["on\n"]] * (CAP - 3), "the others go on")
        try:
            v.read_until(b"256 sessions open, the one idle longest (", timeout=3, stream="err")
        except AssertionError as e:
            t.check(False, "full table record: %s" % e)
        v._pump(0.3)
        err = v.err.decode(errors="replace")
        t.check(err.count("sessions open, the one idle longest") == 1, "full table record rate-limited")
        for c in extra + conns:
            c.close()
        t.eq(e2e.wait_counts(v.proc.pid, base), base, "threads and descriptors back after the cap")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo fresh"), ["fresh\n"], "new sessions after the load")


def case_idle_connections(t):
    # Connections that never send a byte do not lock operators out.
    v, port = start_for_full_table()
    with v:
        base = baseline(v)
        idle = []
        try:
            for _ in range(CAP):
                idle.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            end = time.monotonic() + 10
            while e2e.proc_counts(v.proc.pid)[0] < base[0] + CAP and time.monotonic() < end:
                time.sleep(0.05)
            t.eq(e2e.proc_counts(v.proc.pid)[0] - base[0], CAP, "256 idle sessions")
            t0 = time.monotonic()
            with e2e.ShellConn(port) as c:
                t.eq(c.ask("echo served", timeout=3), ["served\n"], "a client is served")
            t.check(time.monotonic() - t0 < 3 * e2e.SLOW, "within 3 s (%.2f s)" % (time.monotonic() - t0))
            try:
                v.read_until(b"256 sessions open, the one idle longest (", timeout=3, stream="err")
            except AssertionError as e:
                t.check(False, "warn record: %s" % e)
            idle[0].settimeout(3)
            try:
                gone = idle[0].recv(1) == b""
            except socket.timeout:
                gone = False
            except OSError:  # reset
                gone = True
            t.check(gone, "the first idle connection made way")
        finally:
            for s in idle:
                s.close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=8), base, "threads and descriptors back")


def fifo_writer(path, timeout=5):
    """A blocking write end of the FIFO once a reader has opened it, or None."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:
                raise
            time.sleep(0.02)
            continue
        os.set_blocking(fd, True)
        return fd
    return None


def release_readers(path):
    """Lets every "source" waiting to open the FIFO run it as an empty file."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass


def case_busy_sessions(t):
    # A session running a command is never closed for a newcomer, however
    # long it has received nothing; with every session busy, newcomers are
    # refused.
    v, port = start_for_full_table()
    with v:
        base = baseline(v)
        fed, held = os.path.join(v.dir, "fed.fifo"), os.path.join(v.dir, "held.fifo")
        os.mkfifo(fed)
        os.mkfifo(held)
        lines = 40
        x = e2e.ShellConn(port)
        x.send("source %s\n" % fed)
        w = fifo_writer(fed)
        t.check(w is not None, "the source run opened its file")
        if w is None:
            return
        checks_done = threading.Event()

        def feed():
            # A line every 0.1 s; the last one once the checks are done.
            try:
                for i in range(lines):
                    if i == lines - 1:
                        checks_done.wait(30)
                    os.write(w, b"echo L%02d\n" % i)
                    time.sleep(0.1)
            except BrokenPipeError:  # the source run was ended
                pass
            os.close(w)

        feeder = threading.Thread(target=feed)
        feeder.start()
        others = []
        try:
            time.sleep(0.3)
            others = open_sessions(port, CAP - 1)  # with x, the table is full
            newcomer = e2e.ShellConn(port)
            t.eq(newcomer.ask("echo newcomer", timeout=3), ["newcomer\n"], "a newcomer on a full table is served")
            t.check(others[0].closed_within(3), "the idle session received from longest ago made way")
            try:
                v.read_until(b"256 sessions open, the one idle longest (", timeout=3, stream="err")
            except AssertionError as e:
                t.check(False, "eviction record: %s" % e)
            others = others[1:] + [newcomer]
            # Every session but x begins a command that waits for the held file.
            for c in others:
                c.send("echo b; source %s\n" % held)
            t.eq(sum(c.replies(1, timeout=5) == ["b\n"] for c in others), CAP - 1, "255 sessions busy")
            lates = [e2e.ShellConn(port) for _ in range(3)]
            t.check(all(c.closed_within(3) and c.buf == b"" for c in lates),
                    "with every session busy, newcomers are refused")
            for c in lates:
                c.close()
            # One record at once, the two refused after it told late.
            try:
                v.read_until(b"256 sessions open, connection from 127.0.0.1:", timeout=3, stream="err")
                v.read_until(b" (1 refused since the last record)", timeout=3, stream="err")
                v.read_until(b"2 shell connections refused since the last record", timeout=4, stream="err")
            except AssertionError as e:
                t.check(False, "refusal records: %s" % e)
            t.check(not x.closed_within(0.2), "the session running source stays")
            waiting = list(others)
            end = time.monotonic() + 10
            while waiting and time.monotonic() < end:
                release_readers(held)
                waiting = [c for c in waiting if c.replies(1, timeout=0.2) != [""]]
            t.eq(len(waiting), 0, "each held source ends with its one reply")
            checks_done.set()
            t.eq(x.replies(1, timeout=10), ["".join("L%02d\n" % i for i in range(lines))],
                 "every line of the source run answered (40 of 40)")
            t.eq(x.ask("echo after"), ["after\n"], "the session goes on after its source run")
        finally:
            checks_done.set()
            release_readers(held)
            feeder.join(10)
            for c in others + [x]:
                c.close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=8), base, "threads and descriptors back")


def case_unread_lines_are_answered(t):
    # A session whose line has reached it, read or not, is busy: newcomers on
    # a full table never close it. The program is held (SIGSTOP) while every
    # session's line arrives and a burst of newcomers connects, so that all
    # of it waits at once when the program goes on.
    v, port = start_for_full_table()
    with v:
        base = baseline(v)
        conns = open_sessions(port, CAP)
        newcomers = []
        try:
            v.signal(signal.SIGSTOP)
            for i, c in enumerate(conns):
                c.send("echo held%d\n" % i)
            for _ in range(100):
                newcomers.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        finally:
            v.signal(signal.SIGCONT)
        answers = [c.replies(1, timeout=10) for c in conns]
        lost = [i for i, r in enumerate(answers) if r != ["held%d\n" % i]]
        t.eq(lost, [], "every line that had reached its session answered")
        for s in newcomers:
            s.close()
        for c in conns:
            c.close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=8), base, "threads and descriptors back")


def case_orphaned_source(t):
    # A "source" whose client has gone stops at its next line and its session
    # ends, also one that writes nothing (a FIFO nobody writes).
    v, port = e2e.start_shell(ARGS.vkto)
    fifo = os.path.join(v.dir, "silent.fifo")
    os.mkfifo(fifo)

    def zero_run():
        c = e2e.ShellConn(port)
        c.send("source %s\n" % fifo)
        t.check(c.silent_for(0.3), "source of a silent FIFO runs")
        return c

    with v:
        base = baseline(v)
        zero_run().close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=3), base, "closed client: the run stops, the session ends")
        # A client that only shut down its sending side hears why.
        c = zero_run()
        c.sock.shutdown(socket.SHUT_WR)
        t.eq(c.replies(1, timeout=3), ["error: source stopped: the client closed the connection\n"],
             "half-closed client: the run stops and says why")
        t.check(c.closed_within(3), "and the session ends")
        c.close()
        # A run that answers as it goes is answered whole.
        path = os.path.join(v.dir, "three.src")
        with open(path, "w") as f:
            f.write("echo a\necho b\necho c\n")
        c = e2e.ShellConn(port)
        c.send("source %s\n" % path)
        c.sock.shutdown(socket.SHUT_WR)
        t.eq(c.replies(1, timeout=3), ["a\nb\nc\n"], "half-closed client: a short file answered whole")
        c.close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=3), base, "threads and descriptors back")


def case_bad_clients(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        base = baseline(v)
        big = ("echo " + "q" * 4000 + "\n").encode()
        # Stalled: requests keep coming, replies are never read.
        stalled = e2e.ShellConn(port)
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sock.setblocking(False)
        sent = 0
        end = time.monotonic() + 8
        while time.monotonic() < end and not stalled.eof:
            try:
                sent += stalled.sock.send(big * 16)
            except BlockingIOError:
                time.sleep(0.05)
            except OSError:
                break
            if sent > 64 << 20:
                break
        # Reset and vanishing mid-reply.
        for i in range(6):
            c = e2e.ShellConn(port)
            c.send(big * 64)
            c.replies(1, timeout=3)
            if i % 2:
                c.reset()
            else:
                c.close()
        # Vanishing in the middle of a request.
        c = e2e.ShellConn(port)
        c.send("echo half")
        c.close()
        stalled.sock.setblocking(True)
        stalled.close()
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=8), base, "threads and descriptors back after bad clients")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo fine"), ["fine\n"], "server answers after bad clients")
        t.check(v.proc.poll() is None, "still running")


def case_bad_input(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        base = baseline(v)
        with e2e.ShellConn(port) as c:
            garbage = bytes(b for b in range(1, 256) if b not in b"\n\r;\"'#")
            c.send(garbage + b"\0")
            r = c.replies(1, raw=True)
            t.check(len(r) == 1 and r[0].startswith(b"command not found: ["), "binary garbage: %r" % r[:1])
            # Clears the previous line.
            t.eq(c.ask("echo 'unbalanced"), ["error: unbalanced quotes, nothing run\n"], "unbalanced quotes refused")
            c.send(b"\0" * 1000)
            t.eq(c.replies(1000, raw=True), [b""] * 1000, "NUL-only requests: one NUL each")
            t.eq(c.ask("echo " + "e" * 4089), ["e" * 4089 + "\n"], "exactly the limit")
            t.eq(c.ask("echo " + "f" * 4090), ["error: command line too long (at most 4094 characters)\n"],
                 "just over the limit is refused")
        with e2e.ShellConn(port) as c:
            c.send(os.urandom(3000).replace(b"\n", b"").replace(b"\0", b"") + b"\n")
            c.replies(1, timeout=3)
            t.eq(c.ask("echo sane"), ["sane\n"], "random bytes, then a normal request")
        t.eq(e2e.wait_counts(v.proc.pid, base), base, "counts back after bad input")


def case_sigterm_with_sessions(t):
    v, port = e2e.start_shell(ARGS.vkto, log_level="dbg")
    with v:
        conns = open_sessions(port, 64)
        for c in conns[:16]:
            c.send("echo unfinished")
        t0 = time.monotonic()
        v.signal(signal.SIGTERM)
        rc = v.wait(5)
        dt = time.monotonic() - t0
        t.eq(rc, 0, "SIGTERM status with 64 sessions")
        t.check(dt < 3 * e2e.SLOW, "ended within 3 s (%.2f s)" % dt)
        t.check(all(c.closed_within(1) for c in conns), "every session closed")
        err = v.err.decode(errors="replace")
        t.check("join" not in err, "every session thread joined in time: %r" % err[-600:])
        for c in conns:
            c.close()


def case_daemon_exit(t):
    # A daemon (-d) stops through "exit" on the TCP shell as well; the forked
    # child is found through its listening port.
    port = e2e.free_port()
    d = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port), args=["-q", "-d"], stdin_pipe=False)
    with d:
        d.start()
        t.check(e2e.wait_port(port), "daemon listens")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo d"), ["d\n"], "daemon answers")
            t.eq(c.ask("exit"), [""], "exit reply")
            t.check(c.closed_within(3), "daemon closes the session")
        end = time.monotonic() + 5
        while time.monotonic() < end and e2e.wait_port(port, timeout=0.2):
            time.sleep(0.1)
        t.check(not e2e.wait_port(port, timeout=0.2), "daemon gone")


sys.exit(e2e.Checks().run([case_cap, case_idle_connections, case_busy_sessions, case_unread_lines_are_answered,
                           case_orphaned_source, case_bad_clients, case_bad_input,
                           case_sigterm_with_sessions, case_daemon_exit]))
