"""Ways out of vkto: signals, exit, quit, end of input, kill, crashes and
the single-instance check."""
import os
import signal
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()


def started(extra_args=(), ini=None):
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text() if ini is None else ini,
                 args=["-q", "-l", "dbg"] + list(extra_args))
    v.start()
    v.wait_prompt()
    return v


def case_signals(t):
    for sig in (signal.SIGTERM, signal.SIGINT):
        with started() as v:
            v.signal(sig)
            t.eq(v.wait(), 0, "%s status" % sig.name)
            err = v.err.decode(errors="replace")
            t.contains(err, "signal=%d" % sig.value, "%s seen by the main thread" % sig.name)
            t.contains(err, "stop_server ==>", "%s stop routine" % sig.name)
            t.check(err.count("app_stop_server(): ==>") == 1, "stop routine runs once")


def case_exit_quit_eof(t):
    with started() as v:
        r = v.command("exit")[0]
        t.eq(r.replace("vkto>", ""), "", "exit flushes once")
        t.eq(v.wait(), 0, "exit status")
        t.contains(v.err.decode(errors="replace"), "app_stop_server(): ==>", "exit runs the stop")
    with started() as v:
        v.command("quit")
        t.eq(v.wait(), 0, "quit status")
        err = v.err.decode(errors="replace")
        # The servers stop before the shell's tables are freed.
        t.check(err.find("app_stop_server(): ==>") < err.find("libsh_exit(): ==>"),
                "stop before shell exit: %r" % err[-600:])
    with started() as v:
        v.close_stdin()
        t.eq(v.wait(), 0, "end of input status")
        t.check(v.out.count(b"vkto>") <= 2, "no prompt loop at end of input: %d" % v.out.count(b"vkto>"))
    with started() as v:
        v.command("echo x; exit; echo never", replies=2)
        t.eq(v.wait(), 0, "exit inside a list")
        t.check(b"never" not in v.out, "nothing after exit")


def case_kill_and_crash(t):
    with started() as v:
        v.proc.stdin.write(b"call kill\n")
        v.proc.stdin.flush()
        t.eq(v.wait(), 0, "call kill status")
        t.contains(v.err.decode(errors="replace"), "user req exit!!", "kill record")
    with started() as v:
        v.proc.stdin.write(b"call null\n")
        v.proc.stdin.flush()
        t.eq(v.wait(), 254, "call null ends through the crash handler")
        err = v.err.decode(errors="replace")
        t.contains(err, "user req null=0 !!", "null record")
        t.contains(err, "signo=11", "crash report")


def case_second_instance(t):
    port = e2e.free_port()
    with socket.socket() as holder:
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("127.0.0.1", port))
        holder.listen(4)
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port)).run(b"quit\n")
        t.eq(rc, 1, "second instance status")
        t.contains(err.decode(errors="replace"), "Can only run one instance", "second instance text")
        # -p and -e never reach the check.
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port), args=["-p"]).run()
        t.eq(rc, 0, "-p skips the check")
        # The web port is probed when the shell port is off.
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(http_port=port)).run(b"quit\n")
        t.eq(rc, 1, "web port probed")
    rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port)).run(b"quit\n")
    t.eq(rc, 0, "free port passes")


sys.exit(e2e.Checks().run([case_signals, case_exit_quit_eof, case_kill_and_crash,
                           case_second_instance]))
