import copy

from hypothesis import given, settings, strategies as st

from zuv_weft_git.drivers.notebook_diff import diff_dicts

ids = st.sampled_from(["a", "b", "c", "d", "e", "f"])
lines = st.lists(st.sampled_from(["x = 1\n", "x = 1", "y\n", "", "é\n"]), max_size=4)
references = st.lists(st.one_of(st.builds(lambda i: {"id": i}, ids),
                                 st.builds(lambda i, n: {"id": i, "name": n}, ids,
                                           st.sampled_from(["p", "q", None]))), max_size=3)


@st.composite
def cells(draw):
    cell_type = draw(st.sampled_from(["code", "code", "code", "markdown", "raw"]))
    canvas = {"id": draw(ids), "parents": draw(references)}
    return {"cell_type": cell_type, "metadata": {"canvas": canvas}, "source": draw(lines)}


parameters = st.lists(st.fixed_dictionaries({
    "name": st.sampled_from(["p", "q", "r"]),
    "type": st.sampled_from(["int", "str"]),
    "value": st.sampled_from(["0", "1"])}), max_size=3)
notebooks = st.builds(lambda c, p: {"cells": c, "metadata": {"canvas": {"parameters": p}}},
                      st.lists(cells(), max_size=6), parameters)


def code_cells(document):
    """Canvas id -> the last code cell with that id."""
    return {c["metadata"]["canvas"]["id"]: c for c in document["cells"] if c["cell_type"] == "code"}


def status_by_id(result):
    return {c["metadata"]["canvas"]["id"]: c["metadata"]["canvas"]["diff_status"]
            for c in result["cells"]}


@settings(max_examples=200)
@given(notebooks, notebooks)
def test_every_code_cell_once_with_the_status_of_its_sources(prev, current):
    before, after = code_cells(prev), code_cells(current)
    inputs = copy.deepcopy([prev["cells"], current["cells"]])
    result = diff_dicts(prev, current)
    listed = [c["metadata"]["canvas"]["id"] for c in result["cells"]]
    assert sorted(listed) == sorted(before.keys() | after.keys())
    assert all(c["cell_type"] == "code" for c in result["cells"])
    for cell_id, status in status_by_id(result).items():
        if cell_id not in after:
            assert status == "removed"
        elif cell_id not in before:
            assert status == "added"
        else:
            changed = before[cell_id]["source"] != after[cell_id]["source"]
            assert status == ("modified" if changed else "unchanged")
    assert [prev["cells"], current["cells"]] == inputs


@settings(max_examples=200)
@given(notebooks, notebooks)
def test_kept_cells_split_their_parents(prev, current):
    before, after = code_cells(prev), code_cells(current)
    for cell in diff_dicts(prev, current)["cells"]:
        canvas = cell["metadata"]["canvas"]
        if canvas["diff_status"] in ("added", "removed"):
            continue
        old = {r["id"] for r in before[canvas["id"]]["metadata"]["canvas"]["parents"]}
        new = {r["id"] for r in after[canvas["id"]]["metadata"]["canvas"]["parents"]}
        assert {r["id"] for r in canvas["parents"]} == old & new
        assert {r["id"] for r in canvas["added_parents"]} == new - old
        assert {r["id"] for r in canvas["removed_parents"]} == old - new


@settings(max_examples=200)
@given(notebooks)
def test_a_document_against_its_copy_is_unchanged(document):
    result = diff_dicts(document, copy.deepcopy(document))
    assert set(status_by_id(result).values()) <= {"unchanged"}
    assert all(p["diff_status"] == "unchanged" and "prev_value" not in p
               for p in result["metadata"]["canvas"]["parameter"])
    assert len(result["cells"]) == len(code_cells(document))
