import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

from nbbuild import (PYTHON, UNPRIVILEGED, UNPRIVILEGED_UID, canvas, cell, clone, find, notebook, param, read,
                     write)
from zuv_weft_git.drivers import notebook_merge
from zuv_weft_git.drivers.notebook_merge import merge_files

MERGE_ARGV = "import sys; from zuv_weft_git.drivers import merge_files; merge_files(*sys.argv[1:])"
UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


@pytest.fixture
def run_merge(tmp_path):
    """Writes the three versions, merges them, returns the merged document."""

    def run(base, current, incoming, file_path="nb.ipynb"):
        paths = [str(tmp_path / n) for n in ("base.ipynb", "current.ipynb", "incoming.ipynb")]
        for path, document in zip(paths, (base, current, incoming)):
            write(path, document)
        assert merge_files(paths[0], paths[1], paths[2], file_path) is None
        return read(paths[1])

    return run


def names(document):
    return [canvas(c)["name"] for c in document["cells"]]


def ids(document):
    return [canvas(c)["id"] for c in document["cells"]]


BASE = notebook(
    [
        cell("a", "load", ["import data\n", "x = 1\n", "y = 2\n", "z = 3\n", "w = 4\n"]),
        cell("b", "train", ["fit()\n"], parents=["a"]),
        cell("c", "", ["plain\n"]),
    ],
    [param("p", "1"), param("q", "a")],
)


def edit(document, cid, **changes):
    target = find(document["cells"], cid)
    for key, value in changes.items():
        if key in ("name", "headerColor", "comments"):
            canvas(target)[key] = value
        else:
            target[key] = value
    return document


