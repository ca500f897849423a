"""The log file as a pcap capture ([log] file=x.pcap): the file walks as a
packet chain, tshark reads the same packets with link type USER 0, the size
limit holds with four logging threads, appending keeps one header, a full
disk drops whole records and says how many, a removed file or directory is
made anew, a crash leaves its report's records in the capture, and a kill
inside the halving at the limit leaves a whole capture to append to."""
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import logfile_e2e as lf
import vkto_e2e as e2e

ARGS = e2e.parse_args()
SKIPPED = []
TLOG = 5  # records of one "call tlog" at level info
DROPPED = re.compile(rb"^(\d+) log records dropped: the file could not be written \(No space left on device\)\n$")
GONE = re.compile(rb"^(\d+) log records dropped: the file could not be written \(No such file or directory\)\n$")
HEADER = bytes.fromhex("d4c3b2a1020004000000000000000000000001009300000000")[:24]


def walk(data):
    """[(offset, record)] of a little-endian log pcap, the record rebuilt as
    u64 sec | u32 usec | data; raises when the chain does not end at the
    end of the file."""
    assert data[:24] == HEADER, "global header %r" % data[:24].hex()
    out = []
    off = 24
    while off < len(data):
        assert off + 16 <= len(data), "cut packet header at %d" % off
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, off)
        assert incl == orig and 9 <= incl <= 1458, "lengths %d %d" % (incl, orig)
        body = data[off + 16:off + 16 + incl]
        assert len(body) == incl, "cut packet at %d" % off
        out.append((off, struct.pack("<QI", sec, usec) + body))
        off += 16 + incl
    return out


def fields(rec):
    pid, tid, level = struct.unpack_from("<IIB", rec, 12)
    return pid, level, rec[21:].split(b"\0")[:6]


def tool(name):
    return shutil.which(name)


def tshark_lens(path):
    """The captured lengths of the packets as tshark reads them."""
    r = subprocess.run([tool("tshark"), "-r", path, "-T", "fields", "-e", "frame.cap_len"],
                       capture_output=True, timeout=60)
    return [int(x) for x in r.stdout.decode().split()]


def tshark_data(path):
    """The packets' bytes as tshark reads them, link type 147 given to the
    data dissector."""
    r = subprocess.run([tool("tshark"), "-r", path, "-o", 'uat:user_dlts:"User 0 (DLT=147)","data","0","","0",""',
                        "-T", "fields", "-e", "data.data"], capture_output=True, timeout=60)
    return [bytes.fromhex(x) for x in r.stdout.decode().split()]


def start(extra, level="verb"):
    return e2e.start_shell(ARGS.vkto, log_level=level, extra=extra)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def case_tshark_reads_the_file(t):
    v, port = start("file=x.pcap\n")
    with v:
        path = os.path.join(v.dir, "x.pcap")
        with e2e.ShellConn(port) as s:
            for i in range(20):
                s.ask("nosuchcommand_%d" % i)
        v.close_stdin()
        v.wait()
        data = read(path)
        pkts = walk(data)
        t.check(len(pkts) >= 40, "packets written: %d" % len(pkts))
        t.eq(oct(os.stat(path).st_mode & 0o777), "0o644", "file mode")
        for _, rec in pkts:
            pid, level, strs = fields(rec)
            t.eq(pid, v.proc.pid, "record pid")
            t.check(2 <= level <= 8 and strs[0] not in (b"bsv", b"net"), "level %d tag %r" % (level, strs[0]))
        t.check(any(b"nosuchcommand_19" in rec for _, rec in pkts), "the last command is in the file")
        lens = tshark_lens(path)
        t.eq(len(lens), len(pkts), "tshark reads as many packets")
        t.eq(lens, [len(rec) - 12 for _, rec in pkts], "tshark's captured lengths")
        r = subprocess.run([tool("capinfos"), path], capture_output=True, timeout=60)
        t.contains(r.stdout.decode(), "USER 0", "link type 147 is USER 0")


