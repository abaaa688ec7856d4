"""The zuvmerge command: options, exit status and the conflict check.

`merge_files` is replaced by a recording fake on the package
`zuv_weft_git.drivers`, which is where the command imports it from.
"""

import importlib.util
import json
import logging
import os
import subprocess
import sys
from pathlib import Path

import pytest

import zuv_weft_git.drivers as drivers
from zuv_weft_git.scripts import _launcher

DESCRIPTION = "Incorporates changers that lead from the <base-file> to <incoming-file> into <current-file>."

CLEAN = {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "c1", "name": "load"}},
                    "source": ["x = 1\n", "<<<<<<<x\n"]}],
         "metadata": {"canvas": {"parameters": [{"name": "<<<p", "type": "str", "value": "v"}]}}}


@pytest.fixture
def files(tmp_path):
    """The three notebook files of a merge, with distinct contents."""
    paths = {}
    for name in ("current", "base", "incoming"):
        path = tmp_path / f"{name}.ipynb"
        path.write_text(json.dumps(dict(CLEAN, name=name)), encoding="utf-8")
        paths[name] = str(path)
    return paths


def options(files, *extra):
    return ["--current-file", files["current"], "--base-file", files["base"],
            "--incoming-file", files["incoming"], *extra]


class Recorder:
    def __init__(self, merged=None, error=None):
        self.calls = []
        self.merged = merged
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        if self.merged is not None:
            Path(kwargs["current_file_path"]).write_text(json.dumps(self.merged), encoding="utf-8")


@pytest.fixture
def run(monkeypatch):
    """Runs the command in-process with `argv`; returns the executed module."""

    def run(argv, merge_files):
        monkeypatch.setattr(drivers, "merge_files", merge_files, raising=False)
        monkeypatch.setattr(sys, "argv", ["zuvmerge", *argv])
        return _launcher.run_as_main()

    return run


RUNNER = """
import json, sys
import zuv_weft_git.drivers as drivers
from zuv_weft_git.scripts import _launcher
merged = sys.argv.pop(1)
def merge_files(*args, **kwargs):
    print("merge_files called", file=sys.stderr)
    if merged == "raise":
        raise ValueError("merge failed")
    if merged:
        with open(merged, "rb") as source, open(kwargs["current_file_path"], "wb") as target:
            target.write(source.read())
if merged != "missing":
    drivers.merge_files = merge_files
elif hasattr(drivers, "merge_files"):
    del drivers.merge_files
sys.argv[0] = "zuvmerge"
_launcher.main()
"""


def run_process(argv, cwd, merged=""):
    """Runs the command in a fresh interpreter with a fake merge_files that
    copies the file `merged` over the current file ("" copies nothing,
    "raise" fails, "missing" leaves the package without merge_files)."""
    return subprocess.run([sys.executable, "-c", RUNNER, merged, *argv], cwd=cwd,
                          capture_output=True, text=True, timeout=60)


def snapshot(files):
    return {name: Path(path).read_bytes() for name, path in files.items()}


@pytest.mark.parametrize(
    "extra, file_path",
    [
        ([], "current"),
        (["--file-path", ""], "current"),
        (["--file-path=notebooks/pipeline.ipynb"], "notebooks/pipeline.ipynb"),
        (["--file-path", "pipeline.ipynb", "-v"], "pipeline.ipynb"),
    ],
)
def test_merge_files_receives_the_paths_by_keyword(run, files, extra, file_path):
    recorder = Recorder()
    module = run(options(files, *extra), recorder)
    expected_file_path = files["current"] if file_path == "current" else file_path
    [(args, kwargs)] = recorder.calls
    assert args == ()
    assert list(kwargs.items()) == [
        ("current_file_path", files["current"]),
        ("base_file_path", files["base"]),
        ("incoming_file_path", files["incoming"]),
        ("file_path", expected_file_path),
    ]
    assert module.destination_path == expected_file_path
    assert module.parser.description == DESCRIPTION
    assert module.args.current_file == files["current"]
    assert {k for k in vars(module) if not k.startswith("__")} == {
        "argparse", "logging", "merge_files", "parser", "args", "destination_path"}


@pytest.mark.parametrize("flag, configured", [("-v", True), ("--verbose", True), (None, False)])
def test_verbose_sets_debug_logging(run, files, monkeypatch, flag, configured):
    calls = []
    monkeypatch.setattr(logging, "basicConfig", lambda **kwargs: calls.append(kwargs))
    module = run(options(files, *([flag] if flag else [])), Recorder())
    assert module.args.verbose is configured
    assert calls == ([{"level": logging.DEBUG}] if configured else [])


