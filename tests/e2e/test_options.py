"""Command-line options of vkto: texts and exit statuses; where the debug
servers listen."""
import http.client
import os
import re
import shutil
import socket
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
SKIPPED = []
USAGE = "Usage: vkto [opt] [arguments] ...\n\t-c [config_file]  set config file\n"
BANNER = "vkto-linux-powerpc64le v1.0.0.0 (2024-1-9) - "


def run(args, ini=e2e.ini_text(), stdin=b""):
    return run_in(e2e.Vkto(ARGS.vkto, ini=ini, args=args), stdin)


def run_in(v, stdin=b""):
    rc, out, err = v.run(stdin)
    return rc, out.decode(errors="replace"), err.decode(errors="replace")


def case_version_and_help(t):
    rc, out, err = run(["-v"])
    t.eq((rc, out), (0, "1.0.0.0\n"), "-v")
    rc, out, err = run(["-h"])
    t.eq(rc, 0, "-h status")
    t.contains(err, BANNER, "-h banner")
    t.contains(err, USAGE, "-h usage")
    t.contains(err, "\t-h display this help\n", "-h usage end")
    rc, out, err = run(["-q", "-h"])
    t.check(BANNER not in err and USAGE in err, "-q -h has no banner: %r" % err)


def case_refused_letters(t):
    for opt in (["-i"], ["-u"], ["-w"], ["-x"], ["-c"]):
        rc, out, err = run(opt)
        t.eq(rc, 1, "%s status" % opt)
        t.contains(err, USAGE, "%s usage" % opt)


def case_s_list_and_bad_pairs(t):
    rc, out, err = run(["-s", "list"])
    t.eq(rc, 0, "-s list status")
    t.contains(err, "support the following key settings\nhttp_server_port\ndebug_server_port\n",
               "-s list keys")
    rc, out, err = run(["-s", "nokey", "-p"])
    t.eq(rc, 0, "-s bad pair goes on")
    t.contains(err, "nokey syntax error Example: k=v", "-s syntax error text")
    rc, out, err = run(["-s", "zzz=1", "-p"])
    t.contains(err, "unsupported key [zzz]", "-s unknown key text")
    rc, out, err = run(["-s", "ke\x1b[31my=1", "-c", "a\x1bb.ini", "-p"])
    t.contains(err, "unsupported key [ke\\x1b\\x5b31my]", "-s key escaped")
    t.contains(err, "/a\\x1bb.ini not found", "-c path escaped")
    t.check("\x1b[31my" not in err and "a\x1bb" not in err, "nothing raw on standard error: %r" % err)
    # A port that is no number is told as the INI tells it, and 0 (or the
    # number in front) is used.
    for value, why, used in (("abc", "is not a number", 0), ("", "is not a number", 0),
                             ("25011x", "is not a whole number", 25011)):
        rc, out, err = run(["-q", "-s", "debug_server_port=" + value, "-p"], ini=e2e.ini_text(2001))
        t.eq(rc, 0, "-s debug_server_port=%s: status" % value)
        t.contains(err, "os_opt_kv_apply(): -s debug_server_port=%s %s, %d is used\n" % (value, why, used),
                   "-s debug_server_port=%s told" % value)
        t.contains(out, "debug_server_port=%d\n" % used, "-s debug_server_port=%s used" % value)
        rc, out, err = run(["-q", "-p"], ini="[debug]\nshell_server_port=%s\n" % (value or "x"))
        t.contains(err, "[debug] shell_server_port=%s %s" % (value or "x", why), "the INI's message")


