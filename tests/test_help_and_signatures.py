"""help(), inspect.signature() and tracebacks see the native functions.

Every function, method and property accessor of the extension modules is
visited: its signature must carry the parameter names, the None defaults and
the annotation texts, and help() must show that signature and the docstring.
An exception leaving a native function must name it in the traceback.
"""

import inspect
import json
import re
import subprocess
import traceback

import pytest

from nbbuild import PYTHON, cell
from zuv_weft_git.drivers import common, notebook_diff, notebook_merge
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffParameter, diff_dicts
from zuv_weft_git.drivers.notebook_merge import MergeCell, _cell_changed, merge_files

MODULES = [common, notebook_merge, notebook_diff]
NATIVE = type(merge_files)


def native_functions():
    """(test id, function, role): every function the modules define."""
    found = []
    for module in MODULES:
        short = module.__name__.rpartition(".")[2]
        for name, value in vars(module).items():
            if isinstance(value, NATIVE) and value.__module__ == module.__name__:
                found.append(pytest.param(value, "function", id=f"{short}.{name}"))
            elif isinstance(value, type) and value.__module__ == module.__name__:
                for member, attr in vars(value).items():
                    path = f"{short}.{name}.{member}"
                    if isinstance(attr, NATIVE):
                        found.append(pytest.param(attr, "method", id=path))
                    elif isinstance(attr, property):
                        found.append(pytest.param(attr.fget, "getter", id=path))
                        if attr.fset:
                            found.append(pytest.param(attr.fset, "setter", id=path + ":set"))
    return found


def unwrapped(text):
    """Help text without its line layout.

    The layout is pydoc's, so it follows the running interpreter: from 3.13
    on, a long signature is wrapped over several lines, one parameter each.
    """
    return "".join(text.split())


def own_classes():
    return [pytest.param(value, id=name) for module in MODULES for name, value in vars(module).items()
            if isinstance(value, type) and value.__module__ == module.__name__]


@pytest.mark.parametrize("function, role", native_functions())
def test_signature_carries_names_defaults_and_annotation_texts(function, role):
    signature = inspect.signature(function)
    annotations = function.__annotations__
    parameters = list(signature.parameters.values())
    if role != "function":
        assert parameters[0].name == "self" and parameters[0].annotation is inspect.Parameter.empty
        parameters = parameters[1:]
    if role == "setter":
        assert len(parameters) == 1
    for parameter in parameters:
        assert isinstance(parameter.annotation, str) and parameter.annotation == annotations[parameter.name]
        assert parameter.default in (inspect.Parameter.empty, None)
        if parameter.default is None:
            assert parameter.annotation.startswith("Optional[")
    assert signature.return_annotation == annotations.get("return", inspect.Signature.empty)
    assert set(annotations) - {"return"} == {p.name for p in parameters}


@pytest.mark.parametrize("function, role", native_functions())
def test_help_shows_signature_and_docstring(function, role, capsys):
    help(function)
    shown = capsys.readouterr().out
    assert unwrapped(function.__name__ + str(inspect.signature(function))) in unwrapped(shown)
    if function.__doc__:
        assert inspect.cleandoc(function.__doc__) in inspect.cleandoc(shown.split("\n", 2)[2])


@pytest.mark.parametrize("cls", own_classes())
def test_help_on_a_class_shows_constructor_and_properties(cls, capsys):
    init = inspect.signature(cls.__init__)
    assert list(inspect.signature(cls).parameters) == list(init.parameters)[1:]
    help(cls)
    shown = capsys.readouterr().out
    assert f"__init__{init}" in shown
    for name, attr in vars(cls).items():
        if isinstance(attr, property):
            assert f"\n |  {name}\n" in shown
            if attr.fget.__doc__:
                assert f" |      {attr.fget.__doc__}\n" in shown


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__.rpartition(".")[2])
def test_help_on_a_module_lists_its_public_functions(module, capsys):
    help(module)
    shown = capsys.readouterr().out
    for name, value in vars(module).items():
        if isinstance(value, NATIVE) and not name.startswith("_") and value.__module__ == module.__name__:
            # Listed under FUNCTIONS, between the section's heading and the next.
            listed = re.split(r"\n(?=\S)", shown.split("\nFUNCTIONS\n", 1)[1])[0]
            assert unwrapped(f"{name}{inspect.signature(value)}") in unwrapped(listed)


