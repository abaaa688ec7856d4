"""The records (Cell, MergeCell, DiffCell, DiffParameter) over hostile JSON.

Random sequences of reads, writes and method calls on records over cells and
parameters of any shape: every call either succeeds, with a write landing in
the wrapped object at its documented place, or raises an ordinary exception;
a write refused for its type leaves the wrapped object as it was.
"""

import copy

from hypothesis import given, strategies as st

from hostile import cell_shapes, fuzz_settings, hostile_values, json_values, texts
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter
from zuv_weft_git.drivers.notebook_merge import MergeCell

CANVAS = ("metadata", "canvas")
# member -> (type a write must have, where the write lands); None: read-only.
CELL_MEMBERS = {
    "data": None, "comments": None,
    "weft_id": (str, CANVAS + ("id",)), "name": (str, CANVAS + ("name",)),
    "parents": (list, CANVAS + ("parents",)), "source": (list, ("source",)),
    "cell_id": (str, ("id",)),
}
MERGE_MEMBERS = {**CELL_MEMBERS, "file_type": None}
DIFF_CELL_MEMBERS = {
    **CELL_MEMBERS, "status": (str, CANVAS + ("diff_status",)),
    "prev_source": (list, CANVAS + ("prev_source",)),
    "removed_parents": (list, CANVAS + ("removed_parents",)),
    "added_parents": (list, CANVAS + ("added_parents",)),
}
PARAMETER_MEMBERS = {
    "data": None, "name": None, "type": None, "value": None,
    "status": (str, ("diff_status",)), "prev_type": (str, ("prev_type",)),
    "prev_value": (str, ("prev_value",)),
}
STATUSES = ["unchanged", "added", "removed", "modified"]
# Reads of missing or mistyped parts raise these; a status outside the four
# values fails its assertion.
ORDINARY_ERRORS = (KeyError, TypeError, AttributeError, AssertionError, IndexError)


def at(obj, path):
    for key in path:
        obj = obj[key]
    return obj


parameter_shapes = st.one_of(
    st.fixed_dictionaries({"name": texts, "type": texts, "value": texts},
                          optional={"diff_status": st.sampled_from(STATUSES + ["x"]),
                                    "prev_type": json_values, "prev_value": json_values}),
    st.dictionaries(st.sampled_from(["name", "type", "value", "diff_status", "prev_value"]),
                    hostile_values, max_size=4))

write_values = st.one_of(st.sampled_from(STATUSES), texts, st.lists(texts, max_size=2),
                         st.lists(st.fixed_dictionaries({"id": texts}), max_size=2), hostile_values)
operations = st.lists(st.tuples(st.sampled_from(["read", "write", "call"]), st.integers(0, 50),
                                write_values), max_size=8)


def exercise(record, data, members, ops, methods):
    names = sorted(members)
    for kind, index, value in ops:
        if kind == "call":
            method = methods[index % len(methods)] if methods else None
            if method:
                try:
                    method(record, value)
                except ORDINARY_ERRORS:
                    pass
            continue
        member = names[index % len(names)]
        rule = members[member]
        if kind == "read" or rule is None:
            try:
                getattr(record, member)
            except ORDINARY_ERRORS:
                pass
            continue
        required_type, path = rule
        before = copy.deepcopy(data)
        try:
            setattr(record, member, value)
        except ORDINARY_ERRORS as error:
            if type(value) is not required_type:
                assert isinstance(error, TypeError) and "incorrect type" in str(error)
            assert data == before, f"refused write of {member} changed the data"
            continue
        assert type(value) is required_type
        assert at(data, path) is value


def add_comment(record, value):
    record.add_comment(value)
    assert record.comments[-1] is value


def add_conflict_mark(record, _):
    before = record.name
    record.add_conflict_mark()
    after = record.name
    mark = {"current": "<<< ", "incoming": ">>> "}.get(record.file_type)
    if mark and before and not before.startswith(mark):
        assert after == mark + before
    else:
        assert after is before


@fuzz_settings
@given(cell_shapes(), st.sampled_from(["cell", "base", "current", "incoming", "Current", "diff"]),
       operations)
def test_cell_records(cell, kind, ops):
    try:
        if kind == "cell":
            record, members, methods = Cell(cell), CELL_MEMBERS, [add_comment]
        elif kind == "diff":
            record, members, methods = DiffCell(cell), DIFF_CELL_MEMBERS, [add_comment]
            assert cell["metadata"]["canvas"]["diff_status"] == "unchanged"
        else:
            record, members, methods = MergeCell(cell, kind), MERGE_MEMBERS, [add_comment, add_conflict_mark]
            assert kind in ("base", "current", "incoming")
    except ORDINARY_ERRORS:
        return
    assert record.data is cell
    exercise(record, cell, members, ops, methods)


@fuzz_settings
@given(parameter_shapes, operations)
def test_parameter_records(parameter, ops):
    record = DiffParameter(parameter)
    assert parameter["diff_status"] == "unchanged" and record.data is parameter
    exercise(record, parameter, PARAMETER_MEMBERS, ops, [])


@fuzz_settings
@given(hostile_values, st.sampled_from([Cell, DiffCell, DiffParameter, MergeCell]))
def test_constructors_refuse_what_is_not_a_dict(value, cls):
    args = (value, "base") if cls is MergeCell else (value,)
    try:
        cls(*args)
    except TypeError as error:
        assert type(value) is not dict and "incorrect type" in str(error)
    except KeyError:
        assert cls is DiffCell
    else:
        assert type(value) is dict
