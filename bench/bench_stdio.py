"""Measures the stdio debug shell of vkto: time from start to the first
prompt (minus the pauses the start-up specifies), command round trips per
second over stdin/stdout, and the idle resident memory.

    python3 bench/bench_stdio.py --vkto build/release/bin/vkto
"""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import vkto_e2e as e2e  # noqa: E402

# Specified pause before the first prompt: the stdio session waits 300 ms
# before its greeting.
SPECIFIED_PAUSES_MS = 300


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    args = e2e.parse_args()
    starts = []
    for _ in range(5):
        v = e2e.Vkto(args.vkto, ini=e2e.ini_text(), args=["-q"])
        t0 = time.monotonic()
        v.start()
        v.wait_prompt(timeout=10)
        starts.append((time.monotonic() - t0) * 1000 - SPECIFIED_PAUSES_MS)
        v.stop()
    print("start to first prompt minus specified pauses: median %.1f ms (min %.1f, max %.1f)"
          % (statistics.median(starts), min(starts), max(starts)))

    with e2e.Vkto(args.vkto, ini=e2e.ini_text(), args=["-q"]) as v:
        v.start()
        v.wait_prompt()
        time.sleep(0.5)
        print("idle RSS after start: %d KiB" % rss_kib(v.proc.pid))
        for _ in range(200):  # warm-up
            v.command("echo x")
        n = 5000
        t0 = time.monotonic()
        for _ in range(n):
            v.command("echo x")
        dt = time.monotonic() - t0
        print("stdio round trips: %d commands in %.2f s = %.0f commands/s" % (n, dt, n / dt))
        print("RSS after %d commands: %d KiB" % (n + 200, rss_kib(v.proc.pid)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
