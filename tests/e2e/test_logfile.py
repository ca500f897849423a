"""The log's text file: -o and the [log] keys, modes, the size limit under
four logging threads, a deleted file or directory, a full disk, runs that
must not touch the running instance's log, a kill inside the halving at the
limit, and the halving in place (tail -f follows it, long records stay
whole, a torn last line is ended)."""
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import logfile_e2e as lf
import vkto_e2e as e2e

ARGS = e2e.parse_args()
SKIPPED = []
LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (VERB |DEBUG|INFO |NOTI |WARN |ERROR|CRIT ) "
                  r"\d+ --- \[[^\]]*\] \S+ .*$")


def read(path):
    with open(path, "rb") as f:
        return f.read().decode(errors="replace")


def wait_for(cond, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def start(extra="", level="verb"):
    return e2e.start_shell(ARGS.vkto, log_level=level, extra=extra)


def bad_lines(text):
    return [l for l in text.split("\n")[:-1] if not LINE.match(l)]


def whole_and_in_order(t, text, what):
    lines = text.split("\n")[:-1]
    t.check(text.endswith("\n") and not bad_lines(text), "whole lines %s" % what)
    t.check(len(set(lines)) == len(lines), "no record twice %s: %d of %d" % (what, len(set(lines)), len(lines)))
    t.check(sorted(lines, key=lambda l: l[:26]) == lines, "records in order %s" % what)


def case_option_o_and_mode(t):
    old = os.umask(0)
    try:
        with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(log_level="dbg"), args=["-q", "-o", "opt.log"]) as v:
            v.start()
            v.wait_prompt()
            v.command("show info")
            v.close_stdin()
            v.wait()
            path = os.path.join(v.dir, "opt.log")
            t.check(os.path.exists(path), "-o makes the file")
            t.eq(stat.S_IMODE(os.stat(path).st_mode), 0o644, "file mode whatever the umask")
            text = read(path)
            t.contains(text, "DEBUG", "records of level dbg")
            t.eq(bad_lines(text), [], "every line has the file header")
        # -o /dev/stdout sent to a file: the console and the records share one offset, and it is not halved.
        with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file_size=4K\n")) as v:
            path = os.path.join(v.dir, "out.txt")
            with open(path, "wb") as f:
                subprocess.run([v.exe, "-q", "-o", "/dev/stdout"], cwd=v.dir, input=b"call tlog\n" * 100, stdout=f,
                               stderr=subprocess.DEVNULL, timeout=30)
            crit = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} CRIT  \d+ --- \[[^\]]*\] mish2 call_tlog\(\): log_crit2\n"
            t.eq((len(re.findall(crit, read(path))), os.path.getsize(path) > 4096), (100, True),
                 "/dev/stdout: every record whole, and not halved")
    finally:
        os.umask(old)


