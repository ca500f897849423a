"""The -e shell client and the interactive remote console against a running
vkto."""
import os
import signal
import socket
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
HINT = "Type `help` to learn how to use prompt\n"


def client(port, args, stdin=b"", env=None):
    """Runs a second vkto as the client; (status, stdout, stderr)."""
    c = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port), args=args, env=env)
    rc, out, err = c.run(stdin)
    return rc, out.decode(errors="replace"), err.decode(errors="replace")


def case_command_string(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        rc, out, err = client(port, ["-q", "-e", "show memory;echo hi"])
        t.eq(rc, 0, "-e status")
        t.contains(out, "malloc_count=", "show memory reply")
        t.check(out.endswith("\nhi\n"), "replies in order, one line end each: %r" % out[-40:])
        rc, out, err = client(port, ["-q", "-e", "echo 'a;b' \"c;d\";CLI_V=1;#note;env;quit;echo never"])
        t.eq(rc, 0, "items status")
        t.check(out.startswith("'a;b' c;d\n"), "quoted ';' stays in its item: %r" % out[:40])
        t.contains(out, "CLI_V=1\n", "assignment item stored on the server")
        t.check("never" not in out, "quit item ends the list")
        t.check("timeout" not in err, "no reply awaited for assignment and comment")
        rc, out, err = client(port, ["-q", "-e", "nosuch;echo after"])
        t.eq((rc, out), (0, "command not found: [nosuch]\n" + HINT + "after\n"),
             "unknown command: its reply, then the next item")
        rc, out, err = client(port, ["-q", "-e", "echo 'open;echo x"])
        t.eq((rc, out), (0, "error: unbalanced quotes, nothing run\n"), "unbalanced quotes: the shell's refusal")
        rc, out, err = client(port, ["-q", "-e", "CLI_W=2;#c;;echo last"])
        t.eq((rc, out), (0, "last\n"), "items that run nothing: replies taken, not printed")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("env")[0].count("CLI_V=1\n"), 1, "server kept the variable")
        # A line feed ends a request on the server: each line is sent and
        # answered on its own, and every answer is printed.
        rc, out, err = client(port, ["-q", "-e", "echo a\nset log.level warn\r\n\nshow info;echo b"])
        t.eq(rc, 0, "text with line feeds: status")
        t.check(out.startswith("a\n\nver=") and out.endswith("\nb\n"),
                "every answer printed, set's empty one too: %r" % out)
        t.contains(out, "\nlog_level=warn\n", "the level change shows in the next answer")
        rc, out, err = client(port, ["-q", "-e", "echo 'x\ny'\necho z"])
        t.eq((rc, out), (0, "error: unbalanced quotes, nothing run\n" * 2 + "z\n"),
             "a quote does not span lines, as on the server")


def case_long_reply(t):
    env = dict(os.environ)
    env["VKTO_BIG"] = "x" * 20000
    v, port = e2e.start_shell(ARGS.vkto, env=env)
    with v:
        rc, out, err = client(port, ["-q", "-e", "env;echo next"])
        t.eq(rc, 0, "long reply status")
        first, _, rest = out.rpartition("next\n")
        cut = "... output cut at 16383 bytes\n"
        t.check(first.endswith(cut), "the cut is said in the output: %r" % first[-40:])
        t.eq(len(first) - len(cut), 16383 + 1, "what fits is printed (plus puts' line end)")
        t.eq(rest, "", "next reply last")
        t.contains(err, "reply longer than 16383 bytes", "long reply logged at err")


def case_interactive_console(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        rc, out, err = client(port, ["-q", "-e", "sh"], stdin=b"echo a;echo b\n\nnosuch;echo c\n")
        t.eq(rc, 0, "console status at end of input")
        t.eq(out, "vkto>a\nb\nvkto>a\nb\nvkto>command not found: [nosuch]\n" + HINT + "c\nvkto>",
             "prompt, one reply per command, empty line repeats, end of input ends")
        rc, out, err = client(port, ["-q"] + ["-e", "sh"], stdin=b"echo 1\nquit\necho never\n")
        t.eq((rc, out), (0, "vkto>1\nvkto>"), "quit ends the console")
        long_line = b"echo " + b"x" * 20000
        rc, out, err = client(port, ["-q", "-e", "sh"], stdin=long_line + b"\necho ok\n" + long_line)
        t.eq((rc, out), (0, "vkto>ok\nvkto>"), "over-long console lines are skipped whole")
        t.eq(err.count("line longer than 16383 characters ignored"), 2, "each over-long line logged")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo alive"), ["alive\n"], "server unharmed by the consoles")


def case_refused_and_exit(t):
    port = e2e.free_port()
    rc, out, err = client(port, ["-q", "-e", "echo x"])
    t.eq(rc, 1, "refused connection status")
    t.contains(err, "sock_connect 127.0.0.1:%d error: " % port, "refused connection text")
    t.contains(err, "Connection refused", "real reason")
    t.eq(out, "", "nothing on stdout")
    # A peer that takes the request and closes without an answer.
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(1)
    lsock.settimeout(10)

    def close_after_request():
        try:
            conn, _ = lsock.accept()
            conn.settimeout(5)
            conn.recv(100)
            conn.close()
        except OSError:
            pass

    th = threading.Thread(target=close_after_request)
    th.start()
    lport = lsock.getsockname()[1]
    rc, out, err = client(lport, ["-q", "-e", "echo x"])
    th.join(10)
    lsock.close()
    t.eq((rc, out), (1, ""), "connection ended before the answer: status 1")
    said = "the TCP shell at 127.0.0.1:%d closed the connection before answering\n" % lport
    t.check(err.count(said) == 1 and err.count("\n") == 1, "and one line on stderr says so: %r" % err)
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        # An alias the client does not know ends the session on the server.
        t.eq(client(port, ["-q", "-e", "alias bye=quit"])[0], 0, "alias defined")
        rc, out, err = client(port, ["-q", "-e", "bye;echo never"])
        t.eq((rc, out), (1, "\n"), "-e bye (quit): its empty answer, then status 1")
        t.contains(err, "the TCP shell at 127.0.0.1:%d closed the connection before answering\n" % port,
                   "-e bye: the closed connection named")
        rc, out, err = client(port, ["-q", "-e", "echo bye;exit;echo never"])
        t.eq(rc, 0, "-e exit status")
        t.check(out.startswith("bye\n") and "never" not in out, "exit item: %r" % out)
        t.eq(v.wait(5), 0, "server stopped by -e exit with 0")
        # The -e client never trips the single-instance check.
        v2, port2 = e2e.start_shell(ARGS.vkto)
        with v2:
            rc, out, err = client(port2, ["-e", "echo via"])
            t.eq((rc, out), (0, "via\n"), "-e next to a running instance")
            t.check("Can only run one instance" not in err, "no start check for -e")
            v2.signal(signal.SIGINT)
            t.eq(v2.wait(5), 0, "SIGINT status")


sys.exit(e2e.Checks().run([case_command_string, case_long_reply, case_interactive_console,
                           case_refused_and_exit]))