def case_show_config_sources(t):
    # No INI file (also a -c name that does not exist): the built-in ports,
    # both servers on loopback.
    loopback = "http_server_port=12580\nhttp_server_addr=127.0.0.1\ndebug_server_port=12581\n" \
               "debug_server_addr=127.0.0.1\n"
    rc, out, err = run(["-p"], ini=None)
    t.eq(rc, 0, "-p status")
    t.contains(out, loopback, "-p without INI")
    t.contains(out, "log_level=info\n", "-p log level")
    rc, out, err = run(["-q", "-c", "missing.ini", "-p"], ini=None)
    t.eq(rc, 0, "-p with a missing -c file and no INI: status")
    t.contains(out, loopback, "-p with a missing -c file and no INI")
    t.check(err.startswith("vkto: configuration file /") and
            err.endswith("/missing.ini not found, using the built-in settings\n"),
            "missing -c file named on stderr even with -q: %r" % err)
    # A file without port keys switches both servers off; without address
    # keys they stay on loopback; an empty address is every address.
    rc, out, err = run(["-p"], ini="[debug]\nhttp_server_user=u\n")
    t.contains(out, "http_server_port=0\nhttp_server_addr=127.0.0.1\ndebug_server_port=0\n"
               "debug_server_addr=127.0.0.1\n", "-p keyless INI")
    rc, out, err = run(["-p"], ini="[debug]\nhttp_server_addr=\nshell_server_addr=\n")
    t.contains(out, "http_server_addr=''\ndebug_server_port=0\ndebug_server_addr=''\n", "-p empty addresses")
    t.check("=u\n" not in out, "user is not shown")
    # INI values, then -s over them.
    rc, out, err = run(["-p"], ini=e2e.ini_text(2001, 2002, "warn"))
    t.contains(out, "http_server_port=2002\nhttp_server_addr=127.0.0.1\ndebug_server_port=2001\n",
               "-p INI ports")
    t.contains(out, "log_level=warn\n", "-p INI log level")
    rc, out, err = run(["-s", "debug_server_port=3003", "-s", "HTTP_SERVER_PORT=0", "-p"],
                       ini=e2e.ini_text(2001, 2002))
    t.contains(out, "http_server_port=0\nhttp_server_addr=127.0.0.1\ndebug_server_port=3003\n",
               "-s over INI")
    rc, out, err = run(["-p"], ini="[debug]\nhttp_server_port=1\npanic_dump_dir=a b\n")
    t.contains(out, "panic_dump_dir='a b'\n", "quoted text value")
    rc, out, err = run(["-l", "err", "-p"])
    t.contains(out, "log_level=err\n", "-l applies after the file")


def case_bad_and_missing_files(t):
    rc, out, err = run(["-p"], ini="[debug]\nthis is not valid\n")
    t.eq(rc, 1, "bad INI stops the program")
    t.contains(err, "vkto.ini: syntax error in line 2", "bad INI reported")
    rc, out, err = run(["-c", "missing.ini", "-p"], ini=e2e.ini_text(4001, 4002, "warn"))
    t.eq(rc, 0, "-c missing file: status")
    t.contains(out, "debug_server_port=4001\n", "-c missing file falls back to vkto.ini")
    t.contains(out, "log_level=warn\n", "the fallback file's log settings too")
    t.eq(len(re.findall(r"^vkto: configuration file (/\S+)/missing\.ini not found, using \1/vkto\.ini$",
                        err, re.M)), 1, "missing -c file and its fallback named once: %r" % err)


def case_quiet_and_exec(t):
    rc, out, err = run(["-q", "-p"])
    t.check(BANNER not in err, "-q hides the banner")
    rc, out, err = run(["-p"])
    t.contains(err, BANNER, "banner on stderr")
    rc, out, err = run(["-e", "show info"])
    t.eq(rc, 1, "-e status without an instance to answer")


def case_unusable_syslog_value_is_told(t):
    # A value that is no URL leaves the output off, and the settings say so;
    # a host that does not resolve leaves it on.
    for value, want, on in (("127.0.0.1", "vkto: syslog 127.0.0.1: not a URL (udp://host[:port] or tcp://host[:port])\n", 0),
                            ("udp://bad..name:514", "vkto: syslog udp://bad..name:514: host bad..name does not resolve (", 1)):
        ini = e2e.ini_text(extra="syslog=%s\n" % value)
        rc, out, err = run(["-q"], ini=ini, stdin=b"call tlog\nshow config\nquit\n")
        t.eq(rc, 0, "%s: status" % value)
        t.contains(err, want, "%s: told" % value)
        t.eq(err.count("vkto: syslog "), 1, "%s: told once: %r" % (value, err[-600:]))
        shown = "log_syslog_enale_out=%d\nlog_syslog_url=%s\n" % (on, value)
        t.contains(out.replace("\r\n", "\n"), shown, "%s: show config" % value)
        rc, out, err = run(["-q", "-p"], ini=ini)
        t.contains(out, shown, "%s: -p" % value)


