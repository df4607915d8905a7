"""Puts the test suite's folder on sys.path: the plain-Python reference modules live in tests/reference."""

import sys
from pathlib import Path

TESTS = str(Path(__file__).resolve().parents[1] / "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
