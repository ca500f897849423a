"""Large INI files load in linear time: 100k sections (bare, and with a key
each) and a 10 MB file, read by vkto -p within a bound that a quadratic
loader misses by far (the speed itself is measured in bench/bench_ini)."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vkto_e2e as e2e

ARGS = e2e.parse_args()
# Generous for sanitizer builds on a loaded machine; the quadratic loader
# took 10 s for 100k bare sections and did not finish 10 MB in 90 s.
BOUND_S = 45


def load_with_p(t, what, body):
    """vkto -p with body followed by a [debug] section at the very end."""
    ini = body + "[debug]\nshell_server_port=0\nhttp_server_port=4321\n"
    v = e2e.Vkto(ARGS.vkto, ini=ini, args=["-q", "-p"])
    t0 = time.monotonic()
    rc, out, err = v.run(timeout=BOUND_S + 15)
    dt = time.monotonic() - t0
    print("%s: %.1f MB in %.2f s" % (what, len(ini) / 1e6, dt))
    t.eq(rc, 0, "%s: status" % what)
    t.check(b"http_server_port=4321\n" in out, "%s: the last section is read: %r" % (what, out[-300:]))
    t.check(dt < BOUND_S, "%s: loaded within %d s (took %.1f s)" % (what, BOUND_S, dt))


def case_100k_bare_sections(t):
    load_with_p(t, "100k sections", "".join("[s%d]\n" % i for i in range(100000)))


def case_100k_sections_with_a_key(t):
    load_with_p(t, "100k sections with a key",
                "".join("[s%d]\nkey=value %d\n" % (i, i) for i in range(100000)))


def case_10_mb(t):
    parts = []
    size = 0
    i = 0
    while size < 10 * 1024 * 1024:
        block = "\n# section %d\n[sec%d]\n" % (i, i) + "".join(
            "key_%d = value %d of section %d ; note\n" % (k, k, i) for k in range(20))
        parts.append(block)
        size += len(block)
        i += 1
    load_with_p(t, "10 MB", "".join(parts))


if __name__ == "__main__":
    sys.exit(e2e.Checks().run([
        case_100k_bare_sections,
        case_100k_sections_with_a_key,
        case_10_mb,
    ]))
