"""`zuv` under the real git: setup, merges, diffs and text conversion."""
import functools
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from nbbuild import canvas, cell, clone, find, notebook, param

ZUV = Path(sys.executable).parent / "zuv"

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")


@pytest.fixture
def env(tmp_path, monkeypatch):
    """An environment whose git reads no configuration of the machine's user."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(home / ".gitconfig"))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("GIT_PAGER", "cat")
    return home


def run(cwd, *args, check=True):
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True)
    if check:
        assert result.returncode == 0, result.stdout + result.stderr
    return result


def git(repo, *args, check=True):
    return run(repo, "git", *args, check=check)


@pytest.fixture
def repo(tmp_path, env):
    path = tmp_path / "repo"
    path.mkdir()
    git(path, "init", "-q", "-b", "main")
    git(path, "config", "user.email", "dev@example.com")
    git(path, "config", "user.name", "Dev")
    run(path, ZUV, "config-git")
    return path


# The layout Jupyter writes: indent 1, keys sorted, non-ASCII kept, final newline.
def jupyter_text(document):
    return json.dumps(document, indent=1, sort_keys=True, ensure_ascii=False) + "\n"


def commit(repo, text, message, name="pipeline.ipynb"):
    (repo / name).write_text(text, encoding="utf-8")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", message)


def branches(repo, base, current, incoming):
    commit(repo, base, "base")
    git(repo, "checkout", "-q", "-b", "feature")
    commit(repo, incoming, "incoming")
    git(repo, "checkout", "-q", "main")
    commit(repo, current, "current")


BASE = notebook(
    [cell("a", "load", ["import pandas\n", "df = load()\n", "x = 1\n", "y = 2\n", "z = 3\n"]),
     cell("b", "train", ["model = fit(df)\n"], parents=["a"])],
    [param("rate", "0.1")],
)


def edit(document, cid, line, text):
    changed = clone(document)
    find(changed["cells"], cid)["source"][line] = text
    return changed


def plain(document):
    """The notebook without any canvas metadata, as stock Jupyter keeps it."""
    stripped = clone(document)
    del stripped["metadata"]["canvas"]
    for c in stripped["cells"]:
        del c["metadata"]["canvas"]
    return stripped


def old_format(document):
    """A notebook of a format the cell merge does not take."""
    changed = plain(document)
    changed["nbformat"] = 3
    return changed


def twice(document):
    """A plain notebook whose first cell repeats the id of another."""
    changed = plain(document)
    changed["cells"].insert(0, {"cell_type": "markdown", "id": "nb-a", "metadata": {}, "source": ["# a\n"]})
    return changed


def added_in_jupyter(document):
    changed = clone(document)
    changed["cells"].append({"cell_type": "code", "execution_count": None, "id": "jupyter-new",
                             "metadata": {}, "outputs": [], "source": ["print('new')\n"]})
    return changed


@pytest.mark.parametrize("scope", ["repository", "global"])
def test_config_git_registers_and_removes_the_drivers(tmp_path, env, scope):
    work = tmp_path / "work"
    work.mkdir()
    if scope == "repository":
        git(work, "init", "-q")
        (work / ".gitattributes").write_text("*.txt text\n")
        flags, config_flag, attributes = [], "--local", work / ".gitattributes"
    else:
        flags, config_flag, attributes = ["--global"], "--global", env / ".config" / "git" / "attributes"
    before = attributes.read_text() if attributes.exists() else None

    for _ in range(2):  # a second run changes nothing
        shown = run(work, ZUV, "config-git", *flags)
    assert attributes.read_text().count("*.ipynb merge=zuv diff=zuv\n") == 1
    driver = git(work, "config", config_flag, "merge.zuv.driver").stdout.strip()
    # Not on PATH in this test run: the driver names the installed script.
    assert driver == f"{ZUV} merge-driver %O %A %B %L %P"
    assert git(work, "config", config_flag, "diff.zuv.textconv").stdout.strip() == f"{ZUV} textconv"
    assert git(work, "config", config_flag, "diff.zuv.command").stdout.strip() == f"{ZUV} diff-driver"
    assert "merge.zuv.driver" in shown.stdout and str(attributes) in shown.stdout

    run(work, ZUV, "config-git", "--disable", *flags)
    assert (attributes.read_text() if attributes.exists() else None) == before
    assert git(work, "config", config_flag, "--get-regexp", "zuv", check=False).stdout == ""


@pytest.mark.parametrize("scope, where, override", [
    ("repository", ".gitattributes", "*.ipynb merge=union"),
    ("repository", ".gitattributes", "*.ipynb -diff"),
    ("repository", ".git/info/attributes", "*.ipynb binary"),
    ("repository", "deep/.gitattributes", "*.ipynb merge=union"),  # only for its own notebooks
    ("repository", "new/.gitattributes", "*.ipynb -diff"),  # a folder with no notebook yet
    ("global", "attributes", "*.ipynb merge=union"),
])
def test_config_git_reports_an_attribute_that_overrides_it(tmp_path, env, monkeypatch, scope,
                                                           where, override):
    work, scratch = tmp_path / "work", tmp_path / "scratch"
    work.mkdir()
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    if scope == "repository":
        git(work, "init", "-q")
        flags, folder = [], work
    else:  # outside any repository
        flags, folder = ["--global"], env / ".config" / "git"
    run(work, ZUV, "config-git", *flags)
    target = folder / where
    target.parent.mkdir(parents=True, exist_ok=True)
    with open(target, "a") as f:
        f.write(override + "\n")
    line = target.read_text().splitlines().index(override) + 1
    if where.startswith("deep/"):
        (target.parent / "nb.ipynb").write_text("{}")
        git(work, "add", "deep/nb.ipynb")

    result = run(work, ZUV, "config-git", *flags, check=False)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"set by {target}:{line}: {override}" in result.stderr
    assert ("for deep/nb.ipynb: " in result.stderr) == where.startswith("deep/")
    assert ("for new notebooks in new/: " in result.stderr) == where.startswith("new/")
    assert "already has" not in result.stdout
    assert list(scratch.iterdir()) == []
    target.write_text(target.read_text().replace(override + "\n", ""))
    assert "already has" in run(work, ZUV, "config-git", *flags).stdout


@pytest.mark.parametrize("attributes", ["*.ipynb filter=nbstrip\n*.txt text\n",
                                        "*.ipynb filter=nbstrip\n*.txt text"],
                         ids=["final-newline", "no-final-newline"])
def test_config_git_disable_removes_only_what_it_wrote(tmp_path, env, attributes):
    git(tmp_path, "init", "-q")
    path = tmp_path / ".gitattributes"
    path.write_bytes(attributes.encode())
    run(tmp_path, ZUV, "config-git")
    assert path.read_text().count("*.ipynb merge=zuv diff=zuv") == 1
    assert git(tmp_path, "check-attr", "filter", "--", "a.ipynb").stdout.endswith("nbstrip\n")
    # What the user added to zuv's sections, and a value the user changed.
    for key, value in [("merge.zuv.recursive", "binary"), ("diff.zuv.wordRegex", "[^ ]+"),
                       ("diff.zuv.cachetextconv", "true"), ("mergetool.zuv.cmd", "my-tool")]:
        git(tmp_path, "config", key, value)
    config = tmp_path / ".git" / "config"
    config.write_text(config.read_text() + '[mergetool "zuv-incoming"]\n\t# my note\n')

    run(tmp_path, ZUV, "config-git", "--disable")
    assert path.read_bytes() == attributes.encode()
    kept = git(tmp_path, "config", "--get-regexp", "zuv").stdout.splitlines()
    assert sorted(kept) == ["diff.zuv.cachetextconv true", "diff.zuv.wordregex [^ ]+",
                            "merge.zuv.recursive binary", "mergetool.zuv.cmd my-tool"]
    assert "# my note" in config.read_text()


def test_config_git_refuses_outside_a_repository(tmp_path, env):
    result = run(tmp_path, ZUV, "config-git", check=False)
    assert result.returncode == 3 and "not inside a git work tree" in result.stderr
    assert not (env / ".gitconfig").exists()


CLEAN = ("clean", edit(BASE, "a", 1, "df = load(cache=True)\n"), edit(BASE, "b", 0, "model = fit(df, k=2)\n"))
CONFLICT = ("conflict", edit(BASE, "a", 2, "x = 'mine'\n"), edit(BASE, "a", 2, "x = 'theirs'\n"))


@pytest.mark.parametrize(
    "base, current, incoming, outcome, reason",
    [
        # Pipeline notebooks: merged cell by cell, written back indented.
        pytest.param(BASE, CLEAN[1], CLEAN[2], "clean", None, id="pipeline-clean"),
        pytest.param(BASE, CONFLICT[1], CONFLICT[2], "conflict", None, id="pipeline-conflict"),
        # A cell added in stock Jupyter: merged cell by cell too.
        pytest.param(BASE, CLEAN[1], added_in_jupyter(CLEAN[2]), "clean", None, id="cell-added-in-jupyter"),
        # Anything but nbformat 4: git's line merge, with the reason on stderr.
        pytest.param(old_format(BASE), old_format(CLEAN[1]), old_format(CLEAN[2]), "clean",
                     "not an nbformat 4 notebook", id="old-format-clean"),
        pytest.param(old_format(BASE), old_format(CONFLICT[1]), old_format(CONFLICT[2]), "conflict",
                     "not an nbformat 4 notebook", id="old-format-conflict"),
        # Two cells under one id: the cells cannot be keyed.
        pytest.param(twice(BASE), twice(CLEAN[1]), twice(CLEAN[2]), "clean", "two cells with cell id 'nb-a'",
                     id="duplicate-cell-id"),
    ],
)
def test_git_merge_through_the_driver(repo, base, current, incoming, outcome, reason):
    branches(repo, jupyter_text(base), jupyter_text(current), jupyter_text(incoming))
    result = git(repo, "merge", "--no-edit", "feature", check=False)
    output = result.stdout + result.stderr
    text = (repo / "pipeline.ipynb").read_text(encoding="utf-8")
    if reason:
        [why] = [line for line in output.splitlines() if line.endswith("; merged line by line")]
        assert why.startswith("zuv merge-driver: pipeline.ipynb: the ") and reason in why
    else:
        assert "merged line by line" not in output
    if outcome == "clean":
        assert result.returncode == 0, output
        merged = json.loads(text)
        assert text == jupyter_text(merged)  # the layout of the current file
        sources = {c["metadata"].get("canvas", {}).get("id") or c["id"].removeprefix("nb-"): c["source"]
                   for c in merged["cells"]}
        assert sources["a"][1] == "df = load(cache=True)\n" and sources["b"] == ["model = fit(df, k=2)\n"]
        if "jupyter-new" in jupyter_text(incoming):
            assert sources["jupyter-new"] == ["print('new')\n"]
        # Only the merged edits, plus in a pipeline merge the parent reference
        # the merge rewrites to its id ('"id": "a",' loses its comma, the name
        # line goes).
        stat = git(repo, "diff", "--numstat", "HEAD^1", "HEAD", "--", "pipeline.ipynb").stdout.split()
        added_lines = len(jupyter_text(incoming).splitlines()) - len(jupyter_text(base).splitlines())
        expected = (1 + added_lines, 1) if reason else (2 + added_lines, 3)
        assert tuple(map(int, stat[:2])) == expected
    else:
        assert result.returncode != 0 and "CONFLICT" in output
        assert "<<<<<<< pipeline.ipynb-current" in text and ">>>>>>> pipeline.ipynb-incoming" in text
        assert "x = 'mine'" in text and "x = 'theirs'" in text
        assert "pipeline.ipynb" in git(repo, "diff", "--name-only", "--diff-filter=U").stdout
        if not reason:
            assert "conflicts remain in pipeline.ipynb: cell conflicts 0, parameter conflicts 0, source conflict blocks 1" in output
            assert text == jupyter_text(json.loads(text))


@pytest.mark.parametrize("incoming_name", ["evaluation", ""], ids=["marked-copies", "unmarked-copies"])
def test_copies_only_conflict_through_git_exits_1(repo, incoming_name):
    # Both sides change cell b, incoming also renames (or unnames) it: two copies, no source block.
    current, incoming = edit(BASE, "b", 0, "model = fit(df, k=2)\n"), edit(BASE, "b", 0, "model = fit(df, k=3)\n")
    canvas(find(incoming["cells"], "b"))["name"] = incoming_name
    branches(repo, jupyter_text(BASE), jupyter_text(current), jupyter_text(incoming))
    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode == 1 and "CONFLICT (content): Merge conflict in pipeline.ipynb" in result.stdout
    assert "pipeline.ipynb" in git(repo, "diff", "--name-only", "--diff-filter=U").stdout
    counts = "cell conflicts 1, parameter conflicts 0, source conflict blocks 0"
    assert f"zuv merge-driver: conflicts remain in pipeline.ipynb: {counts}" in result.stderr
    merged = json.loads((repo / "pipeline.ipynb").read_text(encoding="utf-8"))
    assert [c["source"] for c in merged["cells"][1:]] == [["model = fit(df, k=2)\n"], ["model = fit(df, k=3)\n"]]
    listed = run(repo, ZUV, "conflicts", "pipeline.ipynb", check=False)
    assert listed.returncode == 1 and listed.stdout.startswith(f"pipeline.ipynb: 1 conflict ({counts})\n")


def test_views_name_parents_by_their_cells_after_a_merge(repo, tmp_path):
    # The merge keeps parent references as bare ids; every view still calls
    # a parent by its cell's name and sees no parent change in the merge.
    branches(repo, jupyter_text(BASE), jupyter_text(CLEAN[1]), jupyter_text(CLEAN[2]))
    git(repo, "merge", "--no-edit", "feature")
    merged = json.loads((repo / "pipeline.ipynb").read_text())
    assert find(merged["cells"], "b")["metadata"]["canvas"]["parents"] == [{"id": "a"}]

    assert "[code] train  (id b)  <- load" in run(repo, ZUV, "textconv", "pipeline.ipynb").stdout
    textconv = git(repo, "diff", "--textconv", "--no-ext-diff", "HEAD^1", "HEAD").stdout
    assert "<- load" in textconv and not [line for line in textconv.splitlines()
                                          if line[:1] in "+-" and "<-" in line]
    driver = git(repo, "diff", "HEAD^1", "HEAD").stdout
    assert "modified cell train" in driver and "parents" not in driver
    (tmp_path / "before.ipynb").write_text(git(repo, "show", "HEAD^1:pipeline.ipynb").stdout)
    page = tmp_path / "page.html"
    run(repo, ZUV, "diff", "--html", page, tmp_path / "before.ipynb", "pipeline.ipynb")
    assert "Parents gained" not in page.read_text() and "Parents lost" not in page.read_text()


def with_outputs(document, cid, text):
    changed = clone(document)
    find(changed["cells"], cid)["outputs"] = [{"name": "stdout", "output_type": "stream",
                                               "text": [text]}]
    return changed


RERUN = with_outputs(BASE, "b", "accuracy 0.9\n")


@pytest.mark.parametrize("current, incoming, notice", [
    # Incoming re-ran "train"; outputs alone are no change, current's stay.
    (edit(BASE, "a", 1, "df = load(cache=True)\n"), RERUN, True),
    (edit(BASE, "b", 0, "model = fit(df, k=2)\n"), RERUN, True),
    # Incoming changed the source too: its cell, outputs and all, is taken.
    (edit(BASE, "a", 1, "df = load(cache=True)\n"), edit(RERUN, "b", 0, "model = fit(df, k=3)\n"),
     False),
    # Both sides hold the same new outputs: nothing is lost.
    (RERUN, RERUN, False),
])
def test_merge_driver_says_when_incoming_outputs_are_not_taken(repo, current, incoming, notice):
    branches(repo, jupyter_text(BASE), jupyter_text(current), jupyter_text(incoming))
    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = [line for line in result.stderr.splitlines() if "outputs" in line]
    merged = find(json.loads((repo / "pipeline.ipynb").read_text())["cells"], "b")["outputs"]
    if notice:
        assert lines == ["zuv merge-driver: pipeline.ipynb: cell train keeps the current outputs; "
                         "the incoming side's changed outputs were not taken (outputs alone are "
                         "no change)"]
        assert merged == find(current["cells"], "b")["outputs"]
    else:
        assert lines == [] and merged == find(incoming["cells"], "b")["outputs"]


def test_line_merge_keeps_the_users_conflict_style(repo):
    git(repo, "config", "merge.conflictStyle", "diff3")
    branches(repo, jupyter_text(old_format(BASE)), jupyter_text(old_format(CONFLICT[1])),
             jupyter_text(old_format(CONFLICT[2])))
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode != 0
    text = (repo / "pipeline.ipynb").read_text()
    assert "||||||| pipeline.ipynb-base" in text and '"x = 1\\n",' in text


# A file merged line by line is no JSON: `zuv conflicts` says so, and while
# git has it unmerged `zuv resolve` takes one side's whole file (no cell can
# be chosen in it); nothing is written on a refusal.
@pytest.mark.parametrize("side, version", [("--current", 1), ("--incoming", 2)])
def test_resolve_takes_a_whole_side_of_a_line_merged_file(repo, side, version):
    texts = [jupyter_text(old_format(document)) for document in (BASE, *CONFLICT[1:])]
    branches(repo, *texts)
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode != 0
    path = repo / "pipeline.ipynb"
    merged = path.read_bytes()
    listed = run(repo, ZUV, "conflicts", "pipeline.ipynb", check=False)
    assert listed.returncode == 1 and "merged line by line (it is not JSON): 1 conflict block" in listed.stdout
    refused = run(repo, ZUV, "resolve", "pipeline.ipynb", side, "--cell", "a", check=False)
    assert refused.returncode == 2 and path.read_bytes() == merged
    run(repo, ZUV, "resolve", "pipeline.ipynb", side)
    assert path.read_text(encoding="utf-8") == texts[version]
    assert run(repo, ZUV, "conflicts", "pipeline.ipynb").returncode == 0
    git(repo, "commit", "-qam", "resolved")
    # Once git has it merged, a file that is no JSON is no longer taken whole.
    path.write_text("<<<<<<< a\nx\n=======\ny\n>>>>>>> b\n", encoding="utf-8")
    assert run(repo, ZUV, "resolve", "pipeline.ipynb", side, check=False).returncode == 3
    assert run(repo, ZUV, "conflicts", "pipeline.ipynb", check=False).returncode == 1
    assert sorted(p.name for p in repo.iterdir()) == [".git", ".gitattributes", "pipeline.ipynb"]


# The command `zuv conflicts` and `show-merge` offer for a line-merged file
# works as printed, whatever the file's name.
@pytest.mark.parametrize("name", ["--", "-h", "--current", "a b.txt"])
def test_whole_side_hint_runs_as_printed(repo, name):
    with open(repo / ".gitattributes", "a") as f:
        f.write("* merge=zuv\n")
    path = repo / name
    for branch, text in [(None, "a\nb\n"), ("feature", "a\nB\n"), ("main", "a\nC\n")]:
        if branch:
            git(repo, "checkout", "-q", *(["-b"] if branch == "feature" else []), branch)
        path.write_text(text)
        git(repo, "add", "-A")
        git(repo, "commit", "-qm", text)
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode != 0
    listed = run(repo, ZUV, "conflicts", "--", name, check=False).stdout.splitlines()
    shown = run(repo, ZUV, "show-merge", "--html", repo.parent / "page.html", "--", name,
                check=False).stderr
    [hint] = [line.split(" (or --incoming)")[0] for line in listed if "takes that side" in line]
    assert f"`{hint.strip().replace('--current', '--current|--incoming', 1)}`" in shown
    env = dict(os.environ, PATH=f"{ZUV.parent}{os.pathsep}{os.environ['PATH']}")
    done = subprocess.run(hint, shell=True, cwd=repo, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert path.read_text() == "a\nC\n"


# A git that cannot give a version (a wrapper exiting 127) fails the diff: it
# must not pass for a deleted notebook, nor for no change at all.
@pytest.mark.parametrize("args", [["HEAD^", "HEAD"], ["HEAD^"], ["--markdown", "HEAD^", "HEAD"]])
def test_revision_diff_fails_when_git_cannot_read_a_version(repo, tmp_path, args):
    commit(repo, jupyter_text(BASE), "base")
    commit(repo, jupyter_text(CONFLICT[1]), "changed")
    (repo / "pipeline.ipynb").write_text(jupyter_text(CONFLICT[2]), encoding="utf-8")
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "git").write_text(f'#!/bin/sh\n[ "$1" = cat-file ] && exit 127\n'
                              f'exec "{shutil.which("git")}" "$@"\n')
    (shim / "git").chmod(0o755)
    env = dict(os.environ, PATH=f"{shim}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run([str(ZUV), "diff", *args], cwd=repo, env=env, capture_output=True,
                            text=True)
    assert result.returncode == 3 and result.stdout == "", result.stdout + result.stderr
    assert "git cat-file failed for HEAD^:pipeline.ipynb (status 127)" in result.stderr


# While a merge is stopped git lists the unmerged notebook once per side.
@pytest.mark.parametrize("args", [[], ["--markdown"]])
def test_revision_diff_shows_an_unmerged_notebook_once(repo, args):
    branches(repo, *(jupyter_text(document) for document in (BASE, *CONFLICT[1:])))
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode == 1
    shown = run(repo, ZUV, "diff", *args).stdout
    headers = [line for line in shown.splitlines() if line.startswith(("notebook diff ", "### "))]
    assert len(headers) == 1, shown


HOSTILE = "print('\x1b[2J\x1b]0;owned\x07')\n"


@pytest.mark.parametrize(
    "command, expected",
    [
        # The external diff command of `git diff`.
        (["diff", "HEAD^", "HEAD"], ["notebook diff a/pipeline.ipynb b/pipeline.ipynb",
                                     "modified cell train  (id b)", "  -model = fit(df)",
                                     "  +model = fit(df, k=2)", "parameters:", '  ~ rate: "0.1" -> "0.2"  (str)',
                                     "added cell report  (id c)", "  +print('\\x1b[2J\\x1b]0;owned\\x07')"]),
        # textconv: log -p and show diff the notebook's text; a parent is called by
        # its cell's name, not by the copy in the reference.
        (["log", "-p", "-1"], ["-    model = fit(df)", "+    model = fit(df, k=2)", "-  rate = \"0.1\"  (str)",
                               "+[code] report  (id c)  <- train", "+    print('\\x1b[2J\\x1b]0;owned\\x07')"]),
        (["show", "HEAD"], ["+    model = fit(df, k=2)", " [code] train  (id b)  <- load"]),
    ],
)
def test_git_diff_log_and_show_read_notebooks(repo, command, expected):
    changed = edit(BASE, "b", 0, "model = fit(df, k=2)\n")
    changed["metadata"]["canvas"]["parameters"][0]["value"] = "0.2"
    changed["cells"].append(cell("c", "report", [HOSTILE], parents=["b"]))
    commit(repo, jupyter_text(BASE), "base")
    commit(repo, jupyter_text(changed), "change")
    output = git(repo, *command).stdout
    lines = output.splitlines()
    for line in expected:
        assert line in lines, output
    assert "\x1b" not in output
    assert "load" not in output.split("diff")[-1].split("modified cell")[0] or command[0] != "diff"


# textconv names a cell without a canvas id by its type and nbformat id, not
# by its place: a cell inserted first shows in `git log -p` as added lines
# alone, every cell still printed in notebook order.
@pytest.mark.parametrize("shape", ["plain-4.4", "plain-4.5", "mixed"])
def test_textconv_prints_plain_cells_by_identity(repo, shape):
    cells = [jcell(["import os\n"], "imp"), jcell(["## Notes\n"], "notes", "markdown"), jcell(["run()\n"], "go")]
    document = jnotebook(cells, minor=4 if shape == "plain-4.4" else 5)
    if shape == "plain-4.4":
        for c in document["cells"]:
            del c["id"]
    if shape == "mixed":
        document = clone(BASE)
        document["cells"][1:1] = cells
    changed = jinsert(document, 0, jcell(["# Title\n"], None if shape == "plain-4.4" else "title", "markdown"))
    commit(repo, jupyter_text(document), "base")
    commit(repo, jupyter_text(changed), "title")
    shown = git(repo, "log", "-p", "-1").stdout
    body = shown.split("\n@@", 1)[1].splitlines()[1:]
    assert [line for line in body if line[:1] in "+-"] == [
        "+[markdown]" + ("" if shape == "plain-4.4" else "  (cell id title)"), "+    # Title", "+"], shown
    text = run(repo, ZUV, "textconv", "pipeline.ipynb").stdout
    sources = [line.strip() for line in text.splitlines() if line.startswith("    ")]
    assert sources == [line.strip() for c in changed["cells"] for line in c["source"]]


def added_in_canvas(document):
    changed = clone(document)
    changed["cells"].append(cell("c", "report", ["report(model)\n"], parents=["b"]))
    return changed


@pytest.mark.parametrize(
    "files, outcome",
    [
        # Both sides added the file: the base is empty, an empty notebook.
        pytest.param({"base": "", "current": BASE, "incoming": added_in_canvas(BASE)}, 0, id="empty-base"),
        # One line of JSON stays one line.
        pytest.param({"base": BASE, "current": CLEAN[1], "incoming": CLEAN[2], "one-line": True}, 0,
                     id="one-line"),
        # git missing for the line merge: a failure, the current file untouched.
        pytest.param({"base": old_format(BASE), "current": old_format(BASE), "incoming": old_format(BASE), "no-git": True},
                     3, id="no-git"),
    ],
)
def test_merge_driver_outside_git(tmp_path, files, outcome):
    paths = {}
    for side in ("base", "current", "incoming"):
        document = files[side]
        text = "" if document == "" else (json.dumps(document) if files.get("one-line") else jupyter_text(document))
        paths[side] = tmp_path / f"{side}.ipynb"
        paths[side].write_text(text, encoding="utf-8")
    before = paths["current"].read_bytes()
    env = dict(os.environ, PATH="/nonexistent") if files.get("no-git") else None
    result = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                             "nb.ipynb"], capture_output=True, text=True, env=env)
    assert result.returncode == outcome, result.stderr
    text = paths["current"].read_text(encoding="utf-8")
    if outcome == 3:
        assert "git is not installed" in result.stderr and paths["current"].read_bytes() == before
        return
    merged = json.loads(text)
    expected = files["incoming"] if files["base"] == "" else edit(CLEAN[2], "a", 1, "df = load(cache=True)\n")
    assert [c["source"] for c in merged["cells"]] == [c["source"] for c in expected["cells"]]
    assert ("\n" in text) != bool(files.get("one-line"))


UNICODE = edit(BASE, "a", 0, "import pandäs  # ünïcode\n")


@pytest.mark.parametrize(
    "layout, newline",
    [
        (dict(indent=1, sort_keys=True, ensure_ascii=False), "\n"),
        (dict(indent=2, ensure_ascii=True), ""),
        (dict(indent="\t", sort_keys=True, ensure_ascii=True), "\n"),
        (dict(separators=(",", ":")), ""),
        (dict(), "\n"),
    ],
)
def test_merged_file_keeps_the_current_layout(tmp_path, layout, newline):
    texts = {"base": UNICODE, "current": edit(UNICODE, "a", 1, "df = load(cache=True)\n"),
             "incoming": edit(UNICODE, "b", 0, "model = fit(df, k=2)\n")}
    paths = {}
    for side, document in texts.items():
        paths[side] = tmp_path / f"{side}.ipynb"
        paths[side].write_text(json.dumps(document, **layout) + newline, encoding="utf-8")
    result = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                             "nb.ipynb"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    text = paths["current"].read_text(encoding="utf-8")
    merged = json.loads(text)
    assert text == json.dumps(merged, **layout) + newline
    assert find(merged["cells"], "b")["source"] == ["model = fit(df, k=2)\n"]
    assert find(merged["cells"], "a")["source"][:2] == ["import pandäs  # ünïcode\n", "df = load(cache=True)\n"]


HOSTILE_TEXT = ["", "plain", '"quoted" \\back\\slash /', "\x00\x01\x08\x09\x0a\x0c\x0d\x1b\x1f\x7f",
                "caf\u00e9 \u00ff\u0100", "\u2028\u2029\ufeff\uffff", "\U0001f600\U0010ffff",
                "\u00e9" * 70 + "\n" * 3, "ascii run then \t tab"]
HOSTILE_NUMBERS = [0, -1, 7, 2 ** 63 - 1, 2 ** 63, -2 ** 63 - 1, 2 ** 64 + 1, -(10 ** 80), 0.0, -0.0, 0.1, 1 / 3, 1e16,
                   1e22, 1.5e-7, 1e-5, 5e-324, 1.7976931348623157e308, 123456789.0, -2.5e-300,
                   float("inf"), float("-inf"), float("nan")]


def hostile(rng, texts, depth=0):
    """A random JSON value: every escape class, floats and ints json writes
    in their own ways, empty and nested containers."""
    roll = rng.random()
    if depth > 5 or roll < 0.45:
        return rng.choice(texts + HOSTILE_NUMBERS + [None, True, False, [], {}])
    if roll < 0.7:
        return [hostile(rng, texts, depth + 1) for _ in range(rng.randint(1, 5))]
    return {rng.choice(texts) + str(k): hostile(rng, texts, depth + 1) for k in range(rng.randint(1, 5))}


@pytest.mark.parametrize("surrogates", [False, True], ids=["text", "lone-surrogates"])
@pytest.mark.parametrize("newline", ["\n", "\r\n", ""], ids=["lf", "crlf", "no-final-newline"])
@pytest.mark.parametrize(
    "layout",
    [dict(indent=1, sort_keys=True, ensure_ascii=False), dict(indent=1, ensure_ascii=True),
     dict(indent=4, sort_keys=True, ensure_ascii=True), dict(indent="\t", ensure_ascii=False),
     dict(indent=0, ensure_ascii=False), dict(separators=(",", ":")), dict(sort_keys=True)],
    ids=["jupyter", "indent1-ascii", "indent4-sorted-ascii", "tab", "indent0", "compact", "one-line-sorted"])
def test_merged_file_is_written_as_json_dumps_writes_it(tmp_path, layout, newline, surrogates):
    """The merged document's bytes are json.dumps' in the current file's
    layout, whatever the cells' outputs and metadata hold; where json.dumps
    cannot write the document as UTF-8 (a lone surrogate with non-ASCII text
    kept as is), the driver fails and leaves the current file as it was."""
    rng = random.Random(f"{sorted(layout.items())}{newline!r}{surrogates}")
    texts = HOSTILE_TEXT + (["\ud800 \udfff", "\udc00\ud800"] if surrogates else [])
    payload = [hostile(rng, texts) for _ in range(40)] + [
        {"b": 1, "a": [[[[{"deep": "\u00e9"}]]]] * 3}, functools.reduce(lambda v, _: [v], range(300), "\u00e9"),
        functools.reduce(lambda v, _: {"k": v}, range(300), "\u00e9")] + (["\udfff lone"] if surrogates else [])
    base = clone(UNICODE)
    find(base["cells"], "b")["outputs"] = [{"output_type": "display_data", "data": {"application/json": payload},
                                            "metadata": {"x": payload[:5]}}]
    base["metadata"]["extra"] = payload[5:15]
    texts = {"base": base, "current": edit(base, "a", 1, "df = load(cache=True)\n"),
             "incoming": edit(base, "b", 0, "model = fit(df, k=2)\n")}
    paths = {}
    for side, document in texts.items():
        paths[side] = tmp_path / f"{side}.ipynb"
        paths[side].write_bytes((json.dumps(document, **layout).replace("\n", newline or "\n") + newline).encode(
            "utf-8", "backslashreplace"))
    before = paths["current"].read_bytes()
    result = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                             "nb.ipynb"], capture_output=True, text=True)
    if surrogates and layout.get("ensure_ascii") is False:
        assert result.returncode == 3 and "surrogates not allowed" in result.stderr, result.stderr
        assert paths["current"].read_bytes() == before
        return
    assert result.returncode == 0, result.stderr
    text = paths["current"].read_bytes().decode("utf-8")
    merged = json.loads(text)
    assert text == json.dumps(merged, **layout).replace("\n", newline or "\n") + newline
    same = functools.partial(json.dumps, sort_keys=True)  # NaN is not equal to itself
    assert same(find(merged["cells"], "b")["outputs"]) == same(find(base["cells"], "b")["outputs"])
    assert same(merged["metadata"]["extra"]) == same(payload[5:15])
    assert find(merged["cells"], "b")["source"] == ["model = fit(df, k=2)\n"]


def generated_json(seed, base=False):
    """A JSON text of every escape, raw UTF-8 of every width, string runs
    across eight-byte words, repeated keys and numbers at the edges of 64
    bits.  The `base` variant has the same shape with other letters in
    strings of the same length: a reader that takes the base version's
    strings where they are equal must not take these."""
    rng = random.Random(seed)
    pieces = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0041", "\\u00e9", "\\u20AC",
              "\\ud83d\\ude00", "\u00e9", "\u20ac", "\U0001f600", "\x7f", "a" * 9, "xyz", ""]
    numbers = ["0", "-0", "123456789012345678", "-123456789012345678", "1234567890123456789",
               "-99999999999999999999", "1.5", "-0.0", "1e5", "1E-5", "2.5e+10", "1e400", "0.1"]

    def string():
        text = "".join(rng.choice(pieces) for _ in range(rng.randrange(12)))
        return '"' + (text.replace("xyz", "xyw").replace("a", "b") if base else text) + '"'

    def value(depth):
        kind = rng.randrange(5 if depth < 4 else 3)
        if kind == 0:
            return string()
        if kind == 1:
            return rng.choice(numbers)
        if kind == 2:
            return rng.choice(["true", "false", "null"])
        if kind == 3:
            return "[" + ", ".join(value(depth + 1) for _ in range(rng.randrange(5))) + "]"
        return "{" + ", ".join(f"{string()}: {value(depth + 1)}" for _ in range(rng.randrange(5))) + "}"

    return "[" + ",\n ".join(value(0) for _ in range(80)) + "]"


# JSON texts the notebook reader must take exactly as json.loads does: values
# placed in a notebook's metadata, and documents that are no JSON.
PARSED_VALUES = {
    "constants": "[NaN, Infinity, -Infinity, -0.0, 1e400, -1e400, 1E-400, 0.1, 5e-324]",
    "big-ints": "[%s, -%s, 18446744073709551617]" % ("9" * 4300, "1" * 400),
    "duplicate-keys": '{"k": 1, "k": [2], "j": 0, "\\u006a": {"x": null}}',
    "escapes": r'["\ud800", "\udfff\ud800", "\ud83d\ude00", "\u0000\b\f\n\r\t\"\\\/", "\u00e9\ud83d", "\u00E9"]',
    "whitespace": '{ \t"a" :\t[ 1 ,\r\n2\n] ,"b":{}\r}',
    "nested": "[" * 200 + '{"x": 1e-7}' + "]" * 200,
    "generated": generated_json(1),
}
# The base (and incoming) version's value where it differs from current's.
BASE_VALUES = {"generated": generated_json(1, base=True)}
NOT_JSON = {
    "extra-data": '{"cells": []} {}',
    "bom": '\ufeff{"cells": []}',
    "truncated": '{"cells": [1, 2',
    "no-value": "  ,",
    "bad-escape": '{"cells": ["\\x"]}',
    "control-character": '{"cells": ["a\tb"]}',
    "lower-case-nan": "[nan]",
    "garbage-after-constant": "NaNx",
    "int-over-the-digit-limit": "[" + "1" * 5000 + "]",
    "single-quotes": "{'cells': []}",
    "trailing-comma": "[1, 2,]",
    "error-deep-inside": "[" * 300 + "1,,",
    "nesting-beyond-the-limit": "[" * 100000,
}


@pytest.mark.parametrize("case", [*PARSED_VALUES, *NOT_JSON])
def test_notebooks_are_read_as_json_loads_reads_them(tmp_path, case):
    """Every command reads a notebook to the value json.loads gives, and
    reports a text that is no JSON with json.loads' exception and message."""
    if case in NOT_JSON:
        text = NOT_JSON[case]
        (tmp_path / "nb.ipynb").write_text(text, encoding="utf-8")
        result = subprocess.run([str(ZUV), "check", "nb.ipynb"], cwd=tmp_path, capture_output=True, text=True)
        with pytest.raises((ValueError, RecursionError)) as raised:
            json.loads(text)
        shown = f"{type(raised.value).__name__}: {raised.value}"
        if isinstance(raised.value, RecursionError):  # a failure to check, not a finding
            assert result.returncode == 3 and f"nb.ipynb: {shown}" in result.stderr, result.stderr
        else:
            assert result.returncode == 1 and f"nb.ipynb: not JSON: {shown}\n" in result.stdout, result
        return
    # The same value in all three versions; incoming changes a cell's source.
    texts = {}
    for side, document in {"base": UNICODE, "current": UNICODE,
                           "incoming": edit(UNICODE, "b", 0, "model = fit(df, k=2)\n")}.items():
        document = clone(document)
        document["metadata"]["extra"] = "@@"
        value = PARSED_VALUES[case] if side == "current" else BASE_VALUES.get(case, PARSED_VALUES[case])
        text = json.dumps(document, indent=1, ensure_ascii=True).replace('"@@"', value)
        texts[side] = " \t " + text + " \t\n\n  " if side == "current" else text + "\n"
        (tmp_path / f"{side}.ipynb").write_text(texts[side], encoding="utf-8", errors="surrogatepass")
    result = subprocess.run([str(ZUV), "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb", "7",
                             "nb.ipynb"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "current.ipynb").read_text(encoding="utf-8")
    merged = json.loads(text)
    # A text with raw non-ASCII characters is written back with them.
    assert text == json.dumps(merged, indent=1, ensure_ascii=texts["current"].isascii()) + "\n"
    # json.dumps tells NaN, -0.0, key order and surrogates apart where == does not.
    assert json.dumps(merged["metadata"]) == json.dumps(json.loads(texts["current"])["metadata"])
    assert find(merged["cells"], "b")["source"] == ["model = fit(df, k=2)\n"]


def test_comments_colours_and_renames_show_in_git_diff_and_log(repo):
    """A commit that only adds a comment, changes a header colour or renames
    a cell shows what changed, in `git diff` (the notebook diff) and in
    `git log -p` (textconv)."""
    changed = clone(BASE)
    canvas(find(changed["cells"], "a"))["comments"] = ["check the <units>", {"author": "kim", "text": "ok"}]
    canvas(find(changed["cells"], "a"))["headerColor"] = "#ff0000"
    canvas(find(changed["cells"], "b"))["name"] = "fit_model"
    commit(repo, jupyter_text(BASE), "base")
    commit(repo, jupyter_text(changed), "comments")
    shown = git(repo, "diff", "HEAD^", "HEAD").stdout.splitlines()
    for line in ["modified cell load  (id a)", "  comment added: check the <units>",
                 '  comment added: {"author": "kim", "text": "ok"}', "  header colour: none -> #ff0000",
                 "modified cell fit_model  (id b)", "  renamed from train"]:
        assert line in shown
    log = git(repo, "log", "-p", "-1").stdout.splitlines()
    assert "+  comment: check the <units>" in log and '+  comment: {"author": "kim", "text": "ok"}' in log
    assert "+  header colour: #ff0000" in log


def jcell(source, cid=None, kind="code", outputs=(), count=None):
    """A cell as stock Jupyter writes it (an nbformat id only from 4.5 on)."""
    made = {"cell_type": kind, "metadata": {}, "source": list(source)}
    if cid:
        made["id"] = cid
    if kind == "code":
        made.update(outputs=list(outputs), execution_count=count)
    return made


def jnotebook(cells, minor=5):
    return {"cells": cells, "metadata": {"kernelspec": {"display_name": "Python 3", "language": "python",
                                                        "name": "python3"}, "language_info": {"name": "python"}},
            "nbformat": 4, "nbformat_minor": minor}


def stream(text):
    return {"name": "stdout", "output_type": "stream", "text": [text]}


LINES = ["a = 1\n", "b = 2\n", "c = 3\n", "d = 4\n"]
IDS = jnotebook([jcell(["# Title\n"], "t", "markdown"), jcell(LINES, "x"), jcell(["print(a)\n"], "y", count=1,
                                                                                   outputs=[stream("1\n")])])
NO_IDS = jnotebook([jcell(LINES), jcell(["print(a)\n"]), jcell(["print(b)\n", "print(c)\n"])], minor=4)


def jedit(document, index, line, text):
    changed = clone(document)
    changed["cells"][index]["source"][line] = text
    return changed


def jinsert(document, index, new):
    changed = clone(document)
    changed["cells"].insert(index, new)
    return changed


def jdelete(document, index):
    changed = clone(document)
    del changed["cells"][index]
    return changed


def rerun(document, index, text, count):
    changed = clone(document)
    changed["cells"][index].update(outputs=[stream(text)], execution_count=count)
    return changed


MD = {"cell_type": "markdown", "id": "jupyter-md", "metadata": {}, "source": ["## Notes from Jupyter\n"]}


@pytest.mark.parametrize(
    "base, current, incoming, conflict, expected",
    [
        # nbformat 4.5: cells matched by their ids.
        pytest.param(IDS, jedit(IDS, 1, 0, "a = 10\n"), jinsert(jedit(IDS, 1, 3, "d = 40\n"), 2, jcell(["new()\n"], "n")),
                     False, [["# Title\n"], ["a = 10\n", "b = 2\n", "c = 3\n", "d = 40\n"], ["new()\n"], ["print(a)\n"]],
                     id="4.5-clean"),
        pytest.param(IDS, jedit(IDS, 1, 1, "b = 'mine'\n"), jedit(IDS, 1, 1, "b = 'theirs'\n"), True,
                     ["b = 'mine'\n", "b = 'theirs'\n", "<<<<<<< pipeline.ipynb-current\n"], id="4.5-conflict"),
        # nbformat 4.4 without ids: one cell edited on both sides in different
        # lines stays one cell; insertions on one side do not shift the match.
        pytest.param(NO_IDS, jedit(NO_IDS, 0, 0, "a = 10\n"), jedit(NO_IDS, 0, 3, "d = 40\n"), False,
                     [["a = 10\n", "b = 2\n", "c = 3\n", "d = 40\n"], ["print(a)\n"], ["print(b)\n", "print(c)\n"]],
                     id="4.4-same-cell"),
        pytest.param(NO_IDS, jinsert(jinsert(jedit(NO_IDS, 0, 0, "a = 10\n"), 1, jcell(["mine()\n"])), 0,
                                     jcell(["top()\n"])),
                     jinsert(jedit(jedit(NO_IDS, 2, 1, "print(c + 1)\n"), 0, 3, "d = 40\n"), 2, jcell(["theirs()\n"])),
                     False, [["top()\n"], ["a = 10\n", "b = 2\n", "c = 3\n", "d = 40\n"], ["mine()\n"], ["print(a)\n"],
                             ["theirs()\n"], ["print(b)\n", "print(c + 1)\n"]], id="4.4-insert-vs-edit"),
        # The same cell added on both sides (a cherry-picked commit) stays one cell.
        pytest.param(NO_IDS, jinsert(NO_IDS, 3, jcell(["shared()\n"])),
                     jinsert(jedit(NO_IDS, 1, 0, "print(a + 1)\n"), 3, jcell(["shared()\n"])), False,
                     [LINES, ["print(a + 1)\n"], ["print(b)\n", "print(c)\n"], ["shared()\n"]],
                     id="4.4-added-on-both"),
        # A pipeline notebook with a markdown cell added in stock Jupyter.
        pytest.param(BASE, edit(BASE, "a", 1, "df = load(cache=True)\n"), jinsert(BASE, 1, MD), False,
                     [BASE["cells"][0]["source"][:1] + ["df = load(cache=True)\n"] + BASE["cells"][0]["source"][2:],
                      MD["source"], BASE["cells"][1]["source"]], id="pipeline-plus-jupyter-cell"),
        pytest.param(BASE, jinsert(BASE, 2, MD), edit(BASE, "b", 0, "model = fit(df, k=3)\n"), False,
                     [BASE["cells"][0]["source"], ["model = fit(df, k=3)\n"], MD["source"]],
                     id="pipeline-plus-jupyter-cell-on-current"),
        pytest.param(BASE, jinsert(CONFLICT[1], 2, MD), CONFLICT[2], True,
                     ["x = 'mine'\n", "x = 'theirs'\n", "## Notes from Jupyter\n"], id="pipeline-conflict-plus-jupyter-cell"),
        pytest.param(BASE, CONFLICT[1], jinsert(CONFLICT[2], 0, MD), True,
                     ["x = 'mine'\n", "x = 'theirs'\n", "## Notes from Jupyter\n"],
                     id="pipeline-conflict-plus-jupyter-cell-on-incoming"),
        # Changed on one side, deleted on the other: kept, marked.
        pytest.param(IDS, jdelete(IDS, 1), jedit(IDS, 1, 2, "c = 30\n"), True,
                     ["# <<<<<<< zuv: changed by incoming, deleted by current\n", "c = 30\n"], id="changed-vs-deleted"),
        # Both sides re-ran a cell: current's outputs kept, marked.
        pytest.param(IDS, rerun(IDS, 2, "mine\n", 2), rerun(IDS, 2, "theirs\n", 3), True,
                     ["# <<<<<<< zuv: changed by both, current's kept: outputs\n", "mine\n"], id="outputs"),
    ],
)
@pytest.mark.parametrize("operation", ["merge", "rebase", "cherry-pick"])
def test_git_merges_stock_jupyter_notebooks_cell_by_cell(repo, operation, base, current, incoming, conflict,
                                                         expected):
    nbformat = pytest.importorskip("nbformat")
    branches(repo, jupyter_text(base), jupyter_text(current), jupyter_text(incoming))
    # Each operation replays feature's change onto main's: main's side is
    # the current version, feature's the incoming one.
    if operation == "merge":
        result = git(repo, "merge", "--no-edit", "feature", check=False)
    elif operation == "rebase":
        git(repo, "checkout", "-q", "feature")
        result = git(repo, "rebase", "main", check=False)
    else:
        result = git(repo, "cherry-pick", "feature", check=False)
    output = result.stdout + result.stderr
    assert "merged line by line" not in output
    text = (repo / "pipeline.ipynb").read_text(encoding="utf-8")
    merged = json.loads(text)
    assert text == jupyter_text(merged)  # the current file's layout
    nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
    assert all(("id" in c) == (merged["nbformat_minor"] >= 5) for c in merged["cells"])
    if not conflict:
        assert result.returncode == 0, output
        assert [c["source"] for c in merged["cells"]] == expected
        return
    assert result.returncode != 0 and "CONFLICT" in output
    lines = [line for c in merged["cells"] for line in c["source"]] + [
        t for c in merged["cells"] for o in c.get("outputs", []) for t in o.get("text", [])]
    for line in expected:
        assert line in lines
    # Every conflict is listed, and resolving them all leaves a valid notebook.
    listed = run(repo, ZUV, "conflicts", "pipeline.ipynb", check=False)
    assert listed.returncode == 1 and "no conflicts" not in listed.stdout
    # The page draws the conflicting cell as one, plain cells included.
    page = repo.parent / "merge.html"
    assert run(repo, ZUV, "show-merge", "--html", page, "pipeline.ipynb", check=False).returncode == 1
    assert "in conflict</span>" in page.read_text(encoding="utf-8")
    # A plain cell is chosen by its nbformat id, the rest all at once.
    for c in merged["cells"]:
        if "canvas" not in c["metadata"] and "id" in c and any("<<<<<<<" in line for line in c["source"]):
            chosen = run(repo, ZUV, "resolve", "pipeline.ipynb", "--incoming", "--cell", c["id"], check=False)
            assert chosen.returncode in (0, 1) and "resolved: " in chosen.stdout, chosen.stdout + chosen.stderr
    run(repo, ZUV, "resolve", "pipeline.ipynb", "--incoming", "--all")
    text = (repo / "pipeline.ipynb").read_text(encoding="utf-8")
    nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
    assert "<<<<<<<" not in text
    assert "no conflicts" in run(repo, ZUV, "conflicts", "pipeline.ipynb").stdout
    git(repo, "add", "pipeline.ipynb")
    if operation == "rebase":
        git(repo, "-c", "core.editor=true", "rebase", "--continue")
    else:  # keeping current's outputs may leave a cherry-pick with no change
        git(repo, "commit", "-q", "--allow-empty", "-m", "merged")
    assert git(repo, "status", "--porcelain").stdout == ""
    committed = git(repo, "show", "HEAD:pipeline.ipynb").stdout
    nbformat.validate(nbformat.reads(committed, as_version=nbformat.NO_CONVERT))


def retyped(document, index, kind):
    changed = clone(document)
    target = changed["cells"][index]
    target["cell_type"] = kind
    if kind != "code":
        target.pop("outputs", None), target.pop("execution_count", None)
    return changed


def with_metadata(document, index, **entries):
    changed = clone(document)
    (changed["cells"][index]["metadata"] if index is not None else changed["metadata"]).update(entries)
    return changed


@pytest.mark.parametrize(
    "current, incoming, status, expected",
    [
        # cell_type changed differently on both sides: both cells, current's first, marked.
        (retyped(IDS, 1, "markdown"), retyped(IDS, 1, "raw"), 1,
         [("markdown", "# Title\n"), ("markdown", "# <<<<<<< zuv: cell type changed by both, current's version\n"),
          ("raw", "# <<<<<<< zuv: cell type changed by both, incoming's version\n"), ("code", "print(a)\n")]),
        # Added on both sides under one id, differently: both, marked.
        (jinsert(IDS, 3, jcell(["mine()\n"], "n")), jinsert(IDS, 3, jcell(["theirs()\n"], "n")), 1,
         [("markdown", "# Title\n"), ("code", "a = 1\n"), ("code", "print(a)\n"),
          ("code", "# <<<<<<< zuv: added by both, current's version\n"),
          ("code", "# <<<<<<< zuv: added by both, incoming's version\n")]),
        # Deleted on one side, unchanged on the other; a metadata key changed
        # on one side each.
        (with_metadata(jdelete(IDS, 0), 0, tags=["mine"]), with_metadata(IDS, 1, collapsed=True), 0,
         [("code", "a = 1\n"), ("code", "print(a)\n")]),
        # One metadata key changed differently on both sides: current's, marked;
        # notebook metadata likewise (named on stderr, and a marked cell first
        # that carries incoming's values).
        (with_metadata(with_metadata(IDS, 1, tags=["mine"], collapsed=True), None, author="me",
                       kernelspec={"name": "mine", "display_name": "Python 3", "language": "python"}),
         with_metadata(with_metadata(IDS, 1, tags=["theirs"], scrolled=True), None, author="you",
                       kernelspec={"name": "theirs", "display_name": "Theirs", "language": "python"}), 1,
         [("markdown", "# <<<<<<< zuv: notebook metadata changed by both, current's kept: author, kernelspec.name\n"),
          ("markdown", "# Title\n"), ("code", "# <<<<<<< zuv: changed by both, current's kept: metadata.tags\n"),
          ("code", "print(a)\n")]),
    ],
    ids=["cell-type", "added-both-one-id", "deleted-unchanged", "metadata"],
)
def test_merge_driver_plain_cell_rules(tmp_path, current, incoming, status, expected):
    nbformat = pytest.importorskip("nbformat")
    paths = {}
    for side, document in (("base", IDS), ("current", current), ("incoming", incoming)):
        paths[side] = tmp_path / f"{side}.ipynb"
        paths[side].write_text(jupyter_text(document), encoding="utf-8")
    result = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                             "nb.ipynb"], capture_output=True, text=True)
    assert result.returncode == status, result.stderr
    text = paths["current"].read_text(encoding="utf-8")
    nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
    merged = json.loads(text)
    assert [(c["cell_type"], c["source"][0]) for c in merged["cells"]] == expected
    ids = [c["id"] for c in merged["cells"]]
    assert len(set(ids)) == len(ids)
    if "metadata.tags" in str(expected):
        assert merged["cells"][2]["metadata"] == {"tags": ["mine"], "collapsed": True, "scrolled": True}
        assert merged["metadata"]["author"] == "me" and "current's kept: author" in result.stderr
        assert merged["metadata"]["kernelspec"] == {"name": "mine", "display_name": "Theirs", "language": "python"}
        # Listed, and resolved to either side, the notebook staying valid.
        listed = subprocess.run([str(ZUV), "conflicts", paths["current"]], capture_output=True, text=True)
        assert listed.returncode == 1 and "notebook metadata changed by both" in listed.stdout
        for side, author, kernel in (("--current", "me", "mine"), ("--incoming", "you", "theirs")):
            copy = tmp_path / f"resolved{side}.ipynb"
            copy.write_text(text, encoding="utf-8")
            subprocess.run([str(ZUV), "resolve", copy, side, "--all"], check=True, capture_output=True)
            resolved = json.loads(copy.read_text(encoding="utf-8"))
            nbformat.validate(nbformat.reads(copy.read_text(encoding="utf-8"), as_version=nbformat.NO_CONVERT))
            assert resolved["metadata"]["author"] == author and resolved["metadata"]["kernelspec"]["name"] == kernel
            assert [c["source"][0] for c in resolved["cells"]] == ["# Title\n", "a = 1\n", "print(a)\n"]
    if status == 0:
        assert merged["cells"][0]["metadata"] == {"tags": ["mine"], "collapsed": True}


