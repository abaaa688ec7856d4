import copy
import gc

import pytest

from nbbuild import bare_notebook as notebook, code_cell, other_cell, param as parameter, ref
from zuv_weft_git.drivers import notebook_diff
from zuv_weft_git.drivers.notebook_diff import DiffCell, diff_dicts


def diffed(cell, status, prev_source, source=None, parents=(), **lists):
    """The output form of `cell`: its canvas with the diff keys."""
    out = copy.deepcopy(cell)
    if source is not None:
        out["source"] = source
    canvas = out["metadata"]["canvas"]
    canvas.update(parents=list(parents), diff_status=status, prev_source=prev_source, **lists)
    return out


def document(cells=(), parameters=()):
    return {"cells": list(cells), "metadata": {"canvas": {"parameter": list(parameters)}}}


def with_status(param, status, **extra):
    return {**param, "diff_status": status, **extra}


A = code_cell("a", ["x = 1\n", "y = 2"], name="load")
B = code_cell("b", ["print(x)"], [ref("a", "load")])
C = code_cell("c", ["z"], [ref("a", "load"), ref("b", "show")])
P1, P2 = parameter("rate", "1", "int"), parameter("name", "n")


def case_empty():
    return {}, {}, document()


def case_equal():
    prev = notebook([A, B, C], [P1, P2])
    expected = document(
        [diffed(c, "unchanged", c["source"], parents=c["metadata"]["canvas"]["parents"],
                added_parents=[], removed_parents=[]) for c in (A, B, C)],
        [with_status(P1, "unchanged"), with_status(P2, "unchanged")])
    return prev, copy.deepcopy(prev), expected


def case_only_other_cells_differ():
    prev = notebook([other_cell("m", source=["# a"]), A])
    current = notebook([A, other_cell("m", source=["# b"]), other_cell("r", "raw")])
    return prev, current, document([diffed(A, "unchanged", A["source"], added_parents=[],
                                           removed_parents=[])])


def case_removed_and_added():
    prev = notebook([A, B])
    current = notebook([A, C])
    return prev, current, document([
        diffed(B, "removed", B["source"], source=[], removed_parents=[ref("a", "load")]),
        diffed(C, "added", [], added_parents=C["metadata"]["canvas"]["parents"]),
        diffed(A, "unchanged", A["source"], added_parents=[], removed_parents=[]),
    ])


def case_trailing_newline():
    changed = copy.deepcopy(A)
    changed["source"][-1] += "\n"
    return notebook([A]), notebook([changed]), document(
        [diffed(changed, "modified", A["source"], added_parents=[], removed_parents=[])])


def case_parents_changed_source_not():
    current = code_cell("c", ["z"], [ref("b", "renamed"), ref("d", "new")])
    return notebook([C]), notebook([current]), document([diffed(
        current, "unchanged", ["z"], parents=[ref("b", "renamed")],
        added_parents=[ref("d", "new")], removed_parents=[ref("a", "load")])])


def case_merged_notebook_references():
    # The merge writes references without "name"; they count as name None.
    prev = code_cell("c", ["z"], [{"id": "a"}, {"id": "b"}])
    current = code_cell("c", ["z"], [{"id": "b"}, {"id": "e"}])
    return notebook([prev]), notebook([current]), document([diffed(
        current, "unchanged", ["z"], parents=[ref("b", None)],
        added_parents=[ref("e", None)], removed_parents=[ref("a", None)])])


def case_duplicate_ids():
    first, later = code_cell("a", ["old"]), code_cell("a", ["new"], [ref("x", "y")])
    return notebook([A]), notebook([first, B, later]), document([
        diffed(B, "added", [], added_parents=[ref("a", "load")]),
        diffed(later, "modified", A["source"], added_parents=[ref("x", "y")],
               removed_parents=[]),
    ])


def case_parameters():
    modified = parameter("rate", "2", "str")
    retyped = parameter("name", "n", "int")
    added, removed = parameter("new", "v"), parameter("gone", "g")
    prev = notebook([], [removed, P1, P2])
    current = notebook([], [added, retyped, modified])
    return prev, current, document([], [
        with_status(removed, "removed"),
        with_status(retyped, "unchanged"),
        with_status(modified, "modified", prev_type="int", prev_value="1"),
        with_status(added, "added"),
    ])


