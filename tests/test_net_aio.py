"""The awaitable road over real loopback HTTP, on asyncio and on trio (anyio's pytest plugin runs
each test on both): the same answers, bounds, retries and errors as the blocking road, and nothing
left open by a task cancelled on the way."""

from __future__ import annotations

import gc
import warnings

import anyio
import pytest
from loguru import logger
from net_support import HEAD, Captured, Peer, drip, finished

from zorvia import errors, protocol, zorv2
from zorvia._transport import WouldBlock, not_blocking
from zorvia.aes import ZorvAES
from zorvia.aio import AsyncZorv2, AsyncZorvManager, AsyncZorvNet
from zorvia.errors import ZorvQrCodeError
from zorvia.models import UserData, UserPreview
from zorvia.settings import NetSettings
from zorvia.sim import SimService
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId

pytest_plugins = ["net_fixtures"]
pytestmark = pytest.mark.anyio


async def test_every_sample_user_walks_the_awaited_road(sim: SimService, zorvia_async_manager: AsyncZorvManager) -> None:
    manager = zorvia_async_manager
    assert await manager.check_db_alive() is True
    assert await manager.client_test() == {"placeId": 1001, "clientId": "A63E01E0001", "testMode": True}
    for user_id, wire in sim.store.users.items():
        user = await manager.generate_user_id(qrcode=sim.issue_qrcode(user_id))
        assert user == UserId(userId=user_id)
        async with await manager.generate_zorv2(user) as title:
            preview, data = await title.preview(), await title.user_data()
            await title.logout()
        assert type(preview) is UserPreview and type(data) is UserData
        assert data.model_dump(mode="json", by_alias=True) == wire["data"]
        assert title.net._client.closed
    assert sim.requests[protocol.TITLE_LOGOUT] == len(sim.store.users)
    assert type(await manager.ping()) is int and sim.requests[protocol.TITLE_PING] == 1  # the manager's cache
    # The manager's own checks, before the service is asked; a known ID needs no service at all.
    with pytest.raises(ZorvQrCodeError):
        await manager.generate_user_id(qrcode="qztrvxkd" + sim.issue_qrcode()[8:])
    assert await manager.generate_user_id(userId=5) == UserId(userId=5)
    assert sim.requests[protocol.LOGIN_QRCODE] == len(sim.store.users)


@pytest.mark.parametrize(
    ("kind", "path", "error", "attempts"),
    [
        ("error_500", protocol.TITLE_USER_DATA, errors.ZorvServiceError, 3),
        ("slow", protocol.TITLE_PREVIEW, errors.ZorvTimeoutError, 3),
        ("error_500", protocol.TITLE_LOGOUT, errors.ZorvServiceError, 1),  # a logout is sent once
        ("forged_mac", protocol.TITLE_USER_DATA, errors.ZorvProtocolError, 1),
    ],
)
async def test_title_faults_end_in_the_same_errors_after_the_same_retries(
    sim: SimService, captured: Captured, monkeypatch: pytest.MonkeyPatch, kind: str, path: str, error: type, attempts: int
) -> None:
    monkeypatch.setenv("ZORVIA_TIMEOUT", "0.2")
    sim.inject(kind, path=path, delay=0.6)
    calls = {protocol.TITLE_USER_DATA: AsyncZorv2.user_data, protocol.TITLE_PREVIEW: AsyncZorv2.preview}
    async with AsyncZorvManager(sim.config, captured.logger) as manager:  # the sample configuration retries twice
        async with await manager.generate_zorv2(UserId(userId=sim.user_ids()[0])) as title:
            with pytest.raises(error) as caught:
                await calls.get(path, AsyncZorv2.logout)(title)
    assert caught.value.url == sim.title_url + path
    assert sim.requests[path] == attempts and len(captured.levels("WARNING")) == attempts - 1


