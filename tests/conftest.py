import os
import sys

# Shared notebook builders live beside this file.
sys.path.insert(0, os.path.dirname(__file__))
