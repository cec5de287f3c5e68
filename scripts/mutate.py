#!/usr/bin/env python3
"""Mutation run: does the suite catch small, realistic faults?

Applies each mutation of a list (scripts/mutations.txt by default) to the
source tree in turn, rebuilds incrementally, runs the test suite (stopping
at the first failure) and reports which mutations no test caught. The file
is restored after each one, also on Ctrl-C. Not part of CI: a run takes
about a minute a mutation on two cores. Run it before resolving an engine
or tool change, and add the mutation of every bug found to the list.

List format, one mutation a line, tab-separated:
    FILE  FIND  REPLACE  [FIND  REPLACE ...]
FIND must occur exactly once in FILE; "\\n" in FIND or REPLACE stands for a
line end. A line "#! equivalent: REASON" just before a mutation marks it as
one that cannot be caught (it changes nothing observable).

    scripts/mutate.py [--list FILE] [--build DIR] [--only SUBSTRING] [--jobs N]
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse(path):
    mutations, note = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#! equivalent:"):
                note = line[len("#! equivalent:"):].strip()
                continue
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) < 3 or len(fields) % 2 == 0:
                sys.exit(f"{path}:{number}: expected FILE, then FIND and REPLACE pairs")
            edits = [(fields[i].replace("\\n", "\n"), fields[i + 1].replace("\\n", "\n"))
                     for i in range(1, len(fields), 2)]
            mutations.append({"line": number, "file": fields[0], "edits": edits, "equivalent": note})
            note = None
    return mutations


def run(cmd, timeout):
    try:
        p = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return 124, (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")


def first_failure(output):
    m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (\S+)", output)
    return m.group(1) if m else "(see ctest output)"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutations.txt"))
    ap.add_argument("--build", default=os.environ.get("BUILD_DIR", "build"))
    ap.add_argument("--only", default="", help="run the mutations whose file or text contains this")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = ap.parse_args()

    mutations = [m for m in parse(args.list)
                 if not args.only or args.only in m["file"] or any(args.only in f for f, _ in m["edits"])]
    build = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    if not os.path.isdir(os.path.join(ROOT, args.build)):
        subprocess.run(["cmake", "-S", ".", "-B", args.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    status, out = run(build, 3600)
    if status != 0:
        sys.exit("the unmutated tree does not build:\n" + out[-3000:])
    test = ["ctest", "--test-dir", args.build, "-j", str(args.jobs), "--stop-on-failure", "--timeout", "300"]

    results = []
    for k, m in enumerate(mutations, 1):
        path = os.path.join(ROOT, m["file"])
        label = f'{m["file"]}:{m["line"]}'
        with open(path, encoding="utf-8") as f:
            original = f.read()
        mutated = original
        stale = None
        for find, replace in m["edits"]:
            count = mutated.count(find)
            if count != 1:
                stale = f"text found {count} times"
                break
            mutated = mutated.replace(find, replace)
        if stale:
            results.append((label, "stale", stale, m))
            print(f"[{k}/{len(mutations)}] {label}: stale ({stale})", flush=True)
            continue
        start = time.time()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(mutated)
            status, out = run(build, 1800)
            if status != 0:
                verdict, detail = "does not build", ""
            else:
                status, out = run(test, 3600)
                verdict, detail = ("caught", first_failure(out)) if status != 0 else ("survived", "")
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        if verdict == "survived" and m["equivalent"]:
            verdict, detail = "equivalent", m["equivalent"]
        results.append((label, verdict, detail, m))
        print(f"[{k}/{len(mutations)}] {label}: {verdict} {detail} ({time.time() - start:.0f} s)", flush=True)
    run(build, 3600)  # leave the build matching the sources

    counted = [r for r in results if r[1] in ("caught", "survived", "equivalent")]
    caught = sum(1 for r in counted if r[1] in ("caught", "equivalent"))
    print(f"\n{len(counted)} mutations run, {caught} caught or equivalent "
          f"({100.0 * caught / max(len(counted), 1):.0f}%)")
    for label, verdict, detail, m in results:
        if verdict in ("survived", "stale", "does not build", "equivalent"):
            print(f"  {verdict:15} {label}  {m['edits'][0][0].strip()[:80]}  {detail}")
    return 1 if any(r[1] in ("survived", "stale") for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
