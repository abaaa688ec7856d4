"""Headless Chromium for the page tests: load a file, read the DOM after load."""
import html.parser
import os
import shutil
import subprocess

import pytest


def chromium():
    """The browser; missing, it fails the test under CI and skips it elsewhere."""
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        message = "chromium is not installed (`make chromium` installs Debian's package)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return exe


def _environment():
    # The sanitizer run preloads its runtime into every child; not the browser's.
    drop = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {k: v for k, v in os.environ.items() if k not in drop}


def load(page, *extra):
    """(DOM serialised after the load event, console lines) of a page file."""
    result = subprocess.run(
        [chromium(), "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run",
         "--enable-logging=stderr", "--v=0", *extra, "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=300, env=_environment())
    assert result.returncode == 0, result.stderr[-2000:]
    console = [line for line in result.stderr.splitlines() if ":CONSOLE" in line]
    return result.stdout, console


def screenshot(page, png, width=1280, height=900):
    subprocess.run(
        [chromium(), "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run",
         "--hide-scrollbars", f"--window-size={width},{height}", f"--screenshot={png}",
         page.as_uri()],
        capture_output=True, timeout=300, check=True, env=_environment())


class Dom(html.parser.HTMLParser):
    """Elements (tag, attributes) and the text of a serialised DOM."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements = []
        self.chunks = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)

    def handle_data(self, data):
        self.chunks.append(data)

    @property
    def text(self):
        return "".join(self.chunks)

    def having(self, tag, css_class=None):
        return [a for t, a in self.elements
                if t == tag and (css_class is None or css_class in (a.get("class") or "").split())]
