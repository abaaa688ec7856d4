"""Random pipeline notebooks, random edits of them, and hostile shapes.

A notebook triple starts from a plausible base version; the current and the
incoming versions are derived from it by ordinary edits (cells added, deleted,
renamed, re-parented, sources and comments changed, parameters changed) and,
now and then, by hostile ones: a wrong JSON type or a deleted key at any place
the merge or the diff reads, duplicate canvas ids and names, parents pointing
nowhere, huge strings, astral and lone-surrogate characters, NUL and carriage
returns in sources, and nesting far deeper than the interpreter's recursion
limit.

HYPOTHESIS_PROFILE chooses how hard the property tests try: "ci" (default:
short and derandomised, so a test run is repeatable) or "fuzz" (the long run
of `make fuzz`).
"""

import copy
import json
import os
import re

from hypothesis import HealthCheck, settings, strategies as st

_SLOW_OK = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
            HealthCheck.function_scoped_fixture]
settings.register_profile("ci", max_examples=40, deadline=None, derandomize=True,
                          suppress_health_check=_SLOW_OK)
settings.register_profile("fuzz", max_examples=3000, deadline=None,
                          suppress_health_check=_SLOW_OK)
# Applied per test, so the project's other property tests keep their counts.
fuzz_settings = settings.get_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


# --- deep nesting -----------------------------------------------------------
# Deep values are carried through the generated documents as marker strings and
# expanded when a document is serialised (json.dumps itself would refuse them)
# or materialised as Python objects.

_DEEP = re.compile(r'"@@deep-(\d+)-(list|dict)@@"')


def deep_marker(depth, kind):
    return f"@@deep-{depth}-{kind}@@"


def _deep_text(match):
    depth, kind = int(match.group(1)), match.group(2)
    if kind == "list":
        return "[" * depth + "]" * depth
    return '{"d": ' * depth + "{}" + "}" * depth


def to_json_text(document):
    """The document as JSON text, deep markers expanded."""
    return _DEEP.sub(_deep_text, json.dumps(document))


def _deep_object(depth, kind):
    value = [] if kind == "list" else {}
    for _ in range(depth):
        value = [value] if kind == "list" else {"d": value}
    return value


def materialise(value):
    """A copy of `value` with deep markers replaced by deeply nested objects."""
    if isinstance(value, str):
        m = _DEEP.fullmatch('"' + value + '"')
        return _deep_object(int(m.group(1)), m.group(2)) if m else value
    if isinstance(value, list):
        return [materialise(v) for v in value]
    if isinstance(value, dict):
        return {k: materialise(v) for k, v in value.items()}
    return value


# --- plain values -------------------------------------------------------------

# Characters that stress encoders, line splitting and git: NUL, carriage
# returns, line and paragraph separators, accents, astral characters and a
# lone surrogate (valid in a JSON escape, not encodable as UTF-8).
NASTY_CHARS = ["\x00", "\r", "\r\n", "\n", "\u2028", "\x85", "\x0c", "é", "😀", "\U0010ffff", "\ud800",
               "<<<<<<< ", "=======", ">>>>>>> ", "\\", '"']
PLAIN_LINES = ["import data\n", "x = 1\n", "y = 2\n", "fit()\n", "print(x)\n", "\n", "z = 3", "# é\n"]

nasty_text = st.lists(st.one_of(st.sampled_from(NASTY_CHARS), st.text(max_size=3)),
                      max_size=5).map("".join)
huge_text = st.builds(lambda unit, n: unit * n, st.sampled_from(["a", "é", "😀", "line\n", "\x00"]),
                      st.integers(10_000, 200_000))
texts = st.one_of(st.sampled_from(["", "a", "load", "é", "😀"]), nasty_text)
json_scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70),
                         st.floats(allow_nan=False, allow_infinity=False), texts)
json_values = st.recursive(json_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(texts, inner, max_size=3)), max_leaves=6)
deep_values = st.builds(deep_marker, st.sampled_from([50, 400, 5000, 100_000]),
                        st.sampled_from(["list", "dict"]))
# Anything at all, in the place where the system expects something specific.
hostile_values = st.one_of(json_scalars, json_values, st.builds(list), st.builds(dict), huge_text,
                           deep_values)

CANVAS_IDS = ["a", "b", "c", "d", "e", "f", "é", "😀"]
NAMES = ["", "load", "train", "eval", ">>> load", "<<< train", "é", "😀 x"]

canvas_ids = st.sampled_from(CANVAS_IDS)
names = st.one_of(st.sampled_from(NAMES), st.none())
source_lines = st.lists(st.one_of(st.sampled_from(PLAIN_LINES), nasty_text.map(lambda t: t + "\n"),
                                  nasty_text), max_size=6)