class TestCellsChangedInCurrent:
    def test_incoming_deleted_named_cell_stays_marked(self, run_merge):
        current = edit(clone(BASE), "a", source=["changed\n"])
        incoming = clone(BASE)
        del incoming["cells"][0]
        out = run_merge(BASE, current, incoming)
        assert names(out)[0] == "<<< load"
        assert out["cells"][0]["source"] == ["changed\n"]

    def test_incoming_deleted_unnamed_cell_stays_unmarked(self, run_merge):
        current = edit(clone(BASE), "c", source=["changed\n"])
        incoming = clone(BASE)
        del incoming["cells"][2]
        out = run_merge(BASE, current, incoming)
        assert ids(out) == ["a", "b", "c"] and names(out)[2] == ""

    @pytest.mark.parametrize(
        "incoming_change, expected_source",
        [
            ({}, ["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"]),
            ({"outputs": [{"output_type": "stream", "name": "stdout", "text": ["o\n"]}]},
             ["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"]),
            ({"headerColor": "red"}, ["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"]),
            ({"headerColor": "red", "source": ["import data\n", "x = 1\n", "y = 2\n", "z = 3\n", "w = 40\n"]},
             ["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 40\n"]),
            ({"source": ["import data\n", "x = 1\n", "y = 2\n", "z = 3\n", "w = 40\n"]},
             ["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 40\n"]),
        ],
        ids=["unchanged", "outputs-only", "colour-only", "colour-and-source", "source"],
    )
    def test_single_cell_outcomes(self, run_merge, incoming_change, expected_source):
        current = edit(clone(BASE), "a", source=["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"])
        incoming = edit(clone(BASE), "a", **incoming_change)
        out = run_merge(BASE, current, incoming)
        assert ids(out) == ["a", "b", "c"]
        merged = out["cells"][0]
        assert merged["source"] == expected_source
        assert canvas(merged)["headerColor"] == "none"  # the current colour stays
        assert canvas(merged)["name"] == "load"

    @pytest.mark.parametrize("incoming_comments", [["new"], ["keep", "new", "new"], ["other", "keep"]])
    def test_incoming_comments_are_added_once(self, run_merge, incoming_comments):
        base = edit(clone(BASE), "a", comments=["keep"])
        current = edit(clone(base), "a", source=["changed\n"], comments=["keep", "mine"])
        incoming = edit(clone(base), "a", comments=incoming_comments)
        out = run_merge(base, current, incoming)
        merged = find(out["cells"], "a")
        expected = ["keep", "mine"] + [c for i, c in enumerate(incoming_comments)
                                       if c not in ("keep", "mine") and c not in incoming_comments[:i]]
        assert canvas(merged)["comments"] == expected
        assert len(out["cells"]) == 3
        json.dumps(out)  # the merged comments are plain JSON

    @pytest.mark.parametrize(
        "current_name, incoming_name, marked",
        [("load", "load2", True), ("", "named", False), ("named", "", False)],
    )
    def test_canvas_change_with_a_name_keeps_both_copies(self, run_merge, current_name, incoming_name, marked):
        base = clone(BASE)
        current = edit(clone(base), "a", name=current_name, source=["mine\n"])
        incoming = edit(clone(base), "a", name=incoming_name, source=["theirs\n"])
        out = run_merge(base, current, incoming)
        assert ids(out)[0] == "a" and ids(out)[2:] == ["b", "c"]
        copy = out["cells"][1]
        assert UUID.match(canvas(copy)["id"]) and UUID.match(copy["id"])
        assert copy["source"] == ["theirs\n"] and out["cells"][0]["source"] == ["mine\n"]
        if marked:
            assert names(out)[:2] == ["<<< " + current_name, ">>> " + incoming_name]
        else:
            assert names(out)[:2] == [current_name, incoming_name]

    def test_canvas_change_without_names_merges_sources(self, run_merge):
        base = edit(clone(BASE), "a", name="")
        current = edit(clone(base), "a", headerColor="blue", source=["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"])
        incoming = edit(clone(base), "a", headerColor="red", comments=["c"], version=None)
        canvas(find(incoming["cells"], "a"))["extra"] = 1
        out = run_merge(base, current, incoming)
        assert ids(out) == ["a", "b", "c"]
        assert out["cells"][0]["source"][1] == "x = 10\n"

    @pytest.mark.parametrize("style", [None, "diff3", "zdiff3"])
    @pytest.mark.parametrize("file_path, label", [
        ("dir/nb.ipynb", "dir/nb.ipynb"),
        # Control characters in a file name would break the marker line.
        ("a\nb\r\tc\x01\x1b\x7f \u00e9\\n.ipynb", "a\\nb\\r\\tc\\x01\\x1b\\x7f \u00e9\\n.ipynb"),
    ], ids=["plain", "control-characters"])
    @pytest.mark.parametrize("names_", [("load", "load"), ("", "")])
    def test_source_conflict_is_labelled(self, run_merge, tmp_path, monkeypatch, names_, file_path, label, style):
        config = tmp_path / "gitconfig"
        config.write_text(f"[merge]\n\tconflictStyle = {style}\n" if style else "")
        monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(config))
        monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
        base = edit(clone(BASE), "a", name=names_[0])
        current = edit(clone(base), "a", source=["import data\n", "x = mine\n", "y = 2\n", "z = 3\n", "w = 4\n"])
        incoming = edit(clone(base), "a", name=names_[1],
                        source=["import data\n", "x = theirs\n", "y = 2\n", "z = 3\n", "w = 4\n"])
        out = run_merge(base, current, incoming, file_path=file_path)
        base_block = [f"||||||| {label}-base\n", "x = 1\n"] if style else []
        assert out["cells"][0]["source"] == [
            "import data\n", f"<<<<<<< {label}-current\n", "x = mine\n", *base_block, "=======\n",
            "x = theirs\n", f">>>>>>> {label}-incoming\n", "y = 2\n", "z = 3\n", "w = 4\n",
        ]

    def test_source_change_with_one_name_keeps_both(self, run_merge):
        current = edit(clone(BASE), "a", source=["mine\n"])
        incoming = edit(clone(BASE), "a", name="", source=["theirs\n"])
        # The incoming rename shows in the canvas: both copies, unmarked.
        out = run_merge(BASE, current, incoming)
        assert names(out)[:2] == ["load", ""]

    def test_same_change_on_both_sides_is_no_conflict(self, run_merge):
        current = edit(clone(BASE), "a", name="loader", source=["same\n"])
        incoming = edit(clone(BASE), "a", name="loader", source=["same\n"])
        incoming["cells"][0]["execution_count"] = 7
        out = run_merge(BASE, current, incoming)
        assert names(out) == ["loader", "train", ""]

    def test_copies_sit_beside_their_cells(self, run_merge):
        base = notebook([cell("a", "A", ["1\n"]), cell("b", "B", ["2\n"])])
        current = clone(base)
        incoming = clone(base)
        for cid in ("a", "b"):
            edit(current, cid, source=["mine\n"], headerColor="x")
            edit(incoming, cid, source=["theirs\n"], headerColor="y", comments=["c"], name="N" + cid)
            canvas(find(incoming["cells"], cid))["extra"] = cid
        out = run_merge(base, current, incoming)
        assert names(out) == ["<<< A", ">>> Na", "<<< B", ">>> Nb"]


