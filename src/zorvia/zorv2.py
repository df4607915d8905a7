"""Title-server clients and the per-user title object."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zorvia.errors import ZorvNetworkError

if TYPE_CHECKING:
    from loguru import Logger

    from zorvia.aes import ZorvAES
    from zorvia.zorvtypes import UserId, ZorvConfig

NET_LOG = False
UNAVAILABLE = "the title-server transport is not available in this build"


@dataclass(eq=False)
class ZorvNet:
    """Network settings of one user's connection to the title server."""

    ping: int
    salt: str
    userId: int
    logger: Logger
    aes: ZorvAES | None
    proxy: str
    verify: bool
    retry: int


@dataclass(eq=False)
class BaseZorvNet:
    """Connection to the title server that belongs to no user."""

    salt: str
    userId: str
    logger: Logger
    aes: ZorvAES | None
    proxy: str = ""
    verify: bool = False
    retry: int = 3

    def ping(self) -> int:
        raise ZorvNetworkError(UNAVAILABLE)

    def upsert_client_testmode(self, placeId: int, clientId: str) -> dict[str, Any] | None:
        raise ZorvNetworkError(UNAVAILABLE)


@dataclass(eq=False)
class Zorv2:
    """One user's title object."""

    net: ZorvNet
    userId: UserId
    timestamp: int
    config: ZorvConfig
    logger: Logger
