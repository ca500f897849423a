"""The stdio debug shell of vkto: command round trips per second over
stdin/stdout, beside dash (/bin/sh) running the same commands read from a
pipe (a command interpreter as users run one); the time from start to the
first prompt (minus the prompt's pause: the stdio session waits 300 ms
before its greeting) and the idle resident memory. Both shells are driven
by the same loop: write "echo x", read until the reply is complete.

    python3 bench/bench_stdio.py --vkto build/release/bin/vkto

Figures are printed as "result" lines (see bench/run_bench.py).
"""
import os
import select
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import vkto_e2e as e2e  # noqa: E402

# The prompt's pause: the stdio session waits 300 ms before its greeting
# and first prompt.
PROMPT_PAUSE_MS = 300
COMMANDS = 3000
WARM_UP = 200
PEER = "/bin/sh"


def round_trips(stdin_fd, stdout_fd, end_of_reply, n):
    """Commands per second: n times "echo x", each read up to end_of_reply."""
    def one():
        os.write(stdin_fd, b"echo x\n")
        buf = b""
        while end_of_reply not in buf:
            ready, _, _ = select.select([stdout_fd], [], [], 10)
            if not ready:
                raise RuntimeError("no reply within 10 s: %r" % buf[-200:])
            data = os.read(stdout_fd, 65536)
            if not data:
                raise RuntimeError("the shell ended: %r" % buf[-200:])
            buf += data

    for _ in range(WARM_UP):
        one()
    t0 = time.monotonic()
    for _ in range(n):
        one()
    return n / (time.monotonic() - t0)


def vkto_round_trips(exe):
    with e2e.Vkto(exe, ini=e2e.ini_text(), args=["-q"]) as v:
        v.start()
        v.wait_prompt()
        time.sleep(0.5)
        idle = e2e.rss_kib(v.proc.pid)
        os.set_blocking(v.proc.stdout.fileno(), True)
        # Each reply ends with its NUL byte (the prompt follows it).
        rate = round_trips(v.proc.stdin.fileno(), v.proc.stdout.fileno(), b"\0", COMMANDS)
        return rate, idle


def peer_round_trips():
    p = subprocess.Popen([PEER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    try:
        return round_trips(p.stdin.fileno(), p.stdout.fileno(), b"x\n", COMMANDS)
    finally:
        p.stdin.close()
        p.wait(timeout=10)


def main():
    args = e2e.parse_args()
    starts = []
    for _ in range(3):
        v = e2e.Vkto(args.vkto, ini=e2e.ini_text(), args=["-q"])
        t0 = time.monotonic()
        v.start()
        v.wait_prompt(timeout=10)
        starts.append((time.monotonic() - t0) * 1000 - PROMPT_PAUSE_MS)
        v.stop()
    print("result start_to_prompt@vk %.1f ms lower" % statistics.median(starts))

    rate, idle = vkto_round_trips(args.vkto)
    peer = peer_round_trips()
    print("result stdio_round_trip@vk %.0f commands/s higher" % rate)
    print("result stdio_round_trip@dash %.0f commands/s higher "
          "%s (dash) reading the same commands from a pipe, builtin echo" % (peer, PEER))
    print("result stdio_idle_rss@vk %d KiB lower" % idle)
    return 0


if __name__ == "__main__":
    sys.exit(main())
