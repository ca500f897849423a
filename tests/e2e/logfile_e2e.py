"""The log file's own helpers of the end-to-end tests (text and pcap): a
tmpfs of the test's own, runs through a full disk, kills and refused calls
inside a halving by strace, other users' files and directories on the way
to the log file."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time

from vkto_e2e import SLOW, ShellConn, start_shell

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
    (0600, "not a log\n") the fault aims at before the mend and " +NAME"
    for each entry made beside it, times the refusal was told on standard
    error, the file's bytes, its path). Some faults lie elsewhere ("open",
    a root directory of OTHER_UID's group that others or the group may
    write)."""
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

    def their_link(d, to, link):
        os.symlink(os.path.join(d, to), link)
        os.lchown(link, OTHER_UID, OTHER_UID)

    def lay(d, kind):
        os.mkdir(os.path.join(d, "x"))
        os.chmod(os.path.join(d, "x"), 0o1777)
        path = victim_file(os.path.join(d, "victim"))
        if kind in ("link", "0777", "parent"):  # a root 0700 directory, its link to it
            os.mkdir(os.path.join(d, "secret"), 0o700)
            path = victim_file(os.path.join(d, "secret", name))
        if kind in ("0777", "0775"):
            os.mkdir(os.path.join(d, "open"))
            os.chmod(os.path.join(d, "open"), int(kind, 8))
            os.chown(os.path.join(d, "open"), 0, OTHER_UID)
        if kind in ("link", "0777"):
            their_link(d, "secret", vkdir(d) if kind == "link" else os.path.join(d, "open", "sub"))
        elif kind == "0775":  # a group member's link at the name
            their_link(d, "victim", os.path.join(d, "open", name))
        else:
            own_dir(d) if kind == "own" else os.makedirs(os.path.join(vkdir(d), "sub"))
        return path

    def remake(d):  # the directory vanishes, the other user is first
        shutil.rmtree(vkdir(d))
        own_dir(d)

    def remake_parent(d):  # with its link to root's directory as sub
        shutil.rmtree(vkdir(d))
        os.mkdir(vkdir(d))
        os.chown(vkdir(d), OTHER_UID, OTHER_UID)
        their_link(d, "secret", os.path.join(vkdir(d), "sub"))

    def mend_dir(d):
        os.unlink(os.path.join(vkdir(d), name))
        os.chown(vkdir(d), 0, 0)

    def mend_link(d):
        os.unlink(vkdir(d))
        os.mkdir(vkdir(d))

    def mend_sub(top):  # root's 0755 directory with the directory sub
        os.unlink(os.path.join(top, "sub"))
        os.mkdir(os.path.join(top, "sub"))
        os.chown(top, 0, 0)
        os.chmod(top, 0o755)

    owned = "the directory %%s/x/vkdir is owned by uid %d" % OTHER_UID
    linked = "%%s/x/vkdir is a symbolic link of uid %d in a sticky directory that others may write" % OTHER_UID
    file = "file=x/vkdir/%s\n" % name
    faults = [("another user's directory", "file_dir=x/vkdir\nfile=%s\n" % name, "own", None, mend_dir, owned),
              ("another user's link to a directory", file, "link", None, mend_link, linked),
              ("a vanished directory made by another user", file, "root", remake, mend_dir, owned),
              ("a vanished parent made again by another user with a link", "file=x/vkdir/sub/%s\n" % name, "parent",
               remake_parent, lambda d: mend_sub(vkdir(d)), owned),
              ("another user's link in a root 0777 directory", "file=open/sub/%s\n" % name, "0777", None,
               lambda d: mend_sub(os.path.join(d, "open")), "the directory %s/open may be written by others and is "
               "not sticky"),
              ("a group member's link at the name", "file=open/%s\n" % name, "0775", None,
               lambda d: os.unlink(os.path.join(d, "open", name)), "a symbolic link in a directory that its group "
               "may write"),
              ("file_dir made through another user's link", "file_dir=x/vkdir/a\nfile=%s\n" % name, "link", None,
               lambda d: (mend_link(d), os.mkdir(os.path.join(vkdir(d), "a"))), linked)]

    def data(path):
        return pathlib.Path(path).read_bytes() if os.path.isfile(path) else b""
    for what, extra, kind, spoil, mend, why in faults:
        victim = []
        v, port = start_shell(exe, plant=lambda d: victim.append(lay(d, kind)), extra=extra)
        with v:
            path = os.path.join(v.dir, *re.findall(r"=(.*)\n", extra))
            told = cannot_open_text(path, why.replace("%s", v.dir)).encode()
            with ShellConn(port) as s:
                if spoil:
                    tlog_until(v, s, lambda: b"log_crit2" in data(path))
                    spoil(v.dir)
                tlog_until(v, s, lambda: told in v.err)
                tlog_until(v, s, lambda: False, seconds=1.5)
                beside = os.path.dirname(victim[0])
                kept = data(victim[0]) + b"".join(b" +" + n.encode() for n in os.listdir(beside)
                                                  if beside != v.dir and n != name)
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


