"""The manager module as plain Python: the baseline of the benchmarks and of the differential tests.

Statement for statement it does what the native `zorvia.zorvmanager` does. The exact-type tests that
the native module makes while binding arguments and returning results are spelled out by
`_exact_argument` and `_exact_result`, with the same messages. Like the native tests, which come from
the annotations, they test against the builtin types themselves, whatever the module's names hold.
"""

from __future__ import annotations

from datetime import timedelta, datetime
from sys import stdout
from time import time
from typing import Callable, Dict

from loguru import logger
from loguru._logger import Logger

from zorvia.aes import ZorvAES
from zorvia.errors import ZorvQrCodeError, ZorvQrCodeTimeoutError
from zorvia.zorv2 import Zorv2, ZorvNet, BaseZorvNet, NET_LOG
from zorvia.zorvtypes import ZorvConfig, UserId
from zorvia.userid import KelvoNet

_HEAPTYPE = 1 << 9
_int, _str, _dict = int, str, dict


def _type_name(tp: type) -> str:
    # The C-level type name: dotted for static types that live outside builtins.
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def _exact_argument(name: str, value: object, expected: type, none_ok: bool = False) -> None:
    if type(value) is not expected and not (none_ok and value is None):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {_type_name(type(value))})"
        )


def _exact_result(value: object, expected: type) -> object:
    if type(value) is not expected and value is not None:
        raise TypeError(f"Expected {expected.__name__}, got {_type_name(type(value))}")
    return value


zorvia_logger = logger


def setup_logger():
    logger.remove()
    logger.add(stdout, filter=lambda record: record["level"].no >= logger.level("DEBUG").no)
    folder_ = "./log/"
    rotation_ = "5 MB"
    retention_ = "30 days"
    encoding_ = "utf-8"
    backtrace_ = True
    diagnose_ = True
    logger.add(
        folder_ + "debug.log",
        level="DEBUG",
        backtrace=backtrace_,
        diagnose=diagnose_,
        rotation=rotation_,
        retention=retention_,
        encoding=encoding_,
        filter=lambda record: record["level"].no >= logger.level("DEBUG").no,
    )


def zorv_net_generator(
    salt: str, aes: ZorvAES = None, logger: Logger = zorvia_logger, proxy="", verify=False, retry=3
) -> Callable[[int, int], ZorvNet]:
    _exact_argument("salt", salt, _str)

    def insider(userId: int, ping: int) -> ZorvNet:
        _exact_argument("userId", userId, _int)
        _exact_argument("ping", ping, _int)
        return ZorvNet(ping, salt, userId, logger, aes, proxy, verify, retry)

    return insider


class ZorvManager:
    def __init__(self, config: ZorvConfig, logger: Logger = zorvia_logger):
        self.net_log = NET_LOG
        self.config = config
        self.logger = logger
        self.kelvo_net = KelvoNet(
            keychip=config.keychip,
            kelvo_salt=config.kelvo_salt,
            proxy=config.proxy,
            verify=config.https_verify,
        )
        self.zorv_net_maker = zorv_net_generator(
            salt=config.zorv2_salt,
            logger=logger,
            aes=ZorvAES(key=config.aes_key, iv=config.aes_iv),
            proxy=config.proxy,
            verify=config.https_verify,
            retry=config.retry,
        )
        self.base_net = BaseZorvNet(
            salt=config.zorv2_salt,
            userId=config.keychip,
            logger=logger,
            aes=ZorvAES(key=config.aes_key, iv=config.aes_iv),
            proxy=config.proxy,
            verify=config.https_verify,
        )
        self.last_ping_datetime = datetime.now() - timedelta(hours=1)
        self.last_ping = 0

    def generate_user_id(self, qrcode: str = None, userId: int = None) -> UserId | None:
        _exact_argument("qrcode", qrcode, _str, none_ok=True)
        _exact_argument("userId", userId, _int, none_ok=True)
        if userId is not None:
            return UserId(userId=userId)
        if qrcode is None:
            return None
        if not qrcode.startswith("QZTRVXKD"):
            raise ZorvQrCodeError
        time_text = "20" + qrcode[8:20]
        stamp = datetime.strptime(time_text, "%Y%m%d%H%M%S")
        if datetime.now() >= stamp + timedelta(minutes=15):
            raise ZorvQrCodeTimeoutError
        return self.kelvo_net.get_user_id_by_qrcode(qrcode[20:])

    def check_db_alive(self) -> bool:
        return self.kelvo_net.check_alive()

    def ping(self) -> int:
        if (datetime.now() - self.last_ping_datetime).total_seconds() > 900:
            self.last_ping = self.base_net.ping()
            self.last_ping_datetime = datetime.now()
        return _exact_result(self.last_ping, _int)

    ping = property(ping)

    def client_test(self) -> Dict:
        return _exact_result(
            self.base_net.upsert_client_testmode(placeId=self.config.place_id, clientId=self.config.client_id),
            _dict,
        )

    def generate_zorv2(self, I_userId: UserId) -> Zorv2:
        time_now = int(time())
        return Zorv2(
            net=self.zorv_net_maker(I_userId.userId, self.ping),
            userId=I_userId,
            timestamp=time_now,
            config=self.config.model_copy(deep=True),
            logger=self.logger,
        )


__all__ = ["setup_logger", "ZorvManager", "zorvia_logger"]
