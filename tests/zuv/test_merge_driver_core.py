"""`zuv merge-driver` and `merge_files` share one merge, and the driver
imports only what the merge at hand needs."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from nbbuild import PYTHON, cell, clone, find, notebook, param, write

from zuv_weft_git.drivers import merge_files

ZUV = Path(sys.executable).parent / "zuv"

BASE = notebook(
    [cell("a", "load", ["import pandas\n", "x = 1\n", "y = 2\n", "z = 3\n"]),
     cell("b", "train", ["fit()\n"], parents=["a"]),
     cell("c", "report", ["report()\n"], parents=["b"])],
    [param("rate", "0.1"), param("epochs", "3")],
)


def changed(**edits):
    document = clone(BASE)
    for cid, source in edits.get("sources", {}).items():
        find(document["cells"], cid)["source"] = source
    for name, value in edits.get("parameters", {}).items():
        next(p for p in document["metadata"]["canvas"]["parameters"] if p["name"] == name)["value"] = value
    for cid in edits.get("deleted", ()):
        document["cells"].remove(find(document["cells"], cid))
    document["cells"] += edits.get("added", [])
    return document


TRIPLES = {
    "different-cells": (changed(sources={"a": ["import polars\n", "x = 1\n", "y = 2\n", "z = 3\n"]}),
                        changed(sources={"b": ["fit(k=2)\n"]}, added=[cell("d", "plot", parents=["c"])])),
    "source-merge": (changed(sources={"a": ["import polars\n", "x = 1\n", "y = 2\n", "z = 3\n"]}),
                     changed(sources={"a": ["import pandas\n", "x = 1\n", "y = 2\n", "z = 30\n"]})),
    "source-conflict": (changed(sources={"b": ["fit(mine)\n"]}), changed(sources={"b": ["fit(theirs)\n"]})),
    "parameter-conflict": (changed(parameters={"rate": "0.2"}), changed(parameters={"rate": "0.3"})),
    "deleted-and-edited": (changed(deleted=["c"]), changed(parameters={"epochs": "5"})),
    # A mark committed earlier is no conflict of this merge: exit 0, as zuvmerge.
    "committed-mark": (changed(sources={"c": ["<<<<<<< old\n", "a\n", "=======\n", "b\n", ">>>>>>> old\n"]}),
                       changed(parameters={"epochs": "5"})),
}


@pytest.mark.parametrize("name", TRIPLES)
def test_driver_merges_as_merge_files_does(tmp_path, name):
    current, incoming = TRIPLES[name]
    results = {}
    for tool in ("merge_files", "driver"):
        folder = tmp_path / tool
        folder.mkdir()
        for side, document in (("base", BASE), ("current", current), ("incoming", incoming)):
            write(folder / f"{side}.ipynb", document)
        paths = {side: str(folder / f"{side}.ipynb") for side in ("base", "current", "incoming")}
        if tool == "merge_files":
            merge_files(current_file_path=paths["current"], base_file_path=paths["base"],
                        incoming_file_path=paths["incoming"], file_path="nb.ipynb")
        else:
            run = subprocess.run([str(ZUV), "merge-driver", paths["base"], paths["current"], paths["incoming"],
                                  "7", "nb.ipynb"], capture_output=True, text=True)
            assert run.returncode == (1 if "conflict" in name else 0), run.stderr
        results[tool] = (folder / "current.ipynb").read_text(encoding="utf-8")
    # One-line files stay one line: the very bytes merge_files writes.
    assert results["driver"] == results["merge_files"]


# The driver ends its process without finalization, so imports are told as
# they happen.
IMPORTS = """
import sys
def watch(event, args):
    if event == "import" and args[0].split(".")[0] in ("git", "jsondiff"):
        sys.stderr.write("imported " + args[0].split(".")[0] + "\\n")
sys.addaudithook(watch)
from zuv_weft_git.scripts import _launcher
sys.argv = ["zuv", *sys.argv[1:]]
_launcher.zuv_main()
"""


# Source merges run in memory; GitPython comes in only for the process route.
PROCESS_ROUTE = {"GIT_CONFIG_COUNT": "1", "GIT_CONFIG_KEY_0": "zuv.sourceMerge", "GIT_CONFIG_VALUE_0": "process"}


@pytest.mark.parametrize(
    "command, triple, config, loads_git",
    [
        ("merge-driver", "different-cells", {}, False),
        ("merge-driver", "source-merge", {}, False),
        ("merge-driver", "source-merge", PROCESS_ROUTE, True),
        ("diff", "different-cells", {}, False),
        ("textconv", "different-cells", {}, False),
    ],
)
def test_gitpython_and_jsondiff_load_only_when_needed(tmp_path, command, triple, config, loads_git):
    current, incoming = TRIPLES[triple]
    for side, document in (("base", BASE), ("current", current), ("incoming", incoming)):
        write(tmp_path / f"{side}.ipynb", document)
    args = {"merge-driver": ["base.ipynb", "current.ipynb", "incoming.ipynb", "7", "nb.ipynb"],
            "diff": ["base.ipynb", "incoming.ipynb"], "textconv": ["current.ipynb"]}[command]
    result = subprocess.run([*PYTHON, "-c", IMPORTS, command, *args], cwd=tmp_path, capture_output=True,
                            text=True, env={**os.environ, **config})
    assert result.returncode == 0, result.stderr
    imported = {line.split()[1] for line in result.stderr.splitlines() if line.startswith("imported ")}
    assert imported == ({"git"} if loads_git else set()), result.stderr