def strace_wrap(name, *options, also=()):
    """A wrap for Vkto: strace with the given options on the file name in
    the program's directory alone (-P), and on the names also."""
    return lambda d: (["strace", "-f", "-qq", "-o", "/dev/null"] +
                      [a for n in (name,) + tuple(also) for a in ("-P", os.path.join(d, n))] + list(options))


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


def tlog_under_strace(exe, name, options, until=None, count=UNTIL_REQUESTS, seconds=30.0, size="16K"):
    """Starts vkto logging at level info to the file name (file_mode=w,
    file_size=size) under strace with the given options (strace_wrap), and
    asks "call tlog" on one TCP shell session until until(process, path)
    holds, or count requests were made, or seconds passed (the bounds of a
    wait for until are a safety net: what until waits for may come at a
    time, not after a number of requests); (process, requests made, path
    of the file). The caller stops the process."""
    v, port = start_shell(exe, extra="file=%s\nfile_mode=w\nfile_size=%s\n" % (name, size),
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


def told_then(word, times):
    """An until for tlog_under_strace: true once the file holds word with
    at least times newest records (log_crit2) behind it."""
    def until(v, path):
        with open(path, "rb") as f:
            data = f.read()
        return word in data and data.rsplit(word, 1)[1].count(b"log_crit2") >= times
    return until


# The limit of the write-back run: its kept part takes more than one 64 KiB
# step of the buffered copy.
WRITEBACK_LIMIT = 160 * 1024


def refused_copy_runs(exe, name, limit=16384):
    """The halving's calls refused by strace, in runs of "call tlog" logging
    to the file name (see tlog_under_strace), one of each kind:
      "copy": ENOSPC on both copy_file_range and pwrite64, until two
        halvings have failed (nothing is halved);
      "kernel": copy_file_range alone (the copy goes through a buffer);
      "read": EIO on the first pread64, until the file is back within the
        limit;
      "cut": ENOSPC on the first two ftruncate calls (the file system
        refuses the cut twice), until the file is back within the limit;
      "writeback": with the limit WRITEBACK_LIMIT, the in-kernel copy
        refused, and the buffered copy's second step and the write-back
        that follows, until records follow the loss told in the file.
    A failed halving is tried again a second later, however many requests
    came meanwhile: those runs go on until the file shows the retry.
    Yields, once the program has ended through its standard input, (kind,
    what was refused, the reason a failure is told with or None where no
    halving fails, process, exit status, requests made, path, whether what
    the run waited for came); the process is stopped after each."""
    cut_told = written(b" of the log file failed: the file could not be cut to the kept part (No space left on "
                       b"device)", 2)
    for kind, options, reason, until in (
            ("copy", ("copy_file_range,pwrite64", "copy_file_range:error=ENOSPC", "pwrite64:error=ENOSPC"),
             "No space left on device", written(b" of the log file failed: ", 2)),
            ("kernel", ("copy_file_range", "copy_file_range:error=ENOSPC"), None, None),
            ("read", ("pread64", "pread64:error=EIO:when=1"), "Input/output error",
             lambda v, p: b"could not be halved" in v.err and os.path.getsize(p) < limit),
            ("cut", ("ftruncate", "ftruncate:error=ENOSPC:when=1..2"), "No space left on device",
             lambda v, p: cut_told(v, p) and os.path.getsize(p) < limit),
            ("writeback", ("copy_file_range,pwrite64", "copy_file_range:error=ENOSPC",
                           "pwrite64:error=ENOSPC:when=2..3"), "No space left on device",
             told_then(b"bytes of it were lost", 2))):
        size = "%dK" % (WRITEBACK_LIMIT // 1024) if kind == "writeback" else "%dK" % (limit // 1024)
        v, asked, path = tlog_under_strace(exe, name, strace_calls(*options), until,
                                           count=UNTIL_REQUESTS if until else 150, size=size)
        with v:
            met = until is None or until(v, path)
            v.close_stdin()
            yield kind, " ".join(options[1:]), reason, v, v.wait(10), asked, path, met


def told_halving_failed(t, v, path, reason, what, lost=False):
    """Checks that v said the first failed halving once on standard error
    (reason None: no halving failed, and none is said; lost: it lost
    records, and says how many bytes)."""
    err = v.err.decode(errors="replace")
    if lost:
        told = re.findall(r"vkto: log file %s could not be halved: %s \((\d+) bytes of its newest records were "
                          r"lost; tried again each second\)\n" % (re.escape(path), re.escape(reason)), err)
        t.check(len(told) == 1 and int(told[0]) > 0, "%s: the loss told on standard error: %r" % (what, err[-600:]))
        return
    t.eq(err.count(halving_failed_text(path, reason)) if reason else err.count("could not be halved"),
         1 if reason else 0, "%s: told on standard error" % what)
