import collections
import subprocess

import pytest

from nbbuild import PYTHON
from zuv_weft_git.drivers import notebook_merge
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_merge import MergeCell


def make(name="n"):
    return {"metadata": {"canvas": {"id": "c", "name": name}}}


def test_class_shape():
    assert MergeCell.__bases__ == (Cell,)
    assert MergeCell.__doc__ == "Data structure to represent a cell that undergos merge process."
    assert (MergeCell.BASE, MergeCell.CURRENT, MergeCell.INCOMING) == ("base", "current", "incoming")
    assert [k for k in vars(MergeCell) if not k.startswith("__") or k == "__init__"] == [
        "BASE", "CURRENT", "INCOMING", "__init__", "file_type", "add_conflict_mark"]
    assert MergeCell.file_type.__doc__ == "The file type that contains the cell"
    assert MergeCell.file_type.fset is None
    assert MergeCell.add_conflict_mark.__doc__ == (
        "Change name adding '<<< ' when current cell.\n        Change name adding '>>> ' when incoming cell.\n        ")
    assert MergeCell.__init__.__annotations__ == {"cell": "Dict[str, Any]", "file_type": "str", "return": "None"}
    assert MergeCell.add_conflict_mark.__annotations__ == {"return": "None"}
    assert MergeCell.file_type.fget.__annotations__ == {"return": "str"}


@pytest.mark.parametrize("tag", ["base", "current", "incoming"])
def test_file_type_and_shared_dict(tag):
    data = make()
    cell = MergeCell(data, file_type=tag)
    assert cell.file_type == tag and cell.data is data
    cell.name = "x"
    assert data["metadata"]["canvas"]["name"] == "x"


@pytest.mark.parametrize(
    "tag, name, marks, expected",
    [
        ("current", "N", 1, "<<< N"),
        ("current", "N", 2, "<<< N"),
        ("incoming", "N", 2, ">>> N"),
        ("current", ">>> N", 1, "<<< >>> N"),
        ("base", "N", 1, "N"),
        ("current", "", 1, ""),
        ("incoming", None, 1, None),
    ],
)
def test_add_conflict_mark(tag, name, marks, expected):
    cell = MergeCell(make(name), tag)
    for _ in range(marks):
        assert cell.add_conflict_mark() is None
    assert cell.data["metadata"]["canvas"]["name"] == expected


def test_true_non_str_name_fails_at_startswith():
    with pytest.raises(AttributeError, match="startswith"):
        MergeCell(make(5), "current").add_conflict_mark()


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, "base"), "Argument 'cell' has incorrect type (expected dict, got NoneType)"),
        ((collections.OrderedDict(), "base"), "Argument 'cell' has incorrect type (expected dict, got collections.OrderedDict)"),
        (({}, None), "Argument 'file_type' has incorrect type (expected str, got NoneType)"),
        (({},), "__init__() takes exactly 3 positional arguments (2 given)"),
        (({}, "base", 1), "__init__() takes exactly 3 positional arguments (4 given)"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        MergeCell(*args)
    assert str(info.value) == message


def test_unknown_tag_asserts_after_cell_init():
    with pytest.raises(AssertionError) as info:
        MergeCell(make(), "Current")
    assert info.value.args == ()


def test_unknown_tag_reads_base_without_assertions():
    code = ("from zuv_weft_git.drivers.notebook_merge import MergeCell; "
            "print(MergeCell({'metadata': {'canvas': {}}}, 'Current').file_type)")
    out = subprocess.run([*PYTHON, "-O", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "base\n"


def test_tags_come_from_the_module_level_class(monkeypatch):
    class Renamed(MergeCell):
        CURRENT = "mine"

    cell = Renamed(make(), "current")
    assert cell.file_type == "current"
    cell.add_conflict_mark()
    assert cell.name == "<<< n"

    class Patched(MergeCell):
        BASE = "origin"

    monkeypatch.setattr(notebook_merge, "MergeCell", Patched)
    assert MergeCell(make(), "origin").file_type == "origin"
    with pytest.raises(AssertionError):
        MergeCell(make(), "base")
