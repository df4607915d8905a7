"""Helpers of the network tests: a logger whose records a test can read, and clients built from
the local service's configuration. The fixtures built on them live in net_fixtures.py."""

from __future__ import annotations

import uuid
from typing import Any

from loguru import logger

from zorvia import zorv2
from zorvia.aes import ZorvAES
from zorvia.sim import SimService


class Captured:
    """A logger bound to one test, and the records it wrote as (level, message)."""

    def __init__(self) -> None:
        self.key = uuid.uuid4().hex
        self.logger: Any = logger.bind(test_key=self.key)
        self.records: list[tuple[str, str]] = []

    def sink(self, message: Any) -> None:
        record = message.record
        self.records.append((record["level"].name, record["message"]))

    def mine(self, record: Any) -> bool:
        return bool(record["extra"].get("test_key") == self.key)

    def levels(self, level: str) -> list[str]:
        return [text for name, text in self.records if name == level]


def title_cipher(service: SimService) -> ZorvAES:
    return ZorvAES(key=service.config.aes_key, iv=service.config.aes_iv)


def user_net(service: SimService, log: Any, *, retry: int = 2, user_id: int | None = None, **extra: Any) -> zorv2.ZorvNet:
    """A per-user title client for the service's configuration, positional as the manager's factory builds it."""
    config = service.config
    uid = service.user_ids()[0] if user_id is None else user_id
    return zorv2.ZorvNet(0, config.zorv2_salt, uid, log, title_cipher(service), "", True, retry, **extra)
