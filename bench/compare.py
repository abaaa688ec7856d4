"""Side by side with the tools a user would pick instead, in one run.

1. Cell comparison: `_cell_changed` against `jsondiff.diff` on the same pair
   of cells (a source and a stream output of 100, 1,000 and 10,000 lines, 1%
   of the lines edited; and two equal 10,000-line cells).  jsondiff runs in a
   child process stopped after a time cap ("more than N s").
2. Whole merges: the `zuvmerge` command against nbdime's git merge driver
   (`git-nbmergedriver merge`), each started as git starts a merge driver, on
   the same base/current/incoming triples of 10 to 5,000 cells: wall time,
   peak memory of the child (maxrss from wait4), exit status and outcome
   (conflicts left in the result, number of cells, `nbformat.validate`).
   Beside them, the cell comparisons alone that a merge makes (every cell of
   current and incoming against base), once with `jsondiff.diff` (capped)
   and once with `_cell_changed`.
3. `merge_files` against `json.load` + `json.dump` of the three documents;
   `_merge_source` against `git merge-file` as a subprocess; start-up of
   `zuvmerge` and of `zuv merge-driver`, `zuv diff` and `zuv textconv`
   (bench_startup.py).
4. `diff_dicts` against `json.loads` of the two documents.

Times are medians of several runs (the load average is printed beside each
section: other work on the machine slows every column alike).  Writes the
scaling plot to docs/scaling.png and the tables, as Markdown, to
bench/out/results.md.

    python bench/compare.py [--sizes 10,50,...] [--runs 3] [--cap 60] [--quick]
"""

import argparse
import gc
import importlib.metadata
import json
import multiprocessing
import os
import platform
from queue import Empty
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import generate  # noqa: E402
from bench_cell_changed import Record, time_native  # noqa: E402
import jsondiff  # noqa: E402
import nbformat  # noqa: E402

from zuv_weft_git.drivers import notebook_merge  # noqa: E402

BIN = os.path.dirname(sys.executable)
MEMORY_CAP = 8 << 30  # a runaway jsondiff child fails instead of taking the machine


# --- helpers ------------------------------------------------------------------


class Report:
    """Prints tables and keeps them, as Markdown, for bench/out/results.md."""

    def __init__(self):
        self.markdown = []
        self.targets = []

    def target(self, what, measured, met):
        self.targets.append((what, measured, "yes" if met else "NO"))

    def section(self, title):
        load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
        print(f"\n== {title}   (load average {load})", flush=True)
        self.markdown.append(f"\n### {title}\n\nLoad average at start: {load}.\n")

    def table(self, header, rows, note=None, left=1):
        """Prints rows under header; the first `left` columns flush left."""
        widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
        line = lambda cells: "  ".join(str(c).rjust(w) if i >= left else str(c).ljust(w)  # noqa: E731
                                       for i, (c, w) in enumerate(zip(cells, widths)))
        print(line(header))
        print("-" * len(line(header)))
        for row in rows:
            print(line(row))
        if note:
            print(note)
        self.markdown.append("| " + " | ".join(header) + " |")
        self.markdown.append("|" + "---|" * len(header))
        for row in rows:
            self.markdown.append("| " + " | ".join(str(c) for c in row) + " |")
        if note:
            self.markdown.append(f"\n{note}")
        self.markdown.append("")
        sys.stdout.flush()

    def text(self, text):
        print(text, flush=True)
        self.markdown.append(text + "\n")


def ms(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


def capped(function, args, cap):
    """Runs function(*args) in a forked child; its result, or None after `cap` s."""
    context = multiprocessing.get_context("fork")
    queue = context.Queue()

    def child():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))
        try:
            queue.put(("done", function(*args)))
        except BaseException as error:  # noqa: BLE001 - reported, never waited for
            queue.put((type(error).__name__, None))

    process = context.Process(target=child)
    process.start()
    try:
        # Read before joining: a child cannot end while its result still
        # fills the pipe.
        status, value = queue.get(timeout=cap)
    except Empty:
        status, value = "stopped", None
    if status == "stopped":
        process.kill()
    process.join()
    return value if status == "done" else None


