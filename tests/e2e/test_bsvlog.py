"""bsv frames over UDP: vkto runs with [log] bsvlog=udp://127.0.0.1:PORT and a
collector on that port decodes every datagram with a decoder of its own
(byte layout, CRC-8, RC4 on and off); the info frame's identity matches
"show info"; a crash sends exactly its two marked records."""
import os
import re
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
KEY = bytes.fromhex("3f1a7c0e92b45d68e01c7a9b2f463d85")


def crc8(data):
    """CRC-8/SMBUS: polynomial 0x07, initial 0, not reflected."""
    c = 0
    for b in data:
        c ^= b
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
    return c


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for b in data:
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def decode(buf):
    """(flags, info fields, host name, log record fields, strings) of one
    frame; raises on any layout error."""
    b = bytearray(buf)
    n = len(b)
    assert n >= 16, "short frame"
    assert b[:3] == b"bsv", "magic"
    flags = b[3]
    assert flags <= 15, "version"
    if flags & 4:
        b[4:] = rc4(KEY, bytes(b[4:]))
    if flags & 2:
        assert crc8(b[3:n - 1]) == b[n - 1], "crc"
    e = ">" if flags & 1 else "<"
    length, typ = struct.unpack_from(e + "HH", b, 4)
    assert length == n, "length field %d for %d bytes" % (length, n)
    assert typ in (5, 6), "record type %d" % typ
    rec = bytes(b[8:n - (1 if flags & 2 else 0)])
    info = struct.unpack_from((">" if typ == 6 else "<") + "QQQIHBBH", rec, 0)
    z = rec.index(b"\0", 34)
    host = rec[34:z].decode()
    log = rec[z + 1:]
    fixed = struct.unpack_from("<QIIIB", log, 0)
    strings = log[21:].split(b"\0")[:6]
    assert len(strings) == 6 and log.endswith(b"\0"), "six strings"
    return flags, info, host, fixed, [s.decode(errors="replace") for s in strings]


class Collector:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def frames(self, want, timeout=10.0):
        out = []
        end = time.monotonic() + timeout
        while len(out) < want and time.monotonic() < end:
            self.sock.settimeout(max(0.05, end - time.monotonic()))
            try:
                out.append(self.sock.recv(65535))
            except socket.timeout:
                break
        return out

    def close(self):
        self.sock.close()


def show_info(port):
    with e2e.ShellConn(port) as s:
        text = s.ask("show info")[0]
    return dict(re.findall(r"^(\w+)=(.*)$", text, re.M))


def check_identity(t, info, host, fixed, shown, what, running=True):
    sid, bid, stime, ver_id, app_id, os_id, arch_id, type_id = info
    t.eq(sid, int(shown["hw_info"], 16), "%s: sid is the hardware id of show info" % what)
    t.eq(ver_id, 0x01000000, "%s: packed version of %s" % (what, shown["ver"]))
    t.eq((os_id, arch_id, type_id), (2, 42, 1), "%s: os, arch and type ids" % what)
    t.eq(host, shown["os_info"].strip("'").split()[1], "%s: host name of show info" % what)
    now = time.time()
    t.check(now - 600 < stime <= now and bid <= stime, "%s: start and boot times %d %d" % (what, stime, bid))
    t.check(abs(fixed[0] - now) < 600, "%s: record time" % what)
    if running:
        t.check(os.path.exists("/proc/%d" % fixed[2]), "%s: the record's pid %d runs" % (what, fixed[2]))


def checked_frames(t, frames, want_flags, shown, what, running=True):
    """[(fixed, strings)] of the frames that decode, after the checks every
    frame of this program passes: flags, size, identity."""
    out = []
    for f in frames:
        try:
            flags, info, host, fixed, strings = decode(f)
        except AssertionError as e:
            t.check(False, "%s: frame decodes: %s" % (what, e))
            continue
        t.eq(flags, want_flags, "%s: flags" % what)
        t.check(len(f) <= 1472, "%s: at most 1472 bytes" % what)
        check_identity(t, info, host, fixed, shown, what, running)
        out.append((fixed, strings))
    return out


