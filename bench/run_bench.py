"""Runs every benchmark and prints each pair's ratio, vkto against its peer.

    python3 bench/run_bench.py [--bin build/release/bin] [--runs 5] [--only NAME]

Every bench_* program in the binary directory and every bench/*.py script
is run --runs times (at least 5 for the figures to mean anything). One run
measures both sides of each pair back to back in the same process, so each
run gives one paired ratio; the table shows the minimum and the median of
those ratios, and the median of each side.

How a pair is found:
  - Google Benchmark entries named "<case>@vk" and "<case>@<peer>" (any
    "/threads:N"-style suffix must match); the peer's label, when it sets
    one, says how the peer was run.
  - Lines "result <case>@<side> <value> <unit> <higher|lower> [label...]"
    on standard output, from programs and scripts alike.

The ratio is always vkto's speed over the peer's: higher is better for
vkto, above 1.00 vkto is faster (rates are divided as they are, times
inverted). Entries without a partner are listed with their median.

Some programs are run more than once per round with their peer set up
differently (VARIANTS below); each set-up forms its own pairs. Benchmarks
named otherwise are paired through ALIASES. A program that is not a
Google Benchmark program, or a script, that prints no "result" line is run
once and its own output shown (it makes its own rounds). Only programs
built from a bench/bench_*.cpp source are run (peer programs are not).
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Extra runs of a program with its peer in another configuration: the label
# goes into the peer's name. OpenSSL as users run it (the CPU's own code
# paths) is the headline; beside it OpenSSL without the CPU extensions,
# which still runs its plain x86-64 assembly (it has no C path to choose).
VARIANTS = {
    "bench_digest": [("", {}), ("plain x86-64 asm, OPENSSL_ia32cap=0:0", {"OPENSSL_ia32cap": "0:0"})],
}

# Benchmarks whose names do not say their side: their first name component
# -> (case@side, how the peer runs).
ALIASES = {
    "bench_file": {
        "BM_read64k_os_file": ("read64k@vk", ""),
        "BM_read64k_syscall": ("read64k@syscalls", "lseek + read(2) on a descriptor opened alike"),
        "BM_open_close_os_file": ("open_close@vk", ""),
        "BM_open_close_syscall": ("open_close@syscalls", "open(2) + close(2)"),
        "BM_load_os_file": ("load@vk", ""),
        "BM_load_read_loop": ("load@read_loop", "a read(2) loop into a growing buffer"),
        "BM_list_os_dir": ("list_dir@vk", ""),
        "BM_list_std_filesystem": ("list_dir@std_filesystem", "std::filesystem::directory_iterator with status"),
    },
    "bench_logfile": {
        "BM_vkto_file": ("log_file@vk", ""),
        "BM_spdlog_file": ("log_file@spdlog", "spdlog basic_file_sink_mt, flushed after every record"),
    },
    "bench_popen": {
        "BM_os_popen_argv_true": ("spawn_true@vk", ""),
        "BM_posix_spawn_true": ("spawn_true@posix_spawn", "posix_spawn + waitpid of /bin/true"),
    },
    "bench_rbuf": {
        "BM_rbuf_write_read": ("write_read@vk", ""),
        "BM_deque_write_read": ("write_read@mutex_deque", "std::mutex + std::deque<std::vector<char>>"),
        "BM_rbuf_1w1r": ("one_writer_one_reader@vk", ""),
        "BM_deque_1w1r": ("one_writer_one_reader@mutex_deque", "std::mutex + std::deque<std::vector<char>>"),
    },
    "bench_qexpr": {
        "BM_rules_find": ("filter_rule@vk", ""),
        "BM_handwritten": ("filter_rule@handwritten", "the same test written in C++ over parsed records"),
    },
    "bench_bsv_frame": {
        "BM_frame_1472": ("frame_1472@vk", ""),
        "BM_copy_crc32_1472": ("frame_1472@copy_crc32", "a copy of the same bytes with a CRC-32 check"),
    },
}

RESULT_RE = re.compile(r"^result (\S+)@(\S+) ([-+0-9.eE]+) (\S+) (higher|lower)(?: (.*))?$")
TIMEOUT_S = 900


class Entry:
    """One side of a case over all runs."""

    def __init__(self, unit, higher, label):
        self.values = []  # per run
        self.unit = unit
        self.higher = higher
        self.label = label


def gb_entries(doc, aliases):
    """{name: (value, unit, higher_is_better, label)} from one JSON run; the
    repetitions of one run (if a program sets them) are folded by median."""
    by_name = {}
    for b in doc.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        head, sep, tail = name.partition("/")
        if head in aliases:
            name = aliases[head][0] + sep + tail
            if aliases[head][1]:
                b = dict(b, label=aliases[head][1])
        if "items_per_second" in b:
            v, unit, higher = b["items_per_second"], "items/s", True
        elif "bytes_per_second" in b:
            v, unit, higher = b["bytes_per_second"], "B/s", True
        else:
            v, unit, higher = b["real_time"], b.get("time_unit", "ns"), False
        by_name.setdefault(name, []).append((v, unit, higher, b.get("label", "")))
    return {n: (statistics.median(x[0] for x in vs), vs[0][1], vs[0][2], vs[0][3]) for n, vs in by_name.items()}


# Run settings Google Benchmark appends to names; they say nothing about
# the case.
SETTING_RE = re.compile(r"^(min_time|iterations|repeats|real_time|manual_time)(:.*)?$")


def split_name(name):
    """'dict_insert@vk/real_time/threads:4' -> ('dict_insert/threads:4', 'vk');
    no '@': (name, None)."""
    parts = [p for p in name.split("/") if not SETTING_RE.match(p)]
    head = parts[0]
    if "@" not in head:
        return "/".join(parts), None
    case, side = head.split("@", 1)
    return "/".join([case] + parts[1:]), side


def result_lines(text):
    out = {}
    for line in text.splitlines():
        m = RESULT_RE.match(line.strip())
        if m:
            case, side, value, unit, direction, label = m.groups()
            out[case + "@" + side] = (float(value), unit, direction == "higher", label or "")
    return out


def run_once(cmd, env, is_gb, aliases):
    """One run: {name: (value, unit, higher, label)} and the note lines."""
    out_file = None
    if is_gb:
        fd, out_file = tempfile.mkstemp(prefix="vk_bench_", suffix=".json")
        os.close(fd)
        cmd = cmd + ["--benchmark_out=" + out_file, "--benchmark_out_format=json"]
    try:
        p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           timeout=TIMEOUT_S)
        if p.returncode != 0:
            tail = "\n".join((p.stderr or p.stdout).strip().splitlines()[-5:])
            raise RuntimeError("exit status %d: %s" % (p.returncode, tail))
        entries = {}
        if is_gb:
            with open(out_file) as f:
                entries.update(gb_entries(json.load(f), aliases))
        entries.update(result_lines(p.stdout))
        notes = [l[5:] for l in p.stdout.splitlines() if l.startswith("note ")]
        if not entries and not is_gb:
            notes = p.stdout.rstrip().splitlines()  # a program of another form: its own words
        return entries, notes
    finally:
        if out_file:
            os.unlink(out_file)


def fmt(v, unit):
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(v) >= scale and unit.endswith("/s"):
            return "%.3g %s%s" % (v / scale, prefix, unit)
    return ("%.0f %s" if abs(v) >= 1000 else "%.4g %s") % (v, unit)


def report(title, runs, cases, notes):
    print("== %s (%d paired runs)" % (title, runs))
    for n in notes:
        print("   " + n)
    pairs, single = [], []
    for case in sorted(cases):
        sides = cases[case]
        vk = sides.get("vk")
        peers = [s for s in sides if s != "vk"]
        if vk is None or not peers:
            single.extend((case, s, e) for s, e in sides.items())
            continue
        for peer in peers:
            pairs.append((case, vk, peer, sides[peer]))
    for case, vk, peer, pe in pairs:
        n = min(len(vk.values), len(pe.values))
        ratios = []
        for a, b in zip(vk.values[:n], pe.values[:n]):
            if a > 0 and b > 0:
                ratios.append(a / b if vk.higher else b / a)
        if not ratios:
            continue
        print("  %-36s vkto %-15s %-22s ratio min %.2f / median %.2f" % (
            case, fmt(statistics.median(vk.values), vk.unit),
            "%s %s" % (peer, fmt(statistics.median(pe.values), pe.unit)), min(ratios), statistics.median(ratios)))
        if pe.label:
            print("  %-36s   peer %s: %s" % ("", peer, pe.label))
    for case, side, e in single:
        best = max(e.values) if e.higher else min(e.values)
        print("  %-36s %s median, best %s (%s is better; no peer)" % (
            case + ("@" + side if side else ""), fmt(statistics.median(e.values), e.unit), fmt(best, e.unit),
            "higher" if e.higher else "lower"))
    sys.stdout.flush()


def collect(title, cmd, is_gb, runs, variants, aliases=None):
    cases, notes, failed = {}, [], None
    for run in range(runs):
        for vlabel, venv in variants:
            env = dict(os.environ)
            env.update(venv)
            try:
                entries, n = run_once(cmd, env, is_gb, aliases or {})
            except (RuntimeError, subprocess.TimeoutExpired, OSError, ValueError) as e:
                failed = str(e)
                continue
            if not notes:
                notes = n
            if run == 0 and not entries and not is_gb:
                # It makes its own rounds and says so itself.
                print("== %s (its own output)" % title)
                for line in notes:
                    print("   " + line)
                return True
            for name, (value, unit, higher, label) in entries.items():
                case, side = split_name(name)
                if side is None:
                    side = ""
                if vlabel:
                    case = "%s [%s]" % (case, vlabel)
                e = cases.setdefault(case, {}).setdefault(side, Entry(unit, higher, label))
                e.values.append(value)
    if failed and not cases:
        print("== %s: FAILED: %s" % (title, failed))
        return False
    report(title, runs, cases, notes)
    if failed:
        print("   (some runs failed: %s)" % failed)
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", default="", help="run only programs and scripts whose name contains this")
    a = ap.parse_args()
    bindir = os.path.abspath(a.bin)
    vkto = os.path.join(bindir, "vkto")
    print("ratio = vkto's speed / the peer's speed: higher is better for vkto (above 1.00 vkto is faster);")
    print("min and median over %d runs, each run measuring both sides back to back\n" % a.runs)
    ok = True
    programs = sorted(f for f in os.listdir(bindir) if f.startswith("bench_")) if os.path.isdir(bindir) else []
    for name in programs:
        path = os.path.join(bindir, name)
        source = os.path.join(HERE, name + ".cpp")
        if a.only not in name or not os.path.isfile(source) or not os.access(path, os.X_OK):
            continue
        with open(source, errors="replace") as f:
            is_gb = "benchmark/benchmark.h" in f.read()
        ok &= collect(name, [path], is_gb, a.runs, VARIANTS.get(name, [("", {})]), ALIASES.get(name))
    for name in sorted(os.listdir(HERE)):
        if not (name.startswith("bench_") and name.endswith(".py")) or a.only not in name:
            continue
        cmd = [sys.executable, os.path.join(HERE, name), "--vkto", vkto]
        ok &= collect(name, cmd, False, a.runs, [("", {})])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
