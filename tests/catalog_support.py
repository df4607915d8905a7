"""Shared helpers of the catalog tests: the kind table, schema accessors, recording fakes."""

import dataclasses
import subprocess
import sys
import textwrap
from collections.abc import Callable
from functools import cache
from pathlib import Path
from types import ModuleType
from typing import Any

from pydantic import ValidationError, create_model

import reference_modules
from pydantic_core import core_schema

KINDS = (
    "Challenge",
    "Chara",
    "CharaGenre",
    "Class",
    "CollectionGenre",
    "Course",
    "Event",
    "Frame",
    "Icon",
    "LoginBonus",
    "Map",
    "MapBonusMusic",
    "MapColor",
    "MapTreasure",
    "Music",
    "MusicGroup",
    "MusicVersion",
    "Title",
    "Ticket",
    "Plate",
    "Partner",
)
ALIASES = [f"Pydantic{kind}" for kind in KINDS]
UNKNOWN_ID = 987654

@cache
def load_reference() -> ModuleType:
    """The plain-Python reference module, loaded once."""
    return reference_modules.load_reference("catalog_types")


def annotation_class(module: ModuleType, kind: str) -> Any:
    return getattr(module, f"_{kind}PydanticAnnotation")


def build_schema(module: ModuleType, kind: str) -> dict[str, Any]:
    """Call the kind's core-schema hook the way pydantic does; the handler is never used."""
    record_class = getattr(module, kind)
    return annotation_class(module, kind).__get_pydantic_core_schema__(int | record_class, None)


def validator_of(schema: dict[str, Any]) -> Callable[..., Any]:
    return schema["json_schema"]["steps"][1]["function"]["function"]


def serializer_of(schema: dict[str, Any]) -> Callable[..., Any]:
    return schema["serialization"]["function"]


def kind_model(module: ModuleType, name: str = "KindModel") -> Any:
    """A model with one reference field per kind, the field named after the kind."""
    fields: dict[str, Any] = {kind: (getattr(module, f"Pydantic{kind}"), ...) for kind in KINDS}
    return create_model(name, **fields)


def single_field_model(module: ModuleType, kind: str) -> Any:
    """A model with the one reference field `value`."""
    return create_model(f"{kind}Holder", value=(getattr(module, f"Pydantic{kind}"), ...))


def stored(module: ModuleType, kind: str) -> dict[int, Any]:
    """The kind's dictionary as the module's `other_db` holds it."""
    return module.other_db.get_dict(f"{kind}_dict")


def subclass_copy(record: Any) -> Any:
    """An equal record whose class is a new subclass of the record's class."""
    subclass = type(f"Special{type(record).__name__}", (type(record),), {})
    return subclass(**{field.name: getattr(record, field.name) for field in dataclasses.fields(record)})


def outcome(function: Callable[..., Any], *args: Any, **kwargs: Any) -> tuple[str, Any]:
    """What `function(*args, **kwargs)` produced, in a form that two implementations can be compared by."""
    try:
        return "ok", function(*args, **kwargs)
    except ValidationError as error:
        return "invalid", error.errors(include_url=False)
    except Exception as error:  # noqa: BLE001 - every other failure is part of the outcome
        return type(error).__name__, str(error)


class RecordingDB:
    """Stands in for `other_db`: records every `get_dict` name and serves `dicts`."""

    def __init__(self, dicts: dict[str, dict[int, Any]]) -> None:
        self.dicts = dicts
        self.requests: list[str] = []

    def get_dict(self, name: str) -> dict[int, Any]:
        self.requests.append(name)
        return self.dicts[name]


class RecordingCoreSchema:
    """Stands in for the module attribute `core_schema`: records each builder call, then builds."""

    def __init__(self) -> None:
        self.calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []

    def __getattr__(self, name: str) -> Callable[..., Any]:
        builder = getattr(core_schema, name)

        def record(*args: Any, **kwargs: Any) -> Any:
            self.calls.append((name, args, kwargs))
            return builder(*args, **kwargs)

        return record


def run_python(code: str, cwd: Path, env: dict[str, str] | None = None) -> str:
    """Run `code` in a fresh interpreter and return its standard output; fail on a non-zero exit."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, text=True, timeout=120, env=env
    )
    assert result.returncode == 0, result.stderr
    return result.stdout