parents = st.lists(st.fixed_dictionaries(
    {"id": st.one_of(canvas_ids, st.just("nowhere")), "name": names}), max_size=3)
comments = st.lists(st.one_of(st.sampled_from(["ok", "why?", "é"]),
                              st.fixed_dictionaries({"text": texts})), max_size=3)
outputs = st.lists(st.fixed_dictionaries(
    {"output_type": st.just("stream"), "name": st.just("stdout"), "text": source_lines}), max_size=2)


@st.composite
def cells(draw, cell_id=None):
    cid = cell_id if cell_id is not None else draw(canvas_ids)
    canvas = {"id": cid, "name": draw(names), "parents": draw(parents), "comments": draw(comments),
              "headerColor": draw(st.sampled_from(["none", "red", "blue"]))}
    return {"cell_type": draw(st.sampled_from(["code", "code", "code", "markdown"])),
            "execution_count": draw(st.one_of(st.none(), st.integers(0, 9))),
            "id": "nb-" + str(cid), "metadata": {"canvas": canvas},
            "outputs": draw(outputs), "source": draw(source_lines)}


parameters = st.lists(st.fixed_dictionaries({
    "name": st.sampled_from(["p", "q", "r", "é"]),
    "type": st.sampled_from(["int", "str"]),
    "value": st.sampled_from(["0", "1", "x"])}), max_size=4)


@st.composite
def base_notebooks(draw):
    ids = draw(st.lists(canvas_ids, unique=True, max_size=6))
    return {"cells": [draw(cells(cid)) for cid in ids],
            "metadata": {"canvas": {"parameters": draw(parameters), "version": "1"}},
            "nbformat": 4, "nbformat_minor": 5}


# --- edits ----------------------------------------------------------------------

def _canvas(cell):
    return cell["metadata"]["canvas"]


@st.composite
def edited(draw, base):
    """A version derived from `base` by a few ordinary edits."""
    doc = copy.deepcopy(base)
    cells_ = doc["cells"]
    params = doc["metadata"]["canvas"]["parameters"]
    for _ in range(draw(st.integers(0, 4))):
        op = draw(st.sampled_from(["delete", "add", "source", "rename", "parents", "comments",
                                   "colour", "outputs", "extra", "move", "param"]))
        if op == "add" or not cells_:
            if op != "param":
                free = [c for c in CANVAS_IDS if c not in {_canvas(x)["id"] for x in cells_}]
                if free:
                    cells_.insert(draw(st.integers(0, len(cells_))), draw(cells(draw(st.sampled_from(free)))))
                continue
        if op == "param":
            action = draw(st.sampled_from(["set", "delete", "add"]))
            if action == "add" or not params:
                params.append(draw(parameters.filter(bool))[0])
            elif action == "delete":
                del params[draw(st.integers(0, len(params) - 1))]
            else:
                params[draw(st.integers(0, len(params) - 1))]["value"] = draw(st.sampled_from(["7", "8"]))
            continue
        i = draw(st.integers(0, len(cells_) - 1))
        target = cells_[i]
        if op == "delete":
            del cells_[i]
        elif op == "source":
            target["source"] = draw(source_lines)
        elif op == "rename":
            _canvas(target)["name"] = draw(names)
        elif op == "parents":
            _canvas(target)["parents"] = draw(parents)
        elif op == "comments":
            _canvas(target)["comments"] = _canvas(target)["comments"] + draw(comments)
        elif op == "colour":
            _canvas(target)["headerColor"] = draw(st.sampled_from(["green", "none"]))
        elif op == "outputs":
            target["outputs"] = draw(outputs)
            target["execution_count"] = draw(st.integers(0, 99))
        elif op == "extra":
            _canvas(target)[draw(st.sampled_from(["extra", "version"]))] = draw(json_scalars)
        elif op == "move":
            cells_.insert(draw(st.integers(0, len(cells_) - 1)), cells_.pop(i))
    return doc


