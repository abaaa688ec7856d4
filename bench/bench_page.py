"""The pipeline page at 2,000 cells: time to write it (`zuv diff --html`), its
size, and the page's own performance.now() at the load event in headless
Chromium (target: under 2 s, at most 5 MB).  Runs alone: `python bench/bench_page.py`."""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

ZUV = Path(sys.executable).parent / "zuv"
RUNS = int(os.environ.get("ZUV_PAGE_RUNS", "5"))


def main():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("chromium is not installed (make chromium)")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        base, _, incoming, _ = generate.edited_triple(2000, seed=3, long_sources=0, long_outputs=0, images=0)
        (work / "old.ipynb").write_text(json.dumps(base))
        (work / "new.ipynb").write_text(json.dumps(incoming))
        page = work / "page.html"
        writes, loads = [], []
        for _ in range(RUNS):
            start = time.perf_counter()
            subprocess.run([str(ZUV), "diff", "--html", str(page), "old.ipynb", "new.ipynb"], cwd=work, check=True)
            writes.append(time.perf_counter() - start)
            dom = subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox", "--dump-dom",
                                  page.as_uri()], capture_output=True, text=True, check=True).stdout
            loads.append(float(re.search(r'data-load-ms="([0-9.]+)"', dom).group(1)))
        size = page.stat().st_size
    print(f"2,000 cells, {RUNS} runs: zuv diff --html median {statistics.median(writes) * 1000:.0f} ms; "
          f"page {size / 1e6:.2f} MB; performance.now() at load median {statistics.median(loads):.0f} ms "
          f"(min {min(loads):.0f}, max {max(loads):.0f})")


if __name__ == "__main__":
    main()
