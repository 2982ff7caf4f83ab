"""Puts the repository root on sys.path, so that tests can import the scene generator as
``benchmarks.scenes`` from wherever pytest is started (CI's sanitizer stage runs it from
another directory with --rootdir)."""

import sys
from pathlib import Path

_ROOT = str(Path(__file__).resolve().parents[1])
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)
