"""`zuv conflicts`, `zuv resolve` and the pipeline warnings of `zuv merge-driver`."""
import html
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import nbformat
import pytest
from browser import Dom, load
from nbbuild import canvas, cell, clone, find, notebook, param, read, write

ZUV = Path(sys.executable).parent / "zuv"
MARKS = ("<<< ", ">>> ")


def zuv(*args, cwd):
    return subprocess.run([str(ZUV), *map(str, args)], cwd=cwd, capture_output=True, text=True)


def conflicted_triple():
    """(base, current, incoming) whose merge leaves one conflict of each kind."""
    base = notebook([
        cell("L", "load", ["x = 1\n"]),
        cell("T", "train", ["t = x\n", "fit()\n", "done"], ["L"]),
        cell("E", "evaluate", ["e = t\n"], ["T"]),
        cell("R", "report", ["r = e\n"], ["E"]),
        cell("D", "dashboard", ["d = e\n"], ["E"]),
    ], [param("lr", "0.1", "float"), param("ep", "10", "int")])
    cur, inc = clone(base), clone(base)
    # Source conflict block.
    find(cur["cells"], "T")["source"][1] = "fit(lr=lr)\n"
    find(inc["cells"], "T")["source"][1] = "fit(epochs=ep)\n"
    # Copies: both change the cell, incoming also renames it.
    find(cur["cells"], "E")["source"] = ["e = t * 2\n"]
    canvas(find(inc["cells"], "E"))["name"] = "evaluation"
    find(inc["cells"], "E")["source"] = ["e = t * 3\n"]
    # Changed on one side, deleted on the other, both ways.
    find(cur["cells"], "R")["source"] = ["r = e + 1\n"]
    inc["cells"] = [c for c in inc["cells"] if canvas(c)["id"] != "R"]
    find(inc["cells"], "D")["source"] = ["d = plot(e)\n"]
    cur["cells"] = [c for c in cur["cells"] if canvas(c)["id"] != "D"]
    # A parameter changed on both sides, another changed on one and deleted on the other.
    cur["metadata"]["canvas"]["parameters"] = [param("lr", "0.2", "float"), param("ep", "20", "int")]
    inc["metadata"]["canvas"]["parameters"] = [param("lr", "0.3", "float")]
    return base, cur, inc


def check_clean(document):
    nbformat.validate(nbformat.from_dict(document))
    ids = [canvas(c)["id"] for c in document["cells"]]
    assert len(ids) == len(set(ids))
    names = [canvas(c)["name"] for c in document["cells"]]
    names += [p["name"] for p in document["metadata"]["canvas"]["parameters"]]
    assert not any(n.startswith(MARKS) for n in names)
    assert all(p["id"] in ids for c in document["cells"] for p in canvas(c)["parents"])
    assert not any(line.startswith(("<<<<<<<", ">>>>>>>")) for c in document["cells"] for line in c["source"])


@pytest.mark.parametrize("cell_ids", [True, False], ids=["nbformat-4.5", "nbformat-4.4"])
@pytest.mark.parametrize("side", ["current", "incoming"])
def test_resolve_all_takes_one_side(tmp_path, side, cell_ids):
    base, cur, inc = conflicted_triple()
    if not cell_ids:  # notebooks from before cell ids: copies get a fresh canvas id only
        for document in (base, cur, inc):
            document["nbformat_minor"] = 4
            for c in document["cells"]:
                del c["id"]
    for name, document in (("base", base), ("current", cur), ("incoming", inc), ("merged", cur)):
        (tmp_path / f"{name}.ipynb").write_text(json.dumps(document, indent=1) + "\n")
    merged = zuv("merge-driver", "base.ipynb", "merged.ipynb", "incoming.ipynb", 7, "nb.ipynb", cwd=tmp_path)
    assert merged.returncode == 1, merged.stderr

    listed = zuv("conflicts", "merged.ipynb", cwd=tmp_path)
    assert listed.returncode == 1
    for text in ('cell "evaluate": both sides changed it; copies <<< evaluate (E) and >>> evaluation',
                 "cell <<< report (R): changed by current, deleted by incoming",
                 "cell >>> dashboard (D): changed by incoming, deleted by current",
                 'parameter "lr": kept twice', 'parameter "ep": changed by current, deleted by incoming',
                 "cell train (T): 1 source conflict block at line 2-6",
                 "only conflict marks and source conflict blocks are reported"):
        assert text in listed.stdout

    refused = zuv("resolve", "merged.ipynb", f"--{side}", cwd=tmp_path)
    assert refused.returncode == 2 and "open: cell train (T)" in refused.stderr
    resolved = zuv("resolve", "merged.ipynb", f"--{side}", "--all", cwd=tmp_path)
    assert resolved.returncode == 0, resolved.stdout + resolved.stderr
    text = (tmp_path / "merged.ipynb").read_text()
    assert text.startswith('{\n "cells": [\n  {\n') and text.endswith("}\n")  # layout kept
    result = json.loads(text)
    check_clean(result)

    chosen = cur if side == "current" else inc
    got = {canvas(c)["id"]: (c.get("id"), canvas(c)["name"], c["source"]) for c in result["cells"]}
    want = {canvas(c)["id"]: (c.get("id"), canvas(c)["name"], c["source"]) for c in chosen["cells"]}
    assert got == want
    by_name = lambda document: sorted(map(json.dumps, document["metadata"]["canvas"]["parameters"]))  # noqa: E731
    assert by_name(result) == by_name(chosen)
    assert zuv("conflicts", "merged.ipynb", cwd=tmp_path).returncode == 0


