"""A typed program using the public API, checked with `mypy --strict`.

It is also run as a program (test_stubs.py does both): a three-way merge of a
small notebook, a look at the merged cells through the records, and a diff of
the base and the merged document.  Every annotation below is what the stubs
promise; the run shows the objects really are of those types.
"""

import json
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List, Optional

import git

from zuv_weft_git.drivers import merge_files
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter, diff_dicts
from zuv_weft_git.drivers.notebook_merge import MergeCell, _merge_source


def code_cell(canvas_id: str, name: str, source: List[str]) -> Dict[str, Any]:
    canvas: Dict[str, Any] = {"id": canvas_id, "name": name, "parents": [], "comments": []}
    return {"cell_type": "code", "execution_count": None, "id": "nb-" + canvas_id,
            "metadata": {"canvas": canvas}, "outputs": [], "source": source}


def notebook(cells: List[Dict[str, Any]], value: str) -> Dict[str, Any]:
    parameters = [{"name": "rate", "type": "float", "value": value}]
    return {"cells": cells, "metadata": {"canvas": {"parameters": parameters}},
            "nbformat": 4, "nbformat_minor": 5}


def write(path: Path, document: Dict[str, Any]) -> str:
    path.write_text(json.dumps(document), encoding="utf-8")
    return str(path)


def merge(folder: Path) -> Dict[str, Any]:
    """Both sides edit different lines of one cell; the incoming side adds a cell."""
    base = notebook([code_cell("a", "load", ["x = 1\n", "y = 2\n", "z = 3\n"])], "0.1")
    current = notebook([code_cell("a", "load", ["x = 10\n", "y = 2\n", "z = 3\n"])], "0.1")
    incoming = notebook([code_cell("a", "load", ["x = 1\n", "y = 2\n", "z = 30\n"]),
                         code_cell("b", "train", ["fit()\n"])], "0.2")
    current_path = write(folder / "current.ipynb", current)
    merge_files(base_file_path=write(folder / "base.ipynb", base),
                current_file_path=current_path,
                incoming_file_path=write(folder / "incoming.ipynb", incoming),
                file_path="pipeline.ipynb")
    merged: Dict[str, Any] = json.loads(Path(current_path).read_text(encoding="utf-8"))
    return merged


def describe(merged: Dict[str, Any]) -> List[str]:
    lines: List[str] = []
    for data in merged["cells"]:
        cell = MergeCell(data, file_type=MergeCell.CURRENT)
        cell_id: Optional[str] = cell.cell_id
        source: List[str] = cell.source
        lines.append(f"{cell.weft_id} {cell.name} {cell_id} {cell.file_type}: {''.join(source)!r}")
        cell.add_comment("seen")
        comments: List[Any] = cell.comments
        assert comments[-1] == "seen"
    return lines


def diff(base: Dict[str, Any], merged: Dict[str, Any]) -> Dict[str, Any]:
    document = diff_dicts(base, merged)
    for data in document["metadata"]["canvas"]["parameter"]:
        parameter = DiffParameter(dict(data))
        parameter.status = DiffParameter.MODIFIED
        parameter.prev_value = parameter.value
        previous_type: str = parameter.prev_type
        assert previous_type == parameter.type
    return document


def new_diff_cell() -> DiffCell:
    record = DiffCell(code_cell("n", "report", ["show()\n"]))
    record.status = DiffCell.ADDED
    record.prev_source = []
    record.added_parents = [{"id": "a", "name": "load"}]
    previous: List[str] = record.prev_source
    lost: List[Dict[str, str]] = record.removed_parents
    assert previous == [] and lost == []
    return record


def relabelled_conflict() -> List[str]:
    return _merge_source(git.cmd.Git(), ["a = 1\n"], ["a = 0\n"], ["a = 2\n"],
                         current_name="mine", incoming_name="theirs")


def plain_cell(source: List[str]) -> Cell:
    cell = Cell(code_cell("c", "", []))
    cell.source = source
    cell.name = "renamed"
    cell.parents = [{"id": "a"}]
    return cell


def main() -> int:
    with tempfile.TemporaryDirectory() as folder:
        merged = merge(Path(folder))
    base = notebook([code_cell("a", "load", ["x = 1\n", "y = 2\n", "z = 3\n"])], "0.1")
    print("\n".join(describe(merged)))
    document = diff(base, merged)
    statuses = sorted(cell["metadata"]["canvas"]["diff_status"] for cell in document["cells"])
    print("diff:", statuses)
    print("new diff cell:", new_diff_cell().status)
    print("conflict:", "".join(relabelled_conflict()), end="")
    print("cell:", plain_cell(["pass\n"]).data["metadata"]["canvas"]["name"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
