"""Deeply nested outputs on small stacks.

Each case runs in a child process, on the main thread under a stack rlimit
(`ulimit -s`) or on a thread started with `threading.stack_size`.  The child
finds by bisection the deepest nesting that the json module itself can write
(`json.dumps`) and read back (`json.load`, which on the smallest stacks dies
of the stack before its recursion limit) there, each attempt in a forked copy
of itself.  A notebook output that deep then goes through `merge_files`,
`_cell_changed` and `diff_dicts`: the child must never die of a signal, and
nothing may raise `RecursionError` where the json module itself managed.

The attempts fork from the process that compares because the main thread's
stack starts at a random offset of up to 8 KiB in every new process (address
randomisation): measured in another process, json's reach on a 128 KiB stack
varies by more than the margin kept below, and the comparison died of the
stack now and then.  A forked copy has the very stack of its parent.
"""

import json
import os
import resource
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("ZUV_SANITIZE") == "1",
    reason="sanitizer builds use several times the stack per native frame")

KIB = 1024
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHILD = textwrap.dedent("""
    import copy, io, json, os, sys, tempfile, threading, traceback
    sys.path.insert(0, sys.argv[3])
    from nbbuild import cell, notebook

    def nested(depth, kind, leaf):
        for _ in range(depth):
            leaf = [leaf] if kind == "list" else {"k": leaf}
        return leaf

    def versions(depth, kind):
        base = notebook([cell("a", "load", ["x = 1\\n"]), cell("b", "fit")])
        current, incoming = copy.deepcopy(base), copy.deepcopy(base)
        current["cells"][0]["source"] = ["x = 2\\n"]
        for document, leaf in ((base, 0), (current, 0), (incoming, 1)):
            document["cells"][1]["outputs"] = [{"data": nested(depth, kind, leaf)}]
        return base, current, incoming

    def attempt(call):
        try:
            call()
            return "ok"
        except RecursionError:
            where = traceback.extract_tb(sys.exc_info()[2])[-1]
            return f"RecursionError at {where.filename}:{where.lineno}"

    def save(directory, documents):
        paths = [os.path.join(directory, name) for name in ("base", "current", "incoming")]
        for path, document in zip(paths, documents):
            with open(path, "w", encoding="utf-8") as f:
                f.write(json.dumps(document))
        return paths

    def probe(kind, depth):
        # Called at the depth the merge calls it from: json.load is one
        # frame deeper than json.dumps.
        document = versions(depth, kind)[2]
        return attempt(lambda: json.load(io.StringIO(json.dumps(document))))

    def reads(kind, depth):
        # Whether json reads that nesting on this stack: tried in a forked
        # copy, which may die of the stack in our place.
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if probe(kind, depth) == "ok" else 1)
            finally:
                os._exit(1)
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

    def deepest(kind):
        low, high = 1, 2000
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if reads(kind, middle) else (low, middle - 1)
        # merge_files reads its files from native frames of its own, a few
        # levels below where the probe calls json: keep clear of that edge.
        return low - low // 20

    def compare(results, kind, depth):
        from zuv_weft_git.drivers import notebook_diff, notebook_merge
        from zuv_weft_git.drivers.common import Cell
        base, current, incoming = versions(depth, kind)
        with tempfile.TemporaryDirectory() as directory:
            paths = save(directory, (base, current, incoming))
            results[kind] = {
                "merge_files": attempt(lambda: notebook_merge.merge_files(*paths, "nb.ipynb")),
                "_cell_changed": attempt(lambda: notebook_merge._cell_changed(
                    Cell(base["cells"][1]), Cell(incoming["cells"][1]))),
                "diff_dicts": attempt(lambda: notebook_diff.diff_dicts(base, incoming)),
            }

    def run(results):
        for kind in ("list", "dict"):
            results["depths"][kind] = deepest(kind)
            compare(results["outcomes"], kind, results["depths"][kind])

    results = {"depths": {}, "outcomes": {}}
    if sys.argv[1] == "thread":
        threading.stack_size(int(sys.argv[2]))
        worker = threading.Thread(target=run, args=(results,))
        worker.start()
        worker.join()
    else:
        run(results)
    print(json.dumps(results))
""")


def child(where, size):
    """Runs the case in a child process; the depths it found and its outcomes."""
    limit = (lambda: resource.setrlimit(resource.RLIMIT_STACK, (size, size)))
    done = subprocess.run(
        # Forking a process that runs a thread is what the probes mean to do.
        [sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", CHILD, where, str(size),
         TESTS],
        capture_output=True, text=True, timeout=300,
        preexec_fn=limit if where == "main" else None)
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-2000:]}"
    return json.loads(done.stdout)


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("size", [128 * KIB, 256 * KIB, 512 * KIB, 8192 * KIB],
                         ids=["128KiB", "256KiB", "512KiB", "8MiB"])
def test_deepest_json_nesting_is_compared_at_any_stack_size(where, size):
    found = child(where, size)
    depths = found["depths"]
    # Deep enough to matter: hundreds of levels even on the smallest stack.
    assert min(depths.values()) > 400, depths
    for kind, outcomes in found["outcomes"].items():
        assert outcomes == dict.fromkeys(outcomes, "ok"), (kind, depths[kind], outcomes)
