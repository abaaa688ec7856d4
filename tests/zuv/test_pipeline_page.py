"""The pipeline page of `zuv diff --html`, loaded in headless Chromium."""
import html
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest
from browser import Dom, load
from nbbuild import cell, notebook, param, write

pytestmark = pytest.mark.slow

ZUV = Path(sys.executable).parent / "zuv"


def diff_page(tmp_path, old, new):
    write(tmp_path / "old.ipynb", old)
    write(tmp_path / "new.ipynb", new)
    page = tmp_path / "page.html"
    result = subprocess.run([str(ZUV), "diff", "--html", str(page), "old.ipynb", "new.ipynb"],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return page


def node_classes(dom):
    return {a["data-cell"]: set(a["class"].split()) for a in dom.having("g", "n")}


def test_graph_statuses_edges_and_sections(tmp_path):
    old = notebook([
        cell("L", "load", ["x = 1\n"]),
        cell("C", "clean", ["c = x\n"], ["L"]),
        cell("F", "features", ["f = c\n"], ["C"]),
        cell("G", "gone", ["g = 1\n"], ["L"]),
        cell("A", "loop_a", ["a\n"], ["B"]),
        cell("B", "loop_b", ["b\n"], ["A"]),
        cell("M", "markdown", ["# notes\n"], cell_type="markdown"),
    ], [param("lr", "0.1", "float"), param("old", "1")])
    new = notebook([
        cell("L", "load", ["x = 1\n"]),
        cell("C", "clean", ["c = x\n", "c = c.dropna()\n"], ["L"]),
        cell("F", "features", ["f = c\n"], ["C", "L"]),
        cell("N", "train", ["t = f\n"], ["F", "lost-id"]),
        cell("A", "loop_a", ["a\n"], ["B"]),
        cell("B", "loop_b", ["b\n"], ["A"]),
        cell("S", "self", ["s\n"], ["S"]),
    ], [param("lr", "0.2", "float"), param("new", "2")])
    dom_text, console = load(diff_page(tmp_path, old, new))
    dom = Dom(dom_text)
    assert console == []

    nodes = node_classes(dom)
    expected = {"L": "st-same", "C": "st-mod", "F": "st-same", "G": "st-del", "N": "st-add",
                "A": "st-same", "B": "st-same", "S": "st-add", "lost-id": "st-miss"}
    assert {k: v & set(expected.values()) for k, v in nodes.items()} == {
        k: {v} for k, v in expected.items()}

    edges = [set(a["class"].split()) for a in dom.having("path", "e")]
    by_status = {s: sum(f"e-{s}" in e for e in edges) for s in ("same", "add", "del", "lost")}
    # same: L->C, C->F, A->B, B->A; added: L->F, F->N, lost-id->N, S->S; removed: L->G
    assert by_status == {"same": 4, "add": 4, "del": 1, "lost": 0}
    # drawn against the layers: one edge of the A/B cycle, and the self-loop
    assert sum("cyc" in e for e in edges) == 2

    # Every node links to an element of the page; changed cells have sections.
    ids = {a.get("id") for _, a in dom.elements}
    links = [a["href"] for a in dom.having("a") if a.get("href", "").startswith("#c")]
    assert len(links) == len(nodes) and all(link[1:] in ids for link in links)
    sections = {a["id"] for a in dom.having("details", "cell")}
    # C modified, F gained a parent, G removed, N and S added, the missing parent explained
    assert len(sections) == 6
    assert "c = c.dropna()" in dom.text and "Parents gained:" in dom.text
    rows = [r for r in dom.having("tr") if r.get("class")]
    assert {"mod", "add", "del"} <= {c for r in rows for c in r["class"].split()}
    assert "markdown" not in nodes


PAYLOADS = [
    "</script><script>document.documentElement.setAttribute('data-pwned','1')</script>",
    "<img src=x onerror=\"document.documentElement.setAttribute('data-pwned','2')\">",
    "\"><svg onload=\"document.documentElement.setAttribute('data-pwned','3')\">",
    "lone \ud800 surrogate \udfff",
]


@pytest.mark.parametrize("payload", PAYLOADS)
def test_notebook_text_renders_as_text(tmp_path, payload):
    old = notebook([cell("K", "keep", ["k\n"]), cell("X" + payload, payload, [payload + "\n"])],
                   [param(payload, payload, payload)])
    new = notebook([cell("K", payload, [payload + "\n", "k\n"], ["X" + payload, payload])],
                   [param(payload, payload + "!", payload)])
    page = diff_page(tmp_path, old, new)
    raw = page.read_bytes().decode("utf-8")  # strict: no lone surrogate reaches the file
    assert raw.count("</script>") == 1 and raw.count("<script") == 1
    dom_text, console = load(page)
    dom = Dom(dom_text)
    assert console == []
    assert len(dom.having("script")) == 1 and dom.having("img") == []
    assert not any(k.startswith("on") or k == "data-pwned" for _, a in dom.elements for k in a)
    shown = payload.replace("\ud800", "\ufffd").replace("\udfff", "\ufffd")
    assert shown in dom.text


@pytest.mark.parametrize("old_name, new_name", [
    ("<img src=x onerror=\"document.documentElement.setAttribute('data-pwned','1')\">.ipynb",
     "a & <s>b.ipynb"),
    ("-x <b>.ipynb", "<script>document.title='pwned'<script>.ipynb"),
])
def test_file_labels_render_as_text(tmp_path, old_name, new_name):
    doms = []
    for old, new in (("old.ipynb", "new.ipynb"), (old_name, new_name)):
        write(tmp_path / old, notebook([cell("a", "load", ["x = 1\n"])]))
        write(tmp_path / new, notebook([cell("a", "load", ["x = 2\n"])]))
        page = tmp_path / "page.html"
        result = subprocess.run([str(ZUV), "diff", "--html", str(page), "--", old, new],
                                cwd=tmp_path, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        dom_text, console = load(page)
        assert console == []
        doms.append(Dom(dom_text))
    # The labels add no element and no attribute: the page has the shape
    # it has with plain names, and shows the names as text.
    plain, named = doms
    assert [t for t, _ in named.elements] == [t for t, _ in plain.elements]
    assert not any(k.startswith("on") or k == "data-pwned" for _, a in named.elements for k in a)
    assert f"{old_name} \u2192 {new_name}" in named.text


def _big_pair(n):
    """A pipeline of n steps in chains of 50 with links ten steps back, a
    few cells changed, removed and added."""
    cells_old, cells_new = [], []
    for i in range(n):
        parents = [f"c{i - 1}"] if i % 50 else []
        if i % 7 == 0 and i > 10:
            parents.append(f"c{i - 10}")
        source = [f"v{i} = step({i})\n", f"v{i} += 1\n"]
        cells_old.append(cell(f"c{i}", f"step_{i}", source, parents))
        if i % 40 == 3:
            continue  # removed
        new_source = source + ["log(v)\n"] if i % 20 == 1 else source
        cells_new.append(cell(f"c{i}", f"step_{i}", new_source, parents + ([f"c{i - 2}"] if i % 30 == 5 else [])))
    cells_new += [cell(f"n{k}", f"new_{k}", ["x\n"], [f"c{k * 40}"]) for k in range(n // 80)]
    return notebook(cells_old), notebook(cells_new)


# Run in the page after its own script, under the page's nonce: the graph at
# load, then the controls driven as a reader would (buttons, keys, a click
# on a collapsed run), every step measured against the graph's box.
PROBE = """
window.addEventListener('load', function () {
  var box = document.querySelector('.graph'), svg = box.querySelector('svg');
  var bar = document.querySelector('.gbar'), out = {};
  var b = box.getBoundingClientRect();
  function inside(el) {
    var r = el.getBoundingClientRect(), b = box.getBoundingClientRect();  // the box grows with the graph
    return r.width > 0 && r.left >= b.left - 0.5 && r.right <= b.right + 0.5 &&
      r.top >= b.top - 0.5 && r.bottom <= b.bottom + 0.5;
  }
  function shown(sel) {
    return [].filter.call(svg.querySelectorAll(sel), function (e) { return e.getBoundingClientRect().width > 0; });
  }
  function press(name) { bar.querySelector('[data-do=' + name + ']').click(); }
  function key(k) { document.dispatchEvent(new KeyboardEvent('keydown', {key: k, bubbles: true})); }
  function scale() { return +box.getAttribute('data-scale'); }
  out.window = [innerWidth, innerHeight];
  out.box = [b.left, b.top, b.right, b.bottom];
  var visible = shown('.n').concat(shown('.run'));
  out.at_load = {nodes: visible.length, runs: shown('.run').length,
                 outside: visible.filter(function (e) { return !inside(e); }).length};
  var changed = [].map.call(svg.querySelectorAll('.n.chg'), function (g) { return g.getAttribute('data-cell'); });
  out.changed = changed;
  out.visits = [];
  for (var i = 0; i < changed.length + 1; i++) {
    if (i % 2) press('next'); else key('n');
    var cur = svg.querySelectorAll('.n.cur');
    var g = cur[0];
    out.visits.push([cur.length === 1 ? g.getAttribute('data-cell') : null, inside(g),
                     g.getBoundingClientRect().width >= 149]);
  }
  window.dispatchEvent(new Event('resize'));  // keeps the reader's view
  out.resized = [scale(), inside(svg.querySelector('.n.cur'))];
  key('p');
  out.previous = svg.querySelector('.n.cur').getAttribute('data-cell');
  var s0 = scale(); press('in'); var s1 = scale(); press('out'); press('out'); var s2 = scale();
  key('+'); var s3 = scale(); key('0'); var s4 = scale(); key('-'); var s5 = scale();
  out.scales = [s0, s1, s2, s3, s4, s5];
  box.focus();
  var x0 = +svg.getAttribute('viewBox').split(' ')[0]; key('ArrowRight');
  out.panned = +svg.getAttribute('viewBox').split(' ')[0] - x0;
  key('0');
  var run = svg.querySelector('.run');
  if (run) {
    var first = run.getAttribute('data-to'), runs_before = shown('.run').length;
    run.dispatchEvent(new MouseEvent('click', {bubbles: true, cancelable: true}));
    var member = svg.querySelector('a[href="#' + first + '"] > g');
    var mine = [].filter.call(svg.querySelectorAll('.n[data-m]'), function (g) {
      return g.getAttribute('data-m').split(' ')[0] === run.getAttribute('data-run'); });
    // Nodes drawn on top of each other, by their places in the drawing.
    var boxes = shown('.n').concat(shown('.run')).map(function (g) {
      var m = /translate\\(([-0-9.]+) ([-0-9.]+)\\)/.exec(g.getAttribute('transform')); return [+m[1], +m[2]]; });
    boxes.sort(function (a, b) { return a[0] - b[0]; });
    var overlaps = 0;
    for (var i = 0; i < boxes.length; i++)
      for (var j = i + 1; j < boxes.length && boxes[j][0] - boxes[i][0] < 150; j++)
        if (Math.abs(boxes[j][1] - boxes[i][1]) < 30) overlaps++;
    var last = mine[mine.length - 1].getBoundingClientRect();
    var leaving = shown('.edges.vc path').filter(function (e) {
      var p = e.getPointAtLength(0), m = e.getScreenCTM(), x = p.x * m.a + m.e, y = p.y * m.d + m.f;
      return Math.abs(x - last.right) < 1 && y > last.top && y < last.bottom; }).length;
    out.expanded = {compact: svg.classList.contains('compact'), member_inside: inside(member),
                    runs_before: runs_before, runs: shown('.run').length,
                    clicked_shown: shown('.run').indexOf(run) >= 0,
                    members: mine.length, members_shown: mine.filter(function (g) {
                      return g.getBoundingClientRect().width > 0; }).length,
                    overlaps: overlaps, leaving_last: leaving};
    var reached = {};
    for (var k = 0; k < changed.length; k++) {
      key('n');
      var c = svg.querySelector('.n.cur');
      if (c && inside(c)) reached[c.getAttribute('data-cell')] = true;
    }
    out.expanded.reached = Object.keys(reached).length;
    key('0');
    out.expanded.outside_fitted = shown('.n').concat(shown('.run')).filter(function (e) { return !inside(e); }).length;
    var second = shown('.run')[0];  // Enter on a run opens it as a click does
    second.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true}));
    var its = [].filter.call(svg.querySelectorAll('.n[data-m]'), function (g) {
      return g.getAttribute('data-m').split(' ')[0] === second.getAttribute('data-run'); });
    out.expanded.by_key = [shown('.run').length, its.filter(function (g) {
      return g.getBoundingClientRect().width > 0; }).length === its.length];
  }
  document.documentElement.setAttribute('data-probe', JSON.stringify(out));
});
"""


def probe(page):
    raw = page.read_text()
    nonce = re.search(r'<script nonce="([A-Za-z0-9]+)">', raw).group(1)
    probed = page.with_name("probed.html")
    probed.write_text(raw.replace("</body>", f'<script nonce="{nonce}">{PROBE}</script></body>'))
    dom_text, console = load(probed, "--window-size=1400,900")
    assert console == []
    return json.loads(html.unescape(re.search(r'data-probe="([^"]*)"', dom_text).group(1))), dom_text


# A big pipeline opens fitted to the box (once a graph 9,500 px wide showed
# a tenth of its nodes), every change is reached and centred by "next
# change", the zoom controls and keys work, and long unchanged runs open
# collapsed; the page stays within the README's budget of 2.5 KB a cell.
@pytest.mark.parametrize("n", [200, 2000])
def test_big_pipelines_open_fitted_and_reach_every_change(tmp_path, n):
    page = diff_page(tmp_path, *_big_pair(n))
    size = page.stat().st_size
    assert size <= 2500 * n
    found, dom_text = probe(page)
    load_ms = float(re.search(r'data-load-ms="([0-9.]+)"', dom_text).group(1))
    print(f"\n{n}-cell page: {size / 1e6:.2f} MB, performance.now() at load {load_ms:.0f} ms")
    assert load_ms < 20_000  # generous: the benchmark reports the real figure
    width, height = found["window"]  # 1400 x 900, less the browser's own bars
    assert width == 1400 and 800 <= height <= 900
    left, top, right, bottom = found["box"]
    assert left >= 0 and right <= width and top >= 0 and bottom <= height
    assert found["at_load"]["outside"] == 0 and found["at_load"]["runs"] > 0

    changed = found["changed"]
    nodes = node_classes(Dom(dom_text))
    assert len(nodes) == len(_big_pair(n)[1]["cells"]) + sum(i % 40 == 3 for i in range(n))
    expected = {f"c{i}" for i in range(n) if i % 20 == 1 or i % 40 == 3 or i % 30 == 5}
    assert sorted(changed) == sorted(expected | {f"n{k}" for k in range(n // 80)})
    visits = found["visits"]
    assert all(inside and readable for _, inside, readable in visits)
    assert sorted(v[0] for v in visits[:-1]) == sorted(changed)
    assert visits[-1][0] == visits[0][0]  # round again from the first
    assert found["previous"] == visits[-2][0]
    assert found["resized"] == [1, True]

    s0, s1, s2, s3, s4, s5 = found["scales"]
    assert s1 > s0 and s2 < s1 and s3 > s2 and s5 < s4 and found["panned"] > 0
    full, compact = (re.search(f'data-{k}="([0-9.]+) ', dom_text).group(1) for k in ("full", "compact"))
    assert float(compact) < float(full)
    check_opened_alone(found, leaves=True)


def check_opened_alone(found, leaves):
    """A click on the first collapsed run opened it alone: its cells drawn, the other runs
    still collapsed, nothing drawn over anything else, and the view's controls still work."""
    expanded = found["expanded"]
    assert expanded["compact"] and expanded["member_inside"] and not expanded["clicked_shown"]
    assert expanded["runs_before"] > 1 and expanded["runs"] == expanded["runs_before"] - 1
    assert expanded["members"] >= 4 and expanded["members_shown"] == expanded["members"]
    assert expanded["overlaps"] == 0
    assert (expanded["leaving_last"] > 0) == leaves  # the edges out of a chain leave its last cell
    assert expanded["reached"] == len(found["changed"]) and expanded["outside_fitted"] == 0
    assert expanded["by_key"] == [expanded["runs"] - 1, True]


def _branching_chain():
    """c0..c13 a chain, c5 changed, c8 also read by a branch cell b."""
    cells = [cell(f"c{i}", f"s{i}", ["x\n"], [f"c{i - 1}"] if i else []) for i in range(14)]
    return cells + [cell("b", "branch", ["b\n"], ["c8"])], 5, ["5 unchanged cells, s0 to s4",
                                                              "5 unchanged cells, s9 to s13"]


def _plain_cells():
    cells = [_stock(f"p{i}", [f"x{i}\n"], "markdown" if i % 3 else "code") for i in range(14)]
    return cells, 9, ["9 unchanged cells, code p0 to markdown p8",
                      "4 unchanged cells, markdown p10 to markdown p13"]


# Long runs of unchanged cells are drawn as one node in the drawing the page
# opens with: chains (each the only parent of the next, that one its only
# child) and, in plain notebooks, cells without edges in notebook order.  A
# click opens the one run (a chain along its row, the others down a column).
@pytest.mark.parametrize("shape", [_branching_chain, _plain_cells])
def test_unchanged_runs_are_collapsed(tmp_path, shape):
    cells, changed_at, runs = shape()
    old = notebook(cells)
    new = json.loads(json.dumps(old))
    new["cells"][changed_at]["source"] = ["changed\n"]
    if shape is _plain_cells:
        for document in (old, new):
            del document["metadata"]["canvas"]
    raw = diff_page(tmp_path, old, new).read_text()
    titles = re.findall(r'<g class="run"[^>]*><title>([^<]*) \(click', raw)
    assert titles == runs
    full, compact = (float(re.search(f'data-{k}="([0-9.]+) ([0-9.]+)"', raw).group(i))
                     for k, i in (("full", 1 if shape is _branching_chain else 2),
                                  ("compact", 1 if shape is _branching_chain else 2)))
    assert compact < full
    check_opened_alone(probe(diff_page(tmp_path, old, new))[0], leaves=shape is _branching_chain)


@pytest.mark.parametrize("command", ["diff", "graph"])
def test_deep_pipeline_under_a_small_stack(tmp_path, command):
    """A 30,000-cell chain closed into a cycle: layout and components need no deep recursion."""
    import resource

    n = 30_000
    chain = notebook([cell(f"c{i}", f"s{i}", ["x\n"], [f"c{(i - 1) % n}"]) for i in range(n)])
    write(tmp_path / "a.ipynb", chain)
    write(tmp_path / "b.ipynb", chain)
    args = (["diff", "--html", "page.html", "a.ipynb", "b.ipynb"] if command == "diff" else
            ["conflicts", "--graph", "a.ipynb", "a.ipynb", "b.ipynb", "b.ipynb"])
    small = lambda: resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, 1 << 20))  # noqa: E731
    result = subprocess.run([str(ZUV), *args], cwd=tmp_path, capture_output=True, text=True,
                            preexec_fn=small, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    if command == "graph":
        assert result.stdout.splitlines()[-1] == (
            "warning: cycle in the merged pipeline: s0, s1, s2, s3, s4, s5 and 29994 more cells "
            "depend on each other")
    else:
        assert (tmp_path / "page.html").read_text().count('class="n st-same"') == n


@pytest.mark.parametrize("order", [[4, 2, 0, 3, 1], [1, 0, 3, 2, 4, 6, 5], [5, 4, 3, 2, 1, 0]])
def test_layer_ordering_untangles_what_the_notebook_order_crosses(tmp_path, order):
    """Children listed in scrambled order, each under its own parent: a
    barycentric ordering draws the edges without a crossing."""
    parents = [cell(f"p{i}", f"p{i}", ["x\n"]) for i in range(len(order))]
    children = [cell(f"c{i}", f"c{i}", ["y\n"], [f"p{i}"]) for i in order]
    document = notebook(parents + children)
    page = diff_page(tmp_path, document, document)
    place = {}
    for attributes in Dom(page.read_text()).having("g", "n"):
        x, y = map(float, re.search(r"translate\(([-0-9.]+) ([-0-9.]+)\)", attributes["transform"]).groups())
        place[attributes["data-cell"]] = (x, y)
    edges = [(place[f"p{i}"][1], place[f"c{i}"][1]) for i in order]
    crossings = sum((a[0] < b[0]) != (a[1] < b[1]) for k, a in enumerate(edges) for b in edges[k + 1:])
    assert crossings == 0
    assert len({x for x, _ in place.values()}) == 2  # two layers



def _lcs_length(a, b):
    previous = [0] * (len(b) + 1)
    for x in a:
        current = [0]
        for j, y in enumerate(b):
            current.append(previous[j] + 1 if x == y else max(previous[j + 1], current[j]))
        previous = current
    return previous[-1]


def _every_other_line_changed(n):
    old = [f"value_{i} = compute({i})\n" for i in range(n)]
    return old, [line if i % 2 else f"value_{i} = compute({i}) + 1\n" for i, line in enumerate(old)]


def _repeated_lines_moved():
    body = ["\n", "    pass\n", "\n", "return x\n"]
    old = [f"def f{i}(x):\n" for i in range(30)] + body * 40
    new = body * 10 + [f"def f{i}(x):\n" for i in range(0, 30, 2)] + body * 35 + ["    pass\n"] * 3
    return old, new


@pytest.mark.parametrize("old, new, kept", [
    (*_every_other_line_changed(20_000), 10_000),
    (*_repeated_lines_moved(), None),  # None: as many as a longest common subsequence
    (["a = 1"], ["a = 1\n", "b = 2"], 1),  # a line after a last line that had no newline
], ids=["20000-lines-every-other-changed", "repeated-lines-moved", "line-after-last-without-newline"])
def test_text_view_and_page_show_the_same_hunks(tmp_path, old, new, kept):
    """One line differ for both views: the same rows in the same order, a
    minimal script here, in seconds where a quadratic matcher took most of a
    minute."""
    write(tmp_path / "old.ipynb", notebook([cell("a", "big", old)]))
    write(tmp_path / "new.ipynb", notebook([cell("a", "big", new)]))
    text = subprocess.run([str(ZUV), "diff", "old.ipynb", "new.ipynb"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=30)
    assert text.returncode == 0, text.stderr
    page_run = subprocess.run([str(ZUV), "diff", "--html", "page.html", "old.ipynb", "new.ipynb"],
                              cwd=tmp_path, capture_output=True, text=True, timeout=30)
    assert page_run.returncode == 0, page_run.stderr
    lines = text.stdout.splitlines()
    start = next(k for k, line in enumerate(lines) if line.startswith("  @@ "))
    shown = [(line[2], line[3:]) for line in lines[start:] if not line.startswith("  @@ ")]
    raw = (tmp_path / "page.html").read_text()
    marks = [{"a": "+", "d": "-"}.get(a.get("class"), " ") for a in Dom(raw).having("tr")
             if a.get("class") != "g" and not a.get("class", "").startswith("same")]
    texts = [html.unescape(t) for t in re.findall(r'<td class="t">(.*?)</td>', raw, re.S)]
    assert list(zip(marks, texts)) == shown
    removed, added = sum(m == "-" for m, _ in shown), sum(m == "+" for m, _ in shown)
    plain_old, plain_new = [s.rstrip("\n") for s in old], [s.rstrip("\n") for s in new]
    if kept is None:
        kept = _lcs_length(plain_old, plain_new)
    assert (removed, added) == (len(old) - kept, len(new) - kept)


def _hub_chain(n):
    """A chain whose every step also reads the first cell."""
    return [cell("c0", "hub", ["h\n"])] + [
        cell(f"c{i}", f"s{i}", [f"x{i}\n"], [f"c{i - 1}"] + (["c0"] if i > 1 else [])) for i in range(1, n)]


def _collector_chain(n):
    """A chain whose last cell reads every step."""
    steps = [cell(f"c{i}", f"s{i}", [f"x{i}\n"], [f"c{i - 1}"] if i else []) for i in range(n - 1)]
    return steps + [cell("r", "report", ["r\n"], [f"c{i}" for i in range(n - 1)])]


@pytest.mark.parametrize("shape", [_hub_chain, _collector_chain])
def test_page_size_grows_linearly_with_long_edges(tmp_path, shape):
    """Edges spanning many layers cost a constant each, not one piece per
    layer they cross; every edge is still drawn, inside the picture."""
    sizes = []
    for n in (400, 800):
        cells = shape(n)
        changed = json.loads(json.dumps(cells))
        changed[n // 2]["source"] = ["changed\n"]
        page = diff_page(tmp_path, notebook(cells), notebook(changed))
        sizes.append(page.stat().st_size)
        raw = page.read_text()
        svg = re.search(r'<svg [^>]*width="([0-9.]+)" height="([0-9.]+)"', raw)
        width, height = float(svg.group(1)), float(svg.group(2))
        paths = re.findall(r'<path class="e[^"]*" d="([^"]*)"', raw)
        assert len(paths) == sum(len(c["metadata"]["canvas"]["parents"]) for c in cells)
        numbers = [float(v) for d in paths for v in re.findall(r"-?[0-9.]+", d)]
        assert min(numbers) >= 0 and max(numbers[1::2]) <= height and max(numbers[0::2]) <= width
    assert sizes[1] / sizes[0] < 2.3


def test_renames_comments_and_colours_show_on_the_page(tmp_path):
    old = notebook([cell("a", "load", ["x = 1\n"], comments=["keep"], headerColor="red"),
                    cell("b", "old <name>", ["y\n"], ["a"])])
    new = notebook([cell("a", "load", ["x = 1\n"], comments=["<b>look</b>", "keep"], headerColor="blue"),
                    cell("b", "new_name", ["y\n"], ["a"])])
    dom_text, console = load(diff_page(tmp_path, old, new))
    dom = Dom(dom_text)
    assert console == [] and all(a.get("class", "").startswith("lg-") for a in dom.having("b"))
    assert "rn" in node_classes(dom)["b"] and "rn" not in node_classes(dom)["a"]
    # Changed as the text view says, though neither source changed.
    assert all("st-mod" in node_classes(dom)[c] for c in "ab") and "0 unchanged" in dom.text
    assert "renamed from old <name>" in dom.text
    assert {"c0", "c1"} <= {a["id"] for a in dom.having("details", "cell")}
    assert "comment added: <b>look</b>" in dom.text and "header colour: red -> blue" in dom.text
    assert "comment removed" not in dom.text


def _stock(cell_id, source, cell_type="code"):
    """A cell as stock Jupyter writes it: no canvas metadata."""
    made = {"cell_type": cell_type, "id": cell_id, "metadata": {}, "source": source}
    if cell_type == "code":
        made.update(outputs=[], execution_count=None)
    return made


# Cells without a canvas id (a plain notebook, or a cell added in stock
# Jupyter) are drawn as nodes of their own, keyed by their nbformat id (or,
# in a notebook whose cells carry none, matched by the merge's alignment),
# and their changes listed: the page once failed on them with KeyError, and
# the text view compared them by position.
@pytest.mark.parametrize("shape", ["plain", "mixed", "plain-without-ids"])
@pytest.mark.parametrize("command", ["diff", "show-merge", "text"])
def test_cells_without_a_canvas_id_are_drawn(tmp_path, shape, command):
    plain = [_stock("md", ["# Notes\n"], "markdown"), _stock("calc", ["a = 1\n"])]
    old = notebook(([cell("L", "load", ["x = 1\n"])] if shape == "mixed" else []) + plain)
    new = json.loads(json.dumps(old))
    new["cells"][-1]["source"] = ["a = 2\n"]
    key = {"md": "md", "calc": "calc", "intro": "intro"}
    if shape.startswith("plain"):
        for document in (old, new):
            del document["metadata"]["canvas"]
    if shape == "plain-without-ids":
        for document in (old, new):
            document["nbformat_minor"] = 4
            for c in document["cells"]:
                del c["id"]
        key = {"md": "#1", "calc": "#2", "intro": "new #1"}
    write(tmp_path / "old.ipynb", old)
    write(tmp_path / "new.ipynb", new)
    if command == "text":
        # A markdown cell inserted first must not shift what is compared.
        new["cells"].insert(0, _stock("intro", ["# Intro\n"], "markdown"))
        if shape == "plain-without-ids":
            del new["cells"][0]["id"]
        write(tmp_path / "new.ipynb", new)
        result = subprocess.run([str(ZUV), "diff", "old.ipynb", "new.ipynb"], cwd=tmp_path,
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        changes = [line for line in result.stdout.splitlines() if line.split(" ")[0] in
                   ("added", "removed", "modified")]
        assert sorted(changes) == [f"added cell markdown {key['intro']}  (id {key['intro']})",
                                   f"modified cell code {key['calc']}  (id {key['calc']})"], result.stdout
        return
    page = tmp_path / "page.html"
    argv = ["diff", "--html", str(page), "old.ipynb", "new.ipynb"] if command == "diff" else \
        ["show-merge", "--html", str(page), "new.ipynb"]
    result = subprocess.run([str(ZUV), *argv], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    dom_text, console = load(page)
    assert console == []
    classes = node_classes(Dom(dom_text))
    assert {key["md"], key["calc"]} <= set(classes) and ("L" in classes) == (shape == "mixed")
    if command == "diff":
        assert "st-mod" in classes[key["calc"]] and "st-mod" not in classes[key["md"]]
        assert "a = 2" in Dom(dom_text).text


@pytest.mark.parametrize("existing", [False, True])
def test_a_page_that_cannot_be_written_leaves_nothing(tmp_path, existing):
    """A write that fails part-way (the file size limit) exits 3 and leaves
    no page, no temporary file, and an existing page as it was."""
    import resource
    import signal

    write(tmp_path / "old.ipynb", notebook([cell(f"c{i}", f"s{i}", ["x\n"]) for i in range(300)]))
    write(tmp_path / "new.ipynb", notebook([cell(f"c{i}", f"s{i}", ["y\n"]) for i in range(300)]))
    if existing:
        (tmp_path / "page.html").write_text("old page")
    before = sorted(p.name for p in tmp_path.iterdir())

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))

    result = subprocess.run([str(ZUV), "diff", "--html", "page.html", "old.ipynb", "new.ipynb"],
                            cwd=tmp_path, capture_output=True, text=True, preexec_fn=limit)
    assert result.returncode == 3 and "File too large" in result.stderr, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    if existing:
        assert (tmp_path / "page.html").read_text() == "old page"


@pytest.mark.parametrize("link", ["target.html", "../target.html"])
def test_a_new_page_through_a_dangling_link_keeps_the_link(tmp_path, link):
    """The page is written where the link points, as over an existing file;
    the link was once replaced by the page."""
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "page.html").symlink_to(link)
    write(tmp_path / "old.ipynb", notebook([cell("a", "load", ["x = 1\n"])]))
    write(tmp_path / "new.ipynb", notebook([cell("a", "load", ["x = 2\n"])]))
    result = subprocess.run([str(ZUV), "diff", "--html", "sub/page.html", "old.ipynb", "new.ipynb"],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "sub" / "page.html").is_symlink()
    assert "x = 2" in (tmp_path / "sub" / "page.html").read_text()
    assert sorted(p.name for p in tmp_path.rglob("*") if ".zuvmerge-" in p.name) == []