def read_paths(doc):
    """Every place in `doc` that the merge or the diff reads, as key paths."""
    paths = [("cells",), ("metadata",), ("metadata", "canvas"), ("metadata", "canvas", "parameters")]
    cells_ = doc.get("cells") if isinstance(doc, dict) else None
    for i, cell in enumerate(cells_ if isinstance(cells_, list) else []):
        at = ("cells", i)
        paths += [at, at + ("metadata",), at + ("metadata", "canvas"), at + ("source",),
                  at + ("outputs",), at + ("execution_count",), at + ("id",), at + ("cell_type",)]
        canvas = cell.get("metadata", {}).get("canvas") if isinstance(cell, dict) and isinstance(
            cell.get("metadata"), dict) else None
        if isinstance(canvas, dict):
            c = at + ("metadata", "canvas")
            paths += [c + (k,) for k in ("id", "name", "parents", "comments", "headerColor")]
            for j, parent in enumerate(canvas.get("parents") if isinstance(canvas.get("parents"), list) else []):
                paths += [c + ("parents", j), c + ("parents", j, "id"), c + ("parents", j, "name")]
            for j, _ in enumerate(canvas.get("comments") if isinstance(canvas.get("comments"), list) else []):
                paths.append(c + ("comments", j))
        source = cell.get("source") if isinstance(cell, dict) else None
        for k, _ in enumerate(source if isinstance(source, list) else []):
            paths.append(at + ("source", k))
    try:
        params = doc["metadata"]["canvas"]["parameters"]
    except (KeyError, TypeError):
        params = None
    for j, _ in enumerate(params if isinstance(params, list) else []):
        at = ("metadata", "canvas", "parameters", j)
        paths += [at, at + ("name",), at + ("type",), at + ("value",)]
    return paths


def _container(doc, path):
    node = doc
    for key in path[:-1]:
        try:
            node = node[key]
        except (KeyError, IndexError, TypeError):
            return None
    return node if isinstance(node, (dict, list)) else None


@st.composite
def hostile(draw, doc):
    """`doc` after a few hostile edits (most of the time none)."""
    doc = copy.deepcopy(doc)
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))):
        kind = draw(st.sampled_from(["set", "set", "delete", "duplicate", "nasty-source", "dangling"]))
        if kind in ("duplicate", "nasty-source", "dangling"):
            cells_ = doc.get("cells") if isinstance(doc, dict) else None
            if not isinstance(cells_, list) or not cells_:
                continue
            i = draw(st.integers(0, len(cells_) - 1))
            cell = cells_[i]
            if kind == "duplicate":
                # Another cell with the same canvas id, or the same name.
                twin = copy.deepcopy(cell)
                if draw(st.booleans()) and isinstance(twin, dict) and isinstance(twin.get("source"), list):
                    twin["source"].append("twin\n")
                cells_.insert(draw(st.integers(0, len(cells_))), twin)
                continue
            try:
                canvas = cell["metadata"]["canvas"]
            except (KeyError, TypeError, IndexError):
                continue
            if kind == "nasty-source":
                cell["source"] = draw(st.lists(st.one_of(nasty_text, huge_text), min_size=1, max_size=3))
            elif isinstance(canvas, dict):
                canvas["parents"] = [{"id": draw(st.sampled_from(["nowhere", canvas.get("id"), None]))}]
            continue
        paths = read_paths(doc)
        path = paths[draw(st.integers(0, len(paths) - 1))]
        holder = _container(doc, path)
        if holder is None:
            continue
        key = path[-1]
        if kind == "delete":
            try:
                del holder[key]
            except (KeyError, IndexError, TypeError):
                pass
        else:
            value = draw(hostile_values)
            try:
                holder[key] = value
            except (IndexError, TypeError):
                pass
    return doc


@st.composite
def notebook_triples(draw, twins=False):
    """(base, current, incoming) documents; with `twins`, incoming is current."""
    base = draw(base_notebooks())
    current = draw(hostile(draw(edited(base))))
    incoming = copy.deepcopy(current) if twins else draw(hostile(draw(edited(base))))
    return draw(hostile(base)), current, incoming


def cell_shapes():
    """Cells as a notebook holds them, now and then with one part replaced by
    a hostile value or deleted."""
    canvas = ("metadata", "canvas")
    paths = [("metadata",), canvas, canvas + ("id",), canvas + ("name",), canvas + ("parents",),
             canvas + ("comments",), ("source",), ("id",)]

    def damage(cell, path_index, value, delete):
        if path_index >= len(paths):
            return cell
        path = paths[path_index]
        holder = _container(cell, path)
        if not isinstance(holder, dict):
            return cell
        if delete:
            holder.pop(path[-1], None)
        else:
            holder[path[-1]] = value
        return cell

    return st.builds(damage, cells(), st.integers(0, 2 * len(paths)), hostile_values, st.booleans())


# Whole-file damage: what a file may hold instead of a notebook.
damaged_files = st.sampled_from([b"", b"\xff\xfe\x00", b"{", b"[]", b"null", b'{"cells": {}}',
                                 b'{"cells": "abc"}', b"\xef\xbb\xbf{}", b'{"cells": [], "x": NaN}'])
