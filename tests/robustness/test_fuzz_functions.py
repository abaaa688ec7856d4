"""diff_dicts, _cell_changed, _cell_modified and _merge_source on random and
hostile input: an ordinary exception or a result that keeps the functions'
promises, never a crash."""

import copy
import os
import subprocess
import sys
import tempfile

import git
import jsondiff
import pytest
from hypothesis import event, given, strategies as st

from hostile import (cell_shapes, fuzz_settings, hostile_values, huge_text, materialise, nasty_text,
                     notebook_triples, source_lines)
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, _cell_modified, diff_dicts
from zuv_weft_git.drivers.notebook_merge import MergeCell, _cell_changed, _merge_source

pytestmark = pytest.mark.slow

ORDINARY_ERRORS = (KeyError, TypeError, AttributeError, RecursionError)
STATUSES = {"unchanged", "added", "removed", "modified"}


def parent_lists(cell):
    try:
        parents = cell["metadata"]["canvas"]["parents"]
    except (KeyError, TypeError):
        return []
    return [p for p in parents if isinstance(p, dict)] if isinstance(parents, list) else []


def without_names(cell):
    cell = copy.deepcopy(cell)
    for parent in parent_lists(cell):
        parent.pop("name", None)
    return cell


# --- _cell_changed --------------------------------------------------------------

@fuzz_settings
@given(cell_shapes(), cell_shapes(), st.sampled_from(["two", "same", "equal"]))
def test_cell_changed_is_jsondiff_without_execution_count(cell0, cell1, pairing):
    if pairing == "same":
        cell1 = cell0
    elif pairing == "equal":
        cell1 = copy.deepcopy(cell0)
    old, new = without_names(cell0), without_names(cell1)
    try:
        record0, record1 = MergeCell(cell0, "base"), MergeCell(cell1, "current")
        result = _cell_changed(record0, record1)
    except ORDINARY_ERRORS as error:
        event("raised " + type(error).__name__)
        return
    event("empty" if not result else "changed")
    assert type(result) is dict and "execution_count" not in result
    assert not any("name" in p for p in parent_lists(cell0) + parent_lists(cell1))
    expected = jsondiff.diff(old, new)
    expected.pop("execution_count", None)
    assert result == expected
    old.pop("execution_count", None)
    new.pop("execution_count", None)
    assert (result == {}) == (old == new)


# --- diff_dicts -------------------------------------------------------------------

def code_cells(document):
    """Canvas id -> the last code cell with that id, as the diff reads them."""
    return {c["metadata"]["canvas"]["id"]: c for c in document.get("cells", [])
            if c["cell_type"] == "code"}


def lines_of(cell):
    source = Cell(cell).source
    if isinstance(source, list) and all(type(line) is str for line in source):
        return list(source)
    return None


@fuzz_settings
@given(notebook_triples(), st.booleans())
def test_diff_dicts_lists_every_code_cell_once(triple, deep):
    base, _, current = triple
    prev, current = (materialise(base), materialise(current)) if deep else (base, current)
    try:
        expected_prev, expected_current = code_cells(prev), code_cells(current)
        sources = {i: (lines_of(expected_prev[i]), lines_of(expected_current[i]))
                   for i in expected_prev.keys() & expected_current.keys()}
    except (KeyError, TypeError, AttributeError):
        expected_prev = None
    parameters = [id(p) for doc in (prev, current)
                  for p in (doc.get("metadata", {}).get("canvas", {}).get("parameters", [])
                            if isinstance(doc.get("metadata"), dict)
                            and isinstance(doc["metadata"].get("canvas"), dict)
                            and isinstance(doc["metadata"]["canvas"].get("parameters"), list) else [])]
    try:
        result = diff_dicts(prev, current)
    except ORDINARY_ERRORS as error:
        event("raised " + type(error).__name__)
        return
    event("diffed")
    assert list(result) == ["cells", "metadata"] and list(result["metadata"]) == ["canvas"]
    assert list(result["metadata"]["canvas"]) == ["parameter"]
    assert expected_prev is not None, "the diff read cells that the reference could not"
    status = {}
    for cell in result["cells"]:
        canvas = cell["metadata"]["canvas"]
        assert canvas["id"] not in status, "a cell is listed twice"
        status[canvas["id"]] = canvas["diff_status"]
    assert status.keys() == expected_prev.keys() | expected_current.keys()
    for cell_id, value in status.items():
        if cell_id not in expected_current:
            assert value == "removed"
        elif cell_id not in expected_prev:
            assert value == "added"
        elif None not in sources[cell_id]:
            prev_lines, current_lines = sources[cell_id]
            assert value == ("modified" if prev_lines != current_lines else "unchanged")
    for parameter in result["metadata"]["canvas"]["parameter"]:
        assert id(parameter) in parameters and parameter["diff_status"] in STATUSES


