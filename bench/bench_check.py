"""`zuv check` on many notebooks against `json.load` of them.

A pre-commit hook or a CI gate runs `zuv check` over every notebook of a
repository.  Its floor is reading and parsing them: the reference is a
Python loop of `json.load` over the same files, timed inside its process
(without the interpreter's start-up, which `zuv check` pays).  `zuv check`
runs as the hook runs it, a fresh process given every path.  Rounds are
interleaved so both see the same machine load; the files stay in the page
cache for both.

The notebooks come from bench/generate.py (the pipeline notebooks of the
other benchmarks); `--distinct` of them are generated and each is written
several times under its own name, so a large set is quick to build.

Target: `zuv check` at most 2x the `json.load` loop, 1,000 notebooks of 100 cells.

    python bench/bench_check.py [--notebooks 1000] [--cells 100] [--rounds 5] [--distinct 50]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402

ZUV = os.path.join(os.path.dirname(sys.executable), "zuv")
TARGET = 2.0

JSON_LOOP = """
import json, sys, time
paths = sys.argv[1:]
start = time.perf_counter()
for path in paths:
    with open(path, encoding="utf-8") as f:
        json.load(f)
print(time.perf_counter() - start)
"""


def write_notebooks(folder, count, cells, distinct):
    texts = []
    for seed in range(distinct):
        document = generate.notebook(cells, seed=seed)
        texts.append(json.dumps(document, indent=1, sort_keys=True, ensure_ascii=False) + "\n")
    paths, size = [], 0
    for k in range(count):
        name = f"nb{k:05d}.ipynb"
        text = texts[k % distinct]
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
        size += len(text.encode())
        paths.append(name)
    return paths, size


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--notebooks", type=int, default=1000)
    parser.add_argument("--cells", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--distinct", type=int, default=50)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-check-") as folder:
        paths, size = write_notebooks(folder, args.notebooks, args.cells, min(args.distinct, args.notebooks))
        json_loop, check = [], []
        for _ in range(args.rounds):
            loop = subprocess.run([sys.executable, "-c", JSON_LOOP, *paths], cwd=folder, check=True,
                                  capture_output=True, text=True)
            json_loop.append(float(loop.stdout))
            start = time.perf_counter()
            result = subprocess.run([ZUV, "check", "--", *paths], cwd=folder, capture_output=True, text=True)
            check.append(time.perf_counter() - start)
            if result.returncode != 0:
                sys.exit(f"zuv check failed ({result.returncode}): {result.stdout[:500]}{result.stderr[:500]}")

    loads, checks = statistics.median(json_loop), statistics.median(check)
    ratio = checks / loads
    load = os.getloadavg()[0]
    print(f"{args.notebooks} notebooks of {args.cells} cells, {size / 1e6:.0f} MB, "
          f"median of {args.rounds} rounds, load {load:.1f}")
    print("| json.load loop (in process) | zuv check (whole process) | check/json |")
    print("|---|---|---|")
    print(f"| {loads * 1000:.0f} ms | {checks * 1000:.0f} ms | {ratio:.2f} |")
    met = ratio <= TARGET
    print(f"target: zuv check <= {TARGET}x json.load: {ratio:.2f}x, {'met' if met else 'NOT met'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
