"""Shared helpers for the end-to-end tests of vkto.

Each test starts the real program from a fresh temporary directory with its
INI file beside it, on free loopback ports, talks to it as a user does
(standard input and output, raw sockets) and always stops it. Every wait is
bounded in count and time.
"""
import argparse
import glob
import os
import pathlib
import re
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


class Tmpfs:
    """A small tmpfs of the test's own (size as mount takes it, "256k"),
    unmounted at the end; why is the reason when it could not be mounted."""

    def __init__(self, size):
        self.dir = tempfile.mkdtemp(prefix="vkto_tmpfs_")
        try:
            r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", self.dir],
                               capture_output=True, text=True, timeout=20)
            self.why = None if r.returncode == 0 else (r.stderr.strip() or "status %d" % r.returncode)
        except (OSError, subprocess.TimeoutExpired) as e:
            self.why = str(e)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if not self.why:
            subprocess.run(["umount", self.dir], capture_output=True, timeout=20)
        shutil.rmtree(self.dir, ignore_errors=True)


def through_full_disk(v, port, fs, line, counts, settle=0.0):
    """On one shell session: asks line counts[0] times, fills the tmpfs fs,
    asks counts[1] times, empties it, waits settle seconds and asks
    counts[2] times. Returns the seconds the asks on the full disk took."""
    took = []
    filler = os.path.join(fs.dir, "filler")
    with ShellConn(port) as s:
        for phase, n in enumerate(counts):
            if phase == 1:
                with open(filler, "wb", buffering=0) as f:
                    try:
                        while f.write(b"\0" * 4096):
                            pass
                    except OSError:
                        pass
            elif phase == 2:
                os.unlink(filler)
                time.sleep(settle)
            start = time.monotonic()
            for _ in range(n):
                s.ask(line)
                v._pump(0)
            took.append(time.monotonic() - start)
    return took[1]


# The system calls a halving of the log file NAME makes, in order, as
# (call, file, count): the count-th call of that thread on that file. The
# marker NAME.halving is made, told the copy, the copy is written, the file
# cut, and the marker told that nothing is pending.
HALVING_CALLS = (("fchmod", ".halving", 1), ("pwrite64", ".halving", 1), ("copy_file_range", "", 1),
                 ("ftruncate", "", 1), ("pwrite64", ".halving", 2))


def killed_in_halving(exe, name, kill, size="16K"):
    """Starts vkto under strace logging to the file name (file_mode=w,
    file_size=size), with the system call kill (one of HALVING_CALLS) ended
    by SIGKILL before it runs, and runs "call tlog" on one TCP shell session
    until the process ends (at most 400 requests); (process, exit status,
    path of the file). The caller stops the process, which removes its
    directory."""
    call, suffix, when = kill
    wrap = strace_wrap(name + suffix, *strace_calls(call, "%s:signal=KILL:error=EIO:when=%d" % (call, when)))
    v, port = start_shell(exe, log_level="info", extra="file=%s\nfile_mode=w\nfile_size=%s\n" % (name, size),
                          wrap=wrap)
    try:
        with ShellConn(port) as s:
            for _ in range(400):
                if v.proc.poll() is not None:
                    break
                try:
                    s.ask("call tlog", timeout=5)
                except OSError:
                    break
        return v, v.wait(10), os.path.join(v.dir, name)
    except BaseException:
        v.stop()
        raise


def run_again(v, stdin, args=()):
    """Runs the program of v once more in its directory, on the stdio shell
    with the given input and its INI's file_mode=w made file_mode=a; its
    exit status. The debug servers are off: the port of v, free since v
    ended, may be another program's by now (tests running side by side),
    which the single-instance check would take for a running instance."""
    ini = os.path.join(v.dir, "vkto.ini")
    with open(ini) as f:
        text = f.read()
    text = re.sub(r"^(shell|http)_server_port=\d+$", r"\1_server_port=0", text, flags=re.M)
    with open(ini, "w") as f:
        f.write(text.replace("file_mode=w\n", "file_mode=a\n"))
    return subprocess.run([v.exe, "-q"] + list(args), cwd=v.dir, input=stdin, capture_output=True,
                          timeout=30).returncode


def lock_dir(d, name):
    """Makes the directory d one where no file can be made: mode 0555 for a
    normal user, immutable (chattr +i) for root, or else a directory in the
    place of the file name in it. How, for unlock_dir and the messages."""
    if os.geteuid() != 0:
        os.chmod(d, 0o555)
        return "mode 0555"
    if subprocess.run(["chattr", "+i", d], capture_output=True).returncode == 0:
        return "chattr +i"
    os.mkdir(os.path.join(d, name))
    return "a directory where %s goes" % name


def unlock_dir(d, how):
    if how == "mode 0555":
        os.chmod(d, 0o755)
    elif how == "chattr +i":
        subprocess.run(["chattr", "-i", d], capture_output=True)


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


