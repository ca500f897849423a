"""The stdio debug shell: built-ins, aliases, parsing and the reply form."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()


def session(t, extra_ini="", args=()):
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(log_level="info") + extra_ini, args=["-q"] + list(args))
    v.start()
    v.wait_prompt()
    return v


def case_prompt_and_reply_form(t):
    with session(t) as v:
        t.contains(v.out.decode(), "\nType `help` to learn how to use prompt\n", "greeting")
        t.check(v.out.endswith(b"vkto>"), "prompt: %r" % v.out[-20:])
        start = len(v.out)
        v.command("echo one")
        raw = v.out[start:]
        t.check(raw.startswith(b"one\r\n\0"), "CR LF and one NUL: %r" % raw)
        two = v.command("echo a;echo b", replies=2)
        t.eq([v.strip_prompts(x) for x in two], ["a\n", "b\n"], "two commands, two replies")
        t.eq(v.strip_prompts(v.command("echo a   b")[0]), "a b\n", "echo joins with one blank")
        t.eq(v.strip_prompts(v.command("")[0]), "a b\n", "empty line repeats")
        r = v.command("nosuch; echo never")[0]
        t.eq(v.strip_prompts(r), "command not found: [nosuch]\nType `help` to learn how to use prompt\n",
             "unknown command")
        t.eq(v.strip_prompts(v.command("echo 'a;b' \"c  d\"")[0]), "'a;b' c  d\n", "quoting")
        v.command("X1=hello world # no reply; echo marker")  # assignment, then a command
        env = v.command("env")[0]
        t.contains(env, "X1=hello world # no reply\n", "assignment stored")
        t.eq(v.strip_prompts(v.command("X2=1")[0]), "", "assignment only: an empty reply")
        t.eq(v.strip_prompts(v.command(";")[0]), "", "only ';': an empty reply")
        t.eq(v.strip_prompts(v.command("echo 'a;b")[0]), "error: unbalanced quotes, nothing run\n",
             "unbalanced quotes: the refusal")
        t.eq(v.command("quit")[0].strip("vkto>"), "", "quit flushes once")
        t.eq(v.wait(), 0, "quit status")


def case_builtins(t):
    with session(t) as v:
        h = v.strip_prompts(v.command("help")[0])
        for name in ("show", "set", "call", "pwd", "alias", "unalias", "unset", "echo", "env",
                     "source", "exit", "quit", "help", "?"):
            t.check(h.count("\n" + name.ljust(10) + "\t") + h.startswith(name.ljust(10)) == 1,
                    "help lists %s" % name)
        t.contains(v.command("?")[0], "e.g. help pwd\n", "? is help")
        info = v.strip_prompts(v.command("show info")[0])
        for key in ("ver=1.0.0.0\n", "ver_date=2024-1-9\n", "start_time=", "is_root=",
                    "log_level=info\n", "bsv_pipe_name=''\n", "cpu_endian=little\n", "os_info=",
                    "hw_info=", "os_start_time="):
            t.contains(info, key, "show info " + key.strip())
        t.contains(v.command("show memory")[0], "malloc", "show memory")
        t.contains(v.command("show dvar")[0], "log.level=info\n", "show dvar")
        t.contains(v.command("show")[0], "show config -- View configuration parameters\n", "show list")
        t.eq(v.strip_prompts(v.command("help show")[0]), v.strip_prompts(v.command("show")[0]),
             "help show is the show listing")
        t.contains(v.command("help call")[0], "call tlog -- Test All log level output\n", "help call")
        t.contains(v.command("show config")[0], "http_server_port=0\n", "show config")
        t.eq(v.strip_prompts(v.command("show status")[0]), "", "show status is empty")
        t.eq(v.strip_prompts(v.command("show a b")[0]).split("\n")[0], "Show the status of the program",
             "show with two words lists")
        t.contains(v.command("set log.level dbg")[0], "", "set level")
        t.contains(v.command("show dvar")[0], "log.level=dbg\n", "level changed")
        t.contains(v.command("set log.level loud")[0], "error: invalid param [loud]", "bad level")
        t.contains(v.command("set")[0], "set log.level [verb|dbg|info|noti|warn|err|crit]", "set help")
        t.contains(v.command("call")[0], "call tlog -- Test All log level output\n", "call list")
        t.contains(v.command("call nope")[0], "error: The call func 'nope' does not exist", "call nope")
        t.eq(v.strip_prompts(v.command("pwd")[0]), v.dir + "\n", "pwd is the exe directory")
        t.eq(v.strip_prompts(v.command("echo -n x")[0]), "x", "echo -n")
        t.eq(v.strip_prompts(v.command("echo -e a\\tb")[0]), "a\tb\n", "echo -e")
        t.eq(v.strip_prompts(v.command("help exit")[0]),
             "exit\nExit the service program\n\t-h Display this help\n", "help exit only helps")
        t.eq(v.strip_prompts(v.command("unset")[0]), "unsetenv: Too few arguments\n", "unset")
        src = os.path.join(v.dir, "cmds.txt")
        with open(src, "w") as f:
            f.write("echo s1\n\necho s2\n")
        r = v.command("source cmds.txt")
        t.eq([v.strip_prompts(x) for x in r], ["s1\ns1\ns2\n"], "source: one reply")
        t.contains(v.command("source nofile.txt")[0], "open:[nofile.txt] error:", "source missing file")
        long_line = "echo " + "z" * 5000
        r = v.strip_prompts(v.command(long_line)[0])
        t.check("too long" in r and "zzz" not in r, "long line refused: %r" % r[:100])
        t.eq(v.strip_prompts(v.command("echo fine")[0]), "fine\n", "shell goes on after a long line")
        v.command("quit")
        t.eq(v.wait(), 0, "status")


def case_aliases(t):
    with session(t) as v:
        a = v.strip_prompts(v.command("alias")[0])
        for name, value in (("a", "'alias'"), ("c", "'call'"), ("e", "'exit'"), ("s", "'show'"),
                            ("q", "'quit'"), ("sc", "'show config'"), ("sd", "'show dvar'"),
                            ("si", "'show info'"), ("sl", "'show llog'"), ("sm", "'show memory'"),
                            ("st", "'show status'"), ("sr", "'show rule'")):
            t.contains("\n" + a, "\n%s=%s\n" % (name, value), "default alias " + name)
        t.contains(v.command("si")[0], "ver=1.0.0.0", "si")
        t.contains(v.command("sc")[0], "debug_server_port=", "sc")
        t.contains(v.command("sr")[0], "error: The show variable 'rule' does not exist", "sr")
        t.contains(v.command("sm")[0], "malloc", "sm")
        t.contains(v.command("sl")[0], "", "sl")
        t.contains(v.command("sd")[0], "log.level=", "sd")
        t.eq(v.strip_prompts(v.command("st")[0]), "", "st")
        v.command('alias hi="echo hello"')
        t.eq(v.strip_prompts(v.command("hi there")[0]), "hello there\n", "own alias")
        v.command("unalias hi")
        t.contains(v.command("hi")[0], "command not found: [hi]", "unalias")
        t.contains(v.command("a nope")[0], "nope not found", "alias a")
        v.command("q")
        t.eq(v.wait(), 0, "q quits")


def case_tlog_colours(t):
    with session(t) as v:
        v.command("set log.level verb")
        v.command("call tlog")
        v.read_until(b"log_crit2", stream="err")
        err = v.err.decode(errors="replace")
        t.contains(err, "\x1b[01;31m", "coloured error record")
        t.contains(err, "log_verb", "verb record")
        v.command("quit")
        t.eq(v.wait(), 0, "tlog goes on (crit with 0x200)")
    with session(t, extra_ini="flags=no_colour\n") as v:
        v.command("call tlog")
        v.read_until(b"log_crit2", stream="err")
        err = v.err.decode(errors="replace")
        t.check("\x1b[" not in err, "no colour: %r" % err[-300:])
        t.contains(err, "log_error\n", "plain error line")
        t.check("log_debug" not in err, "debug filtered at info")
        v.command("quit")
        v.wait()


sys.exit(e2e.Checks().run([case_prompt_and_reply_form, case_builtins, case_aliases,
                           case_tlog_colours]))
