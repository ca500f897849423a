"""Over-long command lines get the same error text on TCP as on standard
input, with their NUL, and the session goes on."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
TEXT = "error: command line too long (at most %d characters)\n"


def case_tcp_and_stdio(t):
    v, port = e2e.start_shell(ARGS.vkto)
    with v:
        stdio = v.strip_prompts(v.command("echo " + "s" * 5000)[0])
        t.eq(stdio, TEXT % 4095, "stdio refusal")
        with e2e.ShellConn(port) as c:
            t.eq(c.ask("echo " + "a" * 4089), ["a" * 4089 + "\n"], "4094 characters fit")
            for size in (4095, 4096, 5000, 100000, 1 << 20):
                c.send("x" * size + "\n")
                t.eq(c.replies(raw=True), [(TEXT % 4094).replace("\n", "\r\n").encode()],
                     "%d bytes: the refusal and its NUL" % size)
                t.eq(c.ask("echo on%d" % size), ["on%d\n" % size], "%d bytes: the session goes on" % size)
            t.eq(c.ask("x" * 5000 + ";echo a\0echo b", n=2),
                 [TEXT % 4094, "b\n"], "nothing of a refused request runs; the next one does")
            c.send("\0")
            t.eq(c.replies(), ["b\n"], "a refused request is not the previous line")
            t.check(c.silent_for(0.3), "one reply each")
        cli = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(shell_port=port),
                       args=["-q", "-e", "echo " + "c" * 6000 + ";echo after"])
        rc, out, err = cli.run()
        t.eq((rc, out.decode(errors="replace")), (0, TEXT % 4094 + "after\n"),
             "-e: the refusal is printed and the next item runs")


sys.exit(e2e.Checks().run([case_tcp_and_stdio]))
