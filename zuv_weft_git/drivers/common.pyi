"""The notebook cell record shared by the merge and the diff."""

from typing import Any, Dict, List, Optional

class Cell:
    """Named access to the parts of one notebook cell."""

    def __init__(self, cell: Dict[str, Any]) -> None: ...
    @property
    def data(self) -> Dict[str, Any]:
        """The cell's JSON object itself"""
    @property
    def weft_id(self) -> str:
        """The cell's canvas id"""
    @weft_id.setter
    def weft_id(self, value: str) -> None: ...
    @property
    def name(self) -> str:
        """The component name (empty when the cell has none)"""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def parents(self) -> List[Dict[str, Any]]:
        """The cell's parent references"""
    @parents.setter
    def parents(self, value: List[Dict[str, Any]]) -> None: ...
    @property
    def comments(self) -> List[Any]:
        """The cell's comments"""
    def add_comment(self, comment: Any) -> None:
        """Append one comment to the cell's comments"""
    @property
    def source(self) -> List[str]:
        """The cell's source as a list of lines"""
    @source.setter
    def source(self, value: List[str]) -> None: ...
    @property
    def cell_id(self) -> Optional[str]:
        """The nbformat cell id"""
    @cell_id.setter
    def cell_id(self, value: str) -> None: ...
