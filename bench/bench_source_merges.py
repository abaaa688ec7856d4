"""`zuv merge-driver` on notebooks whose cells are changed on both sides: the
in-process source merges (libgit2) against the process route
(`zuv.sourceMerge process`, one `git merge-file` per cell) and the floor.

Shapes: N cells (50, 500, 5,000), every cell's source changed by both sides,
on distinct lines (clean merges) or on the same line (a conflict block per
cell).  Every figure is a whole process as git starts it, median of --runs
runs, the routes alternating; the floor is a process that runs `json.load`
and `json.dump` of the three versions (interpreter start included).

Usage: python bench/bench_source_merges.py [--runs 5] [--sizes 50 500 5000]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ZUV = Path(sys.executable).parent / "zuv"

FLOOR = """
import json, sys
for name in ("base", "current", "incoming"):
    with open(sys.argv[1] + "/" + name + ".ipynb") as f:
        document = json.load(f)
    with open(sys.argv[1] + "/floor.ipynb", "w") as f:
        json.dump(document, f)
"""


def cell(k, source):
    return {"cell_type": "code", "execution_count": None, "id": f"nb-{k}",
            "metadata": {"canvas": {"id": f"c{k}", "name": f"step{k}", "parents": [], "comments": [],
                                    "headerColor": "none"}},
            "outputs": [], "source": source}


def triple(cells, same_line):
    lines = [f"line {i} = compute({i})\n" for i in range(8)]
    sides = {"base": [], "current": [], "incoming": []}
    for k in range(cells):
        current, incoming = list(lines), list(lines)
        current[1] = "line 1 = mine()\n"
        incoming[1 if same_line else 6] = "line x = theirs()\n"
        for side, source in (("base", lines), ("current", current), ("incoming", incoming)):
            sides[side].append(cell(k, source))
    return {side: {"cells": c, "metadata": {"canvas": {"parameters": [], "version": "1"}}, "nbformat": 4,
                   "nbformat_minor": 5} for side, c in sides.items()}


def timed(command, env, folder, documents):
    for side, document in documents.items():
        with open(folder / f"{side}.ipynb", "w") as f:
            json.dump(document, f, indent=1)
    start = time.perf_counter()
    done = subprocess.run(command, cwd=folder, env=env, capture_output=True)
    elapsed = time.perf_counter() - start
    if done.returncode not in (0, 1):
        sys.exit(f"{command[:2]} failed: {done.stderr.decode()}")
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 500, 5000])
    args = parser.parse_args()
    driver = [str(ZUV), "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb", "7", "nb.ipynb"]
    base_env = {**os.environ, "GIT_CONFIG_NOSYSTEM": "1"}
    process_env = {**base_env, "GIT_CONFIG_COUNT": "1", "GIT_CONFIG_KEY_0": "zuv.sourceMerge",
                   "GIT_CONFIG_VALUE_0": "process"}
    floor = [sys.executable, "-P", "-c", FLOOR, "."]
    print(f"{'shape':<22} {'floor':>9} {'in-process':>11} {'process':>9} {'in/floor':>9} {'speed-up':>9}")
    folder = Path(tempfile.mkdtemp())
    try:
        for size in args.sizes:
            for same_line in (False, True):
                documents = triple(size, same_line)
                times = {"floor": [], "in": [], "process": []}
                for _ in range(args.runs):
                    times["floor"].append(timed(floor, base_env, folder, documents))
                    times["in"].append(timed(driver, base_env, folder, documents))
                    times["process"].append(timed(driver, process_env, folder, documents))
                m = {k: statistics.median(v) for k, v in times.items()}
                shape = f"{size} cells, {'same line' if same_line else 'distinct lines'}"
                print(f"{shape:<22} {m['floor'] * 1e3:7.0f}ms {m['in'] * 1e3:9.0f}ms {m['process'] * 1e3:7.0f}ms "
                      f"{m['in'] / m['floor']:8.2f}x {m['process'] / m['in']:8.1f}x", flush=True)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