def case_ini_dir_and_modes(t):
    for mode, kept in (("a", True), ("w", False)):
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(
            log_level="dbg", extra="file_dir=logs/sub\nfile_mode=%s\nfile=v.log\n" % mode), args=["-q"])
        with v:
            os.makedirs(os.path.join(v.dir, "logs/sub"))
            path = os.path.join(v.dir, "logs/sub/v.log")
            with open(path, "w") as f:
                f.write("from before\n")
            v.start()
            v.wait_prompt()
            v.command("show info")
            v.close_stdin()
            v.wait()
            text = read(path)
            t.eq(text.startswith("from before\n"), kept, "mode %s keeps the old lines: %r" % (mode, text[:80]))
            t.contains(text, "DEBUG", "mode %s writes records" % mode)
    # -p shows the file, its limit and the other outputs as configured; it
    # opens no file, so it makes none of file_dir's directories.
    with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra=(
            "file_dir=d\nfile=p.log\nfile_size=8K\nsyslog=udp://127.0.0.1:9\nbsvlog=udp://127.0.0.1:7\n"))) as v:
        out = subprocess.run([v.exe, "-q", "-p"], cwd=v.dir, capture_output=True, timeout=30).stdout.decode()
        t.check(not os.path.exists(os.path.join(v.dir, "d")), "-p makes no directory")
    t.check(re.search(r"log_file_enale_out=1\nlog_file_name=/\S+/d/p\.log\nlog_file_max_size=8192\n"
                      r"log_syslog_enale_out=1\nlog_syslog_url=udp://127.0.0.1:9\n"
                      r"log_bsvlog_url=udp://127.0.0.1:7\n", out), "-p shows the outputs: %r" % out)
    rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file_size=5G\n"), args=["-q", "-p"]).run()
    t.contains(out.decode(), "log_file_max_size=2097152\n", "a size above 2 GiB is refused")
    t.contains(err.decode(), "[log] file_size=5G is above 2G, 2097152 is used\n", "refusal record")
    # 2G is the largest limit; what is no size leaves the default, told.
    for size, limit in (("2G", 2147483647), ("2abcM", 2097152), ("abc", 2097152)):
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file_size=%s\n" % size), args=["-q", "-p"]).run()
        t.contains(out.decode(), "log_file_max_size=%d\n" % limit, "file_size=%s" % size)
        t.eq("[log] file_size=%s is not a size, 2097152 is used\n" % size in err.decode(), size != "2G",
             "file_size=%s told as no size: %r" % (size, err[-300:]))
    # A mode that is neither a nor w keeps the old lines and appends, told
    # once.
    for mode in ("append", "x", "A", "a+"):
        with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=m.log\nfile_mode=%s\n" % mode), args=["-q"]) as v:
            path = os.path.join(v.dir, "m.log")
            with open(path, "w") as f:
                f.write("from before\n")
            r = subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", capture_output=True, timeout=30)
            text = read(path)
            t.check(text.startswith("from before\n") and text.endswith("call_tlog(): log_crit2\n"),
                    "file_mode=%s appends: %r" % (mode, text[:80]))
            told = ("vkto: [log] file_mode=%s is not a or w: the log file %s is opened for appending (nothing is "
                    "emptied)\n" % (mode, path))
            t.eq(r.stderr.decode(errors="replace").count(told), 1, "file_mode=%s told once" % mode)


def case_other_runs_never_truncate(t):
    v, port = start(extra="file=run.log\nfile_mode=w\n")
    with v:
        path = os.path.join(v.dir, "run.log")
        with e2e.ShellConn(port) as s:
            s.ask("show info")
        t.check(wait_for(lambda: "show info" in read(path)), "instance logs")
        before = read(path)
        exe = [v.exe]
        runs = [["-q", "-p"], ["-q", "-e", "show info"], ["-q"]]
        for args in runs:
            r = subprocess.run(exe + args, cwd=v.dir, input=b"", capture_output=True, timeout=10)
            if args == ["-q"]:
                t.contains(r.stderr.decode(), "Can only run one instance", "second instance refused")
                t.eq(r.returncode, 1, "second instance status")
        after = read(path)
        t.check(after.startswith(before), "no run emptied or rewrote the log (%d -> %d bytes)"
                % (len(before), len(after)))
        t.eq(bad_lines(after), [], "whole lines only")


def case_limit_with_four_threads(t):
    limit = 16384
    v, port = start(extra="file=lim.log\nfile_size=16K\n")
    with v:
        path = os.path.join(v.dir, "lim.log")
        with e2e.SizeWatch(v, path) as watch:
            e2e.busy_sessions(port)
            with e2e.ShellConn(port) as s:
                s.ask("nosuchcommand_the_last_one")
            t.check(wait_for(lambda: "nosuchcommand_the_last_one" in read(path)), "last record written")
        sizes = watch.sizes
        # The session's end is still being logged (and may trim the file):
        # the file is read once it holds still.
        text = e2e.settled(lambda: read(path))
        longest = max(len(l) + 1 for l in text.split("\n"))
        t.check(max(sizes) <= limit + longest + 200, "never above the limit plus one line: %d" % max(sizes))
        t.check(len(text) < limit, "file below the limit after a trim: %d" % len(text))
        t.check(text.endswith("\n"), "ends with a whole line")
        t.eq(bad_lines(text), [], "no torn or interleaved lines")
        t.contains("".join(text.split("\n")[-8:]), "nosuchcommand_the_last_one",
                   "the newest records are kept at the end")
        t.check(len(text) > 2000, "the newest part is kept: %d bytes" % len(text))


