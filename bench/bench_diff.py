"""Benchmark of notebook_diff.diff_dicts.

Two notebooks of N code cells where 10% of the cells changed (sources
edited, cells removed and added, parent references rewired).  Prints, for
each size, the best time of diff_dicts, of json.loads of both documents and
of a plain Python version of the same algorithm, and the time per cell so
that the growth with N can be read off.  Each diff runs on documents parsed
just before it, as a caller's would; the cyclic collector is off while a
call runs, as in timeit, and a call's time includes freeing what it returned
(the "excl." column gives diff_dicts/json.loads without that freeing).

Target: diff_dicts <= 0.5x the json.loads time at 5,000 cells, in a setting
where the plain Python version takes about as long as json.loads.  The
default cell size (8 source lines, 30 lines of stream output) gives that
setting; with --output-lines 3 the cells are leaner, json.loads is cheaper
and every ratio is higher.

    python bench/bench_diff.py [--repeat 7] [--sizes 1250,2500,5000,10000]
                               [--output-lines 30]
"""
import argparse
import copy
import difflib
import gc
import json
import random
import statistics
import time
import uuid

from zuv_weft_git.drivers.notebook_diff import diff_dicts

# --- plain Python version of the same algorithm ---------------------------


class PyCell:
    def __init__(self, cell):
        self._data = cell

    @property
    def data(self):
        return self._data

    @property
    def source(self):
        source = self._data.get("source", [])
        return source.splitlines(True) if isinstance(source, str) else source

    @source.setter
    def source(self, value):
        self._data["source"] = value

    @property
    def parents(self):
        return self._data["metadata"]["canvas"].get("parents", [])

    @parents.setter
    def parents(self, value):
        self._data["metadata"]["canvas"]["parents"] = value


class PyDiffCell(PyCell):
    UNCHANGED, ADDED, REMOVED, MODIFIED = "unchanged", "added", "removed", "modified"

    def __init__(self, cell):
        super().__init__(cell)
        self.status = PyDiffCell.UNCHANGED

    def _canvas(self):
        return self._data["metadata"]["canvas"]

    @property
    def status(self):
        return self._canvas().get("diff_status", PyDiffCell.UNCHANGED)

    @status.setter
    def status(self, value):
        assert value in (PyDiffCell.UNCHANGED, PyDiffCell.ADDED, PyDiffCell.REMOVED,
                         PyDiffCell.MODIFIED)
        self._canvas()["diff_status"] = value

    @property
    def prev_source(self):
        return self._canvas().get("prev_source", [])

    @prev_source.setter
    def prev_source(self, value):
        self._canvas()["prev_source"] = value

    @property
    def removed_parents(self):
        return self._canvas().get("removed_parents", [])

    @removed_parents.setter
    def removed_parents(self, value):
        self._canvas()["removed_parents"] = value

    @property
    def added_parents(self):
        return self._canvas().get("added_parents", [])

    @added_parents.setter
    def added_parents(self, value):
        self._canvas()["added_parents"] = value


class PyDiffParameter:
    UNCHANGED, ADDED, REMOVED, MODIFIED = "unchanged", "added", "removed", "modified"

    def __init__(self, data):
        self._data = data
        self.status = PyDiffParameter.UNCHANGED

    @property
    def data(self):
        return self._data

    @property
    def status(self):
        return self._data.get("diff_status", PyDiffParameter.UNCHANGED)

    @status.setter
    def status(self, value):
        assert value in (PyDiffParameter.UNCHANGED, PyDiffParameter.ADDED,
                         PyDiffParameter.REMOVED, PyDiffParameter.MODIFIED)
        self._data["diff_status"] = value

    @property
    def type(self):
        return self._data["type"]

    @property
    def value(self):
        return self._data["value"]

    @property
    def prev_type(self):
        return self._data.get("prev_type", self.type)

    @prev_type.setter
    def prev_type(self, value):
        self._data["prev_type"] = value

    @property
    def prev_value(self):
        return self._data.get("prev_value", self.value)

    @prev_value.setter
    def prev_value(self, value):
        self._data["prev_value"] = value


def py_cell_modified(cell):
    return len(list(difflib.unified_diff(cell.prev_source, cell.source))) > 0


def py_detached(data):
    cell = data.copy()
    cell["metadata"] = metadata = cell["metadata"].copy()
    metadata["canvas"] = metadata["canvas"].copy()
    return cell


