"""Title-server clients and the per-user title object.

The clients reach the title server at the settings' `title_url` (`zorvia.settings`, taken when a
client is built), each over its own pooled httpx2 client. After a transport failure or a 5xx
answer, an idempotent request is retried `retry` times, each retry logged as a warning: the
per-user `ZorvNet` gets the configuration's `retry` from the manager's factory, while
`BaseZorvNet`, which the manager builds without one, makes one attempt per call. A logout is
never retried. Every request is logged at DEBUG while the settings' `net_log` or `NET_LOG` is on.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

from pydantic import ValidationError
from tenacity import RetryCallState, Retrying

from zorvia import protocol
from zorvia._masked import MaskedStr
from zorvia._transport import (
    Answer,
    AsyncPool,
    AsyncSealedClient,
    Closing,
    Endpoint,
    SealedClient,
    replaying,
    retry_policy,
    transient,
)
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvError
from zorvia.settings import NetSettings, current

if TYPE_CHECKING:
    from loguru import Logger

    from zorvia.models import UserData, UserPreview
    from zorvia.zorvmanager import ZorvManager
    from zorvia.zorvtypes import UserId, ZorvConfig

SERVICE = "title server"

# Turns request logging on for every client at once, read at every request (`zorvia demo
# --net-log` sets it); the settings' `net_log` (ZORVIA_NET_LOG) does so for the clients built with them.
NET_LOG: bool = False

T = TypeVar("T")


class TitleClient:
    """What the title server's clients share, whether their calls block or are awaited: the
    checks of their arguments, the sealed exchange and its retries (`zorvia.aio.AsyncZorvNet`
    is the awaitable per-user client)."""

    _sealed: ClassVar[type[SealedClient] | type[AsyncSealedClient]] = SealedClient

    def __init__(
        self,
        salt: str,
        userId: Any,
        logger: Logger,
        aes: ZorvAES | None,
        proxy: str,
        verify: bool,
        retry: int,
        settings: NetSettings | None,
        pool: AsyncPool | None = None,
    ) -> None:
        if aes is None:
            raise TypeError("the title server speaks only encrypted bodies: aes must be a ZorvAES, not None")
        if type(retry) is not int or retry < 0:
            raise ValueError(f"retry must be an int >= 0, got {retry!r}")
        self.salt = MaskedStr(salt)
        self.userId: Any = MaskedStr(userId) if isinstance(userId, str) else userId  # a keychip is a secret
        self.logger = logger
        self.aes = aes
        self.proxy = proxy
        self.verify = verify
        self.retry = retry
        self.settings = settings = current() if settings is None else settings
        self._client = self._sealed(
            SERVICE,
            settings.title_url,
            protocol.Envelope(self.salt, aes),
            proxy=proxy,
            verify=verify,
            settings=settings,
            logger=logger,
            net_log=lambda: settings.net_log or bool(NET_LOG),
            pool=pool,
        )

    @property
    def base_url(self) -> str:
        return self._client.base_url

    def endpoint(self, path: str) -> Endpoint:
        return self._client.endpoint(path)

    def _log_retry(self, state: RetryCallState) -> None:
        error = state.outcome.exception() if state.outcome is not None else None  # names the endpoint
        pause = state.next_action.sleep if state.next_action is not None else 0.0
        self.logger.warning("{}; retry {} of {} in {:.2f} s", error, state.attempt_number, self.retry, pause)

    def _retries(self, failed: ZorvError) -> dict[str, Any] | None:
        """tenacity's arguments for the retries of an idempotent request whose first attempt,
        made outside tenacity, failed with `failed`: None when that failure is not retried."""
        if not (self.retry and transient(failed)):
            return None
        return retry_policy(self.retry, self.settings.backoff, self._log_retry)

    def _data(self, **data: Any) -> dict[str, Any]:
        return {"userId": self.userId, **data}


class _TitleClient(TitleClient, Closing):
    _client: SealedClient

    def _request(self, path: str, **data: Any) -> Answer:
        """An idempotent request: retried after transient failures."""
        payload = self._data(**data)
        try:
            return self._client.exchange(path, payload)
        except ZorvError as error:
            retries = self._retries(error)
            if retries is None:
                raise
            exchange = replaying(error, self._client.exchange)
        answer: Answer = Retrying(**retries)(exchange, path, payload)
        return answer

    def close(self) -> None:
        self._client.close()


class BaseZorvNet(_TitleClient):
    """The connection to the title server that belongs to no user; `userId` is the keychip."""

    def __init__(
        self,
        salt: str,
        userId: str,
        logger: Logger,
        aes: ZorvAES | None,
        proxy: str = "",
        verify: bool = True,
        retry: int = 0,
        *,
        settings: NetSettings | None = None,
    ) -> None:
        super().__init__(salt, userId, logger, aes, proxy, verify, retry, settings)

    def ping(self) -> int:
        """The round trip of one ping in whole milliseconds (of the attempt that succeeded)."""
        return round(self._request(protocol.TITLE_PING).elapsed * 1000)

    def upsert_client_testmode(self, placeId: int, clientId: str) -> dict[str, Any]:
        """Puts the client into test mode for the place; the service's answer."""
        return self._request(protocol.TITLE_TESTMODE, placeId=placeId, clientId=clientId).data


