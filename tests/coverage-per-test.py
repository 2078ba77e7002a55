#!/usr/bin/env python3
"""Which tests add coverage that no other test adds, in a coverage build (cmake --preset coverage).

Each test of the build runs alone with its counters written to a folder of its own (GCOV_PREFIX),
and gcov reads them back: a test covers the lines and branches of src/ it ran. Prints every test
whose lines and branches the other tests all cover too, largest first, chosen so that removing all
of them together keeps the suite's coverage (a greedy pass, not the smallest such set). Coverage
cannot see what a test asserts: a listed test may still be the only one that checks a value, an
order or an error text. Read each before removing it.

Usage: tests/coverage-per-test.py [BUILD] [--filter REGEX] [--save FILE]   (default build-cov)
Runs the tests two at a time; a whole run takes about as long as the suite under coverage."""
import argparse, collections, gzip, json, os, re, shutil, subprocess, tempfile
from concurrent.futures import ThreadPoolExecutor

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
parser = argparse.ArgumentParser()
parser.add_argument("build", nargs="?", default=os.path.join(root, "build-cov"))
parser.add_argument("--filter", default="")
parser.add_argument("--save")
args = parser.parse_args()
build = os.path.abspath(args.build)
source = os.path.join(root, "src") + os.sep
listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                    capture_output=True, text=True, check=True).stdout)
tests = [t for t in listing["tests"] if re.search(args.filter, t["name"])]


def covered(prefix):
    """The lines and branches of src/ whose counters under `prefix` are not zero."""
    items = set()
    with tempfile.TemporaryDirectory() as work:
        for directory, _, names in os.walk(prefix):
            data = [os.path.join(directory, n) for n in names if n.endswith(".gcda")]
            if not data:
                continue
            for gcda in data:  # gcov wants the notes file beside the counters
                notes = os.path.join(directory[len(prefix):], os.path.basename(gcda)[:-5] + ".gcno")
                if os.path.exists(notes) and not os.path.exists(gcda[:-5] + ".gcno"):
                    os.symlink(notes, gcda[:-5] + ".gcno")
            subprocess.run(["gcov", "-j", "-b", "-o", directory] + data, cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for name in os.listdir(work):
                with gzip.open(os.path.join(work, name)) as f:
                    report = json.load(f)
                os.remove(os.path.join(work, name))
                for file in report["files"]:
                    full = os.path.normpath(os.path.join(report.get("current_working_directory", ""), file["file"]))
                    if not full.startswith(source):
                        continue
                    for line in file["lines"]:
                        key = f"{full[len(source):]}:{line['line_number']}"
                        if line["count"] > 0:
                            items.add("L" + key)
                        items.update(f"B{key}:{i}" for i, b in enumerate(line.get("branches", [])) if b["count"] > 0)
    return items


def run(test):
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    prefix = tempfile.mkdtemp(prefix="quarlin-cov-")
    environment = dict(os.environ, GCOV_PREFIX=prefix, GCOV_PREFIX_STRIP="0")
    environment.update(e.split("=", 1) for e in properties.get("ENVIRONMENT", []))
    result = subprocess.run(test["command"], cwd=properties.get("WORKING_DIRECTORY"), env=environment,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900)
    try:
        return test["name"], result.returncode == 0, covered(prefix)
    finally:
        shutil.rmtree(prefix, ignore_errors=True)


with ThreadPoolExecutor(2) as pool:
    results = list(pool.map(run, tests))
for name, passed, _ in results:
    if not passed:
        print(f"failed (its coverage is partial): {name}")
if args.save:
    with open(args.save, "w") as out:
        json.dump({name: sorted(items) for name, _, items in results}, out)

# Parameterised instances (Suite/Test/row) count as one test: they go or stay together.
merged = collections.defaultdict(set)
for name, _, items in results:
    parts = name.split("/")
    merged[parts[1] if len(parts) > 1 and "." not in parts[0] else parts[0]] |= items
sizes = {}
for path in subprocess.run(["git", "ls-files", "tests"], cwd=root, capture_output=True, text=True).stdout.split():
    if path.endswith(".cpp"):
        text = open(os.path.join(root, path)).read().split("\n")
        starts = [(i, m.group(2) + "." + m.group(3)) for i, l in enumerate(text)
                  for m in [re.match(r"\s*(TEST|TEST_F|TEST_P)\((\w+),\s*(\w+)\)", l)] if m]
        for k, (i, name) in enumerate(starts):
            end = starts[k + 1][0] if k + 1 < len(starts) else len(text)
            sizes[name] = (sum(1 for l in text[i:end] if l.strip() and not l.strip().startswith("//")), path)
holders = collections.Counter()
for items in merged.values():
    holders.update(items)
print(f"{len(merged)} tests cover {len(holders)} lines and branches of src/")
removable = 0
for name in sorted(merged, key=lambda n: -sizes.get(n, (0, ""))[0]):
    if all(holders[item] > 1 for item in merged[name]):
        holders.subtract(merged[name])
        lines, path = sizes.get(name, (0, "?"))
        removable += lines
        print(f"{lines:4} {name}  ({path})")
print(f"{removable} lines of tests whose coverage the others keep")