def merge_file_block(tmp_path, style, size):
    """The lines of a real `git merge-file` conflict in `style` with markers of `size`."""
    (tmp_path / "o").write_text("a\nshared\nb\n")
    (tmp_path / "c").write_text("a\nshared\nours 1\nours 2\nb\n")
    (tmp_path / "i").write_text("a\nshared\ntheirs\nb\n")
    styles = {"merge": [], "diff3": ["--diff3"], "zdiff3": ["--zdiff3"]}[style]
    out = subprocess.run(["git", "merge-file", "-p", *styles, f"--marker-size={size}",
                          "-L", "nb-current", "-L", "nb-base", "-L", "nb-incoming", "c", "o", "i"],
                         cwd=tmp_path, capture_output=True, text=True)
    assert out.returncode == 1
    return out.stdout.splitlines(keepends=True)


@pytest.mark.parametrize("style", ["merge", "diff3", "zdiff3"])
@pytest.mark.parametrize("size", [7, 12])
@pytest.mark.parametrize("side, kept", [("current", ["ours 1\n", "ours 2\n"]), ("incoming", ["theirs\n"])])
def test_source_blocks_of_every_style(tmp_path, style, size, side, kept):
    lines = merge_file_block(tmp_path, style, size)
    write(tmp_path / "nb.ipynb", notebook([cell("K", "k", lines + ["tail"])]))
    listed = zuv("conflicts", "nb.ipynb", cwd=tmp_path)
    assert listed.returncode == 1 and "1 source conflict block" in listed.stdout
    assert ("(with base)" in listed.stdout) == (style != "merge")
    assert zuv("resolve", "nb.ipynb", f"--{side}", "--cell", "k", cwd=tmp_path).returncode == 0
    assert read(tmp_path / "nb.ipynb")["cells"][0]["source"] == ["a\n", "shared\n", *kept, "b\n", "tail"]


def git(repo, *args, check=True):
    result = subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True)
    assert not check or result.returncode == 0, result.stderr
    return result


@pytest.mark.parametrize("side", ["current", "incoming"])
def test_git_merge_then_resolve_and_commit(tmp_path, monkeypatch, side):
    monkeypatch.setenv("PATH", f"{ZUV.parent}{os.pathsep}{os.environ.get('PATH', '')}")
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "t@example.com")
    git(repo, "config", "user.name", "T")
    assert zuv("config-git", cwd=repo).returncode == 0
    base, cur, inc = conflicted_triple()
    # Copies without marks: incoming unnames a cell both sides change.
    base["cells"].append(cell("U", "util", ["u = 1\n"]))
    cur["cells"].append(cell("U", "util", ["u = 2\n"]))
    inc["cells"].append(cell("U", "", ["u = 3\n"]))
    nb = repo / "nb.ipynb"
    for branch, document in (("main", base), ("ours", cur), ("theirs", inc)):
        if branch != "main":
            git(repo, "checkout", "-q", "-b", branch, "main")
        nb.write_text(json.dumps(document, indent=1) + "\n")
        git(repo, "add", "-A")
        git(repo, "commit", "-q", "-m", branch)
    git(repo, "checkout", "-q", "ours")
    assert git(repo, "merge", "theirs", check=False).returncode != 0

    listed = zuv("conflicts", "nb.ipynb", cwd=repo)
    assert listed.returncode == 1 and "note:" not in listed.stdout
    assert "the incoming copy" in listed.stdout and "follows util (U) without a mark" in listed.stdout
    page = zuv("show-merge", "--html", tmp_path / "merge.html", "nb.ipynb", cwd=repo)
    assert page.returncode == 1
    dom_text, console = load(tmp_path / "merge.html")
    assert console == []
    in_conflict = {a["data-cell"] for a in Dom(dom_text).having("g", "cf")}
    assert {"T", "E", "R", "D", "U"} <= in_conflict and "L" not in in_conflict

    assert zuv("resolve", "nb.ipynb", f"--{side}", "--all", cwd=repo).returncode == 0
    result = read(nb)
    check_clean(result)
    util = find(result["cells"], "U")
    assert util["source"] == (["u = 2\n"] if side == "current" else ["u = 3\n"])
    git(repo, "add", "nb.ipynb")
    git(repo, "commit", "-q", "--no-edit")
    assert git(repo, "status", "--porcelain").stdout == ""

    # The merge as a page, through git's external diff.
    page = tmp_path / "merge-diff.html"
    git(repo, "-c", f"diff.zuv.command={ZUV} diff --html {page}", "diff", "HEAD~1", "HEAD")
    assert "a/nb.ipynb → b/nb.ipynb" in page.read_text()


