"""`zuv merge-driver` on a large plain Jupyter notebook (no canvas metadata)
against the floor of reading and writing it.

The floor is json.load + json.dump of the three versions, measured in the
same run.  The driver runs as git starts it, a process of its own, so its
start-up (`zuv --help`, measured alongside) is taken off.  Both shapes:
nbformat 4.5 (cells matched by id) and 4.4 (no ids: matched by alignment),
with 5% of the cells changed on one side, re-run cells, a few cells changed
on both sides in distant lines, one cell inserted and one deleted.

Usage: python bench/bench_plain_merge.py [cells] [runs]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import generate  # noqa: E402

ZUV = os.path.join(os.path.dirname(sys.executable), "zuv")


def plain(document, with_ids):
    del document["metadata"]["canvas"]
    document["nbformat_minor"] = 5 if with_ids else 4
    for cell in document["cells"]:
        del cell["metadata"]["canvas"]
        if not with_ids:
            cell.pop("id", None)
    return document


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(cells, runs, with_ids):
    work = tempfile.mkdtemp(prefix="zuv-bench-")
    try:
        triple = generate.triple(cells, seed=11, one_side=0.05, both_sides=0.005)
        base, current, incoming = (plain(d, with_ids) for d in triple)
        del current["cells"][cells // 3]
        incoming["cells"].insert(2 * cells // 3, {"cell_type": "markdown", "metadata": {},
                                                  "source": ["## added\n"], **({"id": "added"} if with_ids else {})})
        texts = {name: json.dumps(doc, indent=1) + "\n"
                 for name, doc in (("base", base), ("current", current), ("incoming", incoming))}
        paths = {name: os.path.join(work, name + ".ipynb") for name in texts}
        for name, text in texts.items():
            with open(paths[name], "w", encoding="utf-8") as f:
                f.write(text)
        out = os.path.join(work, "floor.ipynb")
        merged = os.path.join(work, "merged.ipynb")

        def floor():
            for name in ("current", "base", "incoming"):
                with open(paths[name], encoding="utf-8") as f:
                    doc = json.load(f)
                with open(out, "w", encoding="utf-8") as f:
                    json.dump(doc, f, indent=1)

        def merge():
            with open(merged, "w", encoding="utf-8") as f:
                f.write(texts["current"])
            result = subprocess.run([ZUV, "merge-driver", paths["base"], merged, paths["incoming"], "7", "nb.ipynb"],
                                    capture_output=True, text=True)
            assert result.returncode in (0, 1), result.stderr
            assert "line by line" not in result.stderr, result.stderr

        def startup():
            subprocess.run([ZUV, "--help"], capture_output=True)

        merge()  # warm the file cache
        return median_time(floor, runs), median_time(merge, runs), median_time(startup, runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    cells = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    print(f"{'shape':<22}{'floor s':>9}{'merge s':>9}{'start s':>9}{'(merge-start)/floor':>22}")
    for with_ids in (True, False):
        floor, merge, start = measure(cells, runs, with_ids)
        shape = f"{cells} cells, " + ("4.5 ids" if with_ids else "4.4 no ids")
        print(f"{shape:<22}{floor:9.3f}{merge:9.3f}{start:9.3f}{(merge - start) / floor:22.2f}")


if __name__ == "__main__":
    main()