def case_limit_with_four_threads(t):
    limit = 16384
    v, port = start("file=lim.pcap\nfile_size=16K\n")
    with v:
        path = os.path.join(v.dir, "lim.pcap")
        held = os.open(path, os.O_RDONLY)  # as a reader that follows the file holds it
        with e2e.SizeWatch(v, path) as watch:
            e2e.busy_sessions(port)
        sizes = watch.sizes
        t.eq(os.fstat(held).st_ino, os.stat(path).st_ino, "the halvings keep the file a reader holds")
        os.close(held)
        # The daemon goes on logging (session ends, then its exit): the
        # file is read and handed to tshark once it has ended, so both see
        # the same packets.
        v.close_stdin()
        v.wait()
        data = read(path)
        pkts = walk(data)
        longest = max(16 + len(rec) - 12 for _, rec in pkts)
        t.check(max(sizes) <= limit + longest, "never above the limit plus one packet: %d" % max(sizes))
        t.check(len(data) < limit + longest, "size at the end: %d" % len(data))
        t.check(len(pkts) > 10, "the newest packets are kept: %d" % len(pkts))
        t.eq(len(tshark_lens(path)), len(pkts), "tshark reads the trimmed file")


def case_append_and_other_runs(t):
    v, port = start("file=a.pcap\nfile_mode=a\n", level="dbg")
    with v:
        path = os.path.join(v.dir, "a.pcap")
        with e2e.ShellConn(port) as s:
            s.ask("show info")
        # What the daemon has written once it has held still.
        before = e2e.settled(lambda: read(path))
        for args in (["-q", "-p"], ["-q", "-e", "show info"], ["-q"]):
            subprocess.run([v.exe] + args, cwd=v.dir, input=b"", capture_output=True, timeout=10)
        # (the daemon may still log the -e session's end: read once it holds still)
        after = e2e.settled(lambda: read(path))
        t.check(after.startswith(before) and len(walk(after)) >= len(walk(before)),
                "-p, -e and a refused second instance leave the capture alone")
        v.close_stdin()
        v.wait()
        first = len(walk(read(path)))
        # A later run appends behind the packets, with no second header.
        r = subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"show info\n", capture_output=True, timeout=10)
        t.eq(r.returncode, 0, "second run")
        pkts = walk(read(path))
        t.check(len(pkts) > first, "appended packets: %d after %d" % (len(pkts), first))
        t.eq(len({fields(rec)[0] for _, rec in pkts}), 2, "records of both runs")


def case_full_disk_and_back(t):
    # 200 "call tlog", the filesystem filled, 100 more, emptied, 200 more:
    # without the size rule every record is in the file or counted as
    # dropped; with it the file keeps its limit afterwards.
    for limit in (0, 100 * 1024):
        with lf.Tmpfs("256k") as fs:
            if fs.why:
                return SKIPPED.append("no tmpfs of the test's own can be mounted: %s" % fs.why)
            path = os.path.join(fs.dir, "full.pcap")
            v, port = start("file=%s\nfile_size=%d\n" % (path, limit or 0x200000), level="info")
            with v:
                lf.through_full_disk(v, port, fs, "call tlog", (200, 100, 200))
                v.close_stdin()
                v.wait()
            data = read(path)
            pkts = walk(data)
            strs = [fields(rec)[2] for _, rec in pkts]
            if limit:
                # The trims since have dropped the oldest packets, the
                # drop record among them.
                t.check(len(data) < limit + max(len(rec) + 4 for _, rec in pkts), "limit kept: %d" % len(data))
                t.eq(strs[-1][5], b"log_crit2\n", "the newest records are kept")
            else:
                notes = [DROPPED.match(f[5]) for f in strs if f[4] == b"log_file_pcap_write"]
                dropped = sum(int(m.group(1)) for m in notes if m)
                t.check(notes and all(notes) and dropped >= 100, "drop records: %r" % notes)
                t.eq(sum(f[4] == b"call_tlog" for f in strs) + dropped, TLOG * 500,
                     "every record is in the file or counted as dropped")
            t.eq(tshark_lens(path), [len(rec) - 12 for _, rec in pkts], "tshark reads every packet")


