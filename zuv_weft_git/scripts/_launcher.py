"""Entry points of the ``zuvmerge`` and ``zuv`` commands.

Each command is an extension module (``zuv_weft_git.scripts.zuvmerge``,
``zuv_weft_git.scripts.zuv``) run as the main program.  The interpreter cannot run an extension module with
``python -m``, so this launcher does what ``-m`` does for a Python module:
it creates the module from its spec, names it "__main__" and executes it.
``python -m zuv_weft_git.scripts._launcher`` works as well.
"""

import sys
import types
from importlib.machinery import PathFinder

MODULE_NAME = "zuv_weft_git.scripts.zuvmerge"
ZUV_MODULE_NAME = "zuv_weft_git.scripts.zuv"


def run_as_main(module_name: str = MODULE_NAME) -> types.ModuleType:
    """Executes the module `module_name` as the main program; returns it."""
    import importlib.util

    spec = importlib.util.find_spec(module_name)
    if spec is None or spec.loader is None:
        raise ImportError(f"No module named {module_name!r}", name=module_name)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return module


def main() -> None:
    run_as_main()


def _run_extension_as_main(module_name: str) -> types.ModuleType:
    """`run_as_main` for an extension module, without importing `importlib.util`.

    That import costs about a tenth of a `zuv` start, and `git diff` starts
    `zuv` once per notebook.  An extension module needs only its file found
    and its loader's two steps; the attributes are those `module_from_spec`
    would give it.
    """
    package_name, _, _ = module_name.rpartition(".")
    __import__(package_name)
    spec = PathFinder.find_spec(module_name, sys.modules[package_name].__path__)
    if spec is None or spec.loader is None:
        raise ImportError(f"No module named {module_name!r}", name=module_name)
    module = spec.loader.create_module(spec)
    if module is None:
        raise ImportError(f"{module_name!r} is not an extension module", name=module_name)
    module.__spec__, module.__loader__, module.__package__ = spec, spec.loader, package_name
    module.__file__ = spec.origin
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return module


def zuv_main() -> None:
    _run_extension_as_main(ZUV_MODULE_NAME)


if __name__ == "__main__":
    main()
