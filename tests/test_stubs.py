"""The installed type stubs describe the extension modules exactly.

Each stub is read with `ast` from beside its installed module (so the test
also shows that the stubs are installed with the package) and compared with
the live module: the public names, every signature with its defaults and
annotation texts, properties and their setters, class constants and
docstrings.  `mypy --strict` then checks a typed program that uses the API,
the package itself, and that misuse of the API is caught.

Which module attributes are API: a name is public unless it starts with an
underscore; of the public names, modules bound by `import` (`json`, `git`,
...) and objects from other distributions (`typing.Dict`, which the
annotation texts name) are the dependencies' API, not ours, and are left out.
Objects of this package re-bound in another of its modules (`Cell` in the
drivers, `merge_files` in zuvmerge) are API there too; the stubs re-export
them with `import ... as ...`.  Private names that a stub does declare (the
documented helpers `_merge_source`, `_cell_changed`, `_cell_modified`) must
exist and match like the rest.
"""

import ast
import importlib
import inspect
import subprocess
import sys
import types
from pathlib import Path

import pytest

MODULES = [
    "zuv_weft_git.drivers.common",
    "zuv_weft_git.drivers.notebook_merge",
    "zuv_weft_git.drivers.notebook_diff",
    "zuv_weft_git.scripts.zuvmerge",
]
PACKAGE = "zuv_weft_git"
TESTS = Path(__file__).resolve().parent


def stub_path(module):
    return Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")


def parse_stub(name):
    module = importlib.import_module(name)
    return module, ast.parse(stub_path(module).read_text(encoding="utf-8"))


def is_api(name, value):
    if name.startswith("_") or isinstance(value, types.ModuleType):
        return False
    origin = getattr(value, "__module__", None)
    return origin is None or origin.partition(".")[0] == PACKAGE


