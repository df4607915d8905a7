"""The sample game-content catalog shipped with the package, read on first use and cached."""

import json
from functools import cache
from importlib.resources import files
from typing import Any

RawRecord = dict[str, Any]


@cache
def load_catalog() -> dict[str, list[RawRecord]]:
    """Every kind's raw records, keyed by kind name, read from the package data once."""
    source = files("zorvia") / "data" / "catalog.json"
    catalog: dict[str, list[RawRecord]] = json.loads(source.read_text(encoding="utf-8"))
    return catalog


def records(kind: str) -> list[RawRecord]:
    """The raw records of one kind (for example "Challenge"); KeyError for an unknown kind."""
    return load_catalog()[kind]
