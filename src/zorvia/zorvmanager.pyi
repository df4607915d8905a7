"""The manager of the game's network services for one configuration, and the package's logger.

`ZorvManager` turns a login QR code into a `UserId`, checks the login service, keeps the title
server's ping and makes each player's title object (`Zorv2`); `setup_logger` points the shared
loguru logger at standard output and `./log/debug.log`.

This is an extension module; its functions carry no docstrings of their own, and these
descriptions come from its typing stub.
"""

from datetime import datetime as datetime
from datetime import timedelta as timedelta
from sys import stdout as stdout
from time import time as time
from typing import Any, Protocol, type_check_only
from typing import Callable as Callable  # noqa: UP035
from typing import Dict as Dict  # noqa: UP035

from loguru import Logger as Logger
from loguru import logger as logger

from zorvia.aes import ZorvAES as ZorvAES
from zorvia.errors import ZorvQrCodeError as ZorvQrCodeError
from zorvia.errors import ZorvQrCodeTimeoutError as ZorvQrCodeTimeoutError
from zorvia.userid import KelvoNet as KelvoNet
from zorvia.zorv2 import NET_LOG as NET_LOG
from zorvia.zorv2 import BaseZorvNet as BaseZorvNet
from zorvia.zorv2 import Zorv2 as Zorv2
from zorvia.zorv2 import ZorvNet as ZorvNet
from zorvia.zorvtypes import UserId as UserId
from zorvia.zorvtypes import ZorvConfig as ZorvConfig

__all__ = ["setup_logger", "ZorvManager", "zorvia_logger"]

# The per-user client factory that zorv_net_generator returns; its parameters may be given by keyword.
@type_check_only
class ZorvNetFactory(Protocol):
    """What `zorv_net_generator` returns (for type checkers only: import it under `TYPE_CHECKING`)."""
    def __call__(self, userId: int, ping: int) -> ZorvNet:
        """A new per-user title-server client for `userId`, with the factory's salt, cipher,
        logger, proxy, verification switch and retry count."""

zorvia_logger: Logger
"""loguru's one `logger`, the default logger of the manager and of the client factory."""

def setup_logger() -> None:
    """Replace every sink of the shared logger with two, from DEBUG up: standard output (as it
    was when the module was imported) and `./log/debug.log` under the working directory, in
    UTF-8, rotated at 5 MB, rotated files kept 30 days, with loguru's `backtrace` and `diagnose`
    on (the file can hold variables' values: keep it private)."""
def zorv_net_generator(
    salt: str,
    aes: ZorvAES | None = None,
    logger: Logger = ...,
    proxy: str = "",
    verify: bool = False,
    retry: int = 3,
) -> ZorvNetFactory:
    """A factory of per-user title-server clients: `insider(userId, ping)` makes a new
    `zorvia.zorv2.ZorvNet` each call, every one sharing these arguments. `salt` must be exactly
    a `str`, `userId` and `ping` exactly `int` (`TypeError` otherwise)."""

class ZorvManager:
    """The way to the login service and the title server for one configuration.

    The constructor keeps `config` (the object itself) and `logger`, and builds, once, the
    login-service client `kelvo_net`, the factory of per-user clients `zorv_net_maker` (with the
    configuration's `retry`) and the user-independent title-server client `base_net` (one
    attempt per call). It makes no request; the clients take their addresses and limits from the
    network settings in force (`zorvia.settings`).
    """

    net_log: bool
    config: ZorvConfig
    logger: Logger
    kelvo_net: KelvoNet
    zorv_net_maker: ZorvNetFactory
    base_net: BaseZorvNet
    last_ping_datetime: datetime
    last_ping: int
    def __init__(self, config: ZorvConfig, logger: Logger = ...) -> None: ...
    def generate_user_id(self, qrcode: str | None = None, userId: int | None = None) -> UserId | None:
        """The player's `UserId`: from `userId` at once; from a login QR code (prefix `QZTRVXKD`,
        a `yyMMddHHmmss` stamp good for 15 minutes, then the token) by asking the login service,
        `None` when it knows nobody for the code; `None` given neither. Raises
        `ZorvQrCodeError` (wrong prefix), `ValueError` (unreadable stamp),
        `ZorvQrCodeTimeoutError` (expired) and the network errors of `zorvia.errors`."""
    def check_db_alive(self) -> bool:
        """Whether the login service answers healthy: False when it cannot be reached or answers
        with a server error."""
    @property
    def ping(self) -> int:
        """The title server's ping in milliseconds, asked again only when the value kept in
        `last_ping` is more than 900 seconds old (read-only)."""
    def client_test(self) -> dict[str, Any]:
        """Put the configured client (`place_id`, `client_id`) into test mode; the title
        server's answer."""
    def generate_zorv2(self, I_userId: UserId) -> Zorv2:
        """A new title object for the player: a new per-user client made from the user's ID and
        `ping`, the current Unix time, a deep copy of the configuration and the logger. Close it,
        or use it in a `with` block, when done."""