def stub_names(tree):
    """Names a stub gives its module; imports count only as explicit re-exports."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname == a.name.rpartition(".")[2])
    return names


def decorator_kind(node):
    """'getter', 'setter' or None for a plain function."""
    for d in node.decorator_list:
        if isinstance(d, ast.Name) and d.id == "property":
            return "getter"
        if isinstance(d, ast.Attribute) and d.attr == "setter":
            return "setter"
    return None


def short(module_name):
    return module_name.rpartition(".")[2]


def stub_functions():
    """(module name, dotted path, accessor kind, FunctionDef) of every stub def."""
    found = []
    for name in MODULES:
        _, tree = parse_stub(name)
        for node in tree.body:
            members = node.body if isinstance(node, ast.ClassDef) else [node]
            prefix = node.name + "." if isinstance(node, ast.ClassDef) else ""
            for member in members:
                if isinstance(member, ast.FunctionDef):
                    kind = decorator_kind(member)
                    path = prefix + member.name
                    found.append(pytest.param(name, path, kind, member,
                                              id=f"{short(name)}.{path}" + (":set" if kind == "setter" else "")))
    return found


def stub_classes():
    return [pytest.param(name, node, id=f"{short(name)}.{node.name}")
            for name in MODULES for node in parse_stub(name)[1].body if isinstance(node, ast.ClassDef)]


def runtime_callable(module_name, path, kind):
    obj = importlib.import_module(module_name)
    for part in path.split("."):
        obj = vars(obj)[part] if isinstance(obj, type) else getattr(obj, part)
    if kind is None:
        return obj
    assert isinstance(obj, property), f"{path} is not a property"
    accessor = obj.fget if kind == "getter" else obj.fset
    assert accessor is not None, f"{path} has no {kind}"
    return accessor


def docstring(text):
    return inspect.cleandoc(text) if text else None


@pytest.mark.parametrize("name", MODULES, ids=short)
def test_stub_names_exactly_the_public_attributes(name):
    module, tree = parse_stub(name)
    declared = stub_names(tree)
    public = {k for k, v in vars(module).items() if is_api(k, v)}
    assert {n for n in declared if not n.startswith("_")} == public
    assert declared <= set(dir(module)), "the stub declares names the module lacks"


@pytest.mark.parametrize("module_name, cls", stub_classes())
def test_stub_class_members_bases_and_constants(module_name, cls):
    runtime = getattr(importlib.import_module(module_name), cls.name)
    own = {k for k in vars(runtime) if not (k.startswith("__") and k != "__init__")}
    declared = {m.name for m in cls.body if isinstance(m, ast.FunctionDef)}
    constants = {m.target.id: m for m in cls.body if isinstance(m, ast.AnnAssign)}
    assert declared | set(constants) == own
    assert [ast.unparse(b) for b in cls.bases] == [b.__name__ for b in runtime.__bases__
                                                    if b is not object]
    for constant, node in constants.items():
        assert ast.unparse(node.annotation) == "Final"
        assert ast.literal_eval(node.value) == vars(runtime)[constant]
    # A property has a setter in the stub exactly when it has one at run time.
    setters = {m.name for m in cls.body if isinstance(m, ast.FunctionDef) and decorator_kind(m) == "setter"}
    assert setters == {k for k, v in vars(runtime).items() if isinstance(v, property) and v.fset}
    assert docstring(ast.get_docstring(cls)) == docstring(runtime.__doc__)


@pytest.mark.parametrize("module_name, path, kind, node", stub_functions())
def test_stub_signature_matches(module_name, path, kind, node):
    function = runtime_callable(module_name, path, kind)
    signature = inspect.signature(function)
    args = node.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs)
    assert [a.arg for a in args.args] == list(signature.parameters)
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    for arg, default, parameter in zip(args.args, defaults, signature.parameters.values()):
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if default is None:
            assert parameter.default is inspect.Parameter.empty, arg.arg
        else:
            assert ast.literal_eval(default) == parameter.default, arg.arg
        text = ast.unparse(arg.annotation) if arg.annotation else inspect.Parameter.empty
        assert text == parameter.annotation, arg.arg
    returns = ast.unparse(node.returns) if node.returns else inspect.Signature.empty
    assert returns == signature.return_annotation
    if kind != "setter":  # a property's docstring is its getter's
        assert docstring(ast.get_docstring(node)) == docstring(function.__doc__)


def test_typed_marker_is_installed():
    package = importlib.import_module(PACKAGE)
    assert (Path(package.__file__).parent / "py.typed").is_file()


# --- mypy -----------------------------------------------------------------

MISUSE = """\
import git
from zuv_weft_git.drivers import merge_files
from zuv_weft_git.drivers.common import Cell
from zuv_weft_git.drivers.notebook_diff import DiffCell, DiffParameter, diff_dicts
from zuv_weft_git.drivers.notebook_merge import MergeCell, _merge_source
from zuv_weft_git.scripts import zuvmerge

merge_files(1, "b", "c", "d")  # error
merge_files("a", "b", "c")  # error
DiffParameter({"name": "a"}).name = "b"  # error
Cell({}).comments = []  # error
MergeCell({}, "base").file_type = "x"  # error
_merge_source(git.cmd.Git(), "x = 1", [], [])  # error
count: int = diff_dicts({}, {})  # error
DiffCell.ADDED = "new"  # error
Cell({}).cell_id.upper()  # error
zuvmerge.parser  # error
Cell({}).name = "fine"
"""


def mypy(cwd, *args):
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                             "--cache-dir", str(cwd / ".mypy_cache"), *args],
                            cwd=cwd, capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Outside the source tree, so that mypy finds the installed package.
    return tmp_path_factory.mktemp("mypy")


def test_typed_example_passes_mypy_strict_and_runs(workdir):
    example = TESTS / "typing_example.py"
    status, output = mypy(workdir, str(example))
    assert status == 0, output
    run = subprocess.run([sys.executable, "-P", str(example)], cwd=workdir,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


def test_package_passes_mypy_strict(workdir):
    status, output = mypy(workdir, "-p", PACKAGE)
    assert status == 0, output


def test_mypy_reports_misuse_of_the_api(workdir):
    source = workdir / "misuse.py"
    source.write_text(MISUSE, encoding="utf-8")
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# error")}
    status, output = mypy(workdir, str(source))
    reported = {int(line.split(":")[1]) for line in output.splitlines() if ": error:" in line}
    assert status == 1 and reported == expected, output
