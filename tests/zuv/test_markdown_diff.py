"""`zuv diff --markdown`: the review comment, parsed as CommonMark and its
Mermaid charts rendered by the real `mermaid` in headless Chromium."""
import html
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from browser import Dom, load
from markdown_it import MarkdownIt
from nbbuild import cell, notebook, param, write

ZUV = Path(sys.executable).parent / "zuv"
ROOT = Path(__file__).resolve().parents[2]


def mermaid_js():
    """npm's mermaid build (`make mermaid`); missing, it fails under CI and skips elsewhere."""
    path = Path(os.environ.get("ZUV_MERMAID_JS", ROOT / "build" / "mermaid" / "mermaid.min.js"))
    if not path.is_file():
        message = f"mermaid is not installed at {path} (`make mermaid` installs it)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return path


def zuv_markdown(cwd, *args, status=0):
    result = subprocess.run([str(ZUV), "diff", "--markdown", *map(str, args)], cwd=cwd,
                            capture_output=True, text=True)
    assert result.returncode == status, result.stderr
    return result.stdout


def two_files(tmp_path, old, new, *options):
    write(tmp_path / "old.ipynb", old)
    write(tmp_path / "new.ipynb", new)
    return zuv_markdown(tmp_path, *options, "old.ipynb", "new.ipynb")


def parse(markdown):
    """Block tokens of a GitHub-like reading (CommonMark, tables, raw HTML allowed)."""
    return MarkdownIt("commonmark").enable("table").parse(markdown)


def fences(markdown, info):
    return [t.content for t in parse(markdown) if t.type == "fence" and t.info == info]


def headings(markdown):
    tokens = parse(markdown)
    return ["".join(c.content for c in t.children if c.type == "text")
            for before, t in zip(tokens, tokens[1:]) if before.type == "heading_open"]


def render_charts(tmp_path, charts):
    """Each chart rendered by mermaid.render: its error, or its nodes (id, classes, label)."""
    page = tmp_path / "charts.html"
    data = json.dumps(charts).replace("</", "<\\/")
    page.write_text(f"""<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>
<script type="application/json" id="charts">{data}</script>
<pre id="report"></pre>
<script src="{mermaid_js().as_uri()}"></script>
<script>
mermaid.initialize({{startOnLoad: false, securityLevel: "strict"}});
(async () => {{
  const report = [];
  const charts = JSON.parse(document.getElementById("charts").textContent);
  for (let i = 0; i < charts.length; i++) {{
    try {{
      const {{svg}} = await mermaid.render("chart" + i, charts[i]);
      const holder = document.createElement("div");
      holder.innerHTML = svg;
      document.body.appendChild(holder);
      report.push({{
        nodes: [...holder.querySelectorAll("g.node")].map(
          g => ({{id: g.id, classes: [...g.classList], label: g.textContent.trim()}})),
        active: holder.querySelectorAll("script, img, foreignObject [onerror]").length,
      }});
    }} catch (e) {{
      report.push({{error: String(e && e.message || e)}});
    }}
  }}
  document.getElementById("report").textContent = JSON.stringify(report);
}})();
</script></body></html>""", encoding="utf-8")
    dom_text, _ = load(page, "--allow-file-access-from-files", "--virtual-time-budget=60000")
    dom = Dom(dom_text)
    start = dom_text.index('<pre id="report">') + len('<pre id="report">')
    report = json.loads(html.unescape(dom_text[start:dom_text.index("</pre>", start)]))
    assert len(report) == len(charts), dom.text[-2000:]
    return report


STATUS_CLASSES = {"added", "removed", "modified", "unchanged", "missing", "renamed", "rest"}


def classes_by_label(chart):
    return {node["label"]: set(node["classes"]) & STATUS_CLASSES for node in chart["nodes"]}


