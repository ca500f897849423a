#!/usr/bin/env python3
"""`make test` ends with the reason of each skipped test and each case a
script left out: the Makefile's SKIP_NOTES on a ctest log.   skip_notes.py <source dir>"""
import os
import subprocess
import sys
import tempfile

LOG = ("1/2 Testing: OsPanic.DumpSetUp\n[ RUN      ] OsPanic.DumpSetUp\nx.cpp:40: Skipped\nwriting the core\n"
       "pattern needs root\n[  SKIPPED ] OsPanic.DumpSetUp (0 ms)\n<end of output>\n"
       "2/2 Testing: e2e_test_pcap\nleft out: the full-disk cases\n12 checks, 0 failures\n<end of output>\n")
WANT = ("== skipped or left out, and why:\n  OsPanic.DumpSetUp: skipped: writing the core pattern needs root\n"
        "  e2e_test_pcap: left out: the full-disk cases\n")

with tempfile.TemporaryDirectory() as tree:
    os.makedirs(os.path.join(tree, "Testing", "Temporary"))
    with open(os.path.join(tree, "Testing", "Temporary", "LastTest.log"), "w") as f:
        f.write(LOG)
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    r = subprocess.run(["make", "-s", "-C", sys.argv[1], "--eval", "notes: ; @cd %s && $(SKIP_NOTES)" % tree, "notes"],
                       capture_output=True, text=True, timeout=60, env=env)
if r.returncode != 0 or r.stdout != WANT:
    print("FAIL: status %d, notes:\n%s%s\nwant:\n%s" % (r.returncode, r.stdout, r.stderr, WANT))
    sys.exit(1)
print(r.stdout, end="")
