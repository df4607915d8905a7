"""The user's own catalog: a file or a folder, from the environment or in code, and its faults."""

import json
import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from catalog_support import run_python
from loguru import logger
from pydantic import BaseModel

from zorvia import catalog_types, db, dmr
from zorvia.catalog_types import PydanticIcon
from zorvia.errors import CatalogError

ICONS = [{"name": {"ID": 5, "str": "Icon Five"}, "genre": "Own"}, {"name": {"ID": 6, "str": "Icon Six"}, "genre": "Own"}]
MUSIC = [{"name": {"ID": 9, "str": "Music Nine"}, "artist": "Band", "bpm": 180}]


def write_catalog(tmp_path: Path, layout: str, document: dict[str, Any]) -> Path:
    """`document` as one file or as a folder of one file per kind."""
    if layout == "file":
        (tmp_path / "catalog.json").write_text(json.dumps(document), encoding="utf-8")
        return tmp_path / "catalog.json"
    folder = tmp_path / "catalog"
    folder.mkdir()
    for kind, rows in document.items():
        (folder / f"{kind}.json").write_text(json.dumps(rows), encoding="utf-8")
    return folder


@pytest.fixture
def warnings() -> Iterator[list[str]]:
    seen: list[str] = []
    sink = logger.add(lambda message: seen.append(message.record["message"]), level="WARNING")
    yield seen
    logger.remove(sink)


@pytest.fixture
def own_other_db(monkeypatch: pytest.MonkeyPatch) -> None:
    """A fresh `other_db` for the test, so that the shared one keeps the dictionaries other tests hold."""
    manager = dmr.DBManager()
    manager.db_module = db
    monkeypatch.setattr(catalog_types, "other_db", manager)


class Profile(BaseModel):
    icon: PydanticIcon


@pytest.mark.parametrize("layout", ["file", "folder"])
def test_both_layouts_serve_the_records_and_a_missing_kind_is_empty_said_once(
    tmp_path: Path, layout: str, warnings: list[str]
) -> None:
    path = write_catalog(tmp_path, layout, {"Icon": ICONS, "Music": MUSIC})
    manager = dmr.DBManager()
    manager.db_module = db.Catalog(path)
    assert {record_id: icon.name.str for record_id, icon in manager.get_dict("Icon_dict").items()} == {
        5: "Icon Five", 6: "Icon Six"
    }
    assert manager.get_dict("Music_dict")[9].bpm == 180  # type: ignore[attr-defined]
    assert manager.get_dict("Title_dict") == {}
    manager.db_module = manager.db_module  # a fresh cache over the same catalog: asked again, said once
    assert manager.get_dict("Title_dict") == {}
    assert warnings == [f"catalog {path}: no Title records (the kind is missing)"]


BAD_ROWS = [
    ("field", [ICONS[0], {"name": {"ID": 6, "str": "Icon Six"}, "genre": 3}], "Icon record 1 (ID 6): field 'genre': Input should be a valid string"),
    ("name", [ICONS[0], {"name": {"ID": 6}, "genre": "g"}], "Icon record 1 (ID 6): field 'name.str': Field required"),
    ("extra", [{**ICONS[0], "colour": "red"}], "Icon record 0 (ID 5): field 'colour': not a field of Icon (its fields: name, genre)"),
    ("twice", [ICONS[0], ICONS[1], ICONS[0]], "Icon record 2 (ID 5): field 'name.ID': ID 5 is already used by record 0"),
]


@pytest.mark.parametrize("layout", ["file", "folder"])
@pytest.mark.parametrize(("rows", "message"), [case[1:] for case in BAD_ROWS], ids=[case[0] for case in BAD_ROWS])
def test_a_bad_record_is_one_error_naming_file_kind_index_id_and_field(
    tmp_path: Path, layout: str, rows: list[Any], message: str
) -> None:
    path = write_catalog(tmp_path, layout, {"Icon": rows})
    manager = dmr.DBManager()
    manager.db_module = db.Catalog(path)
    with pytest.raises(CatalogError) as caught:
        manager.get_dict("Icon_dict")
    where = path if layout == "file" else path / "Icon.json"
    assert str(caught.value) == f"{where}: {message}"
    assert (caught.value.source, caught.value.kind) == (where, "Icon")
    with pytest.raises(CatalogError):  # nothing half-built was kept
        manager.get_dict("Icon_dict")


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda p: p / "none.json", "none.json: no such catalog file or folder"),
        (lambda p: write_catalog(p, "file", {"Icons": ICONS}), "catalog.json: 'Icons' is not a catalog kind (the kinds: Challenge,"),
        (lambda p: write_catalog(p, "folder", {"Icons": ICONS}), "catalog: not named after a catalog kind: Icons.json"),
        (lambda p: (p / "cut.json").write_text('{"Icon": [') and p / "cut.json", "cut.json: Invalid JSON: EOF while parsing"),
    ],
    ids=["missing", "unknown-kind", "unknown-file", "truncated"],
)
def test_a_bad_catalog_is_one_clear_error(tmp_path: Path, make: Any, message: str) -> None:
    with pytest.raises(CatalogError) as caught:
        db.Catalog(make(tmp_path)).records("Icon")
    assert str(caught.value).startswith(f"{tmp_path}{os.sep}{message}")


def test_use_catalog_points_other_db_with_a_fresh_cache_and_none_goes_back(
    tmp_path: Path, own_other_db: None
) -> None:
    sample_icon = Profile(icon=108).icon
    catalog = db.use_catalog(write_catalog(tmp_path, "folder", {"Icon": ICONS}))
    assert catalog_types.other_db.db_module is catalog
    assert Profile(icon=5).icon.name.str == "Icon Five"  # type: ignore[union-attr]
    assert Profile(icon=108).icon == 108  # the sample's icon is not in this catalog
    db.use_catalog(None)
    assert catalog_types.other_db.db_module is db
    assert Profile(icon=108).icon == sample_icon


def test_the_environment_names_the_catalog_read_on_first_use(tmp_path: Path) -> None:
    path = write_catalog(tmp_path, "file", {"Icon": ICONS})
    out = run_python(
        """
        from pydantic import BaseModel
        from zorvia import db
        from zorvia.catalog_types import PydanticIcon

        class Profile(BaseModel):
            icon: PydanticIcon

        print(db.default_catalog.cache_info().currsize, Profile(icon=6).icon.name.str)
        """,
        tmp_path,
        env=os.environ | {db.CATALOG_ENV: str(path)},
    )
    assert out.split() == ["0", "Icon", "Six"]