def case_current_parameter_without_name():
    prev = notebook([], [P1, P2])
    current = notebook([], [parameter("rate", "1"), {"type": "int", "value": "3"}])
    return prev, current, document([], [with_status(P1, "removed"), with_status(P2, "removed")])


@pytest.mark.parametrize("side", ["prev", "current"])
@pytest.mark.parametrize("meta", [None, {}, {"canvas": {}}, {"canvas": {"id": 1}}])
def test_documents_without_parameters(side, meta):
    docs = {"prev": notebook([], [P1]), "current": notebook([], [P1])}
    if meta is None:
        del docs[side]["metadata"]
    else:
        docs[side]["metadata"] = meta
    other = "current" if side == "prev" else "prev"
    status = "added" if other == "current" else "removed"
    result = diff_dicts(docs["prev"], docs["current"])
    assert result["metadata"]["canvas"]["parameter"] == [with_status(P1, status)]


@pytest.mark.parametrize("case", [
    case_empty, case_equal, case_only_other_cells_differ, case_removed_and_added,
    case_trailing_newline, case_parents_changed_source_not,
    case_merged_notebook_references, case_duplicate_ids, case_parameters,
    case_current_parameter_without_name,
], ids=lambda case: case.__name__[5:])
def test_diff_document(case):
    prev, current, expected = case()
    result = diff_dicts(prev, current)
    assert result == expected
    assert list(result) == ["cells", "metadata"]


def test_group_and_reference_orders():
    ids = ["k5", "k1", "k4", "k2", "k3"]
    prev_refs = [ref(i, i.upper()) for i in ["p9", "k1", "p2", "k2", "p5"]]
    current_refs = [ref(i, i) for i in ["c7", "k2", "c1", "k1", "c4"]]
    prev = notebook([code_cell(i) for i in ["r3", "r1", "r2"]] + [code_cell(i) for i in ids[::-1]]
                    + [code_cell("x", parents=prev_refs)])
    current = notebook([code_cell(i) for i in ["n2", "n3"]] + [code_cell("x", parents=current_refs)]
                       + [code_cell(i) for i in ids] + [code_cell("n1")])
    cells = diff_dicts(prev, current)["cells"]
    assert [c["metadata"]["canvas"]["id"] for c in cells] == (
        ["r3", "r1", "r2", "n2", "n3", "n1", "x"] + ids)
    canvas = cells[6]["metadata"]["canvas"]
    assert canvas["added_parents"] == [ref("c7", "c7"), ref("c1", "c1"), ref("c4", "c4")]
    assert canvas["removed_parents"] == [ref("p9", "P9"), ref("p2", "P2"), ref("p5", "P5")]
    assert canvas["parents"] == [ref("k2", "k2"), ref("k1", "k1")]


def test_input_cells_stay_as_they_were_and_parameters_are_shared():
    prev = notebook([A, B, C], [P1, P2])
    current = notebook([code_cell("b", ["print(y)"], [ref("z", "q")]), C,
                        code_cell("d", parents=[ref("c", "c")])],
                       [parameter("rate", "5", "int")])
    prev_cells, current_cells = copy.deepcopy(prev["cells"]), copy.deepcopy(current["cells"])
    result = diff_dicts(prev, current)
    assert prev["cells"] == prev_cells and current["cells"] == current_cells
    out = result["metadata"]["canvas"]["parameter"]
    assert [p is q for p, q in zip(out, prev["metadata"]["canvas"]["parameters"][1:]
                                   + current["metadata"]["canvas"]["parameters"])] == [True, True]
    assert prev["metadata"]["canvas"]["parameters"][0]["diff_status"] == "unchanged"
    assert current["metadata"]["canvas"]["parameters"][0]["prev_value"] == "1"
    for cell in result["cells"]:
        assert all(cell is not c and cell["metadata"] is not c["metadata"]
                   and cell["metadata"]["canvas"] is not c["metadata"]["canvas"]
                   for c in prev["cells"] + current["cells"])


def test_partial_parameter_map_is_dropped():
    first = parameter("a", "1")
    current = notebook([], [first, {"value": "2"}, parameter("b", "3")])
    result = diff_dicts(notebook(), current)
    assert result["metadata"]["canvas"]["parameter"] == []
    assert first["diff_status"] == "unchanged"
    assert "diff_status" not in current["metadata"]["canvas"]["parameters"][2]


