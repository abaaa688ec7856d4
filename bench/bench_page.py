"""The pipeline page: time to write it (`zuv diff --html`), its size, and the
page's own performance.now() at the load event in headless Chromium.

First realistic diffs of 200 and 2,000 cells, in a 1400x900 window (the
budget: at most 2.5 KB a cell, a 2,000-cell page loads under 2 s);
then graph shapes whose long edges once made the page quadratic, each at 1x
and 2x (twice the cells and twice the edges), with the 2x/1x ratios of bytes,
write time (wall and CPU: on a shared machine the CPU time is the steadier
figure) and load time (target: at most 2.3):

- hub chain: a chain of 2,000 steps, each also reading the first cell;
- dense: 400 cells, each reading every earlier cell with probability 0.1
  (about 8,000 edges); at 2x 800 cells with probability 0.05;
- random DAG: 2,000 cells, each reading one to three earlier cells chosen
  uniformly (most edges span many layers).

Runs alone: `python bench/bench_page.py [--runs 5] [--only shapes]`.
"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

ZUV = Path(sys.executable).parent / "zuv"


def _cell(i, parents):
    return {"cell_type": "code", "execution_count": None, "id": f"nb-{i}", "outputs": [],
            "source": [f"v{i} = step({i})\n", f"v{i} += 1\n"],
            "metadata": {"canvas": {"id": f"c{i}", "name": f"step_{i}", "comments": [], "headerColor": "none",
                                    "parents": [{"id": f"c{p}", "name": f"step_{p}"} for p in parents]}}}


def _notebook(parents_of):
    cells = [_cell(i, parents) for i, parents in enumerate(parents_of)]
    return {"cells": cells, "metadata": {"canvas": {"parameters": [], "version": "1"}},
            "nbformat": 4, "nbformat_minor": 5}


def hub_chain(n):
    return [[]] + [[i - 1] + ([0] if i > 1 else []) for i in range(1, n)]


def dense(n, p):
    rng = random.Random(7)
    return [[j for j in range(i) if rng.random() < p] for i in range(n)]


def random_dag(n):
    rng = random.Random(11)
    return [sorted(rng.sample(range(i), min(i, rng.randint(1, 3)))) for i in range(n)]


SHAPES = [
    ("hub chain", lambda: hub_chain(2000), lambda: hub_chain(4000)),
    ("dense", lambda: dense(400, 0.1), lambda: dense(800, 0.05)),
    ("random DAG", lambda: random_dag(2000), lambda: random_dag(4000)),
]


def _edit(document):
    """A few cells changed, one removed and one added, so the page has content."""
    changed = json.loads(json.dumps(document))
    cells = changed["cells"]
    for cell in cells[:: max(1, len(cells) // 20)]:
        cell["source"] = cell["source"] + ["log(v)\n"]
    del cells[len(cells) // 2]
    cells.append(_cell(len(cells) + 10_000, [0]))
    return changed


def measure(browser, work, old, new, runs):
    (work / "old.ipynb").write_text(json.dumps(old))
    (work / "new.ipynb").write_text(json.dumps(new))
    page = work / "page.html"
    writes, cpus, loads = [], [], []
    for _ in range(runs):
        start = time.perf_counter()
        process = subprocess.Popen([str(ZUV), "diff", "--html", str(page), "old.ipynb", "new.ipynb"], cwd=work)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = 0  # reaped above
        writes.append(time.perf_counter() - start)
        cpus.append(usage.ru_utime + usage.ru_stime)
        if status != 0:
            sys.exit("zuv diff --html failed")
        dom = subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox", "--window-size=1400,900",
                              "--dump-dom", page.as_uri()], capture_output=True, text=True, check=True).stdout
        loads.append(float(re.search(r'data-load-ms="([0-9.]+)"', dom).group(1)))
    # The best of the runs: the machine's other work only ever adds time.
    return page.stat().st_size, min(writes), min(cpus), min(loads)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=["realistic", "shapes"])
    args = parser.parse_args()
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("chromium is not installed (make chromium)")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        for cells in (200, 2000) if args.only != "shapes" else ():
            base, _, incoming, _ = generate.edited_triple(cells, seed=3, long_sources=0, long_outputs=0, images=0)
            size, write, cpu, load = measure(browser, work, base, incoming, args.runs)
            print(f"{cells:,} cells, {args.runs} runs: zuv diff --html best {write * 1000:.0f} ms "
                  f"(CPU {cpu * 1000:.0f} ms); page {size / 1e6:.2f} MB ({size / cells / 1000:.2f} KB a cell); "
                  f"performance.now() at load best {load:.0f} ms")
        if args.only == "realistic":
            return
        print(f"best of {args.runs} runs\n")
        print("| shape | cells | edges | page | zuv diff --html | its CPU time | load (performance.now()) |")
        print("|---|---|---|---|---|---|---|")
        for name, small, large in SHAPES:
            figures = []
            for make in (small, large):
                parents = make()
                old = _notebook(parents)
                figures.append((len(parents), sum(map(len, parents)),
                                *measure(browser, work, old, _edit(old), args.runs)))
            for cells, edges, size, write, cpu, load in figures:
                print(f"| {name} | {cells:,} | {edges:,} | {size / 1e6:.2f} MB | {write * 1000:.0f} ms | "
                      f"{cpu * 1000:.0f} ms | {load:.0f} ms |")
            (_, _, s1, w1, c1, l1), (_, _, s2, w2, c2, l2) = figures
            print(f"| {name}: 2x / 1x | | | {s2 / s1:.2f}x | {w2 / w1:.2f}x | {c2 / c1:.2f}x | {l2 / l1:.2f}x |")


if __name__ == "__main__":
    main()
