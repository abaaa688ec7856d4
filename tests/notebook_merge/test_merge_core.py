"""The merge core behind merge_files, run with other hooks and read for the
conflicts it created."""
import copy
import json
import random
import re

import pytest

from nbbuild import canvas, cell, find, notebook, param, read, write
from zuv_weft_git.drivers import notebook_merge
from zuv_weft_git.drivers.notebook_merge import _merge_and_count, merge_files

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
NAMES = ["", "", "a", "b", ">>> a", "<<< b"]


def random_triple(seed):
    """Eight cells edited at random on both sides: renames onto shared names,
    colours, comments, outputs, parents, sources, deletions, additions under
    colliding ids, parameter changes."""
    rng = random.Random(seed)

    def new_cell(cid):
        c = cell(cid, rng.choice(NAMES), [f"line {i}\n" for i in range(4)],
                 parents=[f"c{rng.randrange(8)}"], comments=rng.sample("xyz", rng.randrange(3)))
        if rng.random() < 0.2:
            del c["id"]
        return c

    base = notebook([new_cell(f"c{i}") for i in range(8)], [param(f"p{i}", "0") for i in range(4)])
    sides = []
    for side in range(2):
        doc = copy.deepcopy(base)
        for c in list(doc["cells"]):
            r, cv = rng.random(), canvas(c)
            if r < 0.1:
                doc["cells"].remove(c)
            elif r < 0.25:
                c["source"][rng.randrange(4)] = f"edit {rng.randrange(3)}\n"
            elif r < 0.35:
                cv["name"] = rng.choice(NAMES)
            elif r < 0.42:
                cv["headerColor"] = rng.choice(["green", "red"])
            elif r < 0.5:
                cv["comments"] = cv["comments"] + [rng.choice("xwv")]
            elif r < 0.58:
                c["outputs"] = [{"output_type": "stream", "name": "stdout", "text": ["o"]}]
            elif r < 0.65:
                cv["parents"] = [{"id": f"c{rng.randrange(8)}"}]
        for cid in {f"c{rng.choice([30 + side, 20])}" for _ in range(rng.randrange(3))}:
            doc["cells"].insert(rng.randrange(len(doc["cells"]) + 1), new_cell(cid))
        for p in doc["metadata"]["canvas"]["parameters"]:
            if rng.random() < 0.3:
                p["value"] = str(rng.randrange(3))
        sides.append(doc)
    return base, sides[0], sides[1]


def merged_with(tmp_path, triple, run):
    paths = [str(tmp_path / n) for n in ("base", "current", "incoming")]
    for path, document in zip(paths, triple):
        write(path, document)
    result = run(*paths, "nb.ipynb")
    return read(paths[1]), result


def fresh_ids_renamed(document, inputs):
    """The document with every id no input holds renamed in order of appearance."""
    known = set(re.findall(r'"([^"]*)"', "".join(json.dumps(d) for d in inputs)))
    fresh = {}

    def rename(match):
        text = match.group(1)
        if UUID4.match(text) and text not in known:
            return '"fresh-%d"' % fresh.setdefault(text, len(fresh))
        return match.group(0)

    return re.sub(r'"([^"]*)"', rename, json.dumps(document)), list(fresh)


@pytest.mark.parametrize("seed", range(40))
def test_native_hooks_merge_as_merge_files(tmp_path, monkeypatch, seed):
    triple = random_triple(seed)
    expected, _ = merged_with(tmp_path, copy.deepcopy(triple), merge_files)
    expected_text, _ = fresh_ids_renamed(expected, triple)

    # The native hooks reach none of the module's globals.
    for name in ("MergeCell", "_cell_changed", "_merge_source", "uuid", "json", "jsondiff"):
        monkeypatch.setattr(notebook_merge, name, None)
    merged, counts = merged_with(tmp_path, copy.deepcopy(triple),
                                 lambda *a: _merge_and_count(*a, native=True))
    text, fresh = fresh_ids_renamed(merged, triple)
    assert text == expected_text
    copies = [c for c in merged["cells"] if canvas(c)["id"] in fresh]
    assert counts[0] == len(copies)


