"""`zuv merge-driver` merges cell sources in memory (libgit2); it must write
exactly what `git merge-file` writes.  Held against the installed git byte
for byte on random text triples, and whole notebooks merged by both routes.

ZUV_MERGE_FILE_TRIPLES sets the number of random triples (`make
merge-file-differential` runs 20,000), ZUV_MERGE_FILE_SEED the seed (else a
fresh one, named in every failure)."""
import os
import random
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from nbbuild import cell, notebook, param, write

from zuv_weft_git import _text_merge

ZUV = Path(sys.executable).parent / "zuv"

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")

TRIPLES = int(os.environ.get("ZUV_MERGE_FILE_TRIPLES", "2000"))
SEED = int(os.environ.get("ZUV_MERGE_FILE_SEED", random.randrange(1 << 32)))

# git merge-file's options, and what the in-process merge is given for them:
# labels (None: the file names, as git shows them), style, marker size.
LABELS = ["ours ✓ (HEAD)", "base", "theirs: feature/x"]
OPTION_SETS = {
    "file-labels": ([], None, "merge", 7),
    "labels": ([a for label in LABELS for a in ("-L", label)], LABELS, "merge", 7),
    "diff3": (["--diff3"], None, "diff3", 7),
    "zdiff3": (["--zdiff3"], None, "zdiff3", 7),
    "marker-size-10": (["--marker-size=10"], None, "merge", 10),
    "diff3-marker-size-3": (["--diff3", "--marker-size=3"], None, "diff3", 3),
}
FILES = ["current", "base", "incoming"]

# An environment whose git reads no configuration at all: the merges run
# outside any repository, where git merge-file reads none anyway.
def clean_env(home):
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=str(home / ".gitconfig"),
               GIT_CEILING_DIRECTORIES=str(home.parent))
    return env


# ---------------------------------------------------------------------------
# Random text triples.

LINES = ["x = 1", "y = f(x)", "return y", "}", "{", "", "    ", "\t", "# é ü ß", "日本語のテキスト", "😀 emoji",
         "<<<<<<< HEAD", "=======", ">>>>>>> other", "||||||| base", "<<<<<<<", ">>>>>>>", "==========",
         "<<<<<<<<<< ours", "a" * 300, "b " * 700, ";", "if x:", "    pass", "end"]


def random_line(rng):
    if rng.random() < 0.35:
        return rng.choice(LINES)
    return rng.choice(["v", "w", "item", "call"]) + str(rng.randrange(12))


def edited(rng, lines, edits):
    lines = list(lines)
    for _ in range(edits):
        where = rng.choice([0, len(lines), rng.randint(0, len(lines))])
        kind = rng.choice(["insert", "delete", "change"]) if lines else "insert"
        if kind == "insert":
            lines[where:where] = [random_line(rng) for _ in range(rng.randint(1, 3))]
        else:
            where = min(where, len(lines) - 1)
            lines[where:where + 1] = [] if kind == "delete" else [random_line(rng)]
    return lines


def adjacent_edits(rng, base):
    """Edits of neighbouring lines, one on each side."""
    if len(base) < 2:
        return edited(rng, base, 1), edited(rng, base, 1)
    i = rng.randrange(len(base) - 1)
    current, incoming = list(base), list(base)
    current[i] = random_line(rng)
    incoming[i + 1] = random_line(rng)
    if rng.random() < 0.5:
        current, incoming = incoming, current
    return current, incoming


def line_texts(rng, sides):
    """The three line lists as bytes, with line ends of one kind or mixed."""
    ending = rng.choice(["\n", "\n", "\r\n", "\r", "mixed"])
    texts = []
    for lines in sides:
        ends = [rng.choice(["\n", "\r\n", "\r"]) if ending == "mixed" else ending for _ in lines]
        text = "".join(line + end for line, end in zip(lines, ends))
        if lines and rng.random() < 0.25:
            text = text[:-len(ends[-1])]  # no final line end
        texts.append(text.encode("utf-8"))
    return texts


