"""Shared by the module's tests: the fuzz harness (fuzz/inputs.py, whose decoder and judge
the corpus replay and the declaration checks use) is importable as `inputs`, and the
reference implementations live in tests/reference.py."""
import sys
from pathlib import Path

FUZZ_DIR = Path(__file__).resolve().parents[1] / "fuzz"
if str(FUZZ_DIR) not in sys.path:
    sys.path.insert(0, str(FUZZ_DIR))
