import subprocess
import sys
import textwrap

import pytest

from zuv_weft_git.drivers import notebook_diff
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter

STATUSES = {"UNCHANGED": "unchanged", "ADDED": "added", "REMOVED": "removed",
            "MODIFIED": "modified"}


def canvas_cell(**canvas):
    return {"cell_type": "code", "source": [], "metadata": {"canvas": dict(canvas)}}


def test_module_top_level_order():
    names = [n for n in vars(notebook_diff) if not n.startswith("__")]
    assert names == ["difflib", "Any", "Dict", "List", "Cell", "DiffCell", "_cell_modified",
                     "DiffParameter", "diff_dicts"]
    assert notebook_diff.Cell is Cell and DiffCell.__bases__ == (Cell,)
    assert DiffParameter.__bases__ == (object,)


@pytest.mark.parametrize("cls", [DiffCell, DiffParameter])
def test_each_class_defines_its_own_status_constants(cls):
    own = {k: v for k, v in vars(cls).items() if k in STATUSES}
    assert list(own.items()) == list(STATUSES.items())


@pytest.mark.parametrize("cls, member, doc, get_ann, set_ann", [
    (DiffCell, "status", "The diff cell status", "str", "str"),
    (DiffCell, "prev_source", "Previous source code", "List[str]", "List[str]"),
    (DiffCell, "removed_parents", "Previous parent ids", "List[Dict[str, str]]",
     "List[Dict[str, str]]"),
    (DiffCell, "added_parents", None, "List[Dict[str, str]]", "List[Dict[str, str]]"),
    (DiffParameter, "data", "Raw parameter data", "Dict[str, str]", None),
    (DiffParameter, "status", "The parameter's diff status", "str", "str"),
    (DiffParameter, "name", "The parameter's name", "str", None),
    (DiffParameter, "type", "The parameter's type", "str", None),
    (DiffParameter, "value", "The parameter's value", "str", None),
    (DiffParameter, "prev_type", "The parameter's previous type before modification", "str",
     "str"),
    (DiffParameter, "prev_value", "The parameter's previous value before modification", "str",
     "str"),
])
def test_properties(cls, member, doc, get_ann, set_ann):
    prop = vars(cls)[member]
    assert isinstance(prop, property) and prop.__doc__ == doc
    assert prop.fget.__name__ == member and prop.fget.__annotations__ == {"return": get_ann}
    if set_ann is None:
        assert prop.fset is None
    else:
        assert prop.fset.__name__ == member
        assert prop.fset.__annotations__ == {"value": set_ann, "return": "None"}


def test_class_and_constructor_texts():
    assert DiffCell.__doc__ == "Data structure to represent a cell that undergoes diff process."
    assert DiffParameter.__doc__ == (
        "Data structure to represent a parameter that undergoes diff process.")
    assert DiffCell.__init__.__annotations__ == {"cell": "Dict[str, Any]"}
    assert DiffParameter.__init__.__annotations__ == {"data": "Dict[str, str]"}


@pytest.mark.parametrize("member", ["prev_source", "removed_parents", "added_parents"])
def test_diff_cell_fields_live_in_the_canvas(member):
    cell = canvas_cell(diff_status="added")
    record = DiffCell(cell)
    assert record.data is cell and record.status == "unchanged"
    assert getattr(record, member) == [] and cell["metadata"]["canvas"] == {
        "diff_status": "unchanged"}
    value = ["x"]
    setattr(record, member, value)
    assert getattr(record, member) is value and cell["metadata"]["canvas"][member] is value


def test_diff_parameter_reads_and_writes_the_callers_object():
    data = {"name": "a", "type": "int", "value": "1"}
    record = DiffParameter(data)
    assert data == {"name": "a", "type": "int", "value": "1", "diff_status": "unchanged"}
    assert record.data is data
    assert (record.name, record.type, record.value) == ("a", "int", "1")
    assert (record.prev_type, record.prev_value) == ("int", "1")
    record.prev_value = "2"
    record.prev_type = "str"
    record.status = "modified"
    assert (record.prev_type, record.prev_value, record.status) == ("str", "2", "modified")
    assert data["prev_value"] == "2" and data["prev_type"] == "str"
    assert data["diff_status"] == "modified"


def make_cell_record():
    return DiffCell(canvas_cell())


def make_parameter_record():
    return DiffParameter({"name": "a", "type": "int", "value": "1"})