def random_triple(rng):
    """(current, base, incoming) as bytes."""
    base = [random_line(rng) for _ in range(rng.choice([0, 1, 2, 3, 5, 8, 12]))]
    shape = rng.choice(["independent", "independent", "shared", "adjacent", "identical", "one-side",
                        "empty-side", "empty-base"])
    current, incoming = edited(rng, base, rng.randint(1, 3)), edited(rng, base, rng.randint(1, 3))
    if shape == "shared":
        incoming = edited(rng, current, rng.randint(0, 1))
    elif shape == "adjacent":
        current, incoming = adjacent_edits(rng, base)
    elif shape == "identical":
        incoming = list(current)
    elif shape == "one-side":
        incoming = list(base)
    elif shape == "empty-side":
        current = []
    elif shape == "empty-base":
        base = []
    if rng.random() < 0.5:
        current, incoming = incoming, current
    return line_texts(rng, [current, base, incoming])


# Triples that set the two apart: two conflicts more than three lines apart
# that git joins because no line between holds a letter or digit (libgit2
# joins them only with GIT_MERGE_FILE_SIMPLIFY_ALNUM), and empty sides.
FIXED = [
    [b"A\n}\n\n;\n}\nB\n", b"a\n}\n\n;\n}\nb\n", b"X\n}\n\n;\n}\nY\n"],
    [b"A\n}\nB\n", b"a\n}\nb\n", b"X\n}\nY\n"],
    [b"", b"x\n", b"y\n"],
    [b"x\n", b"", b"y\n"],
    [b"", b"", b"a\nb"],
]


# ---------------------------------------------------------------------------
# git merge-file on many triples at once: one shell per worker runs git for
# its share of the triples, so the test pays for git's start, not Python's.

def run_git_merges(root, triples, env):
    script_lines = []
    for i, texts in enumerate(triples):
        folder = root / str(i)
        folder.mkdir()
        for name, text in zip(FILES, texts):
            (folder / name).write_bytes(text)
        runs = []
        for key, (options, *_rest) in OPTION_SETS.items():
            quoted = " ".join("'%s'" % o.replace("'", "'\\''") for o in options)
            runs.append(f"git merge-file -p {quoted} current base incoming > {key}.out 2> {key}.err; "
                        f"echo $? > {key}.status")
        script_lines.append(f"cd '{folder}' || exit 1\n" + "\n".join(runs))
    workers = os.cpu_count() or 1
    scripts = [script_lines[k::workers] for k in range(workers)]

    def run(lines):
        return subprocess.run(["sh", "-s"], input="\n".join(lines).encode(), env=env, capture_output=True)

    with ThreadPoolExecutor(workers) as pool:
        for done in pool.map(run, scripts):
            assert done.returncode == 0, done.stderr


def in_process(texts, key):
    _options, labels, style, marker_size = OPTION_SETS[key]
    names = [label.encode() for label in (labels or FILES)]
    return _text_merge.merge(texts[1], texts[0], texts[2], tuple(names), style.encode(), marker_size)


def may_decline(texts):
    """Where the linked libgit2 is known to differ from git: empty inputs
    from libgit2 1.9 on."""
    major, minor, _ = map(int, _text_merge.libgit2_version().split("."))
    return (major, minor) >= (1, 9) and not all(texts)


