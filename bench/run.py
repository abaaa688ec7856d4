"""Runs every benchmark script in this directory, one after another."""

import subprocess
import sys
from pathlib import Path


def main() -> int:
    status = 0
    for script in sorted(Path(__file__).resolve().parent.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        status |= subprocess.run([sys.executable, str(script)]).returncode
    return status


if __name__ == "__main__":
    sys.exit(main())
