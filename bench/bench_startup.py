"""Start-up: how long a git command waits for each driver process.

Every command runs as git runs it (a fresh process, the console script),
in interleaved rounds so that all see the same machine load, against the
floor `python -c pass` and the reference `python -c "import git, jsondiff"`
(what any driver importing GitPython and jsondiff pays before it starts).
The merge drivers merge a small triple in which each side changed other
cells, so no source merge (and no GitPython) is needed.

Target: `zuv merge-driver` at most 0.4x the reference, measured in the same run.

    python bench/bench_startup.py [--rounds 20] [--cells 50]
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402

BIN = os.path.dirname(sys.executable)
TARGET = 0.4
REFERENCE = 'python -c "import git, jsondiff"'


def write_triple(folder, cells):
    # Each edited cell is changed by one side only: nothing for a source merge.
    base, current, incoming = generate.triple(cells, seed=7, one_side=0.3, both_sides=0.0, conflicts=0.0)
    paths = {}
    for name, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths[name] = os.path.join(folder, f"{name}.ipynb")
        with open(paths[name], "w", encoding="utf-8") as f:
            json.dump(document, f, indent=1, sort_keys=True, ensure_ascii=False)
            f.write("\n")
    return paths


def commands(paths, out):
    """(label, argv, needs a fresh copy of the current file) per command."""
    zuv, zuvmerge = os.path.join(BIN, "zuv"), os.path.join(BIN, "zuvmerge")
    return [
        ("python -c pass", [sys.executable, "-c", "pass"], False),
        (REFERENCE, [sys.executable, "-c", "import git, jsondiff"], False),
        ("zuv merge-driver", [zuv, "merge-driver", paths["base"], out, paths["incoming"], "7",
                              "pipeline.ipynb"], True),
        ("zuvmerge", [zuvmerge, "--base-file", paths["base"], "--current-file", out, "--incoming-file",
                      paths["incoming"], "--file-path", "pipeline.ipynb"], True),
        ("zuv diff", [zuv, "diff", "--color=never", paths["base"], paths["incoming"]], False),
        ("zuv textconv", [zuv, "textconv", paths["current"]], False),
        ("zuv --help", [zuv, "--help"], False),
    ]


def measure(rounds=20, cells=50):
    """Median wall seconds per command label, all measured in one run."""
    with tempfile.TemporaryDirectory(prefix="bench-startup-") as folder:
        paths = write_triple(folder, cells)
        out = os.path.join(folder, "merged.ipynb")
        table = commands(paths, out)
        samples = {label: [] for label, _, _ in table}
        for _ in range(rounds):
            for label, argv, fresh in table:
                if fresh:
                    shutil.copyfile(paths["current"], out)
                start = time.perf_counter()
                result = subprocess.run(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                samples[label].append(time.perf_counter() - start)
                if result.returncode not in (0, 1):
                    raise SystemExit(f"{label} failed ({result.returncode}): {result.stderr.decode()}")
        return {label: statistics.median(s) for label, s in samples.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_STARTUP_ROUNDS", "20")))
    parser.add_argument("--cells", type=int, default=50)
    args = parser.parse_args()
    medians = measure(args.rounds, args.cells)
    reference = medians[REFERENCE]
    print(f"{'command':<36} {'median ms':>10} {'x reference':>12}")
    for label, seconds in medians.items():
        print(f"{label:<36} {seconds * 1e3:>10.1f} {seconds / reference:>12.2f}")
    ratio = medians["zuv merge-driver"] / reference
    met = "met" if ratio <= TARGET else "NOT met"
    print(f"target zuv merge-driver <= {TARGET}x {REFERENCE}: {ratio:.2f}x, {met} "
          f"({args.rounds} rounds, {args.cells} cells, load average {os.getloadavg()[0]:.2f})")
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
