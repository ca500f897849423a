"""Command-line options of vkto: texts and exit statuses."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
USAGE = "Usage: vkto [opt] [arguments] ...\n\t-c [config_file]  set config file\n"
BANNER = "vkto-linux-powerpc64le v1.0.0.0 (2024-1-9) - "


def run(args, ini=e2e.ini_text(), stdin=b""):
    rc, out, err = e2e.Vkto(ARGS.vkto, ini=ini, args=args).run(stdin)
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


def case_show_config_sources(t):
    # No INI file: the built-in ports stay.
    rc, out, err = run(["-p"], ini=None)
    t.eq(rc, 0, "-p status")
    t.contains(out, "http_server_port=12580\nhttp_server_addr=''\ndebug_server_port=12581\n",
               "-p without INI")
    t.contains(out, "log_level=info\n", "-p log level")
    # A file without port keys switches both servers off.
    rc, out, err = run(["-p"], ini="[debug]\nhttp_server_user=u\n")
    t.contains(out, "http_server_port=0\nhttp_server_addr=''\ndebug_server_port=0\n", "-p keyless INI")
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
    rc, out, err = run(["-c", "missing.ini", "-p"], ini=e2e.ini_text(4001, 4002))
    t.contains(out, "debug_server_port=4001\n", "-c missing file falls back to vkto.ini")


def case_quiet_and_exec(t):
    rc, out, err = run(["-q", "-p"])
    t.check(BANNER not in err, "-q hides the banner")
    rc, out, err = run(["-p"])
    t.contains(err, BANNER, "banner on stderr")
    rc, out, err = run(["-e", "show info"])
    t.eq(rc, 1, "-e status without an instance to answer")


def case_port_range(t):
    rc, out, err = run(["-s", "debug_server_port=70000"], stdin=b"show config\nquit\n")
    t.eq(rc, 0, "out-of-range port still runs")
    t.contains(err, "debug_server_port=70000 out of range", "out-of-range port refused")
    t.contains(out.replace("\r\n", "\n"), "debug_server_port=0\n", "server left off")


sys.exit(e2e.Checks().run([case_version_and_help, case_refused_letters, case_s_list_and_bad_pairs,
                           case_show_config_sources, case_bad_and_missing_files,
                           case_quiet_and_exec, case_port_range]))