# --- 1. cell comparison -------------------------------------------------------------


def cell_pair(lines, changed_fraction, seed=1):
    """JSON text of two cells with a `lines`-line source and stream output;
    the second has `changed_fraction` of the lines of each edited."""
    rng = generate.random.Random(seed)
    source = generate._source(rng, lines)
    text = [f"step {i}: loss={rng.random():.6f}\n" for i in range(lines)]

    def edit(sequence):
        sequence = list(sequence)
        for i in rng.sample(range(lines), round(lines * changed_fraction)):
            sequence[i] = generate._changed_line(rng, sequence[i])
        return sequence

    def cell(source, text, count):
        return {"cell_type": "code", "execution_count": count, "id": "c1",
                "metadata": {"canvas": {"id": "cell-1", "name": "train", "comments": [],
                                        "headerColor": "none"}},
                "outputs": [{"name": "stdout", "output_type": "stream", "text": text}],
                "source": source}

    return json.dumps([cell(source, text, 1), cell(edit(source), edit(text), 2)])


def native_cell_times(pair_json, runs):
    _, median, peak = time_native(pair_json, runs)
    result = repr(notebook_merge._cell_changed(*map(Record, json.loads(pair_json))))
    return median, peak, result


def jsondiff_cell_times(pair_json, runs):
    times = []
    for _ in range(runs):
        old, new = json.loads(pair_json)
        start = time.perf_counter()
        result = jsondiff.diff(old, new)
        times.append(time.perf_counter() - start)
    result.pop("execution_count", None)  # `_cell_changed` drops it
    return statistics.median(times), repr(result)


def bench_cells(report, args):
    report.section("1. Cell comparison: _cell_changed vs jsondiff.diff (same cells)")
    cases = [("100 lines, 1 line edited", 100, 0.01, 5),
             ("1,000 lines, 1% edited", 1000, 0.01, 3),
             ("10,000 lines, 1% edited", 10_000, 0.01, 1),
             ("10,000 lines, equal", 10_000, 0.0, 0)]
    rows, figures = [], {}
    for name, lines, fraction, jsondiff_runs in cases:
        gc.collect()
        pair_json = cell_pair(lines, fraction)
        native, peak, native_result = native_cell_times(pair_json, args.runs_cells)
        if jsondiff_runs:
            outcome = capped(jsondiff_cell_times, (pair_json, jsondiff_runs), args.cap)
        else:
            outcome = "not run"
        if outcome is None:
            shown, ratio, same = f"more than {args.cap:g} s", f"> {args.cap / native:,.0f}x", "-"
        elif outcome == "not run":
            shown, ratio, same = "not run", "-", "-"
        else:
            seconds, expected = outcome
            shown, ratio = ms(seconds), f"{seconds / native:,.0f}x"
            same = "yes" if expected == native_result else "NO"
        figures[lines, fraction] = (native, None if outcome in (None, "not run") else outcome[0])
        if lines == 1000:
            speed_up = None if outcome is None else outcome[0] / native
            report.target("_cell_changed >= 100x faster than jsondiff.diff, 1,000-line cells",
                          f"{ratio} (jsondiff {shown}, _cell_changed {native * 1e3:.2f} ms)",
                          outcome is None or speed_up >= 100)
        elif lines == 10_000 and fraction:
            report.target("10,000-line cells: jsondiff.diff does not finish in 60 s, "
                          "_cell_changed does", f"jsondiff {shown}, _cell_changed {native * 1e3:.1f} ms",
                          outcome is None and args.cap >= 60)
            report.target("10,000-line cells, 1% changed: _cell_changed <= 50 ms, <= 100 MB",
                          f"{native * 1e3:.1f} ms, {peak / 1e6:.1f} MB", native <= 0.05 and peak <= 100e6)
        elif lines == 10_000:
            report.target("two equal 10,000-line cells: _cell_changed <= 2 ms", f"{native * 1e3:.2f} ms",
                          native <= 0.002)
        rows.append((name, shown, f"{native * 1e3:.2f} ms", f"{peak / 1e6:.1f} MB", ratio, same))
    report.table(("cells compared", "jsondiff.diff", "_cell_changed", "peak mem", "speed-up",
                  "same result"), rows,
                 f"(median of {args.runs_cells} native runs; jsondiff: median of up to 5, capped "
                 f"at {args.cap:g} s in a child process; peak mem: tracemalloc during one call)")
    return figures


