#!/usr/bin/env python3
"""Line and branch coverage of src/ by whatever ran in a coverage build (cmake --preset coverage,
then the tests): every .gcda under BUILD is read with gcov's JSON output, and a line or branch
counts as covered when any object that holds it ran it. Headers compiled into many objects are
counted once. Usage: tests/coverage-summary.py [BUILD]   (default build-cov)"""
import gzip, json, os, subprocess, sys, tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build-cov"))
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
                if not full.startswith(source):
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