def case_removed_file_or_directory_is_made_anew(t):
    # The file alone, then its directory with it, removed while vkto runs:
    # the next records start a new capture with its header.
    for gone in ("vkto.pcap", "logs"):
        v, port = start("file_dir=logs\nfile=vkto.pcap\n", level="info")
        with v:
            path = os.path.join(v.dir, "logs", "vkto.pcap")
            with e2e.ShellConn(port) as s:
                s.ask("call tlog")
                t.check(len(walk(read(path))) >= TLOG, "records before the removal")
                shutil.rmtree(os.path.dirname(path)) if gone == "logs" else os.unlink(path)
                s.ask("call tlog")
                t.check(os.path.exists(path), "%s made again by the next record" % gone)
            v.close_stdin()
            v.wait()
            pkts = walk(read(path))
            strs = [fields(rec)[2] for _, rec in pkts]
            t.eq(sum(f[4] == b"call_tlog" for f in strs), TLOG, "the records after the removal of %s" % gone)
            # Records that may have gone with the removed file (written
            # just before the removal) are said to be dropped.
            notes = [f[5] for f in strs if f[4] == b"log_file_pcap_write"]
            t.check(all(GONE.match(n) for n in notes), "drop records %r" % notes)
            t.eq(stat.S_IMODE(os.stat(path).st_mode), 0o644, "made again with mode 0644")
            t.eq(stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode), 0o755, "directory with mode 0755")
            data = tshark_data(path)
            t.eq(data, [rec[12:] for _, rec in pkts], "tshark reads the new file")
            t.check(sum(b"\0call_tlog\0" in d for d in data) == TLOG, "tshark finds the records")


def case_crash_records(t):
    # The crash report's three records end the capture: the last-log text
    # (bsv outputs only), the signal and the version.
    v, port = start("file=crash.pcap\n", level="info")
    with v:
        path = os.path.join(v.dir, "crash.pcap")
        with e2e.ShellConn(port) as s:
            s.send("call null\n")
            s.closed_within(5)
        t.eq(v.wait(10), 254, "status after the crash")
        err = v.err.decode(errors="replace")
        pkts = walk(read(path))
        crash = [fields(rec)[1:] for _, rec in pkts]
        crash = [(lvl, strs) for lvl, strs in crash if len(strs) == 6 and strs[4] == b"panic_handler"]
        t.eq(len(crash), 3, "three crash records")
        if len(crash) == 3:
            t.eq([lvl for lvl, _ in crash], [2, 2, 2], "crit level")
            t.eq({(s[0], s[2]) for _, s in crash}, {(b"pal", b"src/lib/libpal/os/posix/os_panic")},
                 "module and source")
            last, sig, ver = (s[5].decode(errors="replace") for _, s in crash)
            t.check(last.startswith("[") and last.endswith("]") and "user req null=0 !!" in last,
                    "the last-log text: %r" % last)
            t.eq(sig, "signo=11 [Segmentation fault]\n", "the signal record")
            t.check(ver.startswith("appver: ") and ver in err, "the version record %r, as on standard error" % ver)
            t.eq([fields(rec)[2][4] for _, rec in pkts[-3:]], [b"panic_handler"] * 3, "they end the capture")
        t.eq(tshark_lens(path), [len(rec) - 12 for _, rec in pkts], "tshark reads the same packets")


def case_kill_inside_the_halving(t):
    # The process killed by strace at each system call of its first
    # halving (the marker made, told the copy, the copy written, the file
    # cut, the marker told nothing is pending): the next run with
    # file_mode=a finds a whole capture, or mends it first, with no record
    # cut off, and appends to it within the limit.
    if not tool("strace"):
        return SKIPPED.append("strace not found: install the Debian package strace")
    limit = 16384
    for kill in lf.HALVING_CALLS:
        v, status, path = lf.killed_in_halving(ARGS.vkto, "k.pcap", kill)
        with v:
            t.eq(status, -signal.SIGKILL, "killed at %s" % (kill,))
            for runs in (1, 200):
                t.eq(lf.run_again(v, b"call tlog\n" * runs), 0, "%d requests after the kill at %s" % (runs, kill))
                data = read(path)
                try:
                    pkts = walk(data)
                except AssertionError as e:
                    t.check(False, "a whole chain after the kill at %s: %s" % (kill, e))
                    continue
                strs = [fields(rec)[2] for _, rec in pkts]
                t.eq([f[5] for f in strs if f[4] == b"log_file_pcap_write"], [], "no record cut off or dropped")
                t.eq(strs[-1][5], b"log_crit2\n", "the newest records are kept")
                t.check(not os.path.exists(path + ".halving"), "no marker is left")
                t.eq(tshark_lens(path), [len(rec) - 12 for _, rec in pkts], "tshark reads the appended file")
            longest = max(16 + len(rec) - 12 for _, rec in pkts)
            t.check(len(data) < limit + longest, "appended within the limit: %d" % len(data))