class TestDeletionsAndAdditions:
    @pytest.mark.parametrize(
        "incoming_change", [{"source": ["new\n"]}, {"outputs": [{"output_type": "stream", "name": "stdout", "text": "o"}]}]
    )
    def test_changed_cell_deleted_in_current_comes_back_marked(self, run_merge, incoming_change):
        current = clone(BASE)
        del current["cells"][1]
        incoming = edit(clone(BASE), "b", **incoming_change)
        out = run_merge(BASE, current, incoming)
        assert ids(out) == ["a", "c", "b"] and names(out)[-1] == ">>> train"

    @pytest.mark.parametrize("incoming_deletes", [False, True])
    def test_deletion_in_current_stands(self, run_merge, incoming_deletes):
        current = clone(BASE)
        del current["cells"][1]
        incoming = clone(BASE)
        if incoming_deletes:
            del incoming["cells"][1]
        assert ids(run_merge(BASE, current, incoming)) == ["a", "c"]

    def test_new_incoming_cell_with_a_taken_name_marks_both(self, run_merge):
        incoming = clone(BASE)
        incoming["cells"].append(cell("n", "load", ["other\n"]))
        incoming["cells"].append(cell("m", "fresh", ["x\n"]))
        incoming["cells"].append(cell("k", "fresh", ["y\n"]))
        incoming["cells"].append(cell("u", "", ["z\n"]))
        out = run_merge(BASE, clone(BASE), incoming)
        assert ids(out) == ["a", "b", "c", "n", "m", "k", "u"]
        assert names(out) == ["<<< load", "train", "", ">>> load", "fresh", "fresh", ""]

    def test_incoming_deletion_of_unchanged_cell_and_unmarking(self, run_merge):
        base = notebook([cell("a", "load"), cell("x", ">>> load"), cell("z", None)])
        incoming = notebook([cell("x", ">>> load")])
        out = run_merge(base, clone(base), incoming)
        assert ids(out) == ["x"] and names(out) == ["load"]

    def test_incoming_change_of_unchanged_cell_is_taken_in_place(self, run_merge):
        incoming = edit(clone(BASE), "b", source=["refit()\n"], headerColor="green")
        incoming["cells"][1]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": ["t\n"]}]
        out = run_merge(BASE, clone(BASE), incoming)
        assert ids(out) == ["a", "b", "c"]
        assert out["cells"][1]["source"] == ["refit()\n"]
        assert out["cells"][1]["outputs"][0]["text"] == ["t\n"]

    def test_incoming_rename_into_a_clash_marks_both(self, run_merge):
        incoming = edit(clone(BASE), "b", name="load")
        out = run_merge(BASE, clone(BASE), incoming)
        assert names(out) == ["<<< load", ">>> load", ""]

    def test_outputs_only_changes_keep_current(self, run_merge):
        incoming = clone(BASE)
        incoming["cells"][0]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": "x"}]
        incoming["cells"][0]["execution_count"] = 3
        current = clone(BASE)
        current["cells"][1]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": "y"}]
        out = run_merge(BASE, current, incoming)
        assert out["cells"][0]["outputs"] == [] and out["cells"][1]["outputs"][0]["text"] == "y"

    def test_both_sides_added_the_same_cell(self, run_merge):
        current = clone(BASE)
        incoming = clone(BASE)
        current["cells"].append(cell("n", "new", ["x\n"]))
        incoming["cells"].append(cell("n", "new", ["x\n"]))
        incoming["cells"][-1]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": "o"}]
        assert ids(run_merge(BASE, current, incoming)) == ["a", "b", "c", "n"]

    def test_both_sides_added_the_same_id_differently(self, run_merge):
        current = clone(BASE)
        incoming = clone(BASE)
        current["cells"].insert(1, cell("n", "new", ["mine\n"]))
        incoming["cells"].append(cell("n", "new", ["theirs\n"]))
        out = run_merge(BASE, current, incoming)
        assert names(out) == ["load", "<<< new", ">>> new", "train", ""]
        assert out["cells"][2]["source"] == ["theirs\n"] and UUID.match(canvas(out["cells"][2])["id"])