def case_port_held_by_another_program(t):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        s.listen(4)
        port = s.getsockname()[1]
        rc, out, err = run(["-q"], ini=e2e.ini_text(port, 0))
    t.eq(rc, 1, "status of the refused start")
    t.contains(err, "Can only run one instance\n", "the refusal text")
    t.contains(err, "127.0.0.1:%d answered: another instance or another program holds that port; stop it, or "
               "choose other ports (-s debug_server_port=PORT)\n" % port, "the address and port that answered")


CLASH_END = "; the web tool and the TCP shell need a port each\n"


def case_one_port_for_both_servers(t):
    port = e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(port, port), args=["-q"])
    ini = os.path.join(v.dir, "vkto.ini")
    rc, out, err = run_in(v, b"quit\n")
    t.eq(rc, 1, "one INI port for both servers: status")
    t.eq(err, "vkto: debug:http_server_port=%d in %s: the TCP shell has that port already "
         "(debug:shell_server_port)%s" % (port, ini, CLASH_END), "one INI port for both servers: the keys named")
    # -s is applied first; -p is refused the same way.
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(port, port + 1), args=["-q", "-s", "http_server_port=%d" % port, "-p"])
    ini = os.path.join(v.dir, "vkto.ini")
    rc, out, err = run_in(v)
    t.eq((rc, out), (1, ""), "-s onto the shell's port: status")
    t.eq(err, "vkto: -s http_server_port=%d: the TCP shell has that port already (debug:shell_server_port in %s)%s"
         % (port, ini, CLASH_END), "-s onto the shell's port: the keys named")
    rc, out, err = run(["-q", "-s", "debug_server_port=12580"], ini=None)
    t.eq(rc, 1, "-s onto the built-in web port: status")
    t.eq(err, "vkto: -s debug_server_port=12580: the web tool has that port already (the built-in "
         "http_server_port)" + CLASH_END, "-s onto the built-in web port: the keys named")
    # -s that parts them, and ports of 0 (servers off), never clash.
    for args, ini in ((["-s", "http_server_port=%d" % (port + 1)], e2e.ini_text(port, port)),
                      (["-s", "http_server_port=0", "-s", "debug_server_port=0"], None),
                      ([], e2e.ini_text(0, 0))):
        rc, out, err = run(["-q", "-p"] + args, ini=ini)
        t.eq(rc, 0, "no clash: %s %r" % (args, ini))
    with socket.socket() as s:
        t.check(s.connect_ex(("127.0.0.1", port)) != 0, "nothing listened on the refused port")


def case_web_port_of_another_instance(t):
    """A second vkto with a shell port of its own but the first one's web
    port starts without the web tool: the port is not shared."""
    sp, hp = e2e.free_port(), e2e.free_port()
    login = "\nhttp_server_user=u\nhttp_server_pwd=p\n\n[log]"
    first = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(sp, hp).replace("\n\n[log]", login), args=["-q"])
    with first:
        first.start()
        first.wait_prompt()
        e2e.wait_port(hp)
        second = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(e2e.free_port(), hp), args=["-q"])
        with second:
            second.start()
            second.wait_prompt()
            second.command("echo ready")
            err = second.err.decode(errors="replace")
            t.contains(err, "socket_bind port [127.0.0.1]:%d error: Address already in use" % hp, "bind error")
            t.contains(err, "debug_http_server_init failed", "web tool not started")
            # Only the first (with its login) answers the web port.
            codes = []
            for _ in range(6):
                c = http.client.HTTPConnection("127.0.0.1", hp, timeout=5)
                try:
                    c.request("GET", "/cmd?command=echo%20hi")
                    codes.append(c.getresponse().status)
                finally:
                    c.close()
            t.eq(codes, [401] * 6, "every request reaches the first instance")
            second.proc.stdin.write(b"quit\n")
            second.proc.stdin.flush()
            t.eq(second.wait(), 0, "the second instance runs on without its web tool")


def case_port_range(t):
    rc, out, err = run(["-s", "debug_server_port=70000"], stdin=b"show config\nquit\n")
    t.eq(rc, 0, "out-of-range port still runs")
    t.contains(err, "debug_server_port=70000 out of range", "out-of-range port refused")
    t.contains(out.replace("\r\n", "\n"), "debug_server_port=0\n", "server left off")


