"""Crash handling of the real program: "call null" without a dump directory
ends the process with status 254 after the crash report, which reaches
standard error, the text log file and syslog. A dump directory set for a
program that is not root is warned about at start."""
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
SKIPPED = []


def crash(t, v, what="status after the crash"):
    """Starts v, runs "call null" on its console and checks that it ends
    with status 254."""
    v.start()
    v.wait_prompt()
    v.proc.stdin.write(b"call null\n")
    v.proc.stdin.flush()
    t.eq(v.wait(10), 254, what)


def case_call_null(t):
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(), args=["-q"])
    rc, out, err = v.run(b"echo before\ncall null\necho after\n")
    err = err.decode(errors="replace")
    out = out.decode(errors="replace")
    t.eq(rc, 254, "status after the crash")
    t.contains(err, "signo=11 [Segmentation fault]", "crash report: the signal")
    t.contains(err, "appver: ", "crash report: the version")
    t.check(err.find("signo=11") < err.find("appver: "), "report in order")
    t.contains(out, "before", "earlier reply kept")
    t.check("after" not in out, "nothing runs after the crash")


def case_text_outputs(t):
    # The signal and the version reach standard error and the text log file
    # as lines like any other (header included); the last-log record goes
    # to the bsv outputs only.
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=crash.log\n"), args=["-q"])
    with v:
        crash(t, v)
        with open(os.path.join(v.dir, "crash.log"), "rb") as f:
            text = f.read().decode(errors="replace")
    t.eq(v.err.decode(errors="replace").count("panic_handler(): "), 2, "two report lines on standard error")
    head = (r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} CRIT  %d --- \[main_[0-9a-f]{4}_%d\] pal panic_handler\(\): "
            % (v.proc.pid, v.proc.pid))
    lines = [l for l in text.splitlines() if "panic_handler" in l]
    t.eq(len(lines), 2, "two report lines in the log file: %r" % lines)
    if len(lines) == 2:
        t.check(re.fullmatch(head + r"signo=11 \[Segmentation fault\]", lines[0]) is not None,
                "the signal line: %r" % lines[0])
        t.check(re.fullmatch(head + r"appver: \S+", lines[1]) is not None, "the version line: %r" % lines[1])
    t.check(text.endswith("\n"), "the file ends with a whole line")


def case_kill_segv(t):
    # A fatal signal sent from outside takes the same road.
    import signal
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(), args=["-q"])
    with v:
        v.start()
        v.wait_prompt()
        v.signal(signal.SIGBUS)
        rc = v.wait(10)
        t.eq(rc, 254, "status after SIGBUS")
        t.contains(v.err.decode(errors="replace"), "signo=7 [Bus error]", "report of SIGBUS")


class Receiver:
    """The test's own syslog receiver on loopback: a UDP socket, or a TCP
    listener whose one connection is read until vkto closes it."""

    def __init__(self, scheme):
        self.scheme = scheme
        kind = socket.SOCK_DGRAM if scheme == "udp" else socket.SOCK_STREAM
        self.sock = socket.socket(socket.AF_INET, kind)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.data = b""
        self.thread = None
        if scheme == "tcp":
            self.sock.listen(4)
            self.thread = threading.Thread(target=self._read_stream)
            self.thread.start()

    def _read_stream(self):
        self.sock.settimeout(15)
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(15)
            while True:
                try:
                    b = conn.recv(65536)
                except OSError:
                    return
                if not b:
                    return
                self.data += b

    def messages(self):
        """The messages received, each with the NUL that ends it removed."""
        if self.thread:
            self.thread.join(20)
        else:
            self.sock.settimeout(0.5)
            end = time.monotonic() + 5
            while time.monotonic() < end:
                try:
                    self.data += self.sock.recv(65536)
                except socket.timeout:
                    break
        self.sock.close()
        return [m.decode(errors="replace") for m in self.data.split(b"\0")[:-1]]


def case_syslog(t):
    # The signal and the version reach syslog as RFC 3164 messages (user.crit,
    # tag pal[pid]), each ended by its NUL, over UDP and over TCP.
    stamp = r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d"
    for scheme in ("udp", "tcp"):
        rx = Receiver(scheme)
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="syslog=%s://127.0.0.1:%d\n" % (scheme, rx.port)),
                     args=["-q"])
        with v:
            crash(t, v, "%s: status after the crash" % scheme)
        msgs = [m for m in rx.messages() if "panic_handler" in m]
        head = r"<10>%s \S+ pal\[%d\]: \[\d+\] panic_handler\(\): " % (stamp, v.proc.pid)
        t.eq(len(msgs), 2, "%s: two crash messages: %r" % (scheme, msgs))
        if len(msgs) == 2:
            t.check(re.fullmatch(head + r"signo=11 \[Segmentation fault\]\n", msgs[0]) is not None,
                    "%s: the signal message: %r" % (scheme, msgs[0]))
            t.check(re.fullmatch(head + r"appver: \S+\n", msgs[1]) is not None,
                    "%s: the version message: %r" % (scheme, msgs[1]))


def normal_user(v):
    """The command that runs the program of v as a user who is not root
    (nothing when the test is not root), or None when that cannot be done."""
    if os.geteuid() != 0:
        return []
    wrap = [shutil.which("setpriv") or "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    os.chmod(v.dir, 0o755)
    try:
        r = subprocess.run(wrap + [v.exe, "-v"], capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        SKIPPED.append("cannot run vkto as nobody with setpriv (util-linux): %s" % e)
        return None
    if r.returncode != 0:
        SKIPPED.append("cannot run vkto as nobody with setpriv (util-linux): %r" % r.stderr[-300:])
        return None
    return wrap


def case_dump_dir_without_root(t):
    # Root alone sets the kernel's core pattern: a program run by another
    # user says so once at start, writes no core file and ends with 254.
    v = e2e.Vkto(ARGS.vkto, ini="[debug]\nshell_server_port=0\nhttp_server_port=0\npanic_dump_dir=dumps\n",
                 args=["-q"])
    wrap = normal_user(v)
    if wrap is None:
        return v.cleanup()
    if wrap:
        v.args = wrap[1:] + [v.exe] + v.args
        v.exe = wrap[0]
    with open("/proc/sys/kernel/core_pattern") as f:
        pattern = f.read()
    with v:
        crash(t, v)
        err = v.err.decode(errors="replace")
        t.eq(err.count("panic_dump_dir="), 1, "one warn line: %r" % err[-800:])
        t.contains(err, "app_opt_set(): panic_dump_dir=%s/dumps: core files need root privileges, none will be "
                   "written (a crash ends with status 254)\n" % os.path.realpath(v.dir), "the warn line")
        t.check(err.find("panic_dump_dir=") < err.find("signo=11"), "the warning comes at start")
        t.check(not os.path.exists(os.path.join(v.dir, "dumps")), "no dump directory made")
    with open("/proc/sys/kernel/core_pattern") as f:
        t.eq(f.read(), pattern, "the core pattern is left alone")


rc = e2e.Checks().run([case_call_null, case_text_outputs, case_kill_segv, case_syslog, case_dump_dir_without_root])
sys.exit(e2e.skip_status(rc, SKIPPED))