def test_parent_references_are_cut_to_named_present_cells(run_merge):
    base = notebook([cell("a", "A"), cell("b", "B", parents=["a"]), cell("c", "", parents=["b", "gone"]),
                     cell("d", "D", parents=["a", "b", "c", "gone"])])
    incoming = clone(base)
    del incoming["cells"][1]
    out = run_merge(base, clone(base), incoming)
    assert canvas(find(out["cells"], "d"))["parents"] == [{"id": "a"}]
    # An unnamed cell keeps its references, even to cells that are gone
    # (the comparison has dropped their names).
    assert canvas(find(out["cells"], "c"))["parents"] == [{"id": "b"}, {"id": "gone"}]


P = param("x", "1")


@pytest.mark.parametrize(
    "base, current, incoming, expected",
    [
        ([P], [P], [P], [("x", "1")]),
        ([P], [P], [param("x", "2")], [("x", "2")]),
        ([P], [P], [], []),
        ([P], [param("x", "2")], [P], [("x", "2")]),
        ([P], [param("x", "2")], [param("x", "2")], [("x", "2")]),
        ([P], [param("x", "2")], [param("x", "3")], [("<<< x", "2"), (">>> x", "3")]),
        ([P], [param("x", "2")], [], [("<<< x", "2")]),
        ([P], [], [P], []),
        ([P], [], [], []),
        ([P], [], [param("x", "3")], [(">>> x", "3")]),
        ([], [P], [], [("x", "1")]),
        ([], [P], [P], [("x", "1")]),
        ([], [P], [param("x", "3")], [("<<< x", "1"), (">>> x", "3")]),
        ([], [], [P], [("x", "1")]),
    ],
)
def test_parameter_merge_table(run_merge, base, current, incoming, expected):
    nb = lambda params: notebook([cell("a", "A")], params)
    out = run_merge(nb(base), nb(current), nb(incoming))
    assert [(p["name"], p["value"]) for p in out["metadata"]["canvas"]["parameters"]] == expected


def test_parameter_order_and_duplicates(run_merge):
    base = notebook([], [param("a", "9"), param("b", "1")])
    current = notebook([], [param("b", "1"), param("a", "9"), param("c", "1")])
    incoming = notebook([], [param("a", "9"), param("b", "2"), param("d", "1")])
    out = run_merge(base, current, incoming)
    assert [(p["name"], p["value"]) for p in out["metadata"]["canvas"]["parameters"]] == [
        ("b", "2"), ("a", "9"), ("c", "1"), ("d", "1")]
    # Two parameters under one name would lose one of them: refused.
    base["metadata"]["canvas"]["parameters"].insert(0, param("a", "1"))
    with pytest.raises(ValueError, match="duplicate parameter name 'a' in the base version"):
        run_merge(base, current, incoming)


def test_output_is_json_dump_of_the_merge(run_merge, tmp_path):
    base = notebook([cell("a", "Café", ["print('é')\n", "x = '😀'"])])
    out = run_merge(base, clone(base), clone(base))
    text = (tmp_path / "current.ipynb").read_text(encoding="ascii")
    assert text == json.dumps(out) and "\n" not in text
    assert "\\u00e9" in text and "\\ud83d\\ude00" in text


