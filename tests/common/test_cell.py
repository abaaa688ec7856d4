import collections

import pytest

from zuv_weft_git.drivers.common import Cell


def make(**canvas):
    return {"metadata": {"canvas": {"id": "c1", **canvas}}, "source": ["a\n", "b"]}


def test_wraps_the_very_dict_and_writes_land_in_it():
    data = make(name="n", parents=[{"id": "p", "name": "q"}])
    cell = Cell(data)
    assert cell._data is data and cell.data is data
    assert cell.parents is data["metadata"]["canvas"]["parents"]
    assert cell.parents[0] is data["metadata"]["canvas"]["parents"][0]
    cell.name = "m"
    cell.weft_id = "c2"
    cell.cell_id = "x-1"
    cell.source = ["z\n"]
    cell.parents = [{"id": "r"}]
    assert data == {"metadata": {"canvas": {"id": "c2", "name": "m", "parents": [{"id": "r"}]}},
                    "source": ["z\n"], "id": "x-1"}
    assert (cell.name, cell.weft_id, cell.cell_id, cell.source) == ("m", "c2", "x-1", ["z\n"])


def test_defaults_for_absent_members_are_not_stored():
    data = {"metadata": {"canvas": {"id": "c"}}}
    cell = Cell(data)
    assert (cell.name, cell.parents, cell.comments, cell.source, cell.cell_id) == ("", [], [], [], None)
    cell.parents.append({"id": "x"})
    cell.comments.append("lost")
    assert data == {"metadata": {"canvas": {"id": "c"}}}


def test_add_comment_creates_and_appends():
    data = {"metadata": {"canvas": {}}}
    cell = Cell(data)
    cell.add_comment({"text": "one"})
    cell.add_comment("two")
    assert data["metadata"]["canvas"]["comments"] == [{"text": "one"}, "two"]
    assert cell.comments is data["metadata"]["canvas"]["comments"]


@pytest.mark.parametrize("source, lines", [("a\nb\r\nc", ["a\n", "b\r\n", "c"]), ("", []), (["x"], ["x"])])
def test_source_reads_as_lines(source, lines):
    assert Cell({"metadata": {"canvas": {}}, "source": source}).source == lines


@pytest.mark.parametrize("value", [None, collections.OrderedDict(), [], "cell"])
def test_only_a_dict_is_accepted(value):
    with pytest.raises(TypeError, match=r"^Argument 'cell' has incorrect type \(expected dict, got "):
        Cell(value)


def test_missing_canvas_raises_key_error_on_use():
    cell = Cell({})
    with pytest.raises(KeyError, match="metadata"):
        cell.name
    with pytest.raises(KeyError, match="canvas"):
        Cell({"metadata": {}}).weft_id


def test_subclassable_by_python_classes():
    class Tagged(Cell):
        def __init__(self, cell, tag):
            super().__init__(cell)
            self.tag = tag

        @property
        def name(self):
            return "tagged:" + super().name

    cell = Tagged(make(name="n"), "t")
    assert (cell.name, cell.tag, cell.weft_id) == ("tagged:n", "t", "c1")
