"""The wire protocol shared by the clients and the local service (docs/protocol.md, version 1).

Every request and every 2xx answer is one sealed message:

    body = VERSION (1 byte) || tag (32 bytes) || payload
    tag  = HMAC-SHA256(salt, VERSION || context || NUL || payload)

The payload is the UTF-8 JSON object {"ts": <unix seconds>, "nonce": <32 hex digits>, "data": {...}}.
For the title server it is encrypted (encrypt-then-MAC): AES-CBC/PKCS#7 under the configuration's
key and IV over a fresh random 16-byte block followed by the JSON, so the fixed IV never links two
messages. The login service's payload is the JSON in the clear, authenticated with its salt.

The context binds a message to where it belongs: a request to its path, an answer to its path and
to the tag of the request it answers, so an answer cannot be replayed for another request. A tag
is checked (in constant time) before anything is decrypted or parsed; a failure is one
`ZorvProtocolError` whatever went wrong, so no padding oracle reaches a peer.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import secrets
import time
from dataclasses import dataclass
from typing import Any

from zorvia._masked import MaskedBytes
from zorvia.aes import IV_SIZE, ZorvAES
from zorvia.errors import ZorvProtocolError

VERSION = 1
TAG_SIZE = hashlib.sha256().digest_size
CONTENT_TYPE = "application/vnd.zorvia.v1"
ERROR_CONTENT_TYPE = "application/json"

DEFAULT_LOGIN_PORT = 38411
DEFAULT_TITLE_PORT = 38412
# Where the clients find the services (zorvia.settings reads them).
LOGIN_URL_ENV = "ZORVIA_LOGIN_URL"
TITLE_URL_ENV = "ZORVIA_TITLE_URL"

# A request is accepted while its time stamp lies at most this many seconds from the service's clock.
FRESHNESS_SECONDS = 300

LOGIN_HEALTH = "/kelvo/v1/health"
LOGIN_QRCODE = "/kelvo/v1/qrcode"
# The local service's own: a fresh login QR code for its operator (`zorvia qrcode`).
LOCAL_QRCODE = "/kelvo/v1/local/qrcode"
TITLE_PING = "/title/v1/ping"
TITLE_TESTMODE = "/title/v1/client/testmode"
TITLE_PREVIEW = "/title/v1/user/preview"
TITLE_USER_DATA = "/title/v1/user/data"
TITLE_LOGOUT = "/title/v1/user/logout"

_VERSION_BYTE = bytes([VERSION])
# json.dumps with separators of its own builds an encoder at every call.
_ENCODER = json.JSONEncoder(separators=(",", ":"))


def request_context(path: str) -> bytes:
    return f"zorvia/{VERSION} request {path}".encode()


def answer_context(path: str, request_tag: bytes) -> bytes:
    return f"zorvia/{VERSION} answer {path} {request_tag.hex()}".encode()


def error_body(code: str, message: str) -> dict[str, Any]:
    """The JSON body of a non-2xx answer (not sealed: it never carries data)."""
    return {"v": VERSION, "error": code, "message": message}


@dataclass(frozen=True)
class Message:
    """An opened message: its data, time stamp, nonce and the tag it came with."""

    data: dict[str, Any]
    ts: int
    nonce: str
    tag: bytes


class Envelope:
    """Seals and opens messages under one salt and, for the title server, one cipher."""

    def __init__(self, salt: str | bytes, aes: ZorvAES | None = None) -> None:
        key = MaskedBytes(salt.encode("utf-8") if isinstance(salt, str) else salt)
        # The HMAC keyed once; each tag starts from a copy of it, not from the key again.
        self._mac = hmac.new(key, digestmod=hashlib.sha256)
        self._aes = aes

    def _tag(self, context: bytes, payload: bytes) -> bytes:
        mac = self._mac.copy()
        mac.update(_VERSION_BYTE + context + b"\0" + payload)
        return mac.digest()

    def seal(self, data: dict[str, Any], context: bytes, ts: int | None = None) -> tuple[bytes, bytes]:
        """The wire body for `data` and its tag, stamped `ts` (default: now)."""
        text = _ENCODER.encode(
            {"ts": int(time.time()) if ts is None else ts, "nonce": secrets.token_hex(16), "data": data}
        ).encode("utf-8")
        payload = self._aes.encrypt(os.urandom(IV_SIZE) + text) if self._aes is not None else text
        tag = self._tag(context, payload)
        return _VERSION_BYTE + tag + payload, tag

    def open(self, body: bytes, context: bytes) -> Message:
        """The message in `body`; ZorvProtocolError for anything but an authentic, well-formed one."""
        if len(body) <= 1 + TAG_SIZE or body[0] != VERSION:
            raise ZorvProtocolError(f"not a version {VERSION} message")
        tag, payload = body[1 : 1 + TAG_SIZE], body[1 + TAG_SIZE :]
        if not hmac.compare_digest(tag, self._tag(context, payload)):
            raise ZorvProtocolError("the message failed authentication")
        try:
            plain = self._aes.decrypt(payload)[IV_SIZE:] if self._aes is not None else payload
            message = json.loads(plain.decode("utf-8"))  # decoded here: json would first guess the encoding
        except (ValueError, RecursionError):  # bad padding, not UTF-8, bad or too deeply nested JSON: no detail for a peer
            raise ZorvProtocolError("an authenticated message could not be read") from None
        match message:
            case {"ts": int(ts), "nonce": str(nonce), "data": dict(data)} if type(ts) is int:
                return Message(data=data, ts=ts, nonce=nonce, tag=tag)
        raise ZorvProtocolError("an authenticated message is not a protocol message")
