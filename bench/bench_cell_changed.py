"""Cell comparison: `_cell_changed` (native difference) against `jsondiff.diff`.

Cases, each measured side by side in one run:
  * two cells with a 10,000-line "source" and a 10,000-line stream output,
    1% of the lines of each changed;
  * two equal 10,000-line cells (separate objects);
  * two 1,000-line cells, 1% changed (results compared for equality).
Times are the best of several runs on freshly parsed cells; peak memory is
tracemalloc's peak during one call (the native working buffers are allocated
through the interpreter's raw allocator, so they are counted).  jsondiff runs
in a child process stopped after a time cap (and a memory cap), reported as
"more than N s".

Usage: python bench/bench_cell_changed.py [--cap SECONDS] [--repeat N]
"""

import argparse
import json
import multiprocessing
import random
import resource
import statistics
import time
import tracemalloc

import jsondiff

from zuv_weft_git.drivers import notebook_merge


class Record:
    def __init__(self, data):
        self.data = data
        self.parents = []


def make_cell(source, text, count):
    return {
        "cell_type": "code",
        "execution_count": count,
        "metadata": {"canvas": {"id": "cell-1", "name": "load"}},
        "outputs": [{"name": "stdout", "output_type": "stream", "text": text}],
        "source": source,
    }


def cell_pair(lines, changed_fraction, seed=1):
    """JSON text of two cells; the second has a fraction of its lines edited."""
    rnd = random.Random(seed)
    source = [f"value_{i} = compute({rnd.random():.12f})\n" for i in range(lines)]
    text = [f"step {i}: loss={rnd.random():.12f}\n" for i in range(lines)]

    def edit(seq):
        seq = list(seq)
        for i in rnd.sample(range(lines), int(lines * changed_fraction)):
            seq[i] = seq[i].rstrip("\n") + "  # edited\n"
        return seq

    old = make_cell(source, text, 1)
    new = make_cell(edit(source), edit(text), 2)
    return json.dumps([old, new])


def time_native(pair_json, repeat):
    times = []
    for _ in range(repeat):
        old, new = json.loads(pair_json)  # fresh objects, as read from files
        start = time.perf_counter()
        notebook_merge._cell_changed(Record(old), Record(new))
        times.append(time.perf_counter() - start)
    old, new = json.loads(pair_json)
    tracemalloc.start()
    tracemalloc.reset_peak()
    notebook_merge._cell_changed(Record(old), Record(new))
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return min(times), statistics.median(times), peak


def _run_jsondiff(pair_json, memory_cap, queue):
    resource.setrlimit(resource.RLIMIT_AS, (memory_cap, memory_cap))
    old, new = json.loads(pair_json)
    start = time.perf_counter()
    try:
        result = jsondiff.diff(old, new)
    except MemoryError:
        queue.put(("memory", time.perf_counter() - start, None))
        return
    result.pop("execution_count", None)
    queue.put(("done", time.perf_counter() - start, repr(result)))


def time_jsondiff(pair_json, cap, memory_cap):
    """(seconds or None when stopped, why stopped, repr of the result)."""
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_run_jsondiff, args=(pair_json, memory_cap, queue))
    child.start()
    child.join(cap)
    if child.is_alive():
        child.kill()
        child.join()
        return None, f"more than {cap:g} s", None
    status, seconds, result = queue.get()
    if status == "memory":
        return None, f"out of memory after {seconds:.1f} s", None
    return seconds, f"{seconds * 1000:.0f} ms", result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cap", type=float, default=20.0, help="jsondiff time cap (s)")
    parser.add_argument("--memory-cap", type=int, default=2048, help="jsondiff memory cap (MB)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    memory_cap = args.memory_cap << 20

    cases = [
        ("10,000 lines, 1% changed", cell_pair(10_000, 0.01), "<= 50 ms, <= 100 MB",
         lambda best, peak, ratio: best <= 0.050 and peak <= 100e6),
        ("10,000 lines, equal", cell_pair(10_000, 0.0), "<= 2 ms",
         lambda best, peak, ratio: best <= 0.002),
        ("1,000 lines, 1% changed", cell_pair(1_000, 0.01), ">= 100x jsondiff",
         lambda best, peak, ratio: ratio is not None and ratio >= 100),
    ]
    header = (f"{'case':<26} {'jsondiff.diff':>24} {'_cell_changed best':>19} {'median':>9} "
              f"{'peak mem':>9} {'speed-up':>9}  {'target':<21} ok")
    print(header)
    print("-" * len(header))
    for name, pair_json, target, met in cases:
        best, median, peak = time_native(pair_json, args.repeat)
        seconds, shown, expected = time_jsondiff(pair_json, args.cap, memory_cap)
        ratio = seconds / best if seconds is not None else None
        if expected is not None:
            old, new = json.loads(pair_json)
            same = repr(notebook_merge._cell_changed(Record(old), Record(new))) == expected
            if not same:
                shown += " (DIFFERENT RESULT)"
                ratio = None
        speed_up = f"{ratio:.0f}x" if ratio is not None else f">{args.cap / best:.0f}x"
        verdict = "yes" if met(best, peak, ratio) else "NO"
        print(f"{name:<26} {shown:>24} {best * 1000:>16.2f} ms {median * 1000:>6.2f} ms "
              f"{peak / 1e6:>6.1f} MB {speed_up:>9}  {target:<21} {verdict}")


if __name__ == "__main__":
    main()
