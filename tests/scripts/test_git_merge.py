"""The real git program runs zuvmerge as a merge driver."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from nbbuild import canvas, cell, clone, find, notebook, param, read, write

ZUVMERGE = Path(sys.executable).parent / "zuvmerge"

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")


def git(repo, *args, check=True):
    return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, check=check)


@pytest.fixture
def repo(tmp_path):
    """A repository whose *.ipynb files merge through zuvmerge."""
    path = tmp_path / "repo"
    path.mkdir()
    git(path, "init", "-q", "-b", "main")
    git(path, "config", "user.email", "dev@example.com")
    git(path, "config", "user.name", "Dev")
    git(path, "config", "merge.zuv.driver",
        f"{ZUVMERGE} --base-file %O --current-file %A --incoming-file %B --file-path %P")
    (path / ".gitattributes").write_text("*.ipynb merge=zuv\n")
    return path


def commit(repo, document, message):
    write(repo / "pipeline.ipynb", document)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", message)


BASE = notebook(
    [cell("a", "load", ["import pandas\n", "df = load()\n", "x = 1\n", "y = 2\n", "z = 3\n"]),
     cell("b", "train", ["model = fit(df)\n"], parents=["a"])],
    [param("rate", "0.1")],
)


def branches(repo, current, incoming):
    commit(repo, BASE, "base")
    git(repo, "checkout", "-q", "-b", "feature")
    commit(repo, incoming, "incoming")
    git(repo, "checkout", "-q", "main")
    commit(repo, current, "current")


def test_clean_merge_is_committed(repo):
    current = clone(BASE)
    find(current["cells"], "a")["source"][1] = "df = load(cache=True)\n"
    incoming = clone(BASE)
    find(incoming["cells"], "a")["source"][4] = "z = 30\n"
    incoming["cells"].append(cell("c", "evaluate", ["score(model)\n"], parents=["b"]))
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = "0.2"
    branches(repo, current, incoming)

    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    merged = read(repo / "pipeline.ipynb")
    assert find(merged["cells"], "a")["source"] == [
        "import pandas\n", "df = load(cache=True)\n", "x = 1\n", "y = 2\n", "z = 30\n"]
    assert [canvas(c)["name"] for c in merged["cells"]] == ["load", "train", "evaluate"]
    assert canvas(find(merged["cells"], "c"))["parents"] == [{"id": "b"}]
    assert merged["metadata"]["canvas"]["parameters"] == [param("rate", "0.2")]
    assert git(repo, "status", "--porcelain").stdout == ""


def test_conflict_stops_the_merge(repo):
    current = clone(BASE)
    find(current["cells"], "a")["source"][2] = "x = 'mine'\n"
    incoming = clone(BASE)
    find(incoming["cells"], "a")["source"][2] = "x = 'theirs'\n"
    branches(repo, current, incoming)

    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode != 0
    assert "CONFLICT" in result.stdout
    assert "1 conflict" in result.stderr or "conflict" in (result.stdout + result.stderr).lower()
    source = find(read(repo / "pipeline.ipynb")["cells"], "a")["source"]
    assert source[2:7] == ["<<<<<<< pipeline.ipynb-current\n", "x = 'mine'\n", "=======\n",
                           "x = 'theirs'\n", ">>>>>>> pipeline.ipynb-incoming\n"]
    assert "pipeline.ipynb" in git(repo, "diff", "--name-only", "--diff-filter=U").stdout


def test_conflicting_cells_are_kept_side_by_side(repo):
    current = clone(BASE)
    canvas(find(current["cells"], "b"))["name"] = "train_v2"
    incoming = clone(BASE)
    canvas(find(incoming["cells"], "b"))["name"] = "train_fast"
    branches(repo, current, incoming)

    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode != 0
    names = [canvas(c)["name"] for c in read(repo / "pipeline.ipynb")["cells"]]
    assert names == ["load", "<<< train_v2", ">>> train_fast"]


def test_cherry_pick_uses_the_driver(repo):
    commit(repo, BASE, "base")
    git(repo, "checkout", "-q", "-b", "feature")
    picked = clone(BASE)
    find(picked["cells"], "a")["source"][4] = "z = 99\n"
    commit(repo, picked, "picked change")
    sha = git(repo, "rev-parse", "HEAD").stdout.strip()
    git(repo, "checkout", "-q", "main")
    current = clone(BASE)
    find(current["cells"], "a")["source"][0] = "import polars\n"
    commit(repo, current, "current")

    result = git(repo, "cherry-pick", sha, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    assert find(read(repo / "pipeline.ipynb")["cells"], "a")["source"] == [
        "import polars\n", "df = load()\n", "x = 1\n", "y = 2\n", "z = 99\n"]


def test_the_written_file_is_one_line_of_json(repo):
    current = clone(BASE)
    find(current["cells"], "b")["source"] = ["model = fit(df, épocas=3)\n"]
    incoming = clone(BASE)
    incoming["cells"].append(cell("c", "report"))
    branches(repo, current, incoming)
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode == 0
    text = (repo / "pipeline.ipynb").read_text(encoding="ascii")
    assert "\n" not in text and "\\u00e9" in text
    json.loads(text)


@pytest.mark.parametrize(
    "which, content",
    [
        ("current", None),  # missing
        ("base", b"\xff\xfe"),
        ("incoming", b"{broken"),
        ("current", b'{"metadata": {}}'),
        ("base", b'{"cells": [{"metadata": {"canvas": {}}}]}'),
    ],
)
def test_command_fails_and_leaves_the_files(tmp_path, which, content):
    paths = {n: tmp_path / f"{n}.ipynb" for n in ("base", "current", "incoming")}
    for p in paths.values():
        write(p, BASE)
    if content is None:
        paths[which].unlink()
    else:
        paths[which].write_bytes(content)
    before = {n: p.read_bytes() if p.exists() else None for n, p in paths.items()}
    result = subprocess.run([str(ZUVMERGE), "--base-file", str(paths["base"]), "--current-file",
                             str(paths["current"]), "--incoming-file", str(paths["incoming"])],
                            capture_output=True, text=True)
    assert result.returncode not in (0, 2) and "Traceback" in result.stderr
    assert before == {n: p.read_bytes() if p.exists() else None for n, p in paths.items()}
    # No temporary file is left beside the notebooks either.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        p.name for k, p in paths.items() if before[k] is not None)
