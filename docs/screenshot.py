"""Draws docs/pipeline-diff.png: the page of `zuv diff --html` for the example
pipeline notebooks, as headless Chromium shows it (`make screenshot`)."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ZUV = Path(sys.executable).parent / "zuv"


def main():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("chromium is not installed (make chromium)")
    with tempfile.TemporaryDirectory() as work:
        page = Path(work) / "pipeline-diff.html"
        subprocess.run([str(ZUV), "diff", "--html", str(page), "examples/pipeline_before.ipynb",
                        "examples/pipeline_after.ipynb"], cwd=ROOT, check=True)
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
                        "--window-size=1840,1000", f"--screenshot={ROOT / 'docs' / 'pipeline-diff.png'}",
                        page.as_uri()], check=True, capture_output=True, env=env)
    print("wrote docs/pipeline-diff.png")


if __name__ == "__main__":
    main()
