"""Daemon mode end to end: vkto -d returns at once, the daemon answers -e
clients and stops on "exit", and client calls leave its log file alone."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()


def find_pid(exe):
    """The pid of the process running exe (the daemon), or None."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % name) == exe:
                return int(name)
        except OSError:
            continue
    return None


def run(v, args, timeout=10):
    """Runs vkto from the daemon's directory with its INI; (status, out, err, seconds)."""
    t0 = time.monotonic()
    r = subprocess.run([v.exe] + args, cwd=v.dir, capture_output=True, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    return (r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace"),
            time.monotonic() - t0)


def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


def case_daemon_lifecycle(t):
    port = e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port, extra="file=daemon.log\n"))
    log = os.path.join(v.dir, "daemon.log")
    pid = None
    try:
        rc, out, err, secs = run(v, ["-d"])
        t.eq(rc, 0, "vkto -d status")
        t.check(secs < 5, "vkto -d returns at once (%.2f s)" % secs)
        t.check("threads running" not in err, "no thread alive at the fork: %r" % err[-500:])
        t.check(e2e.wait_port(port), "the daemon listens")
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
        time.sleep(0.3)
        size = log_size(log)

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
        t.eq(rc, 0, "-e exit status")
        end = time.monotonic() + 5
        while pid and time.monotonic() < end and os.path.exists("/proc/%d" % pid) \
                and find_pid(v.exe) == pid:
            time.sleep(0.05)
        t.check(not pid or find_pid(v.exe) is None, "the daemon ended after exit")
        t.check(not e2e.wait_port(port, timeout=0.3), "the port is closed")
    finally:
        if pid and find_pid(v.exe) == pid:
            os.kill(pid, 9)
        v.cleanup()


sys.exit(e2e.Checks().run([case_daemon_lifecycle]))
