"""Notebook merge and diff drivers."""
from .notebook_merge import merge_files

__all__ = ["merge_files"]
