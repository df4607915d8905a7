import builtins
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

from pydantic import ConfigDict, TypeAdapter, ValidationError

from zorvia.errors import CatalogError as CatalogError

STRICT_ROWS: ConfigDict

# frozen dataclasses made with slots=True: the slots are spelt out, since a checker's slots for a
# derived dataclass would count the inherited fields too.
@dataclass(frozen=True)
class RecordName:
    __slots__ = ("ID", "str")
    __pydantic_config__: ClassVar[ConfigDict]
    ID: int
    str: builtins.str

@dataclass(frozen=True)
class Record:
    __slots__ = ("name",)
    __pydantic_config__: ClassVar[ConfigDict]
    name: RecordName

KIND_FIELDS: dict[str, dict[str, type]]

RECORD_CLASSES: dict[str, type[Record]]
DICT_NAMES: dict[str, str]

def invalid_catalog(
    source: object, error: ValidationError, rows: Callable[[], Any], kind: str | None = None
) -> CatalogError: ...
def rows_adapter(kind: str) -> TypeAdapter[list[Record]]: ...
def parse_records(kind: str, rows: Iterable[Any], source: object = "the catalog") -> list[Record]: ...
def index_records(kind: str, records: Sequence[Record], source: object = "the catalog") -> dict[int, Record]: ...

class _KindDicts(dict[str, dict[int, Record]]):
    db_module: Any
    def __init__(self, db_module: Any) -> None: ...
    def __missing__(self, dict_name: str) -> dict[int, Record]: ...

class DBManager:
    get_dict: Callable[[str], dict[int, Record]]
    def __init__(self) -> None: ...
    @property
    def db_module(self) -> Any: ...
    @db_module.setter
    def db_module(self, module: Any) -> None: ...

# Below: written by tests/stub_sources.py from zorvia.dmr.KIND_FIELDS (edit the table, then run it).

@dataclass(frozen=True)
class Challenge(Record):
    __slots__ = ("target_score",)
    target_score: int

@dataclass(frozen=True)
class Chara(Record):
    __slots__ = ("genre_id", "color")
    genre_id: int
    color: str

@dataclass(frozen=True)
class CharaGenre(Record):
    __slots__ = ("sort",)
    sort: int

@dataclass(frozen=True)
class Class(Record):
    __slots__ = ("rank",)
    rank: int

@dataclass(frozen=True)
class CollectionGenre(Record):
    __slots__ = ("sort",)
    sort: int

@dataclass(frozen=True)
class Course(Record):
    __slots__ = ("life", "recover")
    life: int
    recover: int

@dataclass(frozen=True)
class Event(Record):
    __slots__ = ("event_type", "always_open")
    event_type: int
    always_open: bool

@dataclass(frozen=True)
class Frame(Record):
    __slots__ = ("genre",)
    genre: str

@dataclass(frozen=True)
class Icon(Record):
    __slots__ = ("genre",)
    genre: str

@dataclass(frozen=True)
class LoginBonus(Record):
    __slots__ = ("max_point",)
    max_point: int

@dataclass(frozen=True)
class Map(Record):
    __slots__ = ("is_collabo",)
    is_collabo: bool

@dataclass(frozen=True)
class MapBonusMusic(Record):
    __slots__ = ("music_count",)
    music_count: int

@dataclass(frozen=True)
class MapColor(Record):
    __slots__ = ("color",)
    color: str

@dataclass(frozen=True)
class MapTreasure(Record):
    __slots__ = ("treasure_type",)
    treasure_type: str

@dataclass(frozen=True)
class Music(Record):
    __slots__ = ("artist", "bpm")
    artist: str
    bpm: int

@dataclass(frozen=True)
class MusicGroup(Record):
    __slots__ = ("sort",)
    sort: int

@dataclass(frozen=True)
class MusicVersion(Record):
    __slots__ = ("version",)
    version: int

@dataclass(frozen=True)
class Title(Record):
    __slots__ = ("rare_type",)
    rare_type: str

@dataclass(frozen=True)
class Ticket(Record):
    __slots__ = ("credits",)
    credits: int

@dataclass(frozen=True)
class Plate(Record):
    __slots__ = ("genre",)
    genre: str

@dataclass(frozen=True)
class Partner(Record):
    __slots__ = ("sort",)
    sort: int

__all__ = [
    "DBManager",
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
]