def empty_every_table():
    """Clears every dict that holds a merge record and every list that holds
    a record's cell: what hostile replaced code could do to tables the merge
    still uses."""
    import gc
    records = [o for o in gc.get_objects() if isinstance(o, notebook_merge.Cell)]
    cells = {id(notebook_merge.Cell.data.fget(r)) for r in records}
    for obj in gc.get_objects():
        if isinstance(obj, dict) and obj and all(isinstance(v, notebook_merge.Cell) for v in obj.values()):
            obj.clear()
        elif isinstance(obj, list) and any(id(v) in cells for v in obj):
            obj.clear()


@pytest.mark.parametrize("hook", ["parents", "_cell_changed", "_merge_source"])
@pytest.mark.parametrize("seed", range(6))
def test_hostile_hooks_emptying_the_tables_never_crash(tmp_path, monkeypatch, hook, seed):
    calls = [0]

    def now_and_then():
        calls[0] += 1
        if calls[0] % 7 == 1:  # gc.get_objects is slow
            empty_every_table()

    if hook == "parents":
        record = notebook_merge.MergeCell

        class Hostile(record):
            @property
            def parents(self):
                now_and_then()
                return record.parents.fget(self)

            @parents.setter
            def parents(self, value):
                record.parents.fset(self, value)

        monkeypatch.setattr(notebook_merge, "MergeCell", Hostile)
    else:
        original = getattr(notebook_merge, hook)

        def hostile(*args, **kwargs):
            now_and_then()
            return original(*args, **kwargs)

        monkeypatch.setattr(notebook_merge, hook, hostile)
    try:
        merged_with(tmp_path, random_triple(seed), merge_files)
    except (KeyError, TypeError, ValueError, AttributeError, IndexError):
        pass  # refusing is fine; reading freed memory is not


class Vanishing(str):
    """A name that, when first hashed, drops the last other reference to
    itself: code holding it only borrowed then reads freed memory."""

    def __hash__(self):
        self.__dict__.pop("holder", {}).pop("name", None)
        return str.__hash__(self)


def test_a_cell_name_dropping_itself_when_hashed_never_crashes(tmp_path, monkeypatch):
    real_json = json

    class Json:
        dumps = staticmethod(real_json.dumps)

        @staticmethod
        def load(f):
            document = real_json.load(f)
            for c in document["cells"]:
                holder = c["metadata"]["canvas"]
                holder["name"] = Vanishing(holder["name"])
                holder["name"].holder = holder
            return document

    monkeypatch.setattr(notebook_merge, "json", Json)
    triple = [notebook([cell(f"c{i}", f"step {i}", ["x\n"]) for i in range(3)], []) for _ in range(3)]
    merged, _ = merged_with(tmp_path, triple, merge_files)
    assert [c["metadata"]["canvas"]["id"] for c in merged["cells"]] == ["c0", "c1", "c2"]


@pytest.mark.parametrize("base_comments, current_comments, incoming_comments, expected", [
    (["a", "b"], ["b"], ["a", "b", "c"], ["b", "c"]),          # current removed "a": it stays removed
    (["a"], ["A"], ["a", "c", "c"], ["A", "c"]),               # reworded stays reworded; "c" once
    (["a"], ["a", "c"], ["a", "d", "c"], ["a", "c", "d"]),     # held already: not twice
])
def test_only_comments_incoming_introduced_are_added(tmp_path, base_comments, current_comments,
                                                     incoming_comments, expected):
    base = notebook([cell("x", "load", ["s\n"], comments=base_comments)])
    current = copy.deepcopy(base)
    canvas(current["cells"][0]).update(comments=current_comments)
    current["cells"][0]["source"] = ["mine\n"]
    incoming = copy.deepcopy(base)
    canvas(incoming["cells"][0]).update(comments=incoming_comments)
    merged, _ = merged_with(tmp_path, (base, current, incoming), merge_files)
    assert canvas(merged["cells"][0])["comments"] == expected


