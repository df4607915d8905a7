"""The installed typing stubs that follow from the kind table are the ones written from it."""

from importlib.resources import files

import pytest
from stub_sources import STUBS


@pytest.mark.parametrize("file_name", list(STUBS))
def test_stub_matches_the_kind_table(file_name: str) -> None:
    installed = (files("zorvia") / file_name).read_text(encoding="utf-8")
    assert installed == STUBS[file_name](), f"{file_name} is stale: rewrite it with `python tests/stub_sources.py`"
