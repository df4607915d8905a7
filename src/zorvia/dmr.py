"""Catalog record classes and the catalog database manager.

The 21 record classes are generated from `KIND_FIELDS`: every record is a frozen dataclass
carrying its `name` (integer `ID` and display string) plus the few fields of its kind.
Records are plain slotted objects, so reading `record.name.ID` is cheap; pydantic validates
the raw catalog rows when a kind's dictionary is built.
"""

import sys
from collections.abc import Callable
from dataclasses import dataclass, make_dataclass
from types import ModuleType
from typing import Any

from pydantic import ConfigDict, TypeAdapter

STRICT_ROWS = ConfigDict(extra="forbid")


@dataclass(frozen=True, slots=True)
class RecordName:
    __pydantic_config__ = STRICT_ROWS

    ID: int
    str: str


@dataclass(frozen=True, slots=True)
class Record:
    __pydantic_config__ = STRICT_ROWS

    name: RecordName


KIND_FIELDS: dict[str, dict[str, type]] = {
    "Challenge": {"target_score": int},
    "Chara": {"genre_id": int, "color": str},
    "CharaGenre": {"sort": int},
    "Class": {"rank": int},
    "CollectionGenre": {"sort": int},
    "Course": {"life": int, "recover": int},
    "Event": {"event_type": int, "always_open": bool},
    "Frame": {"genre": str},
    "Icon": {"genre": str},
    "LoginBonus": {"max_point": int},
    "Map": {"is_collabo": bool},
    "MapBonusMusic": {"music_count": int},
    "MapColor": {"color": str},
    "MapTreasure": {"treasure_type": str},
    "Music": {"artist": str, "bpm": int},
    "MusicGroup": {"sort": int},
    "MusicVersion": {"version": int},
    "Title": {"rare_type": str},
    "Ticket": {"credits": int},
    "Plate": {"genre": str},
    "Partner": {"sort": int},
}

RECORD_CLASSES: dict[str, type[Record]] = {
    kind: make_dataclass(
        kind, list(fields.items()), bases=(Record,), frozen=True, slots=True, namespace={"__module__": __name__}
    )
    for kind, fields in KIND_FIELDS.items()
}
globals().update(RECORD_CLASSES)

DICT_NAMES: dict[str, str] = {f"{kind}_dict": kind for kind in KIND_FIELDS}


def parse_records(kind: str, rows: list[dict[str, Any]]) -> list[Record]:
    """Validated records of `kind` from raw catalog rows; pydantic's ValidationError if malformed."""
    records: list[Record] = TypeAdapter(list[RECORD_CLASSES[kind]]).validate_python(rows)  # type: ignore[valid-type]
    return records


class _KindDicts(dict[str, dict[int, Record]]):
    """Kind dictionaries by dictionary name, each built from `db_module` on first request."""

    def __init__(self, db_module: ModuleType | None) -> None:
        super().__init__()
        self.db_module = db_module

    def __missing__(self, dict_name: str) -> dict[int, Record]:
        if self.db_module is None:
            raise RuntimeError("DBManager has no db_module: assign the catalog database module first")
        kind = DICT_NAMES.get(dict_name)
        if kind is None:
            raise KeyError(f"unknown catalog dictionary {dict_name!r}")
        records = parse_records(kind, self.db_module.records(kind))
        # Stored under the interned name, so that lookups with a literal name match by identity.
        kind_dict = self[sys.intern(str(dict_name))] = {record.name.ID: record for record in records}
        return kind_dict


class DBManager:
    """The catalog database: `get_dict("<Kind>_dict")` maps integer IDs to the kind's records.

    `get_dict` is the bound lookup of a cache, so once a kind is built it costs one dictionary
    lookup. Assigning `db_module` starts a fresh cache.
    """

    get_dict: Callable[[str], dict[int, Record]]

    def __init__(self) -> None:
        self.db_module = None

    @property
    def db_module(self) -> ModuleType | None:
        return self._dicts.db_module

    @db_module.setter
    def db_module(self, module: ModuleType | None) -> None:
        self._dicts = _KindDicts(module)
        self.get_dict = self._dicts.__getitem__


__all__ = ["DBManager", *RECORD_CLASSES]
