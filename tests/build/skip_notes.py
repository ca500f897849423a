#!/usr/bin/env python3
"""`make test` ends with the reason of each skipped test and each case an
end-to-end script left out: the Makefile's SKIP_NOTES, run on a ctest log
that holds a GoogleTest skip, a script's "left out:" line and a skipped
script's "SKIP:" line, prints them and nothing else.

    skip_notes.py <source dir>
"""
import os
import subprocess
import sys
import tempfile

LOG = """1/3 Testing: OsPanic.DumpSetUp
Output:
----------------------------------------------------------
[ RUN      ] OsPanic.DumpSetUp
tests/libpal/os_panic_test.cpp:40: Skipped
writing the core pattern
needs root
[  SKIPPED ] OsPanic.DumpSetUp (0 ms)
[  SKIPPED ] OsPanic.DumpSetUp
<end of output>
2/3 Testing: e2e_test_pcap
Output:
----------------------------------------------------------
left out: the full-disk cases (mounting a tmpfs needs root)
12 checks, 0 failures
<end of output>
3/3 Testing: e2e_test_hostinfo
Output:
----------------------------------------------------------
SKIP: user namespaces (unshare -rn) are not allowed here
<end of output>
"""

WANT = """== skipped or left out, and why:
  OsPanic.DumpSetUp: skipped: writing the core pattern needs root
  e2e_test_pcap: left out: the full-disk cases (mounting a tmpfs needs root)
  e2e_test_hostinfo: SKIP: user namespaces (unshare -rn) are not allowed here
"""


def notes(src, tree):
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    r = subprocess.run(["make", "-s", "-C", src, "--eval", "skip_notes_try: ; @cd %s && $(SKIP_NOTES)" % tree,
                        "skip_notes_try"], capture_output=True, text=True, timeout=60, env=env)
    return r.returncode, r.stdout + r.stderr


def main():
    src = sys.argv[1]
    with tempfile.TemporaryDirectory() as tree:
        rc, out = notes(src, tree)
        if rc != 0 or out:
            print("FAIL: without a ctest log: status %d, output %r" % (rc, out))
            return 1
        os.makedirs(os.path.join(tree, "Testing", "Temporary"))
        with open(os.path.join(tree, "Testing", "Temporary", "LastTest.log"), "w") as f:
            f.write(LOG)
        rc, out = notes(src, tree)
    if rc != 0 or out != WANT:
        print("FAIL: status %d, notes:\n%s\nwant:\n%s" % (rc, out, WANT))
        return 1
    print(out, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
