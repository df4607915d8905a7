"""Client of the QR login service."""

from __future__ import annotations

from typing import TYPE_CHECKING

from zorvia.errors import ZorvNetworkError

if TYPE_CHECKING:
    from zorvia.zorvtypes import UserId

UNAVAILABLE = "the login service transport is not available in this build"


class KelvoNet:
    """Settings of one connection to the login service."""

    def __init__(self, keychip: str, kelvo_salt: str, proxy: str = "", verify: bool = True) -> None:
        self.keychip = keychip
        self.kelvo_salt = kelvo_salt
        self.proxy = proxy
        self.verify = verify

    def get_user_id_by_qrcode(self, text: str) -> UserId | None:
        raise ZorvNetworkError(UNAVAILABLE)

    def check_alive(self) -> bool:
        raise ZorvNetworkError(UNAVAILABLE)
