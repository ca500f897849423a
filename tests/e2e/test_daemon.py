"""Daemon mode end to end: vkto -d returns once the daemon serves and keeps
none of the caller's descriptors, a second start right behind it is
refused, the daemon answers -e clients where its shell listens and stops
on "exit", client calls leave its log file alone, and one whose caller
dies before it took the start report stops."""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()


def find_pids(exe):
    """The pids of the processes running exe."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % name) == exe:
                found.append(int(name))
        except OSError:
            continue
    return found


def find_pid(exe):
    """The pid of the process running exe (the daemon), or None."""
    pids = find_pids(exe)
    return pids[0] if pids else None


def runs(pid, exe):
    try:
        return os.readlink("/proc/%d/exe" % pid) == exe
    except OSError:
        return False


def run(v, args, timeout=10, pass_fds=()):
    """Runs vkto from the daemon's directory with its INI; (status, out, err, seconds)."""
    t0 = time.monotonic()
    r = subprocess.run([v.exe] + args, cwd=v.dir, capture_output=True, timeout=timeout,
                       stdin=subprocess.DEVNULL, pass_fds=pass_fds)
    return (r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace"),
            time.monotonic() - t0)


def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


def has_text(path, text, timeout=10.0):
    """True once the file at path holds text (waits at most timeout)."""
    end = time.monotonic() + timeout * e2e.SLOW
    while True:
        try:
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        except OSError:
            pass
        if time.monotonic() >= end:
            return False
        time.sleep(0.05)


def until(cond, timeout, step=0.01):
    """True once cond() holds, polled every step for at most timeout (scaled) seconds."""
    end = time.monotonic() + timeout * e2e.SLOW
    while not cond() and time.monotonic() < end:
        time.sleep(step)
    return cond()


def listening(host, port, timeout):
    end = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection((host, port), timeout=0.5).close()
            return True
        except OSError:
            if time.monotonic() >= end:
                return False
            time.sleep(0.05)


