"""The `zuv` command line: help, and usage errors that change nothing."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ZUV = Path(sys.executable).parent / "zuv"


@pytest.mark.parametrize(
    "argv, status, stream, text",
    [
        ([], 2, "stderr", "usage: zuv"),
        (["--help"], 0, "stdout", "  merge-driver   merge one notebook for git"),
        (["diff", "--help"], 0, "stdout", "usage: zuv diff [--color=auto|always|never]"),
        (["bogus"], 2, "stderr", "zuv: error: unknown command 'bogus'"),
        (["diff", "a"], 2, "stderr", "zuv diff: error: expected OLD and NEW"),
        (["diff", "--color=sometimes", "a", "b"], 2, "stderr", "--color must be auto, always or never"),
        (["diff", "--colour", "a", "b"], 2, "stderr", "unrecognised option --colour"),
        (["merge-driver", "b", "c", "i", "seven", "p"], 2, "stderr", "MARKER_SIZE must be a positive number"),
        (["diff-driver", "p", "q"], 2, "stderr", "expected git's 7 arguments"),
        (["textconv"], 2, "stderr", "usage: zuv textconv FILE"),
        (["config-git", "--enable", "--disable"], 2, "stderr", "exclude each other"),
        (["textconv", "/nonexistent/nb.ipynb"], 3, "stderr", "cannot read /nonexistent/nb.ipynb"),
        # Help only as a subcommand's single argument; elsewhere "-h" is a file.
        (["merge-driver", "-h"], 0, "stdout", "usage: zuv merge-driver BASE"),
        (["textconv", "--", "--help"], 3, "stderr", "cannot read --help"),
        (["merge-driver", "b", "c", "i", "7", "-h"], 3, "stderr", "cannot read b"),
    ],
)
def test_help_and_usage_errors(tmp_path, argv, status, stream, text):
    result = subprocess.run([str(ZUV), *argv], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == status
    assert text in getattr(result, stream)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("colour, coloured", [("always", True), ("never", False), ("auto", False)])
def test_diff_colours_only_when_asked_and_never_passes_escapes_through(tmp_path, colour, coloured):
    from nbbuild import cell, notebook, write

    write(tmp_path / "old.ipynb", notebook([cell("a", "load", ["x = 1\n"])]))
    # DEL after eight printable bytes: escaped where text is scanned by the word too.
    write(tmp_path / "new.ipynb", notebook([cell("a", "load", ["x = '\x1b[2J\x9b1m', 'abcdefgh\x7f'\n"])]))
    # Standard output is a pipe here, so "auto" means no colour.
    result = subprocess.run([str(ZUV), "diff", f"--color={colour}", "old.ipynb", "new.ipynb"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "+x = '\\x1b[2J\\u009b1m', 'abcdefgh\\x7f'" in result.stdout
    sequences = result.stdout.count("\x1b[")
    assert (sequences > 0) == coloured
    assert "\x1b[2J" not in result.stdout and "\x9b" not in result.stdout


BIDI = "\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"


# Bidirectional embedding, override and isolate controls would reorder what
# the terminal shows: every view escapes them like the other controls.
@pytest.mark.parametrize("command", ["textconv", "diff", "merge-driver", "conflicts"])
def test_bidirectional_controls_are_escaped(tmp_path, command):
    from nbbuild import cell, notebook, write

    def version(value):
        return notebook([cell("a", f"load{BIDI}", [f"x = {value}  # {BIDI}\n"]),
                         cell("b", "more", [f"y = {value}\n"], parents=["a"])])

    for side, value in (("base", 1), ("current", 2), ("incoming", 3)):
        write(tmp_path / f"{side}.ipynb", version(value))
    argv = {"textconv": ["current.ipynb"], "diff": ["base.ipynb", "current.ipynb"],
            "merge-driver": ["base.ipynb", "current.ipynb", "incoming.ipynb", "7", f"nb{BIDI}.ipynb"],
            "conflicts": ["current.ipynb"]}[command]
    if command == "conflicts":
        subprocess.run([str(ZUV), "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb", "7",
                        "nb.ipynb"], cwd=tmp_path, capture_output=True, check=False)
    result = subprocess.run([str(ZUV), command, *argv], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode in (0, 1), result.stderr
    shown = result.stdout + result.stderr
    assert "load\\u202a\\u202b\\u202c\\u202d\\u202e\\u2066\\u2067\\u2068\\u2069" in shown or \
        "nb\\u202a\\u202b\\u202c\\u202d\\u202e\\u2066\\u2067\\u2068\\u2069.ipynb" in shown, shown
    assert not any(control in shown for control in BIDI), shown


@pytest.mark.parametrize("view", [[], ["--html", "page.html"], ["--markdown"]])
@pytest.mark.parametrize("absolute", [True, False])
@pytest.mark.parametrize("same", [True, False])
def test_diff_of_two_files_headers_and_exit_code(tmp_path, absolute, same, view):
    from nbbuild import cell, notebook, write

    write(tmp_path / "old.ipynb", notebook([cell("a", "load", ["x = 1\n"])]))
    write(tmp_path / "new.ipynb", notebook([cell("a", "load", ["x = 1\n" if same else "x = 2\n"])]))
    old, new = (str(tmp_path / n) if absolute else n for n in ("old.ipynb", "new.ipynb"))
    result = subprocess.run([str(ZUV), "diff", "--exit-code", *view, old, new], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == (0 if same else 1), result.stderr
    if not same and not view:
        # An absolute path keeps one slash after the a/ and b/ prefixes.
        header = result.stdout.splitlines()[0]
        assert header == f"notebook diff a/{old.lstrip('/')} b/{new.lstrip('/')}"
        assert "//" not in header


# json.loads, the scanner it runs (which the commands call themselves) and
# json.dumps that raise, by sitecustomize, on a text or a value holding the mark.
RAISING_JSON = """
import _json, json, os
_loads, _dumps, _make_scanner = json.loads, json.dumps, _json.make_scanner
def _raise():
    raise {"MemoryError": MemoryError, "KeyboardInterrupt": KeyboardInterrupt}[os.environ["RAISE"]]()
