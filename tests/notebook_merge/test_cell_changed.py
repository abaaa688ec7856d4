"""`_cell_changed`: its native difference against the installed jsondiff, and
its handling of parent names, "execution_count" and logging."""

import collections
import math
import sys
import types

import jsondiff
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from jsondiff.symbols import Symbol

from zuv_weft_git import _json_diff
from zuv_weft_git.drivers import notebook_merge as nm

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Record:
    """The least `_cell_changed` needs of a cell."""

    def __init__(self, data, parents=()):
        self.data = data
        self.parents = list(parents)


def containers(value, seen=None):
    """Ids of every container reachable from value."""
    seen = set() if seen is None else seen
    if isinstance(value, (dict, list, tuple, set)) and id(value) not in seen:
        seen.add(id(value))
        children = value.items() if isinstance(value, dict) else value
        for child in children:
            containers(child, seen)
    return seen


def assert_same(expected, actual, shared):
    """Equal, same types, same key order, the very symbols, and input
    containers shared exactly where jsondiff shares them."""
    if id(expected) in shared:
        assert actual is expected
        return
    assert type(actual) is type(expected)
    if isinstance(expected, (dict, list, tuple, set)):
        assert id(actual) not in shared
    if isinstance(expected, dict):
        assert len(actual) == len(expected)
        for (ek, ev), (ak, av) in zip(expected.items(), actual.items()):
            if isinstance(ek, Symbol):
                assert ak is ek
            else:
                assert type(ak) is type(ek) and ak == ek
            assert_same(ev, av, shared)
    elif isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected)
        for e, a in zip(expected, actual):
            assert_same(e, a, shared)
    elif isinstance(expected, float) and math.isnan(expected):
        assert actual is expected
    else:
        assert actual == expected


def check(a, b):
    """The native difference of a and b (inside a cell) is jsondiff's, and
    the engine's emptiness test agrees with it, at the root and inside."""
    old, new = {"value": a}, {"value": b}
    expected = jsondiff.diff(old, new)
    actual = nm._cell_changed(Record(old), Record(new))
    assert actual == expected
    assert_same(expected, actual, containers(old) | containers(new))
    assert _json_diff.same(old, new) == (expected == {})
    assert _json_diff.same(a, b) == (jsondiff.diff(a, b) == {})


def chain(depth, leaf, wrap=lambda v: {"k": v}):
    for _ in range(depth):
        leaf = wrap(leaf)
    return leaf


# -- strategies -------------------------------------------------------------

NAN = float("nan")
scalars = st.one_of(
    st.sampled_from(["a", "b", "", 0, 1, 2, 1.0, 0.0, -0.0, 2.5, True, False, None, NAN]),
    st.builds(float, st.just("nan")),  # a NaN object of its own
    st.integers(-3, 3),
    st.text(alphabet="ab", max_size=3),
)
json_values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.dictionaries(st.sampled_from("abcd"), children, max_size=4),
    ),
    max_leaves=14,
)


@st.composite
def edited(draw, values, elements):
    """A value and a variant of it: the lists in it get elements inserted,
    removed and replaced, the dicts get members changed."""
    original = draw(values)

    def vary(value):
        if isinstance(value, list):
            result = [vary(x) if draw(st.booleans()) else x for x in value]
            for _ in range(draw(st.integers(0, 3))):
                where = draw(st.integers(0, len(result)))
                if result and draw(st.booleans()):
                    del result[min(where, len(result) - 1)]
                else:
                    result.insert(where, draw(elements))
            return result
        if isinstance(value, dict):
            result = {k: vary(v) if draw(st.booleans()) else v for k, v in value.items()}
            if draw(st.booleans()):
                result[draw(st.sampled_from("abcde"))] = draw(elements)
            if result and draw(st.booleans()):
                del result[draw(st.sampled_from(sorted(result)))]
            return result
        return draw(elements) if draw(st.integers(0, 3)) == 0 else value

    return original, vary(original)