def case_daemon_lifecycle(t):
    # The shell on another loopback address than 127.0.0.1: the clients
    # and the single-instance check go where it listens.
    host, port = "127.0.0.2", e2e.free_port()
    ini = e2e.ini_text(shell_port=port, extra="file=daemon.log\n")
    v = e2e.Vkto(ARGS.vkto, ini=ini.replace("shell_server_addr=127.0.0.1", "shell_server_addr=" + host))
    log = os.path.join(v.dir, "daemon.log")
    pid = None
    rd, wr = os.pipe()
    try:
        # A caller stopped once it forked leaves the start report unread; killed, its daemon stops.
        caller = subprocess.Popen([v.exe, "-q", "-d"], cwd=v.dir, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children = "/proc/%d/task/%d/children" % (caller.pid, caller.pid)
        t.check(until(lambda: caller.poll() is not None or open(children).read(), 10, 0), "the caller forked")
        caller.send_signal(signal.SIGSTOP)
        t.check(caller.poll() is None and listening(host, port, 10), "the daemon listens, its caller waits")
        caller.kill()
        caller.wait(5)
        t.check(until(lambda: not find_pids(v.exe), 10), "the daemon stopped: its caller died before it took the report")
        rc, out, err, secs = run(v, ["-d"], pass_fds=(wr,))
        os.close(wr)
        t.eq(rc, 0, "vkto -d status")
        t.check(secs < 5, "vkto -d returns at once (%.2f s)" % secs)
        t.check("threads running" not in err, "no thread alive at the fork: %r" % err[-500:])
        t.check(select.select([rd], [], [], 5)[0] and os.read(rd, 1) == b"",
                "the daemon let go of the caller's pipe (vkto -d 3>&1 | cat returns)")
        t.check(listening(host, port, 10), "the daemon listens")
        pid = find_pid(v.exe)
        t.check(pid is not None, "daemon process found")
        if pid:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            t.eq(fields[4], "0", "daemon has no controlling terminal (tty_nr)")
            t.check(int(fields[3]) != os.getsid(0), "daemon in its own session")
            for fd in (0, 1, 2):
                t.eq(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null", "daemon fd %d" % fd)

        rc, out, err, _ = run(v, ["-q", "-e", "call tlog"])
        t.eq(rc, 0, "-e call tlog status")
        # Its records are written before the answer; the session's end may
        # still be logged: the size once it holds still.
        t.check(has_text(log, "call_tlog(): log_crit2\n"), "the daemon logs to its file")
        size = e2e.settled(lambda: log_size(log))

        rc, out, err, _ = run(v, ["-q", "-e", "show info"])
        t.eq(rc, 0, "-e show info status")
        t.contains(out, "ver=", "show info answered by the daemon")
        t.contains(out, "hw_info=", "show info answered by the daemon")

        rc, out, err, _ = run(v, ["-q", "-d"])
        t.eq(rc, 1, "a second daemon is refused")
        t.contains(err, "Can only run one instance", "refusal text")
        t.check(log_size(log) >= size, "log file not truncated by the client calls (%d -> %d)"
                % (size, log_size(log)))
        if size <= 0:
            print("note: the log file output writes nothing yet; only its size was checked")

        rc, out, err, _ = run(v, ["-q", "-e", "exit"])
        t0 = time.monotonic()
        t.eq(rc, 0, "-e exit status")
        # Ended: gone, or a zombie (no exe link) that its reaper has yet to collect.
        while pid and time.monotonic() < t0 + 5 and runs(pid, v.exe):
            time.sleep(0.01)
        took = time.monotonic() - t0
        t.check(not pid or find_pid(v.exe) is None, "the daemon ended after exit")
        t.check(took <= 0.5, "the daemon ended within 0.5 s of -e exit (%.2f s)" % took)
        t.check(not listening(host, port, 0.3), "the port is closed")
    finally:
        os.close(rd)
        for p in find_pids(v.exe):  # the daemon, or a second one let through
            os.kill(p, 9)
        v.cleanup()


def case_back_to_back(t):
    # Two starts in a row on one core: the first returns once it serves,
    # the second finds it and touches nothing of it.
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=e2e.free_port(), http_port=e2e.free_port(),
                                             log_level="dbg", extra="file=daemon.log\n"))
    log = os.path.join(v.dir, "daemon.log")
    pin = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    try:
        # From one shell: a start from Python comes too late to meet the race.
        both = '"$0" -q -d 2>/dev/null; echo $?; exec "$0" -q -l info -d'
        r = subprocess.run(pin + ["sh", "-c", both, v.exe], cwd=v.dir, capture_output=True, timeout=20,
                           stdin=subprocess.DEVNULL, text=True)
        rc, out, err = r.returncode, r.stdout, r.stderr
        info = run(v, ["-q", "-e", "show info"])
        t.eq((out, rc, info[0]), ("0\n", 1, 0), "statuses of -d, the second -d and -e show info")
        t.contains(info[1], "ver=", "the first daemon answers at once")
        t.contains(err, "Can only run one instance", "the second is refused")
        t.eq(err.count("app_priv_check_instance()"), err.count("\n"), "the refusal is all it says: %r" % err)
        with open(log, errors="replace") as f:
            kept = f.read()
        t.check("Can only run one instance" not in kept and "run_as_daemon loop" in kept,
                "the first one's log, not the second's")
        t.check("bind netsh server on" in kept and kept.index("bind netsh") < kept.index("run_as_daemon loop"),
                "the daemon's start records, logged before its file opened, in it")
        t.eq(len(find_pids(v.exe)), 1, "one daemon runs")
        t.eq(run(v, ["-q", "-e", "exit"])[0], 0, "-e exit status")
        t.check(until(lambda: not find_pids(v.exe), 5), "the daemon ended after exit")
    finally:
        for p in find_pids(v.exe):
            os.kill(p, 9)
        v.cleanup()


sys.exit(e2e.Checks().run([case_daemon_lifecycle, case_back_to_back]))
