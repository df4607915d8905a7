"""The installed typing stubs hold the record classes and aliases the kind table gives."""

from importlib.resources import files

import pytest
from stub_sources import MARKER, SECTIONS, written_section


@pytest.mark.parametrize("file_name", list(SECTIONS))
def test_stub_matches_the_kind_table(file_name: str) -> None:
    installed = (files("zorvia") / file_name).read_text(encoding="utf-8")
    assert installed.count(MARKER) == 1
    assert written_section(installed) == SECTIONS[file_name](), (
        f"{file_name} is stale: rewrite it with `python tests/stub_sources.py`"
    )