@pytest.mark.parametrize("call, message", [
    (lambda: DiffCell(type("D", (dict,), {})()),
     "Argument 'cell' has incorrect type (expected dict, got D)"),
    (lambda: DiffParameter(None), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    (lambda: setattr(make_cell_record(), "status", None),
     "Argument 'value' has incorrect type (expected str, got NoneType)"),
    (lambda: setattr(make_cell_record(), "prev_source", ("a",)),
     "Argument 'value' has incorrect type (expected list, got tuple)"),
    (lambda: setattr(make_parameter_record(), "prev_value", 2),
     "Argument 'value' has incorrect type (expected str, got int)"),
    (lambda: DiffCell(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: DiffCell.status.fget(), "status() takes exactly 1 positional argument (0 given)"),
    (lambda: DiffCell.prev_source.fset(make_cell_record()),
     "prev_source() takes exactly 2 positional arguments (1 given)"),
    (lambda: DiffParameter.name.fget(make_parameter_record(), 1),
     "name() takes exactly 1 positional argument (2 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("make, member, message", [
    (lambda: DiffCell(canvas_cell(prev_source="a")), "prev_source", "Expected list, got str"),
    (lambda: DiffCell(canvas_cell(added_parents={})), "added_parents", "Expected list, got dict"),
    (lambda: DiffParameter({"value": 3}), "value", "Expected unicode, got int"),
    (lambda: DiffParameter({"type": 1}), "prev_type", "Expected unicode, got int"),
    (lambda: DiffParameter({"value": "1", "prev_value": b"0"}), "prev_value",
     "Expected unicode, got bytes"),
])
def test_result_checks(make, member, message):
    record = make()
    with pytest.raises(TypeError, match=f"^{message}$"):
        getattr(record, member)
    record._data = {"metadata": {"canvas": {"diff_status": 3}}, "diff_status": 3}
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        record.status


def test_parameter_data_result_check():
    record = make_parameter_record()
    record._data = []
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        record.data


def test_none_passes_the_result_checks():
    record = DiffParameter({"name": None, "type": None, "value": None})
    assert (record.name, record.type, record.prev_type, record.prev_value) == (None,) * 4
    assert DiffCell({"metadata": {"canvas": {"prev_source": None}}}).prev_source is None


@pytest.mark.parametrize("call, key", [
    (lambda: DiffCell({}), "metadata"),
    (lambda: DiffCell({"metadata": {}}), "canvas"),
    (lambda: DiffParameter({}).name, "name"),
    (lambda: DiffParameter({"prev_type": "int"}).prev_type, "type"),
    (lambda: DiffParameter({"prev_value": "1"}).prev_value, "value"),
])
def test_missing_keys(call, key):
    with pytest.raises(KeyError) as info:
        call()
    assert info.value.args == (key,)


@pytest.mark.parametrize("make, read", [
    (make_cell_record, lambda r: r.data["metadata"]["canvas"]["diff_status"]),
    (make_parameter_record, lambda r: r.data["diff_status"]),
])
def test_unknown_status_is_an_assertion(make, read):
    record = make()
    record.status = "removed"
    with pytest.raises(AssertionError) as info:
        record.status = "deleted"
    assert info.value.args == () and read(record) == "removed"


def test_unknown_status_is_stored_without_assertions():
    script = textwrap.dedent("""
        from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter
        cell = DiffCell({"metadata": {"canvas": {}}})
        cell.status = "deleted"
        parameter = DiffParameter({"name": "a"})
        parameter.status = "gone"
        print(cell.status, parameter.status)
    """)
    done = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True,
                          cwd="/", check=True)
    assert done.stdout.split() == ["deleted", "gone"]


def test_constants_are_read_through_the_module_global(monkeypatch):
    class Other:
        UNCHANGED, ADDED, REMOVED, MODIFIED = "u", "a", "r", "m"

    monkeypatch.setattr(notebook_diff, "DiffCell", Other)
    record = DiffCell(canvas_cell())
    assert record.status == "u"
    record.status = "m"
    with pytest.raises(AssertionError):
        record.status = "modified"
    del record.data["metadata"]["canvas"]["diff_status"]
    assert record.status == "u"
    # DiffParameter keeps its own constants
    assert DiffParameter({}).status == "unchanged"


def test_subclass_constants_do_not_change_the_checks():
    class Renamed(DiffParameter):
        UNCHANGED = "same"

    record = Renamed({"name": "a"})
    assert record.status == "unchanged"
    with pytest.raises(AssertionError):
        record.status = "same"