small_lists = st.lists(st.sampled_from(["a", "b", "c", 1, 1.0, True]), max_size=14)
long_lists = st.lists(st.sampled_from("abc"), min_size=50, max_size=200)
flat_dicts = st.dictionaries(st.sampled_from("abc"), st.sampled_from([0, 1, "x", None]), max_size=3)
dict_lists = st.lists(st.one_of(flat_dicts, st.sampled_from(["a", 1])), max_size=7)
nested_lists = st.lists(st.one_of(st.lists(st.sampled_from("ab"), max_size=3), st.sampled_from("ab")),
                        max_size=6)


# -- differential tests -----------------------------------------------------

@settings(max_examples=1500, **SETTINGS)
@given(st.one_of(st.tuples(json_values, json_values), edited(json_values, scalars)))
def test_json_values_match_jsondiff(pair):
    check(*pair)


@settings(max_examples=1500, **SETTINGS)
@given(st.one_of(
    st.tuples(small_lists, small_lists),
    edited(small_lists, st.sampled_from(["a", "b", "c", 1, True])),
    edited(long_lists, st.sampled_from("abcd")),
))
def test_lists_with_repeated_elements_match_jsondiff(pair):
    check(*pair)


@settings(max_examples=1000, **SETTINGS)
@given(st.one_of(
    st.tuples(dict_lists, dict_lists),
    edited(dict_lists, st.one_of(flat_dicts, st.just("a"))),
    st.tuples(nested_lists, nested_lists),
    edited(nested_lists, st.sampled_from(["a", "b", "c"])),
))
def test_fractional_similarities_match_jsondiff(pair):
    check(*pair)


@settings(max_examples=300, **SETTINGS)
@given(st.sets(st.sampled_from([0, 1, 2, "a", "b", (1, 2), (1, 3)]), max_size=5),
       st.sets(st.sampled_from([0, 1, 2, "a", "b", (1, 2), (1, 3)]), max_size=5))
def test_sets_match_jsondiff(a, b):
    check(a, b)


class Loose:
    """Equal to anything that is not None."""

    def __eq__(self, other):
        return other is not None

    def __ne__(self, other):
        return other is None

    __hash__ = object.__hash__


class Tagged(list):
    pass


same_nan = float("nan")


@pytest.mark.parametrize("a, b", [
    ([], []), ({}, {}), ([], {}), ({}, []), ((), ()),
    ([1, 2, 3], ["x", "y"]),            # wholly different: b itself
    ({"a": 1}, {"b": 1}),               # no common key: {replace: b}
    ([1], [True]), ([1.0, 2], [True, 2.0]), ([0], [False]), (1, 1.0),
    ([float("nan")], [float("nan")]), ([same_nan], [same_nan]),
    ([2 ** 60, 2 ** 53 + 1], [float(2 ** 60), float(2 ** 53)]),
    ((1, 2, 3), (1, 3)), ((1, 2), [1, 2]), ([(1, 2)], [[1, 2]]),
    ([{"a": 1}, "a"], ["a", {"a": 1}]),
    ([["a", "b"], "c"], [["a"], "c", ["b"]]),
    ([{"x": [1, 2, {"y": 3}]}], [{"x": [1, {"y": 4}]}]),
    (collections.OrderedDict(a=1, b=2), {"b": 2, "c": 3}),
    (Tagged([1, 2, 3]), [1, 3]), ([Loose(), 1], [2, 3]), ([1, None], [Loose()]),
    (frozenset({1}), {1}), ({1, 2}, {2, 3}), ([{1}], [{1, 2}]),
    ({"a": jsondiff.symbols.missing}, {"a": 1}), ({"a": 1}, {"a": jsondiff.symbols.missing}),
    # Nested dicts halve a member's dissimilarity at every level: from 55
    # levels down jsondiff's similarity rounds to 1.0 and reports nothing.
    (chain(53, 1), chain(53, 2)), (chain(55, 1), chain(55, 2)), (chain(300, 1), chain(300, 2)),
    (chain(30, [1, 2]), chain(30, [1])), (chain(60, [[1]]), chain(60, [[1, 2]])),
    (chain(12, 1, lambda v: [v]), chain(12, 2, lambda v: [v])),
    (chain(45, 1, lambda v: {"k": v, "x": 0}), chain(45, 2, lambda v: {"k": v, "x": 0})),
])
def test_special_values_match_jsondiff(a, b):
    check(a, b)


