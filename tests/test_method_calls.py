"""`other_db.get_dict(name)` in the native validator finds and calls `get_dict` as Python does.

The native method call skips the bound method when the type holds a plain function; every other
shape of `get_dict` (shadowed by the instance, static, class, property, `__getattr__`, a callable
object, a C method of a dict subclass, an attribute bound or deleted between calls) must give what
the plain-Python reference gives.
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


class Static:
    get_dict = staticmethod({NAME: RECORDS}.__getitem__)


class Class:
    @classmethod
    def get_dict(cls, name: str) -> dict[int, str]:
        return {NAME: RECORDS}[name]


class Property:
    @property
    def get_dict(self) -> Callable[[str], dict[int, str]]:
        return {NAME: SHADOW}.__getitem__


class GetAttr:
    def __getattr__(self, attribute: str) -> Any:
        if attribute == "get_dict":
            return {NAME: SHADOW}.__getitem__
        raise AttributeError(attribute)


class CallableObject:
    def __call__(self, name: str) -> dict[int, str]:
        return {NAME: SHADOW}[name]


class CallableAttribute:
    get_dict = CallableObject()  # no __get__: called without the instance


class DictSubclass(dict):
    get_dict = dict.__getitem__  # a C method descriptor on the type


class Slots:
    __slots__ = ("get_dict",)

    def __init__(self) -> None:
        self.get_dict = {NAME: SHADOW}.__getitem__


SHAPES: dict[str, Callable[[], Any]] = {
    "python method": Method,
    "method shadowed by the instance": shadowed,
    "staticmethod": Static,
    "classmethod": Class,
    "property": Property,
    "__getattr__": GetAttr,
    "callable class attribute": CallableAttribute,
    "C method of a dict subclass": lambda: DictSubclass({NAME: RECORDS}),
    "slot": Slots,
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


def test_changes_between_calls(monkeypatch: pytest.MonkeyPatch) -> None:
    """The method bound on the class, shadowed on the instance, unshadowed, replaced and deleted."""
    db = Method()
    modules = {"native": catalog_types, "reference": load_reference()}
    validators = {}
    for label, module in modules.items():
        monkeypatch.setattr(module, "other_db", db)
        validators[label] = validator_of(build_schema(module, KIND))

    def both() -> list[Any]:
        results = []
        for validate in validators.values():
            try:
                results.append(validate(5))
            except Exception as exc:
                results.append((type(exc).__name__, str(exc)))
        return results

    steps: list[Callable[[], None]] = [
        lambda: None,
        lambda: setattr(db, "get_dict", {NAME: SHADOW}.__getitem__),
        lambda: delattr(db, "get_dict"),
        lambda: setattr(Method, "get_dict", lambda self, name: {NAME: {5: "replaced"}}[name]),
        lambda: delattr(Method, "get_dict"),
    ]
    original = Method.__dict__["get_dict"]
    try:
        seen = []
        for step in steps:
            step()
            native, reference = both()
            assert native == reference
            seen.append(native)
    finally:
        Method.get_dict = original
    assert seen[:4] == ["record 5", "shadowing record", "record 5", "replaced"]
    assert seen[4][0] == "AttributeError"


def test_instance_attribute_then_class_gains_a_property(monkeypatch: pytest.MonkeyPatch) -> None:
    """get_dict found on the instance while the class has none; then the class gains a property of
    that name (which comes before the instance's attribute), then loses it."""

    class Holder:
        def __init__(self) -> None:
            self.get_dict = {NAME: RECORDS}.__getitem__

    db = Holder()
    results: dict[str, list[Any]] = {}
    for label, module in {"native": catalog_types, "reference": load_reference()}.items():
        monkeypatch.setattr(module, "other_db", db)
        validate = validator_of(build_schema(module, KIND))
        seen = [validate(5), validate(5)]
        Holder.get_dict = property(lambda self: {NAME: SHADOW}.__getitem__)
        seen.append(validate(5))
        del Holder.get_dict
        seen.append(validate(5))
        results[label] = seen
    assert results["native"] == results["reference"] == ["record 5", "record 5", "shadowing record", "record 5"]