def py_parameters(document):
    try:
        return {p["name"]: PyDiffParameter(p)
                for p in document["metadata"]["canvas"]["parameters"]}
    except KeyError:
        return {}


def py_diff_dicts(prev, current):
    def code_cells(document):
        return {c["metadata"]["canvas"]["id"]: PyCell(c)
                for c in document.get("cells", []) if c["cell_type"] == "code"}

    current_cells = code_cells(current)
    prev_cells = code_cells(prev)
    diff_cells = {}
    for cell_id, prev_cell in prev_cells.items():
        if cell_id in current_cells:
            continue
        cell = PyDiffCell(py_detached(prev_cell.data))
        cell.status = PyDiffCell.REMOVED
        cell.prev_source = cell.source
        cell.source = []
        cell.removed_parents = cell.parents
        cell.parents = []
        diff_cells[cell_id] = cell
    for cell_id, current_cell in current_cells.items():
        if cell_id in prev_cells:
            continue
        cell = PyDiffCell(py_detached(current_cell.data))
        cell.status = PyDiffCell.ADDED
        cell.prev_source = []
        cell.added_parents = cell.parents
        cell.parents = []
        diff_cells[cell_id] = cell
    for cell_id, current_cell in current_cells.items():
        if cell_id not in prev_cells:
            continue
        prev_cell = prev_cells[cell_id]
        cell = PyDiffCell(py_detached(current_cell.data))
        cell.prev_source = prev_cell.source
        if py_cell_modified(cell):
            cell.status = PyDiffCell.MODIFIED
        current_parents = {p["id"]: p.get("name") for p in current_cell.parents}
        prev_parents = {p["id"]: p.get("name") for p in prev_cell.parents}
        cell.added_parents = [{"id": k, "name": v} for k, v in current_parents.items()
                              if k not in prev_parents]
        cell.removed_parents = [{"id": k, "name": v} for k, v in prev_parents.items()
                                if k not in current_parents]
        cell.parents = [{"id": k, "name": v} for k, v in current_parents.items()
                        if k in prev_parents]
        diff_cells[cell_id] = cell
    graph = {"cells": [cell.data for cell in diff_cells.values()]}

    current_parameters = py_parameters(current)
    prev_parameters = py_parameters(prev)
    chosen = {}
    for name, parameter in prev_parameters.items():
        if name not in current_parameters:
            chosen[name] = parameter
            parameter.status = PyDiffParameter.REMOVED
    for name, parameter in current_parameters.items():
        if name in prev_parameters:
            chosen[name] = parameter
            old = prev_parameters[name]
            if parameter.value != old.value:
                parameter.status = PyDiffParameter.MODIFIED
                parameter.prev_type = old.type
                parameter.prev_value = old.value
    for name, parameter in current_parameters.items():
        if name not in prev_parameters:
            chosen[name] = parameter
            parameter.status = PyDiffParameter.ADDED
    graph["metadata"] = {"canvas": {"parameter": [p.data for p in chosen.values()]}}
    return graph


# --- notebooks ----------------------------------------------------------------


def make_cell(rng, cell_id, parents, output_lines):
    lines = [f"value_{rng.randrange(10**6)} = compute(x, y={rng.random():.6f})\n"
             for _ in range(rng.randrange(4, 12))]
    return {
        "cell_type": "code",
        "execution_count": rng.randrange(1, 500),
        "id": cell_id[:8],
        "metadata": {"canvas": {"id": cell_id, "name": f"step_{cell_id[:6]}",
                                "parents": [{"id": p, "name": f"step_{p[:6]}"} for p in parents],
                                "comments": [], "headerColor": "none"}},
        "outputs": [{"name": "stdout", "output_type": "stream",
                     "text": [f"done {rng.random():.8f}\n" for _ in range(output_lines)]}],
        "source": lines,
    }