@fuzz_settings
@given(cell_shapes(), st.one_of(source_lines, hostile_values))
def test_cell_modified_is_a_truth_value(cell, prev_source):
    try:
        record = DiffCell(cell)
        if type(prev_source) is list:
            record.prev_source = prev_source
        result = _cell_modified(record)
    except ORDINARY_ERRORS:
        return
    assert result is True or result is False


# --- _merge_source ------------------------------------------------------------------

G = git.cmd.Git()
SOURCE_ERRORS = (TypeError, UnicodeError, git.GitCommandError)
sources = st.one_of(source_lines, st.lists(st.one_of(nasty_text, huge_text), max_size=3),
                    st.lists(st.one_of(source_lines, hostile_values), max_size=2))
labels = st.one_of(st.none(), st.sampled_from(["", "nb.ipynb", "dir/é 😀.ipynb"]))


def universal_newlines(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The default temporary location, private to the test."""
    root = tmp_path / "tmp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@fuzz_settings
@given(sources, sources, sources, labels, labels, st.sampled_from(["three", "current=base",
                                                                    "incoming=base"]))
def test_merge_source_results_and_cleanup(temp_root, current, base, incoming, current_name,
                                          incoming_name, shape):
    if shape == "current=base":
        current = list(base)
    elif shape == "incoming=base":
        incoming = list(base)
    try:
        result = _merge_source(G, current, base, incoming, current_name=current_name,
                               incoming_name=incoming_name)
    except SOURCE_ERRORS as error:
        event("raised " + type(error).__name__)
        return
    finally:
        assert os.listdir(temp_root) == [], "a working directory was left behind"
    event("merged")
    assert type(result) is list and all(type(line) is str for line in result)
    texts = ["".join(s) for s in (current, base, incoming)]
    for line in result[:-1]:
        assert line.endswith("\n")
    assert not any("\r" in line or "\n" in line[:-1] for line in result)
    if current_name and incoming_name:
        assert not any(str(temp_root) in line for line in result)
    if "\x00" in "".join(texts):
        return  # git reads NUL beyond its binary check as text; nothing more to promise
    merged = "".join(result)
    if texts[0] == texts[1]:
        assert merged == universal_newlines(texts[2])
    elif texts[2] == texts[1]:
        assert merged == universal_newlines(texts[0])



# --- nesting far past the recursion limit ----------------------------------------------

DEEP_SCRIPT = r"""
import json, sys, tempfile, os
from zuv_weft_git.drivers.notebook_merge import MergeCell, _cell_changed, merge_files
from zuv_weft_git.drivers.notebook_diff import DiffCell, diff_dicts

def deep(depth, kind, leaf):
    value = leaf
    for _ in range(depth):
        value = [value] if kind == "list" else {"d": value}
    return value

def cell(value):
    return {"cell_type": "code", "source": [], "outputs": [],
            "metadata": {"canvas": {"id": "a", "name": "n", "parents": [], "extra": value}}}

target, depth, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
old, new = cell(deep(depth, kind, 1)), cell(deep(depth, kind, 2))
try:
    if target == "_cell_changed":
        _cell_changed(MergeCell(old, "base"), MergeCell(new, "current"))
    elif target == "diff_dicts":
        params = lambda v: {"metadata": {"canvas": {"parameters": [{"name": "p", "value": "1", "x": v}]}}}
        diff_dicts({"cells": [old], **params(deep(depth, kind, 1))},
                   {"cells": [new], **params(deep(depth, kind, 2))})
    elif target == "records":
        DiffCell(new).status
        MergeCell(new, "incoming").add_conflict_mark()
    elif target == "merge_files":
        text = '{"cells": [], "metadata": {"canvas": {"parameters": []}}, "x": ' + (
            "[" * depth + "]" * depth) + "}"
        with tempfile.TemporaryDirectory() as directory:
            paths = [os.path.join(directory, n) for n in ("b", "c", "i")]
            for path in paths:
                with open(path, "w") as f:
                    f.write(text)
            merge_files(*paths, "nb")
    print("finished")
except (RecursionError, TypeError, KeyError) as error:
    print(type(error).__name__)
"""


@pytest.mark.parametrize("target", ["_cell_changed", "diff_dicts", "records", "merge_files"])
@pytest.mark.parametrize("kind", ["list", "dict"])
def test_deep_nesting_never_crashes(target, kind):
    # A subprocess, so that a crash is reported as this test failing.
    result = subprocess.run([sys.executable, "-P", "-c", DEEP_SCRIPT, target, "200000", kind],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() in ("finished", "RecursionError", "TypeError", "KeyError")
