"""The merged notebook replaces the current file's content, not the file.

Links, owner, group, mode and file type stay what they were; a file whose
directory the user may not write is written in place; a failing flush
changes nothing; a signal never leaves a temporary file behind.  Root ignores
permissions, so the cases of an ordinary user run in child processes that
drop to uid 65534; they run as the calling user when that is not root.
"""

import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

from nbbuild import PYTHON, UNPRIVILEGED, UNPRIVILEGED_UID, cell, clone, notebook, param, write

ROOT = os.geteuid() == 0
NOBODY = UNPRIVILEGED_UID
MERGE = "import sys; from zuv_weft_git.drivers import merge_files; merge_files(*sys.argv[1:])"

BASE = notebook([cell("a", "load", ["x = 1\n"]), cell("b", "train", ["fit()\n"], parents=["a"])],
                [param("p", "1")])
INCOMING = clone(BASE)
INCOMING["cells"][1]["source"] = ["fit(epochs=3)\n"]


def as_user():
    """The command prefix and uid of an ordinary user."""
    if not ROOT:
        return [], os.getuid(), os.getgid()
    return UNPRIVILEGED, NOBODY, NOBODY


@pytest.fixture
def shared():
    """A directory every user may enter, holding the base and incoming
    versions and a `work` directory for the current file."""
    top = tempfile.mkdtemp(prefix="zuv-identity-")
    os.chmod(top, 0o755)
    write(os.path.join(top, "base.ipynb"), BASE)
    write(os.path.join(top, "incoming.ipynb"), INCOMING)
    os.mkdir(os.path.join(top, "work"))
    yield top
    for directory, _, _ in os.walk(top):
        os.chmod(directory, 0o755)
    shutil.rmtree(top)


def merge(top, prefix=(), env=None):
    argv = [*prefix, *PYTHON, "-c", MERGE, os.path.join(top, "base.ipynb"),
            os.path.join(top, "work", "current.ipynb"), os.path.join(top, "incoming.ipynb"), "nb"]
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)


def identity(path):
    info = os.stat(path)
    return info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode), info.st_nlink


# Each case: who runs the merge, who owns the file (group too) and its mode,
# who owns the directory and its mode, a second link, and whether the file
# must be written in place (None: either way).  "user" is the ordinary
# user, "root" root.
CASES = {
    "hard-link": dict(runner="user", owner="user", mode=0o644, dir_owner="user", dir_mode=0o755,
                      link=True, in_place=True),
    "foreign-group": dict(runner="user", owner="user", group="root", mode=0o664, dir_owner="user",
                          dir_mode=0o755, in_place=None),
    "read-only-directory": dict(runner="user", owner="user", mode=0o644, dir_owner="user", dir_mode=0o555,
                                in_place=True),
    "directory-of-another-user": dict(runner="user", owner="user", mode=0o644, dir_owner="root",
                                      dir_mode=0o755, in_place=True),
    "sticky-directory-file-of-another-user": dict(runner="user", owner="root", mode=0o666,
                                                  dir_owner="root", dir_mode=0o1777, in_place=True),
    "own-setuid-file": dict(runner="user", owner="user", mode=0o4755, dir_owner="user", dir_mode=0o755,
                            in_place=None),
    "root-on-a-users-setuid-file": dict(runner="root", owner="user", mode=0o6755, dir_owner="user",
                                        dir_mode=0o755, in_place=True),
}


