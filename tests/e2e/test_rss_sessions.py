"""Resident memory of the TCP shell after a burst of sessions: once 256
sessions (the cap) have been open at once, each answered, and have all
closed, vkto's RSS is back within 1 MiB of its idle figure; twice in a row,
and the shell still answers. Loopback only; every wait is bounded."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
SESSIONS = 256
SLACK_KIB = 1024


def sanitized(pid):
    """Sanitizer runtimes keep their own shadow and quarantine memory."""
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read()
    return "libasan" in maps or "libtsan" in maps


def burst(port):
    conns = []
    try:
        for i in range(SESSIONS):
            c = e2e.ShellConn(port)
            conns.append(c)
            r = c.ask("echo s%d" % i)
            if r != ["s%d\n" % i]:
                raise AssertionError("session %d: %r" % (i, r))
    finally:
        for c in conns:
            c.close()


def case_burst_returns_memory(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        if sanitized(v.proc.pid):
            print("skipped: sanitizer build (its runtime holds memory of its own)")
            sys.exit(77)
        # One session first, so that what every session needs once (the
        # shell's tables, the first connection record) is in the idle figure.
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo warm"), ["warm\n"], "warm-up session")
        base_counts = e2e.stable_counts(v.proc.pid)
        idle = e2e.settled(lambda: e2e.rss_kib(v.proc.pid))
        for round_no in (1, 2):
            burst(port)
            t.eq(e2e.wait_counts(v.proc.pid, base_counts), base_counts,
                 "round %d: threads and descriptors back" % round_no)
            end = time.monotonic() + 5
            after = e2e.settled(lambda: e2e.rss_kib(v.proc.pid))
            while after - idle > SLACK_KIB and time.monotonic() < end:
                time.sleep(0.2)
                after = e2e.rss_kib(v.proc.pid)
            print("round %d: idle %d KiB, after %d sessions %d KiB (%+d)" % (
                round_no, idle, SESSIONS, after, after - idle))
            t.check(after - idle <= SLACK_KIB, "round %d: RSS %d KiB after the sessions, idle %d KiB "
                    "(more than %d KiB above)" % (round_no, after, idle, SLACK_KIB))
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo after"), ["after\n"], "a new session after the bursts")


sys.exit(e2e.Checks().run([case_burst_returns_memory]))
