"""Every ```python block of the guide and the README runs as it stands, against the local service.

A block opened with ```python is a whole program; fragments are opened with ```py and shell
commands with ```sh, and are not run.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from zorvia.sim import SimService

pytest_plugins = ["net_fixtures"]

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted((ROOT / "docs").glob("**/*.md")) + [ROOT / "README.md"]
FENCE = re.compile(r"^(?P<indent> *)```python\n(?P<code>.*?)^(?P=indent)```$", re.MULTILINE | re.DOTALL)


def python_blocks() -> list[tuple[str, int, str]]:
    """(page, line, code) of every ```python block."""
    blocks = []
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            indent = len(match["indent"])
            code = "".join(line[indent:] + "\n" for line in match["code"].splitlines())
            blocks.append((page.relative_to(ROOT).as_posix(), text.count("\n", 0, match.start()) + 1, code))
    return blocks


BLOCKS = python_blocks()


def test_the_guide_has_runnable_blocks() -> None:
    assert len({page for page, _, _ in BLOCKS}) >= 4  # a page's blocks were not all lost to a changed fence


@pytest.mark.parametrize(("page", "line", "code"), BLOCKS, ids=[f"{page}:{line}" for page, line, _ in BLOCKS])
def test_block_runs(page: str, line: int, code: str, sim: SimService, tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path, env=os.environ | sim.environ(), capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, f"{page}, line {line}:\n{result.stderr}"
