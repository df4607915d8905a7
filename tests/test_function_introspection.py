"""What `inspect` and the tools built on it (help, IPython's `?`) make of the native functions.

They pass for functions, located in the extension module's file, which has no source to show.
"""

import gc
import inspect
import json
import os
import shutil
import types
import typing
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from catalog_support import build_schema, run_python, validator_of
from manager_support import TESTS_DIR, load_reference

import zorvia
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


# Signatures and code files of functions of both modules, from a copy of the package.
SIGNATURES = """
import inspect, json, sys
import zorvia.catalog_types as ct, zorvia.zorvmanager as zm
from catalog_support import build_schema, validator_of
functions = [zm.setup_logger, zm.zorv_net_generator, zm.zorv_net_generator("salt"), zm.ZorvManager.__init__,
             zm.ZorvManager.generate_user_id, validator_of(build_schema(ct, "Icon"))]
print(json.dumps({
    "signatures": [list(inspect.signature(f).parameters) for f in functions],
    "files": [f.__code__.co_filename == sys.modules[f.__module__].__file__ for f in functions],
    "surrogate": "\\udcff" in zm.__file__,
}))
"""


def test_signatures_under_an_install_path_that_is_not_utf8(tmp_path: Path) -> None:
    # A directory name with a byte that is not UTF-8: Python decodes it with a surrogate escape.
    root = Path(os.fsdecode(os.fsencode(tmp_path) + b"/site-\xff"))
    shutil.copytree(Path(zorvia.__file__).parent, root / "zorvia")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(root), str(TESTS_DIR)])}
    reference = load_reference()
    expected = [reference.setup_logger, reference.zorv_net_generator, reference.zorv_net_generator("salt"),
                reference.ZorvManager.__init__, reference.ZorvManager.generate_user_id]
    result = json.loads(run_python(SIGNATURES, TESTS_DIR, env).splitlines()[-1])
    assert result == {
        "signatures": [*(list(inspect.signature(f).parameters) for f in expected), ["value"]],
        "files": [True] * 6,
        "surrogate": True,
    }


def test_code_is_made_once_when_asked_for_while_being_made() -> None:
    """A collection started while `__code__` is first made runs a callback that asks for it too."""
    function = zorvmanager.zorv_net_generator("salt")  # a new function: its code is not made yet
    seen: list[Any] = []

    def in_collection(phase: str, info: dict[str, int]) -> None:
        if not seen:
            seen.append(function.__code__)

    threshold = gc.get_threshold()
    gc.callbacks.append(in_collection)
    gc.set_threshold(1)
    try:
        first = function.__code__
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(in_collection)
    assert seen and seen[0] is first is function.__code__