@pytest.mark.parametrize("minor", [0, 4, 5])
def test_copies_placed_beside_keep_the_notebook_valid(tmp_path, minor):
    nbformat = pytest.importorskip("nbformat")
    cells = [cell(c, c, ["x = 1\n"]) for c in "ab"]
    base = notebook(cells)
    base["nbformat_minor"] = minor
    for c in base["cells"]:
        c["metadata"] = {"canvas": c["metadata"]["canvas"]}
        if minor < 5:
            del c["id"]
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["cells"][0]["source"] = ["x = 2\n"]
    canvas(incoming["cells"][0])["name"] = "renamed"
    merged, counts = merged_with(tmp_path, (base, current, incoming),
                                 lambda *a: _merge_and_count(*a))
    assert counts[0] == 1 and len(merged["cells"]) == 3
    assert ("id" in merged["cells"][1]) == (minor >= 5)
    nbformat.validate(nbformat.from_dict(merged))


@pytest.mark.parametrize("version, parameters, incoming_value, message", [
    ("current", [param("p", "1"), param("p", "2")], "1", "duplicate parameter name 'p' in the current version"),
    ("incoming", [param("p", "1"), param("p", "2")], "1", "duplicate parameter name 'p' in the incoming version"),
    ("current", [param("p", "2"), param(">>> p", "x")], "3", "gives it the name '>>> p'"),
    ("current", [param("p", "2"), param("<<< p", "x")], "3", "gives it the name '<<< p'"),
])
def test_parameters_are_never_dropped_silently(tmp_path, version, parameters, incoming_value, message):
    base = notebook([cell("x", "load", ["s\n"])], [param("p", "1")])
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    current["metadata"]["canvas"]["parameters"] = copy.deepcopy(parameters)
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = incoming_value
    if version == "incoming":
        current, incoming = incoming, current
    paths = [str(tmp_path / n) for n in ("base", "current", "incoming")]
    for path, document in zip(paths, (base, current, incoming)):
        write(path, document)
    before = open(paths[1], "rb").read()
    with pytest.raises(ValueError, match=re.escape(message)):
        merge_files(*paths, "nb.ipynb")
    assert open(paths[1], "rb").read() == before


SOURCE = ["one\n", "two\n", "three\n"]


def x(document):
    return find(document["cells"], "x")


def edit(document, line, text):
    x(document)["source"][line] = text


def set_canvas(document, **fields):
    canvas(x(document)).update(fields)


def add(document, cid="x", name="", source=SOURCE):
    document["cells"].insert(1, cell(cid, name, source))


def drop(document):
    document["cells"].remove(x(document))


def cur(c, line=0, text="ONE\n"):
    edit(c, line, text)


def inc(i, line=2, text="THREE\n"):
    edit(i, line, text)