# --- 2. whole merges ------------------------------------------------------------------


def count_conflicts(document):
    """(source conflict blocks, marked cell or parameter names, nbdime
    conflict records) left in a merged notebook."""
    blocks = marked = records = 0
    for cell in document.get("cells", []):
        source = cell.get("source", [])
        lines = source.splitlines(True) if isinstance(source, str) else source
        blocks += sum(1 for line in lines if line.startswith("<<<<<<< "))
        metadata = cell.get("metadata", {})
        name = metadata.get("canvas", {}).get("name")
        marked += isinstance(name, str) and name.startswith(("<<< ", ">>> "))
        records += "nbdime-conflicts" in metadata
    metadata = document.get("metadata", {})
    for parameter in metadata.get("canvas", {}).get("parameters", []):
        name = parameter.get("name")
        marked += isinstance(name, str) and name.startswith(("<<< ", ">>> "))
    records += "nbdime-conflicts" in metadata
    return blocks, marked, records


def outcome(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        document = json.loads(text)
    except ValueError:
        return "not JSON", 0, "no"
    blocks, marked, records = count_conflicts(document)
    try:
        nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
        valid = "yes"
    except Exception as error:  # noqa: BLE001 - any failure means invalid
        valid = f"no ({type(error).__name__})"
    shown = f"{blocks} src"
    if marked:
        shown += f" + {marked} names"
    if records:
        shown += f" + {records} meta"
    return shown, len(document.get("cells", [])), valid


# Peak memory is the child's maxrss from wait4.  A child forked from this
# process counts this process's pages until it execs, so children are started
# by a small spawner process instead: a bare interpreter, much smaller than
# either driver.
SPAWNER = r"""
import os, signal, sys, time
for line in sys.stdin:
    cap, *argv = line.rstrip("\n").split("\0")
    devnull = os.open(os.devnull, os.O_RDWR)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)])
    deadline = start + float(cap)
    while True:
        done, status, usage = os.wait4(pid, os.WNOHANG)
        if done:
            break
        if time.perf_counter() > deadline:
            os.kill(pid, signal.SIGKILL)
            done, status, usage = os.wait4(pid, 0)
            status = None
            break
        time.sleep(0.001)
    elapsed = time.perf_counter() - start
    os.close(devnull)
    code = "killed" if status is None else os.waitstatus_to_exitcode(status)
    print(elapsed, usage.ru_maxrss * 1024, code, flush=True)
"""


class Spawner:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-S", "-c", SPAWNER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def run(self, argv, cap):
        """Wall seconds, peak RSS in bytes and exit status of one run."""
        self.process.stdin.write("\0".join([str(cap), *argv]) + "\n")
        self.process.stdin.flush()
        elapsed, peak, code = self.process.stdout.readline().split()
        if code == "killed":
            return None, None, code
        return float(elapsed), int(peak), int(code)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def driver_argv(tool, paths, out):
    if tool == "zuv":
        # merge.zuv.driver "zuv merge-driver %O %A %B %L %P" (what `zuv config-git` registers)
        return [os.path.join(BIN, "zuv"), "merge-driver", paths["base"], out, paths["incoming"],
                "7", "pipeline.ipynb"]
    if tool == "zuvmerge":
        # merge.zuv.driver "zuvmerge --base-file %O --current-file %A --incoming-file %B --file-path %P"
        return [os.path.join(BIN, "zuvmerge"), "--base-file", paths["base"], "--current-file", out,
                "--incoming-file", paths["incoming"], "--file-path", "pipeline.ipynb"]
    # merge.jupyternotebook.driver "git-nbmergedriver merge %O %A %B %L %P"
    return [os.path.join(BIN, "git-nbmergedriver"), "merge", paths["base"], out, paths["incoming"],
            "7", "pipeline.ipynb"]


def cell_tables(paths):
    documents = {}
    for name in ("base", "current", "incoming"):
        with open(paths[name], encoding="utf-8") as f:
            documents[name] = {c["metadata"]["canvas"]["id"]: c for c in json.load(f)["cells"]}
    return documents


def compare_all_cells(paths, compare):
    """Seconds that `compare` takes over the cell pairs a merge compares:
    every cell kept by current (and by incoming) against its base version."""
    tables = cell_tables(paths)
    base = tables["base"]
    pairs = [(base[i], side[i]) for side in (tables["current"], tables["incoming"])
             for i in side if i in base]
    gc.collect()
    start = time.perf_counter()
    for old, new in pairs:
        compare(old, new)
    return time.perf_counter() - start


def native_compare(old, new):
    notebook_merge._cell_changed(Record(old), Record(new))


def jsondiff_compare_all(paths):
    return compare_all_cells(paths, jsondiff.diff)


def write_triple(n, work):
    base, current, incoming, counts = generate.edited_triple(n, seed=11)
    paths = {}
    for name, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths[name] = os.path.join(work, f"{n}-{name}.ipynb")
        with open(paths[name], "w", encoding="utf-8") as f:
            json.dump(document, f)
    return paths, counts


def bench_drivers(report, args, work):
    report.section("2. Whole merges: zuvmerge and zuv merge-driver vs nbdime's git merge driver (same triples)")
    rows, comparison_rows = [], []
    series = {"zuvmerge": {}, "zuv": {}, "nbdime": {}, "jsondiff": {}, "native": {}, "mb": {}}
    jsondiff_stopped = False
    spawner = Spawner()
    for n in args.sizes:
        paths, counts = write_triple(n, work)
        mb = series["mb"][n] = os.path.getsize(paths["current"]) / 1e6
        runs = args.runs if n < 5000 else args.runs_largest
        samples, peaks, statuses, outs = {"zuvmerge": [], "zuv": [], "nbdime": []}, {}, {}, {}
        for _ in range(runs):
            for tool in ("zuvmerge", "zuv", "nbdime"):  # interleaved: all see the same load
                out = outs[tool] = os.path.join(work, f"{n}-{tool}.ipynb")
                shutil.copyfile(paths["current"], out)
                seconds, peak, status = spawner.run(driver_argv(tool, paths, out), args.driver_cap)
                statuses[tool] = status
                if seconds is not None:
                    samples[tool].append(seconds)
                    peaks[tool] = max(peaks.get(tool, 0), peak)
        for tool in ("zuvmerge", "zuv", "nbdime"):
            if samples[tool]:
                t = series[tool][n] = statistics.median(samples[tool])
                conflicts, cells, valid = outcome(outs[tool])
                shown, peak = ms(t), f"{peaks[tool] / 2**20:.0f} MB"
            else:
                series[tool][n] = None
                conflicts, cells, valid = "-", "-", "-"
                shown, peak = f"more than {args.driver_cap:g} s", "-"
            ratio = ""
            if tool == "nbdime" and series["zuvmerge"][n] and series["nbdime"][n]:
                ratio = f"{series['nbdime'][n] / series['zuvmerge'][n]:.1f}x"
                if series["zuv"][n]:
                    ratio += f" ({series['nbdime'][n] / series['zuv'][n]:.1f}x zuv)"
            expected_cells = n - counts["deleted"] + counts["added"]
            first = tool == "zuvmerge"
            rows.append((n if first else "", (f"{mb:.2f}" if mb < 1 else f"{mb:.1f}") if first else "",
                         tool, shown, peak,
                         statuses[tool], f"{conflicts} ({counts['conflicts']})",
                         f"{cells} ({expected_cells})", valid, ratio))

        native = series["native"][n] = statistics.median(
            compare_all_cells(paths, native_compare) for _ in range(3))
        if jsondiff_stopped:
            shown, ratio = "not run (stopped at a smaller size)", ""
        else:
            seconds = series["jsondiff"][n] = capped(jsondiff_compare_all, (paths,), args.cap)
            jsondiff_stopped = seconds is None
            shown = ms(seconds) if seconds is not None else f"more than {args.cap:g} s"
            ratio = f"{seconds / native:,.0f}x" if seconds is not None else f"> {args.cap / native:,.0f}x"
        comparison_rows.append((n, ms(native), shown, ratio))
        print(f"   {n} cells: zuvmerge {ms(series['zuvmerge'][n] or 0)}, zuv merge-driver "
              f"{ms(series['zuv'][n] or 0)}, nbdime "
              f"{ms(series['nbdime'][n] or 0)}, jsondiff comparisons {shown}", flush=True)
    startup = {}
    for tool, argv in (("zuvmerge", [os.path.join(BIN, "zuvmerge"), "--help"]),
                       ("zuv", [os.path.join(BIN, "zuv"), "--help"]),
                       ("nbdime", [os.path.join(BIN, "git-nbmergedriver"), "merge", "--help"])):
        startup[tool] = statistics.median(spawner.run(argv, args.driver_cap)[0] for _ in range(args.runs))
    spawner.close()
    ratios = {n: series["nbdime"][n] / series["zuvmerge"][n] for n in args.sizes
              if series["nbdime"][n] and series["zuvmerge"][n]}
    if 500 in ratios:
        report.target("zuvmerge >= 5x faster than nbdime's merge driver, 500 cells",
                      f"{ratios[500]:.1f}x ({ms(series['zuvmerge'][500])} vs {ms(series['nbdime'][500])})",
                      ratios[500] >= 5)
    if ratios:
        slowest = min(ratios, key=ratios.get)
        report.target("zuvmerge never slower than nbdime, any size",
                      f"smallest ratio {ratios[slowest]:.1f}x at {slowest} cells", ratios[slowest] >= 1)
    report.table(("cells", "MB", "driver", "wall (median)", "peak RSS", "exit",
                  "conflicts left (expected)", "cells (expected)", "nbformat valid",
                  "nbdime/zuvmerge (/zuv)"), rows,
                 f"(median of {args.runs} runs, {args.runs_largest} at 5,000 cells, the two drivers "
                 f"interleaved, each started as git starts a merge driver; each triple: 5% of cells "
                 f"edited on one side, 2% on both sides apart, 1% in the same line (the expected "
                 f"conflicts), 2% canvas edits, 10% re-run by incoming, 1% added, 0.5% deleted; "
                 f"conflicts left: source blocks, + marked names, + nbdime metadata records)")
    report.text(f"Start-up alone (`--help`, median of {args.runs}): zuvmerge {ms(startup['zuvmerge'])}, "
                f"zuv {ms(startup['zuv'])}, nbdime {ms(startup['nbdime'])}.")
    report.table(("cells", "_cell_changed", "jsondiff.diff", "speed-up"), comparison_rows,
                 f"(the cell comparisons of one merge alone, in-process: every cell kept by "
                 f"current and by incoming against its base version; _cell_changed median of 3, "
                 f"jsondiff one run capped at {args.cap:g} s in a child process)")
    return series


# --- 3. merge_files, source merges, start-up ------------------------------------------


def bench_merge_parts(report, args):
    import bench_merge
    import bench_merge_source

    report.section("3. merge_files vs json.load + json.dump; source merge vs git merge-file")
    floor, merge, mb = bench_merge.measure(args.merge_cells, args.runs_merge)
    report.table((f"{args.merge_cells:,}-cell notebook", "median", "ratio", "target"),
                 [("json.load + json.dump of the three documents", ms(floor), "1.00", ""),
                  ("merge_files", ms(merge), f"{merge / floor:.2f}x", "<= 2x")],
                 f"({args.merge_cells} cells, {mb:.1f} MB per version, no source merge needed; "
                 f"median of {args.runs_merge} runs)")
    report.target(f"merge_files <= 2x json.load + json.dump, {args.merge_cells:,} cells",
                  f"{merge / floor:.2f}x ({ms(merge)} vs {ms(floor)})", merge / floor <= 2)
    rows = []
    bench_merge_source.bench_source_merge(rows)
    bench_merge_source.bench_startup(rows)
    # The `zuv` command against the same reference, measured in one run of its own.
    import bench_startup

    startup = bench_startup.measure(bench_merge_source.STARTUP_ROUNDS)
    reference = startup[bench_startup.REFERENCE]
    rows.append(("zuv start-up", bench_startup.REFERENCE, reference * 1e3, 1.0))
    for label in ("zuv merge-driver", "zuv diff", "zuv textconv"):
        rows.append(("", label, startup[label] * 1e3, startup[label] / reference))
    ratio = startup["zuv merge-driver"] / reference
    report.target(f'zuv merge-driver, no source merge: <= {bench_startup.TARGET}x python -c "import git, jsondiff"',
                  f"{ratio:.2f}x ({startup['zuv merge-driver'] * 1e3:.0f} ms)", ratio <= bench_startup.TARGET)
    shown = [(case, what, "" if t != t else f"{t:.2f} ms", f"{ratio:.2f}x") for case, what, t, ratio in rows]
    case = ""
    for label, what, t, ratio in rows:
        case = label or case
        if what == "_merge_source":
            report.target(f"{case}: _merge_source <= 1.25x git merge-file", f"{ratio:.2f}x", ratio <= 1.25)
        elif what.startswith("zuvmerge on the example"):
            report.target('zuvmerge, small notebook: <= 1.25x python -c "import git, jsondiff"',
                          f"{ratio:.2f}x ({t:.0f} ms)", ratio <= 1.25)
    report.table(("case", "what", "median", "ratio"), shown,
                 f"(targets: each source merge <= 1.25x git merge-file; zuvmerge on a small notebook "
                 f"<= 1.25x python -c \"import git, jsondiff\"; {bench_merge_source.ROUNDS} "
                 f"source-merge rounds, {bench_merge_source.STARTUP_ROUNDS} start-up rounds)", left=2)
    return {"floor": floor, "merge": merge, "rows": rows}


# --- 4. diff_dicts ----------------------------------------------------------------------


def bench_diff_parts(report, args):
    import bench_diff

    report.section("4. diff_dicts vs json.loads of the two documents")
    rows, result = [], {}
    for n in args.diff_sizes:
        size, best, median = bench_diff.measure(n, 30, args.runs_diff)
        t_json, t_diff, t_py = median["json"][1], median["native"][1], median["python"][1]
        result[n] = t_diff / t_json
        rows.append((n, f"{size / 1e6:.1f}", ms(t_json), ms(t_diff), ms(t_py),
                     f"{t_diff / t_json:.2f}", f"{t_py / t_json:.2f}", f"{t_diff / n * 1e6:.1f} us"))
    if 5000 in result:
        report.target("diff_dicts <= 0.5x json.loads, 5,000 cells, 10% changed", f"{result[5000]:.2f}x",
                      result[5000] <= 0.5)
    report.table(("cells", "MB (both)", "json.loads", "diff_dicts", "plain Python", "diff/json",
                  "python/json", "diff per cell"), rows,
                 f"(10% of cells changed; median of {args.runs_diff} runs; target at 5,000 cells: "
                 f"diff/json <= 0.50)")
    return result


# --- plot --------------------------------------------------------------------------------


def plot(series, cap, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.8), dpi=110)
    styles = {"nbdime": ("nbdime: git-nbmergedriver merge (whole process)", "tab:orange", "s"),
              "zuvmerge": ("zuvmerge (whole process)", "tab:blue", "o"),
              "jsondiff": ("cell comparisons with jsondiff.diff (step alone)", "tab:red", "^"),
              "native": ("cell comparisons with _cell_changed (step alone)", "tab:green", "v")}
    for key, (label, colour, marker) in styles.items():
        points = sorted((n, t) for n, t in series[key].items() if t is not None)
        if points:
            ax.plot(*zip(*points), marker=marker, color=colour, label=label)
        stopped = sorted(n for n, t in series[key].items() if t is None)
        if key == "jsondiff" and stopped:
            ax.plot(stopped, [cap] * len(stopped), marker=marker, color=colour, linestyle="none",
                    markerfacecolor="none", markersize=10)
            if points:
                ax.plot([points[-1][0], stopped[0]], [points[-1][1], cap], color=colour, linestyle=":")
            ax.annotate(f"jsondiff stopped at {cap:g} s", (stopped[0], cap), textcoords="offset points",
                        xytext=(10, -4), color=colour, fontsize=8)
    ax.set_xscale("log")
    ax.set_yscale("log")
    sizes = sorted(series["mb"])
    ax.set_xticks(sizes)
    ax.set_xticklabels([f"{n}\n{series['mb'][n]:.2g} MB" for n in sizes], fontsize=8)
    ax.minorticks_off()
    ax.set_xlabel("notebook size (code cells, and MB per version)")
    ax.set_ylabel("seconds (median)")
    ax.set_title("Three-way notebook merge: time against notebook size")
    ax.grid(True, which="major", alpha=0.3)
    ax.set_ylim(top=max(cap, *(t for key in styles for t in series[key].values() if t)) * 2)
    fig.legend(*ax.get_legend_handles_labels(), loc="lower center", ncol=2, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.09, 1, 1))
    fig.savefig(path)
    plt.close(fig)


