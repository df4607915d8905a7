"""The plain-Python equivalents of the native modules, kept in tests/reference."""

import importlib.util
import sys
from pathlib import Path
from types import ModuleType

REFERENCE_DIR = Path(__file__).resolve().parent / "reference"


def load_reference(name: str) -> ModuleType:
    """Executes tests/reference/<name>.py as the module "<name>_reference"."""
    spec = importlib.util.spec_from_file_location(f"{name}_reference", REFERENCE_DIR / f"{name}.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module
