"""Pydantic field types that reference the records of the game-content catalog by integer ID.

One alias `Pydantic<Kind>` for each of the 21 kinds. A field of that type accepts a record of the
kind or an integer ID; an ID is looked up in the kind's dictionary of `other_db` at each
validation and becomes the record stored under it, or stays the integer when the catalog lacks
it. The field always serialises to the integer ID, and its JSON schema is that of an integer.

This is an extension module; its functions carry no docstrings of their own, and these
descriptions come from its typing stub.
"""

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
"""The catalog database every reference field resolves its IDs through: a `DBManager` whose
`db_module` is `zorvia.db` (the catalog named by `ZORVIA_CATALOG`, else the sample) until
`zorvia.db.use_catalog` points it elsewhere."""

# Every annotation class is a plain class with these two class methods.
@type_check_only
class _ReferenceAnnotation:
    @classmethod
    def __get_pydantic_core_schema__(
        cls, _source_type: Any, _handler: GetCoreSchemaHandler
    ) -> core_schema.CoreSchema:
        """A new schema: a record of the kind passes as it is, an integer (from Python or JSON)
        becomes the record stored under it in `other_db`, and the field serialises to the ID."""
    @classmethod
    def __get_pydantic_json_schema__(
        cls, _core_schema: core_schema.CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue:
        """The handler's JSON schema of a plain integer, whatever the kind."""

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
"""A field holding a `Challenge` record of the catalog, or the integer ID the catalog lacks."""

class _CharaPydanticAnnotation(_ReferenceAnnotation): ...

PydanticChara: TypeAlias = Annotated[int | Chara, _CharaPydanticAnnotation]
"""A field holding a `Chara` record of the catalog, or the integer ID the catalog lacks."""

class _CharaGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCharaGenre: TypeAlias = Annotated[int | CharaGenre, _CharaGenrePydanticAnnotation]
"""A field holding a `CharaGenre` record of the catalog, or the integer ID the catalog lacks."""

class _ClassPydanticAnnotation(_ReferenceAnnotation): ...

PydanticClass: TypeAlias = Annotated[int | Class, _ClassPydanticAnnotation]
"""A field holding a `Class` record of the catalog, or the integer ID the catalog lacks."""

class _CollectionGenrePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCollectionGenre: TypeAlias = Annotated[int | CollectionGenre, _CollectionGenrePydanticAnnotation]
"""A field holding a `CollectionGenre` record of the catalog, or the integer ID the catalog lacks."""

class _CoursePydanticAnnotation(_ReferenceAnnotation): ...

PydanticCourse: TypeAlias = Annotated[int | Course, _CoursePydanticAnnotation]
"""A field holding a `Course` record of the catalog, or the integer ID the catalog lacks."""

class _EventPydanticAnnotation(_ReferenceAnnotation): ...

PydanticEvent: TypeAlias = Annotated[int | Event, _EventPydanticAnnotation]
"""A field holding a `Event` record of the catalog, or the integer ID the catalog lacks."""

class _FramePydanticAnnotation(_ReferenceAnnotation): ...

PydanticFrame: TypeAlias = Annotated[int | Frame, _FramePydanticAnnotation]
"""A field holding a `Frame` record of the catalog, or the integer ID the catalog lacks."""

class _IconPydanticAnnotation(_ReferenceAnnotation): ...

PydanticIcon: TypeAlias = Annotated[int | Icon, _IconPydanticAnnotation]
"""A field holding a `Icon` record of the catalog, or the integer ID the catalog lacks."""

class _LoginBonusPydanticAnnotation(_ReferenceAnnotation): ...

PydanticLoginBonus: TypeAlias = Annotated[int | LoginBonus, _LoginBonusPydanticAnnotation]
"""A field holding a `LoginBonus` record of the catalog, or the integer ID the catalog lacks."""

class _MapPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMap: TypeAlias = Annotated[int | Map, _MapPydanticAnnotation]
"""A field holding a `Map` record of the catalog, or the integer ID the catalog lacks."""

class _MapBonusMusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapBonusMusic: TypeAlias = Annotated[int | MapBonusMusic, _MapBonusMusicPydanticAnnotation]
"""A field holding a `MapBonusMusic` record of the catalog, or the integer ID the catalog lacks."""

class _MapColorPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapColor: TypeAlias = Annotated[int | MapColor, _MapColorPydanticAnnotation]
"""A field holding a `MapColor` record of the catalog, or the integer ID the catalog lacks."""

class _MapTreasurePydanticAnnotation(_ReferenceAnnotation): ...

PydanticMapTreasure: TypeAlias = Annotated[int | MapTreasure, _MapTreasurePydanticAnnotation]
"""A field holding a `MapTreasure` record of the catalog, or the integer ID the catalog lacks."""

class _MusicPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusic: TypeAlias = Annotated[int | Music, _MusicPydanticAnnotation]
"""A field holding a `Music` record of the catalog, or the integer ID the catalog lacks."""

class _MusicGroupPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicGroup: TypeAlias = Annotated[int | MusicGroup, _MusicGroupPydanticAnnotation]
"""A field holding a `MusicGroup` record of the catalog, or the integer ID the catalog lacks."""

class _MusicVersionPydanticAnnotation(_ReferenceAnnotation): ...

PydanticMusicVersion: TypeAlias = Annotated[int | MusicVersion, _MusicVersionPydanticAnnotation]
"""A field holding a `MusicVersion` record of the catalog, or the integer ID the catalog lacks."""

class _TitlePydanticAnnotation(_ReferenceAnnotation): ...

PydanticTitle: TypeAlias = Annotated[int | Title, _TitlePydanticAnnotation]
"""A field holding a `Title` record of the catalog, or the integer ID the catalog lacks."""

class _TicketPydanticAnnotation(_ReferenceAnnotation): ...

PydanticTicket: TypeAlias = Annotated[int | Ticket, _TicketPydanticAnnotation]
"""A field holding a `Ticket` record of the catalog, or the integer ID the catalog lacks."""

class _PlatePydanticAnnotation(_ReferenceAnnotation): ...

PydanticPlate: TypeAlias = Annotated[int | Plate, _PlatePydanticAnnotation]
"""A field holding a `Plate` record of the catalog, or the integer ID the catalog lacks."""

class _PartnerPydanticAnnotation(_ReferenceAnnotation): ...

PydanticPartner: TypeAlias = Annotated[int | Partner, _PartnerPydanticAnnotation]
"""A field holding a `Partner` record of the catalog, or the integer ID the catalog lacks."""
