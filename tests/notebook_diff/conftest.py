import os
import sys

# Run against the installed package: the source tree's zuv_weft_git holds no
# built extension modules, so it must not shadow the installed one.
_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