# --- main ----------------------------------------------------------------------------------


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    versions = ", ".join(f"{name} {importlib.metadata.version(name)}"
                         for name in ("nbdime", "jsondiff", "GitPython", "nbformat"))
    return (f"{os.cpu_count()} CPUs ({model}), {memory:.0f} GiB, {platform.system()} "
            f"{platform.release()}, Python {platform.python_version()}, "
            f"git {subprocess.run(['git', '--version'], capture_output=True, text=True).stdout.split()[-1]}, "
            f"{versions}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,50,100,250,500,1000,2000,5000",
                        help="notebook sizes in code cells")
    parser.add_argument("--runs", type=int, default=3, help="runs per driver and size")
    parser.add_argument("--runs-largest", type=int, default=3, help="runs at 5,000 cells")
    parser.add_argument("--cap", type=float, default=60.0, help="time cap of jsondiff (s)")
    parser.add_argument("--driver-cap", type=float, default=600.0, help="time cap of one driver run (s)")
    parser.add_argument("--quick", action="store_true", help="small sizes and few runs (a smoke run)")
    parser.add_argument("--plot", default=None,
                        help="where to write the plot (docs/scaling.png; bench/out/ with --quick)")
    parser.add_argument("--only", default="1234", help="sections to run, e.g. 12")
    args = parser.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",")]
    args.runs_cells, args.merge_cells, args.runs_merge = 7, 2000, 5
    args.diff_sizes, args.runs_diff = [1250, 2500, 5000], 5
    if args.quick:
        args.sizes, args.runs, args.runs_largest, args.cap = [10, 100, 500], 1, 1, 5.0
        args.runs_cells, args.merge_cells, args.runs_merge = 3, 200, 2
        args.diff_sizes, args.runs_diff = [500], 2
        os.environ.setdefault("BENCH_ROUNDS", "10")
        os.environ.setdefault("BENCH_STARTUP_ROUNDS", "3")

    if args.plot is None:
        args.plot = os.path.join(HERE, "out", "scaling.png") if args.quick else os.path.join(ROOT, "docs", "scaling.png")
    report = Report()
    report.text(f"Machine: {machine()}.")
    started = time.perf_counter()
    results = {}
    with tempfile.TemporaryDirectory(prefix="zuv-compare-") as work:
        if "1" in args.only:
            results["cells"] = {f"{k[0]}:{k[1]}": v for k, v in bench_cells(report, args).items()}
        if "2" in args.only:
            series = bench_drivers(report, args, work)
            results["drivers"] = series
            os.makedirs(os.path.dirname(args.plot), exist_ok=True)
            plot(series, args.cap, args.plot)
            report.text(f"Plot written to {os.path.relpath(args.plot, ROOT)}.")
    if "3" in args.only:
        parts = bench_merge_parts(report, args)
        results["merge"] = {"floor": parts["floor"], "merge_files": parts["merge"]}
    if "4" in args.only:
        results["diff"] = bench_diff_parts(report, args)
    if report.targets:
        report.section("Targets")
        report.table(("target", "measured", "met"), report.targets, left=3)
    report.text(f"Total {time.perf_counter() - started:.0f} s; load average at the end "
                f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}.")
    out = os.path.join(HERE, "out")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(report.markdown) + "\n")
    with open(os.path.join(out, "results.json"), "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1, default=str)


if __name__ == "__main__":
    main()
