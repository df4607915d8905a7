"""The game-content catalog: where the records of the 21 kinds come from.

A catalog is either one JSON file, an object whose keys are kind names ("Icon", "Music", ...)
and whose values are lists of rows, or a folder holding one such list per kind in a file named
after the kind ("Icon.json", "Music.json", ...), so that a large catalog need not be one file.
A row is an object with the record's `name` (`{"ID": <int>, "str": <display name>}`) and the
fields of its kind (`zorvia.dmr.KIND_FIELDS`), nothing else.

The package's sample catalog (`zorvia/data/catalog.json`, 3 records per kind) is the default;
the environment variable `ZORVIA_CATALOG` names another file or folder, read when the catalog is
first needed, and `use_catalog(path)` points the field types' `other_db` at one in code.
This module is itself the default source of `other_db`: its `records(kind)` and `where(kind)`
are those of `default_catalog()`.
"""

from __future__ import annotations

import json
import os
import sys
from functools import cache, cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

from loguru import logger
from pydantic import TypeAdapter, ValidationError, with_config
from typing_extensions import TypedDict

if TYPE_CHECKING:
    from zorvia.dmr import DBManager, Record

# The record classes come from zorvia.dmr, imported where they are needed: importing this module
# imports nothing of the package, so that `zorvia.catalog_types` can hand it to its database first.

__all__ = ["CATALOG_ENV", "SAMPLE_CATALOG", "Catalog", "default_catalog", "records", "use_catalog", "where"]

CATALOG_ENV = "ZORVIA_CATALOG"
SAMPLE_CATALOG = Path(__file__).resolve().parent / "data" / "catalog.json"


@cache
def document_adapter() -> TypeAdapter[dict[str, list[Record]]]:
    """The validator of a one-file catalog: every kind optional, no other key."""
    from zorvia.dmr import RECORD_CLASSES, STRICT_ROWS

    fields: dict[str, Any] = {kind: list[cls] for kind, cls in RECORD_CLASSES.items()}  # type: ignore[valid-type]
    document = with_config(STRICT_ROWS)(TypedDict("CatalogDocument", fields, total=False))  # type: ignore[operator]
    return TypeAdapter(document)


class Catalog:
    """A catalog file or folder (see the module's text), read kind by kind as `records` asks.

    Making one checks that `path` exists and, for a folder, that every `.json` file in it is
    named after a kind; the rows are read, validated (JSON text straight into records) and
    checked by `records(kind)`. A kind the catalog lacks has no records, said once in the log.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        from zorvia.dmr import KIND_FIELDS
        from zorvia.errors import CatalogError

        self.path = Path(path)
        if self.path.is_dir():
            strangers = sorted(file.name for file in self.path.glob("*.json") if file.stem not in KIND_FIELDS)
            if strangers:
                raise CatalogError(self.path, f"not named after a catalog kind: {', '.join(strangers)}")
        elif not self.path.is_file():
            raise CatalogError(self.path, "no such catalog file or folder")
        self._reported: set[str] = set()

    def __repr__(self) -> str:
        return f"Catalog({str(self.path)!r})"

    def where(self, kind: str) -> Path:
        """The file `kind`'s rows are read from."""
        return self.path / f"{kind}.json" if self.path.is_dir() else self.path

    def holds(self, kind: str) -> bool:
        """Whether the catalog has `kind` at all (a file of its own, or a key of the document)."""
        return self.where(kind).is_file() if self.path.is_dir() else kind in self._document

    def records(self, kind: str) -> list[Record]:
        """`kind`'s validated records, in the catalog's order; `zorvia.errors.CatalogError` if they
        cannot be read or are malformed."""
        from zorvia.dmr import KIND_FIELDS

        if kind not in KIND_FIELDS:
            raise KeyError(kind)
        if self.path.is_dir():
            found = self._kind_file(kind)
        else:
            found = self._document.get(kind)
        if found is None:
            if kind not in self._reported:
                self._reported.add(kind)
                logger.warning("catalog {}: no {} records (the kind is missing)", self.path, kind)
            return []
        return found

    def _kind_file(self, kind: str) -> list[Record] | None:
        from zorvia.dmr import invalid_catalog, rows_adapter

        path = self.where(kind)
        data = _read(path, missing_ok=True)
        if data is None:
            return None
        try:
            return rows_adapter(kind).validate_json(data)
        except ValidationError as error:
            raise invalid_catalog(path, error, lambda: json.loads(data), kind) from None

    @cached_property
    def _document(self) -> dict[str, list[Record]]:
        from zorvia.dmr import invalid_catalog

        data = _read(self.path)
        assert data is not None
        try:
            return document_adapter().validate_json(data)
        except ValidationError as error:
            raise invalid_catalog(self.path, error, lambda: json.loads(data)) from None


def _read(path: Path, missing_ok: bool = False) -> bytes | None:
    from zorvia.errors import CatalogError

    try:
        return path.read_bytes()
    except FileNotFoundError:
        if missing_ok:
            return None
        raise CatalogError(path, "no such catalog file or folder") from None
    except OSError as error:
        raise CatalogError(path, f"cannot be read: {error.strerror or error}") from None


@cache
def default_catalog() -> Catalog:
    """The catalog named by `ZORVIA_CATALOG` (a file or folder), else the sample; made on first use."""
    return Catalog(os.environ.get(CATALOG_ENV) or SAMPLE_CATALOG)


def records(kind: str) -> list[Record]:
    """The records of one kind (for example "Challenge") of the default catalog; KeyError for an
    unknown kind."""
    return default_catalog().records(kind)


def where(kind: str) -> Path:
    """The file one kind of the default catalog is read from."""
    return default_catalog().where(kind)


def use_catalog(path: str | os.PathLike[str] | None, manager: DBManager | None = None) -> Catalog:
    """Point `manager` (default: `zorvia.catalog_types.other_db`, which every `Pydantic<Kind>`
    field resolves its IDs through) at the catalog file or folder `path`, with a fresh cache, and
    return that catalog. `None` goes back to the default: `ZORVIA_CATALOG`, read again, or the
    sample. The catalog's rows are read as the kinds are first needed."""
    if manager is None:
        from zorvia.catalog_types import other_db

        manager = other_db
    if path is None:
        default_catalog.cache_clear()
        catalog = default_catalog()
        manager.db_module = sys.modules[__name__]
    else:
        catalog = Catalog(path)
        manager.db_module = catalog
    return catalog