async def test_the_login_service_down_is_not_alive(sim: SimService, down_url: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv(protocol.LOGIN_URL_ENV, down_url)
    async with AsyncZorvManager(sim.config) as manager:
        assert await manager.check_db_alive() is False
        with pytest.raises(errors.ZorvRefusedError):
            await manager.generate_user_id(qrcode=sim.issue_qrcode())


async def test_users_share_the_managers_connections_and_wait_for_one_within_their_deadline(
    sim: SimService, monkeypatch: pytest.MonkeyPatch
) -> None:
    sim.inject("slow", path=protocol.TITLE_LOGOUT, delay=1.0)
    first, second = (UserId(userId=user_id) for user_id in sim.user_ids()[:2])
    async with AsyncZorvManager(sim.config, connections=1) as manager:
        slow = await manager.generate_zorv2(first)
        monkeypatch.setenv("ZORVIA_DEADLINE", "0.3")
        waiting = await manager.generate_zorv2(second)
        assert slow.net._client._http is waiting.net._client._http is manager.manager.kelvo_net._client._http
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(slow.logout)  # holds the one connection for a second
            while not sim.requests[protocol.TITLE_LOGOUT]:
                await anyio.sleep(0.01)
            with pytest.raises(errors.ZorvTimeoutError, match="none of the 1 connections was free within the 0.3 s deadline"):
                await waiting.logout()
        assert sim.requests[protocol.TITLE_LOGOUT] == 1  # the second one was never sent
        await waiting.aclose()
        with pytest.raises(RuntimeError, match="closed"):
            await waiting.user_data()
        assert await slow.user_data() is not None  # the pool stays the manager's
    assert slow.net._client._http.is_closed


def test_a_blocking_call_that_needs_an_exchange_is_refused_unsent_where_it_may_not_block(sim: SimService) -> None:
    manager = ZorvManager(sim.config)
    with not_blocking(), pytest.raises(WouldBlock):
        manager.generate_zorv2(UserId(userId=sim.user_ids()[0]))  # the ping cache starts stale
    assert sim.requests[protocol.TITLE_PING] == 0 and manager.last_ping == 0
    assert manager.ping > 0
    with not_blocking():
        assert manager.generate_zorv2(UserId(userId=sim.user_ids()[0])).net.ping == manager.last_ping
    zorv2.close_manager(manager)


def test_a_dripping_peer_is_cut_by_the_deadline(anyio_backend: str) -> None:
    # Each byte comes well within the per-read timeout: only the deadline can end the drip.
    async def ping() -> object:
        settings = NetSettings(title_url=peer.url, timeout=0.4, deadline=0.8)
        async with AsyncZorvNet(0, "salt", 1, logger, ZorvAES("k" * 16, "i" * 16), "", True, 0, settings=settings) as net:
            return await net.get_preview()

    with Peer(drip(HEAD + bytes(1000), keep=len(HEAD))) as peer:
        error = finished(lambda: anyio.run(ping, backend=anyio_backend))
    assert type(error) is errors.ZorvTimeoutError and "deadline" in str(error) and len(peer.requests) == 1


@pytest.mark.parametrize("path", [protocol.TITLE_USER_DATA, protocol.TITLE_LOGOUT])
async def test_a_task_cancelled_mid_road_leaves_nothing_open(sim: SimService, captured: Captured, path: str) -> None:
    sim.inject("slow", path=path, delay=2.0)
    title: AsyncZorv2 | None = None

    async def road(manager: AsyncZorvManager) -> None:
        nonlocal title
        user = await manager.generate_user_id(qrcode=sim.issue_qrcode())
        async with await manager.generate_zorv2(user) as title:
            await title.user_data()
            await title.logout()

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        async with AsyncZorvManager(sim.config, captured.logger) as manager, anyio.create_task_group() as tasks:
            tasks.start_soon(road, manager)
            while not sim.requests[path]:  # the request is on its way: cancel the road now
                await anyio.sleep(0.01)
            tasks.cancel_scope.cancel()
        assert title is not None and title.net._client.closed
        assert manager.manager.kelvo_net._client.closed and all(pool.http.is_closed for pool in manager._pools.values())
        del title, manager
        gc.collect()
    assert [str(warning.message) for warning in seen if issubclass(warning.category, ResourceWarning)] == []
    await anyio.sleep(0.1)
    assert sim.requests[path] == 1  # never retried
    cancelled = [line for line in captured.levels("WARNING") if "the logout was cancelled" in line]
    assert len(cancelled) == (path == protocol.TITLE_LOGOUT)
