import difflib
from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st

from zuv_weft_git.drivers import notebook_diff
from zuv_weft_git.drivers.notebook_diff import DiffCell, _cell_modified


def lines_cell(prev, source):
    return SimpleNamespace(prev_source=prev, source=source)


def unified_diff_answer(prev, source):
    """What difflib says, or the exception it raises."""
    try:
        return len(list(difflib.unified_diff(prev, source))) > 0
    except Exception as error:  # noqa: BLE001 - compared below
        return type(error), str(error)


def modified_answer(cell):
    try:
        return _cell_modified(cell)
    except Exception as error:  # noqa: BLE001 - compared below
        return type(error), str(error)


@pytest.mark.parametrize("prev, source, expected", [
    ([], [], False),
    (["a\n", "b"], ["a\n", "b"], False),
    (["a\n", "b"], ["a\n", "b\n"], True),   # a trailing newline counts
    (["a\n"], ["a\n", "a\n"], True),
    (["a\n"], [], True),
    (["é\n"], ["e\u0301\n"], True),          # compared as code points, not normalised
])
def test_str_lines(prev, source, expected):
    assert _cell_modified(lines_cell(prev, source)) is expected


def test_diff_cell_without_previous_source_equals_empty_source():
    cell = DiffCell({"metadata": {"canvas": {}}, "source": []})
    assert _cell_modified(cell) is False
    cell.source = [""]
    assert _cell_modified(cell) is True


@pytest.mark.parametrize("prev, source", [
    (["x", 1], ["x", 1]),        # difflib checks only the first line's type
    (["x", 1], ["y", 1]),        # ... and fails while formatting the context line
    (None, ["a"]),
    ("ab", ["a", "b"]),
    (("a",), ("b",)),
])
def test_other_elements_behave_as_difflib(prev, source):
    assert modified_answer(lines_cell(prev, source)) == unified_diff_answer(prev, source)


line = st.sampled_from(["", "a", "a\n", "b\n", "\n", "é"])
element = st.one_of(line, st.integers(0, 2), st.just(None), st.builds(lambda s: [s], line))


@given(st.lists(line, max_size=6), st.lists(line, max_size=6))
def test_str_lines_agree_with_difflib(prev, source):
    assert _cell_modified(lines_cell(prev, source)) is unified_diff_answer(prev, source)


@given(st.lists(element, max_size=4), st.lists(element, max_size=4))
def test_any_elements_agree_with_difflib(prev, source):
    assert modified_answer(lines_cell(prev, source)) == unified_diff_answer(prev, source)


def test_uses_the_module_global_difflib(monkeypatch):
    calls = []

    def unified_diff(a, b):
        calls.append((a, b))
        return iter(["changed"] if a == ["x"] else [])

    monkeypatch.setattr(notebook_diff, "difflib", SimpleNamespace(unified_diff=unified_diff))
    assert _cell_modified(lines_cell(["x"], ["x"])) is True
    assert _cell_modified(lines_cell(["y"], ["z"])) is False
    assert calls == [(["x"], ["x"]), (["y"], ["z"])]


def test_follows_a_replaced_unified_diff(monkeypatch):
    monkeypatch.setattr(difflib, "unified_diff", lambda a, b: iter(()))
    assert _cell_modified(lines_cell(["a"], ["b"])) is False
