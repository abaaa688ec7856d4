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
