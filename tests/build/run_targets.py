#!/usr/bin/env python3
"""Plain `make` and `make run` install only the program's packages and build
the program and what it links, never the tests or the benchmarks: every
`cmake --build` they would run names the target vkto, and in the build tree
the target vkto depends on no test or benchmark target.

    run_targets.py <source dir> <build tree>
"""
import os
import re
import subprocess
import sys


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def make_dry_run(src, goal):
    """The commands of `make -n <goal>` (make -n runs none of them)."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    out = subprocess.run(["make", "-n", "-C", src] + goal + ["BUILD=" + os.path.join(src, "no-such-build-dir")],
                         capture_output=True, text=True, timeout=60, env=env)
    if out.returncode != 0:
        fail("make -n %s failed:\n%s%s" % (" ".join(goal), out.stdout, out.stderr))
    return out.stdout.splitlines()


def target_closure(tree, start):
    """The targets that `start` needs, from the Makefile generator's Makefile2."""
    path = os.path.join(tree, "CMakeFiles", "Makefile2")
    if not os.path.exists(path):
        print("SKIP: %s is not a Makefile build tree" % tree)
        sys.exit(77)
    deps = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"^(\S+)/all: (\S+)/all$", line.strip())
            if m:
                deps.setdefault(m.group(1), []).append(m.group(2))
    seen, todo = set(), [start]
    while todo:
        t = todo.pop()
        if t not in seen:
            seen.add(t)
            todo.extend(deps.get(t, []))
    return seen


def main():
    src, tree = sys.argv[1], sys.argv[2]
    for goal in ([], ["run"]):
        name = " ".join(["make"] + goal)
        commands = make_dry_run(src, goal)
        deps = [l for l in commands if "install-deps" in l]
        if [l.split()[-1] for l in deps] != ["run"]:
            fail("%s installs more than the program's packages: %s" % (name, deps))
        lines = [l for l in commands if re.search(r"\S*cmake\S* --build ", l)]
        if not lines:
            fail("%s -n shows no cmake --build command" % name)
        for l in lines:
            if "--target vkto" not in l:
                fail("%s builds more than the program: %s" % (name, l))

    needed = target_closure(tree, "CMakeFiles/vkto.dir")
    if "CMakeFiles/vk.dir" not in needed:
        fail("vkto's dependencies not found in the build tree: %s" % sorted(needed))
    extra = [t for t in needed if re.search(r"(^|/)(tests|bench)/|/(test|bench|fuzz)_[^/]*\.dir$", t)]
    if extra:
        fail("the target vkto depends on test or benchmark targets: %s" % sorted(extra))
    print("make and make run build vkto and %d libraries: %s" % (len(needed) - 1,
          " ".join(sorted(os.path.basename(t)[:-4] for t in needed if t != "CMakeFiles/vkto.dir"))))


if __name__ == "__main__":
    main()