@pytest.mark.parametrize("case", list(CASES))
def test_the_file_keeps_its_identity(shared, case):
    spec = CASES[case]
    prefix, uid, gid = as_user()
    ids = {"user": (uid, gid), "root": (0, 0)}
    if not ROOT and "root" in (spec["runner"], spec["owner"], spec["dir_owner"], spec.get("group")):
        pytest.skip("needs root to give files to another user")
    work = os.path.join(shared, "work")
    current = os.path.join(work, "current.ipynb")
    write(current, BASE)
    owner, group = ids[spec["owner"]][0], ids[spec.get("group", spec["owner"])][1]
    os.chown(current, owner, group)
    os.chmod(current, spec["mode"])
    names = ["current.ipynb"]
    if spec.get("link"):
        os.link(current, os.path.join(work, "second-name.ipynb"))
        names.append("second-name.ipynb")
    os.chown(work, *ids[spec["dir_owner"]])
    os.chmod(work, spec["dir_mode"])
    before, inode = identity(current), os.stat(current).st_ino

    result = merge(shared, prefix if spec["runner"] == "user" else [])
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(work)) == sorted(names)
    for name in names:
        with open(os.path.join(work, name), encoding="utf-8") as f:
            assert json.load(f)["cells"][1]["source"] == ["fit(epochs=3)\n"]
    assert identity(current) == before
    if spec["in_place"]:
        assert os.stat(current).st_ino == inode


def test_fifo_stays_a_fifo(tmp_path):
    # The current file is a pipe: the merge reads the current version from
    # it and writes the merged notebook back into it.
    for name, document in [("base.ipynb", BASE), ("incoming.ipynb", INCOMING)]:
        write(tmp_path / name, document)
    fifo = tmp_path / "current.ipynb"
    os.mkfifo(fifo)
    received = []

    def other_end():
        with open(fifo, "w", encoding="utf-8") as f:
            json.dump(BASE, f)
        with open(fifo, encoding="utf-8") as f:
            received.append(f.read())

    peer = threading.Thread(target=other_end, daemon=True)
    peer.start()
    from zuv_weft_git.drivers import merge_files

    merge_files(str(tmp_path / "base.ipynb"), str(fifo), str(tmp_path / "incoming.ipynb"), "nb")
    peer.join(30)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert json.loads(received[0])["cells"][1]["source"] == ["fit(epochs=3)\n"]
    assert sorted(os.listdir(tmp_path)) == ["base.ipynb", "current.ipynb", "incoming.ipynb"]


