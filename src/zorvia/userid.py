"""Client of the QR login service."""

from __future__ import annotations

from typing import Any, ClassVar

from zorvia import protocol, zorv2
from zorvia._masked import MaskedStr
from zorvia._transport import Answer, AsyncPool, AsyncSealedClient, Closing, SealedClient
from zorvia.errors import ZorvNetworkError, ZorvServiceError
from zorvia.settings import NetSettings, current
from zorvia.zorvtypes import UserId

SERVICE = "login service"


class LoginClient:
    """What the login service's clients share, whether their calls block or are awaited: the
    keychip, the salt and the reading of the service's answers (`zorvia.aio.AsyncKelvoNet` is
    the awaitable one; `pool`: the `AsyncPool` it sends through, shared with others, by default
    a pool of its own)."""

    _sealed: ClassVar[type[SealedClient] | type[AsyncSealedClient]] = SealedClient

    def __init__(
        self,
        keychip: str,
        kelvo_salt: str,
        proxy: str = "",
        verify: bool = True,
        *,
        settings: NetSettings | None = None,
        pool: AsyncPool | None = None,
    ) -> None:
        self.keychip = MaskedStr(keychip)
        self.kelvo_salt = MaskedStr(kelvo_salt)
        self.proxy = proxy
        self.verify = verify
        self.settings = settings = current() if settings is None else settings
        self._client = self._sealed(
            SERVICE,
            settings.login_url,
            protocol.Envelope(self.kelvo_salt),
            proxy=proxy,
            verify=verify,
            settings=settings,
            logger=None,
            net_log=lambda: settings.net_log or bool(zorv2.NET_LOG),
            pool=pool,
        )

    @property
    def base_url(self) -> str:
        return self._client.base_url

    def _qrcode_request(self, text: str) -> dict[str, Any]:
        return {"keychip": self.keychip, "token": text}

    def _health_request(self) -> dict[str, Any]:
        return {"keychip": self.keychip}

    @staticmethod
    def _user_id(answer: Answer) -> UserId | None:
        user_id = answer.field("userId", int, type(None))
        return None if user_id is None else UserId(userId=user_id)

    @staticmethod
    def _healthy(answer: Answer) -> bool:
        return answer.data.get("status") == "ok"

    @staticmethod
    def _down(error: ZorvNetworkError | ZorvServiceError) -> bool:
        """False for a service that is unreachable or unhealthy (5xx); any other error propagates."""
        if isinstance(error, ZorvServiceError) and error.status < 500:
            raise error
        return False


class KelvoNet(LoginClient, Closing):
    """One pooled connection to the login service, whose address is the settings' `login_url`.

    Requests and answers are authenticated with `kelvo_salt`; the service learns the keychip
    with every request. A request is made once, never retried. `settings` (default: those in
    force, `zorvia.settings.current()`) are taken when the client is built.
    """

    _client: SealedClient

    def get_user_id_by_qrcode(self, text: str) -> UserId | None:
        """The user the code's remainder `text` stands for; None when the service does not know it."""
        return self._user_id(self._client.exchange(protocol.LOGIN_QRCODE, self._qrcode_request(text)))

    def check_alive(self) -> bool:
        """True when the service answers healthy; False when it is unreachable or unhealthy (5xx).

        A service that refuses this client (4xx) or an answer that fails authentication is not
        "down": that ZorvServiceError or ZorvProtocolError propagates.
        """
        try:
            answer = self._client.exchange(protocol.LOGIN_HEALTH, self._health_request())
        except (ZorvNetworkError, ZorvServiceError) as error:
            return self._down(error)
        return self._healthy(answer)

    def close(self) -> None:
        self._client.close()
