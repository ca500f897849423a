"""The debug shell over TCP: request and reply forms, sessions side by side,
quit and exit, and the single-instance check against a running instance."""
import os
import http.client
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
HINT = "Type `help` to learn how to use prompt\n"


def case_request_and_reply_forms(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v, e2e.ShellConn(port) as c:
        c.send(b"echo nul\0")
        t.eq(c.replies(raw=True), [b"nul\r\n"], "NUL-ended request, CR LF reply")
        c.send(b"echo lf\n")
        t.eq(c.replies(raw=True), [b"lf\r\n"], "LF-ended request")
        c.send(b"ec\rho cr\r\n")
        t.eq(c.replies(raw=True), [b"cr\r\n"], "carriage returns dropped")
        c.send(b"echo a;echo b\n")
        t.eq(c.replies(2, raw=True), [b"a\r\n", b"b\r\n"], "one NUL per command")
        t.check(c.buf == b"", "nothing after the replies: %r" % c.buf)
        c.send(b"\n")
        t.eq(c.replies(2), ["a\n", "b\n"], "empty line repeats the previous line")
        c.send(b"\r\n\r\0")
        t.eq(c.replies(2, raw=True), [b"", b""], "only CRs: one NUL each, nothing run")
        c.send(b"# only a comment\nX1=v\n;\n")
        t.eq(c.replies(3, raw=True), [b"", b"", b""], "a comment, an assignment, only ';': empty replies")
        t.eq(c.ask("echo 'a;echo b"), ["error: unbalanced quotes, nothing run\n"], "unbalanced quotes refused")
        t.check(c.silent_for(0.2), "one reply each")
        t.eq(c.ask("env")[0].count("X1=v\n"), 1, "assignment stored")
        t.eq(c.ask("nosuch;echo never"), ["command not found: [nosuch]\n" + HINT],
             "unknown command stops the line")
        c.send(b"echo 1\necho 2\0echo 3\n")
        t.eq(c.replies(3), ["1\n", "2\n", "3\n"], "requests in one packet")
        # A pause inside a request (longer than the session's 1 s read
        # limit) does not run the fragment.
        c.send(b"echo mid")
        t.check(c.silent_for(1.3), "fragment not run")
        c.send(b"dle\n")
        t.eq(c.replies(), ["middle\n"], "request completed after the pause")
        t.check(c.silent_for(0.2), "no prompt on the wire")


def case_request_limit(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo " + "a" * 4089), ["a" * 4089 + "\n"], "4094 characters fit")
            c.send("echo " + "b" * 4088 + "\r\n")
            t.eq(c.replies(), ["b" * 4088 + "\n"], "4094 with a CR fit")
            c.send("x" * 4095 + "\n")
            t.eq(c.replies(), ["error: command line too long (at most 4094 characters)\n"],
                 "4095 characters are refused")
            t.eq(c.ask("echo on"), ["on\n"], "and the session goes on")
        with e2e.ShellConn(port) as c:
            c.send("y" * 70000)
            t.eq(c.replies(), ["error: command line too long (at most 4094 characters)\n"],
                 "a flood without terminator is refused once")
            t.eq(c.ask("\necho on"), ["on\n"], "its end is dropped, the session goes on")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo still"), ["still\n"], "the server goes on")


def case_variables_and_aliases_are_bounded(t):
    # 256 new shell variables at most (and 256 aliases); one more gets an
    # error, the same way on every session, and the daemon stops growing.
    v, port = e2e.start_shell(ARGS.vkto)
    with v, e2e.ShellConn(port) as c, e2e.ShellConn(port) as d:
        c.send(b"".join(b"V_%d=x\n" % i for i in range(256)))
        t.eq(c.replies(256, raw=True), [b""] * 256, "256 new variables: an empty reply each")

        def blocks():
            text = c.ask("show memory")[0]
            return int(text.split("malloc_count=")[1].split("\n")[0])

        t.eq(d.ask("echo d"), ["d\n"], "second session up")
        before = blocks()
        for conn in (c, d):
            conn.send(b"".join(b"W_%d=%s\n" % (i, b"y" * 255) for i in range(100)))
            replies = conn.replies(100)
            t.eq(replies, ["error: too many shell variables (256): W_%d not set\n" % i for i in range(100)],
                 "past the bound: the error, one reply each")
        # (the count is the whole process's: other threads may hold a few
        # blocks more or less; 200 kept lines would be 200 or more)
        grown = blocks() - before
        t.check(grown < 20, "nothing kept for the refused lines: %d blocks more" % grown)
        t.eq(d.ask("V_0=new;W_0=z;echo never"), ["error: too many shell variables (256): W_0 not set\n"],
             "a variable that exists takes its value; a new one stops the line")
        env = c.ask("env")[0]
        t.check("V_0=new\n" in env and "W_0=" not in env, "env shows the change only")
        t.eq(c.ask("unset V_1;W_1=z;echo ok", 2), ["", "ok\n"], "unset makes room")
        # Aliases alike: 256 in all, the 12 built-in ones among them.
        c.send(b"".join(b"alias A_%d=x\n" % i for i in range(244)))
        t.eq(c.replies(244, raw=True), [b""] * 244, "244 new aliases: an empty reply each")
        before = blocks()
        for conn in (c, d):
            conn.send(b"".join(b"alias B_%d=%s\n" % (i, b"y" * 255) for i in range(100)))
            t.eq(conn.replies(100), ["error: too many aliases (256): B_%d not set\n" % i for i in range(100)],
                 "aliases past the bound: the error, one reply each")
        grown = blocks() - before
        t.check(grown < 20, "nothing kept for the refused aliases: %d blocks more" % grown)
        t.eq(d.ask("alias A_0=z;alias B_0=z;echo never", 2), ["", "error: too many aliases (256): B_0 not set\n"],
             "an alias that exists takes its value; a new one stops the line")
        t.eq(c.ask("alias " + "n" * 256 + "=x"),
             ["error: alias %s not set: its name and its value hold at most 255 characters each\n" % ("n" * 256)],
             "a name over 255 characters refused")
        t.eq(c.ask("unalias A_1;alias B_1=z;alias A_0 B_1", 3), ["", "", "A_0='z'\nB_1='z'\n"], "unalias makes room")


def case_quit_ends_only_its_session(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v, e2e.ShellConn(port) as a, e2e.ShellConn(port) as b:
        t.eq(a.ask("echo a"), ["a\n"], "first session")
        t.eq(b.ask("quit"), [""], "quit flushes once")
        t.check(b.closed_within(3), "quit closes its session")
        t.eq(a.ask("echo a2"), ["a2\n"], "other session goes on")
        t.eq(v.command("echo stdio")[0].replace("vkto>", ""), "stdio\n", "stdio shell goes on")
        t.check(v.proc.poll() is None, "program runs on")


def case_sessions_keep_their_own_line(t):
    # An empty line repeats its own session's last line, never that of
    # another session or of the web tool.
    port, hport = e2e.free_port(), e2e.free_port()
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port, http_port=hport), args=["-q"])
    with v:
        v.start()
        t.check(e2e.wait_port(port) and e2e.wait_port(hport), "both ports answer")
        v.wait_prompt()
        with e2e.ShellConn(port) as a, e2e.ShellConn(port) as b:
            t.eq(a.ask("echo secret"), ["secret\n"], "A runs a command")
            t.eq(b.ask(""), [""], "B's empty line: one NUL, not A's line")
            t.eq(a.ask("   "), ["secret\n"], "A's blank line repeats its own")
            t.eq(v.strip_prompts(v.command("")[0]), "", "the stdio session repeats nothing of theirs")
            h = http.client.HTTPConnection("127.0.0.1", hport, timeout=10)
            h.request("GET", "/cmd?command=show%20config")
            r = h.getresponse()
            t.check(r.status == 200 and b"debug_server_port" in r.read(), "the web tool runs show config")
            h.close()
            with e2e.ShellConn(port) as c:
                t.eq(c.ask("   "), [""], "a new session's blank line after the web request: one NUL")
            t.eq(a.ask("quit"), [""], "A quits")
            t.check(a.closed_within(3), "A closed")
            t.eq(b.ask(""), [""], "B's empty line after A's quit: one NUL")
            t.eq(b.ask("echo on"), ["on\n"], "B goes on")


def case_sixteen_sessions(t):
    v, port = e2e.start_shell(ARGS.vkto)
    wrong = []
    lock = threading.Lock()

    def client(k):
        try:
            with e2e.ShellConn(port) as c:
                for i in range(50):
                    word = "s%d_%d" % (k, i)
                    term = b"\n" if i % 2 else b"\0"
                    c.send(b"echo " + word.encode() + term)
                    r = c.replies(1, timeout=10)
                    if r != [word + "\n"]:
                        with lock:
                            wrong.append((word, r))
        except Exception as e:  # counted, never hidden
            with lock:
                wrong.append((k, repr(e)))

    with v:
        threads = [threading.Thread(target=client, args=(k,)) for k in range(16)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60)
        t.eq(wrong[:3], [], "16 sessions x 50 commands")
        t.check(not any(th.is_alive() for th in threads), "clients finished")


def case_exit_from_tcp(t):
    # Foreground program with its stdio shell: exit from a TCP session ends
    # it with status 0.
    v, port = e2e.start_shell(ARGS.vkto, log_level="dbg")
    with v:
        with e2e.ShellConn(port) as other, e2e.ShellConn(port) as c:
            t.eq(other.ask("echo o"), ["o\n"], "second session up")
            t.eq(c.ask("exit"), [""], "exit reply")
            t.check(c.closed_within(3), "exit closes its session")
            t.check(other.closed_within(3), "the stop closes the other session")
            t0 = time.monotonic()
            t.eq(v.wait(5), 0, "exit status")
            t.check(time.monotonic() - t0 < 3, "ended within 3 s")
        err = v.err.decode(errors="replace")
        t.check(err.count("app_stop_server(): ==>") == 1, "stop routine runs once")
        t.check("join" not in err, "no failed join: %r" % err[-800:])


def case_second_instance(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port)).run(b"quit\n")
        t.eq(rc, 1, "second instance status")
        t.contains(err.decode(errors="replace"), "Can only run one instance", "second instance text")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo first"), ["first\n"], "first instance unharmed")
        v.signal(signal.SIGTERM)
        t.eq(v.wait(5), 0, "first instance stops with 0")
    rc, out, err = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port)).run(b"quit\n")
    t.eq(rc, 0, "starts once the first has gone")


sys.exit(e2e.Checks().run([case_request_and_reply_forms, case_request_limit, case_variables_and_aliases_are_bounded,
                           case_quit_ends_only_its_session, case_sessions_keep_their_own_line,
                           case_sixteen_sessions, case_exit_from_tcp,
                           case_second_instance]))