def test_pipeline_breaks_are_warned(tmp_path):
    base = notebook([cell("L", "load", ["l\n"]), cell("C", "clean", ["c\n"], ["L"]),
                     cell("X", "x", ["x\n"]), cell("Y", "y", ["y\n"], ["X"])])
    cur, inc = clone(base), clone(base)
    cur["cells"] = [c for c in cur["cells"] if canvas(c)["id"] != "C"]
    canvas(find(cur["cells"], "X"))["parents"] = [{"id": "Y", "name": "y"}]
    inc["cells"].append(cell("P", "plot", ["p\n"], ["C"]))
    for name, document in (("base", base), ("current", cur), ("incoming", inc), ("merged", cur)):
        write(tmp_path / f"{name}.ipynb", document)
    merged = zuv("merge-driver", "base.ipynb", "merged.ipynb", "incoming.ipynb", 7, "nb.ipynb", cwd=tmp_path)
    warnings = ["plot lost its parent clean: deleted by current",
                "cycle in the merged pipeline: x and y depend on each other"]
    assert merged.returncode == 0
    assert merged.stderr.splitlines() == [f"zuv merge-driver: warning: nb.ipynb: {w}" for w in warnings]
    graph = zuv("conflicts", "--graph", "base.ipynb", "current.ipynb", "incoming.ipynb", "merged.ipynb",
                cwd=tmp_path)
    assert graph.returncode == 0
    assert [line for line in graph.stdout.splitlines() if line.startswith("warning: ")] == [
        f"warning: {w}" for w in warnings]


# Two different cells claiming one name: a cell selector keeps the chosen side's
# and drops the other; --all (so the mergetools) keeps both, the other renamed
# after its side to a name no cell has, its ids and edges unchanged.  A side
# that adds two cells under the name loses neither (once one was taken for a
# cell the other side deleted, and deleted).
@pytest.mark.parametrize("case", ["free-name", "name-taken", "incoming-adds-two"])
@pytest.mark.parametrize("side, kept, gone", [("current", "A", "B"), ("incoming", "B", "A")])
def test_two_cells_claiming_one_name(tmp_path, monkeypatch, side, kept, gone, case):
    base = notebook([cell("A", "load", ["a\n"]), cell("Z", "z", ["z\n"], ["A"])])
    incoming = clone(base)
    incoming["cells"].append(cell("B", "load", ["b\n"]))
    for name, document in (("base", base), ("merged", base), ("incoming", incoming)):
        write(tmp_path / f"{name}.ipynb", document)
    assert zuv("merge-driver", "base.ipynb", "merged.ipynb", "incoming.ipynb", 7, "nb", cwd=tmp_path).returncode == 1
    assert [canvas(c)["name"] for c in read(tmp_path / "merged.ipynb")["cells"]] == ["<<< load", "z", ">>> load"]
    chosen = zuv("resolve", "merged.ipynb", f"--{side}", "--cell", "B", cwd=tmp_path)
    assert chosen.returncode == 0
    result = read(tmp_path / "merged.ipynb")
    check_clean(result)
    assert sorted((canvas(c)["id"], canvas(c)["name"]) for c in result["cells"]) == sorted([(kept, "load"), ("Z", "z")])
    assert canvas(find(result["cells"], "Z"))["parents"] == ([{"id": "A"}] if kept == "A" else [])
    assert ("z no longer has the parent load, which was dropped" in chosen.stdout) == (gone == "A")

    # A real merge of two branches that each add a cell called "load", closed by the mergetool.
    other, taken = "incoming" if side == "current" else "current", case == "name-taken"
    base = notebook([cell("Z", "z", ["z\n"])] +
                    [cell(f"T{k}", f"load ({s})", ["t\n"]) for k, s in enumerate(("current", "incoming")) if taken])
    cur, inc = clone(base), clone(base)
    cur["cells"].append(cell("A", "load", ["a\n"]))
    inc["cells"].append(cell("B", "load", ["b\n"]))
    canvas(find(inc["cells"], "Z"))["parents"] = [{"id": "B"}]
    if case == "incoming-adds-two":
        inc["cells"].append(cell("C", "load", ["c\n"]))
    repo, _ = merged_in_git(tmp_path, monkeypatch, base, cur, inc)
    if case == "incoming-adds-two":  # naming one of the three cells decides them all
        before = (repo / "nb.ipynb").read_bytes()
        chosen = zuv("resolve", "nb.ipynb", f"--{side}", "--cell", "C", cwd=repo)
        assert chosen.returncode == 0, chosen.stdout + chosen.stderr
        assert {canvas(c)["id"]: canvas(c)["name"] for c in read(repo / "nb.ipynb")["cells"]} == (
            {"Z": "z", "B": "load", "C": "load"} if side == "incoming" else {"Z": "z", "A": "load"})
        # With the cell they claimed the name against removed by hand, nobody deleted them: they stay.
        document = json.loads(before)
        document["cells"] = [c for c in document["cells"] if canvas(c)["id"] != "A"]
        write(repo / "nb.ipynb", document)
        left = zuv("resolve", "nb.ipynb", "--current", "--all", cwd=repo)
        assert left.returncode == 1 and "the base version does not hold it" in left.stdout
        assert [canvas(c)["id"] for c in read(repo / "nb.ipynb")["cells"]] == ["Z", "B", "C"]
        (repo / "nb.ipynb").write_bytes(before)
    tool = git(repo, "-c", "mergetool.keepBackup=false", "mergetool", f"--tool=zuv-{side}", "--no-prompt", check=False)
    assert tool.returncode == 0, tool.stdout + tool.stderr
    assert git(repo, "ls-files", "-u").stdout == "" and list(repo.glob("*.orig")) == []
    renamed = f"load ({other} 2)" if taken else f"load ({other})"
    assert f'kept too, as "{renamed}"' in tool.stdout
    result = read(repo / "nb.ipynb")
    check_clean(result)
    names = {canvas(c)["id"]: canvas(c)["name"] for c in result["cells"]}
    want = {"Z": "z", kept: "load", gone: renamed}
    if case == "incoming-adds-two":
        want["C"] = "load" if side == "incoming" else "load (incoming 2)"
    assert {k: v for k, v in names.items() if not k.startswith("T")} == want
    assert find(result["cells"], gone)["source"] == [f"{gone.lower()}\n"]
    assert [p["id"] for p in canvas(find(result["cells"], "Z"))["parents"]] == ["B"]
    assert zuv("conflicts", "nb.ipynb", cwd=repo).returncode == 0