def test_importing_under_the_package_name_runs_nothing(files, monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(drivers, "merge_files", recorder, raising=False)
    monkeypatch.setattr(sys, "argv", ["zuvmerge", *options(files)])
    spec = importlib.util.find_spec(_launcher.MODULE_NAME)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert {k for k in vars(module) if not k.startswith("__")} == {"argparse", "logging", "merge_files"}
    assert module.merge_files is recorder
    assert recorder.calls == []


def test_missing_merge_files_is_an_import_error_before_parsing(monkeypatch):
    monkeypatch.delattr(drivers, "merge_files", raising=False)
    monkeypatch.setattr(sys, "argv", ["zuvmerge", "--no-such-option"])
    with pytest.raises(ImportError, match="cannot import name 'merge_files' from 'zuv_weft_git.drivers'"):
        _launcher.run_as_main()


@pytest.mark.parametrize(
    "argv",
    [
        pytest.param(["--current-file", "c", "--base-file", "b"], id="missing-required"),
        pytest.param(["--current-file", "c", "--base-file", "b", "--incoming-file", "i", "--bogus"], id="unknown"),
        pytest.param(["--current-file", "c", "--base-file", "b", "--incoming-file"], id="missing-value"),
        pytest.param([], id="nothing"),
    ],
)
def test_usage_errors_exit_2_without_merging(tmp_path, files, argv):
    before = snapshot(files)
    result = run_process([files[a] if a in files else a for a in argv], tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: zuvmerge ")
    assert "zuvmerge: error:" in result.stderr
    assert "merge_files called" not in result.stderr
    assert snapshot(files) == before


def test_help_lists_the_options(tmp_path):
    result = run_process(["--help"], tmp_path)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: zuvmerge [-h] --current-file CURRENT_FILE --base-file BASE_FILE")
    assert " ".join(DESCRIPTION.split()) in " ".join(result.stdout.split())
    for listed in ("--current-file CURRENT_FILE", "--base-file BASE_FILE", "--incoming-file INCOMING_FILE",
                   "--file-path FILE_PATH", "-v, --verbose", "-h, --help"):
        assert listed in result.stdout


def test_clean_merge_exits_0(tmp_path, files):
    result = run_process(options(files), tmp_path)
    assert (result.returncode, result.stderr) == (0, "merge_files called\n")


@pytest.mark.parametrize("failure, message", [("raise", "ValueError: merge failed"),
                                              ("missing", "ImportError: cannot import name 'merge_files'")])
def test_failures_exit_non_zero_with_a_traceback(tmp_path, files, failure, message):
    before = snapshot(files)
    result = run_process(options(files), tmp_path, merged=failure)
    # A failing merge exits 3; a merge driver that cannot even be imported fails at start-up.
    assert result.returncode == (3 if failure == "raise" else 1)
    assert "Traceback (most recent call last)" in result.stderr
    assert message in result.stderr
    assert snapshot(files) == before


def cell(name, source):
    return {"cell_type": "code", "metadata": {"canvas": {"id": name, "name": name}}, "source": source}


def notebook(cells, parameter_names=()):
    return {"cells": cells,
            "metadata": {"canvas": {"parameters": [{"name": n, "type": "str", "value": ""} for n in parameter_names]}}}


BLOCK = ["<<<<<<< nb-current\n", "a = 1\n", "=======\n", "a = 2\n", ">>>>>>> nb-incoming\n"]


@pytest.mark.parametrize(
    "merged, counts",
    [
        pytest.param(CLEAN, None, id="clean"),
        pytest.param(notebook([cell("<<< train", ["x\n"]), cell(">>> train", ["y\n"]), cell("plot", [])]),
                     (2, 0, 0), id="cells"),
        pytest.param(notebook([cell("load", [])], ["<<< seed", ">>> seed", "rate", "<<<rate"]), (0, 2, 0),
                     id="parameters"),
        pytest.param(notebook([cell("a", ["x\n"] + BLOCK + BLOCK), cell("b", "y = 0\n" + "".join(BLOCK))]),
                     (0, 0, 3), id="source-blocks"),
        pytest.param(notebook([cell("<<< a", BLOCK), {"cell_type": "markdown", "source": "", "metadata": {}}],
                              [">>> p"]), (1, 1, 1), id="all-kinds"),
    ],
)
def test_conflicts_left_in_the_written_notebook_exit_1(tmp_path, files, merged, counts):
    merged_path = tmp_path / "merged.json"
    merged_path.write_text(json.dumps(merged), encoding="utf-8")
    result = run_process(options(files, "--file-path", "pipeline.ipynb"), tmp_path, merged=str(merged_path))
    lines = result.stderr.splitlines()
    assert lines[0] == "merge_files called"
    if counts is None:
        assert (result.returncode, lines[1:]) == (0, [])
    else:
        cells, parameters, blocks = counts
        assert result.returncode == 1
        assert lines[1:] == [f"zuvmerge: conflicts remain in pipeline.ipynb: cells {cells}, "
                             f"parameters {parameters}, source blocks {blocks}"]


def test_conflict_check_raises_system_exit_1_in_process(run, files):
    with pytest.raises(SystemExit) as raised:
        run(options(files), Recorder(merged=notebook([cell(">>> a", [])])))
    assert raised.value.code == 1


def test_console_script_runs_the_real_merge_driver(tmp_path):
    if not hasattr(drivers, "merge_files"):
        pytest.skip("zuv_weft_git.drivers does not offer merge_files yet")
    script = Path(sys.executable).parent / "zuvmerge"
    result = subprocess.run([str(script), "--help"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: zuvmerge ")


def test_launcher_runs_with_python_m(tmp_path, files):
    # The extension module itself cannot be run with -m; the launcher can.
    result = subprocess.run([sys.executable, "-m", "zuv_weft_git.scripts._launcher", *options(files), "--bogus"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    if hasattr(drivers, "merge_files"):
        assert result.returncode == 2 and "unrecognized arguments: --bogus" in result.stderr
    else:
        assert result.returncode == 1 and "cannot import name 'merge_files'" in result.stderr


def test_demo_merges_the_examples_with_real_git(tmp_path):
    if not hasattr(drivers, "merge_files"):
        pytest.skip("zuv_weft_git.drivers does not offer merge_files yet")
    demo = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    result = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "ZUV_DEMO_DIR": str(tmp_path / "demo")})
    assert result.returncode == 0, result.stderr
    # The repository stays for the user to open, conflict and all.
    kept = tmp_path / "demo" / "repo" / "pipeline.ipynb"
    assert "<<< " in kept.read_text(encoding="utf-8") and f"stays in {kept.parent}" in result.stdout
    # The example branches change one line of train_model differently.
    assert "git merge exit status: 1" in result.stdout
    assert "<<<<<<< pipeline.ipynb-current" in result.stdout
    assert "[plot_importances]" in result.stdout
    # The recommended path: zuv config-git, its driver, then the tools for the conflict.
    lines = result.stdout.splitlines()
    assert "$ zuv config-git" in lines
    assert "  | zuv merge-driver: conflicts remain in pipeline.ipynb: cell conflicts 0, parameter conflicts 0, " \
           "source conflict blocks 1" in lines
    assert "merged pipeline.ipynb (indented as Jupyter writes it):" in lines
    assert kept.read_text(encoding="utf-8").startswith('{\n "cells": [\n  {\n   "cell_type"')
    assert "  | notebook diff a/pipeline.ipynb b/pipeline.ipynb" in lines
    assert "  |   cell train_model (5d7f3b88-train): 1 source conflict block at line 6-10" in lines
    assert "<title>" in (tmp_path / "demo" / "merge.html").read_text(encoding="utf-8")
    zuv = Path(sys.executable).parent / "zuv"
    assert f"  cd {kept.parent} && {zuv} conflicts pipeline.ipynb" in lines
    assert f"  source {zuv.parent / 'activate'}   # then plain `zuv`" in lines
    # The resolve command it prints closes the conflict.
    resolve = next(line.split("   (")[0].split() for line in lines if line.startswith("  zuv resolve "))
    subprocess.run([str(zuv), *resolve[1:]], cwd=kept.parent, check=True, capture_output=True)
    assert subprocess.run([str(zuv), "conflicts", "pipeline.ipynb"], cwd=kept.parent).returncode == 0


def real_cell(cid, name, source, **canvas):
    return {"cell_type": "code", "id": "nb-" + cid, "metadata": {"canvas": {"id": cid, "name": name, **canvas}},
            "outputs": [], "execution_count": None, "source": source}


def real_notebook(cells, parameters=()):
    return {"cells": cells, "metadata": {"canvas": {"parameters": [{"name": n, "value": v} for n, v in parameters]}},
            "nbformat": 4, "nbformat_minor": 5}


FIXTURE = ["<<<<<<< HEAD\n", "x = 1\n"]  # a source that merely quotes a marker line


@pytest.mark.parametrize("base, current, incoming, status, summary", [
    pytest.param(real_notebook([real_cell("a", "", ["x = 1\n"])]),
                 real_notebook([real_cell("a", "", ["x = 2\n"])]),
                 real_notebook([real_cell("a", "named", ["x = 1\n"])]),
                 1, "conflicts remain in nb.ipynb: cells 1, parameters 0, source blocks 0", id="copy-beside-unmarked"),
    pytest.param(real_notebook([real_cell("a", "", ["x = 1\n", "y\n"])]),
                 real_notebook([real_cell("a", "", ["x = 2\n", "y\n"])]),
                 real_notebook([real_cell("a", "", ["x = 3\n", "y\n"])]),
                 1, "conflicts remain in nb.ipynb: cells 0, parameters 0, source blocks 1", id="source-block"),
    pytest.param(real_notebook([real_cell("a", "<<< a", FIXTURE), real_cell("b", "", ["1\n"])], [(">>> p", "1")]),
                 real_notebook([real_cell("a", "<<< a", FIXTURE), real_cell("b", "", ["2\n"])], [(">>> p", "1")]),
                 real_notebook([real_cell("a", "<<< a", FIXTURE + ["y\n"]), real_cell("b", "", ["1\n"])],
                               [(">>> p", "1")]),
                 0, "conflict marks from the inputs remain in nb.ipynb: cells 1, parameters 1, source blocks 1",
                 id="committed-marks"),
    pytest.param(real_notebook([real_cell("a", "", [])], [("p", "1")]),
                 real_notebook([real_cell("a", "", [])], [("p", "2")]),
                 real_notebook([real_cell("a", "", [])], [("p", "3")]),
                 1, "conflicts remain in nb.ipynb: cells 0, parameters 2, source blocks 0", id="parameter"),
    pytest.param(real_notebook([real_cell("a", "", [])]),
                 real_notebook([real_cell("a", "", []), real_cell("a", "", [])]),
                 real_notebook([real_cell("a", "", [])]),
                 3, "ValueError: duplicate canvas id 'a' in the current version", id="failure"),
])
def test_exit_status_says_whether_this_merge_needs_a_person(tmp_path, base, current, incoming, status, summary):
    paths = {}
    for name, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths[name] = tmp_path / f"{name}.ipynb"
        paths[name].write_text(json.dumps(document), encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-P", "-m", "zuv_weft_git.scripts._launcher", "--base-file", str(paths["base"]),
         "--current-file", str(paths["current"]), "--incoming-file", str(paths["incoming"]),
         "--file-path", "nb.ipynb"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == status, result.stderr
    assert summary in result.stderr.splitlines()[-1]
    if status == 3:
        assert "Traceback (most recent call last)" in result.stderr


# A `git merge-file` that reports conflicts without writing a block of them
# (a broken wrapper) is a failed git, not a merge that dropped the incoming
# edit: nothing is written and the command fails.
@pytest.mark.parametrize("status", [1, 2, 125])
def test_a_conflict_count_without_conflicts_is_a_failure(tmp_path, status):
    import shutil

    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "git"
    shim.write_text(f'#!/bin/sh\n[ "$1" = merge-file ] && exit {status}\nexec "{shutil.which("git")}" "$@"\n')
    shim.chmod(0o755)
    sources = (["x = 1\n", "y\n", "z = 1\n"], ["x = 2\n", "y\n", "z = 1\n"], ["x = 1\n", "y\n", "z = 2\n"])
    paths = {}
    for name, source in zip(("base", "current", "incoming"), sources):
        paths[name] = tmp_path / f"{name}.ipynb"
        paths[name].write_text(json.dumps(real_notebook([real_cell("a", "", source)])), encoding="utf-8")
    before = paths["current"].read_bytes()
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run(
        [sys.executable, "-P", "-m", "zuv_weft_git.scripts._launcher", "--base-file", str(paths["base"]),
         "--current-file", str(paths["current"]), "--incoming-file", str(paths["incoming"])],
        cwd=tmp_path, capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 3, result.stderr
    assert "GitCommandError" in result.stderr and paths["current"].read_bytes() == before
