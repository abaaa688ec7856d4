"""`zuv` under the real git: setup, merges, diffs and text conversion."""
import json
import os
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
            assert "conflicts remain in pipeline.ipynb: cells 0, parameters 0, source blocks 1" in output
            assert text == jupyter_text(json.loads(text))


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


def driver_files(tmp_path, route):
    """base, current, incoming for the line merge (no canvas metadata) or the
    pipeline merge with a source merged on both sides."""
    base, current, incoming = BASE, edit(BASE, "a", 0, "import polars\n"), edit(BASE, "a", 4, "z = 30\n")
    if route == "line":
        base, current, incoming = plain(base), plain(current), plain(incoming)
    paths = []
    for side, document in (("base", base), ("current", current), ("incoming", incoming)):
        paths.append(tmp_path / f"{side}.ipynb")
        paths[-1].write_text(jupyter_text(document), encoding="utf-8")
    return paths


# A git that cannot run (126, 127), refuses (2), reports conflicts it did not
# write (1) or writes nothing at all (0; in a source merge that leaves the
# current source, a clean result): the current file stays as it was.
@pytest.mark.parametrize("route, status", [(route, status) for route in ("line", "pipeline")
                                           for status in (127, 126, 2, 1, 0) if (route, status) != ("pipeline", 0)])
def test_a_failing_git_never_writes(tmp_path, route, status):
    merge_file = f"exit {status}"
    env = git_shim(tmp_path / "bin", merge_file)
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
@pytest.mark.parametrize("route", ["pipeline", "line"])
@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 3)])
def test_signals_during_merges_leave_nothing_behind(tmp_path, route, signum, status):
    started = tmp_path / "git-started"
    env = git_shim(tmp_path / "bin", f'touch "{started}"; sleep 2')
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
