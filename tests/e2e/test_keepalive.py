"""TCP keepalive on the shell's sessions: a peer that vanishes without a FIN
or a reset loses its session once the probes go unanswered, while an idle
peer that answers them keeps it.

The default times (60 s idle, 10 s apart, 3 probes) are read from the
kernel's timer of a live session. The vanishing peers run inside a network
namespace this test creates (unshare -rn): they connect from 127.0.0.2,
then every packet to 127.0.0.2 is dropped by a blackhole rule, and vkto
runs with VK_SHELL_KEEPALIVE=2,1,2 so that the sessions end in seconds.
Where namespaces are not allowed, that part is skipped with a message."""
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
INSIDE = "--inside-netns" in sys.argv
CAP = 256


def tcp_timer(local_port, remote_port):
    """(timer kind, seconds left) of the IPv4 socket local_port ->
    remote_port on 127.0.0.1, from /proc/net/tcp; None when not found."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            lport = int(fields[1].split(":")[1], 16)
            rport = int(fields[2].split(":")[1], 16)
            if (lport, rport) == (local_port, remote_port):
                kind, when = fields[5].split(":")
                return int(kind, 16), int(when, 16) / float(os.sysconf("SC_CLK_TCK"))
    return None


def case_default_times(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v, e2e.ShellConn(port) as c:
        t.eq(c.ask("echo up"), ["up\n"], "session answers")
        mine = c.sock.getsockname()[1]
        timer = tcp_timer(port, mine)
        t.check(timer is not None, "server side of the session found")
        if timer:
            kind, left = timer
            t.eq(kind, 2, "an idle session runs the keepalive timer")
            t.check(50 <= left <= 60.5, "first probe after 60 s of silence (%.1f s left)" % left)
        # The options themselves, through ss when it is there.
        try:
            ss = subprocess.run(["ss", "-tnoH", "state", "established", "( sport = :%d )" % port],
                                capture_output=True, text=True, timeout=10).stdout
            t.contains(ss, "keepalive", "ss shows the keepalive timer")
        except (OSError, subprocess.TimeoutExpired):
            pass


def namespaces_allowed():
    """None when 'unshare -rn' can make a network namespace with a working
    'ip'; else the reason it cannot."""
    try:
        r = subprocess.run(["unshare", "-rn", "sh", "-c", "ip link set lo up && ip rule list >/dev/null"],
                           capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired) as e:
        return str(e)
    if r.returncode != 0:
        return (r.stderr or r.stdout).strip() or "status %d" % r.returncode
    return None


def run_inside():
    """Runs this file again inside a fresh network namespace."""
    why = namespaces_allowed()
    if why:
        return e2e.skip_status(0, ["the vanishing-peer cases need a network namespace (unshare -rn): %s" % why])
    try:
        r = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                            "--vkto", ARGS.vkto, "--inside-netns"], timeout=240)
    except subprocess.TimeoutExpired:
        print("FAIL: the namespace run did not end within 240 s")
        return 1
    return r.returncode


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True, capture_output=True, timeout=20)


def vanishing_peer(port):
    """A session from 127.0.0.2 that has been answered once."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(10)
    s.bind(("127.0.0.2", 0))
    s.connect(("127.0.0.1", port))
    s.sendall(b"echo v\n")
    got = b""
    while b"\0" not in got:
        chunk = s.recv(100)
        if not chunk:
            raise AssertionError("vanishing peer: session closed early")
        got += chunk
    return s


def case_vanished_peers(t):
    ip("link", "set", "lo", "up")
    env = dict(os.environ, VK_SHELL_KEEPALIVE="2,1,2")
    v, port = e2e.start_shell(ARGS.vkto, env=env, log_level="dbg")
    with v:
        # (once the session of the port's probe has ended)
        base = e2e.stable_counts(v.proc.pid)
        peers = [vanishing_peer(port) for _ in range(CAP - 1)]
        idle = e2e.ShellConn(port)
        t.eq(idle.ask("echo idle"), ["idle\n"], "idle peer answered")
        t.eq(e2e.proc_counts(v.proc.pid)[0] - base[0], CAP, "one thread per session, the cap reached")
        # A connection on the full table takes the place of the session
        # idle longest (the first vanishing peer's).
        with e2e.ShellConn(port) as over:
            t.eq(over.ask("echo over"), ["over\n"], "a connection on a full table is served")
        # The peers vanish: nothing reaches 127.0.0.2 any more, and they
        # send nothing (no FIN, no reset). The local table has to come
        # after the blackhole rule for loopback addresses.
        ip("rule", "add", "to", "127.0.0.2", "blackhole", "pref", "10")
        ip("rule", "del", "pref", "0")
        ip("rule", "add", "pref", "100", "lookup", "local")
        t0 = time.monotonic()
        want = (base[0] + 1, base[1] + 1)  # the idle peer's session stays
        got = e2e.wait_counts(v.proc.pid, want, timeout=60)
        took = time.monotonic() - t0
        t.eq(got, want, "the vanished peers' sessions (threads, descriptors) are gone")
        # Idle 2 s, then 2 probes 1 s apart: about 4 s.
        t.check(took < 30, "within 30 s of the peers vanishing (%.1f s)" % took)
        t.eq(idle.ask("echo still"), ["still\n"], "the idle peer that answers probes keeps its session")
        with e2e.ShellConn(port) as fresh:
            t.eq(fresh.ask("echo fresh"), ["fresh\n"], "new sessions are taken again")
        v._pump(0.2)
        t.check(v.proc.poll() is None, "still running")
        idle.close()
        for s in peers:
            s.close()


if INSIDE:
    sys.exit(e2e.Checks().run([case_vanished_peers]))
rc = e2e.Checks().run([case_default_times])
inner = run_inside()
sys.exit(rc or inner)
