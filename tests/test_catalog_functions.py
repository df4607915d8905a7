"""The hooks of the annotation classes and the validator and serializer they create, called directly."""

import inspect
from types import ModuleType
from typing import Any

import pytest
from catalog_support import (
    KINDS,
    load_reference,
    UNKNOWN_ID,
    RecordingCoreSchema,
    RecordingDB,
    annotation_class,
    build_schema,
    serializer_of,
    stored,
    validator_of,
)
from pydantic_core import core_schema

import zorvia.catalog_types as catalog_types
import zorvia.db
import zorvia.dmr


class MyInt(int):
    pass


class Unusable:
    """A handler or source type that fails on any use."""

    def __getattr__(self, name: str) -> Any:
        raise AssertionError(f"used: {name}")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        raise AssertionError("called")


def expected_schema(kind: str, validate_from_int: Any, serializer: Any) -> Any:
    """The schema a hook call must return, built here from the same inner functions."""
    from_int = core_schema.chain_schema(
        [core_schema.int_schema(), core_schema.no_info_plain_validator_function(validate_from_int)]
    )
    return core_schema.json_or_python_schema(
        json_schema=from_int,
        python_schema=core_schema.union_schema(
            [core_schema.is_instance_schema(getattr(catalog_types, kind)), from_int]
        ),
        serialization=core_schema.plain_serializer_function_ser_schema(serializer),
    )


@pytest.mark.parametrize("kind", KINDS)
class TestCoreSchemaHook:
    def test_schema_shape(self, kind: str) -> None:
        schema = annotation_class(catalog_types, kind).__get_pydantic_core_schema__(Unusable(), Unusable())
        assert schema == expected_schema(kind, validator_of(schema), serializer_of(schema))
        assert schema["json_schema"] is schema["python_schema"]["choices"][1]

    def test_keyword_arguments(self, kind: str) -> None:
        cls = annotation_class(catalog_types, kind)
        schema = cls.__get_pydantic_core_schema__(_handler=None, _source_type=int)
        assert schema == expected_schema(kind, validator_of(schema), serializer_of(schema))

    def test_each_call_builds_new_schema_and_functions(self, kind: str) -> None:
        first, second = build_schema(catalog_types, kind), build_schema(catalog_types, kind)
        assert first is not second
        assert first["json_schema"] is not second["json_schema"]
        assert validator_of(first) is not validator_of(second)
        assert serializer_of(first) is not serializer_of(second)
        assert second == expected_schema(kind, validator_of(second), serializer_of(second))

    def test_builder_calls(self, kind: str, monkeypatch: pytest.MonkeyPatch) -> None:
        recorder = RecordingCoreSchema()
        monkeypatch.setattr(catalog_types, "core_schema", recorder)
        schema = build_schema(catalog_types, kind)
        validate_from_int, serializer = validator_of(schema), serializer_of(schema)
        int_schema = core_schema.int_schema()
        plain = core_schema.no_info_plain_validator_function(validate_from_int)
        from_int = core_schema.chain_schema([int_schema, plain])
        is_instance = core_schema.is_instance_schema(getattr(catalog_types, kind))
        union = core_schema.union_schema([is_instance, from_int])
        serialization = core_schema.plain_serializer_function_ser_schema(serializer)
        assert recorder.calls == [
            ("int_schema", (), {}),
            ("no_info_plain_validator_function", (validate_from_int,), {}),
            ("chain_schema", ([int_schema, plain],), {}),
            ("is_instance_schema", (getattr(catalog_types, kind),), {}),
            ("union_schema", ([is_instance, from_int],), {}),
            ("plain_serializer_function_ser_schema", (serializer,), {}),
            (
                "json_or_python_schema",
                (),
                {"json_schema": from_int, "python_schema": union, "serialization": serialization},
            ),
        ]
        assert list(recorder.calls[-1][2]) == ["json_schema", "python_schema", "serialization"]


@pytest.mark.parametrize("kind", KINDS)
class TestJsonSchemaHook:
    def test_handler_gets_a_plain_integer_schema(self, kind: str, monkeypatch: pytest.MonkeyPatch) -> None:
        recorder = RecordingCoreSchema()
        monkeypatch.setattr(catalog_types, "core_schema", recorder)
        received: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        result = object()

        def handler(*args: Any, **kwargs: Any) -> object:
            received.append((args, kwargs))
            return result

        cls = annotation_class(catalog_types, kind)
        assert cls.__get_pydantic_json_schema__(Unusable(), handler) is result
        assert received == [((core_schema.int_schema(),), {})]
        assert recorder.calls == [("int_schema", (), {})]

    def test_handler_errors_propagate(self, kind: str) -> None:
        def handler(schema: Any) -> Any:
            raise LookupError("from handler")

        with pytest.raises(LookupError, match="from handler"):
            annotation_class(catalog_types, kind).__get_pydantic_json_schema__(None, handler=handler)


