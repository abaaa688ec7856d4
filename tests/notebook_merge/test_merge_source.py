"""Three-way merge of one cell's source through `git merge-file`."""

import os
import tempfile
import time
import types

import git
import pytest

from zuv_weft_git.drivers import notebook_merge

merge_source = notebook_merge._merge_source


@pytest.fixture
def g():
    return git.cmd.Git()


@pytest.fixture(autouse=True)
def temp_root(tmp_path, monkeypatch):
    """Points the default temporary location at a private directory and
    checks that every test leaves it empty."""
    root = tmp_path / "tmp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    yield root
    assert sorted(os.listdir(root)) == []


class RecordingDirectory(tempfile.TemporaryDirectory):
    """A TemporaryDirectory that records what its directory held when the
    `with` block ended."""

    seen = []

    def __exit__(self, *exc_info):
        listing = {n: os.path.getsize(os.path.join(self.name, n)) for n in os.listdir(self.name)}
        RecordingDirectory.seen.append((exc_info[0], listing))
        return super().__exit__(*exc_info)


@pytest.fixture
def recording_tempfile(monkeypatch):
    RecordingDirectory.seen = []
    fake = types.SimpleNamespace(TemporaryDirectory=RecordingDirectory)
    monkeypatch.setattr(notebook_merge, "tempfile", fake)
    return RecordingDirectory.seen


class FakeGit:
    """Stands in for git.cmd.Git: records the call and the working files,
    optionally writes a result and raises."""

    def __init__(self, result=None, error=None):
        self.result = result
        self.error = error
        self.calls = []

    def merge_file(self, *args, **kwargs):
        files = {os.path.basename(p): open(p, "rb").read() for p in args}
        self.calls.append((args, kwargs, files))
        if self.result is not None:
            with open(args[0], "wb") as f:
                f.write(self.result)
        if self.error is not None:
            raise self.error


TEN = [f"line {i}\n" for i in range(10)]


def edit(lines, index, text):
    changed = list(lines)
    changed[index] = text
    return changed


@pytest.mark.parametrize(
    "current, base, incoming, expected",
    [
        pytest.param(["a\n", "b\n", "c"], ["a\n", "b\n", "c"], ["a\n", "b\n", "c"], ["a\n", "b\n", "c"], id="equal"),
        pytest.param(TEN, TEN, edit(TEN, 4, "four\n"), edit(TEN, 4, "four\n"), id="incoming-only"),
        pytest.param(edit(TEN, 4, "four\n"), TEN, TEN, edit(TEN, 4, "four\n"), id="current-only"),
        pytest.param(
            edit(TEN, 1, "one\n"), TEN, edit(TEN, 8, "eight\n"),
            edit(edit(TEN, 1, "one\n"), 8, "eight\n"), id="both-distant",
        ),
        pytest.param([], [], [], [], id="empty"),
        pytest.param(["x = 1\r\n", "y = 2\r\n"] * 2, ["x = 1\r\n", "y = 2\r\n"] * 2,
                     ["x = 1\r\n", "y = 2\r\n"] * 2, ["x = 1\n", "y = 2\n"] * 2, id="crlf"),
        pytest.param(["a\rb\n", "c"], ["a\rb\n", "c"], ["a\rb\n", "c"], ["a\n", "b\n", "c"], id="lone-cr"),
        pytest.param(["grüße = 'καλημέρα'\n", "x = '🙂'"], ["grüße = 'καλημέρα'\n", "x = 1"],
                     ["grüße = 'καλημέρα'\n", "x = 1"], ["grüße = 'καλημέρα'\n", "x = '🙂'"], id="non-ascii"),
    ],
)
def test_clean_merge(g, current, base, incoming, expected):
    assert merge_source(g, current, base, incoming, current_name="nb-current", incoming_name="nb-incoming") == expected


CONFLICT = (["a\n", "x\n", "c\n"], ["a\n", "b\n", "c\n"], ["a\n", "y\n", "c\n"])


def test_conflict_is_labelled_with_the_names(g, temp_root):
    result = merge_source(g, *CONFLICT, current_name="nb.ipynb-current", incoming_name="nb.ipynb-incoming")
    assert result == [
        "a\n", "<<<<<<< nb.ipynb-current\n", "x\n", "=======\n", "y\n", ">>>>>>> nb.ipynb-incoming\n", "c\n",
    ]


