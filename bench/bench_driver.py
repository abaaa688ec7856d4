"""`zuv merge-driver` against the floor and against the peer merge tool, in one run.

Every figure is a whole process started as git starts a merge driver, the
candidates of a shape alternating round by round so that they share the
machine's load.  The floor is a Python process running `json.load` and
`json.dump` of the three versions (interpreter start included, as the
driver's is).  Shapes:

  pipeline 2,000   bench/generate.py's 2,000-cell triple with changes on one
                   side only (no source merge), 11 MB a version, written as
                   Jupyter writes (indent 1);
  both N           N cells (50, 500, 5,000), every source changed on both
                   sides, on distinct lines (clean merges) or the same line
                   (a conflict block per cell); with --process also the
                   process route (`zuv.sourceMerge process`: one
                   `git merge-file` per cell);
  plain 2,000      a stock Jupyter notebook (no canvas metadata), with
                   nbformat ids (4.5) and without (4.4).

With --peer (the peer's `git-nbmergedriver`, installed in a venv of its own
by `make bench-venv`): the peer and the driver on generate.py's triples of
10 to 5,000 cells and on the plain 2,000-cell triples; the peer is stopped
after --cap seconds.

Targets: pipeline 2,000 <= 0.7x the floor; both N <= 1.2x; the process
route >= 10x the driver's time at 500 and 5,000 cells; plain 2,000 <= 1x;
the peer >= 30x the driver's time wherever it finishes.

Usage: python -P bench/bench_driver.py [--runs 5] [--process] [--peer PATH] [--cap 300]
       [--shapes "pipeline 2,000" ...] [--only-peer]
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_plain_merge  # noqa: E402
import bench_source_merges  # noqa: E402
import generate  # noqa: E402

ZUV = os.path.join(os.path.dirname(sys.executable), "zuv")
FLOOR = """
import json, sys
for name in ("base", "current", "incoming"):
    with open(sys.argv[1] + "/" + name + ".ipynb", encoding="utf-8") as f:
        document = json.load(f)
    with open(sys.argv[1] + "/floor.ipynb", "w", encoding="utf-8") as f:
        json.dump(document, f)
