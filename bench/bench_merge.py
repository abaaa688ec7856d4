"""merge_files on a large notebook against the floor of reading and writing it.

The floor is json.load + json.dump of the three documents: what any merge
driver must at least do.  Usage: python bench/bench_merge.py [cells] [runs]
"""
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import generate  # noqa: E402

from zuv_weft_git.drivers import merge_files  # noqa: E402


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(cells=2000, runs=5):
    """Medians (floor seconds, merge_files seconds) and MB per version."""
    work = tempfile.mkdtemp(prefix="zuv-bench-")
    try:
        # Changes on one side only and re-run cells: no cell needs a source merge.
        base, current, incoming = generate.triple(cells, seed=7, one_side=0.05)
        paths = {}
        for name, doc in (("base", base), ("current", current), ("incoming", incoming)):
            paths[name] = os.path.join(work, name + ".ipynb")
            with open(paths[name], "w", encoding="utf-8") as f:
                json.dump(doc, f)
        target = os.path.join(work, "merged.ipynb")
        out = os.path.join(work, "floor.ipynb")

        def floor():
            for name in ("current", "base", "incoming"):
                with open(paths[name], encoding="utf-8") as f:
                    doc = json.load(f)
                with open(out, "w", encoding="utf-8") as f:
                    json.dump(doc, f)

        def merge():
            shutil.copyfile(paths["current"], target)
            merge_files(paths["base"], target, paths["incoming"], "pipeline.ipynb")

        def copy_only():
            shutil.copyfile(paths["current"], target)

        merge()  # warm up imports and caches
        t_floor = median_time(floor, runs)
        t_merge = median_time(merge, runs) - median_time(copy_only, runs)
        return t_floor, t_merge, os.path.getsize(paths["current"]) / 1e6
    finally:
        shutil.rmtree(work)


def main(cells=2000, runs=5):
    t_floor, t_merge, size = measure(cells, runs)
    print(f"notebook: {cells} cells, {size:.1f} MB per version; median of {runs} runs")
    print(f"{'json.load + json.dump (x3)':32} {t_floor * 1000:9.1f} ms")
    print(f"{'merge_files':32} {t_merge * 1000:9.1f} ms   ratio {t_merge / t_floor:5.2f}x (target <= 2x)")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
