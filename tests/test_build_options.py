"""Compiler warnings stop a build only in CI or when asked for.

A user building the wheel with a newer compiler must not be stopped by a
warning it has learnt since, while CI must fail on any.  The Makefile's
builds (the test venv, the sanitizer venv, the benchmark venv) are read
from `make -n`, which prints the commands without running them.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
WERROR_DEFINE = "-C cmake.define.ZUV_WERROR=ON"


def package_builds(tmp_path, env):
    """The pip commands that build the package, one string each."""
    clean = {k: v for k, v in os.environ.items() if k not in ("CI", "WERROR", "MAKEFLAGS", "MAKELEVEL")}
    dry = subprocess.run(
        ["make", "-n", "--no-print-directory", "install", "sanitize", "bench", f"VENV={tmp_path}/v",
         f"ASAN_VENV={tmp_path}/a", f"BENCH_VENV={tmp_path}/b"],
        cwd=ROOT, env={**clean, **env}, capture_output=True, text=True, timeout=60)
    assert dry.returncode == 0, dry.stderr
    commands = dry.stdout.replace("\\\n", " ").splitlines()
    return [c for c in commands if "pip install" in c and "--no-build-isolation" in c]


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
@pytest.mark.parametrize("env, werror", [
    ({}, False),
    ({"CI": "true"}, True),
    ({"CI": "1"}, True),
    ({"CI": "false"}, False),
    ({"CI": "0"}, False),
    ({"WERROR": "1"}, True),
    ({"CI": "true", "WERROR": "0"}, False),
])
def test_warnings_are_errors_only_in_ci_or_when_asked(tmp_path, env, werror):
    builds = package_builds(tmp_path, env)
    assert len(builds) == 3, builds
    assert [WERROR_DEFINE in b for b in builds] == [werror] * 3, builds