@pytest.mark.parametrize("argv, status, text", [
    (["conflicts"], 2, "expected one FILE"),
    (["conflicts", "--graph", "a", "b", "c"], 2, "--graph expects BASE CURRENT INCOMING MERGED"),
    (["conflicts", "missing.ipynb"], 3, "cannot read missing.ipynb"),
    (["show-merge", "nb.ipynb"], 2, "--html OUT is required"),
    (["resolve", "nb.ipynb", "--all"], 2, "choose a side: --current or --incoming"),
    (["resolve", "nb.ipynb", "--current", "--incoming", "--all"], 2, "exclude each other"),
    (["resolve", "nb.ipynb", "--current", "--cell", "nothing"], 2, "no open conflict matches --cell nothing"),
])
def test_usage_errors_leave_the_notebook_alone(tmp_path, argv, status, text):
    base, cur, inc = conflicted_triple()
    for name, document in (("base", base), ("nb", cur), ("incoming", inc)):
        write(tmp_path / f"{name}.ipynb", document)
    zuv("merge-driver", "base.ipynb", "nb.ipynb", "incoming.ipynb", 7, "nb.ipynb", cwd=tmp_path)
    before = (tmp_path / "nb.ipynb").read_bytes()
    result = zuv(*argv, cwd=tmp_path)
    assert result.returncode == status and text in result.stderr
    assert (tmp_path / "nb.ipynb").read_bytes() == before


def merged_in_git(tmp_path, monkeypatch, base, cur, inc, name="nb.ipynb"):
    """A repository whose `git merge` of `inc` into `cur` left `name` unmerged; the git result."""
    monkeypatch.setenv("PATH", f"{ZUV.parent}{os.pathsep}{os.environ.get('PATH', '')}")
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "t@example.com")
    git(repo, "config", "user.name", "T")
    assert zuv("config-git", cwd=repo).returncode == 0
    for branch, document in (("main", base), ("theirs", inc), ("main", cur)):
        if branch == "theirs":
            git(repo, "checkout", "-q", "-b", branch)
        elif document is cur:
            git(repo, "checkout", "-q", "main")
        (repo / name).write_text(json.dumps(document, indent=1) + "\n")
        git(repo, "add", "-A")
        git(repo, "commit", "-q", "-m", branch)
    merge = git(repo, "merge", "theirs", check=False)
    assert merge.returncode == 1 and "CONFLICT" in merge.stdout
    return repo, merge


# A reStructuredText underline inside a conflicting docstring: the markers alone
# cannot tell which "=======" line ends the current side.
UNDERLINED = {"base": ["x = 1\n"],
              "current": ['"""Notes\n', "=======\n", "mine\n", '"""\n', "x = 1\n"],
              "incoming": ["theirs = 2\n", "x = 1\n"]}


