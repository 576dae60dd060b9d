#!/usr/bin/env python3
"""Seeds one fault at a time into the product and runs the whole suite.

scripts/mutate.py [--build DIR] [--check] [ID ...]

Each row of scripts/mutants.tsv (id, file, text, replacement, what; "\\n" and
"\\t" stand for a newline and a tab, "\\\\" for a backslash) replaces the first occurrence of a text
in a product file. The Release build in DIR (default build-mut, configured on
first use) is rebuilt and ctest runs until the first failing test. A fault is
"killed" when some test fails, "survived" when all pass, "stale" when its text
is no longer in the file, "broken" when the build fails. The file is restored
after each row, also when interrupted; the script refuses to start on a tree
whose product files have uncommitted changes. It exits non-zero when a row is
stale or broken, so that a change to the product cannot quietly retire a
fault; --check only looks for every row's text, without building.
"""
import argparse
import csv
import pathlib
import re
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def unescape(text):
    return re.sub(r"\\([nt\\])", lambda m: {"n": "\n", "t": "\t", "\\": "\\"}[m.group(1)], text)


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build-mut")
    parser.add_argument("--check", action="store_true", help="only find every row's text")
    parser.add_argument("ids", nargs="*")
    args = parser.parse_args()
    # A stop by signal unwinds too, so that the seeded file is restored.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutate: stopped"))

    rows = read_rows(args.ids)
    if args.check:
        stale = [row[0] for row in rows if unescape(row[2]) not in (ROOT / row[1]).read_text()]
        for fault in stale:
            print(f"{fault}\tstale")
        print(f"{len(rows) - len(stale)} of {len(rows)} rows found")
        return 1 if stale else 0

    dirty = run(["git", "status", "--porcelain", "--", "kestrun", "platform", "libutils-macOS"])
    if dirty.stdout.strip():
        sys.exit("mutate: commit or stash the product changes first:\n" + dirty.stdout)
    if not (ROOT / args.build / "build.ninja").exists():
        if run(["scripts/build.sh", args.build, "-DCMAKE_BUILD_TYPE=Release"]).returncode != 0:
            sys.exit("mutate: the unchanged tree does not build")

    counts = {}
    for fault, name, text, replacement, what in rows:
        path = ROOT / name
        original = path.read_text()
        text, replacement = unescape(text), unescape(replacement)
        started = time.time()
        if text not in original:
            outcome = "stale"
        else:
            try:
                path.write_text(original.replace(text, replacement, 1))
                built = run(["cmake", "--build", args.build])
                if built.returncode != 0:
                    outcome = "broken"
                else:
                    tested = run(["ctest", "--test-dir", args.build, "-j2", "--timeout", "300",
                                  "--stop-on-failure", "-Q"])
                    outcome = "killed" if tested.returncode != 0 else "survived"
            finally:
                path.write_text(original)
        counts[outcome] = counts.get(outcome, 0) + 1
        print(f"{fault}\t{outcome}\t{time.time() - started:.0f}s\t{what}", flush=True)
    run(["cmake", "--build", args.build])
    print("total: " + ", ".join(f"{n} {o}" for o, n in sorted(counts.items())))
    return 1 if counts.get("stale") or counts.get("broken") else 0


def read_rows(ids):
    with open(ROOT / "scripts/mutants.tsv", newline="") as table:
        rows = [row for row in csv.reader(table, delimiter="\t", quoting=csv.QUOTE_NONE)
                if row and row[0][0] != "#"]
    return [row for row in rows if row[0] in ids] if ids else rows


if __name__ == "__main__":
    sys.exit(main())