# One row per rule of the merge table: how current (c) and incoming (i) edit
# a base of three cells, "keep", "x" (named as given; None: x is not in
# base) and "tail"; the merged cells as (canvas id, name, source, comments),
# "new" for a fresh id; whether the cell's sources went to _merge_source.
MERGED_ONE, CURRENT_ONE, INCOMING_ONE = "ONE|two|THREE|", "ONE|two|three|", "one|two|THREE|"
BASE_ONE = "one|two|three|"
K, T = ("keep", "keep", "k|", []), ("tail", "tail", "t|", [])
CELL_RULES = [
    # changed on one side only
    ("keep_current", "", lambda c, i: cur(c), [K, ("x", "", CURRENT_ONE, []), T], False),
    ("take_incoming", "", lambda c, i: inc(i), [K, ("x", "", INCOMING_ONE, []), T], False),
    ("take_incoming_marked", "a",
     lambda c, i: (add(c, "z", "b", ["z\n"]), set_canvas(i, name="b")),
     [K, ("z", "<<< b", "z|", []), ("x", ">>> b", BASE_ONE, []), T], False),
    # changed identically on both sides
    ("keep_current-same-change", "", lambda c, i: (cur(c), cur(i)), [K, ("x", "", CURRENT_ONE, []), T], False),
    # changed on both sides, sources only (or neither cell named)
    ("merge_sources", "", lambda c, i: (cur(c), inc(i)), [K, ("x", "", MERGED_ONE, []), T], True),
    ("merge_sources-both-named", "a", lambda c, i: (cur(c), inc(i)), [K, ("x", "a", MERGED_ONE, []), T], True),
    ("merge_sources-canvas-unnamed", "",
     lambda c, i: (cur(c), inc(i), set_canvas(i, parents=[{"id": "keep", "name": "keep"}])),
     [K, ("x", "", MERGED_ONE, []), T], True),
    # incoming changed only its header colour and/or comments
    ("keep_current-colour", "", lambda c, i: (cur(c), set_canvas(i, headerColor="red")),
     [K, ("x", "", CURRENT_ONE, []), T], False),
    ("merge_sources-colour", "", lambda c, i: (cur(c), inc(i), set_canvas(i, headerColor="red")),
     [K, ("x", "", MERGED_ONE, []), T], True),
    ("add_comments", "", lambda c, i: (cur(c), set_canvas(i, comments=["note"])),
     [K, ("x", "", CURRENT_ONE, ["note"]), T], False),
    ("add_comments_then_merge_sources", "",
     lambda c, i: (cur(c), inc(i), set_canvas(i, comments=["note"], headerColor="red")),
     [K, ("x", "", MERGED_ONE, ["note"]), T], True),
    # incoming also changed other canvas metadata, a cell named
    ("place_beside_marked-canvas", "a",
     lambda c, i: (cur(c), inc(i), set_canvas(i, parents=[{"id": "keep", "name": "keep"}])),
     [K, ("x", "<<< a", CURRENT_ONE, []), ("new", ">>> a", INCOMING_ONE, []), T], False),
    ("place_beside-canvas", "", lambda c, i: (cur(c), set_canvas(i, name="n", comments=["note"])),
     [K, ("x", "", CURRENT_ONE, []), ("new", "n", BASE_ONE, ["note"]), T], False),
    # exactly one of the two named, no canvas change
    ("place_beside-one-named", "", lambda c, i: (cur(c), set_canvas(c, name="a"), inc(i)),
     [K, ("x", "a", CURRENT_ONE, []), ("new", "", INCOMING_ONE, []), T], False),
    # deleted on one side, unchanged on the other
    ("delete_cell", "a", lambda c, i: drop(i), [K, T], False),
    ("stay_deleted", "a", lambda c, i: drop(c), [K, T], False),
    # deleted on one side, changed on the other
    ("keep_current_marked", "a", lambda c, i: (cur(c), drop(i)), [K, ("x", "<<< a", CURRENT_ONE, []), T], False),
    ("restore_incoming_marked", "a", lambda c, i: (drop(c), inc(i)),
     [K, T, ("x", ">>> a", INCOMING_ONE, [])], False),
    # added by incoming
    ("append_incoming", None, lambda c, i: add(i, name="a"),
     [K, T, ("x", "a", BASE_ONE, [])], False),
    ("append_incoming_marked", None, lambda c, i: add(i, name="keep"),
     [("keep", "<<< keep", "k|", []), T, ("x", ">>> keep", BASE_ONE, [])], False),
    # added by both sides with the same canvas id
    ("keep_current-added-alike", None, lambda c, i: (add(c, name="a"), add(i, name="a")),
     [K, ("x", "a", BASE_ONE, []), T], False),
    ("place_beside-added", None, lambda c, i: (add(c), add(i, source=["other\n"])),
     [K, ("x", "", BASE_ONE, []), ("new", "", "other|", []), T], False),
    ("place_beside_marked-added", None, lambda c, i: (add(c, name="a"), add(i, name="a", source=["other\n"])),
     [K, ("x", "<<< a", BASE_ONE, []), ("new", ">>> a", "other|", []), T], False),
]


@pytest.mark.parametrize("name, change, expected, merges_sources",
                         [row[1:] for row in CELL_RULES], ids=[row[0] for row in CELL_RULES])
def test_cell_rules_follow_the_merge_table(tmp_path, monkeypatch, name, change, expected, merges_sources):
    merged_sources = []

    def recording(*args, **kwargs):
        merged_sources.append(args)
        return original(*args, **kwargs)

    original = notebook_merge._merge_source
    monkeypatch.setattr(notebook_merge, "_merge_source", recording)
    base = notebook([cell("keep", "keep", ["k\n"]), cell("tail", "tail", ["t\n"])])
    if name is not None:
        add(base, name=name)
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    change(current, incoming)
    merged, _ = merged_with(tmp_path, (base, current, incoming), merge_files)
    known = {canvas(c)["id"] for d in (base, current, incoming) for c in d["cells"]}
    shown = [(canvas(c)["id"] if canvas(c)["id"] in known else "new", canvas(c)["name"],
              "".join(c["source"]).replace("\n", "|"), canvas(c)["comments"])
             for c in merged["cells"]]
    assert shown == expected
    assert bool(merged_sources) == merges_sources