@pytest.mark.parametrize("side", ["current", "incoming"])
@pytest.mark.parametrize("edit", ["none", "outside git", "current copy removed", "incoming copy removed"])
def test_resolve_after_git_merge_keeps_what_the_chosen_side_holds(tmp_path, monkeypatch, side, edit):
    params = {k: [param("a", "1"), param("lr", v), param("z", "9")]
              for k, v in (("base", "0.1"), ("current", "0.2"), ("incoming", "0.3"))}
    versions = {k: notebook([cell("A", "alpha", UNDERLINED[k]), cell("E", "evaluate", ["e = 1\n"])], params[k])
                for k in UNDERLINED}
    if edit.endswith("removed"):  # copies: both sides change E, incoming renames it
        find(versions["current"]["cells"], "E")["source"] = ["e = 2\n"]
        find(versions["incoming"]["cells"], "E")["source"] = ["e = 3\n"]
        canvas(find(versions["incoming"]["cells"], "E"))["name"] = "evaluation"
    repo, _ = merged_in_git(tmp_path, monkeypatch, versions["base"], versions["current"], versions["incoming"])
    nb = repo / "nb.ipynb"
    if edit == "outside git":  # no index stages to read
        nb = shutil.copy(nb, tmp_path / "copy.ipynb")
    elif edit.endswith("removed"):  # a user deletes one copy by hand
        document = read(nb)
        gone = "<<< " if edit.startswith("current") else ">>> "
        document["cells"] = [c for c in document["cells"] if not canvas(c)["name"].startswith(gone)]
        write(nb, document)
    before = read(nb)

    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    result = zuv("resolve", nb, f"--{side}", "--all", cwd=repo)
    assert list(scratch.iterdir()) == []
    after = read(nb)
    names = [p["name"] for p in after["metadata"]["canvas"]["parameters"]]
    if edit != "outside git":  # the stages tell where the resolved parameter stood
        assert names == ["a", "lr", "z"]
    if edit == "none":
        assert result.returncode == 0, result.stdout + result.stderr
        assert find(after["cells"], "A")["source"] == UNDERLINED[side]
        return
    assert result.returncode == 1, result.stdout + result.stderr
    if edit == "outside git":
        assert "cannot tell where its sides end" in result.stdout
        assert find(after["cells"], "A")["source"] == find(before["cells"], "A")["source"]
    else:
        # The one copy left stands for a cell both sides hold: it is kept, marked, and named.
        assert "left open: cell " in result.stdout and "removed by hand?" in result.stdout
        assert after["cells"][1:] == before["cells"][1:]
        assert zuv("conflicts", nb, cwd=repo).returncode == 1


# A git that fails to list or show the stages (a wrapper exiting 127) is no
# "merge not in progress": judged by its marks alone, the lone copy left after
# a hand edit would be deleted as a cell the other side deleted.
@pytest.mark.parametrize("failing", ["ls-files", "show"])
@pytest.mark.parametrize("command", [["resolve", "--incoming", "--all"], ["conflicts"]])
def test_a_failing_git_is_no_missing_merge(tmp_path, monkeypatch, failing, command):
    versions = [notebook([cell("A", "alpha", ["x = 1\n"]), cell("E", name, [f"e = {k}\n"])])
                for k, name in enumerate(["evaluate", "evaluate", "evaluation"])]
    repo, _ = merged_in_git(tmp_path, monkeypatch, *versions)
    nb = repo / "nb.ipynb"
    document = read(nb)
    document["cells"] = [c for c in document["cells"] if not canvas(c)["name"].startswith(">>> ")]
    write(nb, document)
    before = nb.read_bytes()
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "git").write_text(f'#!/bin/sh\n[ "$1" = {failing} ] && exit 127\n'
                              f'exec "{shutil.which("git")}" "$@"\n')
    (shim / "git").chmod(0o755)
    monkeypatch.setenv("PATH", f"{shim}{os.pathsep}{os.environ['PATH']}")
    result = zuv(*command, nb, cwd=repo)
    assert result.returncode == 3, result.stdout + result.stderr
    assert f"git {failing} failed" in result.stderr and "(status 127)" in result.stderr
    assert nb.read_bytes() == before


