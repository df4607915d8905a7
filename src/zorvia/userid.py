"""Client of the QR login service."""

from __future__ import annotations

from zorvia import protocol, zorv2
from zorvia._masked import MaskedStr
from zorvia._transport import Closing, SealedClient
from zorvia.errors import ZorvNetworkError, ZorvServiceError
from zorvia.settings import NetSettings, current
from zorvia.zorvtypes import UserId

SERVICE = "login service"


class KelvoNet(Closing):
    """One pooled connection to the login service, whose address is the settings' `login_url`.

    Requests and answers are authenticated with `kelvo_salt`; the service learns the keychip
    with every request. A request is made once, never retried. `settings` (default: those in
    force, `zorvia.settings.current()`) are taken when the client is built.
    """

    def __init__(
        self,
        keychip: str,
        kelvo_salt: str,
        proxy: str = "",
        verify: bool = True,
        *,
        settings: NetSettings | None = None,
    ) -> None:
        self.keychip = MaskedStr(keychip)
        self.kelvo_salt = MaskedStr(kelvo_salt)
        self.proxy = proxy
        self.verify = verify
        self.settings = settings = current() if settings is None else settings
        self._client = SealedClient(
            SERVICE,
            settings.login_url,
            protocol.Envelope(self.kelvo_salt),
            proxy=proxy,
            verify=verify,
            settings=settings,
            logger=None,
            net_log=lambda: settings.net_log or bool(zorv2.NET_LOG),
        )

    @property
    def base_url(self) -> str:
        return self._client.base_url

    def get_user_id_by_qrcode(self, text: str) -> UserId | None:
        """The user the code's remainder `text` stands for; None when the service does not know it."""
        answer = self._client.exchange(protocol.LOGIN_QRCODE, {"keychip": self.keychip, "token": text})
        user_id = answer.field("userId", int, type(None))
        return None if user_id is None else UserId(userId=user_id)

    def check_alive(self) -> bool:
        """True when the service answers healthy; False when it is unreachable or unhealthy (5xx).

        A service that refuses this client (4xx) or an answer that fails authentication is not
        "down": that ZorvServiceError or ZorvProtocolError propagates.
        """
        try:
            answer = self._client.exchange(protocol.LOGIN_HEALTH, {"keychip": self.keychip})
        except ZorvNetworkError:
            return False
        except ZorvServiceError as error:
            if error.status >= 500:
                return False
            raise
        return answer.data.get("status") == "ok"

    def close(self) -> None:
        self._client.close()
