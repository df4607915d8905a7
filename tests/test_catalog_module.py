"""The module `zorvia.catalog_types` after import: names, aliases, annotation classes, late lookups."""

import builtins
import inspect
import typing

import pydantic
import pydantic.json_schema
import pydantic_core
import pytest
from catalog_support import (
    ALIASES,
    KINDS,
    RecordingDB,
    annotation_class,
    build_schema,
    single_field_model,
    stored,
    validator_of,
)

import zorvia.catalog_types as catalog_types
from zorvia import db, dmr

CORE_HOOK = "__get_pydantic_core_schema__"
JSON_HOOK = "__get_pydantic_json_schema__"


class TestModuleNames:
    def test_all_lists_the_aliases_in_table_order(self) -> None:
        assert type(catalog_types.__all__) is list
        assert catalog_types.__all__ == ALIASES

    def test_star_import_yields_the_aliases_only(self) -> None:
        namespace: dict[str, object] = {}
        exec("from zorvia.catalog_types import *", namespace)
        assert sorted(namespace.keys() - {"__builtins__"}) == sorted(ALIASES)

    @pytest.mark.parametrize(
        ("name", "expected"),
        [
            ("Any", typing.Any),
            ("Annotated", typing.Annotated),
            ("GetCoreSchemaHandler", pydantic.GetCoreSchemaHandler),
            ("GetJsonSchemaHandler", pydantic.GetJsonSchemaHandler),
            ("JsonSchemaValue", pydantic.json_schema.JsonSchemaValue),
            ("core_schema", pydantic_core.core_schema),
            ("db", db),
        ],
    )
    def test_imported_names(self, name: str, expected: object) -> None:
        assert getattr(catalog_types, name) is expected

    @pytest.mark.parametrize("name", dmr.__all__)
    def test_names_taken_over_from_dmr(self, name: str) -> None:
        assert getattr(catalog_types, name) is getattr(dmr, name)

    def test_other_db_is_the_one_database_object(self) -> None:
        assert type(catalog_types.other_db) is dmr.DBManager
        assert catalog_types.other_db.db_module is db


@pytest.mark.parametrize("kind", KINDS)
class TestAliases:
    def test_alias_annotates_int_or_record_with_the_class(self, kind: str) -> None:
        alias = getattr(catalog_types, f"Pydantic{kind}")
        record_class = getattr(dmr, kind)
        assert typing.get_origin(alias) is typing.Annotated
        assert typing.get_args(alias) == (int | record_class, annotation_class(catalog_types, kind))
        assert typing.get_args(typing.get_args(alias)[0]) == (int, record_class)
        assert alias.__metadata__[0] is annotation_class(catalog_types, kind)
        assert len(alias.__metadata__) == 1


@pytest.mark.parametrize("kind", KINDS)
class TestAnnotationClasses:
    def test_plain_class(self, kind: str) -> None:
        cls = annotation_class(catalog_types, kind)
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert (cls.__name__, cls.__qualname__) == (f"_{kind}PydanticAnnotation",) * 2
        assert cls.__module__ == "zorvia.catalog_types"
        assert cls.__doc__ is None
        assert "__init__" not in vars(cls)

    def test_class_attributes_in_definition_order(self, kind: str) -> None:
        names = list(vars(annotation_class(catalog_types, kind)))
        assert set(names) == {"__module__", CORE_HOOK, JSON_HOOK, "__dict__", "__weakref__", "__doc__"}
        assert names.index(CORE_HOOK) < names.index(JSON_HOOK)
        for hook in (CORE_HOOK, JSON_HOOK):
            assert type(vars(annotation_class(catalog_types, kind))[hook]) is classmethod

    @pytest.mark.parametrize(
        ("hook", "signature", "annotations"),
        [
            (
                CORE_HOOK,
                "(_source_type: 'Any', _handler: 'GetCoreSchemaHandler') -> 'core_schema.CoreSchema'",
                {"_source_type": "Any", "_handler": "GetCoreSchemaHandler", "return": "core_schema.CoreSchema"},
            ),
            (
                JSON_HOOK,
                "(_core_schema: 'core_schema.CoreSchema', handler: 'GetJsonSchemaHandler') -> 'JsonSchemaValue'",
                {
                    "_core_schema": "core_schema.CoreSchema",
                    "handler": "GetJsonSchemaHandler",
                    "return": "JsonSchemaValue",
                },
            ),
        ],
    )
    def test_hook_introspection(self, kind: str, hook: str, signature: str, annotations: dict[str, str]) -> None:
        cls = annotation_class(catalog_types, kind)
        function = vars(cls)[hook].__func__
        assert function.__name__ == hook
        assert function.__qualname__ == f"{cls.__name__}.{hook}"
        assert function.__module__ == "zorvia.catalog_types"
        assert function.__doc__ is None
        assert list(function.__annotations__.items()) == list(annotations.items())
        assert str(inspect.signature(getattr(cls, hook))) == signature
        assert list(inspect.signature(function).parameters)[0] == "cls"
        assert getattr(cls, hook).__self__ is cls


class TestNamesLookedUpAtUse:
    """Module attributes are read when a hook or validator runs: rebinding or removing them shows."""

    def test_removed_core_schema(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.delattr(catalog_types, "core_schema")
        cls = annotation_class(catalog_types, "Icon")
        for call in (lambda: build_schema(catalog_types, "Icon"), lambda: cls.__get_pydantic_json_schema__({}, dict)):
            with pytest.raises(NameError, match=r"^name 'core_schema' is not defined$"):
                call()

    @pytest.mark.parametrize("kind", ["Challenge", "Partner"])
    def test_removed_record_class(self, monkeypatch: pytest.MonkeyPatch, kind: str) -> None:
        monkeypatch.delattr(catalog_types, kind)
        with pytest.raises(NameError, match=rf"^name '{kind}' is not defined$"):
            annotation_class(catalog_types, kind).__get_pydantic_core_schema__(int, None)

    def test_removed_other_db(self, monkeypatch: pytest.MonkeyPatch) -> None:
        validate_from_int = validator_of(build_schema(catalog_types, "Title"))
        holder = single_field_model(catalog_types, "Title")
        monkeypatch.delattr(catalog_types, "other_db")
        for call in (lambda: validate_from_int(1), lambda: holder(value=1)):
            with pytest.raises(NameError, match=r"^name 'other_db' is not defined$"):
                call()

    def test_builtins_are_the_fallback(self, monkeypatch: pytest.MonkeyPatch) -> None:
        validate_from_int = validator_of(build_schema(catalog_types, "Title"))
        fake = RecordingDB({"Title_dict": {1: "from builtins"}})
        monkeypatch.delattr(catalog_types, "other_db")
        monkeypatch.setattr(builtins, "other_db", fake, raising=False)
        assert validate_from_int(1) == "from builtins"
        assert fake.requests == ["Title_dict"]

    def test_rebound_record_class(self, monkeypatch: pytest.MonkeyPatch) -> None:
        class Replacement:
            pass

        monkeypatch.setattr(catalog_types, "Frame", Replacement)
        assert build_schema(catalog_types, "Frame")["python_schema"]["choices"][0]["cls"] is Replacement

    def test_rebound_other_db(self, monkeypatch: pytest.MonkeyPatch) -> None:
        validate_from_int = validator_of(build_schema(catalog_types, "Music"))
        record = stored(catalog_types, "Music")[1]
        fake = RecordingDB({"Music_dict": {}})
        monkeypatch.setattr(catalog_types, "other_db", fake)
        assert validate_from_int(1) == 1
        monkeypatch.undo()
        assert validate_from_int(1) is record
