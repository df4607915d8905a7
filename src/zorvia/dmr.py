"""Catalog record classes and the catalog database manager.

The 21 record classes are generated from `KIND_FIELDS`: every record is a frozen dataclass
carrying its `name` (integer `ID` and display string) plus the few fields of its kind.
Records are plain slotted objects, so reading `record.name.ID` is cheap; pydantic validates
a catalog's rows (or its JSON text, see `zorvia.db`) when a kind's dictionary is built.
"""

import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, make_dataclass
from functools import cache, partial
from typing import Any

from pydantic import ConfigDict, TypeAdapter, ValidationError

from zorvia.errors import CatalogError

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


def _record_id(rows: Any, index: int) -> object:
    """The ID the row at `index` gives itself, None when it has none."""
    row = rows[index] if isinstance(rows, list) and index < len(rows) else None
    if isinstance(row, Record):
        return row.name.ID
    name = row.get("name") if isinstance(row, dict) else None
    return name.get("ID") if isinstance(name, dict) else None


def _kind_rows(document: Callable[[], Any], kind: str) -> Any:
    return document().get(kind, [])


def _problem(source: object, detail: Any, kind: str | None, rows: Callable[[], Any]) -> CatalogError:
    """One fault pydantic found, located: `kind`'s rows, or (kind None) a whole catalog document,
    whose locations start with the kind."""
    loc, message = list(detail["loc"]), detail["msg"]
    if kind is None and loc:
        kind = str(loc.pop(0))
        if kind not in KIND_FIELDS:  # a key of the document
            return CatalogError(source, f"{kind!r} is not a catalog kind (the kinds: {', '.join(KIND_FIELDS)})")
        rows = partial(_kind_rows, rows, kind)
    index = loc.pop(0) if loc and isinstance(loc[0], int) else None
    record_id = None if index is None else _record_id(rows(), index)
    if detail["type"] in {"extra_forbidden", "unexpected_keyword_argument"} and kind is not None:
        known = ["ID", "str"] if loc[:1] == ["name"] else ["name", *KIND_FIELDS[kind]]
        message = f"not a field of {'the name' if known[0] == 'ID' else kind} (its fields: {', '.join(known)})"
    field = ".".join(str(part) for part in loc) or None
    where = kind if index is None else f"{kind} record {index}" + ("" if record_id is None else f" (ID {record_id})")
    text = ": ".join(filter(None, [where, field and f"field {field!r}", message]))
    return CatalogError(source, text, kind=kind, index=index, record_id=record_id, field=field)


def invalid_catalog(source: object, error: ValidationError, rows: Callable[[], Any], kind: str | None = None) -> CatalogError:
    """The CatalogError for pydantic's `error`, raised validating one kind's rows (`kind` given)
    or a whole catalog document. `rows` returns what was validated; it is called only to name
    the IDs of the records at fault."""
    read = cache(rows)
    found = [_problem(source, detail, kind, read) for detail in error.errors(include_url=False)]
    first = found[0]
    first.problems = tuple(str(problem) for problem in found)
    if len(found) > 1:
        first.args = (f"{first} (and {len(found) - 1} more)",)
    return first


@cache
def rows_adapter(kind: str) -> TypeAdapter[list[Record]]:
    """The validator of a list of `kind`'s rows, made once."""
    return TypeAdapter(list[RECORD_CLASSES[kind]])  # type: ignore[valid-type]


def parse_records(kind: str, rows: Iterable[Any], source: object = "the catalog") -> list[Record]:
    """Validated records of `kind` from raw catalog rows (records pass as they are); a CatalogError
    naming `source` if malformed."""
    rows = list(rows)
    try:
        return rows_adapter(kind).validate_python(rows)
    except ValidationError as error:
        raise invalid_catalog(source, error, lambda: rows, kind) from None


def index_records(kind: str, records: Sequence[Record], source: object = "the catalog") -> dict[int, Record]:
    """`kind`'s dictionary from ID to record; a CatalogError naming `source` for an ID used twice."""
    kind_dict = {record.name.ID: record for record in records}
    if len(kind_dict) != len(records):
        first: dict[int, int] = {}
        for index, record in enumerate(records):
            record_id = record.name.ID
            if record_id in first:
                problem = f"{kind} record {index} (ID {record_id}): field 'name.ID': ID {record_id} is already used by record {first[record_id]}"
                raise CatalogError(source, problem, kind=kind, index=index, record_id=record_id, field="name.ID")
            first[record_id] = index
    return kind_dict


class _KindDicts(dict[str, dict[int, Record]]):
    """Kind dictionaries by dictionary name, each built from `db_module` on first request."""

    def __init__(self, db_module: Any) -> None:
        super().__init__()
        self.db_module = db_module

    def __missing__(self, dict_name: str) -> dict[int, Record]:
        if self.db_module is None:
            raise RuntimeError("DBManager has no db_module: assign the catalog database module first")
        kind = DICT_NAMES.get(dict_name)
        if kind is None:
            raise KeyError(f"unknown catalog dictionary {dict_name!r}")
        where = getattr(self.db_module, "where", None)
        source = where(kind) if where is not None else self.db_module
        records = parse_records(kind, self.db_module.records(kind), source)
        # Stored under the interned name, so that lookups with a literal name match by identity.
        kind_dict = self[sys.intern(str(dict_name))] = index_records(kind, records, source)
        return kind_dict


class DBManager:
    """The catalog database: `get_dict("<Kind>_dict")` maps integer IDs to the kind's records.

    `db_module` is where the records come from: any object whose `records(kind)` returns the
    kind's rows (raw dicts as in a catalog file, or records) and, optionally, whose `where(kind)`
    names their source in errors; the module `zorvia.db` and a `zorvia.db.Catalog` are such.
    `get_dict` is the bound lookup of a cache, so once a kind is built it costs one dictionary
    lookup. Assigning `db_module` starts a fresh cache.
    """

    get_dict: Callable[[str], dict[int, Record]]

    def __init__(self) -> None:
        self.db_module = None

    @property
    def db_module(self) -> Any:
        """The source of the records; assigning it drops every dictionary built so far."""
        return self._dicts.db_module

    @db_module.setter
    def db_module(self, module: Any) -> None:
        self._dicts = _KindDicts(module)
        self.get_dict = self._dicts.__getitem__


__all__ = ["DBManager", *RECORD_CLASSES]
