"""The player models against the shipped sample users and catalog."""

import copy
import json
from importlib.resources import files
from typing import Any

import pytest
from pydantic import ValidationError

from zorvia.catalog_types import other_db
from zorvia.models import UserCharacter, UserData, UserPreview, record_name

USERS: list[dict[str, Any]] = json.loads((files("zorvia") / "data" / "users.json").read_text(encoding="utf-8"))
WIRE_FORMS = [
    pytest.param(model, user[part], id=f"{user['userId']}-{part}")
    for user in USERS
    for model, part in ((UserPreview, "preview"), (UserData, "data"))
]
SHARED_KEYS = ("userId", "userName", "level", "rating", "iconId", "titleId", "plateId", "frameId", "partnerId")


def record(kind: str, record_id: int) -> Any:
    return other_db.get_dict(f"{kind}_dict")[record_id]


def test_sample_users_are_consistent() -> None:
    ids = [user["userId"] for user in USERS]
    assert len(set(ids)) == len(ids) >= 3
    for user in USERS:
        for key in SHARED_KEYS:
            assert user["preview"][key] == user["data"][key], (user["userId"], key)
        assert user["data"]["userId"] == user["userId"]


@pytest.mark.parametrize(("model", "wire"), WIRE_FORMS)
def test_wire_form_round_trips(model: type[UserPreview | UserData], wire: dict[str, Any]) -> None:
    from_python = model.model_validate(wire)
    from_json = model.model_validate_json(json.dumps(wire))
    assert from_python.model_dump(mode="json", by_alias=True) == wire
    assert from_json == from_python


@pytest.mark.parametrize(
    ("read", "kind", "record_id"),
    [
        (lambda d: d.icon, "Icon", 108),
        (lambda d: d.title, "Title", 117),
        (lambda d: d.plate, "Plate", 119),
        (lambda d: d.frame, "Frame", 107),
        (lambda d: d.partner, "Partner", 120),
        (lambda d: d.class_rank, "Class", 103),
        (lambda d: d.current_map, "Map", 110),
        (lambda d: d.characters[0].chara, "Chara", 101),
        (lambda d: d.characters[1].chara, "Chara", 1),
        (lambda d: d.music_records[0].music, "Music", 114),
        (lambda d: d.favorite_music[1], "Music", 1),
    ],
    ids=lambda value: value if isinstance(value, str) else None,
)
def test_known_ids_resolve_to_the_catalog_records(read: Any, kind: str, record_id: int) -> None:
    for data in (UserData.model_validate(USERS[0]["data"]), UserData.model_validate_json(json.dumps(USERS[0]["data"]))):
        assert read(data) is record(kind, record_id)


def test_unknown_ids_stay_integers() -> None:
    wire = USERS[2]["data"]
    data = UserData.model_validate(wire)
    assert (data.icon, data.characters[1].chara, data.music_records[1].music) == (424242, 777001, 999999)
    assert type(data.icon) is int
    assert record_name(data.icon) == "#424242 (not in the catalog)"
    assert record_name(data.characters[0].chara) == "Chara Dawn"
    assert data.model_dump(mode="json", by_alias=True) == wire


def test_python_names_and_records_are_accepted() -> None:
    chara = record("Chara", 2)
    character = UserCharacter.model_validate({"chara": chara, "level": 3, "awakening": 1})
    assert character.chara is chara
    assert character.model_dump(by_alias=True) == {"charaId": 2, "level": 3, "awakening": 1}


def changed(wire: dict[str, Any], path: tuple[Any, ...], value: Any) -> dict[str, Any]:
    """A deep copy of `wire` with the item at `path` set to `value`, or removed for `...`."""
    result = copy.deepcopy(wire)
    target = result
    for step in path[:-1]:
        target = target[step]
    if value is ...:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return result


@pytest.mark.parametrize(
    ("path", "value", "error_type"),
    [
        (("userName",), ..., "missing"),
        (("userName",), "", "string_too_short"),
        (("userId",), True, "int_type"),
        (("userId",), -1, "greater_than_equal"),
        (("level",), 0, "greater_than"),
        (("iconId",), "Icon Meadow", "int_parsing"),
        (("iconId",), 1.5, "int_from_float"),
        (("mapId",), None, "int_type"),
        (("characters",), {"charaId": 1}, "list_type"),
        (("characters", 0, "charaId"), ..., "missing"),
        (("musicRecords", 0, "achievement"), -5, "greater_than_equal"),
        (("favoriteMusicIds", 0), [114], "int_type"),
        (("iconID",), 108, "extra_forbidden"),
    ],
)
def test_bad_wire_input_is_refused_where_it_is(path: tuple[Any, ...], value: Any, error_type: str) -> None:
    with pytest.raises(ValidationError) as caught:
        UserData.model_validate(changed(USERS[0]["data"], path, value))
    # A reference field reports both members of its union: the record class and the integer ID.
    errors = caught.value.errors()
    assert {error["loc"][: len(path)] for error in errors} == {path}
    assert error_type in {error["type"] for error in errors}
    assert len(errors) <= 2


@pytest.mark.parametrize("last_play_date", ["yesterday", "2026-13-01T00:00:00"])
def test_unreadable_play_date_is_refused(last_play_date: str) -> None:
    with pytest.raises(ValidationError, match="lastPlayDate"):
        UserPreview.model_validate({**USERS[0]["preview"], "lastPlayDate": last_play_date})
