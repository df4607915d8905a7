"""Title-server clients and the per-user title object.

The clients reach the title server at $ZORVIA_TITLE_URL (read at construction), each over its
own pooled httpx client. Idempotent requests are retried `retry` times with exponential back-off
after a transport failure or a 5xx answer, each retry logged as a warning; a logout is never
retried. While `NET_LOG` is true every request is logged at DEBUG.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

from pydantic import ValidationError
from tenacity import RetryCallState, Retrying, retry_if_exception, stop_after_attempt, wait_exponential

from zorvia import protocol
from zorvia._transport import Closing, SealedClient, expect, net_log_from_env
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvNetworkError, ZorvProtocolError, ZorvServiceError

if TYPE_CHECKING:
    from loguru import Logger

    from zorvia.models import UserData, UserPreview
    from zorvia.zorvtypes import UserId, ZorvConfig

# True when $ZORVIA_NET_LOG is "1", "true", "yes" or "on" at import; read again at every request.
NET_LOG: bool = net_log_from_env()

# Seconds before the first retry; each further retry waits twice as long, up to BACKOFF_MAX.
DEFAULT_BACKOFF = 0.5
BACKOFF_MAX = 8.0

T = TypeVar("T")


def _transient(error: BaseException) -> bool:
    return isinstance(error, ZorvNetworkError) or (isinstance(error, ZorvServiceError) and error.status >= 500)


class _TitleClient(Closing):
    """What both title-server clients share: the sealed exchange and its retries."""

    def __init__(
        self,
        salt: str,
        userId: Any,
        logger: Logger,
        aes: ZorvAES | None,
        proxy: str,
        verify: bool,
        retry: int,
        timeout: float | None,
        backoff: float | None,
    ) -> None:
        if aes is None:
            raise TypeError("the title server speaks only encrypted bodies: aes must be a ZorvAES, not None")
        if type(retry) is not int or retry < 0:
            raise ValueError(f"retry must be an int >= 0, got {retry!r}")
        self.salt = salt
        self.userId = userId
        self.logger = logger
        self.aes = aes
        self.proxy = proxy
        self.verify = verify
        self.retry = retry
        self.backoff = DEFAULT_BACKOFF if backoff is None else backoff
        self._client = SealedClient(
            protocol.title_url(),
            protocol.Envelope(salt, aes),
            proxy=proxy,
            verify=verify,
            timeout=timeout,
            logger=logger,
            net_log=lambda: bool(NET_LOG),
        )

    @property
    def base_url(self) -> str:
        return self._client.base_url

    def _log_retry(self, state: RetryCallState) -> None:
        error = state.outcome.exception() if state.outcome is not None else None
        path = state.args[0] if state.args else "?"
        pause = state.next_action.sleep if state.next_action is not None else 0.0
        self.logger.warning(
            "title server {} failed ({}); retry {} of {} in {:.2f} s", path, error, state.attempt_number, self.retry, pause
        )

    def _retried(self, attempt: Callable[..., T], path: str, data: dict[str, Any]) -> T:
        retrying = Retrying(
            stop=stop_after_attempt(self.retry + 1),
            wait=wait_exponential(multiplier=self.backoff, max=BACKOFF_MAX),
            retry=retry_if_exception(_transient),
            before_sleep=self._log_retry,
            reraise=True,
        )
        return retrying(attempt, path, data)

    def _request(self, path: str, **data: Any) -> dict[str, Any]:
        """An idempotent request: retried after transient failures."""
        answer, _ = self._retried(self._client.exchange, path, {"userId": self.userId, **data})
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
        retry: int = 3,
        *,
        timeout: float | None = None,
        backoff: float | None = None,
    ) -> None:
        super().__init__(salt, userId, logger, aes, proxy, verify, retry, timeout, backoff)

    def ping(self) -> int:
        """The round trip of one ping in whole milliseconds (of the attempt that succeeded)."""
        _, elapsed = self._retried(self._client.exchange, protocol.TITLE_PING, {"userId": self.userId})
        return round(elapsed * 1000)

    def upsert_client_testmode(self, placeId: int, clientId: str) -> dict[str, Any]:
        """Puts the client into test mode for the place; the service's answer."""
        return self._request(protocol.TITLE_TESTMODE, placeId=placeId, clientId=clientId)


class ZorvNet(_TitleClient):
    """One user's connection to the title server (built by the manager's factory)."""

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
        timeout: float | None = None,
        backoff: float | None = None,
    ) -> None:
        super().__init__(salt, userId, logger, aes, proxy, verify, retry, timeout, backoff)
        self.ping = ping

    def get_preview(self) -> dict[str, Any]:
        return self._request(protocol.TITLE_PREVIEW)

    def get_user_data(self) -> dict[str, Any]:
        return self._request(protocol.TITLE_USER_DATA)

    def logout(self, timestamp: int) -> None:
        """Ends the user's session: one attempt, never retried (a repeat could end a newer session)."""
        answer, _ = self._client.exchange(protocol.TITLE_LOGOUT, {"userId": self.userId, "timestamp": timestamp})
        expect(answer, "loggedOut", bool, protocol.TITLE_LOGOUT)


class Zorv2(Closing):
    """One user's title object: the user's preview and data as models, and the logout."""

    def __init__(self, net: ZorvNet, userId: UserId, timestamp: int, config: ZorvConfig, logger: Logger) -> None:
        self.net = net
        self.userId = userId
        self.timestamp = timestamp
        self.config = config
        self.logger = logger

    def preview(self) -> UserPreview:
        from zorvia.models import UserPreview

        return _validated(UserPreview, self.net.get_preview(), protocol.TITLE_PREVIEW)

    def user_data(self) -> UserData:
        from zorvia.models import UserData

        return _validated(UserData, self.net.get_user_data(), protocol.TITLE_USER_DATA)

    def logout(self) -> None:
        self.net.logout(self.timestamp)

    def close(self) -> None:
        self.net.close()


def _validated(model: type[T], data: dict[str, Any], path: str) -> T:
    try:
        return model.model_validate(data)  # type: ignore[attr-defined,no-any-return]
    except ValidationError as error:
        raise ZorvProtocolError(f"{path}: the answer does not fit {model.__name__}: {error}") from error