def make_pair(n_cells, output_lines, seed=1):
    """Two notebooks of n_cells code cells each, 10% of them changed."""
    rng = random.Random(seed)
    ids = [str(uuid.UUID(int=rng.getrandbits(128))) for _ in range(n_cells)]
    prev_cells = [make_cell(rng, cid, ids[max(0, i - 2):i], output_lines)
                  for i, cid in enumerate(ids)]
    current_cells = copy.deepcopy(prev_cells)
    changed = rng.sample(range(n_cells), n_cells // 10)
    for k, index in enumerate(changed):
        cell = current_cells[index]
        kind = k % 4
        if kind == 0:    # edited source
            cell["source"][0] = "edited = True\n"
        elif kind == 1:  # rewired parents
            cell["metadata"]["canvas"]["parents"] = [{"id": rng.choice(ids), "name": "x"}]
        elif kind == 2:  # removed, and a new cell in its place
            new_id = str(uuid.UUID(int=rng.getrandbits(128)))
            current_cells[index] = make_cell(rng, new_id, [ids[index - 1]], output_lines)
        else:            # edited source and a renamed parent
            cell["source"].append("print(edited)\n")
            for parent in cell["metadata"]["canvas"]["parents"]:
                parent["name"] = "renamed"

    def document(cells, values):
        return {"cells": cells, "metadata": {"canvas": {"parameters": [
            {"name": f"param_{i}", "type": "int", "value": str(v)} for i, v in enumerate(values)]},
            "kernelspec": {"name": "python3"}}, "nbformat": 4, "nbformat_minor": 5}

    n_params = 50
    prev_values = list(range(n_params))
    current_values = [v + (1 if v % 10 == 0 else 0) for v in prev_values]
    return (json.dumps(document(prev_cells, prev_values)),
            json.dumps(document(current_cells, current_values)))


def timed(run):
    """Seconds that run() takes, without and with freeing what it returned.
    The cyclic collector is off, as in timeit, so that a full collection
    falling into one run does not decide it."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = run()
        returned = time.perf_counter()
        del result
        return returned - start, time.perf_counter() - start
    finally:
        gc.enable()


def measure(n_cells, output_lines, repeat):
    """Best and median times (call alone, call and freeing its result) of
    json.loads of both documents, of diff_dicts and of the Python version.  As a caller
    would, each diff runs on documents parsed just before it."""
    prev_text, current_text = make_pair(n_cells, output_lines)

    def parse():
        return json.loads(prev_text), json.loads(current_text)

    samples = {}
    for _ in range(repeat):
        runs = [("json", parse)]
        for label, diff in (("native", diff_dicts), ("python", py_diff_dicts)):
            runs.append((label, lambda diff=diff, docs=parse(): diff(*docs)))
        for label, run in runs:
            samples.setdefault(label, []).append(timed(run))
        del runs
    best = {label: tuple(map(min, zip(*times))) for label, times in samples.items()}
    median = {label: tuple(map(statistics.median, zip(*times))) for label, times in samples.items()}
    # Both versions must agree, or the comparison means nothing.
    if diff_dicts(*parse()) != py_diff_dicts(*parse()):
        raise SystemExit(f"native and Python results differ at {n_cells} cells")
    return len(prev_text) + len(current_text), best, median


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--sizes", default="1250,2500,5000,10000")
    parser.add_argument("--output-lines", type=int, default=30,
                        help="lines of stream output per cell")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    header = (f"{'cells':>6} {'MB':>6} {'json.loads':>11} {'diff_dicts':>11} {'python':>9} "
              f"{'diff/json':>10} {'py/json':>8} {'excl.':>6} {'diff us/cell':>13}")
    print(header)
    print("-" * len(header))
    rows = {}
    for n in sizes:
        size, best, _ = measure(n, args.output_lines, args.repeat)
        t_json, t_native, t_python = best["json"][1], best["native"][1], best["python"][1]
        print(f"{n:>6} {size / 1e6:>6.1f} {t_json * 1e3:>9.2f}ms {t_native * 1e3:>9.2f}ms "
              f"{t_python * 1e3:>7.2f}ms {t_native / t_json:>10.2f} {t_python / t_json:>8.2f} "
              f"{best['native'][0] / best['json'][0]:>6.2f} {t_native / n * 1e6:>13.3f}")
        rows[n] = t_native, t_json
    print()
    for a, b in zip(sizes, sizes[1:]):
        print(f"growth {a}->{b} cells: diff_dicts x{rows[b][0] / rows[a][0]:.2f}, "
              f"json.loads x{rows[b][1] / rows[a][1]:.2f} for x{b / a:.2f} cells")
    if 5000 in rows:
        ratio = rows[5000][0] / rows[5000][1]
        verdict = "met" if ratio <= 0.5 else "NOT met"
        print(f"target at 5000 cells: diff_dicts/json.loads = {ratio:.2f} (<= 0.50): {verdict}")

if __name__ == "__main__":
    main()