FAILING_FSYNC = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
// Built with DIRECTORIES_ONLY, only the flush of a directory fails.
static int fails(int fd) {
#ifdef DIRECTORIES_ONLY
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
#else
    (void)fd;
    return 1;
#endif
}
int fsync(int fd) {
    if (fails(fd)) { errno = EIO; return -1; }
    return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
}
int fdatasync(int fd) {
    if (fails(fd)) { errno = EIO; return -1; }
    return ((int (*)(int))dlsym(RTLD_NEXT, "fdatasync"))(fd);
}
"""


def preload_library(tmp_path_factory, name, *defines):
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler, "a C compiler builds the extensions, so one is installed"
    directory = tmp_path_factory.mktemp("preload")
    (directory / "failing_fsync.c").write_text(FAILING_FSYNC)
    library = directory / name
    subprocess.run([compiler, "-shared", "-fPIC", *defines, "-o", str(library),
                    str(directory / "failing_fsync.c"), "-ldl"], check=True)
    return library


@pytest.fixture(scope="module")
def failing_fsync(tmp_path_factory):
    """A library that, preloaded, makes every fsync fail with EIO."""
    return preload_library(tmp_path_factory, "failing_fsync.so")


@pytest.fixture(scope="module")
def failing_directory_fsync(tmp_path_factory):
    """A library that, preloaded, makes fsync of a directory fail with EIO."""
    return preload_library(tmp_path_factory, "failing_directory_fsync.so", "-DDIRECTORIES_ONLY")


def preloaded(library):
    return {**os.environ, "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                                                str(library)]))}


@pytest.mark.parametrize("linked", [False, True], ids=["renamed", "in-place"])
def test_a_failing_flush_changes_nothing(shared, failing_fsync, linked):
    work = os.path.join(shared, "work")
    current = os.path.join(work, "current.ipynb")
    write(current, BASE)
    if linked:
        os.link(current, os.path.join(work, "second-name.ipynb"))
    before = {name: open(os.path.join(work, name), "rb").read() for name in os.listdir(work)}
    result = merge(shared, env=preloaded(failing_fsync))
    assert result.returncode != 0 and "Input/output error" in result.stderr, result.stderr
    assert {name: open(os.path.join(work, name), "rb").read() for name in os.listdir(work)} == before


@pytest.mark.parametrize("command", ["merge_files", "zuv merge-driver"])
def test_a_failing_directory_flush_after_the_rename_is_reported(shared, failing_directory_fsync,
                                                                 command):
    # The rename has put the merged notebook in place, but it is not durable
    # until the directory is flushed: the merge says it failed, naming the
    # directory, and leaves no temporary file.
    work = os.path.join(shared, "work")
    current = os.path.join(work, "current.ipynb")
    write(current, BASE)
    if command == "merge_files":
        result = merge(shared, env=preloaded(failing_directory_fsync))
    else:
        zuv = os.path.join(os.path.dirname(sys.executable), "zuv")
        result = subprocess.run(
            [zuv, "merge-driver", os.path.join(shared, "base.ipynb"), current,
             os.path.join(shared, "incoming.ipynb"), "7", "nb.ipynb"],
            capture_output=True, text=True, timeout=120, env=preloaded(failing_directory_fsync))
        assert result.returncode == 3
    assert result.returncode != 0 and "Input/output error" in result.stderr, result.stderr
    assert work in result.stderr
    with open(current, encoding="utf-8") as f:
        assert json.load(f)["cells"][1]["source"] == ["fit(epochs=3)\n"]
    assert os.listdir(work) == ["current.ipynb"]


def large_notebook(cells, output_size):
    output = {"output_type": "stream", "name": "stdout", "text": ["x" * output_size + "\n"]}
    document = notebook([cell(f"c{i}", f"step {i}", [f"x = {i}\n", "y = 0\n", "\n", "\n", "z = 0\n"])
                         for i in range(cells)])
    for c in document["cells"]:
        c["outputs"] = [output]
    return document


def edit_lines(document, line, text, cells=None):
    changed = clone(document)
    for c in changed["cells"][:cells]:
        c["source"][line] = text
    return changed


# Where the merge is when the signal comes: writing the merged notebook
# (its temporary file appears beside the current file), or merging sources
# (a working directory appears in TMPDIR).
@pytest.mark.slow
@pytest.mark.parametrize("phase", ["notebook-write", "source-merge"])
def test_signals_leave_no_temporary_file(shared, phase):
    if phase == "notebook-write":
        base = large_notebook(2000, 2000)
        current, incoming = base, edit_lines(base, 0, "x = -1\n", cells=1)
    else:
        base = large_notebook(400, 10)
        current, incoming = edit_lines(base, 1, "y = 1\n"), edit_lines(base, 4, "z = 1\n")
    write(os.path.join(shared, "base.ipynb"), base)
    write(os.path.join(shared, "incoming.ipynb"), incoming)
    work = os.path.join(shared, "work")
    current_path = os.path.join(work, "current.ipynb")
    temp = os.path.join(shared, "tmp")
    os.mkdir(temp)
    watched = work if phase == "notebook-write" else temp
    argv = [*PYTHON, "-c", "from zuv_weft_git.scripts._launcher import main; main()",
            "--base-file", os.path.join(shared, "base.ipynb"), "--current-file", current_path,
            "--incoming-file", os.path.join(shared, "incoming.ipynb")]
    env = {**os.environ, "TMPDIR": temp}

    def run(signum=None):
        write(current_path, current)
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        caught = False
        while signum and process.poll() is None:
            if any(name != "current.ipynb" for name in os.listdir(watched)):
                process.send_signal(signum)
                caught = True
                break
        process.wait(120)
        assert os.listdir(work) == ["current.ipynb"] and os.listdir(temp) == [], signum
        with open(current_path, "rb") as f:
            return caught, f.read()

    write(current_path, current)
    with open(current_path, "rb") as f:
        unmerged = f.read()
    merged = run()[1]
    caught = 0
    for signum in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP] * 2:
        stopped, after = run(signum)
        caught += stopped
        assert after in (unmerged, merged), signum
    assert caught > 0, "no signal reached a merge at work"