def listeners(pid, port):
    """The addresses the process listens on at port, from its /proc view of
    its network namespace."""
    found = []
    for name, words in (("tcp", 1), ("tcp6", 4)):
        try:
            with open("/proc/%d/net/%s" % (pid, name)) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            cols = row.split()
            addr, p = cols[1].split(":")
            if cols[3] != "0A" or int(p, 16) != port:
                continue
            raw = b"".join(struct.pack("=I", int(addr[i:i + 8], 16)) for i in range(0, 8 * words, 8))
            found.append(socket.inet_ntop(socket.AF_INET if words == 1 else socket.AF_INET6, raw))
    return sorted(found)


def started_servers(ini, wrap=()):
    """vkto in the foreground with the two servers on free ports (ini takes
    them, or -s gives them when there is no INI), run through the wrap
    command; returns (process, shell port, http port) once it answers."""
    sp, hp = e2e.free_port(), e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=None if ini is None else ini % (sp, hp), args=["-q"])
    if ini is None:
        v.args += ["-s", "debug_server_port=%d" % sp, "-s", "http_server_port=%d" % hp]
    if wrap:
        v.args = list(wrap[1:]) + [v.exe] + v.args
        v.exe = wrap[0]
    v.start()
    v.wait_prompt()
    v.command("echo ready")  # the start records are out by now
    return v, sp, hp


def case_debug_servers_on_loopback_without_ini(t):
    v, sp, hp = started_servers(None)
    with v:
        for port in (sp, hp):
            t.eq(listeners(v.proc.pid, port), ["127.0.0.1"], "no INI: port %d on 127.0.0.1 only" % port)
            try:
                socket.create_connection(("127.0.0.2", port), timeout=3).close()
                reached = True
            except OSError:
                reached = False
            t.check(not reached, "no INI: port %d refuses a connection to 127.0.0.2" % port)
        t.check(b"beyond loopback" not in v.err, "no INI: no warning: %r" % v.err[-500:])


def case_empty_address_is_every_address(t):
    # Every address, in a network namespace of the test's own: nothing is
    # reachable from outside it.
    # -r: a user namespace as well, so that a normal user can make it.
    wrap = ("unshare", "-rn", "--")
    probe = subprocess.run(list(wrap) + ["true"], capture_output=True, text=True) if shutil.which("unshare") else None
    if not probe or probe.returncode != 0:
        SKIPPED.append("every-address case: cannot make a network namespace (unshare -rn: %s)"
                       % (probe.stderr.strip() if probe else "not installed"))
        return
    open_ini = "[debug]\nshell_server_port=%d\nshell_server_addr=\nhttp_server_port=%d\nhttp_server_addr=\n"
    v, sp, hp = started_servers(open_ini, wrap)
    with v:
        err = v.err.decode(errors="replace")
        for port in (sp, hp):
            t.eq(listeners(v.proc.pid, port), ["0.0.0.0", "::"], "empty address: port %d" % port)
        t.contains(err, "TCP shell listens beyond loopback on every address port %d without a login: "
                   "whoever connects runs commands as this program's user\n" % sp, "shell warning")
        t.contains(err, "web debug tool listens beyond loopback on every address port %d without a login: "
                   "set http_server_user and http_server_pwd\n" % hp, "web warning")
        t.check(err.count("beyond loopback") == 2, "one warning each: %r" % err[-800:])
    # With a web login only the shell is warned about.
    v, sp, hp = started_servers(open_ini + "http_server_user=u\nhttp_server_pwd=p\n", wrap)
    with v:
        err = v.err.decode(errors="replace")
        t.contains(err, "TCP shell listens beyond loopback on every address port %d" % sp, "shell warning")
        t.check("web debug tool listens" not in err, "no web warning with a login: %r" % err[-800:])


rc = e2e.Checks().run([case_version_and_help, case_refused_letters, case_s_list_and_bad_pairs,
                      case_show_config_sources, case_bad_and_missing_files,
                      case_quiet_and_exec, case_port_range, case_unusable_syslog_value_is_told,
                      case_port_held_by_another_program, case_one_port_for_both_servers,
                      case_web_port_of_another_instance,
                      case_debug_servers_on_loopback_without_ini, case_empty_address_is_every_address])
sys.exit(e2e.skip_status(rc, SKIPPED))
