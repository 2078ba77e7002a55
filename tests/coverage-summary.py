#!/usr/bin/env python3
"""Line and branch coverage of src/ by whatever ran in a coverage build (cmake --preset coverage,
then the tests): every .gcda under BUILD is read with gcov's JSON output, and a line or branch
counts as covered when any object that holds it ran it. Headers compiled into many objects are
counted once. Usage: tests/coverage-summary.py [BUILD] [--exclude REGEX] [--by-file]   (default
build-cov); --exclude leaves out files of src/ whose path matches, --by-file lists each file's
lines and branches not covered."""
import gzip, json, os, subprocess, sys, tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
import argparse, re
parser = argparse.ArgumentParser()
parser.add_argument("build", nargs="?", default=os.path.join(root, "build-cov"))
parser.add_argument("--exclude")
parser.add_argument("--by-file", action="store_true")
args = parser.parse_args()
build = os.path.abspath(args.build)
with open(os.path.join(build, "CMakeCache.txt")) as cache:
    for entry in cache:
        if entry.startswith("CMAKE_HOME_DIRECTORY:"):
            root = entry.split("=", 1)[1].strip()
source = os.path.join(root, "src") + os.sep
lines, branches = {}, {}
with tempfile.TemporaryDirectory() as work:
    for directory, _, names in os.walk(build):
        data = [os.path.join(directory, n) for n in names if n.endswith(".gcda")]
        if not data:
            continue
        subprocess.run(["gcov", "-j", "-b", "-o", directory] + data, cwd=work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name in os.listdir(work):
            path = os.path.join(work, name)
            with gzip.open(path) as f:
                report = json.load(f)
            os.remove(path)
            cwd = report.get("current_working_directory", "")
            for file in report["files"]:
                full = os.path.normpath(os.path.join(cwd, file["file"]))
                if not full.startswith(source) or (args.exclude and re.search(args.exclude, full[len(source):])):
                    continue
                for line in file["lines"]:
                    key = (full, line["line_number"])
                    lines[key] = lines.get(key, False) or line["count"] > 0
                    for i, branch in enumerate(line.get("branches", [])):
                        bkey = key + (i,)
                        branches[bkey] = branches.get(bkey, False) or branch["count"] > 0
def share(table):
    return 100.0 * sum(table.values()) / max(1, len(table))
print(f"lines {share(lines):.1f}% of {len(lines)}; branches {share(branches):.1f}% of {len(branches)}")
if args.by_file:
    for path in sorted({k[0] for k in lines}):
        missed = sum(1 for k, v in lines.items() if k[0] == path and not v)
        missedBranches = sum(1 for k, v in branches.items() if k[0] == path and not v)
        print(f"{missed:5} lines {missedBranches:5} branches not covered  {path[len(source):]}")