def cell_without(key):
    cell = code_cell("a")
    if key == "cell_type":
        del cell["cell_type"]
    else:
        del cell["metadata"]["canvas"]["id"]
    return cell


@pytest.mark.parametrize("prev, current, error, message", [
    ([], {}, TypeError, "Argument 'prev' has incorrect type (expected dict, got list)"),
    ({}, None, TypeError, "Argument 'current' has incorrect type (expected dict, got NoneType)"),
    (notebook([cell_without("cell_type")]), {}, KeyError, "'cell_type'"),
    ({}, notebook([cell_without("id")]), KeyError, "'id'"),
    (notebook([code_cell("a", parents=[{"name": "n"}])]), notebook([code_cell("a")]),
     KeyError, "'id'"),
    (notebook([], [P1]), notebook([], [parameter("rate", 3)]), TypeError,
     "Expected unicode, got int"),
    (notebook([], [P1]), notebook([], [{"name": "rate", "type": "int"}]), KeyError, "'value'"),
    (notebook([], [{"name": "rate", "value": "0"}]), notebook([], [P1]), KeyError, "'type'"),
    (notebook([], [{"name": "rate", "value": "0", "type": None}]), notebook([], [P1]), TypeError,
     "Argument 'value' has incorrect type (expected str, got NoneType)"),
    (notebook([], [[1]]), {}, TypeError, "list indices must be integers or slices, not str"),
    ({"cells": None}, {}, TypeError, "'NoneType' object is not iterable"),
    (notebook([{**code_cell("a"), "source": 5}]), {}, TypeError,
     "Argument 'value' has incorrect type (expected list, got int)"),
])
def test_failures(prev, current, error, message):
    with pytest.raises(error) as info:
        diff_dicts(prev, current)
    assert str(info.value) == message


@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
@pytest.mark.parametrize("current, error", [
    (notebook([A]), None), (notebook([cell_without("id")]), KeyError),
], ids=["diffed", "failing"])
def test_cycle_collector_is_left_as_found(enabled, current, error):
    saved = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        if error:
            with pytest.raises(error):
                diff_dicts(notebook([A, B]), current)
        else:
            assert diff_dicts(notebook([A, B]), current)["cells"]
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if saved else gc.disable)()


def test_removed_parameter_without_value_is_fine():
    result = diff_dicts(notebook([], [{"name": "a"}]), notebook([], []))
    assert result["metadata"]["canvas"]["parameter"] == [{"name": "a", "diff_status": "removed"}]


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    made, compared = [], []

    class RecordingCell(notebook_diff.Cell):
        def __init__(self, cell):
            made.append(cell["metadata"]["canvas"]["id"])
            super().__init__(cell)

    def always(cell):
        compared.append(cell.data["metadata"]["canvas"]["id"])
        return 1

    monkeypatch.setattr(notebook_diff, "Cell", RecordingCell)
    monkeypatch.setattr(notebook_diff, "_cell_modified", always)
    cells = diff_dicts(notebook([A, B]), notebook([B, C]))["cells"]
    assert made == ["b", "c", "a", "b"] and compared == ["b"]
    assert [c["metadata"]["canvas"]["diff_status"] for c in cells] == [
        "removed", "added", "modified"]


def run_both(prev, current, monkeypatch, subclass):
    expected = diff_dicts(copy.deepcopy(prev), copy.deepcopy(current))
    monkeypatch.setattr(notebook_diff, "DiffCell", subclass)
    return expected, diff_dicts(prev, current)


def test_diff_cell_subclass_gives_the_same_document(monkeypatch):
    class Sub(DiffCell):
        pass

    prev = notebook([A, B, C], [P1])
    current = notebook([code_cell("b", ["q"], [ref("c", "c")]), C, code_cell("e")],
                       [parameter("rate", "2")])
    expected, result = run_both(prev, current, monkeypatch, Sub)
    assert result == expected


def test_replaced_class_members_are_honoured(monkeypatch):
    seen = []
    original = DiffCell.prev_source

    def spy(self, value):
        seen.append(list(value))
        original.fset(self, value)

    monkeypatch.setattr(DiffCell, "prev_source", property(original.fget, spy))
    monkeypatch.setattr(DiffCell, "MODIFIED", "modified")  # equal value, other object
    diff_dicts(notebook([A, B]), notebook([C, B]))
    assert seen == [A["source"], [], B["source"]]