def small_pipeline(tmp_path):
    old = notebook([
        cell("L", "load", ["x = 1\n"]),
        cell("C", "clean", ["c = x\n"], ["L"]),
        cell("G", "gone", ["g = 1\n"], ["L"]),
        cell("R", "old_name", ["r = c\n"], ["C"]),
    ], [param("rate", "0.1", "float")])
    new = notebook([
        cell("L", "load", ["x = 1\n"]),
        cell("C", "clean", ["c = x\n", "c = c.dropna()\n"], ["L"]),
        cell("R", "new_name", ["r = c\n"], ["C"]),
        cell("N", "train", ["t = c\n"], ["C", "lost"]),
    ], [param("rate", "0.05", "float"), param("epochs", "10", "int")])
    markdown = two_files(tmp_path, old, new)
    return markdown, [{
        "load": {"unchanged"}, "~ clean": {"modified"}, "\u2212 gone": {"removed"},
        "~ new_name (was old_name)": {"modified", "renamed"}, "+ train": {"added"},
        "? lost": {"missing"},
    }]


def large_pipeline(tmp_path):
    # A chain of 60 cells, one changed in the middle: the chart keeps it,
    # its two neighbours and a node counting the rest.
    def chain(changed):
        return notebook([cell(f"c{i}", f"step{i}", [f"s{i} = {i}\n" if i != 30 or not changed
                                                      else "s30 = 'new'\n"],
                              [f"c{i - 1}"] if i else []) for i in range(60)])
    markdown = two_files(tmp_path, chain(False), chain(True))
    return markdown, [{"step29": {"unchanged"}, "~ step30": {"modified"},
                       "step31": {"unchanged"}, "\u2026 57 more cells not shown": {"rest"}}]


def revisions(tmp_path):
    # Two notebooks changed between two commits: one section and chart each.
    repo = tmp_path / "repo"
    repo.mkdir()
    env = {**os.environ, "GIT_CONFIG_GLOBAL": os.devnull, "GIT_CONFIG_NOSYSTEM": "1"}

    def git(*args):
        subprocess.run(["git", "-c", "user.name=Dev", "-c", "user.email=dev@example.com", *args],
                       cwd=repo, env=env, check=True, capture_output=True)
    git("init", "-q")
    (repo / "sub").mkdir()
    write(repo / "a.ipynb", notebook([cell("A", "first", ["a\n"])]))
    write(repo / "sub" / "b.ipynb", notebook([cell("B", "second", ["b\n"])]))
    git("add", "-A")
    git("commit", "-q", "-m", "one")
    write(repo / "a.ipynb", notebook([cell("A", "first", ["a\n"]),
                                      cell("A2", "more", ["m\n"], ["A"])]))
    write(repo / "sub" / "b.ipynb", notebook([]))
    git("commit", "-q", "-am", "two")
    markdown = subprocess.run([str(ZUV), "diff", "--markdown", "HEAD~1", "HEAD"], cwd=repo / "sub",
                              env=env, capture_output=True, text=True, check=True).stdout
    assert headings(markdown) == ["a.ipynb", "sub/b.ipynb"]
    return markdown, [{"first": {"unchanged"}, "+ more": {"added"}},
                      {"\u2212 second": {"removed"}}]


@pytest.mark.parametrize("case", [small_pipeline, large_pipeline, revisions])
def test_mermaid_charts_render_with_their_nodes_and_classes(tmp_path, case):
    markdown, expected = case(tmp_path)
    charts = fences(markdown, "mermaid")
    report = render_charts(tmp_path, charts)
    assert [chart.get("error") for chart in report] == [None] * len(expected)
    assert [classes_by_label(chart) for chart in report] == expected
    # Node ids come from cell places, never from the notebook.
    assert all(node["id"].startswith(("flowchart-n", "flowchart-rest-"))
               for chart in report for node in chart["nodes"])


HOSTILE_NAMES = [
    'a"] --> evil["x',
    "<script>alert(1)</script>",
    "x --> y; click x call alert(1)",
    "#quot; `tick` | pipe *em* [l](javascript:alert(1)) &amp; @team",
    "</details><img src=x onerror=alert(1)>",
    "a\nb\x1b[31m",
]

HOSTILE_SOURCES = [
    ["```\n", "<script>alert(1)</script>\n", "```\n"],
    ["`````` six\n", "~~~\n"],
    ["</details>\n", "<details open><summary>x</summary>\n"],
    ["    ```\n", "<!-- -->\n", "x = '''\n"],
    [" ```\n", "<b>bold</b>\n"],
    ["`\n"],
]


