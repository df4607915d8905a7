"""Fixtures of the network tests: the package's own `zorvia_service` (zorvia.testing) with quick
retries, free ports with nothing behind them, and a logger whose records a test can read. Loaded
by the test modules through `pytest_plugins`."""

from __future__ import annotations

import socket
from collections.abc import Iterator

import pytest
from loguru import logger
from net_support import Captured

from zorvia.sim import SimService


@pytest.fixture
def sim(zorvia_service: SimService, monkeypatch: pytest.MonkeyPatch) -> SimService:
    """The plugin's local service, with the first retry 10 ms after a failure."""
    monkeypatch.setenv("ZORVIA_BACKOFF", "0.01")
    return zorvia_service


@pytest.fixture
def down_url() -> str:
    """A loopback address where nothing listens (connections to it are refused)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"


@pytest.fixture
def captured() -> Iterator[Captured]:
    seen = Captured()
    sink_id = logger.add(seen.sink, level="DEBUG", filter=seen.mine)
    yield seen
    logger.remove(sink_id)