def case_deleted_file_or_directory_is_made_anew(t):
    # The file alone, then the directory with it.
    for extra, name, gone in (("file=del.log\n", "del.log", "del.log"),
                              ("file_dir=logs/sub\nfile=v.log\n", "logs/sub/v.log", "logs")):
        v, port = start(extra=extra)
        with v:
            path = os.path.join(v.dir, name)
            with e2e.ShellConn(port) as s:
                s.ask("show info")
                t.check(wait_for(lambda: os.path.exists(path) and os.path.getsize(path) > 0), "file written")
                # The start's records (the port's probe session) are out
                # before the file goes.
                e2e.settled(lambda: read(path) if os.path.exists(path) else "")
                (os.unlink if gone == name else shutil.rmtree)(os.path.join(v.dir, gone))
                s.ask("nosuchcommand_after_delete")
            t.check(wait_for(lambda: os.path.exists(path) and "nosuchcommand_after_delete" in read(path)),
                    "%s made again" % gone)
            text = read(path)
            t.contains(text.split("\n")[0], "nosuchcommand_after_delete", "the next record is its first line")
            t.eq(stat.S_IMODE(os.stat(path).st_mode), 0o644, "made again with mode 0644")
            if gone != name:
                t.eq(stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode), 0o755, "directory made with mode 0755")


def case_client_bytes_escaped(t):
    # A NAME=VALUE line over 255 characters from a client: the overflow
    # record shows the head of the line with \xNN escapes, in the file and
    # on the console alike.
    v, port = start(extra="file=esc.log\n", level="info")
    with v:
        path = os.path.join(v.dir, "esc.log")
        with e2e.ShellConn(port) as s:
            s.send(b"\x1b[41m\xff]" + b"N" * 300 + b"=1\n")
            s.replies()
        shown = r"str_safecopy_imp(): need_size=310 buf_size=256 head=[\x1b\x5b41m\xff]"
        t.check(wait_for(lambda: shown in read(path)), "escaped head in the file: %r" % read(path)[-600:])
        with open(path, "rb") as f:
            raw = f.read()
        t.check(not re.search(rb"[\x00-\x09\x0b-\x1f\x7f-\xff]", raw), "no raw byte in the file")
        err = v.read_until(shown.encode(), stream="err")
        t.check(b"\x1b[41m" not in err and b"\xff" not in err, "no raw byte on the console")


def case_full_disk_and_back(t):
    # 200 "call tlog" (5 records each at level info), the filesystem
    # filled, 100 more, emptied, a second for the retry, 200 more.
    with lf.Tmpfs("256k") as fs:
        if fs.why:
            return SKIPPED.append("no tmpfs of the test's own can be mounted: %s" % fs.why)
        path = os.path.join(fs.dir, "full.log")
        v, port = start(extra="file=%s\n" % path, level="info")
        with v:
            took = lf.through_full_disk(v, port, fs, "call tlog", (200, 100, 200), settle=1.1)
            v.close_stdin()
            v.wait()
        text = read(path)
        t.check(took < 5, "the commands on the full disk took %.2f s" % took)
        t.check(text.endswith("\n") and not bad_lines(text), "whole lines only")
        notes = re.findall(r" WARN  \d+ --- \[[^\]]*\] tag (\d+) log records dropped: the file could not be "
                           r"written \(No space left on device\)$", text, re.M)
        dropped = sum(int(n) for n in notes)
        t.check(dropped >= 100, "records dropped on the full disk, said in %r" % notes)
        t.eq(len(re.findall(r" mish2 call_tlog\(\): log_\w+$", text, re.M)) + dropped, 5 * 500,
             "every record is in the file or counted as dropped")


def case_unopenable_file_is_told_once(t):
    # -o under /proc and a file_dir that is a regular file: one line on
    # standard error names the path and the reason, also with -q; the run
    # ends as it would with the file.
    for args, extra, want in ((["-q", "-o", "/proc/nope/x.log"], "", " /proc/nope/x.log: No such file or directory"),
                              (["-q"], "file_dir=plain\nfile=x.pcap\n", "/plain/x.pcap: Not a directory")):
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(log_level="dbg", extra=extra), args=args)
        with open(os.path.join(v.dir, "plain"), "w") as f:
            f.write("a file, not a directory\n")
        rc, out, err = v.run(b"show info\ncall tlog\nshow config\nquit\n")
        told = [l for l in err.decode(errors="replace").split("\n") if "cannot open log file" in l]
        t.eq(rc, 0, "%s: status" % want)
        t.eq(len(told), 1, "%s: told once: %r" % (want, told))
        # (a console record before it ends in its colour's reset)
        t.check(told and told[0].split("\x1b[0m")[-1].startswith("vkto: cannot open log file /") and want in told[0],
                "%s: path and reason: %r" % (want, told))
        # No file is open: the settings show no name, with -p as well.
        t.contains(out.decode(errors="replace").replace("\r\n", "\n"), "log_file_enale_out=1\nlog_file_name=''\n",
                   "%s: show config" % want)
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra=extra), args=args + ["-p"])
        with open(os.path.join(v.dir, "plain"), "w") as f:
            f.write("a file, not a directory\n")
        rc, out, err = v.run()
        t.contains(out.decode(errors="replace"), "log_file_enale_out=1\nlog_file_name=''\n", "%s: -p" % want)


