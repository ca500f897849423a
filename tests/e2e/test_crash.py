"""Crash handling of the real program: "call null" without a dump directory
ends the process with status 254 after the crash report."""
import os
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


sys.exit(e2e.Checks().run([case_call_null, case_kill_segv]))