@pytest.mark.parametrize("stray, left_open", [
    pytest.param("<<<<<<< HEAD\n", False, id="quoted-marker"),
    pytest.param("<<<<<<< nb.ipynb-current\n", True, id="unclosed-block"),
    pytest.param(">>>>>>> nb.ipynb-incoming\n", True, id="closing-only"),
])
def test_conflict_scan_finds_the_block_after_a_stray_marker(tmp_path, stray, left_open):
    block = ["<<<<<<< nb.ipynb-current\n", "a = 1\n", "=======\n", "a = 2\n", ">>>>>>> nb.ipynb-incoming\n"]
    write(tmp_path / "nb.ipynb", notebook([cell("K", "k", ["x\n", stray, *block, "tail"])]))
    listed = zuv("conflicts", "nb.ipynb", cwd=tmp_path)
    assert listed.returncode == 1 and "1 source conflict block at line 3-7" in listed.stdout
    assert ("partial source conflict block" in listed.stdout) == left_open
    assert f"source conflict blocks {1 + left_open})" in listed.stdout
    resolved = zuv("resolve", "nb.ipynb", "--incoming", "--all", cwd=tmp_path)
    assert resolved.returncode == (1 if left_open else 0), resolved.stdout
    assert read(tmp_path / "nb.ipynb")["cells"][0]["source"] == ["x\n", stray, "a = 2\n", "tail"]


def test_driver_and_conflicts_count_alike(tmp_path, monkeypatch):
    base, cur, inc = conflicted_triple()
    repo, merge = merged_in_git(tmp_path, monkeypatch, base, cur, inc)
    # copies of E, R and D kept by one side, "lr" kept twice, "ep" kept once, one block in T
    counts = "cell conflicts 3, parameter conflicts 2, source conflict blocks 1"
    assert f"zuv merge-driver: conflicts remain in nb.ipynb: {counts}" in merge.stderr
    listed = zuv("conflicts", "nb.ipynb", cwd=repo)
    assert listed.stdout.startswith(f"nb.ipynb: 6 conflicts ({counts})\n")


