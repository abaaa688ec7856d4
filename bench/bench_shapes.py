"""merge_files and diff_dicts on notebook shapes that once cost quadratic time.

Shapes, each at its base size and at four times that size:
  (a) outputs: one cell with 8,000 stream outputs, every one changed by the
      incoming side (~0.7 MB);
  (b) dict lists: one output holding a list of 200 dicts of 200 members, a
      member of every dict changed by the incoming side (~0.8 MB);
  (c) small cells: 20,000 small cells, the incoming side changing the
      source of each (~4.6 MB);
  (d) deleted cells: 10,000 cells, all deleted by the incoming side.
The current side leaves everything as in base, so no source needs merging.

Targets, measured in the same run:
  * merge_files <= 2x json.load + json.dump of the three versions;
  * linear cost: merge_files' time per MB at 4x the size <= 1.3x its time
    per MB at 1x;
  * diff_dicts(base, incoming) <= 1x json.loads of the two texts.
Every merge_files and diff_dicts run happens in a forked child stopped after
the cap (reported as "> N s"), so the script ends in bounded time whatever
the build.  Times are medians of --runs runs.

Usage: python bench/bench_shapes.py [--runs 3] [--cap 60] [--quick]
"""

import argparse
import copy
import json
import multiprocessing
import os
import shutil
import statistics
import sys
import tempfile
import time
from queue import Empty

from zuv_weft_git.drivers import merge_files
from zuv_weft_git.drivers.notebook_diff import diff_dicts


# --- the shapes ----------------------------------------------------------------------

def cell(cid, source, outputs=()):
    return {
        "cell_type": "code", "execution_count": 1, "id": f"nb-{cid}",
        "metadata": {"canvas": {"id": cid, "name": f"step {cid}", "parents": [],
                                "comments": [], "headerColor": "none"}},
        "outputs": list(outputs), "source": list(source),
    }


def notebook(cells):
    return {
        "cells": cells,
        "metadata": {"canvas": {"parameters": [{"name": "p", "type": "str", "value": "1"}],
                                "version": "1"},
                     "kernelspec": {"display_name": "Python 3", "language": "python",
                                    "name": "python3"}},
        "nbformat": 4, "nbformat_minor": 5,
    }


def stream(text):
    return {"name": "stdout", "output_type": "stream", "text": [text]}


def changed_outputs(scale):
    n = 8000 * scale
    base = notebook([cell("c0", ["run()\n"], [stream(f"step {i} done\n") for i in range(n)])])
    incoming = notebook([cell("c0", ["run()\n"], [stream(f"step {i} redone\n") for i in range(n)])])
    return base, incoming


def dict_lists(scale):
    rows, members = 200 * scale, 200

    def table(tag):
        return [{f"k{j}": (tag if j == i % members else f"v{i}") for j in range(members)}
                for i in range(rows)]

    def document(tag):
        output = {"output_type": "execute_result", "execution_count": 1, "metadata": {},
                  "data": {"application/json": table(tag)}}
        return notebook([cell("c0", ["show()\n"], [output])])

    return document("old"), document("new")


def small_cells(scale):
    n = 20000 * scale
    base = notebook([cell(f"c{i}", [f"x{i} = {i}\n"]) for i in range(n)])
    incoming = notebook([cell(f"c{i}", [f"x{i} = {i + 1}\n"]) for i in range(n)])
    return base, incoming


def deleted_cells(scale):
    n = 10000 * scale
    return notebook([cell(f"c{i}", [f"x{i} = {i}\n"]) for i in range(n)]), notebook([])


SHAPES = [("(a) changed outputs", changed_outputs), ("(b) dict lists", dict_lists),
          ("(c) small cells changed", small_cells), ("(d) cells deleted", deleted_cells)]


# --- measuring ---------------------------------------------------------------------

def capped(function, cap):
    """function() in a forked child: its result, or None after `cap` seconds."""
    context = multiprocessing.get_context("fork")
    queue = context.Queue()

    def child():
        try:
            queue.put(function())
        except BaseException as error:  # noqa: BLE001 - reported by the parent
            queue.put(f"{type(error).__name__}: {error}")

    process = context.Process(target=child)
    process.start()
    try:
        result = queue.get(timeout=cap)
    except Empty:
        result = None
        process.kill()
    process.join()
    if isinstance(result, str):
        raise RuntimeError(result)
    return result


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def median(function, runs, cap=None):
    """Median seconds of `runs` runs; None when a run passed the cap."""
    times = []
    for _ in range(runs):
        seconds = timed(function) if cap is None else capped(lambda: timed(function), cap)
        if seconds is None:
            return None
        times.append(seconds)
    return statistics.median(times)


