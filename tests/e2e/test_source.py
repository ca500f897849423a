"""'source' in the running program: the commands of a file answer as the one
'source' command (one reply, one NUL) on standard input, over TCP and
through the -e client; and one top-level 'source' is bounded in work
(self-sourcing files with fan-out 2 and 3), stopping when its client leaves
or the program stops; from the web too, and never on a FIFO or a device."""
import http.client
import json
import os
import signal
import socket
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
LIMIT_TEXT = "error: source stopped after 10000 commands (the most one source may run)\n"


def write(v, name, text):
    path = os.path.join(v.dir, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def self_sourcing(v, fan):
    path = os.path.join(v.dir, "fan%d.src" % fan)
    write(v, "fan%d.src" % fan, "echo x\n" + ("source %s\n" % path) * fan)
    return path


def case_one_reply_per_command(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        three = write(v, "three.src", "echo one\necho two\n\necho three\n")
        line = "source %s;echo A;echo B;echo C;echo D" % three
        want = ["one\ntwo\ntwo\nthree\n", "A\n", "B\n", "C\n", "D\n"]
        # Standard input.
        r = [v.strip_prompts(x) for x in v.command(line, replies=5)]
        t.eq(r, want, "stdio: the file's output is the one reply of source")
        v._pump(0.3)
        t.eq(v.out.count(b"\0"), 5, "stdio: exactly one NUL per command")
        # TCP.
        with e2e.ShellConn(port) as c:
            t.eq(c.ask(line, n=5), want, "tcp: one reply per command")
            t.check(c.silent_for(0.3), "tcp: nothing after the five replies")
            # A file whose commands end the reply themselves (quit) or flush
            # on their own (call tlog).
            q = write(v, "quit.src", "echo q\ncall tlog\nquit\necho never\n")
            t.eq(c.ask("source %s;echo never" % q), ["q\n"], "tcp: quit in a file ends the one reply")
            t.check(c.closed_within(3), "tcp: and the session")
        # The -e client reads one reply per item.
        cli = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port), args=["-q", "-e", line])
        rc, out, err = cli.run()
        t.eq((rc, out.decode(errors="replace")), (0, "one\ntwo\ntwo\nthree\nA\nB\nC\nD\n"),
             "-e: every item's reply, none lost")
        t.check(b"timeout" not in err, "-e: no reply waited for in vain: %r" % err[-300:])


def case_work_is_bounded(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        for fan in (2, 3):
            path = self_sourcing(v, fan)
            with e2e.ShellConn(port) as c:
                t0 = time.monotonic()
                r = c.ask("source %s;echo never" % path, timeout=60)
                took = time.monotonic() - t0
                t.eq(len(r), 1, "fan-out %d: one reply" % fan)
                t.check(r and r[0].endswith(LIMIT_TEXT), "fan-out %d: the limit's error text ends it: %r"
                        % (fan, r[0][-200:] if r else r))
                t.check(r and 1000 < r[0].count("x\n") < 10000, "fan-out %d: bounded work" % fan)
                t.check(took < 20, "fan-out %d: answered within 20 s (%.2f s)" % (fan, took))
                t.check(c.silent_for(0.3), "fan-out %d: the rest of the line does not run" % fan)
                t.eq(c.ask("echo next"), ["next\n"], "fan-out %d: the session goes on" % fan)
        r = v.command("source %s" % self_sourcing(v, 3), timeout=60)
        t.check(v.strip_prompts(r[0]).endswith(LIMIT_TEXT), "stdio: the same limit")
        t.eq(v.strip_prompts(v.command("echo fine")[0]), "fine\n", "stdio: the shell goes on")


def case_client_leaves_and_program_stops(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        # (once the session of the port's probe has ended)
        threads = e2e.stable_counts(v.proc.pid)[0]
        path = self_sourcing(v, 3)
        for _ in range(8):
            c = e2e.ShellConn(port)
            c.send("source %s\n" % path)
            c.close()
        # The listener accepts in order: once a later connection is
        # answered, every one of the eight has its session thread.
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo here"), ["here\n"], "the server answers")
        end = time.monotonic() + 20
        while e2e.proc_counts(v.proc.pid)[0] != threads and time.monotonic() < end:
            time.sleep(0.05)
        t.eq(e2e.proc_counts(v.proc.pid)[0], threads, "sessions whose client left end")
        # Runs in progress when the program is told to stop.
        conns = [e2e.ShellConn(port) for _ in range(8)]
        for c in conns:
            c.send("source %s\n" % path)
        t0 = time.monotonic()
        v.signal(signal.SIGTERM)
        rc = v.wait(10)
        took = time.monotonic() - t0
        t.eq(rc, 0, "SIGTERM during source runs: status")
        t.check(took < 5, "and the program ended within 5 s (%.2f s)" % took)
        t.check("join" not in v.err.decode(errors="replace"), "every session thread joined in time")
        for c in conns:
            c.close()


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        return sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])  # utime + stime


def web_resp(port, command):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("GET", "/cmd?command=" + urllib.parse.quote(command))
    return json.loads(c.getresponse().read())[0]["resp"]


def case_web_runs_and_files_that_never_end(t):
    sport, wport = e2e.free_port(), e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=sport, http_port=wport), args=["-q"])
    v.start()
    with v:
        t.check(e2e.wait_port(sport) and e2e.wait_port(wport), "both shells listen")
        base = e2e.stable_counts(v.proc.pid)
        # A FIFO is read as its writer sends, from either shell.
        fifo = os.path.join(v.dir, "fifo")
        os.mkfifo(fifo)
        feed = lambda: threading.Thread(target=lambda: open(fifo, "w").write("echo fed\n"), daemon=True).start()
        feed()
        with e2e.ShellConn(sport) as c:
            t.eq(c.ask("source " + fifo, timeout=3), ["fed\n"], "tcp: a FIFO answered at once")
        feed()
        t.eq(web_resp(wport, "source " + fifo), "fed\n\0", "web: a FIFO answered at once")
        # Runs whose clients leave at once: of a FIFO nobody writes, and of
        # a device that never ends.
        for i in range(48):
            with socket.create_connection(("127.0.0.1", wport), timeout=5) as s:
                s.sendall(b"GET /cmd?command=source%%20%s HTTP/1.0\r\n\r\n" % (fifo if i % 2 else "/dev/zero").encode())
        t0 = time.monotonic()
        e2e.settled(lambda: cpu_ticks(v.proc.pid), timeout=3)
        took = time.monotonic() - t0
        t.check(took < 2 * e2e.SLOW, "the tool is idle within 2 s (%.2f s)" % took)
        t.eq(web_resp(wport, "echo next"), "next\n\0", "the next request is served")
        # Idle request threads end after 2 s.
        t.eq(e2e.wait_counts(v.proc.pid, base, timeout=6), base, "threads and descriptors back")


sys.exit(e2e.Checks().run([case_one_reply_per_command, case_work_is_bounded,
                           case_client_leaves_and_program_stops, case_web_runs_and_files_that_never_end]))
