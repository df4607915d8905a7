from typing import Annotated as Annotated
from typing import Any as Any
from typing import TypeAlias

from pydantic import GetCoreSchemaHandler as GetCoreSchemaHandler
from pydantic import GetJsonSchemaHandler as GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue as JsonSchemaValue
from pydantic_core import core_schema as core_schema

from zorvia import db as db
from zorvia.dmr import DBManager as DBManager
from zorvia.dmr import Record

__all__ = [
    "PydanticChallenge",
    "PydanticChara",
    "PydanticCharaGenre",
    "PydanticClass",
    "PydanticCollectionGenre",
    "PydanticCourse",
    "PydanticEvent",
    "PydanticFrame",
    "PydanticIcon",
    "PydanticLoginBonus",
    "PydanticMap",
    "PydanticMapBonusMusic",
    "PydanticMapColor",
    "PydanticMapTreasure",
    "PydanticMusic",
    "PydanticMusicGroup",
    "PydanticMusicVersion",
    "PydanticTitle",
    "PydanticTicket",
    "PydanticPlate",
    "PydanticPartner",
]

# The record classes taken over from zorvia.dmr, which generates them at run time.
Challenge: type[Record]
Chara: type[Record]
CharaGenre: type[Record]
Class: type[Record]
CollectionGenre: type[Record]
Course: type[Record]
Event: type[Record]
Frame: type[Record]
Icon: type[Record]
LoginBonus: type[Record]
Map: type[Record]
MapBonusMusic: type[Record]
MapColor: type[Record]
MapTreasure: type[Record]
Music: type[Record]
MusicGroup: type[Record]
MusicVersion: type[Record]
Title: type[Record]
Ticket: type[Record]
Plate: type[Record]
Partner: type[Record]

other_db: DBManager

# Stub only: every annotation class is a plain class with these two class methods.
class _ReferenceAnnotation:
    @classmethod
    def __get_pydantic_core_schema__(
        cls, _source_type: Any, _handler: GetCoreSchemaHandler
    ) -> core_schema.CoreSchema: ...
    @classmethod
    def __get_pydantic_json_schema__(
        cls, _core_schema: core_schema.CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue: ...

class _ChallengePydanticAnnotation(_ReferenceAnnotation): ...

PydanticChallenge: TypeAlias = Annotated[int | Record, _ChallengePydanticAnnotation]

class _CharaPydanticAnnotation(_ReferenceAnnotation): ...

PydanticChara: TypeAlias = Annotated[int | Record, _CharaPydanticAnnotation]

class _CharaGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCharaGenre: TypeAlias = Annotated[int | Record, _CharaGenrePydanticAnnotation]

class _ClassPydanticAnnotation(_ReferenceAnnotation): ...

PydanticClass: TypeAlias = Annotated[int | Record, _ClassPydanticAnnotation]

class _CollectionGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCollectionGenre: TypeAlias = Annotated[int | Record, _CollectionGenrePydanticAnnotation]

class _CoursePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCourse: TypeAlias = Annotated[int | Record, _CoursePydanticAnnotation]

class _EventPydanticAnnotation(_ReferenceAnnotation): ...

PydanticEvent: TypeAlias = Annotated[int | Record, _EventPydanticAnnotation]

class _FramePydanticAnnotation(_ReferenceAnnotation): ...

PydanticFrame: TypeAlias = Annotated[int | Record, _FramePydanticAnnotation]

class _IconPydanticAnnotation(_ReferenceAnnotation): ...

PydanticIcon: TypeAlias = Annotated[int | Record, _IconPydanticAnnotation]

class _LoginBonusPydanticAnnotation(_ReferenceAnnotation): ...

PydanticLoginBonus: TypeAlias = Annotated[int | Record, _LoginBonusPydanticAnnotation]

class _MapPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMap: TypeAlias = Annotated[int | Record, _MapPydanticAnnotation]

class _MapBonusMusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapBonusMusic: TypeAlias = Annotated[int | Record, _MapBonusMusicPydanticAnnotation]

class _MapColorPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapColor: TypeAlias = Annotated[int | Record, _MapColorPydanticAnnotation]

class _MapTreasurePydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapTreasure: TypeAlias = Annotated[int | Record, _MapTreasurePydanticAnnotation]

class _MusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusic: TypeAlias = Annotated[int | Record, _MusicPydanticAnnotation]

class _MusicGroupPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicGroup: TypeAlias = Annotated[int | Record, _MusicGroupPydanticAnnotation]

class _MusicVersionPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicVersion: TypeAlias = Annotated[int | Record, _MusicVersionPydanticAnnotation]

class _TitlePydanticAnnotation(_ReferenceAnnotation): ...

PydanticTitle: TypeAlias = Annotated[int | Record, _TitlePydanticAnnotation]

class _TicketPydanticAnnotation(_ReferenceAnnotation): ...

PydanticTicket: TypeAlias = Annotated[int | Record, _TicketPydanticAnnotation]

class _PlatePydanticAnnotation(_ReferenceAnnotation): ...

PydanticPlate: TypeAlias = Annotated[int | Record, _PlatePydanticAnnotation]

class _PartnerPydanticAnnotation(_ReferenceAnnotation): ...

PydanticPartner: TypeAlias = Annotated[int | Record, _PartnerPydanticAnnotation]
