"""Crash handling of the real program: "call null" without a dump directory
ends the process with status 254 after the crash report, which reaches
standard error and the text log file."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()


def case_call_null(t):
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(), args=["-q"])
    rc, out, err = v.run(b"echo before\ncall null\necho after\n")
    err = err.decode(errors="replace")
    out = out.decode(errors="replace")
    t.eq(rc, 254, "status after the crash")
    t.contains(err, "signo=11 [Segmentation fault]", "crash report: the signal")
    t.contains(err, "appver: ", "crash report: the version")
    t.check(err.find("signo=11") < err.find("appver: "), "report in order")
    t.contains(out, "before", "earlier reply kept")
    t.check("after" not in out, "nothing runs after the crash")


def case_text_outputs(t):
    # The signal and the version reach standard error and the text log file
    # as lines like any other (header included); the last-log record goes
    # to the bsv outputs only.
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(extra="file=crash.log\n"), args=["-q"])
    with v:
        v.start()
        v.wait_prompt()
        v.proc.stdin.write(b"call null\n")
        v.proc.stdin.flush()
        t.eq(v.wait(10), 254, "status after the crash")
        with open(os.path.join(v.dir, "crash.log"), "rb") as f:
            text = f.read().decode(errors="replace")
    t.eq(v.err.decode(errors="replace").count("panic_handler(): "), 2, "two report lines on standard error")
    head = (r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} CRIT  %d --- \[main_[0-9a-f]{4}_%d\] pal panic_handler\(\): "
            % (v.proc.pid, v.proc.pid))
    lines = [l for l in text.splitlines() if "panic_handler" in l]
    t.eq(len(lines), 2, "two report lines in the log file: %r" % lines)
    if len(lines) == 2:
        t.check(re.fullmatch(head + r"signo=11 \[Segmentation fault\]", lines[0]) is not None,
                "the signal line: %r" % lines[0])
        t.check(re.fullmatch(head + r"appver: \S+", lines[1]) is not None, "the version line: %r" % lines[1])
    t.check(text.endswith("\n"), "the file ends with a whole line")


def case_kill_segv(t):
    # A fatal signal sent from outside takes the same road.
    import signal
    v = e2e.Vkto(ARGS.vkto, ini=e2e.ini_text(), args=["-q"])
    with v:
        v.start()
        v.wait_prompt()
        v.signal(signal.SIGBUS)
        rc = v.wait(10)
        t.eq(rc, 254, "status after SIGBUS")
        t.contains(v.err.decode(errors="replace"), "signo=7 [Bus error]", "report of SIGBUS")


sys.exit(e2e.Checks().run([case_call_null, case_text_outputs, case_kill_segv]))