@pytest.mark.parametrize("kind", KINDS)
class TestValidateFromInt:
    def test_known_id_gives_the_stored_record(self, kind: str) -> None:
        validate_from_int = validator_of(build_schema(catalog_types, kind))
        for record_id, record in stored(catalog_types, kind).items():
            assert validate_from_int(record_id) is record
            assert validate_from_int(value=record_id) is record

    def test_unknown_id_gives_the_integer_itself(self, kind: str) -> None:
        value = int(str(UNKNOWN_ID))
        assert validator_of(build_schema(catalog_types, kind))(value) is value

    def test_dictionary_asked_for_at_every_call(self, kind: str, monkeypatch: pytest.MonkeyPatch) -> None:
        class RecordingDict(dict[int, Any]):
            def __init__(self) -> None:
                super().__init__()
                self.gets: list[tuple[Any, ...]] = []

            def get(self, *args: Any) -> Any:  # type: ignore[override]
                self.gets.append(args)
                return super().get(*args)

        kind_dict = RecordingDict()
        fake = RecordingDB({f"{kind}_dict": kind_dict})
        monkeypatch.setattr(catalog_types, "other_db", fake)
        validate_from_int = validator_of(build_schema(catalog_types, kind))
        assert validate_from_int(5) == 5
        kind_dict[5] = "five"
        assert validate_from_int(5) == "five"
        assert fake.requests == [f"{kind}_dict"] * 2
        assert kind_dict.gets == [(5, 5), (5, 5)]

    def test_lookup_errors_propagate(self, kind: str, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(catalog_types, "other_db", RecordingDB({}))
        with pytest.raises(KeyError, match=f"{kind}_dict"):
            validator_of(build_schema(catalog_types, kind))(1)

    @pytest.mark.parametrize(
        ("value", "type_name"), [(True, "bool"), (MyInt(1), "MyInt"), (None, "NoneType"), ("1", "str"), (1.0, "float")]
    )
    def test_exact_int_required(self, kind: str, value: object, type_name: str) -> None:
        message = f"Argument 'value' has incorrect type (expected int, got {type_name})"
        with pytest.raises(TypeError) as raised:
            validator_of(build_schema(catalog_types, kind))(value)
        assert str(raised.value) == message


@pytest.mark.parametrize("kind", KINDS)
class TestSerializer:
    @pytest.mark.parametrize("value", [0, UNKNOWN_ID, True, False, MyInt(3), -1])
    def test_integers_unchanged(self, kind: str, value: int) -> None:
        assert serializer_of(build_schema(catalog_types, kind))(value) is value

    def test_record_to_its_id(self, kind: str) -> None:
        serializer = serializer_of(build_schema(catalog_types, kind))
        for record_id, record in stored(catalog_types, kind).items():
            assert serializer(record) == record_id
            assert serializer(instance=record) is record.name.ID

    def test_anything_with_name_id(self, kind: str) -> None:
        class Name:
            ID = "any value"

        class Holder:
            name = Name()

        assert serializer_of(build_schema(catalog_types, kind))(Holder()) == "any value"

    def test_int_test_is_on_the_type(self, kind: str) -> None:
        record_name = stored(catalog_types, kind)[1].name

        class ClaimsInt:
            __class__ = property(lambda self: bool)  # type: ignore[assignment]
            name = record_name

        class Plain:
            __slots__ = ("name",)

        serializer = serializer_of(build_schema(catalog_types, kind))
        plain = Plain()
        plain.name = record_name
        assert serializer(plain) == 1
        assert isinstance(ClaimsInt(), int)
        assert serializer(ClaimsInt()) == 1

    @pytest.mark.parametrize("value", [None, "1", 1.0, object()])
    def test_missing_name_attribute(self, kind: str, value: object) -> None:
        with pytest.raises(AttributeError, match="'name'"):
            serializer_of(build_schema(catalog_types, kind))(value)


@pytest.mark.parametrize("kind", KINDS)
class TestInnerFunctionIntrospection:
    def test_validator(self, kind: str) -> None:
        validate_from_int = validator_of(build_schema(catalog_types, kind))
        assert validate_from_int.__name__ == "validate_from_int"
        assert validate_from_int.__qualname__ == (
            f"_{kind}PydanticAnnotation.__get_pydantic_core_schema__.<locals>.validate_from_int"
        )
        assert validate_from_int.__module__ == "zorvia.catalog_types"
        assert validate_from_int.__annotations__ == {"value": "int"}
        assert str(inspect.signature(validate_from_int)) == "(value: 'int')"

    def test_serializer(self, kind: str) -> None:
        serializer = serializer_of(build_schema(catalog_types, kind))
        assert serializer.__name__ == "<lambda>"
        assert serializer.__qualname__ == f"_{kind}PydanticAnnotation.__get_pydantic_core_schema__.<locals>.<lambda>"
        assert serializer.__module__ == "zorvia.catalog_types"
        assert list(inspect.signature(serializer).parameters) == ["instance"]


def arity(name: str, expected: int, given: int) -> str:
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


HOOK_ARGUMENT_ERRORS = [
    ((), {}, 1),
    ((int,), {}, 2),
    ((int, None, None), {}, 4),
    ((), {"_handler": None}, 1),
    ((int,), {"other": None}, 2),
]
KEYWORD_ERRORS = [
    (
        "__get_pydantic_core_schema__",
        (int, None),
        {"_source_type": int},
        "got multiple values for keyword argument '_source_type'",
    ),
    ("__get_pydantic_core_schema__", (int, None), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    (
        "__get_pydantic_core_schema__",
        (),
        {"_source_type": int, "_handler": None, "cls": 1},
        "got multiple values for keyword argument 'cls'",
    ),
    (
        "__get_pydantic_json_schema__",
        (None, dict),
        {"handler": dict},
        "got multiple values for keyword argument 'handler'",
    ),
    ("__get_pydantic_json_schema__", (None, dict), {"_handler": dict}, "got an unexpected keyword argument '_handler'"),
]


@pytest.mark.parametrize("kind", ["Challenge", "MapBonusMusic", "Partner"])
class TestArgumentErrors:
    @pytest.mark.parametrize("hook", ["__get_pydantic_core_schema__", "__get_pydantic_json_schema__"])
    @pytest.mark.parametrize(("args", "kwargs", "given"), HOOK_ARGUMENT_ERRORS)
    def test_hook_arity(self, kind: str, hook: str, args: tuple[Any, ...], kwargs: dict[str, Any], given: int) -> None:
        with pytest.raises(TypeError) as raised:
            getattr(annotation_class(catalog_types, kind), hook)(*args, **kwargs)
        assert str(raised.value) == arity(hook, 3, given)

    @pytest.mark.parametrize(("hook", "args", "kwargs", "message"), KEYWORD_ERRORS)
    def test_hook_keywords(
        self, kind: str, hook: str, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
    ) -> None:
        with pytest.raises(TypeError) as raised:
            getattr(annotation_class(catalog_types, kind), hook)(*args, **kwargs)
        assert str(raised.value) == f"{hook}() {message}"

    @pytest.mark.parametrize(
        ("inner", "args", "kwargs", "message"),
        [
            (validator_of, (), {}, arity("validate_from_int", 1, 0)),
            (validator_of, (1, 2), {}, arity("validate_from_int", 1, 2)),
            (validator_of, (), {"number": 1}, arity("validate_from_int", 1, 0)),
            (validator_of, (1,), {"value": 1}, "validate_from_int() got multiple values for keyword argument 'value'"),
            (validator_of, (1,), {"number": 1}, "validate_from_int() got an unexpected keyword argument 'number'"),
            (serializer_of, (), {}, arity("<lambda>", 1, 0)),
            (serializer_of, (1, 2), {}, arity("<lambda>", 1, 2)),
            (serializer_of, (1,), {"instance": 1}, "<lambda>() got multiple values for keyword argument 'instance'"),
            (serializer_of, (1,), {"value": 1}, "<lambda>() got an unexpected keyword argument 'value'"),
        ],
    )
    def test_inner_functions(
        self, kind: str, inner: Any, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
    ) -> None:
        with pytest.raises(TypeError) as raised:
            inner(build_schema(catalog_types, kind))(*args, **kwargs)
        assert str(raised.value) == message

    def test_non_string_keywords(self, kind: str) -> None:
        functions = [
            annotation_class(catalog_types, kind).__get_pydantic_core_schema__,
            validator_of(build_schema(catalog_types, kind)),
        ]
        for function in functions:
            with pytest.raises(TypeError, match="keywords must be strings"):
                function(1, 2, **{3: 4})  # type: ignore[arg-type, misc]


@pytest.mark.parametrize("module", [catalog_types, load_reference()], ids=["native", "reference"])
def test_the_real_database_follows_db_module(module: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    """The package's own catalog, whose `get_dict` the validators look up in without a call."""

    class Catalog:
        def __init__(self, name: str) -> None:
            self.name = name

        def records(self, kind: str) -> list[dict[str, Any]]:
            return [{"name": {"ID": 1, "str": self.name}, "life": 1, "recover": 2}]

    validate = validator_of(build_schema(module, "Course"))
    database = zorvia.dmr.DBManager()
    database.db_module = Catalog("first")
    monkeypatch.setattr(module, "other_db", database)
    assert validate(1).name.str == "first"
    database.db_module = Catalog("second")
    assert validate(1).name.str == "second"
    database.db_module = zorvia.db
    assert validate(1) is database.get_dict("Course_dict")[1]
