"""`other_db.get_dict(name)` in the native validator finds and calls `get_dict` as Python does.

The native method call skips the bound method when the type holds a plain function; every other
shape of `get_dict` (shadowed by the instance, a classmethod, `__getattr__`, a C method of a dict
subclass) must give what the plain-Python reference gives. Static methods, properties, plain
callables, slots and changes between calls are the attribute state machine's (test_runtime_guards).
"""

from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from catalog_support import build_schema, load_reference, validator_of

import zorvia.catalog_types as catalog_types

KIND = "Icon"
NAME = f"{KIND}_dict"
RECORDS = {5: "record 5"}
SHADOW = {5: "shadowing record"}


class Method:
    def get_dict(self, name: str) -> dict[int, str]:
        return {NAME: RECORDS}[name]


def shadowed() -> Any:
    db = Method()
    db.get_dict = {NAME: SHADOW}.__getitem__  # the instance's own attribute comes first
    return db


class Class:
    @classmethod
    def get_dict(cls, name: str) -> dict[int, str]:
        return {NAME: RECORDS}[name]


class GetAttr:
    def __getattr__(self, attribute: str) -> Any:
        if attribute == "get_dict":
            return {NAME: SHADOW}.__getitem__
        raise AttributeError(attribute)


class DictSubclass(dict):
    get_dict = dict.__getitem__  # a C method descriptor on the type


SHAPES: dict[str, Callable[[], Any]] = {
    "python method": Method,
    "method shadowed by the instance": shadowed,
    "classmethod": Class,
    "__getattr__": GetAttr,
    "C method of a dict subclass": lambda: DictSubclass({NAME: RECORDS}),
}


def outcome(module: ModuleType, db: Any, monkeypatch: pytest.MonkeyPatch, value: int) -> tuple[str, Any]:
    monkeypatch.setattr(module, "other_db", db)
    try:
        return "value", validator_of(build_schema(module, KIND))(value)
    except Exception as exc:  # compared by type and message
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("value", [5, 6])
def test_get_dict_shapes(shape: str, value: int, monkeypatch: pytest.MonkeyPatch) -> None:
    db = SHAPES[shape]()
    expected = outcome(load_reference(), db, monkeypatch, value)
    assert expected[0] == "value"
    assert outcome(catalog_types, db, monkeypatch, value) == expected

