"""The package under test is the installed one, with its compiled modules: the
source tree, which `python -m pytest` puts first on the path, holds only the
Python files."""

import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
