"""The road for programs on an event loop: awaitable calls that never block the loop.

    async with AsyncZorvManager(config) as manager:
        user_id = await manager.generate_user_id(qrcode=qrcode)
        async with await manager.generate_zorv2(user_id) as zorv2:
            data = await zorv2.user_data()
            await zorv2.logout()

Runs on asyncio, and on trio through anyio. The native `ZorvManager` stays what it is, synchronous:
an `AsyncZorvManager` holds one and leaves it every decision (the QR code's checks, the ping cache,
the per-user client factory). Its login client is swapped for the awaitable twin, whose calls the
manager hands back unchanged, so a login is awaited on the loop. A call that reaches the title
server through the manager's own blocking client (`client_test()`, and `ping()` or
`generate_zorv2()` when the manager's ping cache is stale) runs on a worker thread, at most
`threads` at once; `ping()` and `generate_zorv2()` with a fresh cache run on the loop. Each
user's client is the awaitable twin of the one the manager's factory made, on `httpx2.AsyncClient`
through the manager's pool of connections, keeping the same deadline, size bound, retries and
errors as the blocking clients (`zorvia._transport`).

Cancelling a task mid-road closes what it opened on the way out of its `async with` blocks. A
logout is sent once and never retried: one that is cancelled is logged as a warning, since the
service may or may not have ended the session, and the cancellation goes on to the caller.
"""

from __future__ import annotations

import inspect
from operator import attrgetter
from typing import TYPE_CHECKING, Any

import anyio
from anyio import to_thread
from tenacity import AsyncRetrying

from zorvia import protocol
from zorvia._transport import Answer, AsyncClosing, AsyncPool, AsyncSealedClient, WouldBlock, not_blocking, replaying
from zorvia.errors import ZorvError, ZorvNetworkError, ZorvServiceError
from zorvia.userid import KelvoNet, LoginClient
from zorvia.zorv2 import TitleObject, UserClient, ZorvNet
from zorvia.zorvmanager import ZorvManager, zorvia_logger

if TYPE_CHECKING:
    from loguru import Logger

    from zorvia.models import UserData, UserPreview
    from zorvia.zorvtypes import UserId, ZorvConfig

__all__ = ["DEFAULT_CONNECTIONS", "DEFAULT_THREADS", "AsyncKelvoNet", "AsyncZorv2", "AsyncZorvManager", "AsyncZorvNet"]

# Worker threads an AsyncZorvManager runs the manager's blocking calls on, at most, by default.
DEFAULT_THREADS = 4
# Connections an AsyncZorvManager's pool holds at most, by default.
DEFAULT_CONNECTIONS = 8

_ping = attrgetter("ping")


class AsyncKelvoNet(LoginClient, AsyncClosing):
    """The login service's client with awaitable calls: `zorvia.userid.KelvoNet`'s twin."""

    _sealed = AsyncSealedClient
    _client: AsyncSealedClient

    @classmethod
    def of(cls, client: KelvoNet, pool: AsyncPool | None = None) -> AsyncKelvoNet:
        """The awaitable twin of a blocking client: its keychip, salt, proxy and settings; `pool`:
        the connections to send through (default: a pool of its own)."""
        return cls(client.keychip, client.kelvo_salt, client.proxy, client.verify, settings=client.settings, pool=pool)

    async def get_user_id_by_qrcode(self, text: str) -> UserId | None:
        return self._user_id(await self._client.exchange(protocol.LOGIN_QRCODE, self._qrcode_request(text)))

    async def check_alive(self) -> bool:
        try:
            answer = await self._client.exchange(protocol.LOGIN_HEALTH, self._health_request())
        except (ZorvNetworkError, ZorvServiceError) as error:
            return self._down(error)
        return self._healthy(answer)

    async def aclose(self) -> None:
        await self._client.aclose()


class AsyncZorvNet(UserClient, AsyncClosing):
    """One user's title-server client with awaitable calls: `zorvia.zorv2.ZorvNet`'s twin."""

    _sealed = AsyncSealedClient
    _client: AsyncSealedClient

    @classmethod
    def of(cls, net: ZorvNet, pool: AsyncPool | None = None) -> AsyncZorvNet:
        """The awaitable twin of a client the manager's factory made; `pool`: the connections to
        send through (default: a pool of its own)."""
        return cls(
            net.ping, net.salt, net.userId, net.logger, net.aes, net.proxy, net.verify, net.retry,
            settings=net.settings, pool=pool,
        )  # fmt: skip

    async def _request(self, path: str, **data: Any) -> Answer:
        """An idempotent request: retried after transient failures."""
        payload = self._data(**data)
        try:
            return await self._client.exchange(path, payload)
        except ZorvError as error:
            retries = self._retries(error)
            if retries is None:
                raise
            exchange = replaying(error, self._client.exchange)
        answer: Answer = await AsyncRetrying(**retries)(exchange, path, payload)
        return answer

    async def get_preview(self) -> dict[str, Any]:
        return (await self._request(protocol.TITLE_PREVIEW)).data

    async def get_user_data(self) -> dict[str, Any]:
        return (await self._request(protocol.TITLE_USER_DATA)).data

    async def logout(self, timestamp: int) -> None:
        """Ends the user's session: one attempt, never retried (a repeat could end a newer session)."""
        try:
            answer = await self._client.exchange(protocol.TITLE_LOGOUT, self._data(timestamp=timestamp))
        except anyio.get_cancelled_exc_class():
            self.logger.warning(
                "{}: the logout was cancelled; the session may or may not have ended",
                self.endpoint(protocol.TITLE_LOGOUT),
            )
            raise
        answer.field("loggedOut", bool)

    async def aclose(self) -> None:
        await self._client.aclose()


