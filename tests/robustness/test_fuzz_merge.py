"""merge_files on random and hostile notebook triples.

Whatever the three files hold, a merge either raises an ordinary Python
exception and leaves every file byte for byte as it was, or writes one line of
valid JSON over the current file in which every current cell that the rules
keep is present and no canvas id occurs twice.  When current and incoming are
the same, the result is that version with parent references rewritten.
"""

import json
import os
import re
import shutil
import tempfile

import git
import pytest
from hypothesis import event, given, strategies as st

from hostile import damaged_files, fuzz_settings, notebook_triples, to_json_text
from zuv_weft_git.drivers.notebook_merge import merge_files

pytestmark = pytest.mark.slow

# What hostile input may legitimately raise: missing keys, wrong types, bad
# text (ValueError covers JSON and Unicode errors), nesting past the recursion
# limit, duplicate canvas ids, and git refusing a source (NUL makes it binary).
ORDINARY_ERRORS = (KeyError, TypeError, ValueError, AttributeError, RecursionError, git.GitCommandError)
UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
VERSIONS = ("base", "current", "incoming")


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def strict_json(raw):
    return json.loads(raw.decode("ascii"), parse_constant=_reject_constant)


def canvas_id(cell):
    return cell["metadata"]["canvas"]["id"]


def unchanged(base_cell, current_cell):
    """The merge's notion of an unchanged cell: equal apart from outputs,
    execution count and the names of parent references."""

    def comparable(cell):
        cell = json.loads(json.dumps(cell))
        cell.pop("outputs", None)
        cell.pop("execution_count", None)
        for parent in cell["metadata"]["canvas"].get("parents", []):
            parent.pop("name", None)
        return cell

    return comparable(base_cell) == comparable(current_cell)


def required_ids(base, current, incoming):
    """Current cells that the rules keep: all but those that the current
    version left unchanged and the incoming version deleted."""
    base_cells = {canvas_id(c): c for c in base["cells"]}
    incoming_ids = {canvas_id(c) for c in incoming["cells"]}
    return [canvas_id(c) for c in current["cells"]
            if not (canvas_id(c) in base_cells and canvas_id(c) not in incoming_ids
                    and unchanged(base_cells[canvas_id(c)], c))]


def with_rewritten_parents(document):
    """`document` as a merge of it with itself writes it: parent references
    lose their names, and named cells keep only references to named cells,
    as {"id": ...}; a parameter name held twice keeps the later object."""
    document = json.loads(json.dumps(document))
    document["cells"] = list(document["cells"])
    canvases = [c["metadata"]["canvas"] for c in document["cells"]]
    named = [canvas["id"] for canvas in canvases if canvas.get("name", "")]
    for canvas in canvases:
        parents = canvas.get("parents", [])
        for parent in parents:
            parent.pop("name", None)
        if canvas.get("name", ""):
            canvas["parents"] = [{"id": p["id"]} for p in parents if p["id"] in named]
    parameters = document["metadata"]["canvas"]["parameters"]
    document["metadata"]["canvas"]["parameters"] = list({p["name"]: p for p in parameters}.values())
    return document


def run_merge(texts):
    """Writes the three versions into a fresh directory and merges them.
    Returns (error or None, bytes before, bytes after, files left over)."""
    directory = tempfile.mkdtemp(prefix="fuzz-merge-")
    try:
        paths = {v: os.path.join(directory, v + ".ipynb") for v in VERSIONS}
        for version, raw in texts.items():
            with open(paths[version], "wb") as f:
                f.write(raw)
        error = None
        try:
            merge_files(paths["base"], paths["current"], paths["incoming"], "nb.ipynb")
        except ORDINARY_ERRORS as e:
            error = e
        after = {}
        for version, path in paths.items():
            with open(path, "rb") as f:
                after[version] = f.read()
        return error, after, sorted(os.listdir(directory))
    finally:
        shutil.rmtree(directory)


def check_merge(texts):
    error, after, listing = run_merge(texts)
    assert listing == ["base.ipynb", "current.ipynb", "incoming.ipynb"]
    assert after["base"] == texts["base"] and after["incoming"] == texts["incoming"]
    event("raised " + type(error).__name__ if error is not None else "merged")
    if error is not None:
        assert after["current"] == texts["current"], f"{error!r} changed the current file"
        return None
    merged = strict_json(after["current"])
    assert b"\n" not in after["current"]
    base, current, incoming = (json.loads(texts[v]) for v in VERSIONS)
    merged_ids = [canvas_id(c) for c in merged["cells"]]
    assert all(merged_ids.count(i) == 1 for i in merged_ids), merged_ids
    for cell_id in required_ids(base, current, incoming):
        assert cell_id in merged_ids, f"current cell {cell_id!r} was lost"
    known = [canvas_id(c) for c in [*current["cells"], *incoming["cells"]]]
    assert all(i in known or UUID.match(str(i)) for i in merged_ids)
    return merged, current