def git_shim(folder, merge_file):
    """An environment whose `git` runs the shell text `merge_file` for
    `git merge-file` and the real git for anything else."""
    folder.mkdir(exist_ok=True)
    shim = folder / "git"
    shim.write_text(f'#!/bin/sh\nif [ "$1" = merge-file ]; then\n{merge_file}\nfi\nexec "{shutil.which("git")}" "$@"\n')
    shim.chmod(0o755)
    temp = folder / "tmp"
    temp.mkdir(exist_ok=True)
    return dict(os.environ, PATH=f"{folder}{os.pathsep}{os.environ['PATH']}", TMPDIR=str(temp))


def process_route(env):
    """`env` with cell sources merged by `git merge-file` (the shim) rather
    than in memory."""
    return dict(env, GIT_CONFIG_COUNT="1", GIT_CONFIG_KEY_0="zuv.sourceMerge",
                GIT_CONFIG_VALUE_0="process")


def driver_files(tmp_path, route):
    """base, current, incoming for the line merge (a format the cell merge
    does not take), the cell merge (no canvas metadata) or the pipeline
    merge, with a source merged on both sides."""
    base, current, incoming = BASE, edit(BASE, "a", 0, "import polars\n"), edit(BASE, "a", 4, "z = 30\n")
    shape = {"line": old_format, "cells": plain, "pipeline": clone}[route]
    base, current, incoming = shape(base), shape(current), shape(incoming)
    paths = []
    for side, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths.append(tmp_path / f"{side}.ipynb")
        paths[-1].write_text(jupyter_text(document), encoding="utf-8")
    return paths


