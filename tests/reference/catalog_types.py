"""Plain-Python reference of the native module `zorvia.catalog_types`.

The same module body and the same algorithm, with the package's real `zorvia.dmr` and
`zorvia.db`; the benchmarks and the differential tests compare the native module with it.
It is not part of the installed package: load it by file path.

The 21 annotation classes and aliases come from one source template, executed in this
module's namespace once per kind, so that every name in them (`core_schema`, `other_db`, the
record class, `Annotated`) is a module global looked up at use, and the inner functions get
the qualified names "_<Kind>PydanticAnnotation.__get_pydantic_core_schema__.<locals>...".
"""

# ruff: noqa: F401, F403, F405, I001
from typing import Any, Annotated

from pydantic import GetCoreSchemaHandler, GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue
from pydantic_core import core_schema

from zorvia import db
from zorvia.dmr import *

other_db = DBManager()
other_db.db_module = db

_KINDS = (
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

_KIND_SOURCE = """
class _KINDPydanticAnnotation:
    @classmethod
    def __get_pydantic_core_schema__(
        cls, _source_type: "Any", _handler: "GetCoreSchemaHandler"
    ) -> "core_schema.CoreSchema":
        def validate_from_int(value: "int"):
            if type(value) is not int:
                raise TypeError(
                    f"Argument 'value' has incorrect type (expected int, got {type(value).__name__})"
                )
            return other_db.get_dict("KIND_dict").get(value, value)

        serializer = lambda instance: instance if issubclass(type(instance), int) else instance.name.ID

        from_int_schema = core_schema.chain_schema(
            [core_schema.int_schema(), core_schema.no_info_plain_validator_function(validate_from_int)]
        )
        python_schema = core_schema.union_schema([core_schema.is_instance_schema(KIND), from_int_schema])
        serialization = core_schema.plain_serializer_function_ser_schema(serializer)
        return core_schema.json_or_python_schema(
            json_schema=from_int_schema, python_schema=python_schema, serialization=serialization
        )

    @classmethod
    def __get_pydantic_json_schema__(
        cls, _core_schema: "core_schema.CoreSchema", handler: "GetJsonSchemaHandler"
    ) -> "JsonSchemaValue":
        return handler(core_schema.int_schema())


PydanticKIND = Annotated[int | KIND, _KINDPydanticAnnotation]
"""

for _kind in _KINDS:
    exec(compile(_KIND_SOURCE.replace("KIND", _kind), __file__, "exec"), globals())

__all__ = [f"Pydantic{_kind}" for _kind in _KINDS]