@fuzz_settings
@given(notebook_triples(), st.one_of(st.none(), st.tuples(st.sampled_from(VERSIONS), damaged_files)))
def test_merge_never_loses_the_current_file(triple, damage):
    texts = {v: to_json_text(doc).encode() for v, doc in zip(VERSIONS, triple)}
    if damage:
        texts[damage[0]] = damage[1]
    check_merge(texts)


@fuzz_settings
@given(notebook_triples(twins=True))
def test_identical_sides_merge_to_that_side(triple):
    texts = {v: to_json_text(doc).encode() for v, doc in zip(VERSIONS, triple)}
    outcome = check_merge(texts)
    if outcome is not None:
        merged, current = outcome
        assert merged == with_rewritten_parents(current)


# --- zuv merge-driver on plain and mixed notebooks ----------------------------

ZUV = os.path.join(os.path.dirname(os.sys.executable), "zuv")
LINES = st.sampled_from(["a = 1\n", "b = 2\n", "print(a)\n", "# note\n", "x\n", ""])


@st.composite
def plain_triples(draw):
    """A plain (or mixed) notebook and two sides derived by cell edits,
    insertions, deletions, re-runs, type changes and notebook metadata
    changes."""
    with_ids = draw(st.booleans())
    mixed = draw(st.booleans())
    counter = iter(range(10_000))

    def new_cell(source, canvas=False):
        n = next(counter)
        made = {"cell_type": "code", "metadata": {}, "source": source, "outputs": [], "execution_count": None}
        if canvas:
            made["metadata"]["canvas"] = {"id": f"k{n}", "name": "", "parents": [], "comments": [],
                                          "headerColor": "none"}
        if with_ids:
            made["id"] = f"c{n}"
        return made

    sources = draw(st.lists(st.lists(LINES, max_size=4), max_size=6))
    base = {"cells": [new_cell(s, mixed and draw(st.booleans())) for s in sources],
            "metadata": {"canvas": {"parameters": []}} if mixed else {},
            "nbformat": 4, "nbformat_minor": 5 if with_ids else 4}

    def side():
        doc = json.loads(json.dumps(base))
        title = draw(st.sampled_from([None, "one", "two"]))
        if title:
            doc["metadata"]["title"] = title
        for _ in range(draw(st.integers(0, 4))):
            cells = doc["cells"]
            action = draw(st.sampled_from(["edit", "insert", "delete", "rerun", "retype"]))
            if action == "insert" or not cells:
                cells.insert(draw(st.integers(0, len(cells))), new_cell(draw(st.lists(LINES, max_size=3))))
                continue
            cell = cells[draw(st.integers(0, len(cells) - 1))]
            if action == "edit":
                cell["source"] = draw(st.lists(LINES, max_size=4))
            elif action == "delete":
                cells.remove(cell)
            elif action == "rerun" and cell["cell_type"] == "code":
                cell["outputs"] = [{"output_type": "stream", "name": "stdout", "text": draw(st.lists(LINES, max_size=2))}]
                cell["execution_count"] = draw(st.integers(1, 5))
            elif action == "retype" and "metadata" in cell and "canvas" not in cell["metadata"]:
                cell["cell_type"] = "markdown"
                cell.pop("outputs", None), cell.pop("execution_count", None)
        return doc

    return base, side(), side()


@fuzz_settings
@given(plain_triples())
def test_merge_driver_keeps_plain_notebooks_valid_and_every_added_line(triple):
    import subprocess

    import nbformat

    directory = tempfile.mkdtemp(prefix="fuzz-plain-")
    try:
        paths = {v: os.path.join(directory, v + ".ipynb") for v in VERSIONS}
        for version, doc in zip(VERSIONS, triple):
            with open(paths[version], "w", encoding="utf-8") as f:
                json.dump(doc, f, indent=1)
        result = subprocess.run([ZUV, "merge-driver", paths["base"], paths["current"], paths["incoming"], "7",
                                 "nb.ipynb"], capture_output=True, text=True)
        assert result.returncode in (0, 1), result.stderr
        assert "line by line" not in result.stderr, result.stderr
        assert sorted(os.listdir(directory)) == ["base.ipynb", "current.ipynb", "incoming.ipynb"]
        with open(paths["current"], encoding="utf-8") as f:
            text = f.read()
        nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
        merged = {line for c in json.loads(text)["cells"] for line in c["source"] if line}
        base_lines = {line for c in triple[0]["cells"] for line in c["source"]}
        added = {line for doc in triple[1:] for c in doc["cells"] for line in c["source"]} - base_lines - {""}
        assert added <= merged, (added - merged, text)
        # A title both sides set differently: current's kept, incoming's shown.
        titles = [doc["metadata"].get("title") for doc in triple]
        if titles[1] != titles[2] and None not in titles[1:] and titles[0] not in titles[1:]:
            event("notebook metadata conflict")
            assert json.loads(text)["metadata"]["title"] == titles[1]
            assert f'incoming\'s title: "{titles[2]}"\n' in merged, text
    finally:
        shutil.rmtree(directory)