class AsyncZorv2(TitleObject, AsyncClosing):
    """One user's title object with awaitable calls: `zorvia.zorv2.Zorv2`'s twin. `async with`
    closes its client."""

    net: AsyncZorvNet

    def __init__(self, net: AsyncZorvNet, userId: UserId, timestamp: int, config: ZorvConfig, logger: Logger) -> None:
        super().__init__(net, userId, timestamp, config, logger)

    async def preview(self) -> UserPreview:
        return self._preview(await self.net.get_preview())

    async def user_data(self) -> UserData:
        return self._user_data(await self.net.get_user_data())

    async def logout(self) -> None:
        await self.net.logout(self.timestamp)

    async def aclose(self) -> None:
        await self.net.aclose()


class AsyncZorvManager(AsyncClosing):
    """A `ZorvManager` for one event loop: the same calls, awaited.

    `manager` is the native manager it holds, built from `config` and `logger`; its login client
    is the awaitable `AsyncKelvoNet`. The login client and every user's client send through
    one pool of connections of the manager's (`zorvia._transport.AsyncPool`): at most
    `connections` exchanges are in flight at once, and the others wait for a free connection
    within their deadline. Its blocking calls run on at most `threads` worker threads at once.
    `async with` (or `aclose()`) closes the pool, the login client and the manager's own
    title-server client.
    """

    def __init__(
        self,
        config: ZorvConfig,
        logger: Logger = zorvia_logger,
        *,
        threads: int = DEFAULT_THREADS,
        connections: int = DEFAULT_CONNECTIONS,
    ) -> None:
        for name, value in (("threads", threads), ("connections", connections)):
            if type(value) is not int or value < 1:
                raise ValueError(f"{name} must be an int >= 1, got {value!r}")
        self.manager = manager = ZorvManager(config, logger)
        self._connections = connections
        self._pools: dict[tuple[str, bool], AsyncPool] = {}
        blocking = manager.kelvo_net
        # The manager hands back what its login client returns, unchanged: given the awaitable
        # twin, its QR checks run as they are and the exchange is awaited here.
        self._login = AsyncKelvoNet.of(blocking, self._pool(blocking.proxy, blocking.verify))
        manager.kelvo_net = self._login  # type: ignore[assignment]  # the same calls, awaited
        blocking.close()
        self._threads = anyio.CapacityLimiter(threads)

    def _pool(self, proxy: str, verify: bool) -> AsyncPool:
        """The manager's pool for clients with this proxy and verification (one, as a rule)."""
        key = (proxy, bool(verify))
        pool = self._pools.get(key)
        if pool is None:
            pool = self._pools[key] = AsyncPool(proxy, verify, self._connections)
        return pool

    async def _off_loop(self, call: Any, *args: Any) -> Any:
        return await to_thread.run_sync(call, *args, limiter=self._threads)

    async def _blocking(self, call: Any, *args: Any) -> Any:
        """`call(*args)`, a call of the manager's: on the loop when the manager makes it without
        an exchange (its ping cache is fresh), else again on a worker thread."""
        try:
            with not_blocking():
                return call(*args)
        except WouldBlock:  # nothing was sent, and the manager changed nothing
            return await self._off_loop(call, *args)

    async def generate_user_id(self, qrcode: str | None = None, userId: int | None = None) -> UserId | None:
        """`ZorvManager.generate_user_id`, with the login service's answer awaited."""
        user_id = self.manager.generate_user_id(qrcode, userId)
        if inspect.isawaitable(user_id):  # the service was asked (a known ID or no code needs it not)
            user_id = await user_id
        return user_id

    async def check_db_alive(self) -> bool:
        alive: bool = await self.manager.check_db_alive()  # type: ignore[misc]
        return alive

    async def ping(self) -> int:
        """The manager's cached ping (the title server is asked when it is over 900 s old)."""
        ping: int = await self._blocking(_ping, self.manager)
        return ping

    async def client_test(self) -> dict[str, Any]:
        result: dict[str, Any] = await self._off_loop(self.manager.client_test)
        return result

    async def generate_zorv2(self, I_userId: UserId) -> AsyncZorv2:
        """The user's awaitable title object: the manager's, with the awaitable twin of its client."""
        zorv2 = await self._blocking(self.manager.generate_zorv2, I_userId)
        blocking = zorv2.net
        try:
            net = AsyncZorvNet.of(blocking, self._pool(blocking.proxy, blocking.verify))
        finally:
            blocking.close()
        return AsyncZorv2(net=net, userId=zorv2.userId, timestamp=zorv2.timestamp, config=zorv2.config, logger=zorv2.logger)

    async def aclose(self) -> None:
        """Closes the pool, the login client and the manager's own title-server client; the
        users' title objects can no longer be used then."""
        self.manager.base_net.close()
        await self._login.aclose()
        for pool in self._pools.values():
            await pool.aclose()