def case_shared_directory(t):
    # A symbolic link at the capture's name in a sticky directory that
    # others may write is refused, its target never written; once the link
    # is gone the capture opens and says what it missed.
    v, port = e2e.start_shell(ARGS.vkto, plant=lambda d: lf.plant_shared(d, link="x.pcap"),
                              extra="file=shared/x.pcap\n")
    with v:
        path = os.path.join(v.dir, "shared", "x.pcap")
        asked = 0
        with e2e.ShellConn(port) as s:
            for asked in range(1, 11):
                if not s.ask("call tlog"):
                    break
            t.eq(s.ask("echo still here"), ["still here\n"], "the shell answers")
            t.eq(read(os.path.join(v.dir, "victim")), b"not a log\n", "the link's target untouched")
            os.unlink(path)
            # Tried again once a second, at a record.
            end = time.monotonic() + 5
            while not os.path.exists(path) and time.monotonic() < end:
                if not s.ask("call tlog"):
                    break
                asked += 1
                time.sleep(0.02)
        v.close_stdin()
        v.wait()
        t.eq(v.err.decode(errors="replace").count(lf.refused_text(path, "a symbolic link")), 1, "told once")
        strs = [fields(rec)[2] for _, rec in walk(read(path))]
        notes = [f[5].decode(errors="replace") for f in strs if f[4] == b"log_file_pcap_write"]
        dropped = re.match(r"(\d+) log records dropped: the file could not be written \(Permission denied\)\n$",
                           notes[1] if len(notes) == 2 else "")
        t.check(len(notes) == 2 and re.match(r"log file %s opened after \d+ failed attempts\n$" % re.escape(path),
                                              notes[0]), "the capture tells the open: %r" % notes)
        t.check(dropped and int(dropped.group(1)) + sum(f[4] == b"call_tlog" for f in strs) == TLOG * asked,
                "the records dropped are counted: %d requests, %r" % (asked, notes))
    # Another user's directory on the way, its link to root's directory in
    # the sticky one, and a vanished directory that another user made again
    # first: the capture is refused (told once, tried again once a second,
    # the victim never written) until the way is made sound.
    if os.geteuid() != 0:
        return SKIPPED.append("another user's directory or link needs root to give it away (os.lchown)")
    for what, kept, told, data, path in lf.other_user_fault_runs(ARGS.vkto, "v.pcap"):
        t.eq(kept, b"not a log\n", "%s: the victim untouched" % what)
        t.eq(told, 1, "%s: told once" % what)
        try:
            notes = [fields(rec)[2][5].decode(errors="replace") for _, rec in walk(data)
                     if fields(rec)[2][4] == b"log_file_pcap_write"]
        except AssertionError as e:
            notes = [str(e)]
        opened = re.match(r"log file %s opened after (\d+) failed attempts\n$" % re.escape(path),
                          notes[0] if notes else "")
        t.check(opened and int(opened.group(1)) >= 2, "%s: the capture tells the open: %r" % (what, notes[:1]))


def case_marker_not_followed(t):
    # A FIFO at the marker of a capture opened for appending is removed,
    # and told on standard error and in a warn record in front of the next
    # record.
    with e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=m.pcap\nfile_mode=a\n"), args=["-q"]) as v:
        path = os.path.join(v.dir, "m.pcap")
        os.mkfifo(path + ".halving")
        r = subprocess.run([v.exe, "-q"], cwd=v.dir, input=b"call tlog\n", capture_output=True, timeout=30)
        told = lf.marker_text(path, "a FIFO")
        t.contains(r.stderr.decode(errors="replace"), "vkto: %s\n" % told, "the FIFO told on standard error")
        t.check(not os.path.exists(path + ".halving"), "the FIFO is removed")
        strs = [fields(rec)[1:] for _, rec in walk(read(path))]
        t.check(len(strs) > 1 and strs[0] == (4, [b"tag", strs[0][1][1], b"src/lib/liblog/logfile_pcap",
                                                    strs[0][1][3], b"log_file_pcap_write", (told + "\n").encode()]),
                "the warn record first: %r" % strs[:1])