def loads(text, *args, **kwargs):
    if "raise-in-loads" in text:
        _raise()
    return _loads(text, *args, **kwargs)
def make_scanner(context):
    scan = _make_scanner(context)
    def scan_once(text, index):
        if "raise-in-loads" in text:
            _raise()
        return scan(text, index)
    return scan_once
def dumps(value, *args, **kwargs):
    if "raise-in-dumps" in repr(value):
        _raise()
    return _dumps(value, *args, **kwargs)
json.loads, json.dumps, _json.make_scanner = loads, dumps, make_scanner
"""


# A text that is no JSON is shown (or merged) as text and a value json cannot
# write as "?", but a MemoryError or an interrupt on the way is no answer about
# the text: the command fails and writes nothing.  "read": the native reader
# runs out of memory.
@pytest.mark.parametrize("command, where, raised", [
    *((command, where, raised) for raised in ("MemoryError", "KeyboardInterrupt")
      for command, where in [("textconv", "loads"), ("diff", "loads"), ("merge-driver", "loads"),
                             ("textconv", "dumps"), ("diff", "dumps")]),
    ("merge-driver", "read", "MemoryError")])
def test_memory_errors_and_interrupts_in_json_fail_the_command(tmp_path, command, where, raised):
    from nbbuild import cell, notebook, param, write

    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(RAISING_JSON)
    write(tmp_path / "base.ipynb", notebook([cell("a", "load", ["x = 1\n"])]))
    write(tmp_path / "current.ipynb", notebook([cell("a", "load", ["x = 2\n"])]))
    write(tmp_path / "incoming.ipynb", notebook([cell("a", "load", ["x = 1  # raise-in-loads\n"])],
                                                # (NaN: a text only json itself reads)
                                                [param("p", float("nan"))]) if where == "loads"
          # (a lone surrogate: a value only json.dumps itself writes)
          else notebook([cell("a", "load", ["x = 2\n"])], [param("p", "raise-in-dumps \ud800")]) if where == "dumps"
          else notebook([cell("a", "load", ["x = 1\n"])]))
    before = (tmp_path / "current.ipynb").read_bytes()
    argv = {"textconv": ["incoming.ipynb"], "diff": ["current.ipynb", "incoming.ipynb"],
            "merge-driver": ["base.ipynb", "current.ipynb", "incoming.ipynb", "7", "nb.ipynb"]}[command]
    env = {**os.environ, "PYTHONPATH": str(tmp_path / "site"), "RAISE": raised,
           **({"ZUV_INJECT_CXX_EXCEPTION": "bad_alloc@read_json"} if where == "read" else {})}
    result = subprocess.run([str(ZUV), command, *argv], cwd=tmp_path, capture_output=True, text=True, env=env)
    assert result.returncode == 3, result.stdout + result.stderr
    assert f"zuv {command}: error: {raised}" in result.stderr
    assert result.stdout == ""
    assert (tmp_path / "current.ipynb").read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["base.ipynb", "current.ipynb", "incoming.ipynb", "site"]


# Bytes that only look like UTF-8 reach the terminal escaped, never raw.
@pytest.mark.parametrize("raw", [b"\xed\xa0\x80", b"\xe0\x80\xaf", b"\xf4\x90\x80\x80"],
                         ids=["surrogate", "overlong", "past-U+10FFFF"])
def test_textconv_escapes_invalid_utf8(tmp_path, raw):
    (tmp_path / "x.ipynb").write_bytes(b"not json " + raw + b" \xc3\xa9\n")
    result = subprocess.run([str(ZUV), "textconv", "x.ipynb"], cwd=tmp_path, capture_output=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"not json " + "".join(f"\\x{b:02x}" for b in raw).encode() + " é\n".encode()


def _random_pipeline_pair(rng):
    """Two versions of a pipeline notebook: cells kept, edited, added and
    removed, parents gained and lost, parameters added, removed and changed."""
    from nbbuild import cell, notebook, param

    lines = ["x = 1\n", "y = 2\n", "z\n", "é = 3\n", "print(x)"]
    ids = [f"c{i}" for i in range(8)]

    def version(present, sources, parents, values):
        cells = [cell(i, "name-" + i, sources[i], [p for p in parents[i] if p in present]) for i in present]
        return notebook(cells, [param(n, v) for n, v in values.items()])

    old_ids = [i for i in ids if rng.random() < 0.7]
    new_ids = [i for i in ids if (i in old_ids) == (rng.random() < 0.8)]
    sources = {i: [rng.choice(lines) for _ in range(rng.randrange(4))] for i in ids}
    new_sources = {i: s if rng.random() < 0.5 else s + [rng.choice(lines)] for i, s in sources.items()}
    parents = {i: rng.sample(ids[:ids.index(i)], min(rng.randrange(3), ids.index(i))) for i in ids}
    new_parents = {i: p if rng.random() < 0.6 else p[1:] + rng.sample(ids, 1) for i, p in parents.items()}
    values = {n: str(rng.randrange(2)) for n in "pqrs" if rng.random() < 0.7}
    new_values = {n: str(rng.randrange(2)) for n in "pqrs" if rng.random() < 0.7}
    new_parents = {i: [p for p in ps if p != i and ids.index(p) < ids.index(i)] for i, ps in new_parents.items()}
    return version(old_ids, sources, parents, values), version(new_ids, new_sources, new_parents, new_values)


@pytest.mark.parametrize("seed", range(12))
def test_diff_text_view_shows_what_diff_dicts_finds(tmp_path, seed):
    """The text view runs the diff rules without the notebook_diff module:
    every cell and parameter it lists, and how, is what diff_dicts says."""
    import copy
    import random

    from nbbuild import write
    from zuv_weft_git.drivers.notebook_diff import diff_dicts

    old, new = _random_pipeline_pair(random.Random(seed))
    write(tmp_path / "old.ipynb", old)
    write(tmp_path / "new.ipynb", new)
    result = diff_dicts(copy.deepcopy(old), copy.deepcopy(new))
    expected = set()
    for c in result["cells"]:
        canvas = c["metadata"]["canvas"]
        status = canvas["diff_status"]
        if status == "unchanged" and (canvas["added_parents"] or canvas["removed_parents"]):
            status = "modified"
        if status != "unchanged":
            expected.add(f"{status} cell {canvas['name']}  (id {canvas['id']})")
    marks = {"added": "+", "removed": "-", "modified": "~"}
    for p in result["metadata"]["canvas"]["parameter"]:
        if p["diff_status"] != "unchanged":
            expected.add(f"{marks[p['diff_status']]} {p['name']}")
    shown = subprocess.run([str(ZUV), "diff", "--color=never", "old.ipynb", "new.ipynb"], cwd=tmp_path,
                           capture_output=True, text=True, check=True).stdout.splitlines()
    listed = {line for line in shown if " cell " in line and not line.startswith(" ")}
    listed |= {line.split()[0] + " " + line.split()[1].rstrip(":") for line in shown
               if line.startswith(("  + ", "  - ", "  ~ ")) and ("=" in line or ":" in line)
               and ("(str)" in line)}
    assert listed == expected
