"""The zuvmerge command when its surroundings fail.

A write that fails part-way, a read-only destination, git missing or killed
in the middle of a source merge, a temporary directory that cannot be made:
each ends the command with a non-zero status and a message naming the
trouble, and leaves the three notebook files byte for byte as they were, with
no stray file beside them and no working directory left behind.
"""

import json
import os
import resource
import shutil
import stat
import subprocess
import sys

import pytest

from nbbuild import canvas, cell, clone, notebook, param

PYTHON = [sys.executable, "-P"]
LAUNCH = "import sys; from zuv_weft_git.scripts._launcher import main; sys.argv[0] = 'zuvmerge'; main()"
REAL_GIT = shutil.which("git")

BASE = notebook([cell("a", "load", ["import data\n", "x = 1\n", "y = 2\n", "z = 3\n"]),
                 cell("b", "train", ["fit()\n"], parents=["a"])], [param("p", "1")])


def versions():
    """Three versions whose merge needs git: both sides edit cell a's source."""
    current, incoming = clone(BASE), clone(BASE)
    current["cells"][0]["source"][1] = "x = 10\n"
    incoming["cells"][0]["source"][3] = "z = 30\n"
    canvas(incoming["cells"][1])["comments"] = ["looks good"]
    return {"base": BASE, "current": current, "incoming": incoming}


@pytest.fixture
def merge_dir(tmp_path):
    """A directory holding the three notebook files, world-readable so that
    the command can also run with reduced privileges."""
    directory = tmp_path / "work"
    directory.mkdir()
    for name, document in versions().items():
        (directory / f"{name}.ipynb").write_text(json.dumps(document), encoding="utf-8")
    temp = tmp_path / "tmp"
    temp.mkdir()
    return directory


def command(directory, code=LAUNCH, extra=()):
    return [*PYTHON, "-c", code, *extra,
            "--base-file", str(directory / "base.ipynb"),
            "--current-file", str(directory / "current.ipynb"),
            "--incoming-file", str(directory / "incoming.ipynb"), "--file-path", "nb.ipynb"]


def environment(directory, **changes):
    env = {**os.environ, "TMPDIR": str(directory.parent / "tmp")}
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def snapshot(directory):
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def run_failing(directory, argv, env, expected_message, **kwargs):
    """Runs the command, expects failure, and checks that nothing changed."""
    before = snapshot(directory)
    result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=120, **kwargs)
    assert result.returncode > 0, (result.returncode, result.stderr)
    assert expected_message in result.stderr, result.stderr
    assert snapshot(directory) == before
    temp = directory.parent / "tmp"
    assert list(temp.iterdir()) == [], "a working directory was left behind"
    return result