class UserClient(TitleClient):
    """What both per-user clients take: the ping value they are made with, first, and the rest
    positionally, as the manager's factory passes them; `pool`: the `AsyncPool` an
    awaitable one sends through, shared with others (default: a pool of its own)."""

    def __init__(
        self,
        ping: int,
        salt: str,
        userId: int,
        logger: Logger,
        aes: ZorvAES | None,
        proxy: str,
        verify: bool,
        retry: int,
        *,
        settings: NetSettings | None = None,
        pool: AsyncPool | None = None,
    ) -> None:
        super().__init__(salt, userId, logger, aes, proxy, verify, retry, settings, pool)
        self.ping = ping


class ZorvNet(UserClient, _TitleClient):
    """One user's connection to the title server (built by the manager's factory)."""

    def get_preview(self) -> dict[str, Any]:
        return self._request(protocol.TITLE_PREVIEW).data

    def get_user_data(self) -> dict[str, Any]:
        return self._request(protocol.TITLE_USER_DATA).data

    def logout(self, timestamp: int) -> None:
        """Ends the user's session: one attempt, never retried (a repeat could end a newer session)."""
        self._client.exchange(protocol.TITLE_LOGOUT, self._data(timestamp=timestamp)).field("loggedOut", bool)


class TitleObject:
    """What both per-user title objects share, whether their calls block or are awaited: what
    the manager hands them, and the reading of the answers into models (`zorvia.aio.AsyncZorv2`
    is the awaitable one)."""

    def __init__(self, net: Any, userId: UserId, timestamp: int, config: ZorvConfig, logger: Logger) -> None:
        self.net = net
        self.userId = userId
        self.timestamp = timestamp
        self.config = config
        self.logger = logger

    def _preview(self, data: dict[str, Any]) -> UserPreview:
        from zorvia.models import UserPreview

        return _validated(UserPreview, data, self.net.endpoint(protocol.TITLE_PREVIEW))

    def _user_data(self, data: dict[str, Any]) -> UserData:
        from zorvia.models import UserData

        return _validated(UserData, data, self.net.endpoint(protocol.TITLE_USER_DATA))


class Zorv2(TitleObject, Closing):
    """One user's title object: the user's preview and data as models, and the logout."""

    net: ZorvNet

    def __init__(self, net: ZorvNet, userId: UserId, timestamp: int, config: ZorvConfig, logger: Logger) -> None:
        super().__init__(net, userId, timestamp, config, logger)

    def preview(self) -> UserPreview:
        return self._preview(self.net.get_preview())

    def user_data(self) -> UserData:
        return self._user_data(self.net.get_user_data())

    def logout(self) -> None:
        self.net.logout(self.timestamp)

    def close(self) -> None:
        """Closes the user's client (leaving a `with` block does it too)."""
        self.net.close()


def close_manager(manager: ZorvManager) -> None:
    """Closes the two clients a `ZorvManager` holds, `kelvo_net` and `base_net`, at once.

    The manager has no `close` of its own; the per-user clients belong to their `Zorv2` objects.
    A client that is not closed releases its connections when it is collected.
    """
    manager.kelvo_net.close()
    manager.base_net.close()


def _validated(model: type[T], data: dict[str, Any], endpoint: Endpoint) -> T:
    try:
        return model.model_validate(data)  # type: ignore[attr-defined,no-any-return]
    except ValidationError as error:
        raise endpoint.protocol_error(f"the answer does not fit {model.__name__}: {error}") from error