@pytest.mark.parametrize("current_name, incoming_name", [(None, None), ("", ""), ("mine", None), (None, "theirs")])
def test_missing_names_leave_the_working_paths(g, temp_root, current_name, incoming_name):
    result = merge_source(g, *CONFLICT, current_name=current_name, incoming_name=incoming_name)
    first, last = result[1], result[5]
    for line, marker, name, file_name in [(first, "<<<<<<< ", current_name, "current"),
                                         (last, ">>>>>>> ", incoming_name, "incoming")]:
        if name:
            assert line == f"{marker}{name}\n"
        else:
            label = line[len(marker):-1]
            assert line.startswith(marker)
            assert os.path.dirname(os.path.dirname(label)) == str(temp_root)
            assert os.path.basename(label) == file_name


def test_working_files_and_git_call(recording_tempfile):
    current = ["naïve = 1\r\n", "b\n", "last"]
    base = ["b\n"]
    incoming = ["\ttab\n", "no newline"]
    fake = FakeGit()
    assert merge_source(fake, current, base, incoming) == ["naïve = 1\n", "b\n", "last"]
    [(args, kwargs, files)] = fake.calls
    [(exc_type, listing)] = recording_tempfile
    directory = os.path.dirname(args[0])
    assert args == tuple(os.path.join(directory, n) for n in ("current", "base", "incoming"))
    assert kwargs == {}
    assert files == {name: "".join(lines).encode("utf-8")
                     for name, lines in [("current", current), ("base", base), ("incoming", incoming)]}
    assert exc_type is None and sorted(listing) == ["base", "current", "incoming"]


def test_relabelling_applies_to_every_line(monkeypatch, tmp_path):
    fixed = tmp_path / "fixed"

    class FixedDirectory:
        def __enter__(self):
            fixed.mkdir()
            return str(fixed)

        def __exit__(self, *exc_info):
            for name in os.listdir(fixed):
                os.unlink(fixed / name)
            fixed.rmdir()

    monkeypatch.setattr(notebook_merge, "tempfile", types.SimpleNamespace(TemporaryDirectory=FixedDirectory))
    source = [f"path = '{fixed}/current'\n", f"other = '{fixed}/incoming' + '{fixed}/current'\n"]
    result = merge_source(git.cmd.Git(), source, source, source, current_name="C", incoming_name="I")
    assert result == ["path = 'C'\n", "other = 'I' + 'C'\n"]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((("a\n",), [], []), {}, "Argument 'current' has incorrect type (expected list, got tuple)"),
        (([], None, []), {}, "Argument 'base' has incorrect type (expected list, got NoneType)"),
        (([], [], "a\n"), {}, "Argument 'incoming' has incorrect type (expected list, got str)"),
        (([], [], []), {"current_name": 3}, "Argument 'current_name' has incorrect type (expected str, got int)"),
        (([], [], []), {"incoming_name": b"x"}, "Argument 'incoming_name' has incorrect type (expected str, got bytes)"),
        (([], []), {}, "_merge_source() takes at least 4 positional arguments (3 given)"),
        (([], [], [], None, None, None), {}, "_merge_source() takes at most 6 positional arguments (7 given)"),
        (([], [], []), {"label": "x"}, "_merge_source() got an unexpected keyword argument 'label'"),
    ],
)
def test_bad_arguments_fail_before_any_file(recording_tempfile, args, kwargs, message):
    fake = FakeGit()
    with pytest.raises(TypeError) as raised:
        merge_source(fake, *args, **kwargs)
    assert str(raised.value) == message
    assert recording_tempfile == [] and fake.calls == []