# --- tracebacks --------------------------------------------------------------

MERGE = "<zuv_weft_git.drivers.notebook_merge>"
DIFF = "<zuv_weft_git.drivers.notebook_diff>"
COMMON = "<zuv_weft_git.drivers.common>"


class FailingParents(Cell):
    @property
    def parents(self):
        raise ValueError("no parents here")


def set_name(value):
    c = Cell(cell("a"))
    c.name = value


def write(tmp_path, text):
    path = tmp_path / "broken.ipynb"
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize(
    "call, error, message, entries",
    [
        pytest.param(lambda tmp: DiffParameter({"name": "a", "type": "int", "value": 3}).value,
                     TypeError, "Expected unicode, got int", [(DIFF, "DiffParameter.value")],
                     id="property-getter"),
        pytest.param(lambda tmp: set_name(1), TypeError,
                     "Argument 'value' has incorrect type (expected str, got int)",
                     [(COMMON, "Cell.name")], id="property-setter-argument"),
        pytest.param(lambda tmp: MergeCell(None, "base"), TypeError,
                     "Argument 'cell' has incorrect type (expected dict, got NoneType)",
                     [(MERGE, "MergeCell.__init__")], id="constructor"),
        pytest.param(lambda tmp: merge_files("a", "b", "c"), TypeError,
                     "merge_files() takes exactly 4 positional arguments (3 given)",
                     [(MERGE, "merge_files")], id="argument-count"),
        pytest.param(lambda tmp: merge_files(*[str(tmp / "missing.ipynb")] * 4), FileNotFoundError,
                     None, [(MERGE, "merge_files")], id="os-error"),
        pytest.param(lambda tmp: diff_dicts({"cells": [{}]}, {}), KeyError, "'cell_type'",
                     [(DIFF, "diff_dicts")], id="key-error"),
        # A Python frame below the native entry: the entry sits between its
        # caller and the code it called.
        pytest.param(lambda tmp: _cell_changed(FailingParents(cell("a")), Cell(cell("a"))), ValueError,
                     "no parents here", [(MERGE, "_cell_changed"), (__file__, "parents")],
                     id="python-code-below"),
        pytest.param(lambda tmp: merge_files(*[write(tmp, "{broken")] * 4), json.JSONDecodeError,
                     None, [(MERGE, "merge_files"), (json.__file__, "load")], id="library-below"),
    ],
)
def test_traceback_names_the_native_function(tmp_path, call, error, message, entries):
    with pytest.raises(error) as info:
        call(tmp_path)
    exception = info.value
    if message is not None:
        assert str(exception) == message
    frames = [(f.filename, f.name) for f in traceback.extract_tb(exception.__traceback__)]
    # After the test's own frames, the given entries come in this order, each once.
    start = frames.index(entries[0])
    assert frames[start:start + len(entries)] == entries
    assert all(frames.count(entry) == 1 for entry in entries)
    text = "".join(traceback.format_exception(exception))
    filename, name = entries[0]
    assert f'  File "{filename}", line 0, in {name}\n' in text
    assert text.endswith("".join(traceback.format_exception_only(exception)))


def test_command_failure_traceback_names_merge_files(tmp_path):
    missing = str(tmp_path / "missing.ipynb")
    result = subprocess.run([*PYTHON, "-m", "zuv_weft_git.scripts._launcher", "--current-file", missing,
                             "--base-file", missing, "--incoming-file", missing],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    lines = result.stderr.splitlines()
    assert f'  File "{MERGE}", line 0, in merge_files' in lines
    assert lines[-1].startswith("FileNotFoundError: ")
