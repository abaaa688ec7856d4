"""Comparison of two pipeline-canvas notebook documents into a diff document."""

from typing import Any, Dict, Final, List

from .common import Cell as Cell

class DiffCell(Cell):
    """Data structure to represent a cell that undergoes diff process."""

    UNCHANGED: Final = "unchanged"
    ADDED: Final = "added"
    REMOVED: Final = "removed"
    MODIFIED: Final = "modified"
    def __init__(self, cell: Dict[str, Any]): ...
    @property
    def status(self) -> str:
        """The diff cell status"""
    @status.setter
    def status(self, value: str) -> None: ...
    @property
    def prev_source(self) -> List[str]:
        """Previous source code"""
    @prev_source.setter
    def prev_source(self, value: List[str]) -> None: ...
    @property
    def removed_parents(self) -> List[Dict[str, str]]:
        """Previous parent ids"""
    @removed_parents.setter
    def removed_parents(self, value: List[Dict[str, str]]) -> None: ...
    @property
    def added_parents(self) -> List[Dict[str, str]]: ...
    @added_parents.setter
    def added_parents(self, value: List[Dict[str, str]]) -> None: ...

def _cell_modified(cell: DiffCell) -> bool: ...

class DiffParameter:
    """Data structure to represent a parameter that undergoes diff process."""

    UNCHANGED: Final = "unchanged"
    ADDED: Final = "added"
    REMOVED: Final = "removed"
    MODIFIED: Final = "modified"
    def __init__(self, data: Dict[str, str]): ...
    @property
    def data(self) -> Dict[str, str]:
        """Raw parameter data"""
    @property
    def status(self) -> str:
        """The parameter's diff status"""
    @status.setter
    def status(self, value: str) -> None: ...
    @property
    def name(self) -> str:
        """The parameter's name"""
    @property
    def type(self) -> str:
        """The parameter's type"""
    @property
    def value(self) -> str:
        """The parameter's value"""
    @property
    def prev_type(self) -> str:
        """The parameter's previous type before modification"""
    @prev_type.setter
    def prev_type(self, value: str) -> None: ...
    @property
    def prev_value(self) -> str:
        """The parameter's previous value before modification"""
    @prev_value.setter
    def prev_value(self, value: str) -> None: ...

def diff_dicts(prev: Dict[str, Any], current: Dict[str, Any]) -> Dict[str, Any]:
    """Ipython Notebook Diff Driver main"""