def test_a_stopping_signal_during_the_source_merge_leaves_nothing_behind(tmp_path, monkeypatch):
    versions = {k: notebook([cell("A", "alpha", v)]) for k, v in UNDERLINED.items()}
    repo, _ = merged_in_git(tmp_path, monkeypatch, versions["base"], versions["current"], versions["incoming"])
    before = (repo / "nb.ipynb").read_bytes()
    # git's source merges are slow to answer: the signal comes while one runs.
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "git").write_text(f'#!/bin/sh\n[ "$1" = merge-file ] && sleep 1\nexec {shutil.which("git")} "$@"\n')
    (shim / "git").chmod(0o755)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env = {**os.environ, "PATH": f"{shim}{os.pathsep}{os.environ['PATH']}", "TMPDIR": str(scratch)}
    process = subprocess.Popen([str(ZUV), "resolve", "nb.ipynb", "--current", "--all"], cwd=repo, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while not any(scratch.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert any(scratch.iterdir()), "the source merge never started"
    process.send_signal(signal.SIGTERM)
    process.communicate(timeout=30)
    assert process.returncode == -signal.SIGTERM
    assert list(scratch.iterdir()) == []
    assert (repo / "nb.ipynb").read_bytes() == before


def _panels(dom_text):
    """The conflict panels of a page in order: (heading, serialised DOM, Dom) each."""
    panels = []
    for chunk in dom_text.split('<div class="panel">')[1:]:
        chunk = chunk[:chunk.index("</div>")]
        dom = Dom(chunk)
        panels.append((dom.text.split("\n", 1)[0], chunk, dom))
    return panels


def _texts(chunk, tag, css):
    """The texts of the `tag` elements whose class is exactly `css`."""
    return [html.unescape(t) for t in re.findall(f'<{tag} class="{css}">(.*?)</{tag}>', chunk, re.S)]


def _click_first_copy_button(page, probed):
    """(button text, selected text) once the first copy button has been clicked and has answered."""
    text = page.read_text()
    nonce = re.search(r'<script nonce="([^"]+)"', text).group(1)
    probe = (f'<script nonce="{nonce}">window.addEventListener("load",function(){{'
             'var b=document.querySelector("button.copy"),n=0;b.click();(function wait(){'
             'if(b.textContent==="copy"&&++n<100)return setTimeout(wait,20);'
             'document.body.setAttribute("data-probe",b.textContent+"\\n"+window.getSelection());})();});</script>')
    probed.write_text(text.replace("</body>", probe + "</body>"))
    dom_text, console = load(probed, "--virtual-time-budget=5000")
    assert console == []
    return tuple(next(a["data-probe"] for _, a in Dom(dom_text).elements if "data-probe" in a).split("\n", 1))


# The merge page lays out what there is to decide: each conflict's versions side
# by side with the base from git's index stages, header counts equal to those of
# `zuv conflicts`, and for each side a command line (copy button) that, run by a
# shell, resolves that conflict; all of one side's together leave that side's notebook.
@pytest.mark.parametrize("name", ["nb.ipynb", "-my nb's.ipynb"])
@pytest.mark.parametrize("side", ["current", "incoming"])
def test_merge_page_shows_what_to_decide_and_how(tmp_path, monkeypatch, name, side):
    base, cur, inc = conflicted_triple()
    # Also a stock Jupyter cell (no canvas id) both sides edit, and two new cells claiming one name.
    for document, a in ((base, "1"), (cur, "10"), (inc, "20")):
        document["cells"].append({"cell_type": "code", "id": "calc", "metadata": {}, "outputs": [],
                                  "execution_count": None, "source": [f"a = {a}\n", "b = 2\n"]})
    cur["cells"].append(cell("N1", "new", ["n = 1\n"]))
    inc["cells"].append(cell("N2", "new", ["n = 2\n"]))
    repo, _ = merged_in_git(tmp_path, monkeypatch, base, cur, inc, name=name)
    page = tmp_path / "merge.html"
    assert zuv("show-merge", "--html", page, "--", name, cwd=repo).returncode == 1
    dom_text, console = load(page)
    assert console == []
    listed = zuv("conflicts", "--", name, cwd=repo).stdout
    summary = Dom(dom_text[dom_text.index('<p class="summary">'):]).text.split("\n", 1)[0]
    assert listed.splitlines()[0] == f"{name}: 8 conflicts (cell conflicts 4, parameter conflicts 2, " \
        "source conflict blocks 2)" and listed.splitlines()[0].split(": ", 1)[1] in summary
    # Only "load" is unchanged; "lr" kept twice and "ep" kept once are conflicts, not changes.
    assert "1 unchanged" in summary and "parameters changed" not in summary

    # Both copies of "evaluate" show its panel; the merge's mark on a name is no rename.
    listed_panels = _panels(dom_text)
    panels = {heading: (chunk, dom) for heading, chunk, dom in listed_panels}
    heading = next(h for h in panels if h.startswith('cell "evaluate": both sides changed it'))
    assert [h for h, _, _ in listed_panels].count(heading) == 2 and "renamed from" not in Dom(dom_text).text
    chunk, copies = panels[heading]
    assert [_texts(chunk, "td", "t d"), _texts(chunk, "td", "t a")] == [["e = t * 2"], ["e = t * 3"]]
    assert "base (git's index stage 1): evaluate (E)" in copies.text and _texts(chunk, "td", "t") == ["e = t"]
    chunk, kept = panels["cell <<< report (R): changed by current, deleted by incoming"]
    assert "the incoming side deleted it" in kept.text
    assert [_texts(chunk, "td", "t d"), _texts(chunk, "td", "t a")] == [["r = e"], ["r = e + 1"]]
    chunk, _ = panels["cell (unnamed) (calc): 1 source conflict block at line 1-5"]  # on the cell's own node
    assert [_texts(chunk, "td", "t d"), _texts(chunk, "td", "t a")] == [["a = 10"], ["a = 20"]]
    assert "base: lr = 0.1 (float)" in panels[next(h for h in panels if h.startswith('parameter "lr"'))][1].text

    # Each copy button carries the command shown beside it.
    commands = [b["data-command"] for b in Dom(dom_text).having("button", "copy")]
    assert commands == _texts(dom_text, "code", "cmd")
    # Clicked, it copies the command, or (headless Chromium refuses the clipboard) selects it.
    answer, selected = _click_first_copy_button(page, tmp_path / "probed.html")
    assert answer == "copied" or (answer == "selected: copy it" and selected == commands[0])
    mine = list(dict.fromkeys(c for c in commands if f" --{side} " in c))
    assert len(mine) == 8 and all(shlex.split(c)[-2:] == ["--", name] for c in mine)

    statuses = [subprocess.run(c, shell=True, cwd=repo, capture_output=True).returncode for c in mine]
    assert statuses == [1] * 7 + [0]
    result, chosen = read(repo / name), cur if side == "current" else inc
    cells = lambda d: [(c["id"], c["metadata"].get("canvas", {}).get("name"), c["source"]) for c in d["cells"]]  # noqa: E731
    assert sorted(cells(result)) == sorted(cells(chosen))
    assert result["metadata"]["canvas"]["parameters"] == chosen["metadata"]["canvas"]["parameters"]


STREAM = [{"output_type": "stream", "name": "stdout", "text": ["0.93\n"]}]


# Incoming renames the cell in every case, so the merge places two copies.
@pytest.mark.parametrize("case, left_open", [
    ("source-vs-rename", None),
    ("metadata-vs-outputs", None),
    ("sources-on-other-lines", None),
    ("renamed-on-both", "both sides changed metadata.canvas.name differently"),
    ("source-on-one-line", "both sides changed source differently"),
    ("source-git-calls-binary", "the merge of the two versions failed"),
])
def test_combine_joins_the_copies_field_by_field(tmp_path, monkeypatch, case, left_open):
    base = notebook([cell("L", "load", ["x = 1\n"]),
                     cell("E", "evaluate", ["a = x\n", "b = a\n", "c = b\n"], ["L"])])
    cur, inc = clone(base), clone(base)
    ours, theirs = find(cur["cells"], "E"), find(inc["cells"], "E")
    canvas(theirs)["name"] = "evaluation"
    want = {"name": "evaluation", "source": ours["source"], "tags": None, "outputs": [], "count": None}
    if case == "source-vs-rename":
        ours["source"][2] = want["source"][2] = "c = 2 * b\n"
    elif case == "metadata-vs-outputs":
        ours["metadata"]["tags"] = want["tags"] = ["slow"]
        theirs["outputs"], theirs["execution_count"] = want["outputs"], want["count"] = STREAM, 4
    elif case == "sources-on-other-lines":
        ours["source"][0] = "a = x + 1\n"
        theirs["source"][2] = "c = b - 1\n"
        want["source"] = ["a = x + 1\n", "b = a\n", "c = b - 1\n"]
    elif case == "renamed-on-both":
        canvas(ours)["name"] = "eval"
    elif case == "source-git-calls-binary":  # a NUL byte: git merge-file refuses the source
        for version in (base, cur, inc):
            find(version["cells"], "E")["source"][0] = "a = '\0'\n"
        ours["source"][0], theirs["source"][2] = "a = '\0' * 2\n", "c = b - 1\n"
    else:
        ours["source"][1], theirs["source"][1] = "b = 1\n", "b = 2\n"
    repo, _ = merged_in_git(tmp_path, monkeypatch, base, cur, inc)
    nb = repo / "nb.ipynb"
    before = nb.read_bytes()

    result = zuv("resolve", "nb.ipynb", "--combine", "--cell", "E", cwd=repo)
    if left_open:
        assert result.returncode == 1, result.stdout + result.stderr
        assert "left open: cell " in result.stdout and left_open in result.stdout
        assert nb.read_bytes() == before
        return
    assert result.returncode == 0, result.stdout + result.stderr
    assert "combined both sides' changes into evaluation (E)" in result.stdout
    document = read(nb)
    check_clean(document)
    assert [canvas(c)["id"] for c in document["cells"]] == ["L", "E"]
    joined = find(document["cells"], "E")
    assert joined["id"] == "nb-E" and [p["id"] for p in canvas(joined)["parents"]] == ["L"]
    assert {"name": canvas(joined)["name"], "source": joined["source"], "tags": joined["metadata"].get("tags"),
            "outputs": joined["outputs"], "count": joined["execution_count"]} == want
    assert zuv("conflicts", "nb.ipynb", cwd=repo).returncode == 0


@pytest.mark.parametrize("case, status, text", [
    ("list", 2, "open: cells <<< load (A) and >>> load (B): two different cells claim the name"),
    ("clash-by-name", 0, "kept >>> load (B), dropped <<< load (A)"),
    ("name-of-two-cells", 2, "--cell train names 2 conflicts of different cells; select one by its canvas id"),
    ("mergetool", 0, "kept the incoming copy"),
])
def test_resolve_lists_and_selects_by_name(tmp_path, monkeypatch, case, status, text):
    base = notebook([cell("A", "load", ["a\n"]), cell("E", "evaluate", ["e\n"], ["A"]),
                     cell("X", "train", ["x\n"]), cell("Y", "train", ["y\n"])])
    cur, inc = clone(base), clone(base)
    find(cur["cells"], "E")["source"] = ["e = 2\n"]
    if case in ("list", "clash-by-name"):
        inc["cells"].append(cell("B", "load", ["b\n"]))  # another cell under a name current's cell has
    elif case == "name-of-two-cells":
        for cid in "XY":
            find(cur["cells"], cid)["source"] = [f"{cid} = 1\n"]
            find(inc["cells"], cid)["source"] = [f"{cid} = 2\n"]
    else:
        find(inc["cells"], "E")["source"] = ["e = 3\n"]
        canvas(find(inc["cells"], "E"))["name"] = "evaluation"
    repo, _ = merged_in_git(tmp_path, monkeypatch, base, cur, inc)
    nb = repo / "nb.ipynb"
    before = nb.read_bytes()
    if case == "mergetool":
        result = git(repo, "-c", "mergetool.keepBackup=false", "mergetool", "--tool=zuv-incoming", "--no-prompt")
        assert git(repo, "ls-files", "-u").stdout == ""
    else:
        argv = {"list": [], "clash-by-name": ["--incoming", "--cell", "load"],
                "name-of-two-cells": ["--incoming", "--cell", "train"]}[case]
        result = zuv("resolve", "nb.ipynb", *argv, cwd=repo)
    assert result.returncode == status, result.stdout + result.stderr
    assert text in (result.stderr if status == 2 else result.stdout)
    if status == 2:
        assert nb.read_bytes() == before
        return
    document = read(nb)
    check_clean(document)
    names = {canvas(c)["id"]: canvas(c)["name"] for c in document["cells"]}
    if case == "clash-by-name":
        assert names == {"B": "load", "E": "evaluate", "X": "train", "Y": "train"}
    else:
        assert names["E"] == "evaluation" and find(document["cells"], "E")["source"] == ["e = 3\n"]
