#!/usr/bin/env python3
"""Coverage that a fuzz target's corpus reaches in Kestrun's own sources.

Replays the corpus once (libFuzzer -runs=0 -print_coverage=1) and sums the
instrumented edges per source file of the project (the fuzz targets
themselves, tests and system headers left out).

  scripts/fuzz-coverage.py TARGET [--build BUILD_DIR] [--functions]
  scripts/fuzz-coverage.py TARGET --source COVERAGE_BUILD_DIR [--build BUILD_DIR]

The corpus is BUILD_DIR/fuzz-corpus/TARGET (what a campaign found) plus the
committed fuzz/corpus/TARGET. --functions lists every function as well.

Sanitizer builds count the sanitizers' own check branches as edges, which an
input reaches only by triggering the fault; --source instead replays the
corpus with the fuzzer of a coverage build (-DKESTRUN_FUZZ_COVERAGE=ON) and
prints llvm-cov's line and branch figures inside the functions entered.
"""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINE = re.compile(r"^(UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) (.*) (\S+):\d+$")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("target")
    p.add_argument("--build", default=os.path.join(ROOT, "build-fuzz"))
    p.add_argument("--functions", action="store_true")
    p.add_argument("--source", metavar="COVERAGE_BUILD_DIR")
    args = p.parse_args()
    binary = os.path.join(args.build, "fuzz", "fuzz_" + args.target)
    dirs = [d for d in (os.path.join(args.build, "fuzz-corpus", args.target),
                        os.path.join(ROOT, "fuzz", "corpus", args.target)) if os.path.isdir(d)]
    if args.source:
        source_report(args, dirs)
        return
    run = subprocess.run([binary, "-runs=0", "-print_coverage=1", "-close_fd_mask=1"] + dirs,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=ROOT)
    files = collections.OrderedDict()
    functions = []
    for raw in run.stderr.decode("utf-8", "replace").splitlines():
        m = LINE.match(raw)
        if not m:
            continue
        path = os.path.normpath(m.group(5))
        if not path.startswith(ROOT + os.sep):
            continue
        rel = os.path.relpath(path, ROOT)
        if rel.startswith(("fuzz" + os.sep, "tests" + os.sep)):
            continue
        covered, total = int(m.group(2)), int(m.group(3))
        f = files.setdefault(rel, [0, 0, 0, 0])
        f[0] += 1 if covered else 0
        f[1] += 1
        f[2] += covered
        f[3] += total
        functions.append((rel, m.group(4), covered, total))
    if not files:
        sys.stderr.write(run.stderr.decode("utf-8", "replace")[-2000:])
        sys.exit("no coverage printed for %s" % args.target)
    inputs = re.findall(r"INFO: seed corpus: files: (\d+)", run.stderr.decode())
    print("fuzz_%s: corpus of %s inputs" % (args.target, inputs[0] if inputs else "?"))
    for rel, (fr, ft, ec, et) in sorted(files.items()):
        print("  %-40s functions %3d/%-3d edges %5d/%-5d (%.0f %%)"
              % (rel, fr, ft, ec, et, 100.0 * ec / et if et else 0))
    if args.functions:
        for rel, name, covered, total in functions:
            print("    %s: %s %d/%d" % (rel, name, covered, total))


def tool(name):
    for candidate in (name + "-14", name):
        if shutil.which(candidate):
            return candidate
    sys.exit("%s not found" % name)


def source_report(args, dirs):
    binary = os.path.join(args.source, "fuzz", "fuzz_" + args.target)
    with tempfile.TemporaryDirectory(prefix="kestrun-cov-") as work:
        env = dict(os.environ, LLVM_PROFILE_FILE=os.path.join(work, "run-%p.profraw"))
        files = [f for d in dirs for f in os.listdir(d)]
        subprocess.run([binary, "-runs=0", "-close_fd_mask=1"] + dirs, env=env, cwd=ROOT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        raws = [os.path.join(work, n) for n in os.listdir(work) if n.endswith(".profraw")]
        if not raws:
            sys.exit("no profile written by %s" % binary)
        data = os.path.join(work, "merged.profdata")
        subprocess.run([tool("llvm-profdata"), "merge", "-sparse", "-o", data] + raws, check=True)
        report = subprocess.run(
            [tool("llvm-cov"), "report", binary, "-instr-profile=" + data,
             "-ignore-filename-regex=(/usr/|/fuzz/|/tests/|/sim/)"],
            check=True, stdout=subprocess.PIPE, cwd=ROOT).stdout.decode()
        # Per function, for the files the target enters at all.
        entered = []
        for line in report.splitlines():
            cols = line.split()
            if len(cols) >= 10 and cols[0] not in ("Filename", "TOTAL") and \
                    not set(line.strip()) <= {"-"} and int(cols[7]) > int(cols[8]):
                entered.append(cols[0])
        per_function = subprocess.run(
            [tool("llvm-cov"), "report", binary, "-instr-profile=" + data, "-show-functions"]
            + entered, check=True, stdout=subprocess.PIPE, cwd=ROOT).stdout.decode()
    demangle = shutil.which("llvm-cxxfilt-14") or shutil.which("c++filt")
    print("fuzz_%s: corpus of %d inputs, source-based coverage of the functions it enters"
          % (args.target, len(files)))
    print("  (functions entered of the file's; then lines and branches covered inside them)")
    current = None
    rows = {}
    for line in per_function.splitlines():
        m = re.match(r"^File '(.*)':$", line)
        if m:
            current = os.path.relpath(m.group(1), ROOT)
            rows[current] = []
            continue
        cols = line.split()
        if current is None or len(cols) != 10 or cols[0] in ("Name", "TOTAL"):
            continue
        rows[current].append((cols[0], int(cols[4]), int(cols[5]), int(cols[7]), int(cols[8])))
    for name, funcs in rows.items():
        inside = [f for f in funcs if f[1] > f[2]]
        lines = sum(f[1] for f in inside)
        lmiss = sum(f[2] for f in inside)
        branches = sum(f[3] for f in inside)
        bmiss = sum(f[4] for f in inside)
        print("  %-38s functions %3d/%-3d lines %5d/%-5d branches %4d/%-4d"
              % (name, len(inside), len(funcs), lines - lmiss, lines, branches - bmiss, branches))
        if args.functions:
            for f in inside:
                label = f[0]
                if demangle:
                    label = subprocess.run([demangle, f[0]], stdout=subprocess.PIPE).stdout \
                        .decode().strip()
                print("      %-60s lines %d/%d branches %d/%d"
                      % (label[:60], f[1] - f[2], f[1], f[3] - f[4], f[3]))


if __name__ == "__main__":
    main()
