"""Fixtures of the manager tests, loaded by the test modules through `pytest_plugins`.

Behaviour fixtures run every test against both the native `zorvia.zorvmanager` and the plain-Python
reference in tests/reference.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from types import ModuleType
from typing import Any

import pytest
from loguru import logger
from manager_support import LOADERS, Clock, Companions, CountingConfig, Recorder, load_native


@pytest.fixture(params=list(LOADERS))
def zm(request: pytest.FixtureRequest) -> ModuleType:
    """The manager module under test: the native one, then the plain-Python reference."""
    return LOADERS[request.param]()


@pytest.fixture
def native() -> ModuleType:
    return load_native()


@pytest.fixture
def recorder() -> Recorder:
    return Recorder()


@pytest.fixture
def companions(zm: ModuleType, recorder: Recorder, monkeypatch: pytest.MonkeyPatch) -> Companions:
    """Binds the recording fake companion classes in the module under test."""
    fakes = Companions(recorder)
    for name, cls in fakes.classes.items():
        monkeypatch.setattr(zm, name, cls)
    return fakes


@pytest.fixture
def clock(zm: ModuleType, recorder: Recorder, monkeypatch: pytest.MonkeyPatch) -> Clock:
    """Binds a controllable `datetime` class and `time` function in the module under test."""
    controlled = Clock(recorder)
    monkeypatch.setattr(zm, "datetime", controlled.datetime)
    monkeypatch.setattr(zm, "time", controlled.time)
    return controlled


@pytest.fixture
def config(recorder: Recorder) -> CountingConfig:
    return CountingConfig(recorder)


@pytest.fixture
def manager(zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig, recorder: Recorder) -> Any:
    """A manager built from the counting configuration, with the construction events cleared."""
    built = zm.ZorvManager(config)
    recorder.take()
    return built


@pytest.fixture
def restore_logger() -> Iterator[None]:
    """Gives loguru's shared logger its default sink back after a test replaced its sinks."""
    yield
    logger.remove()
    logger.add(sys.stderr)