def test_output_is_deterministic_across_hash_seeds(tmp_path):
    base = notebook([cell(f"c{i}", f"n{i}", [f"{i}\n"]) for i in range(30)],
                    [param(f"p{i}", str(i)) for i in range(30)])
    current = clone(base)
    incoming = clone(base)
    del current["cells"][3:9]
    for i in range(10, 20):
        edit(incoming, f"c{i}", source=["x\n"])
    incoming["cells"] += [cell(f"new{i}", "", [f"{i}\n"]) for i in range(20)]
    current["metadata"]["canvas"]["parameters"] = current["metadata"]["canvas"]["parameters"][5:]
    incoming["metadata"]["canvas"]["parameters"] += [param(f"q{i}", "1") for i in range(20)]
    outputs = set()
    for seed in ("1", "2", "3"):
        for name, doc in (("b", base), ("c", current), ("i", incoming)):
            write(tmp_path / f"{name}.ipynb", doc)
        code = (f"from zuv_weft_git.drivers import merge_files; "
                f"merge_files({str(tmp_path / 'b.ipynb')!r}, {str(tmp_path / 'c.ipynb')!r}, "
                f"{str(tmp_path / 'i.ipynb')!r}, 'nb')")
        subprocess.run([*PYTHON, "-c", code], check=True, env={**os.environ, "PYTHONHASHSEED": seed})
        outputs.add((tmp_path / "c.ipynb").read_text())
    assert len(outputs) == 1


def test_merged_valid_notebooks_stay_valid(run_merge):
    nbformat = pytest.importorskip("nbformat")
    base = clone(BASE)
    current = edit(clone(base), "a", name="load2", source=["mine\n"])
    incoming = edit(clone(base), "a", name="load3", source=["theirs\n"])
    incoming["cells"].append(cell("n", "train", ["x\n"]))
    for doc in (base, current, incoming):
        nbformat.validate(nbformat.from_dict(doc))
    out = run_merge(base, current, incoming)
    nbformat.validate(nbformat.from_dict(out))
    assert len({c["id"] for c in out["cells"]}) == len(out["cells"])