# --- the log file's own checks ---------------------------------------------
def plant_shared(d, link=None, fifo=None):
    """Makes d/shared a directory that is sticky and writable by all (as
    /tmp is), with a symbolic link of the name link to d/victim, a file
    that holds "not a log\n", and a FIFO of the name fifo in it."""
    shared = os.path.join(d, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    with open(os.path.join(d, "victim"), "w") as f:
        f.write("not a log\n")
    if link:
        os.symlink(os.path.join(d, "victim"), os.path.join(shared, link))
    if fifo:
        os.mkfifo(os.path.join(shared, fifo))


def refused_text(path, what):
    """The line on standard error of a log file name refused in a shared
    directory (what: "a FIFO", "a symbolic link"...)."""
    return cannot_open_text(path, what + " in a sticky directory that others may write")


def cannot_open_text(path, why):
    """The line on standard error of a log file that cannot be opened."""
    return "vkto: cannot open log file %s: %s (its records are dropped until it opens)\n" % (path, why)


OTHER_UID = 65534  # the other user of the faults below (nobody)


def tlog_until(v, s, cond, seconds=5.0):
    """Asks "call tlog" on the shell session s of v (its console drained)
    until cond() holds, within seconds."""
    end = time.monotonic() + seconds * SLOW
    while not cond() and time.monotonic() < end:
        if not s.ask("call tlog"):
            break
        v._pump(0)
        time.sleep(0.02)


def other_user_fault_runs(exe, name):
    """Runs vkto logging to x/vkdir/NAME below its directory d (x sticky
    and writable by all, as /tmp) through what another user (OTHER_UID;
    giving files away needs root) can set up on the way, before the start
    or (spoil) once the file is written: records until the refusal (why %
    d) is told and for a second more (a second attempt), the way mended,
    records until the file tells that it opened. Yields, once the program
    has ended through its standard input, (what, the bytes of the root file
    (0600, "not a log\n") the fault aims at before the mend, times the
    refusal was told on standard error, the file's bytes, its path)."""
    def vkdir(d):
        return os.path.join(d, "x", "vkdir")

    def victim_file(path):
        pathlib.Path(path).write_text("not a log\n")
        os.chmod(path, 0o600)
        return path

    def own_dir(d):  # its own directory, the name its link to the victim
        os.mkdir(vkdir(d))
        os.symlink(os.path.join(d, "victim"), os.path.join(vkdir(d), name))
        for path in (vkdir(d), os.path.join(vkdir(d), name)):
            os.lchown(path, OTHER_UID, OTHER_UID)

    def lay(d, kind):
        os.mkdir(os.path.join(d, "x"))
        os.chmod(os.path.join(d, "x"), 0o1777)
        path = victim_file(os.path.join(d, "victim"))
        if kind == "link":  # its link to a root 0700 directory
            os.mkdir(os.path.join(d, "secret"), 0o700)
            os.symlink(os.path.join(d, "secret"), vkdir(d))
            os.lchown(vkdir(d), OTHER_UID, OTHER_UID)
            return victim_file(os.path.join(d, "secret", name))
        own_dir(d) if kind == "own" else os.mkdir(vkdir(d))
        return path

    def remake(d):  # the directory vanishes, the other user is first
        shutil.rmtree(vkdir(d))
        own_dir(d)

    def mend_dir(d):
        os.unlink(os.path.join(vkdir(d), name))
        os.chown(vkdir(d), 0, 0)

    def mend_link(d):
        os.unlink(vkdir(d))
        os.mkdir(vkdir(d))

    owned = "the directory %%s/x/vkdir is owned by uid %d" % OTHER_UID
    linked = "%%s/x/vkdir is a symbolic link of uid %d in a sticky directory that others may write" % OTHER_UID
    file = "file=x/vkdir/%s\n" % name
    faults = [("another user's directory", "file_dir=x/vkdir\nfile=%s\n" % name, lambda d: lay(d, "own"), None,
               mend_dir, owned),
              ("another user's link to a directory", file, lambda d: lay(d, "link"), None, mend_link, linked),
              ("a vanished directory made by another user", file, lambda d: lay(d, "root"), remake, mend_dir, owned)]

    def data(path):
        return pathlib.Path(path).read_bytes() if os.path.isfile(path) else b""
    for what, extra, plant, spoil, mend, why in faults:
        victim = []
        v, port = start_shell(exe, plant=lambda d: victim.append(plant(d)), extra=extra)
        with v:
            path = os.path.join(v.dir, "x", "vkdir", name)
            told = cannot_open_text(path, why % v.dir).encode()
            with ShellConn(port) as s:
                if spoil:
                    tlog_until(v, s, lambda: b"log_crit2" in data(path))
                    spoil(v.dir)
                tlog_until(v, s, lambda: told in v.err)
                tlog_until(v, s, lambda: False, seconds=1.5)
                kept = data(victim[0])
                mend(v.dir)
                tlog_until(v, s, lambda: b"opened after" in data(path))
            v.close_stdin()
            v.wait()
            yield what, kept, v.err.count(told), data(path), path


def marker_text(path, why):
    """The finding about the marker of the log file path that was not
    followed and was removed (the line on standard error without "vkto: ",
    and the warn record's text)."""
    return "marker %s.halving not followed: %s; removed" % (path, why)


def pending_marker(path, start, end, to):
    """Writes the marker of a pending halving of the file path (its bytes
    [start, end) copied down to to, the file cut behind them) as the
    program writes it; the marker's path."""
    st = os.stat(path)
    text = "halving %d %d %d %d %d" % (st.st_dev, st.st_ino, start, end, to)
    with open(path + ".halving", "w") as f:
        f.write(text.ljust(127) + "\n")
    return path + ".halving"


def halving_failed_text(path, reason):
    """The line on standard error of the first failed halving."""
    return ("vkto: log file %s could not be halved: %s (its newest records are kept; tried again each second)\n"
            % (path, reason))


def strace_wrap(name, *options):
    """A wrap for Vkto: strace with the given options on the file name in
    the program's directory alone (-P)."""
    return lambda d: ["strace", "-f", "-qq", "-o", "/dev/null", "-P", os.path.join(d, name)] + list(options)


def strace_calls(trace, *injects):
    """strace options that trace the given calls (trace, as -e trace=
    takes it) and inject each of injects (as -e inject= takes it)."""
    out = ["-e", "trace=" + trace]
    for inject in injects:
        out += ["-e", "inject=" + inject]
    return out


def written(word, times):
    """An until for tlog_under_strace: true once the file, which only grows
    meanwhile, holds word the given times (each look reads what it gained
    since the last)."""
    seen = {"at": 0, "count": 0, "rest": b""}

    def until(v, path):
        with open(path, "rb") as f:
            f.seek(seen["at"])
            data = f.read()
        seen["at"] += len(data)
        data = seen["rest"] + data
        seen["count"] += data.count(word)
        seen["rest"] = data[-(len(word) - 1):]
        return seen["count"] >= times
    return until


# The most requests a wait of tlog_under_strace makes (some 24 MB of
# records): a safety net beside its time bound.
UNTIL_REQUESTS = 50000


def tlog_under_strace(exe, name, options, until=None, count=UNTIL_REQUESTS, seconds=30.0):
    """Starts vkto logging at level info to the file name (file_mode=w,
    file_size=16K) under strace with the given options (strace_wrap), and
    asks "call tlog" on one TCP shell session until until(process, path)
    holds, or count requests were made, or seconds passed (the bounds of a
    wait for until are a safety net: what until waits for may come at a
    time, not after a number of requests); (process, requests made, path
    of the file). The caller stops the process."""
    v, port = start_shell(exe, extra="file=%s\nfile_mode=w\nfile_size=16K\n" % name,
                          wrap=strace_wrap(name, *options))
    path = os.path.join(v.dir, name)
    sent = 0
    try:
        end = time.monotonic() + seconds * SLOW
        with ShellConn(port) as s:
            while sent < count and time.monotonic() < end and not (until and until(v, path)):
                sent += 1
                if not s.ask("call tlog"):
                    break
                v._pump(0)
        return v, sent, path
    except BaseException:
        v.stop()
        raise


def refused_copy_runs(exe, name, limit=16384):
    """The halving's copy refused by strace, in three runs of "call tlog"
    logging to the file name (see tlog_under_strace): ENOSPC on both
    copy_file_range and pwrite64 until two halvings have failed;
    copy_file_range alone (the copy then goes through a buffer); EIO on
    the first pread64 until the file is back within the limit. A failed
    halving is tried again a second later, however many requests came
    meanwhile: those runs go on until the file shows the retry. Yields,
    once the program has ended through its standard input, (what was
    refused, the reason a failure is told with or None where no halving
    fails, process, exit status, requests made, path); the process is
    stopped after each."""
    for options, reason, until in (
            (("copy_file_range,pwrite64", "copy_file_range:error=ENOSPC", "pwrite64:error=ENOSPC"),
             "No space left on device", written(b" of the log file failed: ", 2)),
            (("copy_file_range", "copy_file_range:error=ENOSPC"), None, None),
            (("pread64", "pread64:error=EIO:when=1"), "Input/output error",
             lambda v, p: b"could not be halved" in v.err and os.path.getsize(p) < limit)):
        v, asked, path = tlog_under_strace(exe, name, strace_calls(*options), until,
                                           count=UNTIL_REQUESTS if until else 150)
        with v:
            v.close_stdin()
            yield " ".join(options[1:]), reason, v, v.wait(10), asked, path


def told_halving_failed(t, v, path, reason, what):
    """Checks that v said the first failed halving once on standard error
    (reason None: no halving failed, and none is said)."""
    err = v.err.decode(errors="replace")
    t.eq(err.count(halving_failed_text(path, reason)) if reason else err.count("could not be halved"),
         1 if reason else 0, "%s: told on standard error" % what)