# Lists of lists whose difference flips when a list similarity is summed in
# another order than jsondiff's (from the start of the path).
@pytest.mark.parametrize("a, b", [
    ([[["b"], "a"], [["b", "c", "a"], "a", ["c"], ["a", "c", "a"]],
      ["b", ["a", "c", "c"], ["a", "c", "a"]]],
     [["b", "b"], [["b", "c"], "a", ["a"]]]),
    ([[["a", "b"], ["b"]], [["b", "c"], ["a"], "a", ["b", "b", "b"]]],
     [[["b", "c", "b"], ["a"], ["b"]]]),
    ([[["a", "b"], ["c"]], ["a", "a", "a", ["c", "c"]], [["a", "b", "b"], "a", "b", "a"]],
     [[["a", "b", "b"], "a", "b", "a"], ["a", "a", "a", ["c", "c"]], [["a", "b"], ["c"]],
      ["a", ["a"], "a", "a"]]),
])
def test_summation_order_sensitive_lists_match_jsondiff(a, b):
    check(a, b)


def test_equal_and_changed_cells_match_jsondiff():
    lines = [f"line {i}\n" for i in range(300)]
    cell = {"cell_type": "code", "execution_count": 3, "metadata": {"canvas": {"id": "c"}},
            "outputs": [{"name": "stdout", "output_type": "stream", "text": lines}],
            "source": lines[:200]}
    changed = {**cell, "execution_count": 4,
               "outputs": [{**cell["outputs"][0], "text": lines[:50] + ["new\n"] + lines[51:]}],
               "source": lines[1:120] + ["x\n"] + lines[130:200] + ["y\n"]}
    same = {k: (list(v) if isinstance(v, list) else v) for k, v in cell.items()}
    for old, new in [(cell, changed), (changed, cell), (cell, same)]:
        expected = jsondiff.diff(old, new)
        expected.pop("execution_count", None)
        actual = nm._cell_changed(Record(old), Record(new))
        assert actual == expected
        assert_same(expected, actual, containers(old) | containers(new))


# -- robustness ---------------------------------------------------------------

