"""`zuv` under the real git: setup, merges, diffs and text conversion."""
import json
import os
import shutil
import subprocess
import sys
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
        # Anything else: git's line merge, with the reason on stderr.
        pytest.param(plain(BASE), plain(CLEAN[1]), plain(CLEAN[2]), "clean", "no canvas metadata",
                     id="plain-clean"),
        pytest.param(plain(BASE), plain(CONFLICT[1]), plain(CONFLICT[2]), "conflict",
                     "no canvas metadata", id="plain-conflict"),
        pytest.param(BASE, CLEAN[1], added_in_jupyter(CLEAN[2]), "clean", "a cell without a canvas id",
                     id="cell-added-in-jupyter"),
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
        if reason == "a cell without a canvas id":
            assert sources["jupyter-new"] == ["print('new')\n"]
        # Only the merged edits, plus in a pipeline merge the parent reference
        # the merge rewrites to its id ('"id": "a",' loses its comma, the name
        # line goes).
        stat = git(repo, "diff", "--numstat", "HEAD^1", "HEAD", "--", "pipeline.ipynb").stdout.split()
        added_lines = len(jupyter_text(incoming).splitlines()) - len(jupyter_text(base).splitlines())
        expected = (1 + added_lines, 1) if reason else (2, 3)
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


def test_line_merge_keeps_the_users_conflict_style(repo):
    git(repo, "config", "merge.conflictStyle", "diff3")
    branches(repo, jupyter_text(plain(BASE)), jupyter_text(plain(CONFLICT[1])),
             jupyter_text(plain(CONFLICT[2])))
    assert git(repo, "merge", "--no-edit", "feature", check=False).returncode != 0
    text = (repo / "pipeline.ipynb").read_text()
    assert "||||||| pipeline.ipynb-base" in text and '"x = 1\\n",' in text


HOSTILE = "print('\x1b[2J\x1b]0;owned\x07')\n"


@pytest.mark.parametrize(
    "command, expected",
    [
        # The external diff command of `git diff`.
        (["diff", "HEAD^", "HEAD"], ["notebook diff a/pipeline.ipynb b/pipeline.ipynb",
                                     "modified cell train  (id b)", "  -model = fit(df)",
                                     "  +model = fit(df, k=2)", "parameters:", '  ~ rate: "0.1" -> "0.2"  (str)',
                                     "added cell report  (id c)", "  +print('\\x1b[2J\\x1b]0;owned\\x07')"]),
        # textconv: log -p and show diff the notebook's text.
        (["log", "-p", "-1"], ["-    model = fit(df)", "+    model = fit(df, k=2)", "-  rate = \"0.1\"  (str)",
                               "+[code] report  (id c)  <- name-of-b", "+    print('\\x1b[2J\\x1b]0;owned\\x07')"]),
        (["show", "HEAD"], ["+    model = fit(df, k=2)", " [code] train  (id b)  <- name-of-a"]),
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
        pytest.param({"base": plain(BASE), "current": plain(BASE), "incoming": plain(BASE), "no-git": True},
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
        (["HEAD~1", "HEAD"], 2, None),  # two notebooks changed: one page cannot hold both
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
    if subtitle:
        assert subtitle in page.read_text(encoding="utf-8")
    if status == 2:
        assert "  pipeline.ipynb\n  second.ipynb" in result.stderr


def test_difftool_writes_a_page_per_notebook(repo, monkeypatch):
    monkeypatch.delenv("BROWSER", raising=False)
    commit(repo, jupyter_text(BASE), "base")
    (repo / "sub").mkdir()
    (repo / "sub" / "second.ipynb").write_text(jupyter_text(BASE), encoding="utf-8")
    commit(repo, jupyter_text(edit(BASE, "b", 0, "model = fit(df, k=3)\n")), "two")
    result = git(repo, "difftool", "-y", "-t", "zuv", "HEAD~1", "HEAD", "--", "*.ipynb")
    pages = repo / ".git" / "zuv-pages"
    expected = [f"pipeline.ipynb: {pages / 'pipeline.ipynb.html'}",
                f"sub/second.ipynb: {pages / 'sub~second.ipynb.html'}"]
    assert sorted(result.stdout.splitlines()) == expected
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
