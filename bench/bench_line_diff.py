"""The line differ on one long cell with every other line changed: `zuv diff`
(text), `zuv diff --html` and `git diff --no-index` of the same two notebook
files, at 20,000 and 40,000 lines.  Also the start-up of `zuv diff` (two
one-cell notebooks) so that the differ's own share can be read off.  Best of
the runs: the machine's other work only ever adds time.

Target: `zuv diff` at most 2x `git diff --no-index`.

With --callgrind each command runs once under valgrind's callgrind and the
table gives instructions executed instead of times: the same on a busy
machine as on a quiet one.

    python bench/bench_line_diff.py [--runs 7] [--sizes 20000,40000] [--callgrind]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ZUV = Path(sys.executable).parent / "zuv"


def _notebook(lines):
    cell = {"cell_type": "code", "execution_count": None, "id": "nb-a", "outputs": [], "source": lines,
            "metadata": {"canvas": {"id": "a", "name": "big", "parents": [], "comments": [],
                                    "headerColor": "none"}}}
    return {"cells": [cell], "metadata": {"canvas": {"parameters": [], "version": "1"}},
            "nbformat": 4, "nbformat_minor": 5}


def _write_pair(work, n):
    """old.ipynb and new.ipynb in `work`: one cell of `n` lines, every other line changed."""
    old = [f"value_{i} = compute({i})\n" for i in range(n)]
    new = [line if i % 2 else f"value_{i} = compute({i}) + 1\n" for i, line in enumerate(old)]
    (work / "old.ipynb").write_text(json.dumps(_notebook(old), indent=1))
    (work / "new.ipynb").write_text(json.dumps(_notebook(new), indent=1))


def best(argv, cwd, runs):
    """(best wall time, best CPU time: user + system of the process and its children)."""
    walls, cpus = [], []
    for _ in range(runs):
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL)
        _, _, usage = os.wait4(process.pid, 0)
        walls.append(time.perf_counter() - start)
        cpus.append(usage.ru_utime + usage.ru_stime)
        process.returncode = 0  # reaped above
    return min(walls), min(cpus)


def instructions(argv, cwd, runs):
    """Instructions executed by the command and its children, as callgrind
    counts them (`runs` is ignored: the count does not vary); the pair
    keeps best()'s shape."""
    with tempfile.TemporaryDirectory() as out:
        process = subprocess.run(["valgrind", "--tool=callgrind", "--trace-children=yes",
                                  f"--callgrind-out-file={out}/callgrind.%p", *argv],
                                 cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    counts = [int(n) for n in re.findall(r"Collected : (\d+)", process.stderr)]
    if process.returncode not in (0, 1) or not counts:  # git diff exits 1 on a difference
        sys.exit(f"callgrind failed on {argv}:\n{process.stderr}")
    return sum(counts), sum(counts)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--sizes", default="20000,40000")
    parser.add_argument("--callgrind", action="store_true",
                        help="report instruction counts (valgrind) instead of times")
    args = parser.parse_args()
    if args.callgrind:
        return count_main(args)
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        (work / "tiny.ipynb").write_text(json.dumps(_notebook(["x = 1\n"])))
        startup = best([str(ZUV), "diff", "tiny.ipynb", "tiny.ipynb"], work, args.runs)
        print(f"zuv diff start-up (two one-line notebooks): wall {startup[0] * 1000:.0f} ms, "
              f"CPU {startup[1] * 1000:.0f} ms\n")
        print("| lines | time | zuv diff | zuv diff --html | git diff --no-index | zuv diff / git | "
              "zuv diff less start-up / git |")
        print("|---|---|---|---|---|---|---|")
        for n in map(int, args.sizes.split(",")):
            _write_pair(work, n)
            text = best([str(ZUV), "diff", "old.ipynb", "new.ipynb"], work, args.runs)
            page = best([str(ZUV), "diff", "--html", "page.html", "old.ipynb", "new.ipynb"], work, args.runs)
            git = best(["git", "diff", "--no-index", "old.ipynb", "new.ipynb"], work, args.runs)
            for k, kind in enumerate(("wall", "CPU")):
                print(f"| {n:,} | {kind} | {text[k] * 1000:.0f} ms | {page[k] * 1000:.0f} ms | "
                      f"{git[k] * 1000:.0f} ms | {text[k] / git[k]:.1f}x | "
                      f"{(text[k] - startup[k]) / git[k]:.1f}x |")


def count_main(args):
    def m(count):
        return f"{count / 1e6:.0f}M"

    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        (work / "tiny.ipynb").write_text(json.dumps(_notebook(["x = 1\n"])))
        startup, _ = instructions([str(ZUV), "diff", "tiny.ipynb", "tiny.ipynb"], work, 1)
        print(f"zuv diff start-up (two one-line notebooks): {m(startup)} instructions\n")
        print("| lines | zuv diff | zuv diff --html | git diff --no-index | zuv diff / git | "
              "zuv diff less start-up / git |")
        print("|---|---|---|---|---|---|")
        for n in map(int, args.sizes.split(",")):
            _write_pair(work, n)
            text, _ = instructions([str(ZUV), "diff", "old.ipynb", "new.ipynb"], work, 1)
            page, _ = instructions([str(ZUV), "diff", "--html", "page.html", "old.ipynb", "new.ipynb"], work, 1)
            git, _ = instructions(["git", "diff", "--no-index", "old.ipynb", "new.ipynb"], work, 1)
            print(f"| {n:,} | {m(text)} | {m(page)} | {m(git)} | {text / git:.2f}x | {(text - startup) / git:.2f}x |")


if __name__ == "__main__":
    main()