def test_notebook_text_cannot_break_out_of_its_place(tmp_path):
    # A fence in an unchanged line: a context line " ```" of the diff.
    old = notebook([cell("K", "keep", ["k\n"]), cell("M", "fenced", ["```\n", "a\n"])])
    new = notebook([cell("K", "keep", ["k\n"]), cell("M", "fenced", ["```\n", "b\n"])] + [
        cell(f"h{i}", name, source, ["K"])
        for i, (name, source) in enumerate(zip(HOSTILE_NAMES, HOSTILE_SOURCES))],
        [param(HOSTILE_NAMES[3], "<script>|x|</script>", "`str`")])
    markdown = two_files(tmp_path, old, new)
    tokens = parse(markdown)
    inline = [c for t in tokens if t.children for c in t.children]
    assert [t.type for t in tokens + inline if t.type.startswith("html")] == []
    # Every source arrives whole, inside its own diff block.
    assert fences(markdown, "diff") == ["@@ -1,2 +1,2 @@\n ```\n-a\n+b\n"] + [
        f"@@ -0,0 +1{'' if len(s) == 1 else ',' + str(len(s))} @@\n" + "".join("+" + line
                                                                             for line in s)
        for s in HOSTILE_SOURCES]
    rendered = Dom(MarkdownIt("commonmark").enable("table").render(markdown))
    assert {tag for tag, _ in rendered.elements} <= {
        "h3", "p", "pre", "code", "strong", "em", "table", "thead", "tbody", "tr", "th", "td"}
    # The names and the parameter read back as the text they are.
    for name in HOSTILE_NAMES[:5]:
        assert f"added cell {name} (id " in rendered.text
    assert "<script>|x|</script> (`str`)" in rendered.text

    [chart] = render_charts(tmp_path, fences(markdown, "mermaid"))
    assert chart.get("error") is None and chart["active"] == 0
    # Labels are cut after 40 characters; control characters are shown escaped.
    shown = {(name if len(name) <= 40 else name[:40] + "\u2026").replace("\n", "\\n")
             .replace("\x1b", "\\x1b") for name in HOSTILE_NAMES}
    assert classes_by_label(chart) == {"keep": {"unchanged"}, "~ fenced": {"modified"},
                                       **{"+ " + name: {"added"} for name in shown}}


def test_size_limit_cuts_at_a_line_and_says_so(tmp_path):
    old = notebook([cell("K", "keep", ["k\n"])])
    new = notebook([cell("K", "keep", ["k\n"])] + [
        cell(f"c{i}", f"cell{i}", [f"line {j} ``` of cell {i}\n" for j in range(60)], ["K"])
        for i in range(60)])
    whole = two_files(tmp_path, old, new, "--max-bytes", "0")
    assert len(whole.encode()) > 65536 and "Truncated" not in whole
    for limit in (1024, 5000, 40000, 65536):
        cut = two_files(tmp_path, old, new, "--max-bytes", limit) if limit != 65536 else \
            two_files(tmp_path, old, new)
        assert len(cut.encode()) <= limit
        tokens = parse(cut)
        # The cut leaves every block closed: the last line is a paragraph of its own.
        assert tokens[-2].type == "inline" and tokens[-2].content.startswith(
            f"*Truncated: the whole diff is {len(whole.encode())} bytes")
        whole_blocks = fences(whole, "diff")
        kept = fences(cut, "diff")
        assert all(any(w.startswith(b) for w in whole_blocks) for b in kept)
        assert len(kept) >= (limit - 1024) // 1500
    for bad in (["--max-bytes", "100"], ["--max-bytes", "-1"], ["--max-bytes", "x"],
                ["--html", "page.html"]):
        zuv_markdown(tmp_path, *bad, "old.ipynb", "new.ipynb", status=2)
    result = subprocess.run([str(ZUV), "diff", "--max-bytes", "5000", "old.ipynb", "new.ipynb"],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 2 and not (tmp_path / "page.html").exists()
