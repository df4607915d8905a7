"""The player models against the shipped sample users and catalog."""

import copy
import json
from importlib.resources import files
from typing import Any

import pytest
from pydantic import ValidationError

from zorvia.catalog_types import other_db
from zorvia.models import UserData, UserPreview, record_name

USERS: list[dict[str, Any]] = json.loads((files("zorvia") / "data" / "users.json").read_text(encoding="utf-8"))
WIRE_FORMS = [
    pytest.param(model, user[part], id=f"{user['userId']}-{part}")
    for user in USERS
    for model, part in ((UserPreview, "preview"), (UserData, "data"))
]


def record(kind: str, record_id: int) -> Any:
    return other_db.get_dict(f"{kind}_dict")[record_id]


@pytest.mark.parametrize(("model", "wire"), WIRE_FORMS)
def test_wire_form_round_trips(model: type[UserPreview | UserData], wire: dict[str, Any]) -> None:
    from_python = model.model_validate(wire)
    from_json = model.model_validate_json(json.dumps(wire))
    assert from_python.model_dump(mode="json", by_alias=True) == wire
    assert from_json == from_python


def test_known_ids_resolve_to_the_catalog_records() -> None:
    data = UserData.model_validate(USERS[0]["data"])
    resolved = [data.icon, data.class_rank, data.current_map, data.characters[0].chara,
                data.music_records[0].music, data.favorite_music[1]]
    expected = [("Icon", 108), ("Class", 103), ("Map", 110), ("Chara", 101), ("Music", 114), ("Music", 1)]
    assert all(value is record(kind, record_id) for value, (kind, record_id) in zip(resolved, expected, strict=True))


def test_unknown_ids_stay_integers() -> None:
    wire = USERS[2]["data"]
    data = UserData.model_validate(wire)
    assert (data.icon, data.characters[1].chara, data.music_records[1].music) == (424242, 777001, 999999)
    assert type(data.icon) is int
    assert record_name(data.icon) == "#424242 (not in the catalog)"
    assert record_name(data.characters[0].chara) == "Chara Dawn"
    assert data.model_dump(mode="json", by_alias=True) == wire


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
        (("userId",), True, "int_type"),
        (("level",), 0, "greater_than"),
        (("iconId",), "Icon Meadow", "int_parsing"),
        (("mapId",), None, "int_type"),
        (("characters",), {"charaId": 1}, "list_type"),
        (("characters", 0, "charaId"), ..., "missing"),
        (("musicRecords", 0, "achievement"), -5, "greater_than_equal"),
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