def measure(make, scale, runs, cap, work):
    base, incoming = make(scale)
    current = copy.deepcopy(base)
    paths = {}
    for name, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths[name] = os.path.join(work, f"{name}.ipynb")
        with open(paths[name], "w", encoding="utf-8") as f:
            f.write(json.dumps(document))
    texts = {name: open(path, encoding="utf-8").read() for name, path in paths.items()}
    megabytes = sum(len(t.encode()) for t in texts.values()) / 1e6
    base_megabytes = len(texts["base"].encode()) / 1e6
    target, scratch = os.path.join(work, "merged.ipynb"), os.path.join(work, "floor.ipynb")

    def floor():
        for name in ("current", "base", "incoming"):
            with open(paths[name], encoding="utf-8") as f:
                document = json.load(f)
            with open(scratch, "w", encoding="utf-8") as f:
                json.dump(document, f)

    def merge():
        shutil.copyfile(paths["current"], target)
        start = time.perf_counter()
        merge_files(paths["base"], target, paths["incoming"], "pipeline.ipynb")
        return time.perf_counter() - start

    def merge_median():
        times = []
        for _ in range(runs):
            seconds = capped(merge, cap)
            if seconds is None:
                return None
            times.append(seconds)
        return statistics.median(times)

    prev, now = json.loads(texts["base"]), json.loads(texts["incoming"])
    return {
        "MB": megabytes,
        "base MB": base_megabytes,
        "floor": median(floor, runs),
        "merge": merge_median(),
        "loads": median(lambda: (json.loads(texts["base"]), json.loads(texts["incoming"])), runs),
        "diff": median(lambda: diff_dicts(prev, now), runs, cap),
    }


def seconds(value, cap):
    if value is None:
        return f"> {cap:.0f} s"
    return f"{value * 1e3:.0f} ms" if value < 10 else f"{value:.1f} s"


def ratio(value, floor):
    return "-" if value is None else f"{value / floor:.2f}x"


def verdict(value, limit):
    return "no" if value is None else ("yes" if value <= limit else "NO")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per measurement")
    parser.add_argument("--cap", type=float, default=60.0, help="time cap of one run (s)")
    parser.add_argument("--quick", action="store_true", help="one run, 10 s cap")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.cap = 1, 10.0
    rows, scaling = [], []
    work = tempfile.mkdtemp(prefix="zuv-shapes-")
    try:
        for title, make in SHAPES:
            results = {}
            for scale in (1, 4):
                r = results[scale] = measure(make, scale, args.runs, args.cap, work)
                rows.append((f"{title}, {scale}x", f"{r['base MB']:.2f} MB", seconds(r["floor"], args.cap),
                             seconds(r["merge"], args.cap), ratio(r["merge"], r["floor"]),
                             verdict(r["merge"] and r["merge"] / r["floor"], 2.0),
                             seconds(r["loads"], args.cap), seconds(r["diff"], args.cap),
                             ratio(r["diff"], r["loads"]),
                             verdict(r["diff"] and r["diff"] / r["loads"], 1.0)))
                print(" | ".join(rows[-1]), file=sys.stderr, flush=True)
            small, large = results[1], results[4]
            growth = (None if small["merge"] is None or large["merge"] is None else
                      (large["merge"] / large["MB"]) / (small["merge"] / small["MB"]))
            scaling.append((title, "-" if growth is None else f"{growth:.2f}x",
                            verdict(growth, 1.3)))
    finally:
        shutil.rmtree(work)

    print(f"median of {args.runs} runs, cap {args.cap:.0f} s per run; "
          f"load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}\n")
    print("| shape | base version | json.load+dump x3 | merge_files | ratio | <= 2x "
          "| json.loads x2 | diff_dicts | ratio | <= 1x |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print("\n| shape | merge_files time per MB, 4x over 1x | <= 1.3x |")
    print("|---|---|---|")
    for row in scaling:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