def test_list_subclass_is_refused(g):
    class Lines(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got Lines"):
        merge_source(g, Lines(), [], [])


@pytest.mark.parametrize("bad_source", [0, 1, 2])
def test_non_str_line_fails_after_the_files_exist(recording_tempfile, bad_source):
    sources = [["a\n"], ["a\n"], ["a\n"]]
    sources[bad_source] = ["a\n", 7]
    fake = FakeGit()
    with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
        merge_source(fake, *sources)
    [(exc_type, listing)] = recording_tempfile
    assert exc_type is TypeError
    assert sorted(listing) == ["base", "current", "incoming"]
    assert listing["current"] == (0 if bad_source == 0 else 2)
    assert fake.calls == []


def test_unencodable_text(g, recording_tempfile):
    with pytest.raises(UnicodeEncodeError):
        merge_source(g, ["ok\n"], ["\ud800\n"], ["ok\n"])
    assert recording_tempfile[0][0] is UnicodeEncodeError


def test_undecodable_result():
    with pytest.raises(UnicodeDecodeError):
        merge_source(FakeGit(result=b"ok\n\xff\xfe\n"), ["a\n"], ["a\n"], ["a\n"])


def test_result_written_by_git_is_read_with_universal_newlines():
    fake = FakeGit(result=b"one\r\ntwo\rthree\n\nfour")
    assert merge_source(fake, ["x\n"], ["x\n"], ["x\n"]) == ["one\n", "two\n", "three\n", "\n", "four"]


def test_binary_input_is_an_error_not_a_conflict(g):
    # git refuses to merge text holding a NUL character and exits with 255.
    with pytest.raises(git.GitCommandError) as raised:
        merge_source(g, ["a\0b\n"], ["a\n"], ["c\n"])
    assert raised.value.status == 255


class ConflictingGit(FakeGit):
    """Writes the current source and one conflict block of this call, as git
    does for a conflict, then raises."""

    def merge_file(self, *args, **kwargs):
        with open(args[0], "a", encoding="utf-8") as f:
            f.write(f"<<<<<<< {args[0]}\nx\n=======\ny\n>>>>>>> {args[2]}\n")
        return super().merge_file(*args, **kwargs)


# git exits with the number of conflicts and writes a block for each: a
# status the result does not bear out is a failure (a wrapper that cannot run
# git, 126 and 127 being also a shell's "cannot execute" and "not found", or
# one that exits non-zero without merging).  Blocks the current source
# already held carry other labels and do not count.
@pytest.mark.parametrize("status", [1, 125, 3, 126, 127, 0, 128, 255, -9, "1", None])
@pytest.mark.parametrize("mine", [["mine\n"], ["<<<<<<< nb-current\n"] * 127], ids=["plain", "committed-blocks"])
@pytest.mark.parametrize("writes_block", [False, True], ids=["nothing-merged", "one-block"])
def test_git_status_decides_whether_an_error_is_a_conflict(status, mine, writes_block):
    error = git.GitCommandError(["git", "merge-file"], status, "stderr")
    fake = (ConflictingGit if writes_block else FakeGit)(error=error)
    if writes_block and status in (1, 125, 3):
        result = merge_source(fake, mine, ["base\n"], ["theirs\n"], current_name="nb-current")
        assert result[:len(mine)] == mine and result.count("<<<<<<< nb-current\n") == mine.count("<<<<<<< nb-current\n") + 1
    else:
        with pytest.raises(git.GitCommandError) as raised:
            merge_source(fake, mine, ["base\n"], ["theirs\n"], current_name="nb-current")
        assert raised.value is error


@pytest.mark.parametrize("conflicts", [125, 126, 127, 130])
def test_many_real_conflicts_at_the_status_cap(g, conflicts):
    # git exits with the number of conflicts, at most 127.
    base = [f"{i}\n" for i in range(8 * conflicts)]
    current = [line if i % 8 else f"mine {line}" for i, line in enumerate(base)]
    incoming = [line if i % 8 else f"theirs {line}" for i, line in enumerate(base)]
    result = merge_source(g, current, base, incoming, current_name="nb-current", incoming_name="nb-incoming")
    assert result.count("<<<<<<< nb-current\n") == conflicts
    assert result.count(">>>>>>> nb-incoming\n") == conflicts


@pytest.mark.parametrize("style", ["diff3", "zdiff3"])
@pytest.mark.parametrize("current_name, base_label", [("nb-current", "nb-base"), ("-current", "-base"),
                                                      ("mine", None), (None, None), ("", None)])
def test_base_label_in_diff3_styles(g, temp_root, tmp_path, monkeypatch, style, current_name, base_label):
    config = tmp_path / "gitconfig"
    config.write_text(f"[merge]\n\tconflictStyle = {style}\n")
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(config))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    result = merge_source(g, *CONFLICT, current_name=current_name, incoming_name="theirs")
    [line] = [line for line in result if line.startswith("||||||| ")]
    if base_label:
        assert line == f"||||||| {base_label}\n"
    else:
        # As git wrote it: the base working file's path.
        label = line[len("||||||| "):-1]
        assert os.path.basename(label) == "base" and os.path.dirname(os.path.dirname(label)) == str(temp_root)


