"""Shared helpers for the end-to-end tests of vkto.

Each test starts the real program from a fresh temporary directory with its
INI file beside it, on free loopback ports, talks to it as a user does
(standard input and output, raw sockets) and always stops it. Every wait is
bounded in count and time.
"""
import argparse
import glob
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_TIMEOUT = 10.0

# `make tsan` runs the load tests against its ThreadSanitizer build of vkto
# (VK_E2E_TSAN=1). The program is several times slower there: loads shrink
# to LOAD of their size (load()), every wait of this helper and the time
# bounds of the tests stretch SLOW times, and a report of the sanitizer
# fails the test (Checks.run).
TSAN = os.environ.get("VK_E2E_TSAN") == "1"
LOAD = 0.25 if TSAN else 1.0
SLOW = 8.0 if TSAN else 1.0
REPORTS = []  # sanitizer reports of the programs run so far


def load(n, least=1):
    """n scaled to the run's load, at least least."""
    return max(least, int(n * LOAD))


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--vkto", required=True, help="path of the built vkto program")
    args, _ = p.parse_known_args()
    return args


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ini_text(shell_port=0, http_port=0, log_level="info", extra=""):
    return ("[debug]\nshell_server_port=%d\nshell_server_addr=127.0.0.1\n"
            "http_server_port=%d\nhttp_server_addr=127.0.0.1\n\n[log]\nlevel=%s\n%s"
            % (shell_port, http_port, log_level, extra))


