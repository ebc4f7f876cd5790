#!/usr/bin/env python3
"""Mutation check: plants faults in one source file, one at a time, and counts how many the
tests of an area catch.

Each planted fault flips one comparison (< and <=, > and >=, == and !=), one logical operator
(&& and ||) or one integer constant (n becomes n + 1; 0 becomes 1) on a line of code. For each
one the build is rebuilt and the area's tests are run; the fault is caught when a test fails. A
fault that does not compile is not viable and is neither caught nor missed. The file is
restored after every fault and when the script stops, however it stops.

  scripts/mutate.py FILE LABEL [-n N] [--build-dir DIR] [--seed S] [--timeout SECONDS]

FILE is a source file of the project, LABEL the ctest label of the area whose tests should
catch its faults (ai_navigation, physics, ...). N faults (default 20) are picked from all the
candidates, spread over the file and chosen the same way for the same file, seed and N, so a
run before and after a change to the tests plants the same faults. The build folder (default
build/, as scripts/test.sh makes it) must be configured already.
"""

import argparse
import random
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

# Operators replaced one for the other. The look-arounds keep <<, >>, ->, <=>, templates
# closed by >> and the like out of the candidates; a template's < or > that slips through makes
# a fault that does not compile, which is counted as not viable.
COMPARISONS = [
    (re.compile(r"(?<![<>=!\-])<=(?![=>])"), "<"),
    (re.compile(r"(?<![<>=!\-])>=(?![=])"), ">"),
    (re.compile(r"(?<![<>=!\-])<(?![<=>])"), "<="),
    (re.compile(r"(?<![<>=!\-])>(?![>=])"), ">="),
    (re.compile(r"(?<![<>=!])==(?!=)"), "!="),
    (re.compile(r"!=(?!=)"), "=="),
    (re.compile(r"&&"), "||"),
    (re.compile(r"\|\|"), "&&"),
]
# A decimal integer that is not part of a name, a float or a hexadecimal number.
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")


def code_spans(line):
    """Yields (start, end) ranges of a line that are code: outside strings, characters and a
    trailing // comment."""
    start = 0
    i = 0
    quote = None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 2
                continue
            if c == quote:
                quote = None
                start = i + 1
        elif c in "\"'":
            if i > start:
                yield start, i
            quote = c
        elif line.startswith("//", i):
            break
        i += 1
    if not quote and i > start:
        yield start, i


def candidates(lines):
    """Every (line index, column, old text, new text) a fault may be planted at."""
    found = []
    in_block = False
    for n, line in enumerate(lines):
        stripped = line.strip()
        if in_block:
            if "*/" in stripped:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#", "*", "static_assert")):
            continue
        for lo, hi in code_spans(line):
            part = line[lo:hi]
            for pattern, replacement in COMPARISONS:
                for m in pattern.finditer(part):
                    found.append((n, lo + m.start(), m.group(0), replacement))
            for m in INTEGER.finditer(part):
                value = int(m.group(1))
                found.append((n, lo + m.start(), m.group(1), str(value + 1)))
    return found


def pick(found, count, seed):
    """Picks count candidates spread over the file: the file's candidates are cut into count
    runs and one is drawn from each."""
    if len(found) <= count:
        return list(found)
    rng = random.Random(seed)
    chosen = []
    for k in range(count):
        lo = k * len(found) // count
        hi = (k + 1) * len(found) // count
        chosen.append(found[rng.randrange(lo, hi)])
    return chosen


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("file", help="source file to plant faults in")
    parser.add_argument("label", help="ctest label of the tests that should catch them")
    parser.add_argument("-n", type=int, default=20, help="number of faults (default 20)")
    parser.add_argument("--build-dir", default=None, help="configured build folder (default build/)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the pick (default 1)")
    parser.add_argument("--timeout", type=int, default=600,
                        help="seconds allowed for one build or one test run (default 600)")
    parser.add_argument("--jobs", type=int, default=0, help="parallel jobs (default: every core)")
    args = parser.parse_args()

    root = Path(__file__).resolve().parent.parent
    source = Path(args.file)
    if not source.is_absolute():
        source = (Path.cwd() / source).resolve()
    if not source.is_file():
        sys.exit(f"mutate: no such file: {args.file}")
    build = Path(args.build_dir) if args.build_dir else root / "build"
    if not (build / "CMakeCache.txt").is_file():
        sys.exit(f"mutate: {build} is not a configured build folder (run scripts/test.sh first)")
    if args.n < 1:
        sys.exit(f"mutate: -n must be at least 1, not {args.n}")
    jobs = ["-j", str(args.jobs)] if args.jobs > 0 else []

    original = source.read_text()
    lines = original.split("\n")
    faults = pick(candidates(lines), args.n, f"{source.name}:{args.seed}")
    if not faults:
        sys.exit(f"mutate: nothing to mutate in {args.file}")

    backup = source.with_name(source.name + ".mutate-backup")
    shutil.copy2(source, backup)

    def restore(*_):
        # Written anew rather than copied back with its old time stamp: the build must see the
        # file as newer than the object compiled from the last fault.
        source.write_text(original)
        backup.unlink(missing_ok=True)
        if _:
            sys.exit(130)

    signal.signal(signal.SIGINT, restore)
    signal.signal(signal.SIGTERM, restore)
    try:
        # The unchanged file must build and pass first, or every fault would look caught.
        if run(["cmake", "--build", str(build), *jobs], args.timeout) != 0:
            sys.exit("mutate: the build fails before any fault is planted")
        if run(["ctest", "--test-dir", str(build), "-L", args.label, *jobs], args.timeout) != 0:
            sys.exit(f"mutate: the tests labelled {args.label} fail before any fault is planted")
        caught = viable = 0
        for n, col, old, new in faults:
            mutated = list(lines)
            mutated[n] = lines[n][:col] + new + lines[n][col + len(old):]
            source.write_text("\n".join(mutated))
            where = f"{source.name}:{n + 1}:{col + 1} {old} -> {new}"
            if run(["cmake", "--build", str(build), *jobs], args.timeout) != 0:
                print(f"not viable  {where}", flush=True)
                continue
            viable += 1
            status = run(["ctest", "--test-dir", str(build), "-L", args.label, "--stop-on-failure",
                          *jobs], args.timeout)
            verdict = "caught" if status != 0 else "MISSED"
            caught += status != 0
            print(f"{verdict:10}  {where}", flush=True)
        print(f"{source.relative_to(root) if source.is_relative_to(root) else source}: "
              f"{caught} of {viable} planted faults caught ({len(faults) - viable} did not compile)")
    finally:
        restore()
        # Leave the build matching the restored file.
        run(["cmake", "--build", str(build), *jobs], args.timeout)


if __name__ == "__main__":
    main()
