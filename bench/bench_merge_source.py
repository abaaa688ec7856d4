"""Cost of one source merge and of starting the zuvmerge command.

1. `_merge_source` against running `git merge-file` as a subprocess on the
   same three files (both from this process, interleaved, medians).  Two
   more rows show the parts around git: a fresh temporary directory holding
   three new files, made and removed in plain Python (what `_merge_source`
   must do besides running git), and GitPython's own cost: `g.merge_file` on
   the same files.
2. Starting `zuvmerge --help`, and merging the example notebooks with
   `zuvmerge`, against `python -c "import git, jsondiff"`.

Prints a table; the ratio column is against the reference of each group.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import git

from zuv_weft_git.drivers import notebook_merge

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "200"))
STARTUP_ROUNDS = int(os.environ.get("BENCH_STARTUP_ROUNDS", "20"))


def cell_source(variant: str) -> list:
    """A 40-line code cell; `variant` edits one line near the top or the bottom."""
    lines = [f"features['f{i}'] = df['c{i}'].fillna(0) * {i}\n" for i in range(40)]
    lines[-1] = lines[-1].rstrip("\n")
    if variant == "top":
        lines[3] = "features['f3'] = df['c3'].clip(lower=0)\n"
    elif variant == "bottom":
        lines[35] = "features['f35'] = np.log1p(df['c35'])\n"
    elif variant == "top-other":
        lines[3] = "features['f3'] = df['c3'].abs()\n"
    return lines


CASES = {
    "clean (distant edits)": ("top", "base", "bottom"),
    "conflict (same line)": ("top", "base", "top-other"),
}


def median_ms(samples):
    return statistics.median(samples) * 1e3


def bench_source_merge(rows):
    g = git.cmd.Git()
    with tempfile.TemporaryDirectory(prefix="bench-merge-source-") as work:
        for label, variants in CASES.items():
            current, base, incoming = (cell_source(v) for v in variants)
            paths = [os.path.join(work, name) for name in ("current", "base", "incoming")]

            def write_files():
                for path, lines in zip(paths, (current, base, incoming)):
                    with open(path, "w", encoding="utf-8") as f:
                        f.write("".join(lines))

            def fresh_directory():
                with tempfile.TemporaryDirectory() as directory:
                    for name, lines in zip(("current", "base", "incoming"), (current, base, incoming)):
                        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
                            f.write("".join(lines))

            def run_git():
                write_files()  # git merges in place: restore the current file
                start = time.perf_counter()
                subprocess.run(["git", "merge-file", *paths], capture_output=True)
                return time.perf_counter() - start

            def run_gitpython():
                write_files()
                start = time.perf_counter()
                try:
                    g.merge_file(*paths)
                except git.GitCommandError:  # status 1..127: conflicts
                    pass
                return time.perf_counter() - start

            def run_merge_source():
                start = time.perf_counter()
                notebook_merge._merge_source(g, current, base, incoming,
                                             current_name="nb-current", incoming_name="nb-incoming")
                return time.perf_counter() - start

            subprocess_times, merge_times, directory_times, gitpython_times = [], [], [], []
            for round_number in range(ROUNDS):
                # Alternate the order so that neither side always runs first.
                if round_number % 2:
                    merge_times.append(run_merge_source())
                    subprocess_times.append(run_git())
                else:
                    subprocess_times.append(run_git())
                    merge_times.append(run_merge_source())
                start = time.perf_counter()
                fresh_directory()
                directory_times.append(time.perf_counter() - start)
                gitpython_times.append(run_gitpython())
            reference = median_ms(subprocess_times)
            # Neighbouring runs share the machine's load; their ratio is steadier
            # than the ratio of medians on a busy machine.
            paired = statistics.median(m / s for m, s in zip(merge_times, subprocess_times))
            rows.append((f"source merge, {label}", "git merge-file subprocess", reference, 1.0))
            rows.append(("", "_merge_source", median_ms(merge_times), median_ms(merge_times) / reference))
            rows.append(("", "  (median of paired ratios)", float("nan"), paired))
            rows.append(("", "  temp dir + 3 new files alone", median_ms(directory_times),
                         median_ms(directory_times) / reference))
            rows.append(("", "  git merge-file through GitPython alone", median_ms(gitpython_times),
                         median_ms(gitpython_times) / reference))


STUB_HELP = """
import sys
import zuv_weft_git.drivers as drivers
from zuv_weft_git.drivers import notebook_merge
drivers.merge_files = lambda **kwargs: None
from zuv_weft_git.scripts._launcher import main
sys.argv = ["zuvmerge", "--help"]
main()
"""


def time_command(argv, cwd, prepare=None):
    samples = []
    for _ in range(STARTUP_ROUNDS):
        if prepare:
            prepare()
        start = time.perf_counter()
        subprocess.run(argv, cwd=cwd, capture_output=True)
        samples.append(time.perf_counter() - start)
    return median_ms(samples)


def bench_example_merge(rows, cwd, reference):
    """zuvmerge merging the example notebooks, as git would run it."""
    examples = Path(__file__).resolve().parent.parent / "examples"
    current = Path(cwd) / "current.ipynb"

    def restore():
        shutil.copyfile(examples / "current.ipynb", current)

    argv = [str(Path(sys.executable).parent / "zuvmerge"), "--base-file", str(examples / "base.ipynb"),
            "--current-file", str(current), "--incoming-file", str(examples / "incoming.ipynb"),
            "--file-path", "pipeline.ipynb"]
    measured = time_command(argv, cwd, prepare=restore)
    rows.append(("", "zuvmerge on the example notebooks", measured, measured / reference))


def bench_startup(rows):
    import zuv_weft_git.drivers as drivers

    script = Path(sys.executable).parent / "zuvmerge"
    with tempfile.TemporaryDirectory(prefix="bench-startup-") as cwd:
        reference = time_command([sys.executable, "-c", "import git, jsondiff"], cwd)
        if hasattr(drivers, "merge_files") and script.exists():
            label, argv = "zuvmerge --help", [str(script), "--help"]
        else:
            # Until the package offers merge_files the command cannot start;
            # this loads the same modules and runs the same launcher.
            label, argv = "zuvmerge --help (merge_files stubbed)", [sys.executable, "-c", STUB_HELP]
        measured = time_command(argv, cwd)
        rows.append(("start-up", 'python -c "import git, jsondiff"', reference, 1.0))
        rows.append(("", label, measured, measured / reference))
        if hasattr(drivers, "merge_files") and script.exists():
            bench_example_merge(rows, cwd, reference)


def main():
    if shutil.which("git") is None:
        sys.exit("git is not installed")
    rows = []
    bench_source_merge(rows)
    bench_startup(rows)
    print(f"{'case':<38} {'what':<40} {'median ms':>10} {'ratio':>7}")
    for case, what, ms, ratio in rows:
        shown = "" if ms != ms else f"{ms:.3f}"  # no time of its own for a paired ratio
        print(f"{case:<38} {what:<40} {shown:>10} {ratio:>7.2f}")
    print(f"({ROUNDS} source-merge rounds, {STARTUP_ROUNDS} start-up rounds, cwd {os.getcwd()})")


if __name__ == "__main__":
    main()