class Vkto:
    """One vkto process in its own temporary directory."""

    def __init__(self, exe, ini=None, args=(), env=None, stdin_pipe=True, wrap=None):
        """wrap: a function of the directory that gives the command line
        the program runs under (strace...), or None."""
        self.dir = tempfile.mkdtemp(prefix="vkto_e2e_")
        self.wrap = wrap(self.dir) if wrap else []
        self.exe = os.path.join(self.dir, "vkto")
        shutil.copy2(exe, self.exe)
        if ini is not None:
            with open(os.path.join(self.dir, "vkto.ini"), "w") as f:
                f.write(ini)
        self.args = list(args)
        self.env = dict(os.environ if env is None else env)
        if TSAN:
            opts = self.env.get("TSAN_OPTIONS", "")
            self.env["TSAN_OPTIONS"] = (opts + ":" if opts else "") + "log_path=" + os.path.join(self.dir, "tsan")
        if self.wrap:
            # LeakSanitizer cannot look at a process that strace traces: it
            # would fail the run's end (a build with AddressSanitizer).
            opts = self.env.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = (opts + ":" if opts else "") + "detect_leaks=0"
        self.stdin_pipe = stdin_pipe
        self.proc = None
        self.out = b""
        self.err = b""

    # --- process -------------------------------------------------------
    def start(self):
        self.proc = subprocess.Popen(
            self.wrap + [self.exe] + self.args, cwd=self.dir, env=self.env,
            stdin=subprocess.PIPE if self.stdin_pipe else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for fd in (self.proc.stdout.fileno(), self.proc.stderr.fileno()):
            os.set_blocking(fd, False)
        return self

    def run(self, stdin=b"", timeout=DEFAULT_TIMEOUT):
        """Runs to the end with the given input; returns (status, out, err)."""
        try:
            r = subprocess.run([self.exe] + self.args, cwd=self.dir, env=self.env,
                               input=stdin, capture_output=True, timeout=timeout * SLOW)
        finally:
            self.cleanup()
        return r.returncode, r.stdout, r.stderr

    def _pump(self, timeout):
        """Reads what is available from stdout and stderr within timeout."""
        fds = [f for f in (self.proc.stdout, self.proc.stderr) if f and not f.closed]
        if not fds:
            return False
        ready, _, _ = select.select(fds, [], [], max(0.0, timeout))
        got = False
        for f in ready:
            try:
                data = os.read(f.fileno(), 65536)
            except BlockingIOError:
                continue
            if not data:
                continue
            got = True
            if f is self.proc.stdout:
                self.out += data
            else:
                self.err += data
        return got

    def read_until(self, token, timeout=DEFAULT_TIMEOUT, stream="out"):
        """Waits until token appears in the collected stdout (or stderr)."""
        end = time.monotonic() + timeout * SLOW
        while time.monotonic() < end:
            buf = self.out if stream == "out" else self.err
            if token in buf:
                return buf
            if not self._pump(min(0.2, end - time.monotonic())) and self.proc.poll() is not None:
                self._pump(0)
                break
        buf = self.out if stream == "out" else self.err
        if token in buf:
            return buf
        raise AssertionError("timeout waiting for %r in %s; got %r" % (token, stream, buf[-2000:]))

    def wait_prompt(self, prompt=b"vkto>", timeout=DEFAULT_TIMEOUT):
        return self.read_until(prompt, timeout)

    def command(self, line, replies=1, timeout=DEFAULT_TIMEOUT):
        """Sends one line on stdin and returns the replies (one per NUL)."""
        start = len(self.out)
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        end = time.monotonic() + timeout * SLOW
        while self.out[start:].count(b"\0") < replies:
            if time.monotonic() >= end:
                raise AssertionError("no reply to %r: %r" % (line, self.out[start:]))
            if not self._pump(min(0.2, end - time.monotonic())) and self.proc.poll() is not None:
                self._pump(0)
                if self.out[start:].count(b"\0") < replies:
                    raise AssertionError("vkto ended during %r: %r" % (line, self.out[start:]))
        parts = self.out[start:].split(b"\0")
        return [p.replace(b"\r\n", b"\n").decode(errors="replace") for p in parts[:replies]]

    def strip_prompts(self, text, prompt="vkto>"):
        return text.replace(prompt, "")

    def close_stdin(self):
        self.proc.stdin.close()

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=DEFAULT_TIMEOUT):
        end = time.monotonic() + timeout * SLOW
        while self.proc.poll() is None and time.monotonic() < end:
            self._pump(0.1)
        if self.proc.poll() is None:
            raise AssertionError("vkto did not end within %.1fs" % timeout)
        while self._pump(0):
            pass
        return self.proc.returncode

    def stop(self):
        """Always ends the process and removes its directory."""
        if self.proc and self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(3 * SLOW)
            except Exception:
                self.proc.kill()
                self.proc.wait(3)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr) if self.proc else ():
            try:
                if f:
                    f.close()
            except Exception:
                pass
        self.cleanup()

    def cleanup(self):
        for path in glob.glob(os.path.join(self.dir, "tsan*")):
            with open(path, errors="replace") as f:
                REPORTS.append(f.read())
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# --- raw sockets ---------------------------------------------------------
def wait_port(port, timeout=DEFAULT_TIMEOUT):
    end = time.monotonic() + timeout * SLOW
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class ShellConn:
    """A raw TCP shell connection with bounded waits."""

    def __init__(self, port, timeout=DEFAULT_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.eof = False

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.sock.sendall(data)

    def _recv(self, timeout):
        self.sock.settimeout(max(0.01, timeout))
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return False
        except OSError:  # reset
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self.buf += chunk
        return True

    def replies(self, n=1, timeout=DEFAULT_TIMEOUT, raw=False):
        """The next n replies (each up to its NUL), CR LF turned into LF
        unless raw; fewer when the connection ends or the time is up."""
        end = time.monotonic() + timeout * SLOW
        while self.buf.count(b"\0") < n and not self.eof and time.monotonic() < end:
            self._recv(end - time.monotonic())
        parts = self.buf.split(b"\0")
        got = parts[:min(n, len(parts) - 1)]
        self.buf = b"\0".join(parts[len(got):])
        if raw:
            return got
        return [p.replace(b"\r\n", b"\n").decode(errors="replace") for p in got]

    def ask(self, line, n=1, timeout=DEFAULT_TIMEOUT):
        self.send(line + "\n")
        return self.replies(n, timeout)

    def silent_for(self, seconds):
        """True when nothing arrives for the given time."""
        return not self._recv(seconds) and not self.eof

    def closed_within(self, timeout):
        end = time.monotonic() + timeout * SLOW
        while not self.eof and time.monotonic() < end:
            self._recv(end - time.monotonic())
        return self.eof

    def reset(self):
        """Closes with a reset (SO_LINGER 0)."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def start_shell(exe, extra_args=(), log_level="info", env=None, extra="", wrap=None, plant=None):
    """Starts vkto in the foreground with the TCP shell on a free loopback
    port (extra: more INI lines after the [log] level; wrap: see Vkto;
    plant: called with the program's directory before it starts, to put
    files where it will look); returns (process, port) once the port
    answers."""
    port = free_port()
    v = Vkto(exe, ini=ini_text(shell_port=port, log_level=log_level, extra=extra), args=["-q"] + list(extra_args),
             env=env, wrap=wrap)
    try:
        if plant:
            plant(v.dir)
        v.start()
        if not wait_port(port):
            raise AssertionError("shell port %d never answered: %r" % (port, v.err[-1000:]))
        if "-d" not in extra_args:
            v.wait_prompt()
    except BaseException:
        v.stop()
        raise
    return v, port


def proc_counts(pid):
    """(threads, descriptors) of a running process."""
    return len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid))


def settled(read, timeout=5.0):
    """read() once it gave the same value twice 0.3 s apart (or the last
    value after timeout)."""
    end = time.monotonic() + timeout * SLOW
    last = read()
    while time.monotonic() < end:
        time.sleep(0.3)
        now = read()
        if now == last:
            break
        last = now
    return last


class SizeWatch:
    """Samples the size of path every 2 ms while the block runs (draining
    the program's console meanwhile, so that its pipe never fills); sizes
    holds what it saw."""

    def __init__(self, v, path):
        self.v, self.path, self.sizes = v, path, []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch)

    def _watch(self):
        while not self._stop.is_set():
            self.v._pump(0)
            try:
                self.sizes.append(os.path.getsize(self.path))
            except OSError:
                pass
            time.sleep(0.002)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def busy_sessions(port, sessions=4, commands=150):
    """sessions shell sessions at once, each asking commands unknown
    commands of varied length (one log record each); returns when all have
    ended (at most 60 s each)."""
    def talk(n):
        with ShellConn(port) as s:
            for i in range(commands):
                s.ask("nosuchcommand_%d_%d_%s" % (n, i, "p" * (20 + (i * 13 + n) % 90)))

    talkers = [threading.Thread(target=talk, args=(n,)) for n in range(sessions)]
    for th in talkers:
        th.start()
    for th in talkers:
        th.join(60)


def stable_counts(pid, timeout=5.0):
    """(threads, descriptors) once they held still."""
    return settled(lambda: proc_counts(pid), timeout)


def rss_kib(pid):
    """Resident memory of a running process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def wait_counts(pid, want, timeout=5.0):
    """Waits until the process's (threads, descriptors) equal want; the last
    counts seen."""
    end = time.monotonic() + timeout * SLOW
    got = proc_counts(pid)
    while got != want and time.monotonic() < end:
        time.sleep(0.05)
        got = proc_counts(pid)
    return got


def skip_status(rc, skipped):
    """The exit status of a script whose checks gave rc and that left out
    the parts in skipped (the reasons they could not run): rc when a check
    failed or nothing was left out. Under CI=true (run as root, every peer
    installed) a part left out fails. Else each is named: the script
    passes when checks ran ("left out: ..."), and gives ctest's skip
    status 77 only when none could ("SKIP: ...")."""
    if rc or not skipped:
        return rc
    ci = os.environ.get("CI") == "true"
    ran = Checks.made > 0
    for why in skipped:
        print(("FAIL: " if ci else "left out: " if ran else "SKIP: ") + why)
    return 1 if ci else 0 if ran else 77


class Checks:
    """Collects failures so that one run reports every broken case."""

    made = 0  # checks made by every Checks of this process (skip_status)

    def __init__(self):
        self.failures = []
        self.count = 0

    def check(self, cond, what):
        self.count += 1
        Checks.made += 1
        if not cond:
            self.failures.append(what)
            print("FAIL:", what, file=sys.stderr)

    def eq(self, got, want, what):
        self.check(got == want, "%s: got %r, want %r" % (what, got, want))

    def contains(self, text, part, what):
        self.check(part in text, "%s: %r not in %r" % (what, part, text[-1500:]))

    def run(self, cases):
        for case in cases:
            try:
                case(self)
            except Exception as e:  # a broken case must not hide the others
                self.failures.append("%s: %s" % (case.__name__, e))
                print("FAIL:", case.__name__, e, file=sys.stderr)
        for report in REPORTS:
            print(report, file=sys.stderr)
            self.failures.append("ThreadSanitizer report (above)")
        del REPORTS[:]
        print("%d checks, %d failures" % (self.count, len(self.failures)))
        return 1 if self.failures else 0