def test_other_errors_of_the_git_call_propagate():
    error = RuntimeError("git vanished")
    with pytest.raises(RuntimeError) as raised:
        merge_source(FakeGit(error=error), ["a\n"], ["a\n"], ["a\n"])
    assert raised.value is error


def test_git_error_class_is_looked_up_at_call_time(monkeypatch):
    class OtherCommandError(Exception):
        def __init__(self, status):
            self.status = status

    monkeypatch.setattr(notebook_merge, "git", types.SimpleNamespace(GitCommandError=OtherCommandError))
    assert merge_source(ConflictingGit(error=OtherCommandError(1)), ["a\n"], ["a\n"], ["a\n"])[2] == "x\n"
    with pytest.raises(git.GitCommandError):
        merge_source(FakeGit(error=git.GitCommandError(["git"], 1)), ["a\n"], ["a\n"], ["a\n"])


# A git error without a "status" has none; any other failure to read it
# (no memory, an interrupt) is the merge's failure, the git error its context.
@pytest.mark.parametrize("raised", [AttributeError, MemoryError, KeyboardInterrupt])
def test_a_git_status_that_cannot_be_read_is_absent_only_when_missing(monkeypatch, raised):
    class StatusError(Exception):
        @property
        def status(self):
            raise raised("status")

    monkeypatch.setattr(notebook_merge, "git", types.SimpleNamespace(GitCommandError=StatusError))
    error = StatusError()
    with pytest.raises(StatusError if raised is AttributeError else raised) as caught:
        merge_source(FakeGit(error=error), ["a\n"], ["b\n"], ["c\n"])
    assert (caught.value if raised is AttributeError else caught.value.__context__) is error


def test_os_path_join_is_looked_up_at_call_time(monkeypatch, g):
    joined = []

    def join(*parts):
        joined.append(parts[1:])
        return os.path.join(*parts)

    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(join=join))
    monkeypatch.setattr(notebook_merge, "os", fake_os)
    assert merge_source(g, ["a\n"], ["a\n"], ["b\n"]) == ["b\n"]
    assert joined == [("current",), ("base",), ("incoming",)]


def test_error_in_cleanup_keeps_the_original_as_context(monkeypatch):
    class FailingCleanup(tempfile.TemporaryDirectory):
        def __exit__(self, *exc_info):
            super().__exit__(*exc_info)
            raise OSError("cleanup failed")

    monkeypatch.setattr(notebook_merge, "tempfile", types.SimpleNamespace(TemporaryDirectory=FailingCleanup))
    with pytest.raises(OSError, match="cleanup failed") as raised:
        merge_source(FakeGit(error=RuntimeError("merge failed")), ["a\n"], ["a\n"], ["a\n"])
    assert isinstance(raised.value.__context__, RuntimeError)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "make_git, raises",
    [
        pytest.param(git.cmd.Git, None, id="real-merge"),
        pytest.param(lambda: FakeGit(result=b"\xff\n"), UnicodeDecodeError, id="undecodable-result"),
        pytest.param(lambda: FakeGit(error=RuntimeError("boom")), RuntimeError, id="git-call-fails"),
    ],
)
def test_working_file_descriptors_are_all_closed(make_git, raises):
    # The merged file's last close happens off the caller's path; it must
    # still happen, on success and on every error path.
    before = open_descriptors()
    for _ in range(40):
        if raises is None:
            assert merge_source(make_git(), ["a\n"], ["a\n"], ["b\n"]) == ["b\n"]
        else:
            with pytest.raises(raises):
                merge_source(make_git(), ["a\n"], ["a\n"], ["b\n"])
    deadline = time.monotonic() + 10
    while open_descriptors() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert open_descriptors() == before
