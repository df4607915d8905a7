from typing import Annotated as Annotated
from typing import Any as Any
from typing import TypeAlias, type_check_only

from pydantic import GetCoreSchemaHandler as GetCoreSchemaHandler
from pydantic import GetJsonSchemaHandler as GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue as JsonSchemaValue
from pydantic_core import core_schema as core_schema

from zorvia import db as db
from zorvia.dmr import DBManager as DBManager

other_db: DBManager

# Every annotation class is a plain class with these two class methods.
@type_check_only
class _ReferenceAnnotation:
    @classmethod
    def __get_pydantic_core_schema__(
        cls, _source_type: Any, _handler: GetCoreSchemaHandler
    ) -> core_schema.CoreSchema: ...
    @classmethod
    def __get_pydantic_json_schema__(
        cls, _core_schema: core_schema.CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue: ...

# Below: written by tests/stub_sources.py from zorvia.dmr.KIND_FIELDS (edit the table, then run it).
from zorvia.dmr import Challenge as Challenge
from zorvia.dmr import Chara as Chara
from zorvia.dmr import CharaGenre as CharaGenre
from zorvia.dmr import Class as Class
from zorvia.dmr import CollectionGenre as CollectionGenre
from zorvia.dmr import Course as Course
from zorvia.dmr import Event as Event
from zorvia.dmr import Frame as Frame
from zorvia.dmr import Icon as Icon
from zorvia.dmr import LoginBonus as LoginBonus
from zorvia.dmr import Map as Map
from zorvia.dmr import MapBonusMusic as MapBonusMusic
from zorvia.dmr import MapColor as MapColor
from zorvia.dmr import MapTreasure as MapTreasure
from zorvia.dmr import Music as Music
from zorvia.dmr import MusicGroup as MusicGroup
from zorvia.dmr import MusicVersion as MusicVersion
from zorvia.dmr import Title as Title
from zorvia.dmr import Ticket as Ticket
from zorvia.dmr import Plate as Plate
from zorvia.dmr import Partner as Partner

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

class _ChallengePydanticAnnotation(_ReferenceAnnotation): ...

PydanticChallenge: TypeAlias = Annotated[int | Challenge, _ChallengePydanticAnnotation]

class _CharaPydanticAnnotation(_ReferenceAnnotation): ...

PydanticChara: TypeAlias = Annotated[int | Chara, _CharaPydanticAnnotation]

class _CharaGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCharaGenre: TypeAlias = Annotated[int | CharaGenre, _CharaGenrePydanticAnnotation]

class _ClassPydanticAnnotation(_ReferenceAnnotation): ...

PydanticClass: TypeAlias = Annotated[int | Class, _ClassPydanticAnnotation]

class _CollectionGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCollectionGenre: TypeAlias = Annotated[int | CollectionGenre, _CollectionGenrePydanticAnnotation]

class _CoursePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCourse: TypeAlias = Annotated[int | Course, _CoursePydanticAnnotation]

class _EventPydanticAnnotation(_ReferenceAnnotation): ...

PydanticEvent: TypeAlias = Annotated[int | Event, _EventPydanticAnnotation]

class _FramePydanticAnnotation(_ReferenceAnnotation): ...

PydanticFrame: TypeAlias = Annotated[int | Frame, _FramePydanticAnnotation]

class _IconPydanticAnnotation(_ReferenceAnnotation): ...

PydanticIcon: TypeAlias = Annotated[int | Icon, _IconPydanticAnnotation]

class _LoginBonusPydanticAnnotation(_ReferenceAnnotation): ...

PydanticLoginBonus: TypeAlias = Annotated[int | LoginBonus, _LoginBonusPydanticAnnotation]

class _MapPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMap: TypeAlias = Annotated[int | Map, _MapPydanticAnnotation]

class _MapBonusMusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapBonusMusic: TypeAlias = Annotated[int | MapBonusMusic, _MapBonusMusicPydanticAnnotation]

class _MapColorPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapColor: TypeAlias = Annotated[int | MapColor, _MapColorPydanticAnnotation]

class _MapTreasurePydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapTreasure: TypeAlias = Annotated[int | MapTreasure, _MapTreasurePydanticAnnotation]

class _MusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusic: TypeAlias = Annotated[int | Music, _MusicPydanticAnnotation]

class _MusicGroupPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicGroup: TypeAlias = Annotated[int | MusicGroup, _MusicGroupPydanticAnnotation]

class _MusicVersionPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicVersion: TypeAlias = Annotated[int | MusicVersion, _MusicVersionPydanticAnnotation]

class _TitlePydanticAnnotation(_ReferenceAnnotation): ...

PydanticTitle: TypeAlias = Annotated[int | Title, _TitlePydanticAnnotation]

class _TicketPydanticAnnotation(_ReferenceAnnotation): ...

PydanticTicket: TypeAlias = Annotated[int | Ticket, _TicketPydanticAnnotation]

class _PlatePydanticAnnotation(_ReferenceAnnotation): ...

PydanticPlate: TypeAlias = Annotated[int | Plate, _PlatePydanticAnnotation]

class _PartnerPydanticAnnotation(_ReferenceAnnotation): ...

PydanticPartner: TypeAlias = Annotated[int | Partner, _PartnerPydanticAnnotation]