def daemon_frame(t, scheme, want_flags):
    """The command-line record of a daemon (level bit 0x400) is logged
    before the fork, before the sender exists: it is held and sent by the
    child's sender thread."""
    col = Collector()
    try:
        port = e2e.free_port()
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port, log_level="dbg",
                                                 extra="bsvlog=%s://127.0.0.1:%d\n" % (scheme, col.port)),
                     args=["-q", "-d"], stdin_pipe=False)
        with v:
            v.start()
            t.check(e2e.wait_port(port), "%s: daemon shell port" % scheme)
            frames = col.frames(1)
            t.eq(len(frames), 1, "%s: the banner frame arrives" % scheme)
            shown = show_info(port)
            for fixed, strings in checked_frames(t, frames, want_flags, shown, scheme):
                t.eq(fixed[4], 7, "%s: level of the record" % scheme)
                t.eq(strings[0], "pal", "%s: module of the record" % scheme)
                t.check(strings[5].startswith("cmdline=[") and strings[5].endswith("]\n"),
                        "%s: the command-line record: %r" % (scheme, strings[5]))
            # Nothing but marked records is sent.
            with e2e.ShellConn(port) as s:
                s.ask("show info")
                t.eq(col.frames(1, timeout=0.5), [], "%s: ordinary records send no frame" % scheme)
                s.send("exit\n")
                s.closed_within(5)
            end = time.monotonic() + 5
            while e2e.wait_port(port, timeout=0.2) and time.monotonic() < end:
                time.sleep(0.1)
            t.check(time.monotonic() < end, "%s: the daemon stops on exit" % scheme)
    finally:
        col.close()


def crash_frames(t, scheme, want_flags):
    """"call null" in a shell session: the crash report sends the last-log
    text (bsv outputs only) and the signal record as frames, and nothing
    else (the version record is not marked)."""
    col = Collector()
    try:
        port = e2e.free_port()
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port,
                                                 extra="bsvlog=%s://127.0.0.1:%d\n" % (scheme, col.port)),
                     args=["-q"])
        with v:
            v.start()
            t.check(e2e.wait_port(port), "%s: shell port" % scheme)
            shown = show_info(port)
            with e2e.ShellConn(port) as s:
                s.send("call null\n")
                s.closed_within(5)
            t.eq(v.wait(10), 254, "%s: status after the crash" % scheme)
            frames = col.frames(3, timeout=5)
            t.eq(len(frames), 2, "%s: the crash sends two frames" % scheme)
            got = []
            for fixed, strings in checked_frames(t, frames, want_flags, shown, scheme + " crash", running=False):
                t.eq(fixed[2], v.proc.pid, "%s: pid of the crashed process" % scheme)
                t.eq(fixed[4], 2, "%s: crit level" % scheme)
                t.eq((strings[0], strings[2], strings[4]),
                     ("pal", "src/lib/libpal/os/posix/os_panic", "panic_handler"),
                     "%s: module, source and function" % scheme)
                t.check(re.fullmatch(r"(\w+_[0-9a-f]{4}_)?%d" % fixed[3], strings[1]) is not None,
                        "%s: thread name %r of thread %d" % (scheme, strings[1], fixed[3]))
                got.append(strings[5])
            if len(got) == 2:
                t.check(got[0].startswith("[") and got[0].endswith("]") and "user req null=0 !!" in got[0],
                        "%s: the last-log text: %r" % (scheme, got[0]))
                t.eq(got[1], "signo=11 [Segmentation fault]\n", "%s: the signal record" % scheme)
            t.contains(v.err.decode(errors="replace"), "signo=11 [Segmentation fault]",
                       "%s: report on standard error" % scheme)
    finally:
        col.close()


def case_plain_frames(t):
    daemon_frame(t, "udp", 0x02)


def case_enciphered_frames(t):
    daemon_frame(t, "udps", 0x06)


def case_crash_frames(t):
    crash_frames(t, "udp", 0x02)


def case_enciphered_crash_frames(t):
    crash_frames(t, "udps", 0x06)


def case_unusable_values_are_told(t):
    # A value that is no URL is named at start and the output stays off (no
    # URL in the settings); a host that does not resolve is named by the
    # sender when it gives up.
    for value, want, shown in (
            ("127.0.0.1:25197", "vkto: bsvlog 127.0.0.1:25197: not a URL (udp://host[:port] or udps://host[:port])\n",
             "''"),
            ("udp://bad..name:514", "vkto: bsvlog udp://bad..name:514: no socket to bad..name port 514 (the host does "
             "not resolve or cannot be reached); no frames are sent\n", "udp://bad..name:514")):
        v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="bsvlog=%s\n" % value), args=["-q"])
        with v:
            v.start()
            v.wait_prompt()
            out = v.command("show config")[0]
            v.read_until(want.encode(), stream="err")
            v.command("call tlog")
            v.close_stdin()
            t.eq(v.wait(10), 0, "%s: status" % value)
        t.contains(out, "log_bsvlog_url=%s\n" % shown, "%s: show config" % value)
        t.eq(v.err.decode(errors="replace").count("vkto: bsvlog"), 1, "%s: told once: %r" % (value, v.err[-600:]))


if __name__ == "__main__":
    sys.exit(e2e.Checks().run([case_plain_frames, case_enciphered_frames, case_crash_frames,
                               case_enciphered_crash_frames, case_unusable_values_are_told]))
