"""Test session set-up shared by all test directories."""

import os
import sys

# `python -m pytest` puts the working directory first on sys.path; from the
# repository root that would import the source tree, which holds no built
# extension modules, instead of the installed package.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

# Shared notebook builders live beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Examples are judged on their results, not their speed: timing varies with
# the machine's load and is several times slower in the sanitizer build.
from hypothesis import settings  # noqa: E402

settings.register_profile("no-deadline", deadline=None)
settings.load_profile("no-deadline")