def case_marker_not_followed(t):
    # A FIFO at the halving's marker, put there before a start that
    # appends, and put there while the log file was moved away (the next
    # record opens the name again); then a pending marker of another user
    # that would cut the old records away. None is followed: each is
    # removed and told, on standard error and in the file.
    fifo = lf.marker_text("%s", "a FIFO")

    def plant(d):
        with open(os.path.join(d, "m.log"), "w") as f:
            f.write("from before\n")
        os.mkfifo(os.path.join(d, "m.log.halving"))
    for planted in (True, False):
        mode = "a" if planted else "w"
        v, port = e2e.start_shell(ARGS.vkto, plant=plant if planted else None,
                                  extra="file=m.log\nfile_mode=%s\nfile_size=16K\n" % mode)
        with v:
            path = os.path.join(v.dir, "m.log")
            with e2e.ShellConn(port) as s:
                s.ask("call tlog")
                if not planted:
                    os.rename(path, path + ".old")
                    os.mkfifo(path + ".halving")
                    # The name is looked at once a millisecond, at a record:
                    # the requests come no faster until it is opened anew.
                    # (Faster ones bring the moved file to its limit first,
                    # and its halving makes its marker in the FIFO's place.)
                    end = time.monotonic() + 30 * e2e.SLOW
                    for _ in range(10000):
                        if os.path.exists(path) or time.monotonic() > end or not s.ask("call tlog"):
                            break
                        time.sleep(0.002)
                t.check(wait_for(lambda: "log_crit2" in read(path)), "file_mode=%s: records written" % mode)
                t.eq(s.ask("echo still here"), ["still here\n"], "file_mode=%s: the shell answers" % mode)
            v.signal(signal.SIGTERM)
            t.eq(v.wait(10), 0, "file_mode=%s: SIGTERM ends it" % mode)
            t.check(not os.path.exists(path + ".halving"), "file_mode=%s: the FIFO is removed" % mode)
            text = read(path)
            before = "from before\n" if planted else ""
            t.check(text.startswith(before) and not bad_lines(text[len(before):]),
                    "file_mode=%s: the file's lines: %r" % (mode, text[:200]))
            t.eq(len(re.findall(r" WARN  \d+ --- \[[^\]]*\] tag %s$" % re.escape(fifo % path), text, re.M)), 1,
                 "file_mode=%s: the warn line" % mode)
            t.eq(v.err.decode(errors="replace").count("vkto: %s\n" % (fifo % path)), 1,
                 "file_mode=%s: told on standard error" % mode)
    if os.geteuid() != 0:
        return SKIPPED.append("a marker of another user needs root to give it away (os.chown)")
    # The same pending marker is followed when it is the program's own.
    old = "".join("old record %03d\n" % i for i in range(100))
    for uid in (65534, 0):
        with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=o.log\nfile_mode=a\n"), args=["-q"]) as v:
            path = os.path.join(v.dir, "o.log")
            with open(path, "w") as f:
                f.write(old)
            os.chown(lf.pending_marker(path, old.index("old record 050"), len(old), 0), uid, -1)
            r = subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", capture_output=True, timeout=30)
            text = read(path)
            t.eq(text.startswith(old), uid != 0, "a marker of uid %d followed or not: %r" % (uid, text[:40]))
            t.check(not os.path.exists(path + ".halving"), "the marker of uid %d is removed" % uid)
            if uid:
                told = lf.marker_text(path, "a file of uid 65534")
                t.contains(r.stderr.decode(errors="replace"), "vkto: %s\n" % told, "the other user's marker told")
                first = text[len(old):].split("\n")[0]
                t.check(" WARN " in first and first.endswith(" tag " + told), "the warn line first: %r" % first)


