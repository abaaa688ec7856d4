"""Notebook merge and diff drivers."""

# typing's own flag without importing typing, which imports re: the `zuv`
# command loads this package for `common` alone and starts without either.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from .notebook_merge import merge_files

__all__ = ["merge_files"]

# Whether `merge_files` was loaded; a binding deleted afterwards stays deleted.
_merge_files_loaded = False


def __getattr__(name: str) -> "Any":
    # The merge module loads GitPython, which costs more than everything
    # else a command does; it is loaded only when `merge_files` is asked for,
    # so that the diff module and the `zuv` command start without it.
    global _merge_files_loaded
    if name == "merge_files" and not _merge_files_loaded:
        _merge_files_loaded = True
        from .notebook_merge import merge_files

        globals()["merge_files"] = merge_files
        return merge_files
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
