"""Client of the QR login service."""

from __future__ import annotations

from zorvia import protocol, zorv2
from zorvia._transport import Closing, SealedClient, expect
from zorvia.errors import ZorvNetworkError, ZorvServiceError
from zorvia.zorvtypes import UserId


class KelvoNet(Closing):
    """One pooled connection to the login service at $ZORVIA_LOGIN_URL (read at construction).

    Requests and answers are authenticated with `kelvo_salt`; the service learns the keychip
    with every request. Each request is logged at DEBUG while `zorvia.zorv2.NET_LOG` is true.
    """

    def __init__(
        self, keychip: str, kelvo_salt: str, proxy: str = "", verify: bool = True, *, timeout: float | None = None
    ) -> None:
        self.keychip = keychip
        self.kelvo_salt = kelvo_salt
        self.proxy = proxy
        self.verify = verify
        self._client = SealedClient(
            protocol.login_url(),
            protocol.Envelope(kelvo_salt),
            proxy=proxy,
            verify=verify,
            timeout=timeout,
            logger=None,
            net_log=lambda: bool(zorv2.NET_LOG),
        )

    @property
    def base_url(self) -> str:
        return self._client.base_url

    def get_user_id_by_qrcode(self, text: str) -> UserId | None:
        """The user the code's remainder `text` stands for; None when the service does not know it."""
        path = protocol.LOGIN_QRCODE
        data, _ = self._client.exchange(path, {"keychip": self.keychip, "token": text})
        user_id = expect(data, "userId", (int, type(None)), path)
        return None if user_id is None else UserId(userId=user_id)

    def check_alive(self) -> bool:
        """True when the service answers healthy; False when it is unreachable or unhealthy (5xx).

        A service that refuses this client (4xx) or an answer that fails authentication is not
        "down": that ZorvServiceError or ZorvProtocolError propagates.
        """
        try:
            data, _ = self._client.exchange(protocol.LOGIN_HEALTH, {"keychip": self.keychip})
        except ZorvNetworkError:
            return False
        except ZorvServiceError as error:
            if error.status >= 500:
                return False
            raise
        return data.get("status") == "ok"

    def close(self) -> None:
        self._client.close()
