"""The package's pytest plugin as a user meets it: found through its entry point in a project of
the user's own, the example test passing, settings set in code pointed at the service and restored,
and a clear failure where the local service's extra is missing."""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

from zorvia.testing import NEEDS_SIM

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "test_greeting.py"

SETTINGS_TESTS = '''
from zorvia import settings

def test_a_settings_set_in_code(zorvia_service):
    assert (settings.current().title_url, settings.current().deadline) == (zorvia_service.title_url, 2.0)

def test_b_are_restored_after_the_test():
    assert (settings.current().title_url, settings.current().deadline) == ("https://title.example", 2.0)
'''
SETTINGS_CONFTEST = '''
from zorvia import settings
settings.configure(settings.NetSettings(title_url="https://title.example", deadline=2.0))
'''
# Makes the local service's libraries impossible to import, as if the extra were not installed.
NO_SIM_CONFTEST = '''
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {"starlette", "uvicorn"}:
            raise ImportError(name)
sys.meta_path.insert(0, Block())
'''
NO_SIM_TESTS = '''
def test_without_the_fixture():
    pass

def test_with_the_fixture(zorvia_service):
    pass
'''


def pytest_in(folder: Path, **files: str) -> subprocess.CompletedProcess[str]:
    for name, text in files.items():
        (folder / name).write_text(textwrap.dedent(text), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "error"],
        cwd=folder, capture_output=True, text=True, timeout=120,
    )


def test_the_example_and_the_settings_of_a_project_of_ones_own(tmp_path: Path) -> None:
    assert EXAMPLE.read_text(encoding="utf-8") in (ROOT / "docs" / "testing.md").read_text(encoding="utf-8")
    shutil.copy(EXAMPLE, tmp_path)
    run = pytest_in(tmp_path, **{"conftest.py": SETTINGS_CONFTEST, "test_settings.py": SETTINGS_TESTS})
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.splitlines()[-1].startswith("6 passed")  # the async example on asyncio and trio


def test_without_the_sim_extra_the_plugin_loads_and_the_fixture_says_what_to_install(tmp_path: Path) -> None:
    run = pytest_in(tmp_path, **{"conftest.py": NO_SIM_CONFTEST, "test_no_sim.py": NO_SIM_TESTS})
    assert run.stdout.splitlines()[-1].startswith("1 passed, 1 error"), run.stdout + run.stderr
    assert NEEDS_SIM in run.stdout
