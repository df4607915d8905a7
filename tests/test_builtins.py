"""The builtins the native functions use are names like any other, as in the plain-Python reference.

A module attribute of a builtin's name shadows it at the next call; each function is made with the
builtins its module's `__builtins__` held at that moment; and both modules have the `__builtins__` a
Python module gets.
"""

from __future__ import annotations

import builtins
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from catalog_support import build_schema, load_reference, serializer_of
from manager_support import load_native
from manager_support import load_reference as load_manager_reference

import zorvia.catalog_types as catalog_types

pytest_plugins = ["manager_fixtures"]

CATALOGS = {"native": catalog_types, "reference": load_reference()}


class Record:
    class name:  # noqa: N801 - read as `instance.name.ID`
        ID = 31


def recording(name: str, calls: list[str]) -> Callable[..., Any]:
    """The builtin `name`, noting each call in `calls`."""
    real = getattr(builtins, name)

    def shadow(*args: Any) -> Any:
        calls.append(name)
        return real(*args)

    return shadow


def serialized(module: ModuleType, value: object) -> tuple[Any, ...]:
    try:
        return "ok", serializer_of(build_schema(module, "Music"))(value)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error).__name__, str(error)


@pytest.mark.parametrize("module", [load_native(), load_manager_reference(), catalog_types, CATALOGS["reference"]])
def test_a_module_has_the_builtins_of_a_python_module(module: ModuleType) -> None:
    assert module.__builtins__ is vars(builtins)


# Shadows of the builtins in the serializer `instance if issubclass(type(instance), int) else
# instance.name.ID`, each changing what it gives.
SHADOWS: dict[str, Any] = {
    "issubclass": lambda cls, base: not issubclass(cls, base),
    "type": lambda instance: bool,
    "int": str,
}


def outcomes(module: ModuleType, record: Record) -> list[tuple[Any, ...]]:
    return [serialized(module, value) for value in (7, record)]


@pytest.mark.parametrize("name", list(SHADOWS))
def test_a_module_attribute_shadows_the_builtin(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    record = Record()
    unshadowed = outcomes(catalog_types, record)
    seen = {}
    for world, module in CATALOGS.items():
        monkeypatch.setattr(module, name, SHADOWS[name], raising=False)
        seen[world] = outcomes(module, record)
    assert seen["native"] == seen["reference"] != unshadowed


def test_a_function_keeps_the_builtins_it_was_made_with(monkeypatch: pytest.MonkeyPatch) -> None:
    def outcome(module: ModuleType) -> list[Any]:
        before = serializer_of(build_schema(module, "Music"))
        calls: list[str] = []
        own = {**vars(builtins), "issubclass": recording("issubclass", calls)}
        monkeypatch.setattr(module, "__builtins__", own)
        after = serializer_of(build_schema(module, "Music"))
        results = [before(5), after(5)]
        own["issubclass"] = lambda cls, base: False  # a change of the dict itself shows at the next call
        try:
            after(5)
        except AttributeError as error:
            results.append(str(error))
        return [*results, before(6), calls]

    expected = [5, 5, "'int' object has no attribute 'name'", 6, ["issubclass"]]
    assert outcome(catalog_types) == outcome(CATALOGS["reference"]) == expected


def test_int_of_the_time_is_the_module_int(zm: ModuleType, manager: Any, recorder: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(zm, "int", lambda value: ("int", value), raising=False)
    manager.userId = 5
    manager.generate_zorv2(manager)
    zorv2 = [e for e in recorder.take() if e[0] == "Zorv2"]
    assert zorv2 and dict(zorv2[0][2])["timestamp"] == ("int", 1_715_947_200.9)


def test_builtins_are_looked_up_in_the_order_of_the_source(monkeypatch: pytest.MonkeyPatch) -> None:
    found = []
    for module in CATALOGS.values():
        monkeypatch.setattr(module, "__builtins__", {})  # the serializers made from now on have none
        found.append(serialized(module, 7))
    assert found[0] == found[1] == ("NameError", "name 'issubclass' is not defined")
