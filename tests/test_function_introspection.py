"""What `inspect` and the tools built on it (help, IPython's `?`) make of the native functions.

They pass for functions, located in the extension module's file, which has no source to show.
"""

import inspect
import types
import typing
from collections.abc import Callable
from typing import Any

import pytest
from catalog_support import build_schema, validator_of

import zorvia.catalog_types as catalog_types
import zorvia.zorvmanager as zorvmanager

FUNCTIONS: dict[str, tuple[types.ModuleType, Callable[[], Any]]] = {
    "setup_logger": (zorvmanager, lambda: zorvmanager.setup_logger),
    "bound generate_user_id": (zorvmanager, lambda: zorvmanager.ZorvManager.generate_user_id.__get__(object())),
    "insider": (zorvmanager, lambda: zorvmanager.zorv_net_generator("salt")),
    "validate_from_int": (catalog_types, lambda: validator_of(build_schema(catalog_types, "Icon"))),
}


@pytest.fixture(params=list(FUNCTIONS))
def located(request: pytest.FixtureRequest) -> tuple[types.ModuleType, Any]:
    module, get = FUNCTIONS[request.param]
    return module, get()


def test_taken_for_a_function_of_the_extension_module(located: tuple[types.ModuleType, Any]) -> None:
    module, function = located
    assert inspect.isfunction(function) or inspect.isfunction(function.__func__)
    assert inspect.isroutine(function)
    assert inspect.unwrap(function) is function
    assert inspect.getfile(function) == module.__file__
    assert inspect.getabsfile(function) == module.__file__  # what IPython's `?` shows as the file
    assert inspect.getmodule(function) is module


@pytest.mark.parametrize("get_source", [inspect.getsource, inspect.getsourcelines, inspect.findsource])
def test_source_is_not_available(located: tuple[types.ModuleType, Any], get_source: Callable[[Any], Any]) -> None:
    # As for any function compiled into an extension module: no source file, and an OSError.
    assert inspect.getsourcefile(located[1]) is None
    with pytest.raises(OSError, match="^source code not available$"):
        get_source(located[1])


@pytest.mark.parametrize(
    ("function", "hints"),
    [
        (lambda: zorvmanager.ZorvManager.generate_zorv2, {"I_userId": zorvmanager.UserId, "return": zorvmanager.Zorv2}),
        (lambda: validator_of(build_schema(catalog_types, "Icon")), {"value": int}),
    ],
)
def test_annotation_strings_resolve_in_the_module(function: Callable[[], Any], hints: dict[str, Any]) -> None:
    assert typing.get_type_hints(function()) == hints
