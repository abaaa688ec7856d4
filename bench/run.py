"""The benchmark entry point (`make bench`): everything in one run.

Runs bench/compare.py, which measures every comparison side by side (cell
comparison against jsondiff, whole merges against nbdime's merge driver,
merge_files, source merges, start-up of zuvmerge and of the zuv command, and
diff_dicts against their floors),
prints the tables and a summary of the targets, and writes docs/scaling.png.
With --each, every bench_*.py script then runs on its own as well, for its
more detailed table.  Other arguments go to compare.py.
"""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    args = sys.argv[1:]
    each = "--each" in args
    args = [a for a in args if a != "--each"]
    status = subprocess.run([sys.executable, str(HERE / "compare.py"), *args]).returncode
    if each:
        for script in sorted(HERE.glob("bench_*.py")):
            print(f"\n== {script.name}", flush=True)
            status |= subprocess.run([sys.executable, str(script)]).returncode
    return status


if __name__ == "__main__":
    sys.exit(main())