"""
PROCESS_ROUTE = {"GIT_CONFIG_COUNT": "1", "GIT_CONFIG_KEY_0": "zuv.sourceMerge",
                 "GIT_CONFIG_VALUE_0": "process"}


def plain_triple(cells, with_ids):
    base, current, incoming = (bench_plain_merge.plain(d, with_ids) for d in
                               generate.triple(cells, seed=11, one_side=0.05, both_sides=0.005))
    del current["cells"][cells // 3]
    incoming["cells"].insert(2 * cells // 3, {"cell_type": "markdown", "metadata": {}, "source": ["## added\n"],
                                              **({"id": "added"} if with_ids else {})})
    return base, current, incoming


def shapes(args):
    yield "pipeline 2,000 cells, one side", lambda: generate.triple(2000, seed=7, one_side=0.05), 0.7, False
    for size in (50, 500, 5000):
        for same_line in (False, True):
            documents = bench_source_merges.triple(size, same_line)
            yield (f"both {size:,} cells, {'same line' if same_line else 'distinct lines'}",
                   lambda d=documents: (d["base"], d["current"], d["incoming"]), 1.2, args.process)
    yield "plain 2,000 cells, 4.5 ids", lambda: plain_triple(2000, True), 1.0, False
    yield "plain 2,000 cells, 4.4 no ids", lambda: plain_triple(2000, False), 1.0, False


class Folder:
    """The three versions written as Jupyter writes them; the current file
    restored before every run (the driver writes over it)."""

    def __init__(self, documents):
        self.path = tempfile.mkdtemp(prefix="zuv-bench-driver-")
        self.files = {}
        for name, document in zip(("base", "current", "incoming"), documents):
            self.files[name] = os.path.join(self.path, name + ".ipynb")
            with open(self.files[name], "w", encoding="utf-8") as f:
                f.write(json.dumps(document, indent=1, ensure_ascii=False) + "\n")
        self.out = os.path.join(self.path, "merged.ipynb")

    def restore(self):
        shutil.copyfile(self.files["current"], self.out)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, env=None, cap=None):
    """(wall seconds, CPU seconds: user + system) of one run, or None when
    stopped at the cap.  On a loaded machine the CPU time is the steadier
    figure: the wall time counts the waits for a core too."""
    cpu = children_cpu()
    start = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, stderr = child.communicate(timeout=cap)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return None
    elapsed = time.perf_counter() - start
    if child.returncode not in (0, 1):
        sys.exit(f"{command[:2]} failed ({child.returncode}): {stderr.decode(errors='replace')[-2000:]}")
    return elapsed, children_cpu() - cpu


def driver(folder):
    return [ZUV, "merge-driver", folder.files["base"], folder.out, folder.files["incoming"], "7", "nb.ipynb"]


def medians(samples):
    """Median wall and CPU seconds of (wall, cpu) samples."""
    return statistics.median(w for w, _ in samples), statistics.median(c for _, c in samples)


def floor_table(args, env):
    print(f"{'shape':<34}{'floor':>16}{'driver':>16}{'wall':>7}{'CPU':>7}{'target':>8}"
          f"{'process':>16}{'speed-up':>12}  met")
    print(f"{'':<34}{'wall / CPU':>16}{'wall / CPU':>16}{'ratio':>7}{'ratio':>7}{'':>8}"
          f"{'wall / CPU':>16}{'wall / CPU':>12}")
    for name, make, target, with_process in shapes(args):
        if args.shapes and not any(part in name for part in args.shapes):
            continue
        folder = Folder(make())
        try:
            times = {"floor": [], "driver": [], "process": []}
            for _ in range(args.runs):
                times["floor"].append(timed([sys.executable, "-P", "-c", FLOOR, folder.path], env))
                folder.restore()
                times["driver"].append(timed(driver(folder), env))
                if with_process:
                    folder.restore()
                    times["process"].append(timed(driver(folder), {**env, **PROCESS_ROUTE}))
        finally:
            folder.close()
        floor, merged = medians(times["floor"]), medians(times["driver"])
        ratios = merged[0] / floor[0], merged[1] / floor[1]
        met = ratios[0] <= target
        line = (f"{name:<34}{floor[0] * 1e3:7.0f} /{floor[1] * 1e3:5.0f}ms{merged[0] * 1e3:7.0f} /"
                f"{merged[1] * 1e3:5.0f}ms{ratios[0]:6.2f}x{ratios[1]:6.2f}x{'<= ' + str(target) + 'x':>8}")
        if with_process:
            process = medians(times["process"])
            speed = process[0] / merged[0], process[1] / merged[1]
            line += f"{process[0]:7.2f} /{process[1]:5.2f} s{speed[0]:5.1f} /{speed[1]:4.1f}x"
            if "both 50 " not in name:
                met = met and speed[0] >= 10
        else:
            line += " " * 28
        print(f"{line}  {'yes' if met else 'NO'}", flush=True)


def peer_table(args, env):
    print(f"\n{'peer triple':<34}{'driver wall / CPU':>16}{'peer wall / CPU':>16}{'peer/driver':>16}"
          "  met (>= 30x, wall)")
    triples = [(f"pipeline {n:,} cells", lambda n=n: generate.triple(
        n, seed=7, one_side=0.05, both_sides=0.02, conflicts=0.01)) for n in (10, 50, 100, 500, 1000, 2000, 5000)]
    triples += [("plain 2,000 cells, 4.5 ids", lambda: plain_triple(2000, True)),
                ("plain 2,000 cells, 4.4 no ids", lambda: plain_triple(2000, False))]
    peer_env = {**env, "PATH": os.path.dirname(args.peer) + os.pathsep + env.get("PATH", "")}
    for name, make in triples:
        folder = Folder(make())
        try:
            ours, theirs = [], []
            for run in range(args.runs):
                folder.restore()
                ours.append(timed(driver(folder), env))
                if run < args.peer_runs:
                    folder.restore()
                    theirs.append(timed([args.peer, "merge", folder.files["base"], folder.out,
                                         folder.files["incoming"], "7", "nb.ipynb"], peer_env, args.cap))
        finally:
            folder.close()
        merged = medians(ours)
        if any(t is None for t in theirs):
            print(f"{name:<34}{merged[0] * 1e3:7.0f} /{merged[1] * 1e3:5.0f}ms{'> ' + str(args.cap) + ' s':>16}"
                  f"{'':>16}  (stopped)", flush=True)
            continue
        peer = medians(theirs)
        ratio = peer[0] / merged[0], peer[1] / merged[1]
        print(f"{name:<34}{merged[0] * 1e3:7.0f} /{merged[1] * 1e3:5.0f}ms{peer[0]:7.2f} /{peer[1]:5.2f} s"
              f"{ratio[0]:8.1f} /{ratio[1]:5.1f}x  {'yes' if ratio[0] >= 30 else 'NO'}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--process", action="store_true", help="also the process route on the both-sides shapes")
    parser.add_argument("--peer", help="the peer's git-nbmergedriver")
    parser.add_argument("--peer-runs", type=int, default=3)
    parser.add_argument("--cap", type=float, default=300)
    parser.add_argument("--only-peer", action="store_true")
    parser.add_argument("--shapes", nargs="+", help="only the floor shapes whose names hold one of these")
    args = parser.parse_args()
    env = {**os.environ, "GIT_CONFIG_NOSYSTEM": "1"}
    loads = [os.getloadavg()[0]]
    print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; medians of {args.runs} runs; "
          f"load average {loads[0]:.1f} at the start")
    if not args.only_peer:
        floor_table(args, env)
    if args.peer:
        peer_table(args, env)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