def case_shared_directory(t):
    # In a sticky directory that others may write, a symbolic link at the
    # log file's name is refused (its target never written), and so is a
    # FIFO, however many records come. Once the FIFO is gone, or the
    # directory is no longer shared (a link is then followed), the file
    # opens and says what it missed.
    for name, what in (("s.log", "a symbolic link"), ("f.log", "a FIFO")):
        v, port = e2e.start_shell(ARGS.vkto, plant=lambda d: lf.plant_shared(d, link="s.log", fifo="f.log"),
                                  extra="file=shared/%s\n" % name)
        with v:
            path = os.path.join(v.dir, "shared", name)
            asked = 0
            with e2e.ShellConn(port) as s:
                for asked in range(1, 301):  # more than a pipe holds
                    if not s.ask("call tlog"):
                        break
                    v._pump(0)
                t.eq(s.ask("echo still here"), ["still here\n"], "%s: the shell answers" % what)
                t.eq(read(os.path.join(v.dir, "victim")), "not a log\n", "%s: the link's target untouched" % what)
                t.eq(v.err.decode(errors="replace").count(lf.refused_text(path, what)), 1, "%s: told once" % what)
                if name == "f.log":
                    os.unlink(path)
                else:
                    os.chmod(os.path.dirname(path), 0o755)
                # Tried again once a second, at a record.
                end = time.monotonic() + 5
                while "opened after" not in (read(path) if os.path.isfile(path) else "") and time.monotonic() < end:
                    if not s.ask("call tlog"):
                        break
                    asked += 1
                    time.sleep(0.02)
            lines = (read(path) if os.path.isfile(path) else "").split("\n")
            if name == "s.log":
                t.eq(lines[0], "not a log", "the link followed outside a shared directory")
                lines = lines[1:]
            t.check(re.search(r" WARN  \d+ --- \[[^\]]*\] tag log file %s opened after \d+ failed attempts$"
                              % re.escape(path), lines[0]), "%s: the first line tells the open: %r" % (what, lines[:1]))
            dropped = re.search(r" WARN  \d+ --- \[[^\]]*\] tag (\d+) log records dropped: the file could not be "
                                r"written \(Permission denied\)$", lines[1] if len(lines) > 1 else "")
            kept = len([l for l in lines if l.endswith(" mish2 call_tlog(): log_crit2")])
            t.check(dropped and int(dropped.group(1)) + 5 * kept == 5 * asked,
                    "%s: %d requests, %d kept, the drop line %r" % (what, asked, kept, lines[1:2]))
    # /dev/stdout on a file removed before the start writes that very file
    # (the link's text is "PATH (deleted)").
    with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=/dev/stdout\n"), args=["-q"]) as v:
        fd = os.open(os.path.join(v.dir, "out.txt"), os.O_RDWR | os.O_CREAT, 0o644)
        os.unlink(os.path.join(v.dir, "out.txt"))
        subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", stdout=fd, stderr=subprocess.DEVNULL, timeout=30)
        t.contains(os.pread(fd, 1 << 20, 0).decode(errors="replace"), "call_tlog(): log_crit2", "the deleted file written")
        os.close(fd)
        t.eq(sorted(os.listdir(v.dir)), ["vkto", "vkto.ini"], "no file made after the link's text")
    # In a user namespace (unshare -r) "/" and /tmp show as owned by the
    # overflow uid: taken as root's, the way is sound.
    ns = ["setpriv", "--reuid=%d" % lf.OTHER_UID, "--regid=%d" % lf.OTHER_UID, "--clear-groups"] * (not os.geteuid())
    ns += ["unshare", "-r"]
    if subprocess.run(ns + ["true"], capture_output=True).returncode != 0:
        SKIPPED.append("no user namespace for this user (unshare -r)")
    else:
        with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file_dir=logs\nfile=ns.log\n"), args=["-q"]) as v:
            for p in (v.dir, v.exe, v.exe + ".ini") * (not os.geteuid()):
                os.chown(p, lf.OTHER_UID, lf.OTHER_UID)
            r = subprocess.run(ns + [v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", capture_output=True, timeout=30)
            path = os.path.join(v.dir, "logs", "ns.log")
            t.check("log_crit2" in (read(path) if os.path.isfile(path) else ""), "in a user namespace: %r" % r.stderr)
    # Another user's directory on the way, its link to root's directory in
    # the sticky one, and a vanished directory that another user made again
    # first: the file is refused (told once, tried again once a second, the
    # victim never written) until the way is made sound.
    if os.geteuid() != 0:
        return SKIPPED.append("another user's directory or link needs root to give it away (os.lchown)")
    for what, kept, told, data, path in lf.other_user_fault_runs(ARGS.vkto, "v.log"):
        t.eq(kept, b"not a log\n", "%s: the victim untouched" % what)
        t.eq(told, 1, "%s: told once" % what)
        first = data.decode(errors="replace").split("\n")[0]
        opened = re.search(r" WARN  \d+ --- \[[^\]]*\] tag log file %s opened after (\d+) failed attempts$"
                           % re.escape(path), first)
        t.check(opened and int(opened.group(1)) >= 2, "%s: opened once sound: %r" % (what, first))


def case_kill_inside_the_halving(t):
    # The process killed by strace at each system call of its first
    # halving (the marker made, told the copy, the copy written, the file
    # cut, the marker told nothing is pending): the next run with
    # file_mode=a finds the file whole, or mends it first, and appends to
    # it within the limit.
    if not shutil.which("strace"):
        return SKIPPED.append("strace not found: install the Debian package strace")
    limit = 16384

    for kill in lf.HALVING_CALLS:
        v, status, path = lf.killed_in_halving(ARGS.vkto, "k.log", kill)
        with v:
            t.eq(status, -signal.SIGKILL, "killed at %s" % (kill,))
            t.check(os.path.getsize(path) >= limit or kill == lf.HALVING_CALLS[-1],
                    "killed before the cut at %s: %d bytes" % (kill, os.path.getsize(path)))
            # A run that writes no record: the open alone leaves it whole.
            t.eq(lf.run_again(v, b"", ["-l", "crit"]), 0, "the open after the kill at %s" % (kill,))
            whole_and_in_order(t, read(path), "after the kill at %s and the next open" % (kill,))
            t.check(not os.path.exists(path + ".halving"), "no marker is left")
            t.eq(lf.run_again(v, b"call tlog\n" * 200), 0, "the run after the kill at %s" % (kill,))
            text = read(path)
            t.check(len(text) < limit, "appended within the limit: %d" % len(text))
            whole_and_in_order(t, text, "after the kill at %s and the next run" % (kill,))
            t.check(text.endswith("call_tlog(): log_crit2\n"), "the newest records are kept")
    # A crash while a halving waits (held by strace): at its cut, and in
    # the write-back that follows a failed copy (the file already cut,
    # the kept part not yet written back). The report keeps out of the
    # file, and the next run finds the file whole: in the write-back's
    # case it says how much of the kept part was lost. When the marker's
    # text for a write-back is refused, none begins (no cut for it): the
    # crash at the next halving's cut (marked None: the file shrank) loses
    # nothing.
    # (At level err a new session writes no record: it does not wait for
    # the output's lock, which the halving holds.)
    writeback = "%dK" % (lf.WRITEBACK_LIMIT // 1024)
    for where, size, marked, calls in (
            ("the cut", "16K", "halving ", ("ftruncate", "ftruncate:delay_enter=3000000:when=1")),
            ("the write-back", writeback, "rewrite ",
             ("copy_file_range,pwrite64,ftruncate", "copy_file_range:error=ENOSPC", "pwrite64:error=ENOSPC:when=2",
              "ftruncate:delay_exit=3000000:when=1")),
            ("a cut after a refused marker", writeback, None,
             ("copy_file_range,pwrite64,ftruncate", "copy_file_range:error=ENOSPC", "pwrite64:error=ENOSPC:when=3..4",
              "ftruncate:delay_exit=3000000:when=1"))):
        v, port = e2e.start_shell(ARGS.vkto, log_level="err",
                                  extra="file=c.log\nfile_mode=w\nfile_size=%s\n" % size,
                                  wrap=lf.strace_wrap("c.log", *lf.strace_calls(*calls),
                                                      also=("c.log.halving",) if marked is None else ()))
        with v:
            path = os.path.join(v.dir, "c.log")
            most = [0]

            def pending():
                if marked is None:
                    now = os.path.getsize(path) if os.path.exists(path) else 0
                    most[0] = max(most[0], now)
                    return now < most[0]
                try:
                    return read(path + ".halving").startswith(marked)
                except OSError:
                    return False
            with e2e.ShellConn(port) as s:
                # Ten at a time, their answers read, until the halving
                # waits (the wait for the answers ends while it waits); a
                # failed halving is tried again a second later.
                end = time.monotonic() + 30 * e2e.SLOW
                for _ in range(3000):
                    if time.monotonic() > end:
                        break
                    s.send("call tlog\n" * 10)
                    s.replies(10, timeout=2)
                    v._pump(0)  # its console lines, lest they fill the pipe
                    if pending():
                        break
                t.check(pending(), "a halving under way at %s" % where)
                with e2e.ShellConn(port) as crash:
                    crash.send("call null\n")
                    t.eq(v.wait(15), 254, "status of the crash at %s" % where)
            t.contains(v.err.decode(errors="replace"), "signo=11 [Segmentation fault]", "the report on standard error")
            t.check("panic_handler" not in read(path), "the report kept out of the halved file (%s)" % where)
            t.eq(lf.run_again(v, b"call tlog\n"), 0, "the open after the crash at %s" % where)
            text = read(path)
            whole_and_in_order(t, text, "after the crash at %s and the next open" % where)
            t.check(not os.path.exists(path + ".halving"), "no marker is left after the crash at %s" % where)
            lost = re.findall(r" WARN  \d+ --- \[[^\]]*\] tag a halving of %s was cut short while its newest part "
                              r"was written back: (\d+) bytes of it were lost$" % re.escape(path), text, re.M)
            t.check(len(lost) == (where == "the write-back") and all(int(n) > 0 for n in lost),
                    "the loss told after the crash at %s: %r" % (where, lost))
            t.check(lost or len(text) > int(size[:-1]) * 1024 // 4, "the kept part kept at %s: %d" % (where, len(text)))


def case_refused_copies(t):
    # The halving's calls refused by strace: on both copy_file_range and
    # pwrite64 every halving fails (each told by an ERROR line, the first
    # on standard error too), nothing is lost, and a later run halves the
    # file; on copy_file_range alone it is copied through a buffer; the
    # first read of the file refused fails the first halving only; a cut
    # refused twice (each told as a cut) leaves no record twice once the
    # third succeeds; a write-back refused leaves whole lines, the loss told
    # in bytes.
    if not shutil.which("strace"):
        return SKIPPED.append("strace not found: install the Debian package strace")
    limit = 16384
    failed = re.compile(r" ERROR \d+ --- \[[^\]]*\] tag (\d+) halvings? of the log file failed: the kept part "
                        r"could not be copied \((.+)\)$", re.M)
    for kind, what, reason, v, status, asked, path, met in lf.refused_copy_runs(ARGS.vkto, "r.log", limit):
        t.eq(status, 0, "%s: status" % what)
        t.check(met, "%s: what the run waited for came" % what)
        text = read(path)
        t.check(text.endswith("call_tlog(): log_crit2\n") and not bad_lines(text),
                "%s: whole lines, the newest last" % what)
        lf.told_halving_failed(t, v, path, reason, what, lost=kind == "writeback")
        if kind == "copy":
            t.eq(len(re.findall(r" mish2 call_tlog\(\): log_\w+$", text, re.M)), 5 * asked,
                 "%s: every record kept" % what)
        if kind == "copy":
            errors = failed.findall(text)
            t.check(len(errors) >= 2 and set(errors) == {("1", reason)},
                    "%s: each failure an ERROR line: %r" % (what, errors[:3]))
        if kind == "copy":
            t.eq(lf.run_again(v, b"call tlog\n"), 0, "%s: the run after" % what)
            text = read(path)
        elif kind == "cut":
            whole_and_in_order(t, text, "after the cuts refused")
        elif kind == "kernel":
            t.eq(failed.findall(text), [], "%s: no ERROR line" % what)
        elif kind == "writeback":
            lost = re.findall(r" ERROR \d+ --- \[[^\]]*\] tag 1 halving of the log file failed: the newest part "
                              r"could not be copied \(No space left on device\), (\d+) bytes of it were lost$",
                              text, re.M)
            t.check(len(lost) == 1 and int(lost[0]) > 0, "%s: the loss told in the file: %r" % (what, lost))
            t.check(len(text) < lf.WRITEBACK_LIMIT, "%s: within the limit: %d bytes" % (what, len(text)))
            continue
        t.check(len(text) < limit, "%s: within the limit: %d bytes" % (what, len(text)))


def case_halving_keeps_the_file(t):
    # tail -f follows the file through its halvings (the same file, cut
    # in place), and so does a descriptor held open; where the directory
    # cannot be written no marker can be made, and the file is halved all
    # the same.
    port = e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port, log_level="verb",
                                             extra="file_dir=ro\nfile=h.log\nfile_size=2048\n"), args=["-q"])
    with v:
        ro = os.path.join(v.dir, "ro")
        path = os.path.join(ro, "h.log")
        os.mkdir(ro)
        open(path, "w").close()
        locked = lf.lock_dir(ro, "h.log.halving")
        # (-s: where inotify is used up, tail polls; a short interval keeps
        # the paced steps quick)
        tail = subprocess.Popen(["tail", "-s", "0.1", "-f", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            v.start()
            t.check(e2e.wait_port(port), "shell port")
            # The start's records (the port's probe session, the console's
            # loop) are out before the steps begin.
            v.wait_prompt()
            e2e.settled(lambda: read(path))
            held = os.open(path, os.O_RDONLY)
            # One command at a time, the next once tail has shown it: the
            # file never grows back past tail's place before tail looks, so
            # tail sees every halving as a truncation (one command's records
            # are far below the half that is kept).
            seen = b""
            steps = ["step%d" % i for i in range(60)] + ["the_last_one"]
            with e2e.ShellConn(port) as s:
                for step in steps:
                    s.ask("echo " + step)
                    want = ("cmd=[echo %s]" % step).encode()
                    end = time.monotonic() + 10 * e2e.SLOW
                    while want not in seen and time.monotonic() < end:
                        if select.select([tail.stdout], [], [], 0.2)[0]:
                            seen += os.read(tail.stdout.fileno(), 65536)
                    if want not in seen:
                        break
            t.check(wait_for(lambda: "the_last_one" in read(path)), "the newest record written")
            t.eq([st for st in steps if ("cmd=[echo %s]" % st).encode() not in seen], [],
                 "tail -f follows the halvings, every step shown (%d bytes seen)" % len(seen))
            t.eq(os.fstat(held).st_ino, os.stat(path).st_ino, "the file held open is the file named")
            t.check(b"the_last_one" in os.pread(held, 8192, 0), "the held descriptor reads the newest record")
            os.close(held)
            text = read(path)
            t.check(len(text) < 2048 and not bad_lines(text), "halved, whole lines: %d bytes" % len(text))
            t.check("cmd=[echo step0]" not in text, "the oldest steps were halved away")
            t.check(not os.path.isfile(path + ".halving"), "no marker where none can be made (%s)" % locked)
        finally:
            lf.unlock_dir(ro, locked)
            tail.kill()
            tail.wait(5)
        tail_err = tail.stderr.read().decode(errors="replace")
        t.contains(tail_err, "file truncated", "tail -f tells the halvings")
    # A record longer than the limit stays whole, as the file's newest.
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(log_level="verb", extra="file=l.log\nfile_size=2048\n"), args=["-q"])
    with v:
        v.start()
        v.wait_prompt()
        v.command("echo " + "L" * 3000)
        path = os.path.join(v.dir, "l.log")
        text = e2e.settled(lambda: read(path))
        last = text.split("\n")[-2]
        t.check(len(text) > 2048 and "cmd=[echo " + "L" * 3000 + "]" in last,
                "the long record whole at the end: %d bytes, %r" % (len(text), last[:120]))
    # A last line without its line end gets one before the first record
    # appended.
    with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=a.log\nfile_mode=a\n"), args=["-q"]) as v:
        path = os.path.join(v.dir, "a.log")
        old = "an old line\na torn li"
        with open(path, "w") as f:
            f.write(old)
        subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", capture_output=True, timeout=30)
        text = read(path)
        t.check(text.startswith(old + "\n") and not bad_lines(text[len(old) + 1:]) and "log_crit2" in text,
                "the torn line ended, the records whole after it: %r" % text[:200])


if __name__ == "__main__":
    rc = e2e.Checks().run([case_option_o_and_mode, case_ini_dir_and_modes,
                           case_other_runs_never_truncate, case_limit_with_four_threads,
                           case_deleted_file_or_directory_is_made_anew, case_client_bytes_escaped,
                           case_full_disk_and_back, case_unopenable_file_is_told_once,
                           case_kill_inside_the_halving, case_halving_keeps_the_file,
                           case_marker_not_followed, case_shared_directory, case_refused_copies])
    sys.exit(e2e.skip_status(rc, SKIPPED))
