"""The `zuv` command line: help, and usage errors that change nothing."""
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
        (["diff-driver", "p"], 2, "stderr", "expected git's 7 arguments"),
        (["textconv"], 2, "stderr", "usage: zuv textconv FILE"),
        (["config-git", "--enable", "--disable"], 2, "stderr", "exclude each other"),
        (["textconv", "/nonexistent/nb.ipynb"], 3, "stderr", "cannot read /nonexistent/nb.ipynb"),
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
    write(tmp_path / "new.ipynb", notebook([cell("a", "load", ["x = '\x1b[2J\x9b1m'\n"])]))
    # Standard output is a pipe here, so "auto" means no colour.
    result = subprocess.run([str(ZUV), "diff", f"--color={colour}", "old.ipynb", "new.ipynb"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "+x = '\\x1b[2J\\u009b1m'" in result.stdout
    sequences = result.stdout.count("\x1b[")
    assert (sequences > 0) == coloured
    assert "\x1b[2J" not in result.stdout and "\x9b" not in result.stdout


@pytest.mark.parametrize("absolute", [True, False])
@pytest.mark.parametrize("same", [True, False])
def test_diff_of_two_files_headers_and_exit_code(tmp_path, absolute, same):
    from nbbuild import cell, notebook, write

    write(tmp_path / "old.ipynb", notebook([cell("a", "load", ["x = 1\n"])]))
    write(tmp_path / "new.ipynb", notebook([cell("a", "load", ["x = 1\n" if same else "x = 2\n"])]))
    old, new = (str(tmp_path / n) if absolute else n for n in ("old.ipynb", "new.ipynb"))
    result = subprocess.run([str(ZUV), "diff", "--exit-code", old, new], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == (0 if same else 1), result.stderr
    if not same:
        # An absolute path keeps one slash after the a/ and b/ prefixes.
        header = result.stdout.splitlines()[0]
        assert header == f"notebook diff a/{old.lstrip('/')} b/{new.lstrip('/')}"
        assert "//" not in header