@pytest.mark.slow
def test_differential_against_git_merge_file(tmp_path):
    rng = random.Random(SEED)
    triples = FIXED + [random_triple(rng) for _ in range(TRIPLES)]
    home = tmp_path / "home"
    home.mkdir()
    root = tmp_path / "triples"
    root.mkdir()
    # git is not under test: not under the sanitizer's preloaded runtime either.
    env = {k: v for k, v in clean_env(home).items() if k != "LD_PRELOAD"}
    run_git_merges(root, triples, env)

    differences = []
    for i, texts in enumerate(triples):
        for key in OPTION_SETS:
            folder = root / str(i)
            status = int((folder / f"{key}.status").read_text())
            assert 0 <= status < 128, (SEED, i, key, (folder / f"{key}.err").read_text())
            expected = ((folder / f"{key}.out").read_bytes(), status == 0)
            got = in_process(texts, key)
            if got is None and may_decline(texts):
                continue
            if got != expected:
                differences.append((i, key, texts, expected, got))
    assert not differences, f"seed {SEED}: {len(differences)} differences, first: {differences[:3]}"


def test_declines_what_git_refuses():
    labels = (b"c", b"b", b"i")
    # Binary input (git refuses it; libgit2 would write an empty result).
    assert _text_merge.merge(b"a\n\0\n", b"b\n", b"c\n", labels, b"merge", 7) is None
    # A label git would write in full but a C string cuts short.
    assert _text_merge.merge(b"a\n", b"b\n", b"c\n", (b"c\0d", b"b", b"i"), b"merge", 7) is None
    # Marker sizes libgit2 cannot hold.
    assert _text_merge.merge(b"a\n", b"b\n", b"c\n", labels, b"merge", 70000) is None


# ---------------------------------------------------------------------------
# Whole notebooks: the driver with the in-process route and with
# `zuv.sourceMerge process` writes the same file, status and summary.

def source_lines(text):
    return text.decode("utf-8").splitlines(keepends=True)


def notebook_triple(rng, cells):
    """Every cell's source changed on both sides, from the random triples."""
    sides = {"current": [], "base": [], "incoming": []}
    for k in range(cells):
        texts = random_triple(rng)
        for side, text in zip(FILES, texts):
            sides[side].append(cell(f"c{k}", f"step{k}", source_lines(text), parents=[f"c{k - 1}"] if k else []))
    return {side: notebook(c, [param("rate", "0.1")]) for side, c in sides.items()}


def config_env(*pairs):
    """Configuration given through the environment, as `git -c` would."""
    env = {"GIT_CONFIG_COUNT": str(len(pairs))}
    for k, (key, value) in enumerate(pairs):
        env.update({f"GIT_CONFIG_KEY_{k}": key, f"GIT_CONFIG_VALUE_{k}": value})
    return env


PROCESS = ("zuv.sourceMerge", "process")


class Driver:
    """`zuv merge-driver` in a work folder (a repository when asked), with
    the given merge.conflictStyle and a git first on PATH that notes each
    subcommand it runs."""

    def __init__(self, tmp_path, style=None, in_repository=False):
        home = tmp_path / "home"
        home.mkdir()
        self.env = clean_env(home)
        self.work = tmp_path / "work"
        self.work.mkdir()
        if in_repository:
            subprocess.run(["git", "init", "-q", str(self.work)], env=self.env, check=True)
            if style:
                subprocess.run(["git", "-C", str(self.work), "config", "merge.conflictStyle", style],
                               env=self.env, check=True)
        elif style:
            (home / ".gitconfig").write_text(f"[merge]\n\tconflictStyle = {style}\n")
        shims = tmp_path / "shims"
        shims.mkdir()
        self.log = tmp_path / "git.log"
        (shims / "git").write_text(f'#!/bin/sh\necho "$1" >> {self.log}\nexec {shutil.which("git")} "$@"\n')
        (shims / "git").chmod(0o755)
        self.env["PATH"] = f"{shims}:{self.env['PATH']}"

    def merge(self, documents, marker_size, config):
        """(status, stderr, merged bytes, git subcommands run)."""
        for side, document in documents.items():
            write(self.work / f"{side}.ipynb", document)
        run = subprocess.run([str(ZUV), "merge-driver", "base.ipynb", "current.ipynb", "incoming.ipynb",
                              str(marker_size), "pipeline.ipynb"],
                             cwd=self.work, env={**self.env, **config}, capture_output=True)
        runs = self.log.read_text().split() if self.log.exists() else []
        self.log.unlink(missing_ok=True)
        return run.returncode, run.stderr, (self.work / "current.ipynb").read_bytes(), runs