# A git that cannot run (126, 127), refuses (2), reports conflicts it did not
# write (1) or writes nothing at all (0; in a source merge that leaves the
# current source, a clean result): the current file stays as it was.
@pytest.mark.parametrize("route, status", [(route, status) for route in ("line", "cells", "pipeline")
                                           for status in (127, 126, 2, 1, 0) if (route, status) != ("pipeline", 0)
                                           and (route, status) != ("cells", 0)])
def test_a_failing_git_never_writes(tmp_path, route, status):
    merge_file = f"exit {status}"
    env = process_route(git_shim(tmp_path / "bin", merge_file))
    base, current, incoming = driver_files(tmp_path, route)
    before = current.read_bytes()
    result = subprocess.run([str(ZUV), "merge-driver", base, current, incoming, "7", "nb.ipynb"],
                            capture_output=True, text=True, env=env)
    assert result.returncode == 3, result.stderr
    assert current.read_bytes() == before
    [error] = [line for line in result.stderr.splitlines() if ": error: " in line]
    assert "git merge-file " in error and f"(status {status})" in error and "nb.ipynb left as it was" in error
    assert os.listdir(env["TMPDIR"]) == []


# git passes %P as it is: a top-level file may be named like an option.
@pytest.mark.parametrize("name", ["-draft.ipynb", "-h", "--help", "--"])
def test_paths_are_never_options(repo, name):
    with open(repo / ".gitattributes", "a") as f:
        f.write("* merge=zuv diff=zuv\n")
    commit(repo, jupyter_text(BASE), "base", name=name)
    git(repo, "checkout", "-q", "-b", "feature")
    commit(repo, jupyter_text(CLEAN[2]), "incoming", name=name)
    git(repo, "checkout", "-q", "main")
    commit(repo, jupyter_text(CLEAN[1]), "current", name=name)
    result = git(repo, "merge", "--no-edit", "feature", check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    merged = json.loads((repo / name).read_text(encoding="utf-8"))
    assert find(merged["cells"], "a")["source"][1] == "df = load(cache=True)\n"
    assert find(merged["cells"], "b")["source"] == ["model = fit(df, k=2)\n"]
    shown = git(repo, "diff", "HEAD^1", "HEAD", "--", name).stdout.splitlines()
    assert shown[:2] == [f"notebook diff a/{name} b/{name}", "modified cell train  (id b)"]
    # A conflict is marked, and the mergetool resolves it by that name.
    git(repo, "checkout", "-q", "feature")
    commit(repo, jupyter_text(edit(json.loads((repo / name).read_text()), "a", 2, "x = 'theirs'\n")), "theirs",
           name=name)
    git(repo, "checkout", "-q", "main")
    commit(repo, jupyter_text(edit(merged, "a", 2, "x = 'mine'\n")), "mine", name=name)
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode == 1
    assert f"<<<<<<< {name}-current" in (repo / name).read_text(encoding="utf-8")
    git(repo, "-c", "mergetool.keepBackup=false", "mergetool", "--tool=zuv-incoming", "--no-prompt")
    assert find(json.loads((repo / name).read_text())["cells"], "a")["source"][2] == "x = 'theirs'\n"
    # git converts the work-tree file with `zuv textconv NAME`, a lone "-h" included.
    (repo / name).write_text(jupyter_text(edit(json.loads((repo / name).read_text()), "a", 0, "import modin\n")))
    shown = git(repo, "diff", "--no-ext-diff", "--", name).stdout
    assert "+    import modin" in shown and "usage:" not in shown


# The external diff command gets nine arguments for a rename or copy; a mode
# change alone is news too, and every later file is still shown.
@pytest.mark.parametrize("change", ["rename", "rename-and-edit", "copy"])
def test_git_diff_shows_renames_copies_and_modes(repo, change):
    for name in ("pipeline.ipynb", "tool.ipynb", "z-last.ipynb"):
        commit(repo, jupyter_text(BASE), "base", name=name)
    edited = edit(BASE, "b", 0, "model = fit(df, k=2)\n")
    if change == "copy":
        (repo / "copied.ipynb").write_text(jupyter_text(edited), encoding="utf-8")
    else:
        git(repo, "mv", "pipeline.ipynb", "copied.ipynb")
        if change == "rename-and-edit":
            (repo / "copied.ipynb").write_text(jupyter_text(edited), encoding="utf-8")
    (repo / "tool.ipynb").chmod(0o755)
    (repo / "z-last.ipynb").write_text(jupyter_text(edit(BASE, "a", 0, "import polars\n")), encoding="utf-8")
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", change)
    find_copies = ["-C", "--find-copies-harder"] if change == "copy" else ["-M"]
    lines = git(repo, "diff", *find_copies, "HEAD^", "HEAD").stdout.splitlines()
    verb = "copy" if change == "copy" else "rename"
    start = lines.index("notebook diff a/pipeline.ipynb b/copied.ipynb")
    assert lines[start + 2:start + 4] == [f"{verb} from pipeline.ipynb", f"{verb} to copied.ipynb"]
    assert ("  +model = fit(df, k=2)" in lines) == (change != "rename")
    start = lines.index("notebook diff a/tool.ipynb b/tool.ipynb")
    assert lines[start + 1:start + 3] == ["old mode 100644", "new mode 100755"]
    assert "notebook diff a/z-last.ipynb b/z-last.ipynb" in lines and "  +import polars" in lines


# A signal while git merges, in a cell's source merge or the line merge: the
# working directory of cell sources goes, the current file stays, and the
# status tells the signal (128 + its number, as zuvmerge; an interrupt is a
# failure, 3).
@pytest.mark.parametrize("route", ["pipeline", "cells", "line"])
@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 3)])
def test_signals_during_merges_leave_nothing_behind(tmp_path, route, signum, status):
    started = tmp_path / "git-started"
    env = process_route(git_shim(tmp_path / "bin", f'touch "{started}"; sleep 2'))
    base, current, incoming = driver_files(tmp_path, route)
    before = current.read_bytes()
    process = subprocess.Popen([str(ZUV), "merge-driver", base, current, incoming, "7", "nb.ipynb"],
                               stderr=subprocess.PIPE, text=True, env=env)
    deadline = time.monotonic() + 30
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    process.send_signal(signum)
    stderr = process.communicate(timeout=60)[1]
    assert process.returncode == status, stderr
    assert os.listdir(env["TMPDIR"]) == [] and current.read_bytes() == before


