"""A player's data as the title server sends it, with catalog references resolved to records.

The wire form is a JSON object with camelCase keys in which every catalog reference is an
integer ID (`iconId`, `charaId`, `musicId`, ...). Validating it turns each ID into the record
stored under it in the shipped catalog (`zorvia.catalog_types.other_db`); an ID the catalog does
not know stays an `int`. `model_dump(mode="json", by_alias=True)` gives the wire form back.
"""

from datetime import datetime

from pydantic import BaseModel, ConfigDict, Field, NonNegativeInt, PositiveInt, StrictInt
from pydantic.alias_generators import to_camel

from zorvia.catalog_types import (
    PydanticChara,
    PydanticClass,
    PydanticFrame,
    PydanticIcon,
    PydanticMap,
    PydanticMusic,
    PydanticPartner,
    PydanticPlate,
    PydanticTitle,
)
from zorvia.dmr import Record

__all__ = ["MusicRecord", "UserCharacter", "UserData", "UserPreview", "record_name"]


class WireModel(BaseModel):
    """Fields are snake case in Python and camelCase on the wire; unknown wire keys are refused."""

    model_config = ConfigDict(alias_generator=to_camel, populate_by_name=True, extra="forbid")


class UserCharacter(WireModel):
    chara: PydanticChara = Field(alias="charaId")
    level: PositiveInt
    awakening: NonNegativeInt


class MusicRecord(WireModel):
    """The player's best result on one piece of music; `achievement` in ten-thousandths of a percent."""

    music: PydanticMusic = Field(alias="musicId")
    level: NonNegativeInt
    achievement: NonNegativeInt
    play_count: NonNegativeInt


class UserProfile(WireModel):
    """What the preview and the full data both carry."""

    user_id: StrictInt = Field(ge=0)
    user_name: str = Field(min_length=1)
    level: PositiveInt
    rating: NonNegativeInt
    icon: PydanticIcon = Field(alias="iconId")
    title: PydanticTitle = Field(alias="titleId")
    plate: PydanticPlate = Field(alias="plateId")
    frame: PydanticFrame = Field(alias="frameId")
    partner: PydanticPartner = Field(alias="partnerId")


class UserPreview(UserProfile):
    """The short profile the title server shows before a session starts."""

    last_play_date: datetime
    is_login: bool
    ban_state: NonNegativeInt


class UserData(UserProfile):
    """The player's full data for one session."""

    play_count: NonNegativeInt
    class_rank: PydanticClass = Field(alias="classId")
    current_map: PydanticMap = Field(alias="mapId")
    characters: list[UserCharacter]
    music_records: list[MusicRecord]
    favorite_music: list[PydanticMusic] = Field(alias="favoriteMusicIds")


def record_name(value: int | Record) -> str:
    """A reference for people: the record's display name, or the bare ID the catalog lacks."""
    if isinstance(value, Record):
        return value.name.str
    return f"#{value} (not in the catalog)"