def generated_triple(rng):
    """bench/generate.py's realistic notebooks: clean source merges and
    conflicts among cells edited otherwise."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    try:
        import generate
    finally:
        del sys.path[0]
    triple = generate.edited_triple(150, seed=rng.randrange(1000), both_sides=0.2, conflicts=0.1)
    return dict(zip(("base", "current", "incoming"), triple[:3]))


@pytest.mark.slow
@pytest.mark.parametrize(
    "style, in_repository, marker_size, shapes",
    [(None, False, 7, "random"), ("diff3", True, 7, "random"), ("zdiff3", True, 11, "random"),
     # Outside a repository git merge-file reads no configuration.
     ("diff3", False, 3, "random"),
     ("diff3", True, 7, "generator")],
)
def test_driver_routes_write_the_same_notebook(tmp_path, style, in_repository, marker_size, shapes):
    rng = random.Random(SEED ^ marker_size)
    driver = Driver(tmp_path, style, in_repository)
    statuses, process_merges = set(), 0
    for round_ in range(6 if shapes == "random" else 2):
        documents = notebook_triple(rng, rng.choice([3, 12])) if shapes == "random" else generated_triple(rng)
        *in_memory, runs = driver.merge(documents, marker_size, {})
        assert "merge-file" not in runs
        *by_process, runs = driver.merge(documents, marker_size, config_env(PROCESS))
        process_merges += runs.count("merge-file")
        assert in_memory == by_process, (SEED, round_)
        statuses.add(by_process[0])
    assert statuses <= {0, 1} and 1 in statuses and process_merges > 0, (statuses, process_merges)


def one_cell_triple(current, base, incoming):
    return {side: notebook([cell("a", "load", source)])
            for side, source in (("current", current), ("base", base), ("incoming", incoming))}


# Where the in-process merge cannot answer as git would, git answers: per
# cell, or for every cell.  (settings, triple, git merge-file runs, message)
FALLBACKS = {
    # git refuses a NUL byte as binary: the pipeline merge fails and the
    # notebook is merged line by line, as with the process route.
    "nul-byte": ([], one_cell_triple(["x\0\n", "b\n"], ["a\n", "b\n"], ["a\n", "B\n"]), 2, b""),
    "unknown-style": ([("merge.conflictStyle", "fancy")],
                      one_cell_triple(["A\n"], ["a\n"], ["B\n"]), 2, b"unknown style"),
    "unknown-route": ([("zuv.sourceMerge", "fast")],
                      one_cell_triple(["A\n"], ["a\n"], ["B\n"]), 1, b"zuv.sourceMerge is 'fast'"),
    # Not a repository's configuration: git merge-file reads none.
    "unknown-style-outside": ([], one_cell_triple(["A\n"], ["a\n"], ["B\n"]), 0, b"conflicts remain"),
}


@pytest.mark.parametrize("case", FALLBACKS)
def test_driver_leaves_to_git_what_libgit2_cannot_promise(tmp_path, case):
    config, documents, merge_file_runs, message = FALLBACKS[case]
    outside = case.endswith("outside")
    driver = Driver(tmp_path, style="fancy" if outside else None, in_repository=not outside)
    status, stderr, merged, runs = driver.merge(documents, 7, config_env(*config))
    assert runs.count("merge-file") == merge_file_runs, runs
    assert message in stderr
    status_p, stderr_p, merged_p, _ = driver.merge(documents, 7, config_env(*config, PROCESS))
    assert (status, merged) == (status_p, merged_p)

    def same_lines(text):  # the working folder's random name aside
        return [re.sub(rb"/tmp\w*/\w+/", b"TMP/", line) for line in text.splitlines() if message not in line]
    assert same_lines(stderr) == same_lines(stderr_p)