PARAMETER_VALUES = {"base": "1", "current": "2", "incoming": "3"}


def held_value(held, side, current):
    """The value one version holds under the name, None when absent."""
    return {"absent": None, "present": "1", "same_as_base": "1", "same_as_current": current,
            "changed": PARAMETER_VALUES[side]}[held]


PARAMETER_RULES = [
    ("present", "same_as_base", "same_as_base", "keep_current", [("p", "1")], []),
    ("present", "same_as_base", "changed", "take_incoming", [("p", "3")], []),
    ("present", "same_as_base", "absent", "drop", [], []),
    ("present", "changed", "same_as_base", "keep_current", [("p", "2")], []),
    ("present", "changed", "same_as_current", "keep_current", [("p", "2")], []),
    ("present", "changed", "changed", "keep_both_marked", [], [("<<< p", "2"), (">>> p", "3")]),
    ("present", "changed", "absent", "keep_current_marked", [], [("<<< p", "2")]),
    ("present", "absent", "same_as_base", "stay_absent", [], []),
    ("present", "absent", "absent", "stay_absent", [], []),
    ("present", "absent", "changed", "restore_incoming_marked", [], [(">>> p", "3")]),
    ("absent", "present", "absent", "keep_current", [("p", "1")], []),
    ("absent", "present", "same_as_current", "keep_current", [("p", "1")], []),
    ("absent", "present", "changed", "keep_both_marked", [], [("<<< p", "1"), (">>> p", "3")]),
    ("absent", "absent", "present", "take_incoming_at_end", [], [("p", "1")]),
]


@pytest.mark.parametrize("base, current, incoming, in_place, at_end",
                         [row[:3] + row[4:] for row in PARAMETER_RULES],
                         ids=["-".join(row[:4]) for row in PARAMETER_RULES])
def test_parameter_rules_follow_the_parameter_table(tmp_path, base, current, incoming, in_place, at_end):
    """A parameter "p" between "first" and "last": kept in place, taken,
    dropped, or put after "last", marked where the table says."""
    current_value = held_value(current, "current", None)
    values = (held_value(base, "base", None), current_value, held_value(incoming, "incoming", current_value))
    documents = []
    for value in values:
        held = [param("p", value)] if value is not None else []
        documents.append(notebook([cell("k", "keep", ["k\n"])], [param("first", "f"), *held, param("last", "l")]))
    merged, _ = merged_with(tmp_path, documents, merge_files)
    shown = [(p["name"], p["value"]) for p in merged["metadata"]["canvas"]["parameters"]]
    assert shown == [("first", "f"), *in_place, ("last", "l"), *at_end]


def with_odd_outputs(seed):
    """A random triple whose outputs hold values jsondiff tells apart or not:
    1, 1.0 and True, NaN, nested lists of dicts; execution counts vary."""
    base, current, incoming = random_triple(seed)
    rng = random.Random(seed)
    values = [1, 1.0, True, float("nan"), [[{"a": 1}], {"b": [1, 2]}], [[{"a": True}], {"b": [1.0, 2]}]]
    for document in (base, current, incoming):
        for c in document["cells"]:
            if rng.random() < 0.5:
                c["outputs"] = [{"output_type": "execute_result", "data": {"x": rng.choice(values)}}]
            if rng.random() < 0.1:
                del c["outputs"]
            if rng.random() < 0.3:  # never part of the record
                c["execution_count"] = rng.choice([None, 1, 2])
    return base, current, incoming


@pytest.mark.parametrize("seed", range(30))
def test_comparing_without_outputs_gives_the_full_comparisons_merge(tmp_path, monkeypatch, seed):
    triple = with_odd_outputs(seed)
    shortcut, _ = merged_with(tmp_path, copy.deepcopy(triple), merge_files)
    stock = notebook_merge._cell_changed
    monkeypatch.setattr(notebook_merge, "_cell_changed", lambda a, b: stock(a, b))  # the full record
    full, _ = merged_with(tmp_path, copy.deepcopy(triple), merge_files)
    ids = lambda d: fresh_ids_renamed(d, triple)[0]
    assert ids(shortcut) == ids(full)
