"""A configuration file that exists but does not load stops vkto before any
server starts: one message naming the file (and the line of a syntax
error), exit status 1. Missing files keep their fallbacks."""
import os
import re
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
BANNER = b"vkto-linux-powerpc64le"
FIFO = "fifo"


def run_with(files, args=(), timeout=20):
    """Runs vkto -q with the given files (name -> bytes, or None for a
    directory) in its directory; returns (status, stdout, stderr, dir)."""
    v = e2e.Vkto(ARGS.vkto, ini=None, args=["-q"] + list(args))
    for name, data in files.items():
        path = os.path.join(v.dir, name)
        if data is None:
            os.mkdir(path)
        elif data is FIFO:
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                f.write(data)
    d = v.dir
    rc, out, err = v.run(b"quit\n", timeout=timeout)
    return rc, out.decode(errors="replace"), err, d


def printable(err):
    return all(b == 10 or 32 <= b < 127 for b in err)


def refused(t, what, rc, err, name, reason):
    text = err.decode(errors="replace")
    t.eq(rc, 1, "%s: exit status" % what)
    t.check(name in text, "%s: the message names %s: %r" % (what, name, text))
    t.check(reason in text, "%s: the message says %r: %r" % (what, reason, text))
    t.eq(text.count("cannot load the configuration file"), 1, "%s: one message" % what)
    t.check(BANNER not in err, "%s: stopped before the banner" % what)
    t.check(printable(err), "%s: nothing unprintable reaches the terminal: %r" % (what, err))


def case_syntax_error_line(t):
    port = e2e.free_port()
    ini = ("[debug]\nshell_server_port=%d\n\nthis line is not a setting\n[log]\nlevel=info\n"
           % port).encode()
    rc, out, err, d = run_with({"vkto.ini": ini})
    refused(t, "syntax error", rc, err, "vkto.ini", "syntax error in line 4: this line is not a setting")
    t.eq(err.decode().count("syntax error"), 1, "the syntax error is reported once")
    # Nothing listened on the file's port (the process is gone, and never
    # got as far as the servers).
    with socket.socket() as s:
        s.settimeout(0.5)
        t.check(s.connect_ex(("127.0.0.1", port)) != 0, "nothing listens on the shell port")


def case_syntax_error_in_c_file_and_with_p_and_e(t):
    bad = b"[debug]\nk\n"
    for args in (["-c", "other.ini"], ["-c", "other.ini", "-p"], ["-c", "other.ini", "-e", "help"]):
        rc, out, err, d = run_with({"other.ini": bad, "vkto.ini": e2e.ini_text().encode()}, args)
        refused(t, " ".join(args), rc, err, "other.ini", "line 2")


def case_long_line(t):
    ok = b"[s]\nk=" + b"v" * 1021 + b"\n"   # 1023 characters
    rc, out, err, d = run_with({"vkto.ini": ok}, ["-p"])
    t.eq(rc, 0, "a line of 1023 characters loads")
    long = b"[s]\nk=" + b"v" * 1022 + b"\n"  # 1024 characters
    rc, out, err, d = run_with({"vkto.ini": long})
    refused(t, "long line", rc, err, "vkto.ini", "line 2 is longer than 1023 characters")


def case_binary_junk(t):
    junk = bytes(range(256)) * 8 + b"\x1b[31mred\x1b[0m\n\x07\x00\xff=\x01\n"
    rc, out, err, d = run_with({"vkto.ini": junk})
    refused(t, "binary junk", rc, err, "vkto.ini", "syntax error in line 1")
    t.check(b"\\x" in err, "unprintable bytes are shown escaped: %r" % err)


def case_directory(t):
    rc, out, err, d = run_with({"vkto.ini": None})
    refused(t, "directory beside the program", rc, err, "vkto.ini", "is a directory")
    rc, out, err, d = run_with({"conf.d.ini": None, "vkto.ini": e2e.ini_text().encode()},
                               ["-c", "conf.d.ini"])
    refused(t, "-c directory", rc, err, "conf.d.ini", "is a directory")
    for args in (["-c", "pipe.ini"], ["-c", "pipe.ini", "-p"]):
        rc, out, err, d = run_with({"pipe.ini": FIFO, "vkto.ini": e2e.ini_text().encode()}, args, timeout=10)
        refused(t, " ".join(args) + " (a FIFO)", rc, err, "pipe.ini", "is a FIFO, not a regular file")


def case_wrong_name(t):
    rc, out, err, d = run_with({"settings.conf": b"[debug]\nshell_server_port=0\n",
                                "vkto.ini": e2e.ini_text().encode()}, ["-c", "settings.conf"])
    refused(t, "wrong name", rc, err, "settings.conf", "does not end in .ini or .vtc")


def case_unreadable(t):
    if os.geteuid() == 0:
        return  # root reads every file
    v = e2e.Vkto(ARGS.vkto, ini="[debug]\n", args=["-q"])
    os.chmod(os.path.join(v.dir, "vkto.ini"), 0)
    rc, out, err = v.run(b"quit\n")
    refused(t, "unreadable", rc, err, "vkto.ini", "cannot be opened")


def case_missing_files_fall_back(t):
    # A -c file that is missing: the default name beside the program.
    ini = e2e.ini_text(shell_port=0, http_port=0, log_level="dbg").encode()
    rc, out, err, d = run_with({"vkto.ini": ini}, ["-c", "missing.ini", "-p"])
    t.eq(rc, 0, "missing -c file: status")
    t.contains(out, "debug_server_port=0\n", "missing -c file: the default file is read")
    # No file at all: the built-in ports.
    rc, out, err, d = run_with({}, ["-p"])
    t.eq(rc, 0, "no file: status")
    t.contains(out, "http_server_port=12580\n", "no file: built-in port")
    # A good file with a value cut by '#' loads, with a warning.
    rc, out, err, d = run_with({"vkto.ini": b"[debug]\nhttp_server_pwd=ab#cd\n"}, ["-p"])
    t.eq(rc, 0, "cut value: loads")
    text = err.decode(errors="replace")
    t.check(re.search(r"value of http_server_pwd in \S*vkto.ini \(2\) ends at '#'", text),
            "cut value: warned once: %r" % text)
    t.eq(text.count("http_server_pwd in"), 1, "cut value: one warning")


if __name__ == "__main__":
    sys.exit(e2e.Checks().run([
        case_syntax_error_line,
        case_syntax_error_in_c_file_and_with_p_and_e,
        case_long_line,
        case_binary_junk,
        case_directory,
        case_wrong_name,
        case_unreadable,
        case_missing_files_fall_back,
    ]))
