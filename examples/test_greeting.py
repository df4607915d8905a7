"""Tests of one's own code against the local service, through the `zorvia_service` fixture that
the package's pytest plugin provides (pip install 'zorvia[sim]'; for the async test, anyio's
pytest plugin, installed with anyio, runs it)."""

import pytest

from zorvia.aio import AsyncZorvManager
from zorvia.errors import ZorvProtocolError
from zorvia.sim import SimService
from zorvia.zorvmanager import ZorvManager


def greeting(manager: ZorvManager, qrcode: str) -> str:
    """The code under test: a bot's answer to a player who shows it a login QR code."""
    user_id = manager.generate_user_id(qrcode=qrcode)
    if user_id is None:
        return "I do not know this code."
    with manager.generate_zorv2(user_id) as zorv2:
        return f"Hello, {zorv2.preview().user_name}!"


def test_greets_the_player_once_per_code(zorvia_service: SimService) -> None:
    manager = ZorvManager(zorvia_service.config)
    qrcode = zorvia_service.issue_qrcode()
    assert greeting(manager, qrcode) == "Hello, AOI!"
    assert greeting(manager, qrcode) == "I do not know this code."  # a code serves one login


def test_an_answer_that_fails_authentication_is_an_error(zorvia_service: SimService) -> None:
    zorvia_service.inject("forged_mac", path="/title/v1/user/preview")
    with pytest.raises(ZorvProtocolError):
        greeting(ZorvManager(zorvia_service.config), zorvia_service.issue_qrcode())


@pytest.mark.anyio
async def test_greets_the_player_from_an_event_loop(
    zorvia_service: SimService, zorvia_async_manager: AsyncZorvManager
) -> None:
    user_id = await zorvia_async_manager.generate_user_id(qrcode=zorvia_service.issue_qrcode())
    assert user_id is not None
    async with await zorvia_async_manager.generate_zorv2(user_id) as zorv2:
        assert (await zorv2.preview()).user_name == "AOI"