def nested(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def self_referencing_list():
    value = [1]
    value.append(value)
    return value


def self_referencing_dict():
    value = {"a": 1}
    value["self"] = value
    return value


@pytest.mark.parametrize("make", [
    lambda: (nested(50_000, 1), nested(50_000, 2)),
    lambda: ({"x": nested(50_000, 1)}, {"x": nested(50_000, 1)}),
    lambda: (self_referencing_list(), self_referencing_list()),
    lambda: (self_referencing_dict(), self_referencing_dict()),
])
def test_deep_or_cyclic_containers_raise_recursion_error(make):
    a, b = make()
    with pytest.raises(RecursionError):
        nm._cell_changed(Record({"v": a}), Record({"v": b}))


# From CPython 3.12 on, native code counts its depth against the
# interpreter's fixed C recursion limit (as the json module does), which
# sys.setrecursionlimit does not raise.
@pytest.mark.parametrize("depth, limit, compared", [
    (300_000, 100_000, False),  # a raised limit is still a limit
    (100_000, 10 ** 7, sys.version_info < (3, 12)),  # nesting costs no native stack
])
def test_raised_recursion_limit_is_the_limit(depth, limit, compared):
    a, b = nested(depth, 1), nested(depth, 2)
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        if compared:
            # Wholly different at every level: the record is b itself.
            assert nm._cell_changed(Record({"v": a}), Record({"v": b}))["v"] is b
        else:
            with pytest.raises(RecursionError):
                nm._cell_changed(Record({"v": a}), Record({"v": b}))
    finally:
        sys.setrecursionlimit(saved)


def test_comparison_errors_propagate():
    class Broken:
        def __ne__(self, other):
            raise ValueError("no comparison")

    with pytest.raises(ValueError, match="no comparison"):
        nm._cell_changed(Record({"v": [Broken()]}), Record({"v": [1]}))


# -- substitution and the record ------------------------------------------------

def test_substituted_jsondiff_module_is_called(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(diff=lambda a, b: calls.append((a, b)) or {"x": 1})
    monkeypatch.setattr(nm, "jsondiff", fake)
    old, new = {"a": 1}, {"a": 2}
    assert nm._cell_changed(Record(old), Record(new)) == {"x": 1}
    assert calls == [(old, new)] and calls[0][0] is old and calls[0][1] is new


def test_substituted_diff_function_is_called(monkeypatch):
    calls = []
    original = jsondiff.diff
    monkeypatch.setattr(jsondiff, "diff", lambda a, b: calls.append(1) or original(a, b))
    assert nm._cell_changed(Record({"a": 1}), Record({"a": 2})) == {"a": 2}
    assert calls == [1]
    monkeypatch.undo()
    assert nm._cell_changed(Record({"a": 1}), Record({"a": 2})) == {"a": 2}
    assert calls == [1]


@pytest.mark.parametrize("old, new", [
    ({"x": 1, "execution_count": 1}, {"y": 2, "execution_count": 2}),   # {replace: new}
    ({"execution_count": 1}, {"execution_count": 2}),
    ({"execution_count": 1}, {"execution_count": 1}),
])
def test_record_shares_no_top_level_with_the_cells(old, new):
    before_old, before_new = dict(old), dict(new)
    result = nm._cell_changed(Record(old), Record(new))
    assert result is not old and result is not new
    assert "execution_count" not in result
    assert old == before_old and new == before_new


def cell(source, count, parents):
    return {"cell_type": "code", "execution_count": count, "source": source, "outputs": [],
            "metadata": {"canvas": {"id": "c1", "name": "n", "parents": parents}}}


def test_parent_names_and_execution_count_are_left_out(monkeypatch):
    logged = []
    monkeypatch.setattr(nm, "logging", types.SimpleNamespace(debug=logged.append))
    old = nm.MergeCell(cell(["a\n"], 1, [{"id": "p", "name": "first"}]), "base")
    new = nm.MergeCell(cell(["a\n"], 7, [{"id": "p", "name": "renamed"}]), "current")
    result = nm._cell_changed(old, new)
    assert result == {}
    assert logged == [result] and logged[0] is result
    assert old.data["metadata"]["canvas"]["parents"] == [{"id": "p"}]
    assert new.data["metadata"]["canvas"]["parents"] == [{"id": "p"}]
    assert old.data["execution_count"] == 1 and new.data["execution_count"] == 7


def test_changed_source_is_reported_and_same_cell_is_unchanged():
    base = cell(["a\n", "b\n"], 1, [{"id": "p", "name": "x"}])
    old = nm.MergeCell(base, "base")
    new = nm.MergeCell(cell(["a\n", "c\n"], 2, []), "incoming")
    result = nm._cell_changed(old, new)
    assert set(result) == {"source", "metadata"}
    assert result["source"] == {jsondiff.symbols.insert: [(1, "c\n")], jsondiff.symbols.delete: [1]}
    assert nm._cell_changed(old, old) == {}
    assert base["metadata"]["canvas"]["parents"] == [{"id": "p"}]
