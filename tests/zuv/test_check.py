"""`zuv check`: what must not be committed, alone, in a git repository and as a pre-commit hook."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import nbformat
import pytest
from nbbuild import cell, notebook, param, write

ZUV = Path(sys.executable).parent / "zuv"
COPY_ID = "0b5c3a9e-4f1d-4c2b-9a7e-3d2f1e0c9b8a"  # shaped like the ids the merge gives a copy


def zuv(*args, cwd, env=None):
    return subprocess.run([str(ZUV), *map(str, args)], cwd=cwd, capture_output=True, text=True, env=env)


def with_copy_ids(c):
    c["metadata"]["canvas"]["id"] = c["id"] = COPY_ID
    return c


def plain(*sources):
    """A stock Jupyter notebook: no canvas metadata."""
    document = notebook([])
    del document["metadata"]["canvas"]
    document["cells"] = [{"cell_type": "code", "execution_count": None, "id": f"c{k}", "metadata": {},
                          "outputs": [], "source": s} for k, s in enumerate(sources)]
    return document


BLOCK = ["<<<<<<< nb.ipynb-current\n", "fit(lr)\n", "=======\n", "fit(ep)\n", ">>>>>>> nb.ipynb-incoming\n"]
JSON_CONFLICT = '{\n "cells": [],\n<<<<<<< HEAD\n "nbformat": 4,\n=======\n "nbformat": 5,\n>>>>>>> other\n "metadata": {}\n}\n'

CASES = {
    "mark, other side deleted": (
        notebook([cell("L", "load"), cell("R", "<<< report", parents=["L"])]),
        ["<<< report (R): conflict mark: changed by current, deleted by incoming"]),
    "marked copies": (
        notebook([cell("E", "<<< evaluate"), with_copy_ids(cell("X", ">>> evaluation"))]),
        [f"<<< evaluate (E): both sides changed this cell: the merge placed the incoming copy "
         f">>> evaluation ({COPY_ID}) beside it"]),
    "copy beside its unmarked namesake": (
        notebook([cell("E", "evaluate"), cell("X", ">>> evaluate")]),
        [">>> evaluate (X): a copy placed by a merge: it claims the name of evaluate (E)"]),
    "two cells claim one name": (
        notebook([cell("A", "<<< plot"), cell("B", "load"), cell("C", ">>> plot")]),
        ['<<< plot (A): conflict mark: two different cells claim the name "plot", this one and >>> plot (C)']),
    "parameter kept twice": (
        notebook([cell("A", "a")], [param("<<< lr", "0.2", "float"), param(">>> lr", "0.3", "float")]),
        ['parameter "lr": conflict mark: kept twice, "<<< lr" = 0.2 (float) and ">>> lr" = 0.3 (float)']),
    "conflict block in a source": (
        notebook([cell("T", "train", ["x = 1\n", *BLOCK, "done"])]),
        ["train (T): 1 git conflict block in the source at line 2-6"]),
    "conflict block in a plain notebook": (
        plain("a = 1\n", "".join(BLOCK)), ["cell 2: 1 git conflict block in the source at line 1-5"]),
    # The cell merge's marks, in a plain notebook and in a pipeline one.
    "cell merge marks in a plain notebook": (
        plain("a = 1\n", "# <<<<<<< zuv: changed by incoming, deleted by current\nb = 2\n",
              ["# <<<<<<< zuv: notebook metadata changed by both, current's kept: author\n"]),
        ["cell 2: conflict mark of the cell merge: changed by incoming, deleted by current",
         "cell 3: conflict mark of the cell merge: notebook metadata changed by both, current's kept: author"]),
    "cell merge mark in a mixed notebook": (
        dict(notebook([cell("L", "load")]), cells=[cell("L", "load"), dict(
            plain(["# <<<<<<< zuv: changed by both, current's kept: outputs\n", "x\n"])["cells"][0])]),
        ["cell 2: conflict mark of the cell merge: changed by both, current's kept: outputs"]),
    "conflict block between JSON lines": (
        JSON_CONFLICT, [": git conflict block at lines 3-7: the file is not JSON"]),
    "parent that is no cell": (
        notebook([cell("L", "load"), cell("T", "train", parents=["L", "gone"])]),
        ["train (T): parent name-of-gone (gone) is no cell of the notebook"]),
    "cycle": (
        notebook([cell("L", "load"), cell("A", "a", parents=["L", "B"]), cell("B", "b", parents=["A"])]),
        ["a (A): cycle: a and b depend on each other"]),
    "duplicate canvas id": (
        notebook([cell("A", "load"), cell("B", "train"), cell("A", "plot")]),
        ["plot (A): duplicate canvas id, also held by cell 1 (load)"]),
    "duplicate parameter name": (
        notebook([cell("A", "a")], [param("lr", "1"), param("ep", "2"), param("lr", "3")]),
        ['parameter "lr": duplicate parameter name (parameters 1 and 3)']),
    "not JSON": ('{"cells": [}', [": not JSON: JSONDecodeError: Expecting value: line 1 column 12 (char 11)"]),
    "empty file": ("", [": not JSON: the file is empty"]),
    "nbformat 3": (dict(plain("a\n"), nbformat=3), [': not nbformat 4: "nbformat" is 3']),
    "cell shapes": (
        dict(plain(), cells=[{"cell_type": "code", "metadata": {}, "source": 3},
                             {"cell_type": "heading", "metadata": {}, "source": ""}, ["a"]]),
        ['cell 1: not nbformat 4: "source" is neither a string nor a list of strings',
         'cell 2: not nbformat 4: "cell_type" is none of code, markdown and raw',
         "cell 3: not nbformat 4: the cell is not a JSON object"]),
}


@pytest.mark.parametrize("document, expected", CASES.values(), ids=CASES.keys())
def test_each_finding(tmp_path, document, expected):
    path = tmp_path / "nb.ipynb"
    if isinstance(document, str):
        path.write_text(document)
    else:
        write(path, document)
    write(tmp_path / "clean.ipynb",
          notebook([cell("L", "load"), cell("T", "train", ["x\n"], ["L"])], [param("lr", "1")]))
    stock = nbformat.v4.new_notebook(cells=[
        nbformat.v4.new_markdown_cell("# Title\n\n<<< not a mark here"),
        nbformat.v4.new_code_cell("print(1)\n=======\n", outputs=[nbformat.v4.new_output("stream", text="1\n")]),
        nbformat.v4.new_raw_cell(">>>>>>> b")])
    nbformat.write(stock, tmp_path / "stock.ipynb")
    clean = ["clean.ipynb", "stock.ipynb"]
    result = zuv("check", *clean, "nb.ipynb", cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert result.stdout.splitlines() == [
        f"nb.ipynb{'' if line.startswith(':') else ':'}{line}" for line in expected]
    passed = zuv("check", *clean, cwd=tmp_path)
    assert passed.returncode == 0 and passed.stdout == passed.stderr == ""


def git(repo, *args):
    result = subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result


@pytest.fixture
def repo(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(home / ".gitconfig"))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    path = tmp_path / "repo"
    path.mkdir()
    git(path, "init", "-q", "-b", "main")
    git(path, "config", "user.email", "dev@example.com")
    git(path, "config", "user.name", "Dev")
    return path


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_tracked_notebooks_by_default(repo, tmp_path):
    marked = notebook([cell("R", "<<< report")])
    (repo / "sub").mkdir()
    write(repo / "clean.ipynb", notebook([cell("L", "load")]))
    write(repo / "sub" / "marked.ipynb", marked)
    write(repo / "-dash.ipynb", marked)
    write(repo / "gone.ipynb", marked)
    git(repo, "add", "-A")
    (repo / "gone.ipynb").unlink()  # tracked, deleted from the work tree: nothing to check
    write(repo / "untracked.ipynb", marked)
    (repo / "notes.txt").write_text("<<<<<<< a\n=======\n>>>>>>> b\n")

    line = "(R): conflict mark: changed by current, deleted by incoming"
    result = zuv("check", cwd=repo)
    assert result.returncode == 1
    assert sorted(result.stdout.splitlines()) == [f"-dash.ipynb:<<< report {line}",
                                                  f"sub/marked.ipynb:<<< report {line}"]
    assert zuv("check", cwd=repo / "sub").stdout == f"marked.ipynb:<<< report {line}\n"
    # Paths starting with "-" are data after "--"; an option before it is refused.
    assert zuv("check", "--", "-dash.ipynb", cwd=repo).returncode == 1
    assert zuv("check", "-dash.ipynb", cwd=repo).returncode == 2
    # A file that cannot be read is a failure, even beside findings.
    failed = zuv("check", "sub/marked.ipynb", "missing.ipynb", cwd=repo)
    assert failed.returncode == 3 and "cannot read missing.ipynb" in failed.stderr
    assert failed.stdout == f"sub/marked.ipynb:<<< report {line}\n"
    # Without paths outside a repository there is nothing to ask git for.
    outside = tmp_path / "outside"
    outside.mkdir()
    assert zuv("check", cwd=outside).returncode == 3

    write(repo / "sub" / "marked.ipynb", notebook([cell("R", "report")]))
    (repo / "-dash.ipynb").unlink()
    assert zuv("check", cwd=repo).returncode == 0


def commit_sides(repo, nb, base, cur, inc):
    """`nb` as `base` on main, `cur` on branch ours and `inc` on branch theirs; ours checked out."""
    for branch, document in (("main", base), ("ours", cur), ("theirs", inc)):
        if branch != "main":
            git(repo, "checkout", "-q", "-b", branch, "main")
        write(nb, document)
        git(repo, "add", "-A")
        git(repo, "commit", "-q", "-m", branch)
    git(repo, "checkout", "-q", "ours")


def commit(repo, *args):
    """`git commit` with its hook's output (on standard error) in stdout."""
    return subprocess.run(["git", "commit", *args], cwd=repo, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def pre_commit_config(repo):
    """The hook of this checkout's .pre-commit-hooks.yaml as a local hook run from the PATH.

    A `repo:` pointing at this checkout makes pre-commit build the package from source in
    an environment of its own (minutes of compiling); the local hook runs the same entry on
    the same files with the `zuv` under test.
    """
    import yaml
    hooks = yaml.safe_load((Path(__file__).parents[2] / ".pre-commit-hooks.yaml").read_text())
    hook = next(h for h in hooks if h["id"] == "zuv-check")
    assert hook["language"] == "python" and hook["entry"].split()[:2] == ["zuv", "check"]
    local = {k: hook[k] for k in ("id", "name", "entry", "files")}
    local["language"] = "system"
    (repo / ".pre-commit-config.yaml").write_text(yaml.safe_dump({"repos": [{"repo": "local", "hooks": [local]}]}))


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_pre_commit_refuses_a_conflict_until_it_is_resolved(repo, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", f"{ZUV.parent}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("PRE_COMMIT_HOME", str(tmp_path / "pre-commit-home"))
    assert zuv("config-git", cwd=repo).returncode == 0
    pre_commit_config(repo)
    base = notebook([cell("L", "load", ["x = 1\n"]), cell("T", "train", ["fit()\n"], ["L"])])
    cur = json.loads(json.dumps(base))
    inc = json.loads(json.dumps(base))
    cur["cells"][1]["source"] = ["fit(lr)\n"]
    inc["cells"][1]["source"] = ["fit(ep)\n"]
    nb, dash = repo / "nb.ipynb", repo / "-notes.ipynb"
    write(dash, plain("notes\n"))  # a name that looks like an option
    commit_sides(repo, nb, base, cur, inc)
    installed = subprocess.run([sys.executable, "-m", "pre_commit", "install"], cwd=repo,
                               capture_output=True, text=True)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    assert subprocess.run(["git", "merge", "theirs"], cwd=repo, capture_output=True).returncode == 1

    listed = zuv("check", cwd=repo)  # git lists an unmerged notebook once per stage: checked once
    assert listed.returncode == 1 and listed.stdout.count("nb.ipynb:train (T)") == 1, listed.stdout
    git(repo, "add", "nb.ipynb")  # git itself no longer stops the commit
    refused = commit(repo, "--no-edit")
    assert refused.returncode == 1
    assert "nb.ipynb:train (T): 1 git conflict block in the source at line 1-5" in refused.stdout
    assert git(repo, "rev-parse", "HEAD").stdout == git(repo, "rev-parse", "ours").stdout

    assert zuv("resolve", "nb.ipynb", "--incoming", "--all", cwd=repo).returncode == 0
    git(repo, "add", "nb.ipynb")
    accepted = commit(repo, "--no-edit")
    assert accepted.returncode == 0 and "Passed" in accepted.stdout, accepted.stdout
    assert git(repo, "rev-parse", "HEAD^2").stdout == git(repo, "rev-parse", "theirs").stdout

    # An ordinary commit: the staged notebooks, the one named like an option among them.
    write(dash, plain("".join(BLOCK)))
    git(repo, "add", "-A")
    refused = commit(repo, "-m", "notes")
    assert refused.returncode == 1
    assert "-notes.ipynb:cell 1: 1 git conflict block in the source at line 1-5" in refused.stdout
    write(dash, plain("fit(lr, ep)\n"))
    git(repo, "add", "-A")
    assert commit(repo, "-m", "notes").returncode == 0


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
@pytest.mark.parametrize("operation", ["merge", "cherry-pick"])
def test_copies_placed_without_a_mark_are_found_while_git_waits(repo, operation):
    """Both sides changed a cell, only one of them names it: the merge places two unmarked copies.

    Once added, only the versions of the merge git is waiting on tell them from two cells.
    """
    assert zuv("config-git", cwd=repo).returncode == 0
    base = notebook([cell("L", "load", ["x = 1\n"]), cell("T", "train", ["fit()\n"], ["L"])])
    cur, inc = json.loads(json.dumps(base)), json.loads(json.dumps(base))
    cur["cells"][1]["source"] = ["fit(lr)\n"]
    inc["cells"][1]["source"] = ["fit(ep)\n"]
    inc["cells"][1]["metadata"]["canvas"]["name"] = ""
    nb = repo / "nb.ipynb"
    commit_sides(repo, nb, base, cur, inc)
    stopped = subprocess.run(["git", operation, "theirs"], cwd=repo, capture_output=True, text=True)
    assert stopped.returncode == 1, stopped.stdout + stopped.stderr
    assert [c["source"] for c in json.loads(nb.read_text())["cells"]] == [["x = 1\n"], ["fit(lr)\n"], ["fit(ep)\n"]]
    git(repo, "add", "nb.ipynb")

    found = zuv("check", cwd=repo)
    assert found.returncode == 1, found.stdout + found.stderr
    assert found.stdout.startswith("nb.ipynb:train (T): both sides changed this cell: the merge placed the "
                                   "incoming copy (unnamed) ("), found.stdout
    assert found.stdout.rstrip().endswith("beside it, without a mark")
    # Resolved by hand (the copy removed): nothing left to find.
    document = json.loads(nb.read_text())
    del document["cells"][2]
    write(nb, document)
    assert zuv("check", cwd=repo).returncode == 0
