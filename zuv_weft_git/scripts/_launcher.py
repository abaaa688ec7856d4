"""Entry points of the ``zuvmerge`` and ``zuv`` commands.

Each command is an extension module (``zuv_weft_git.scripts.zuvmerge``,
``zuv_weft_git.scripts.zuv``) run as the main program.  The interpreter cannot run an extension module with
``python -m``, so this launcher does what ``-m`` does for a Python module:
it creates the module from its spec, names it "__main__" and executes it.
``python -m zuv_weft_git.scripts._launcher`` works as well.
"""

import importlib.util
import types

MODULE_NAME = "zuv_weft_git.scripts.zuvmerge"
ZUV_MODULE_NAME = "zuv_weft_git.scripts.zuv"


def run_as_main(module_name: str = MODULE_NAME) -> types.ModuleType:
    """Executes the module `module_name` as the main program; returns it."""
    spec = importlib.util.find_spec(module_name)
    if spec is None or spec.loader is None:
        raise ImportError(f"No module named {module_name!r}", name=module_name)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return module


def main() -> None:
    run_as_main()


def zuv_main() -> None:
    run_as_main(ZUV_MODULE_NAME)


if __name__ == "__main__":
    main()
