#!/usr/bin/env python3
"""Seeded one-operator mutants of the product code, each built and tested.

  scripts/mutants.py --seed 7 --count 60 --work /tmp/mutants \
      --test 'build/tests/unit_tests' --test 'ctest --test-dir build -R blackbox'

Copies the checkout to WORK/src once, then for each mutant: changes one
operator in one product source line, builds incrementally, and runs the test
commands in order (from WORK/src) until one fails. A mutant is killed by the
first command that fails or times out; mutants that do not compile are left
out of the figures. Prints, per test command, how many mutants were killed by
it or an earlier one, and lists the survivors.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys

PRODUCT_FOLDERS = ("base", "gateway", "forwarding", "settings", "log", "platform")
# Files the native tests never build (matched against the path).
SKIPPED = re.compile(r"(^|/)win32/|main\.cpp$")
# Kept among the sites, so that a seed picks the same mutants as before, but
# left out of the figures: the native build does not compile them.
NOT_BUILT_HERE = re.compile(r"tls/(schannel|none)\.cpp$")

# Each operator and what it becomes; the lookarounds keep e.g. "<" from
# matching inside "<<" or "<=".
SWAPS = [
    (r"==", "!="), (r"!=", "=="),
    (r"(?<![<-])<(?![<=])", "<="), (r"<=", "<"),
    (r"(?<![>-])>(?![>=])", ">="), (r">=", ">"),
    (r"&&", "||"), (r"\|\|", "&&"),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r"(?<=[\w)\]] )\+ 1\b", "- 1"), (r"(?<=[\w)\]] )- 1\b", "+ 1"),
    (r"\breturn (?=[a-zA-Z_(!])", "return !"),
]


def code_part(line):
    """The line without a trailing comment, with string and character
    literals blanked, so that no swap lands in them."""
    line = re.sub(r'"(\\.|[^"\\])*"', lambda m: " " * len(m.group(0)), line)
    line = re.sub(r"'(\\.|[^'\\])'", lambda m: " " * len(m.group(0)), line)
    cut = line.find("//")
    return line if cut < 0 else line[:cut]


def product_files(root):
    """The product's sources, folders included, in a fixed order."""
    for folder in PRODUCT_FOLDERS:
        for parent, folders, names in os.walk(os.path.join(root, folder)):
            folders.sort()
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    yield os.path.relpath(os.path.join(parent, name), root)


def sites(root):
    found = []
    for path in product_files(root):
        if SKIPPED.search(path):
            continue
        with open(os.path.join(root, path), encoding="utf-8") as f:
            lines = f.read().split("\n")
        for number, line in enumerate(lines):
            stripped = line.strip()
            if stripped.startswith(("#", "//", "*", "/*")) or "template" in line:
                continue
            code = code_part(line)
            for pattern, replacement in SWAPS:
                for match in re.finditer(pattern, code):
                    found.append((path, number, match.start(), match.end(), replacement))
    return found


def run(command, cwd, timeout):
    # Its own process group, so that a mutant stuck in a loop goes with the
    # shell when time is up.
    child = subprocess.Popen(command, shell=True, cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=60)
    parser.add_argument("--work", default="/tmp/nph-gw-mutants")
    parser.add_argument("--test", action="append", required=True)
    parser.add_argument("--timeout", type=int, default=300)
    parser.add_argument("--build", default="cmake --build build -j2")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    source = os.path.join(args.work, "src")
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(root, source, ignore=shutil.ignore_patterns(".git", "build*", "dist"))
    if run("cmake -S . -B build -DNPH_GW_TESTS=ON -DNPH_GW_STATIC=OFF >/dev/null && " + args.build,
           source, 1800) != 0:
        sys.exit("the unmutated tree does not build")
    for test in args.test:
        if run(test, source, args.timeout) != 0:
            sys.exit("the unmutated tree fails: " + test)

    chosen = random.Random(args.seed).sample(sites(source), args.count)
    killed_by = [0] * len(args.test)
    built = 0
    survivors = []
    for path, number, start, end, replacement in chosen:
        full = os.path.join(source, path)
        with open(full, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        line = lines[number]
        lines[number] = line[:start] + replacement + line[end:]
        label = "%s:%d  %s  ->  %s" % (path, number + 1, line.strip(), lines[number].strip())
        if NOT_BUILT_HERE.search(path):
            print("not built here  " + label, flush=True)
            continue
        with open(full, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        try:
            if run(args.build, source, 1800) != 0:
                print("no build  " + label, flush=True)
                continue
            built += 1
            verdict = None
            for index, test in enumerate(args.test):
                if run(test, source, args.timeout) != 0:
                    verdict = index
                    break
            if verdict is None:
                survivors.append(label)
                print("survived  " + label, flush=True)
            else:
                for index in range(verdict, len(args.test)):
                    killed_by[index] += 1
                print("killed(%d) %s" % (verdict + 1, label), flush=True)
        finally:
            with open(full, "w", encoding="utf-8") as f:
                f.write(original)
            # Keeps the next incremental build from trusting a stale object.
            os.utime(full)
    print("\nmutants that compiled: %d of %d (seed %d)" % (built, args.count, args.seed))
    for index, test in enumerate(args.test):
        print("killed by test %d and earlier (%s): %d/%d" % (index + 1, test, killed_by[index], built))
    print("survivors:\n  " + "\n  ".join(survivors))


if __name__ == "__main__":
    main()
