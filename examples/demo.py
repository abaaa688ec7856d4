"""A real `git merge` of a pipeline notebook, the recommended way.

Creates a repository in build/demo/ (made anew on every run), runs `zuv
config-git` there, commits examples/base.ipynb, makes a branch "current"
holding current.ipynb and a branch "incoming" holding incoming.ipynb, merges
"incoming" into "current" through `zuv merge-driver`, then shows what a person
does next: `git diff` (a notebook diff), `zuv conflicts`, the merge page
(`zuv show-merge --html`) and the `zuv resolve` command.  The repository
stays, so the merged notebook can be opened and its conflict resolved.  Run it
with `make demo` (or with the interpreter of the environment where
zuv-weft-git is installed).
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent
# Where the repository is made; the test suite points it elsewhere.
DEMO = Path(os.environ.get("ZUV_DEMO_DIR") or EXAMPLES.parent / "build" / "demo")
NOTEBOOK = "pipeline.ipynb"
MARKS = ("<<< ", ">>> ")


def find_zuv() -> str:
    """The zuv command of this interpreter's environment, else the PATH's."""
    beside = Path(sys.executable).parent / "zuv"
    if beside.exists():
        return str(beside)
    found = shutil.which("zuv")
    if found is None:
        sys.exit("zuv is not installed; run `make install` first")
    return found


def git(repo: Path, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, check=check)


def commit_version(repo: Path, version: str, message: str) -> None:
    shutil.copyfile(EXAMPLES / f"{version}.ipynb", repo / NOTEBOOK)
    git(repo, "add", NOTEBOOK)
    git(repo, "commit", "-q", "-m", message)


def make_repository(repo: Path, zuv: str) -> None:
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.name", "Demo User")
    git(repo, "config", "user.email", "demo@example.invalid")
    git(repo, "config", "commit.gpgsign", "false")
    # The recommended setup: the merge driver, the diff driver, the text
    # conversion and the .gitattributes line, written by zuv itself.
    print("$ zuv config-git")
    setup = subprocess.run([zuv, "config-git"], cwd=repo, capture_output=True, text=True, check=True)
    show(setup.stdout + setup.stderr)
    git(repo, "add", ".gitattributes")
    commit_version(repo, "base", "Pipeline notebook")
    git(repo, "checkout", "-q", "-b", "incoming")
    commit_version(repo, "incoming", "Evaluate ROC AUC, add streaming feature and importance plot")
    git(repo, "checkout", "-q", "-b", "current", "main")
    commit_version(repo, "current", "Tighter cleaning, rounded tenure, shallower trees")


def show(text: str, limit: int = 0) -> None:
    lines = text.splitlines()
    for line in lines[:limit] if limit else lines:
        print(f"  | {line}")
    if limit and len(lines) > limit:
        print(f"  | ... ({len(lines) - limit} more lines)")


def short(source, width: int = 88) -> list:
    lines = source.splitlines() if isinstance(source, str) else "".join(source).splitlines()
    return [line if len(line) <= width else line[: width - 3] + "..." for line in lines]


def describe(notebook: dict) -> None:
    for cell in notebook.get("cells", []):
        canvas = cell.get("metadata", {}).get("canvas", {})
        name = canvas.get("name") or "(unnamed)"
        parents = ", ".join(p.get("name") or p.get("id", "?") for p in canvas.get("parents", []))
        flag = "  <-- conflicting copy" if name.startswith(MARKS) else ""
        print(f"  [{name}]" + (f"  parents: {parents}" if parents else "") + flag)
        for line in short(cell.get("source", [])):
            marker = "  !" if line.startswith(("<<<<<<< ", "=======", ">>>>>>> ")) else "   "
            print(f"   {marker} {line}")
    print("  parameters:")
    for parameter in notebook.get("metadata", {}).get("canvas", {}).get("parameters", []):
        print(f"    {parameter.get('name')} = {parameter.get('value')!r} ({parameter.get('type')})")


def main() -> int:
    zuv = find_zuv()
    print(f"zuv: {zuv}")
    # The user's own git configuration must not change what the demo shows.
    if DEMO.exists():
        shutil.rmtree(DEMO)
    DEMO.mkdir(parents=True)
    empty_config = DEMO / "empty-gitconfig"
    empty_config.touch()
    os.environ.update(GIT_CONFIG_GLOBAL=str(empty_config), GIT_CONFIG_NOSYSTEM="1", GIT_PAGER="cat")
    repo = DEMO / "repo"
    repo.mkdir()
    print(f"repository: {repo}")
    make_repository(repo, zuv)
    print("\n$ git merge incoming   (on branch current; git runs `zuv merge-driver`)")
    merge = git(repo, "merge", "--no-edit", "incoming", check=False)
    show(merge.stdout + merge.stderr)
    print(f"git merge exit status: {merge.returncode}")

    text = (repo / NOTEBOOK).read_text(encoding="utf-8")
    try:
        merged = json.loads(text)
    except ValueError:
        print("the working-tree notebook is not JSON (git's own conflict marks?):")
        print(text[:2000])
        return 1
    indented = text.startswith('{\n "cells": [\n  {')
    print(f"\nmerged {NOTEBOOK} ({'indented as Jupyter writes it' if indented else 'layout changed'}):")
    describe(merged)
    status = git(repo, "status", "--short").stdout.strip()
    print("\ngit status --short:")
    print("\n".join(f"  {line}" for line in status.splitlines()) or "  (clean)")
    if merge.returncode == 0:
        print("\nThe merge was clean and git committed it.")
        print(f"\nThe repository stays in {repo}.")
        return 0

    # What the merge changed on the current branch, as a notebook diff.
    print(f"\n$ git diff HEAD -- {NOTEBOOK}   (through `zuv diff-driver`)")
    show(git(repo, "diff", "HEAD", "--", NOTEBOOK, check=False).stdout, limit=40)
    print(f"\n$ zuv conflicts {NOTEBOOK}")
    conflicts = subprocess.run([zuv, "conflicts", NOTEBOOK], cwd=repo, capture_output=True, text=True)
    show(conflicts.stdout + conflicts.stderr)
    page = DEMO / "merge.html"
    print(f"\n$ zuv show-merge --html {page} {NOTEBOOK}")
    drawn = subprocess.run([zuv, "show-merge", "--html", str(page), NOTEBOOK], cwd=repo,
                           capture_output=True, text=True)
    show(drawn.stdout + drawn.stderr)
    if page.exists():
        print(f"  the merge page: open {page} in a browser")
    print("\nTo keep one side of every conflict, then commit:")
    print(f"  zuv resolve {NOTEBOOK} --incoming --all   (or --current; --cell NAME for one cell)")
    print(f"  git add {NOTEBOOK} && git commit")
    print(f"\nThe repository stays in {repo}; open {repo / NOTEBOOK} to look at the merge.")
    print("To run zuv there, use its full path or activate its environment:")
    print(f"  cd {repo} && {zuv} conflicts {NOTEBOOK}")
    print(f"  source {Path(zuv).parent / 'activate'}   # then plain `zuv`")
    return 0


if __name__ == "__main__":
    sys.exit(main())
