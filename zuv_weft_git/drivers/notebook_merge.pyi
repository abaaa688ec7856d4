"""Three-way merge of pipeline-canvas notebooks, for use as a git merge driver."""

from typing import Any, Dict, Final, List, Optional

import git

from .common import Cell as Cell

class MergeCell(Cell):
    """Data structure to represent a cell that undergos merge process."""

    BASE: Final = "base"
    CURRENT: Final = "current"
    INCOMING: Final = "incoming"
    def __init__(self, cell: Dict[str, Any], file_type: str) -> None: ...
    @property
    def file_type(self) -> str:
        """The file type that contains the cell"""
    def add_conflict_mark(self) -> None:
        """Change name adding '<<< ' when current cell.
        Change name adding '>>> ' when incoming cell.
        """

def _cell_changed(cell0: Cell, cell1: Cell) -> Dict[str, Any]: ...
def merge_files(base_file_path: str, current_file_path: str, incoming_file_path: str, file_path: str) -> None:
    """Ipython Notebook Merge Driver main"""

def _merge_source(
    g: git.cmd.Git,
    current: List[str],
    base: List[str],
    incoming: List[str],
    current_name: Optional[str] = None,
    incoming_name: Optional[str] = None,
) -> List[str]: ...