def case_refused_copies(t):
    # The halving's calls refused by strace: on both copy_file_range and
    # pwrite64 every halving fails (each told by an err record, the first
    # on standard error too), nothing is lost, and a later run halves the
    # capture; on copy_file_range alone it is copied through a buffer; the
    # first read of the file refused fails the first halving only; a cut
    # refused twice loses no packet and leaves a whole chain once the third
    # succeeds; a write-back refused leaves a whole chain with the next
    # packets right behind it (no hole, in mode w), the loss told in bytes.
    if not tool("strace"):
        return SKIPPED.append("strace not found: install the Debian package strace")
    limit = 16384
    for kind, what, reason, v, status, asked, path, met in lf.refused_copy_runs(ARGS.vkto, "r.pcap", limit):
        t.eq(status, 0, "%s: status" % what)
        t.check(met, "%s: what the run waited for came" % what)
        lf.told_halving_failed(t, v, path, reason, what, lost=kind == "writeback")
        try:
            pkts = walk(read(path))
        except AssertionError as e:
            t.check(False, "%s: a whole chain: %s" % (what, e))
            continue
        strs = [fields(rec)[1:] for _, rec in pkts]
        notes = [(lvl, f[5]) for lvl, f in strs if f[4] == b"log_file_pcap_write"]
        t.eq([f[5] for _, f in strs if f[4] == b"call_tlog"][-1:], [b"log_crit2\n"], "%s: the newest kept" % what)
        if kind == "copy":
            t.eq(sum(f[4] == b"call_tlog" for _, f in strs), TLOG * asked, "%s: every record kept" % what)
        if kind == "copy":
            want = "1 halving of the log file failed: the kept part could not be copied (%s)\n" % reason
            t.check(len(notes) >= 2 and set(notes) == {(3, want.encode())},
                    "%s: each failure an err record: %r" % (what, notes[:3]))
        if kind == "copy":
            # (one halving brings a capture far over its limit back within it)
            t.eq(lf.run_again(v, b"call tlog\n"), 0, "%s: the run after" % what)
            pkts = walk(read(path))
        elif kind == "cut":
            recs = [rec for _, rec in pkts]
            t.eq(len(set(recs)), len(recs), "%s: no packet twice" % what)
            t.eq(tshark_lens(path), [len(rec) - 12 for _, rec in pkts], "%s: tshark reads the capture" % what)
        elif kind == "kernel":
            t.eq(notes, [], "%s: no err record" % what)
        elif kind == "writeback":
            lost = [re.match(rb"1 halving of the log file failed: the newest part could not be copied \(No space left "
                             rb"on device\), (\d+) bytes of it were lost\n$", f) for _, f in notes]
            t.check(len(lost) == 1 and lost[0] and int(lost[0].group(1)) > 0,
                    "%s: the loss told in the capture: %r" % (what, notes))
            t.eq(tshark_lens(path), [len(rec) - 12 for _, rec in pkts], "%s: tshark reads the capture" % what)
            limit = lf.WRITEBACK_LIMIT
        size = os.path.getsize(path)
        t.check(size < limit + max(4 + len(rec) for _, rec in pkts), "%s: within the limit: %d" % (what, size))


def main():
    if not tool("tshark") or not tool("capinfos"):
        return e2e.skip_status(0, ["tshark not found: install the Debian package tshark"])
    rc = e2e.Checks().run([case_tshark_reads_the_file, case_limit_with_four_threads,
                           case_append_and_other_runs, case_full_disk_and_back,
                           case_removed_file_or_directory_is_made_anew, case_crash_records,
                           case_shared_directory, case_kill_inside_the_halving, case_marker_not_followed,
                           case_refused_copies])
    return e2e.skip_status(rc, SKIPPED)


if __name__ == "__main__":
    sys.exit(main())
