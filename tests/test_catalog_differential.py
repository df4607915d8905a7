"""The native module against the plain-Python reference: same models, same outcomes."""

import inspect
import itertools
import operator
import typing
from collections.abc import Callable
from functools import cache
from types import ModuleType
from typing import Any

import pytest
from catalog_support import (
    KINDS,
    UNKNOWN_ID,
    annotation_class,
    build_schema,
    kind_model,
    load_reference,
    outcome,
    serializer_of,
    single_field_model,
    stored,
    subclass_copy,
    validator_of,
)
from pydantic import BaseModel

import zorvia.catalog_types as catalog_types

reference = load_reference()
IMPLEMENTATIONS = (catalog_types, reference)


class MyInt(int):
    pass


@cache
def holders(kind: str) -> tuple[type[BaseModel], ...]:
    return tuple(single_field_model(module, kind) for module in IMPLEMENTATIONS)


def described(given: object, function: Callable[..., Any], *args: Any, **kwargs: Any) -> tuple[Any, ...]:
    """The outcome with the result's exact type, its repr and whether it is the object given."""
    status, value = outcome(function, *args, **kwargs)
    return status, type(value).__name__, repr(value), value is given


def assert_same(
    subjects: tuple[Any, ...], function: Callable[..., Any], *args: Any, given: object = None, **kwargs: Any
) -> None:
    """`function(subject, *args, **kwargs)` has the same outcome for the native and the reference subject."""
    native, plain = (described(given, function, subject, *args, **kwargs) for subject in subjects)
    assert native == plain


def field_value(model: type[BaseModel], data: dict[str, Any], strict: bool) -> Any:
    return model.model_validate(data, strict=strict).value  # type: ignore[attr-defined]


def json_field_value(model: type[BaseModel], text: str) -> Any:
    return model.model_validate_json(text).value  # type: ignore[attr-defined]


def dump(model: type[BaseModel], value: object, mode: str) -> Any:
    return model.model_construct(value=value).model_dump(mode=mode)


def dump_json(model: type[BaseModel], value: object) -> str:
    return model.model_construct(value=value).model_dump_json()


def python_inputs(kind: str) -> list[object]:
    records = stored(catalog_types, kind)
    foreign = stored(catalog_types, KINDS[KINDS.index(kind) - 1])
    return [
        *records,
        *records.values(),
        subclass_copy(records[2]),
        foreign[1],
        UNKNOWN_ID,
        0,
        -5,
        True,
        False,
        MyInt(1),
        "1",
        " 2 ",
        "x",
        1.0,
        2.5,
        None,
        [1],
        {"name": {"ID": 1}},
    ]


JSON_INPUTS = [
    "1",
    "2",
    str(UNKNOWN_ID),
    "-3",
    '"1"',
    '"x"',
    "1.0",
    "1.5",
    "true",
    "null",
    "[1]",
    '{"name": {"ID": 1}}',
]


@pytest.mark.parametrize("kind", KINDS)
class TestSameOutcomes:
    @pytest.mark.parametrize("strict", [False, True])
    def test_python_validation(self, kind: str, strict: bool) -> None:
        for value in python_inputs(kind):
            assert_same(holders(kind), field_value, {"value": value}, strict, given=value)

    def test_json_validation(self, kind: str) -> None:
        for text in JSON_INPUTS:
            assert_same(holders(kind), json_field_value, f'{{"value": {text}}}')

    @pytest.mark.parametrize("mode", ["python", "json"])
    def test_serialisation(self, kind: str, mode: str) -> None:
        for value in [*python_inputs(kind), object()]:
            assert_same(holders(kind), dump, value, mode)
            assert_same(holders(kind), dump_json, value)

    def test_direct_calls(self, kind: str) -> None:
        schemas = [build_schema(module, kind) for module in IMPLEMENTATIONS]
        for inner in (validator_of, serializer_of):
            functions = tuple(inner(schema) for schema in schemas)
            for value in python_inputs(kind):
                assert_same(functions, operator.call, value, given=value)

    def test_introspection(self, kind: str) -> None:
        def profile(module: ModuleType) -> list[Any]:
            cls = annotation_class(module, kind)
            schema = build_schema(module, kind)
            functions = [
                vars(cls)["__get_pydantic_core_schema__"].__func__,
                vars(cls)["__get_pydantic_json_schema__"].__func__,
                validator_of(schema),
                serializer_of(schema),
            ]
            alias_args = typing.get_args(getattr(module, f"Pydantic{kind}"))
            return [
                [(f.__name__, f.__qualname__, f.__annotations__, str(inspect.signature(f))) for f in functions],
                [cls.__name__, cls.__qualname__, cls.__bases__, cls.__doc__],
                [name for name in vars(cls) if name != "__module__"],
                [alias_args[0], alias_args[1].__name__],
            ]

        assert profile(catalog_types) == profile(reference)


class TestWholeModels:
    def test_json_schemas(self) -> None:
        native, plain = (kind_model(module) for module in IMPLEMENTATIONS)
        for mode in ("validation", "serialization"):
            assert native.model_json_schema(mode=mode) == plain.model_json_schema(mode=mode)

    def test_round_trip(self) -> None:
        native, plain = (kind_model(module) for module in IMPLEMENTATIONS)
        data = dict(zip(KINDS, itertools.cycle([1, 2, UNKNOWN_ID])))
        native_model, plain_model = native(**data), plain(**data)
        assert native_model.model_dump() == plain_model.model_dump() == data
        text = native_model.model_dump_json()
        assert text == plain_model.model_dump_json()
        assert vars(native.model_validate_json(text)) == vars(plain.model_validate_json(text)) == vars(plain_model)
