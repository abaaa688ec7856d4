"""The native function objects behave like Python functions."""
import inspect
import os
import pickle
import subprocess
import sys
import traceback

import pytest

from zuv_weft_git.drivers import notebook_merge
from zuv_weft_git.drivers.notebook_merge import MergeCell, merge_files


def test_function_attributes():
    f = merge_files
    assert (f.__name__, f.__qualname__, f.__module__) == (
        "merge_files", "merge_files", "zuv_weft_git.drivers.notebook_merge")
    assert f.__doc__ == "Ipython Notebook Merge Driver main"
    assert f.__annotations__ == {"base_file_path": "str", "current_file_path": "str",
                                 "incoming_file_path": "str", "file_path": "str", "return": "None"}
    assert MergeCell.__init__.__qualname__ == "MergeCell.__init__"
    assert repr(f).startswith("<function merge_files at 0x")
    assert str(inspect.signature(f)) == (
        "(base_file_path: 'str', current_file_path: 'str', incoming_file_path: 'str', file_path: 'str') -> 'None'")
    assert callable(f) and f.__globals__ is vars(notebook_merge)


def test_binds_as_a_method_in_any_class():
    class Holder:
        changed = notebook_merge._cell_changed

    holder = Holder()
    bound = holder.changed
    assert bound.__self__ is holder and bound.__func__ is notebook_merge._cell_changed
    # The holder is passed as the first argument.
    with pytest.raises(AttributeError, match="parents"):
        bound(holder)
    assert Holder.changed is notebook_merge._cell_changed


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: merge_files(), "merge_files() takes exactly 4 positional arguments (0 given)"),
        (lambda: merge_files("a", "b", "c", "d", "e"), "merge_files() takes exactly 4 positional arguments (5 given)"),
        (lambda: merge_files("a", current_file_path="b"), "merge_files() takes exactly 4 positional arguments (2 given)"),
        (lambda: merge_files("a", "b", "c", file_path="d", base_file_path="e"),
         "merge_files() got multiple values for keyword argument 'base_file_path'"),
        (lambda: merge_files("a", "b", "c", "d", nope=1), "merge_files() got an unexpected keyword argument 'nope'"),
        (lambda: MergeCell.add_conflict_mark(), "add_conflict_mark() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_functions_accept_attributes_and_weak_references():
    import weakref

    ref = weakref.ref(merge_files)
    assert ref() is merge_files
    merge_files.custom = 1
    try:
        assert merge_files.__dict__["custom"] == 1
    finally:
        del merge_files.custom


# A C++ exception inside native code (an allocation that fails, a library
# error) becomes a Python exception where the native code was entered, never
# std::terminate; a module whose setup failed is set up afresh by the next
# import.  Faults are injected in a child process through a test hook.
FAULT_SCRIPT = """
import sys, traceback
where = sys.argv[1]
if where.startswith("setup:"):
    try:
        import zuv_weft_git.drivers.notebook_diff
    except BaseException as e:
        print(type(e).__name__, e)
    from zuv_weft_git.drivers.notebook_diff import diff_dicts
    print("retry", sorted(diff_dicts({"cells": []}, {"cells": []})))
else:
    from zuv_weft_git.drivers.notebook_diff import diff_dicts
    try:
        diff_dicts({"cells": []}, {"cells": []})
    except BaseException as e:
        entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
        print(type(e).__name__, e, entries[-1])
"""


@pytest.mark.parametrize("fault, expected", [
    ("bad_alloc@diff_dicts", "MemoryError  diff_dicts"),
    ("runtime_error@diff_dicts",
     "SystemError C++ exception in native code: injected fault at diff_dicts diff_dicts"),
    ("bad_alloc@setup:notebook_diff", "MemoryError \nretry ['cells', 'metadata']"),
    ("runtime_error@setup:notebook_diff",
     "SystemError C++ exception in native code: injected fault at setup:notebook_diff\n"
     "retry ['cells', 'metadata']"),
])
def test_cxx_exceptions_become_python_exceptions(fault, expected):
    env = dict(os.environ, ZUV_INJECT_CXX_EXCEPTION=fault)
    done = subprocess.run([sys.executable, "-P", "-c", FAULT_SCRIPT, fault.split("@")[1]],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == expected


# Each import of a module has a state of its own, which the cycle collector
# sees through the module; reloading keeps the module; subinterpreters that
# share the main interpreter's GIL import the modules once the main
# interpreter has, those with a GIL of their own are refused.  Each case
# runs in a child process of its own.
MODULE_STATE_SCRIPT = r"""
import gc, importlib, sys, weakref
name, use, held, where = sys.argv[1:]


def load():
    module = importlib.import_module(name)
    return module, eval(use, {"m": module}), eval(held, {"m": module}) if held else None


def state_holds(module, obj):
    return obj is None or any(x is obj for x in gc.get_referents(module))


if where == "main":
    module, result, state_object = load()
    print("state seen:", state_holds(module, state_object))
    print("reload:", importlib.reload(module) is module and eval(use, {"m": module}) == result)
    # A fresh import holds a state of its own, and the old module, cycles
    # through its state and all, is collected.
    old = weakref.ref(module)
    parent, _, leaf = name.rpartition(".")
    del sys.modules[name], module, state_object
    delattr(sys.modules[parent], leaf)
    fresh, fresh_result, fresh_state = load()
    gc.collect()
    print("fresh:", fresh is not old() and fresh_result == result and old() is None and
          state_holds(fresh, fresh_state))
    sys.exit()

if sys.version_info >= (3, 13):
    import _interpreters as interpreters

    def in_subinterpreter(code, isolated):
        interp = interpreters.create("isolated" if isolated else "legacy")
        try:
            failed = interpreters.exec(interp, code)
            return "ok" if failed is None else failed.formatted
        finally:
            interpreters.destroy(interp)
else:
    import _xxsubinterpreters as interpreters

    def in_subinterpreter(code, isolated):
        interp = interpreters.create(isolated=isolated)
        try:
            interpreters.run_string(interp, code)
            return "ok"
        except interpreters.RunFailedError as e:
            return str(e)
        finally:
            interpreters.destroy(interp)

code = f"import importlib; m = importlib.import_module({name!r}); {use}"
print("first refused:", "main interpreter" in in_subinterpreter(code, False))
module, result, _ = load()
print("legacy:", in_subinterpreter(code, False), in_subinterpreter(code, False))
print("isolated refused:", "does not support loading in subinterpreters" in in_subinterpreter(code, True))
print("main after:", eval(use, {"m": module}) == result)
"""


@pytest.mark.parametrize("where", ["main", "subinterpreters"])
@pytest.mark.parametrize("name, use, held", [
    ("zuv_weft_git.drivers.common", "m.Cell({'source': ['a']}).source", ""),
    ("zuv_weft_git.drivers.notebook_merge",
     "m._cell_changed(m.Cell({'source': ['a'], 'metadata': {'canvas': {}}}),"
     " m.Cell({'source': ['b'], 'metadata': {'canvas': {}}}))", "m._cell_changed"),
    ("zuv_weft_git.drivers.notebook_diff",
     "sorted(m.diff_dicts({'cells': []}, {'cells': []}))", "m._cell_modified"),
    ("zuv_weft_git._json_diff", "m.diff([1], [1, 2])",
     "__import__('jsondiff.symbols').symbols.insert"),
    ("zuv_weft_git._text_merge", "m.libgit2_version()", ""),
])
def test_module_state_reload_and_subinterpreters(name, use, held, where):
    if where == "subinterpreters" and sys.version_info < (3, 12):
        pytest.skip("modules declare which subinterpreters may load them from Python 3.12 on")
    done = subprocess.run([sys.executable, "-P", "-c", MODULE_STATE_SCRIPT, name, use, held, where],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    expected = (["state seen: True", "reload: True", "fresh: True"] if where == "main" else
                ["first refused: True", "legacy: ok ok", "isolated refused: True",
                 "main after: True"])
    assert done.stdout.splitlines() == expected
