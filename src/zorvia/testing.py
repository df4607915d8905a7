"""The local service as pytest fixtures, for the tests of programs built on this package.

Installed as a pytest plugin (the `pytest11` entry point `zorvia`), so the fixtures are there
wherever pytest and the package are, with nothing to import:

- `zorvia_service`: the local service (`zorvia.sim.SimService`) on free loopback ports, started
  once per test session; for each test the clients are pointed at it (the `ZORVIA_LOGIN_URL` and
  `ZORVIA_TITLE_URL` variables, and the settings set in code if any, all restored after the test),
  its injected faults are cleared and its request counts start at zero. `issue_qrcode()`,
  `inject()`, `requests`, `config` and `user_ids()` are what a test uses most.
- `zorvia_async_manager`: an `AsyncZorvManager` of that service's configuration, for async tests
  run by anyio's pytest plugin (`@pytest.mark.anyio`), closed after the test.

Loading the plugin imports nothing of the package beyond this module. The local service needs the
extra `zorvia[sim]`; without it a test that asks for the fixture fails saying so.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from zorvia.aio import AsyncZorvManager
    from zorvia.sim import SimService

NEEDS_SIM = "the zorvia_service fixture runs the local service, which needs: pip install 'zorvia[sim]'"


@pytest.fixture(scope="session")
def zorvia_service_session() -> Iterator[SimService]:
    """The local service of the whole session, as it is; tests ask for `zorvia_service`."""
    try:
        from zorvia.sim import SimService
    except ImportError as error:
        pytest.fail(f"{NEEDS_SIM} ({error})", pytrace=False)
    with SimService.start() as service:
        yield service


@pytest.fixture
def zorvia_service(zorvia_service_session: SimService, monkeypatch: pytest.MonkeyPatch) -> Iterator[SimService]:
    """The local service, with the clients pointed at it and no fault or count left from other tests."""
    from zorvia import settings

    service = zorvia_service_session
    for name, value in service.environ().items():
        monkeypatch.setenv(name, value)
    if settings._configured is not None:  # settings set in code win over the environment
        urls = {"login_url": service.login_url, "title_url": service.title_url}
        monkeypatch.setattr(settings, "_configured", settings._configured.model_copy(update=urls))
    service.clear_faults()
    service.requests.clear()
    yield service
    service.clear_faults()


@pytest.fixture
async def zorvia_async_manager(
    zorvia_service: SimService, anyio_backend: object
) -> AsyncIterator[AsyncZorvManager]:
    """An `AsyncZorvManager` for the local service's configuration, closed after the test."""
    from zorvia.aio import AsyncZorvManager

    async with AsyncZorvManager(zorvia_service.config) as manager:
        yield manager
