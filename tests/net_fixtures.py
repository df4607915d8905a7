"""Fixtures of the network tests: one local service for the session, free ports with nothing behind
them, and a logger whose records a test can read. Loaded by the test modules through `pytest_plugins`."""

from __future__ import annotations

import socket
from collections.abc import Iterator

import pytest
from loguru import logger
from net_support import Captured

from zorvia.sim import SimService


@pytest.fixture(scope="session")
def sim_session() -> Iterator[SimService]:
    with SimService.start() as service:
        yield service


@pytest.fixture
def sim(sim_session: SimService, monkeypatch: pytest.MonkeyPatch) -> Iterator[SimService]:
    """The local service, with the clients pointed at it and no fault left over from other tests."""
    for name, value in sim_session.environ().items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("ZORVIA_BACKOFF", "0.01")
    sim_session.clear_faults()
    sim_session.requests.clear()
    yield sim_session
    sim_session.clear_faults()


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
