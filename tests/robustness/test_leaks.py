"""Leak check: every public function and record, called in a loop.

After a warm-up, ZUV_LEAK_N calls (default 5,000; `make leakcheck` runs
100,000) may grow the resident set by less than 1 MB, and the reference
counts of the objects passed in must be what they were before the loop.
Error paths are looped as well.  Loops that read and write files run
ZUV_LEAK_FILE_N times (default a fifth of the count); calls that start git
run ZUV_LEAK_GIT_N times (default 30), and their native code is looped again
with a stand-in for the git command object.
"""

import gc
import json
import os
import shutil
import sys
import tempfile
import types

import git
import pytest

from nbbuild import cell, notebook, param
from zuv_weft_git.drivers import notebook_merge
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter, _cell_modified, diff_dicts
from zuv_weft_git.drivers.notebook_merge import MergeCell, _cell_changed, _merge_source, merge_files
from zuv_weft_git.scripts import _launcher

pytestmark = pytest.mark.slow

N = int(os.environ.get("ZUV_LEAK_N", "5000"))
GIT_N = int(os.environ.get("ZUV_LEAK_GIT_N", "30"))
# Loops that go through the file system: a fifth of the count unless set.
FILE_N = int(os.environ.get("ZUV_LEAK_FILE_N", str(max(N // 5, 200))))
LIMIT = 1 << 20
# AddressSanitizer holds freed memory in quarantine, so under it the resident
# set grows by design; the reference counts are still checked.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


def check_loop(name, step, inputs, count, warmup=None):
    """Runs `step` `count` times after a warm-up (a tenth of the count by
    default); checks memory and refcounts."""
    for _ in range(max(count // 10, 20) if warmup is None else warmup):
        step()
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in inputs]
    before = resident()
    for _ in range(count):
        step()
    gc.collect()
    growth = resident() - before
    print(f"\nleak check {name}: {count} calls, resident memory {growth / 1024:+.0f} KiB")
    assert SANITIZED or growth < LIMIT, f"{name}: resident memory grew by {growth} bytes over {count} calls"
    assert [sys.getrefcount(obj) for obj in inputs] == refcounts, f"{name}: reference counts changed"


def canvas(c):
    return c["metadata"]["canvas"]


# --- records ------------------------------------------------------------------------

def cell_records():
    data = cell("a", "load", ["x = 1\n", "y = 2"], parents=["b"], comments=["c"])
    name, other, comment, lines, refs = "node-" + "1", "id-" + "2", {"text": "hi"}, ["z\n"], [{"id": "q"}]
    missing = {"metadata": {}}

    def step():
        for record in (Cell(data), MergeCell(data, "current"), MergeCell(data, "incoming")):
            record.data, record.weft_id, record.name, record.parents, record.comments, record.source
            record.cell_id
            record.name = name
            record.weft_id = other
            record.parents = refs
            record.source = lines
            record.cell_id = other
            record.add_comment(comment)
            canvas(data)["comments"].pop()
        merge = MergeCell(data, "current")
        merge.file_type
        merge.add_conflict_mark()
        canvas(data)["name"] = name
        expect(TypeError, Cell, None)
        expect(KeyError, getattr, Cell(missing), "name")
        expect(TypeError, setattr, Cell(data), "name", 5)
        expect(AssertionError, MergeCell, data, "Current")
        expect(TypeError, MergeCell, data, None)
        expect(AttributeError, setattr, merge, "file_type", "base")

    return step, [data, name, other, comment, lines, refs, missing]


def diff_records():
    data = cell("a", "load", ["x = 1\n"], parents=["b"])
    parameter = param("p", "1")
    bad_parameter = {"name": "q", "type": "int", "value": 3}
    status, lines, refs = "modified", ["old\n"], [{"id": "b", "name": "B"}]

    def step():
        record = DiffCell(data)
        record.status = status
        record.prev_source = lines
        record.removed_parents = refs
        record.added_parents = refs
        record.status, record.prev_source, record.removed_parents, record.added_parents, record.source
        _cell_modified(record)
        p = DiffParameter(parameter)
        p.prev_type = status
        p.prev_value = status
        p.data, p.status, p.name, p.type, p.value, p.prev_type, p.prev_value
        p.status = status
        expect(AssertionError, setattr, record, "status", "deleted")
        expect(TypeError, setattr, record, "prev_source", "x")
        expect(TypeError, getattr, DiffParameter(bad_parameter), "value")
        expect(KeyError, DiffCell, {})
        expect(TypeError, DiffParameter, None)

    return step, [data, parameter, bad_parameter, status, lines, refs]


# --- functions on documents -----------------------------------------------------------

def cell_comparison():
    base = cell("a", "load", ["x\n"], parents=["b"])
    current = cell("a", "load", ["y\n"], parents=["b", "c"], headerColor="red")
    bad = cell("a", "load")
    canvas(bad)["parents"] = [["not", "a", "dict"]]
    records = MergeCell(base, "base"), MergeCell(current, "current"), MergeCell(bad, "current")

    def step():
        _cell_changed(records[0], records[1])
        _cell_changed(records[0], records[0])
        expect(TypeError, _cell_changed, records[0], records[2])
        expect(AttributeError, _cell_changed, records[0], None)

    return step, [base, current, bad, *records]


def document_diff():
    prev = notebook([cell("a", "A", ["x\n"]), cell("b", "B", parents=["a"]), cell("m", cell_type="markdown")],
                    [param("p", "1"), param("q", "1")])
    current = notebook([cell("a", "A", ["y\n"]), cell("c", "C", parents=["a"])],
                       [param("p", "2"), param("r", "1")])
    broken = {"cells": [{"metadata": {}}]}
    odd_values = notebook([cell("a")], [{"name": "p", "type": "int", "value": 3}])

    def step():
        diff_dicts(prev, current)
        diff_dicts(current, current)
        expect(KeyError, diff_dicts, prev, broken)
        expect(TypeError, diff_dicts, prev, odd_values)
        expect(TypeError, diff_dicts, prev, None)

    return step, [prev, current, broken, odd_values]


# --- functions that run git -------------------------------------------------------------

class StandInGit:
    """Takes git's place: leaves the current working file as it is, or
    reports conflicts the way git and GitPython do (a block written for a
    conflict counted), or a refusal."""

    def __init__(self, status=None):
        self.status = status

    def merge_file(self, *paths):
        if self.status is not None:
            if 1 <= self.status <= 125:
                with open(paths[0], "a", encoding="utf-8") as f:
                    f.write(f"<<<<<<< {paths[0]}\nx\n=======\ny\n>>>>>>> {paths[2]}\n")
            raise git.GitCommandError(["git", "merge-file", *paths], self.status)


def source_merge_native():
    current, base, incoming = ["a\n", "mine\n"], ["a\n", "b\n"], ["a\n", "theirs\n"]
    clean, conflicts, refused = StandInGit(), StandInGit(1), StandInGit(255)
    label = "nb.ipynb-current"

    def step():
        _merge_source(clean, current, base, incoming, current_name=label, incoming_name=label)
        _merge_source(conflicts, current, base, incoming)
        expect(git.GitCommandError, _merge_source, refused, current, base, incoming)
        expect(TypeError, _merge_source, clean, tuple(current), base, incoming)
        expect(TypeError, _merge_source, clean, [1], base, incoming)
        expect(UnicodeEncodeError, _merge_source, clean, ["\ud800"], base, incoming)

    return step, [current, base, incoming, clean, conflicts, refused, label]


def source_merge_git():
    g = git.cmd.Git()
    current, base, incoming = ["a\n", "mine\n"], ["a\n", "b\n"], ["a\n", "theirs\n"]
    binary = ["\x00\n"]
    label = "nb.ipynb-current"

    def step():
        _merge_source(g, current, base, incoming, current_name=label, incoming_name=label)
        expect(git.GitCommandError, _merge_source, g, binary, base, incoming)

    return step, [g, current, base, incoming, binary, label]


@pytest.fixture
def workdir(tmp_path):
    """A directory on a memory file system when there is one: the loops
    measure the merge, not the disk."""
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        path = tempfile.mkdtemp(prefix="zuv-leak-", dir="/dev/shm")
        yield path
        shutil.rmtree(path)
    else:
        yield str(tmp_path)


BASE = notebook([cell("a", "A", ["x\n", "1\n", "2\n", "3\n"]), cell("b", "B", ["y\n"], parents=["a"]),
                 cell("c", "", ["z\n"])], [param("p", "1"), param("q", "1")])


def notebook_files(workdir, current, incoming):
    paths = {n: os.path.join(workdir, n + ".ipynb") for n in ("base", "current", "incoming")}
    raw = {"base": json.dumps(BASE).encode(), "current": json.dumps(current).encode(),
           "incoming": json.dumps(incoming).encode()}
    for n, path in paths.items():
        with open(path, "wb") as f:
            f.write(raw[n])
    return paths, raw["current"]


def file_merge(workdir, with_source_merge):
    current = json.loads(json.dumps(BASE))
    incoming = json.loads(json.dumps(BASE))
    del current["cells"][2]
    canvas(current["cells"][0])["headerColor"] = "red"
    incoming["cells"].append(cell("n", "B", ["new\n"]))
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = "2"
    if with_source_merge:
        current["cells"][0]["source"][0] = "mine\n"
        incoming["cells"][0]["source"][3] = "theirs\n"
    paths, current_bytes = notebook_files(workdir, current, incoming)
    missing = os.path.join(workdir, "missing.ipynb")
    broken = os.path.join(workdir, "broken.ipynb")
    duplicated = os.path.join(workdir, "duplicated.ipynb")
    with open(broken, "w") as f:
        f.write('{"cells": [')
    with open(duplicated, "w") as f:
        json.dump(notebook([cell("a"), cell("a")]), f)
    args = [paths["base"], paths["current"], paths["incoming"], "nb.ipynb"]

    def step():
        with open(paths["current"], "wb") as f:
            f.write(current_bytes)
        merge_files(*args)
        expect(FileNotFoundError, merge_files, missing, *args[1:])
        expect(TypeError, merge_files, args[0], None, args[2], args[3])
        expect(json.JSONDecodeError, merge_files, args[0], args[1], broken, "x")
        expect(ValueError, merge_files, duplicated, args[1], args[2], "x")

    return step, [current_bytes, missing, broken, duplicated, *args]


def test_records_do_not_leak():
    check_loop("Cell/MergeCell", *cell_records(), N)
    check_loop("DiffCell/DiffParameter/_cell_modified", *diff_records(), N)


def test_comparisons_do_not_leak():
    check_loop("_cell_changed", *cell_comparison(), N)
    check_loop("diff_dicts", *document_diff(), N)


def test_source_merge_does_not_leak(workdir, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", workdir)
    check_loop("_merge_source (stand-in git)", *source_merge_native(), FILE_N)
    check_loop("_merge_source (git)", *source_merge_git(), GIT_N)


@pytest.mark.parametrize("with_source_merge", [False, True], ids=["no-source-merge", "source-merge"])
def test_merge_files_does_not_leak(workdir, monkeypatch, with_source_merge):
    monkeypatch.setattr(tempfile, "tempdir", workdir)
    step, inputs = file_merge(workdir, with_source_merge)
    check_loop(f"merge_files ({'git' if with_source_merge else 'no git'})", step, inputs,
               GIT_N if with_source_merge else FILE_N)
    if with_source_merge:
        # The merge's own code, the full count, with git stood in for.
        stand_in = types.SimpleNamespace(cmd=types.SimpleNamespace(Git=StandInGit),
                                         GitCommandError=git.GitCommandError)
        monkeypatch.setattr(notebook_merge, "git", stand_in)
        check_loop("merge_files (stand-in git)", step, inputs, FILE_N)


def test_command_does_not_leak(workdir, monkeypatch):
    current = json.loads(json.dumps(BASE))
    incoming = json.loads(json.dumps(BASE))
    canvas(current["cells"][1])["name"] = "mine"
    canvas(incoming["cells"][1])["name"] = "theirs"
    canvas(incoming["cells"][1])["headerColor"] = "x"
    canvas(current["cells"][1])["headerColor"] = "y"
    paths, current_bytes = notebook_files(workdir, current, incoming)
    argv = ["zuvmerge", "--base-file", paths["base"], "--current-file", paths["current"],
            "--incoming-file", paths["incoming"]]
    monkeypatch.setattr(sys, "argv", argv)
    # The conflict report goes nowhere: a captured stream would grow.
    devnull = open(os.devnull, "w")
    monkeypatch.setattr(sys, "stderr", devnull)

    def step():
        with open(paths["current"], "wb") as f:
            f.write(current_bytes)
        expect(SystemExit, _launcher.run_as_main)  # conflicts remain: status 1

    # Each run builds a module, a parser and their strings anew; the
    # allocator's arenas take longer to settle than for the functions.
    count = max(FILE_N // 4, 100)
    with devnull:
        check_loop("zuvmerge", step, [argv, current_bytes], count, warmup=count)
