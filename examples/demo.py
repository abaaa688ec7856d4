"""A real `git merge` of a pipeline notebook with zuvmerge as the merge driver.

Creates a repository in build/demo/ (made anew on every run), commits
examples/base.ipynb, makes a branch "current" holding current.ipynb and a
branch "incoming" holding incoming.ipynb, configures the driver, merges
"incoming" into "current" and prints what happened.  The repository stays, so
the merged notebook can be opened and its conflict resolved.  Run it with
`make demo` (or with the interpreter of the environment where zuv-weft-git is
installed).
"""

import json
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent
# Where the repository is made; the test suite points it elsewhere.
DEMO = Path(os.environ.get("ZUV_DEMO_DIR") or EXAMPLES.parent / "build" / "demo")
NOTEBOOK = "pipeline.ipynb"
MARKS = ("<<< ", ">>> ")


def find_zuvmerge() -> str:
    """The zuvmerge command of this interpreter's environment, else the PATH's."""
    beside = Path(sys.executable).parent / "zuvmerge"
    if beside.exists():
        return str(beside)
    found = shutil.which("zuvmerge")
    if found is None:
        sys.exit("zuvmerge is not installed; run `make install` first")
    return found


def git(repo: Path, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, check=check)


def commit_version(repo: Path, version: str, message: str) -> None:
    shutil.copyfile(EXAMPLES / f"{version}.ipynb", repo / NOTEBOOK)
    git(repo, "add", NOTEBOOK)
    git(repo, "commit", "-q", "-m", message)


def make_repository(repo: Path, zuvmerge: str) -> None:
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.name", "Demo User")
    git(repo, "config", "user.email", "demo@example.invalid")
    git(repo, "config", "commit.gpgsign", "false")
    # The driver: git substitutes %O (ancestor), %A (ours, also the output),
    # %B (theirs) and %P (the path of the file in the repository).
    git(repo, "config", "merge.zuv.name", "pipeline notebook merge")
    git(repo, "config", "merge.zuv.driver",
        f"{shlex.quote(zuvmerge)} --base-file %O --current-file %A --incoming-file %B --file-path %P")
    (repo / ".gitattributes").write_text("*.ipynb merge=zuv\n", encoding="utf-8")
    git(repo, "add", ".gitattributes")
    commit_version(repo, "base", "Pipeline notebook")
    git(repo, "checkout", "-q", "-b", "incoming")
    commit_version(repo, "incoming", "Evaluate ROC AUC, add streaming feature and importance plot")
    git(repo, "checkout", "-q", "-b", "current", "main")
    commit_version(repo, "current", "Tighter cleaning, rounded tenure, shallower trees")


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
    zuvmerge = find_zuvmerge()
    print(f"merge driver: {zuvmerge}")
    # The user's own git configuration must not change what the demo shows.
    if DEMO.exists():
        shutil.rmtree(DEMO)
    DEMO.mkdir(parents=True)
    empty_config = DEMO / "empty-gitconfig"
    empty_config.touch()
    os.environ.update(GIT_CONFIG_GLOBAL=str(empty_config), GIT_CONFIG_NOSYSTEM="1")
    repo = DEMO / "repo"
    repo.mkdir()
    make_repository(repo, zuvmerge)
    print(f"repository: {repo}")
    print("$ git merge incoming   (on branch current)")
    merge = git(repo, "merge", "--no-edit", "incoming", check=False)
    for line in (merge.stdout + merge.stderr).splitlines():
        print(f"  | {line}")
    print(f"git merge exit status: {merge.returncode}")

    text = (repo / NOTEBOOK).read_text(encoding="utf-8")
    try:
        merged = json.loads(text)
    except ValueError:
        print("the working-tree notebook is not JSON (git's own conflict marks?):")
        print(text[:2000])
        return 1
    print(f"\nmerged {NOTEBOOK}:")
    describe(merged)
    status = git(repo, "status", "--short").stdout.strip()
    print("\ngit status --short:")
    print("\n".join(f"  {line}" for line in status.splitlines()) or "  (clean)")
    if merge.returncode == 0:
        print("\nThe merge was clean and git committed it.")
    else:
        print("\nThe merge stopped with conflicts: resolve the marked cells and source blocks, "
              "then `git add` and `git commit`.")
    print(f"\nThe repository stays in {repo}; open {repo / NOTEBOOK} to look at the merge.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