# A notebook saved with CRLF line ends keeps them through a merge and through
# `zuv resolve`: only the merged lines change.
@pytest.mark.parametrize("outcome", ["clean", "resolved"])
def test_crlf_notebooks_keep_their_line_ends(tmp_path, outcome):
    current, incoming = (CLEAN if outcome == "clean" else CONFLICT)[1:]
    paths = {}
    for side, document in (("base", BASE), ("current", current), ("incoming", incoming)):
        paths[side] = tmp_path / f"{side}.ipynb"
        paths[side].write_bytes(jupyter_text(document).replace("\n", "\r\n").encode())
    result = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                             "nb.ipynb"], capture_output=True, text=True)
    assert result.returncode == (0 if outcome == "clean" else 1), result.stderr
    if outcome == "resolved":
        result = run(tmp_path, ZUV, "resolve", paths["current"], "--incoming", "--all")
    merged = paths["current"].read_bytes().decode()
    assert "\n" not in merged.replace("\r\n", "") and merged.endswith("}\r\n")
    expected = jupyter_text(json.loads(merged)).replace("\n", "\r\n")
    assert merged == expected
    if outcome == "resolved":
        assert find(json.loads(merged)["cells"], "a")["source"][2] == "x = 'theirs'\n"


@pytest.mark.parametrize(
    "arguments, status, shown",
    [
        # Work tree against the index: only the unstaged edit of "-dash".
        (["--exit-code"], 1, {"-dash.ipynb"}),
        (["--exit-code", "--", "pipeline.ipynb"], 0, set()),
        # Work tree against a revision: the staged edit too; a deleted notebook.
        (["HEAD"], 0, {"pipeline.ipynb", "-dash.ipynb"}),
        (["--exit-code", "HEAD~1"], 1, {"pipeline.ipynb", "-dash.ipynb", "gone.ipynb"}),
        # Two revisions, limited to a path starting with "-".
        (["--exit-code", "HEAD~1", "HEAD", "--", "-dash.ipynb"], 0, set()),
        (["--exit-code", "HEAD~1", "HEAD"], 1, {"gone.ipynb"}),
        (["--exit-code", "HEAD~1...HEAD"], 1, {"gone.ipynb"}),
        (["HEAD~1..", "--", "../-dash.ipynb"], 0, set()),
        # Paths are read from the current directory (a subdirectory here).
        (["HEAD~1", "HEAD", "--", "../gone.ipynb"], 0, {"gone.ipynb"}),
    ],
)
def test_diff_across_revisions(repo, arguments, status, shown):
    commit(repo, jupyter_text(BASE), "base")
    (repo / "-dash.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    (repo / "gone.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    (repo / "notes.txt").write_text("a\n", encoding="utf-8")
    commit(repo, jupyter_text(BASE), "more")
    (repo / "gone.ipynb").unlink()
    (repo / "notes.txt").write_text("b\n", encoding="utf-8")
    commit(repo, jupyter_text(BASE), "delete")
    commit(repo, jupyter_text(edit(BASE, "b", 0, "model = fit(df, staged)\n")), "-")
    git(repo, "reset", "-q", "--soft", "HEAD~1")
    (repo / "-dash.ipynb").write_text(jupyter_text(edit(BASE, "a", 1, "df = unstaged()\n")))
    (repo / "sub").mkdir()
    result = run(repo / "sub", ZUV, "diff", "--color=never", *arguments, check=False)
    assert result.returncode == status, result.stdout + result.stderr
    headers = [line for line in result.stdout.splitlines() if line.startswith("notebook diff")]
    names = {h.split()[-1].removeprefix("b/") for h in headers}
    names |= {h.split()[-2].removeprefix("a/") for h in headers}
    assert names - {"/dev/null"} == shown, result.stdout
    assert "notes.txt" not in result.stdout
    if "-dash.ipynb" in shown:
        assert "  +df = unstaged()" in result.stdout.splitlines()
    if "pipeline.ipynb" in shown:
        assert "  +model = fit(df, staged)" in result.stdout.splitlines()
    if "gone.ipynb" in shown:
        assert "notebook diff a/gone.ipynb /dev/null" in headers


@pytest.mark.parametrize(
    "arguments, status, subtitle",
    [
        (["HEAD~1", "HEAD", "--", "second.ipynb"], 1, "HEAD~1:second.ipynb → HEAD:second.ipynb"),
        (["HEAD"], 1, "HEAD:pipeline.ipynb → pipeline.ipynb"),
        # Two notebooks changed: a section each, each page in a frame of its own.
        (["HEAD~1", "HEAD"], 1, ["HEAD~1:pipeline.ipynb → HEAD:pipeline.ipynb",
                                 "HEAD~1:second.ipynb → HEAD:second.ipynb"]),
        (["HEAD", "--", "second.ipynb"], 0, None),  # nothing changed: no page
    ],
)
def test_diff_page_across_revisions(repo, arguments, status, subtitle):
    commit(repo, jupyter_text(BASE), "base")
    (repo / "second.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    commit(repo, jupyter_text(edit(BASE, "b", 0, "model = fit(df, k=3)\n")), "two")
    (repo / "pipeline.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    page = repo.parent / "page.html"
    result = run(repo, ZUV, "diff", "--exit-code", "--html", page, *arguments, check=False)
    assert result.returncode == status, result.stderr
    assert page.exists() == (subtitle is not None)
    if isinstance(subtitle, str):
        assert subtitle in page.read_text(encoding="utf-8")
    elif subtitle:
        from browser import Dom, load
        dom, console = load(page)
        frames = Dom(dom).having("iframe")
        assert [f["title"] for f in frames] == ["pipeline.ipynb", "second.ipynb"]
        for frame, expected in zip(frames, subtitle):
            assert expected in frame["srcdoc"]
        # Each frame's script runs under the page's content security policy.
        assert not [line for line in console if "Refused" in line or "Error" in line], console


def test_difftool_writes_a_page_per_notebook(repo, monkeypatch):
    monkeypatch.delenv("BROWSER", raising=False)
    commit(repo, jupyter_text(BASE), "base")
    (repo / "sub").mkdir()
    (repo / "sub" / "second.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    (repo / "notes.txt").write_text("old note\n", encoding="utf-8")
    commit(repo, jupyter_text(edit(BASE, "b", 0, "model = fit(df, k=3)\n")), "two")
    result = git(repo, "difftool", "-y", "-t", "zuv", "HEAD~1", "HEAD", "--", "*.ipynb")
    pages = repo / ".git" / "zuv-pages"
    expected = [f"pipeline.ipynb: {pages / 'pipeline.ipynb.html'}",
                f"sub/second.ipynb: {pages / 'sub~second.ipynb.html'}"]
    assert sorted(result.stdout.splitlines()) == expected
    # Without a path limit git hands over every changed file: a text file
    # gets git's plain diff, not an error for not being a notebook.
    (repo / "notes.txt").write_text("new note\n", encoding="utf-8")
    result = git(repo, "difftool", "-y", "-t", "zuv")
    assert "-old note\n+new note\n" in result.stdout and result.stderr == ""
    git(repo, "checkout", "-q", "notes.txt")
    assert "b/pipeline.ipynb" in (pages / "pipeline.ipynb.html").read_text(encoding="utf-8")
    # With a browser configured, git's launcher opens each page.
    opened = repo.parent / "opened.txt"
    shim = repo.parent / "browser.sh"
    shim.write_text(f'#!/bin/sh\necho "$@" >> {opened}\n')
    shim.chmod(0o755)
    git(repo, "config", "web.browser", "shim")
    git(repo, "config", "browser.shim.cmd", str(shim))
    git(repo, "difftool", "-y", "-t", "zuv", "HEAD~1", "HEAD", "--", "pipeline.ipynb")
    assert opened.read_text().split() == [str(pages / "pipeline.ipynb.html")]
    # -x runs the given command on the two sides, not the text diff driver.
    shown = git(repo, "difftool", "-y", "-x", "echo TOOL", "HEAD~1", "HEAD", "--", "pipeline.ipynb")
    assert shown.stdout.startswith("TOOL ") and "notebook diff" not in shown.stdout
    assert git(repo, "status", "--porcelain").stdout == ""