class TestFailures:
    """Every failure raises and leaves all three files byte-for-byte as they were."""

    @pytest.fixture
    def files(self, tmp_path):
        paths = {n: tmp_path / f"{n}.ipynb" for n in ("base", "current", "incoming")}
        for p in paths.values():
            write(p, BASE)
        return paths

    def check(self, files, error, **overrides):
        before = {n: p.read_bytes() if p.is_file() else None for n, p in files.items()}
        args = {"base_file_path": str(files["base"]), "current_file_path": str(files["current"]),
                "incoming_file_path": str(files["incoming"]), "file_path": "nb", **overrides}
        with pytest.raises(error) as info:
            merge_files(**args)
        assert before == {n: p.read_bytes() if p.is_file() else None for n, p in files.items()}
        return info.value

    @pytest.mark.parametrize(
        "which, content, error",
        [
            ("base", b"\xff\xfe not utf-8", UnicodeDecodeError),
            ("incoming", b"{not json", json.JSONDecodeError),
            ("current", b'{"metadata": {}}', KeyError),
            ("base", json.dumps({"cells": [{"metadata": {"canvas": {}}}]}).encode(), KeyError),
            ("base", json.dumps({"cells": [[]]}).encode(), TypeError),
            ("incoming", json.dumps(notebook([cell("a")], [])).encode().replace(b'"parameters"', b'"p"'), KeyError),
        ],
    )
    def test_bad_content(self, files, which, content, error):
        files[which].write_bytes(content)
        self.check(files, error)

    def test_missing_file_and_directory(self, files, tmp_path):
        self.check(files, FileNotFoundError, base_file_path=str(tmp_path / "nope"))
        self.check(files, IsADirectoryError, incoming_file_path=str(tmp_path))

    @pytest.mark.parametrize("which", ["current", "base", "incoming"])
    def test_duplicate_canvas_ids_are_refused(self, files, which):
        doc = clone(BASE)
        doc["cells"].append(cell("a", "again"))
        write(files[which], doc)
        error = self.check(files, ValueError)
        assert "'a'" in str(error) and which in str(error)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"file_path": None}, "Argument 'file_path' has incorrect type (expected str, got NoneType)"),
            ({"base_file_path": b"x"}, "Argument 'base_file_path' has incorrect type (expected str, got bytes)"),
        ],
    )
    def test_argument_types(self, files, kwargs, message):
        assert str(self.check(files, TypeError, **kwargs)) == message

    def test_argument_count(self):
        with pytest.raises(TypeError, match=r"^merge_files\(\) takes exactly 4 positional arguments \(2 given\)$"):
            merge_files("a", "b")
        with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
            merge_files("a", "b", "c", "d", path="e")

    def test_unwritable_destination_directory(self):
        # A file the user may write, in a directory the user may not, is
        # written in place.  Root writes anywhere: the merge runs in a child
        # that drops to an unprivileged user, in a directory it may enter.
        prefix, uid = [], os.getuid()
        if os.geteuid() == 0:
            prefix, uid = UNPRIVILEGED, UNPRIVILEGED_UID
        directory = tempfile.mkdtemp(prefix="zuv-read-only-")
        paths = {n: os.path.join(directory, f"{n}.ipynb") for n in ("base", "current", "incoming")}
        incoming = edit(clone(BASE), "b", source=["new\n"])
        for name, document in [("base", BASE), ("current", BASE), ("incoming", incoming)]:
            write(paths[name], document)
            os.chown(paths[name], uid, -1)
        os.chmod(directory, 0o555)
        inode = os.stat(paths["current"]).st_ino
        try:
            result = subprocess.run([*prefix, *PYTHON, "-c", MERGE_ARGV, paths["base"], paths["current"],
                                     paths["incoming"], "nb"], capture_output=True, text=True)
            assert result.returncode == 0, result.stderr
            assert os.stat(paths["current"]).st_ino == inode
            assert find(read(paths["current"])["cells"], "b")["source"] == ["new\n"]
            assert sorted(os.listdir(directory)) == ["base.ipynb", "current.ipynb", "incoming.ipynb"]
        finally:
            os.chmod(directory, 0o755)
            shutil.rmtree(directory)

    def test_write_failing_part_way_leaves_the_file(self, files):
        # A file-size limit below the merged size makes the write fail mid-way.
        code = ("import resource, sys; resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100)); "
                "from zuv_weft_git.drivers import merge_files; merge_files(*sys.argv[1:])")
        before = files["current"].read_bytes()
        result = subprocess.run([*PYTHON, "-c", code, str(files["base"]), str(files["current"]),
                                 str(files["incoming"]), "nb"], capture_output=True, text=True)
        assert result.returncode != 0 and "File too large" in result.stderr
        assert files["current"].read_bytes() == before
        assert sorted(p.name for p in files["current"].parent.iterdir()) == [
            "base.ipynb", "current.ipynb", "incoming.ipynb"]


def test_symlink_and_permissions_are_kept(run_merge, tmp_path):
    target = tmp_path / "real.ipynb"
    write(target, BASE)
    os.chmod(target, 0o640)
    link = tmp_path / "current.ipynb"
    paths = [tmp_path / "base.ipynb", link, tmp_path / "incoming.ipynb"]
    link.symlink_to(target)
    write(paths[0], BASE)
    write(paths[2], edit(clone(BASE), "b", source=["new\n"]))
    merge_files(*map(str, paths), "nb")
    assert link.is_symlink() and os.stat(target).st_mode & 0o777 == 0o640
    assert find(read(target)["cells"], "b")["source"] == ["new\n"]


def test_module_globals_are_used_at_call_time(run_merge, monkeypatch):
    calls = []
    real = notebook_merge._merge_source

    def recording(*args, **kwargs):
        calls.append(kwargs)
        return real(*args, **kwargs)

    monkeypatch.setattr(notebook_merge, "_merge_source", recording)
    current = edit(clone(BASE), "a", source=["import data\n", "x = 10\n", "y = 2\n", "z = 3\n", "w = 4\n"])
    incoming = edit(clone(BASE), "a", source=["import data\n", "x = 1\n", "y = 2\n", "z = 3\n", "w = 40\n"])
    run_merge(BASE, current, incoming, file_path="p")
    assert calls == [{"current_name": "p-current", "incoming_name": "p-incoming"}]
