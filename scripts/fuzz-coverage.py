#!/usr/bin/env python3
"""Coverage that a fuzz target's corpus reaches in Kestrun's own sources.

Replays the corpus once (libFuzzer -runs=0 -print_coverage=1) and sums the
instrumented edges per source file of the project (the fuzz targets
themselves, tests and system headers left out).

  scripts/fuzz-coverage.py TARGET [--build BUILD_DIR] [--functions]

The corpus is BUILD_DIR/fuzz-corpus/TARGET (what a campaign found) plus the
committed fuzz/corpus/TARGET. --functions lists every function as well.
"""

import argparse
import collections
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINE = re.compile(r"^(UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) (.*) (\S+):\d+$")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("target")
    p.add_argument("--build", default=os.path.join(ROOT, "build-fuzz"))
    p.add_argument("--functions", action="store_true")
    args = p.parse_args()
    binary = os.path.join(args.build, "fuzz", "fuzz_" + args.target)
    dirs = [d for d in (os.path.join(args.build, "fuzz-corpus", args.target),
                        os.path.join(ROOT, "fuzz", "corpus", args.target)) if os.path.isdir(d)]
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


if __name__ == "__main__":
    main()
