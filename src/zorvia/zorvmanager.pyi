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
    def __call__(self, userId: int, ping: int) -> ZorvNet: ...

zorvia_logger: Logger

def setup_logger() -> None: ...
def zorv_net_generator(
    salt: str,
    aes: ZorvAES | None = None,
    logger: Logger = ...,
    proxy: str = "",
    verify: bool = False,
    retry: int = 3,
) -> ZorvNetFactory: ...

class ZorvManager:
    net_log: bool
    config: ZorvConfig
    logger: Logger
    kelvo_net: KelvoNet
    zorv_net_maker: ZorvNetFactory
    base_net: BaseZorvNet
    last_ping_datetime: datetime
    last_ping: int
    def __init__(self, config: ZorvConfig, logger: Logger = ...) -> None: ...
    def generate_user_id(self, qrcode: str | None = None, userId: int | None = None) -> UserId | None: ...
    def check_db_alive(self) -> bool: ...
    @property
    def ping(self) -> int: ...
    def client_test(self) -> dict[str, Any]: ...
    def generate_zorv2(self, I_userId: UserId) -> Zorv2: ...
