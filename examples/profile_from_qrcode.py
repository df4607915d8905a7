# pyright: strict
"""Log in with a QR code through a ZorvManager and read the player's profile as typed records.

Starts the local service (the `sim` extra) on free loopback ports, so it runs as it is:

    python examples/profile_from_qrcode.py

It is also type-checked as it stands (`mypy --strict`, pyright): a reference field's type is
`int | <record class>`, an integer being an ID the catalog does not know, so a record's own
fields are read after an `isinstance` test.
"""

import os
from typing import reveal_type

from pydantic import BaseModel
from zorvia.catalog_types import PydanticIcon, PydanticMusic
from zorvia.dmr import Icon, Music
from zorvia.sim import SimService
from zorvia.zorvmanager import ZorvManager, zorvia_logger


class Profile(BaseModel):
    icon: PydanticIcon
    favourites: list[PydanticMusic]


def describe(profile: Profile) -> list[str]:
    reveal_type(profile.icon)  # int | Icon
    lines: list[str] = []
    if isinstance(profile.icon, Icon):
        lines.append(f"icon: {profile.icon.name.str} ({profile.icon.genre})")
    for music in profile.favourites:
        lines.append(f"music: {music.name.str} by {music.artist}" if isinstance(music, Music) else f"music: unknown ID {music}")
    return lines


def main() -> None:
    with SimService.start() as service:
        os.environ.update(service.environ())  # the clients read the service's addresses when built
        manager = ZorvManager(service.config, logger=zorvia_logger)
        user_id = manager.generate_user_id(qrcode=service.issue_qrcode())
        if user_id is None:
            raise SystemExit("the login service knows nobody for this code")
        with manager.generate_zorv2(user_id) as zorv2:
            data = zorv2.user_data()
            profile = Profile(icon=data.icon, favourites=[*data.favorite_music, 999999])
            print(f"{data.user_name} (user {user_id.userId}, ping {manager.ping} ms)")
            print("\n".join(describe(profile)))
            print(profile.model_dump())
            zorv2.logout()


if __name__ == "__main__":
    main()