def run_clean(directory, env, prefix=()):
    result = subprocess.run([*prefix, *command(directory)], env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    merged = json.loads((directory / "current.ipynb").read_text())
    assert merged["cells"][0]["source"] == ["import data\n", "x = 10\n", "y = 2\n", "z = 30\n"]
    return merged


def test_the_fault_free_run_merges(merge_dir):
    run_clean(merge_dir, environment(merge_dir))
    assert list((merge_dir.parent / "tmp").iterdir()) == []


@pytest.mark.parametrize("linked", [False, True], ids=["renamed", "in-place"])
@pytest.mark.parametrize("limit", [10, 400], ids=["source-merge-files", "merged-notebook"])
def test_write_failing_part_way(merge_dir, limit, linked):
    # 10 bytes stop the first working file of the source merge; 400 bytes let
    # the source merge through and stop the merged notebook part-way.  A
    # second link makes the merged notebook go in place.
    if linked:
        os.link(merge_dir / "current.ipynb", merge_dir / "second-name.ipynb")

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    run_failing(merge_dir, command(merge_dir), environment(merge_dir), "File too large",
                preexec_fn=limit_file_size)


def without_permission_override():
    """A prefix that runs a command without the capabilities that let root
    ignore file permissions; empty for an ordinary user."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("root ignores permissions and setpriv is not installed to drop that")
    return [setpriv, "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--"]


@pytest.mark.parametrize("read_only", ["directory", "file"])
def test_read_only_destination(merge_dir, read_only):
    # A writable file in a read-only directory is written in place; a
    # read-only file is refused.
    prefix = without_permission_override()
    target = merge_dir if read_only == "directory" else merge_dir / "current.ipynb"
    mode = stat.S_IMODE(target.stat().st_mode)
    target.chmod(mode & ~0o222)
    try:
        if read_only == "directory":
            inode = (merge_dir / "current.ipynb").stat().st_ino
            run_clean(merge_dir, environment(merge_dir), prefix)
            assert (merge_dir / "current.ipynb").stat().st_ino == inode
        else:
            run_failing(merge_dir, prefix + command(merge_dir), environment(merge_dir), "PermissionError")
    finally:
        target.chmod(mode)


@pytest.mark.parametrize("refresh, message", [(None, "Bad git executable"),
                                              ("quiet", "GitCommandNotFound")])
def test_git_missing_from_path(merge_dir, tmp_path, refresh, message):
    empty = tmp_path / "bin"
    empty.mkdir()
    env = environment(merge_dir, PATH=str(empty), GIT_PYTHON_REFRESH=refresh)
    run_failing(merge_dir, command(merge_dir), env, message)


# A git that fails its merge: dies after writing half a result, or exits
# as a shell or version-manager shim does when it cannot run git (126
# "cannot execute", 127 "not found") without writing anything.  Every other
# git command (GitPython asks `git version` at import) runs the real git.
# It first sheds a preloaded sanitizer runtime, whose signal handler would
# turn the death into an exit.
FAKE_GIT = """#!/bin/sh
if [ -n "$LD_PRELOAD" ]; then LD_PRELOAD= exec "$0" "$@"; fi
if [ "$1" = merge-file ]; then
    {ending}
fi
exec {real} "$@"
"""
HALF = "printf 'half a res' > \"$2\"; "


@pytest.mark.parametrize("ending", [HALF + "kill -KILL $$", HALF + "kill -SEGV $$", HALF + "exit 128",
                                    "exit 126", "exit 127"],
                         ids=["SIGKILL", "SIGSEGV", "fatal", "cannot-execute", "not-found"])
@pytest.mark.parametrize("found_by", ["PATH", "GIT_PYTHON_GIT_EXECUTABLE"])
def test_git_dying_mid_merge(merge_dir, tmp_path, ending, found_by):
    bin_dir = tmp_path / "fake-bin"
    bin_dir.mkdir()
    fake = bin_dir / "git"
    fake.write_text(FAKE_GIT.format(ending=ending, real=REAL_GIT))
    fake.chmod(0o755)
    if found_by == "PATH":
        env = environment(merge_dir, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    else:
        env = environment(merge_dir, GIT_PYTHON_GIT_EXECUTABLE=str(fake))
    run_failing(merge_dir, command(merge_dir), env, "GitCommandError")


SET_TEMPDIR = "import sys, tempfile; tempfile.tempdir = sys.argv.pop(1); " + LAUNCH


@pytest.mark.parametrize("where, message", [("missing/dir", "FileNotFoundError"),
                                            ("a-file", "NotADirectoryError")])
def test_temporary_directory_cannot_be_made(merge_dir, tmp_path, where, message):
    (tmp_path / "a-file").write_text("not a directory")
    argv = command(merge_dir, SET_TEMPDIR, [str(tmp_path / where)])
    run_failing(merge_dir, argv, environment(merge_dir), message)


@pytest.mark.parametrize("tmpdir", ["missing/dir", "a-file"])
def test_unusable_tmpdir_falls_back_to_a_usable_one(merge_dir, tmp_path, tmpdir):
    # The interpreter's tempfile skips a TMPDIR it cannot use and takes the
    # next candidate (/tmp, /var/tmp, ..., the working directory).
    (tmp_path / "a-file").write_text("not a directory")
    run_clean(merge_dir, environment(merge_dir, TMPDIR=str(tmp_path / tmpdir)))


# Runs inside a private mount namespace whose `directory` is a small tmpfs:
# copies the notebooks in, fills the file system, runs the command and
# reports what it saw (the files vanish with the namespace).
DISK_FULL = r"""
import json, os, shutil, subprocess, sys
source, directory, command = sys.argv[1], sys.argv[2], sys.argv[3:]
for name in os.listdir(source):
    shutil.copy(os.path.join(source, name), directory)
if os.environ.get("SECOND_LINK"):
    os.link(os.path.join(directory, "current.ipynb"), os.path.join(directory, "second-name.ipynb"))
fd = os.open(os.path.join(directory, "filler"), os.O_WRONLY | os.O_CREAT)
try:
    while True:
        os.write(fd, b"\0" * 4096)
except OSError:
    pass
try:
    while True:
        os.write(fd, b"\0")
except OSError:
    pass
os.close(fd)
def snapshot():
    return {n: open(os.path.join(directory, n), "rb").read().hex() for n in sorted(os.listdir(directory))}
before = snapshot()
result = subprocess.run(command, capture_output=True, text=True)
print(json.dumps({"status": result.returncode, "stderr": result.stderr, "unchanged": snapshot() == before}))
"""


@pytest.mark.parametrize("linked", [False, True], ids=["renamed", "in-place"])
def test_disk_full(merge_dir, tmp_path, linked):
    unshare = shutil.which("unshare")
    if os.geteuid() != 0 or unshare is None:
        pytest.skip("needs root and unshare to mount a small file system")
    if linked:
        # Written in place, the merged notebook needs pages the current one
        # does not have: the space is reserved before anything is written.
        incoming = json.loads((merge_dir / "incoming.ipynb").read_text())
        incoming["cells"].append(cell("big", "", ["x" * 100 + "\n"] * 100))
        (merge_dir / "incoming.ipynb").write_text(json.dumps(incoming), encoding="utf-8")
    full = tmp_path / "full"
    full.mkdir()
    inner = [*PYTHON, "-c", DISK_FULL, str(merge_dir), str(full), *command(full)]
    mount = 'mount -t tmpfs -o size=64k tmpfs "$0" && exec "$@"'
    result = subprocess.run([unshare, "--mount", "sh", "-c", mount, str(full), *inner],
                            env=environment(merge_dir, SECOND_LINK="1" if linked else None),
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0 and "mount" in result.stderr:
        pytest.skip(f"cannot mount a file system here: {result.stderr.strip()}")
    report = json.loads(result.stdout)
    assert report["status"] > 0 and "No space left on device" in report["stderr"], report
    assert report["unchanged"]
    assert list((merge_dir.parent / "tmp").iterdir()) == []


def test_file_name_at_the_length_limit(merge_dir):
    # The merged notebook is first written beside the current file under a
    # longer temporary name; that must not fail for a name the system allows.
    limit = os.pathconf(merge_dir, "PC_NAME_MAX")
    long_name = merge_dir / ("n" * (limit - len(".ipynb")) + ".ipynb")
    (merge_dir / "current.ipynb").rename(long_name)
    argv = command(merge_dir)
    argv[argv.index("--current-file") + 1] = str(long_name)
    result = subprocess.run(argv, env=environment(merge_dir), capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert json.loads(long_name.read_text())["cells"][0]["source"][3] == "z = 30\n"
    assert sorted(p.name for p in merge_dir.iterdir()) == sorted(["base.ipynb", "incoming.ipynb", long_name.name])
