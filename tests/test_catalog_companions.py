"""The catalog companions: the sample catalog of `zorvia.db` and the `DBManager` of `zorvia.dmr`."""

import dataclasses
import json
from importlib import resources
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest
from catalog_support import KINDS, run_python

from zorvia import db, dmr
from zorvia.errors import CatalogError


def fresh_manager(db_module: Any = db) -> dmr.DBManager:
    manager = dmr.DBManager()
    manager.db_module = db_module
    return manager


class CountingCatalog:
    """A catalog database module that serves one record per kind and counts the reads."""

    def __init__(self) -> None:
        self.reads: list[str] = []

    def records(self, kind: str) -> list[dict[str, Any]]:
        self.reads.append(kind)
        return [dataclasses.replace(db.records(kind)[0], name=dmr.RecordName(ID=7, str=f"{kind} only"))]


class TestSampleCatalog:
    def test_data_file_ships_in_the_package(self) -> None:
        assert (resources.files("zorvia") / "data" / "catalog.json").is_file()

    def test_every_kind_has_records_with_distinct_ids(self) -> None:
        assert list(json.loads(db.SAMPLE_CATALOG.read_text(encoding="utf-8"))) == list(KINDS)
        for kind in KINDS:
            ids = [record.name.ID for record in db.records(kind)]
            assert len(ids) >= 2 and len(set(ids)) == len(ids), kind

    def test_catalog_is_read_once(self) -> None:
        assert db.default_catalog() is db.default_catalog()
        assert db.records("Icon") is db.records("Icon")

    def test_unknown_kind(self) -> None:
        with pytest.raises(KeyError):
            db.records("Nothing")

    def test_catalog_is_read_on_first_use_only(self, tmp_path: Path) -> None:
        out = run_python(
            """
            from zorvia import db
            print(db.default_catalog.cache_info().currsize)
            db.records("Music")
            print(db.default_catalog.cache_info().currsize)
            """,
            tmp_path,
        )
        assert out.split() == ["0", "1"]


class TestRecordClasses:
    def test_exports(self) -> None:
        assert dmr.__all__ == ["DBManager", *KINDS]

    @pytest.mark.parametrize("kind", KINDS)
    def test_one_generated_class_per_kind(self, kind: str) -> None:
        record_class = getattr(dmr, kind)
        assert issubclass(record_class, dmr.Record)
        assert (record_class.__name__, record_class.__qualname__, record_class.__module__) == (
            kind,
            kind,
            "zorvia.dmr",
        )
        assert [field.name for field in dataclasses.fields(record_class)] == ["name", *dmr.KIND_FIELDS[kind]]

    def test_records_are_frozen(self) -> None:
        record = fresh_manager().get_dict("Title_dict")[1]
        with pytest.raises(dataclasses.FrozenInstanceError):
            record.name = dmr.RecordName(ID=5, str="other")  # type: ignore[misc]

    @pytest.mark.parametrize(
        "row",
        [
            {"name": {"ID": 1, "str": "x"}, "genre": "g", "colour": "red"},
            {"name": {"ID": 1, "str": "x", "colour": "red"}, "genre": "g"},
            {"name": {"ID": "one", "str": "x"}, "genre": "g"},
            {"name": {"ID": 1, "str": "x"}},
        ],
    )
    def test_malformed_rows_are_refused(self, row: dict[str, Any]) -> None:
        with pytest.raises(CatalogError, match="^the catalog: Icon record 0 "):
            dmr.parse_records("Icon", [row])

    def test_rows_become_records(self) -> None:
        [record] = dmr.parse_records("Icon", [{"name": {"ID": 4, "str": "x"}, "genre": "g"}])
        assert record == dmr.RECORD_CLASSES["Icon"](name=dmr.RecordName(ID=4, str="x"), genre="g")  # type: ignore[call-arg]


class TestDBManager:
    @pytest.mark.parametrize("kind", KINDS)
    def test_kind_dictionary_maps_ids_to_records(self, kind: str) -> None:
        kind_dict = fresh_manager().get_dict(f"{kind}_dict")
        assert type(kind_dict) is dict
        assert len(kind_dict) == len(db.records(kind))
        for record_id, record in kind_dict.items():
            assert type(record) is getattr(dmr, kind)
            assert record_id == record.name.ID

    def test_dictionaries_are_built_once_and_cached(self) -> None:
        catalog = CountingCatalog()
        manager = fresh_manager(catalog)
        first = manager.get_dict("Plate_dict")
        assert manager.get_dict("Plate_dict") is first
        manager.get_dict("Frame_dict")
        assert catalog.reads == ["Plate", "Frame"]

    def test_assigning_db_module_starts_afresh(self) -> None:
        manager = fresh_manager()
        sample = manager.get_dict("Map_dict")
        catalog = CountingCatalog()
        manager.db_module = catalog  # type: ignore[assignment]
        assert manager.db_module is catalog
        assert list(manager.get_dict("Map_dict")) == [7] != list(sample)

    def test_managers_are_independent(self) -> None:
        first, second = fresh_manager(), fresh_manager()
        assert first.get_dict("Icon_dict") is not second.get_dict("Icon_dict")
        assert first.get_dict("Icon_dict") == second.get_dict("Icon_dict")

    @pytest.mark.parametrize("name", ["Nothing_dict", "Challenge", "challenge_dict", ""])
    def test_unknown_dictionary_name(self, name: str) -> None:
        with pytest.raises(KeyError, match="unknown catalog dictionary"):
            fresh_manager().get_dict(name)

    def test_without_db_module(self) -> None:
        manager = dmr.DBManager()
        assert manager.db_module is None
        with pytest.raises(RuntimeError, match="no db_module"):
            manager.get_dict("Icon_dict")

    def test_broken_catalog_module_propagates(self) -> None:
        manager = fresh_manager(SimpleNamespace())
        with pytest.raises(AttributeError, match="records"):
            manager.get_dict("Icon_dict")
