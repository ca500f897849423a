"""The log's syslog output against a real rsyslog, started here as a private
process with its own configuration on loopback UDP and TCP ports."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
LEVELS = [("log_verb", 15), ("log_debug", 15), ("log_info", 14), ("log_notice", 13),
          ("log_warn", 12), ("log_error", 11), ("log_crit2", 10)]


def free_udp_port():
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Rsyslog:
    """rsyslogd in the foreground, writing "pri|tag|msg|" lines to a file."""

    def __init__(self, exe):
        self.dir = tempfile.mkdtemp(prefix="vkto_rsyslog_")
        self.udp = free_udp_port()
        self.tcp = e2e.free_port()
        self.out = os.path.join(self.dir, "out.log")
        conf = os.path.join(self.dir, "rsyslog.conf")
        # Run as root, it drops to an unprivileged user once its ports are
        # bound; that user writes the output file in this directory.
        drop = ""
        if os.geteuid() == 0:
            drop = '$PrivDropToGroup nogroup\n$PrivDropToUser nobody\n'
            os.chmod(self.dir, 0o777)
        with open(conf, "w") as f:
            f.write(drop)
            f.write('global(workDirectory="%s")\n'
                    'module(load="imudp")\nmodule(load="imtcp")\n'
                    'input(type="imudp" port="%d" address="127.0.0.1")\n'
                    'input(type="imtcp" port="%d" address="127.0.0.1" AddtlFrameDelimiter="0")\n'
                    'template(name="t" type="string" string="%%pri%%|%%syslogtag%%|%%msg%%|\\n")\n'
                    '*.* action(type="omfile" file="%s" template="t")\n'
                    % (self.dir, self.udp, self.tcp, self.out))
        self.proc = subprocess.Popen([exe, "-n", "-f", conf, "-i", os.path.join(self.dir, "pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not e2e.wait_port(self.tcp):
            self.stop()
            raise AssertionError("rsyslogd did not listen")
        # The UDP input may start after the TCP one: probes until one of
        # them is in the output file.
        if not self.udp_ready():
            self.stop()
            raise AssertionError("rsyslogd wrote no UDP message to its file")

    def udp_ready(self, timeout=10.0):
        import socket
        end = time.monotonic() + timeout * e2e.SLOW
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            while time.monotonic() < end:
                s.sendto(b"<14>probe: vkto_e2e_probe", ("127.0.0.1", self.udp))
                if self.wait_for("vkto_e2e_probe", timeout=0.2):
                    return True
        return False

    def lines(self):
        try:
            with open(self.out, "rb") as f:
                return f.read().decode(errors="replace").split("\n")
        except OSError:
            return []

    def wait_for(self, text, timeout=10.0):
        end = time.monotonic() + timeout * e2e.SLOW
        while time.monotonic() < end:
            if any(text in l for l in self.lines()):
                return True
            time.sleep(0.05)
        return False

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(5)

    def stop(self):
        self.kill()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def rsyslogd():
    exe = shutil.which("rsyslogd") or ("/usr/sbin/rsyslogd" if os.path.exists("/usr/sbin/rsyslogd") else None)
    return exe


def start_vkto(url):
    return e2e.start_shell(ARGS.vkto, log_level="verb", extra="syslog=%s\n" % url)


def check_levels(t, rs, pid, what):
    # Every record's line, whatever order rsyslog's workers write them in.
    t.check(all(rs.wait_for(" call_tlog(): %s|" % text) for text, _ in LEVELS), "%s: records arrive" % what)
    lines = rs.lines()
    for text, pri in LEVELS:
        hits = [l for l in lines if l.endswith(" call_tlog(): %s|" % text)]
        t.check(len(hits) == 1, "%s: one line for %s: %r" % (what, text, hits))
        if hits:
            t.check(re.match(r"^%d\|mish2\[%d\]:\| \[\d+\] call_tlog\(\): %s\|$" % (pri, pid, text), hits[0]),
                    "%s: priority, tag and text of %s: %r" % (what, text, hits[0]))


def case_udp_and_tcp(t, exe):
    for scheme in ("udp", "tcp"):
        rs = Rsyslog(exe)
        try:
            port = rs.udp if scheme == "udp" else rs.tcp
            v, shell = start_vkto("%s://127.0.0.1:%d" % (scheme, port))
            with v:
                with e2e.ShellConn(shell) as s:
                    s.ask("call tlog")
                check_levels(t, rs, v.proc.pid, scheme)
        finally:
            rs.stop()


def case_dead_tcp_receiver(t, exe):
    rs = Rsyslog(exe)
    try:
        v, shell = start_vkto("tcp://127.0.0.1:%d" % rs.tcp)
        with v:
            stop = threading.Event()

            def drain():
                while not stop.is_set():
                    v._pump(0.05)
            d = threading.Thread(target=drain)
            d.start()
            try:
                with e2e.ShellConn(shell) as s:
                    s.ask("call tlog")
                    t.check(rs.wait_for("log_crit2"), "records arrive before the receiver dies")
                    rs.kill()
                    times = []
                    for i in range(8):
                        t0 = time.monotonic()
                        r = s.ask("call tlog", timeout=5)
                        times.append(time.monotonic() - t0)
                        t.check(r != [], "command %d answered" % i)
                    times.sort()
                    t.check(times[len(times) // 2] < 0.1, "answers within 100 ms: %r" % times)
                    t.check(times[-1] < 1.5, "never beyond the connect bound: %r" % times)
                    r = s.ask("show info", timeout=5)
                    t.check(r and "ver=" in r[0], "the shell still works")
                    # The sender connects again only for a record that
                    # waits: records go on until it has tried.
                    end = time.monotonic() + 15 * e2e.SLOW
                    while b"failed to connect" not in v.err and time.monotonic() < end:
                        s.ask("call tlog", timeout=5)
                        time.sleep(0.2)
            finally:
                stop.set()
                d.join()
            said = "connect: Connection refused\nfailed to connect to 127.0.0.1 port %d\n" % rs.tcp
            t.contains(v.err.decode(errors="replace"), said, "the failed connection is reported with its reason")
    finally:
        rs.stop()


def case_stalled_tcp_peer(t, exe):
    # A peer that takes the connection and reads nothing for a while: no
    # command waits for it; once it reads, a warn note says how many records
    # were dropped, and the log file tells the same count. Then it goes
    # away and the program crashes: the drops since are told on standard
    # error and in the log file before it ends.
    import socket
    lst = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    lst.bind(("127.0.0.1", 0))
    lst.listen(4)
    url = "tcp://127.0.0.1:%d" % lst.getsockname()[1]
    v, shell = e2e.start_shell(exe, log_level="verb", extra="syslog=%s\nfile=vkto.log\nfile_size=64M\n" % url)
    with v:
        stop = threading.Event()
        d = threading.Thread(target=lambda: [v._pump(0.05) for _ in iter(stop.is_set, True)])
        d.start()
        try:
            with e2e.ShellConn(shell) as s:
                s.ask("call tlog")
                lst.settimeout(10 * e2e.SLOW)
                peer, _ = lst.accept()
                # Each request runs 200 commands of 8 records each, until
                # the buffers on the way (some MiB) are full and records
                # are dropped.
                times, start, full = [], time.monotonic(), lambda: b"dropped and counted" in v.err
                while (time.monotonic() < start + 2.5 or len(times) < 48 or not full()) and \
                        time.monotonic() < start + 20 * e2e.SLOW:
                    t0 = time.monotonic()
                    s.ask(";".join(["call tlog"] * 200), n=200, timeout=5)
                    times.append(time.monotonic() - t0)
                t.check(max(times) < 0.9 * e2e.SLOW, "no request waits for the peer: worst %.3f s of %d"
                        % (max(times), len(times)))
                # The peer reads now, with a window that lets the buffered
                # MiB through at loopback speed (a 4 KiB one opens only at
                # the pace of the sender's probes); the wait lasts while
                # they flow, bounded as a whole.
                peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
                got, end, cap = b"", time.monotonic() + 10 * e2e.SLOW, time.monotonic() + 60 * e2e.SLOW
                peer.settimeout(0.05)
                while b"log records dropped" not in got and time.monotonic() < min(end, cap):
                    s.ask("call tlog")
                    try:
                        while True:
                            b = peer.recv(1 << 20)
                            if not b:
                                break
                            got += b
                            end = time.monotonic() + 10 * e2e.SLOW
                    except socket.timeout:
                        pass
                notes = [int(n) for n in re.findall(rb"<12>[^\0]* tag\[\d+\]: (\d+) log records dropped: syslog "
                                                   + re.escape(url.encode()) + rb" could not take them \(", got)]
                t.check(notes and notes[0] > 0, "the note of the drops arrives (%d requests): %r" % (len(times), got[-300:]))
                path = os.path.join(v.dir, "vkto.log")
                told = []
                while notes and told[:1] != notes[:1] and time.monotonic() < end:
                    s.ask("call tlog")
                    with open(path, "rb") as f:
                        told = [int(n) for n in re.findall(rb" WARN  \d+ --- \[[^]]*\] tag (\d+) log records "
                                                           rb"dropped: syslog " + re.escape(url.encode()), f.read())]
                t.eq(told[:1], notes[:1], "the log file tells the same count")
                peer.close()
                lst.close()
                end = time.monotonic() + 15 * e2e.SLOW
                while b"failed to connect" not in v.err and time.monotonic() < end:
                    s.ask("call tlog")
                s.send(b"call null\n")
                t.eq(v.proc.wait(10 * e2e.SLOW), 254, "status after the crash")
                note = r"panic_handler\(\): (\d+) log records dropped: syslog %s could not take them" % re.escape(url)
                while not re.search(note, v.err.decode(errors="replace")) and time.monotonic() < end:
                    time.sleep(0.05)
                told = re.findall(note, v.err.decode(errors="replace"))
                t.check(len(told) == 1 and int(told[0]) > 0, "standard error tells the drops: %r" % v.err[-600:])
                with open(path, errors="replace") as f:
                    t.eq(re.findall(r" WARN  \d+ --- \[[^]]*\] pal " + note, f.read()), told, "the file tells them too")
        finally:
            stop.set()
            d.join()
            lst.close()


def main():
    exe = rsyslogd()
    own_peer = [lambda t: case_stalled_tcp_peer(t, ARGS.vkto)]
    if not exe:
        return e2e.skip_status(e2e.Checks().run(own_peer), ["rsyslogd not found: install the Debian package rsyslog"])
    return e2e.Checks().run([lambda t: case_udp_and_tcp(t, exe), lambda t: case_dead_tcp_receiver(t, exe)] + own_peer)


if __name__ == "__main__":
    sys.exit(main())
