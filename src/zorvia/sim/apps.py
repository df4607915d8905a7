"""The login service and the title server as Starlette apps over one shared state.

Each endpoint takes a sealed request (POST), checks its tag, its freshness and that its nonce is
new, runs a small handler on the in-memory store and answers sealed, bound to the request. A
failure answers with a non-2xx status and the JSON error body {"v", "error", "message"}.

`Faults` lets tests make an endpoint misbehave on purpose: answer garbage, answer under a wrong
key, forge the answer's tag, fail with 500, or answer late.
"""

from __future__ import annotations

import asyncio
import hashlib
import re
import threading
import time
from collections import Counter, OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from zorvia import protocol
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvProtocolError
from zorvia.sim.store import Store, UnknownUser
from zorvia.zorvtypes import ZorvConfig

MAX_BODY = 64 * 1024
# What a "garbage" fault answers: a page from something that does not speak the protocol.
GARBAGE = b"<!doctype html><title>502 Bad Gateway</title><p>upstream sent an invalid response</p>"
FAULT_KINDS = ("garbage", "wrong_key", "forged_mac", "error_500", "slow")
# A request's nonce: 16 random bytes in hex. Anything else is refused before it is remembered.
NONCE = re.compile(r"[0-9a-fA-F]{32}")
# The most nonces remembered at once (about 190 bytes each, so some 18 MiB at most).
NONCE_LIMIT = 100_000
# The longest client ID the title server keeps in its test-mode table.
CLIENT_ID_LIMIT = 64


class Refusal(Exception):
    """A handler's non-2xx answer."""

    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status, self.code, self.message = status, code, message


def error_response(status: int, code: str, message: str) -> JSONResponse:
    return JSONResponse(protocol.error_body(code, message), status_code=status)


@dataclass
class Fault:
    kind: str
    path: str | None
    times: int | None
    delay: float


class Faults:
    """Misbehaviour on request, for tests: each fault applies to one path (or all) a number of times."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []

    def add(self, kind: str, path: str | None = None, times: int | None = None, delay: float = 1.0) -> None:
        if kind not in FAULT_KINDS:
            raise ValueError(f"unknown fault {kind!r}, expected one of {', '.join(FAULT_KINDS)}")
        with self._lock:
            self._faults.append(Fault(kind, path, times, delay))

    def clear(self) -> None:
        with self._lock:
            self._faults.clear()

    def take(self, path: str) -> Fault | None:
        with self._lock:
            for fault in self._faults:
                if fault.path in (None, path):
                    if fault.times is not None:
                        fault.times -= 1
                        if fault.times <= 0:
                            self._faults.remove(fault)
                    return fault
        return None


class Nonces:
    """The nonces of the requests that are still fresh: a second use is a replay.

    A nonce is kept, under its request's time stamp, until that stamp has left the freshness
    window, when a replay would be refused as stale anyway. The table is a queue in arrival
    order, and each request drops the stale nonces at its front, each nonce once: a request costs
    the same, amortised, however many nonces are live. (A nonce stamped ahead of the clock holds
    up those behind it until it leaves the window, at most 600 s after its arrival.)

    At `limit` nonces the oldest one goes early, and its stamp becomes a floor: a request stamped
    at or before it is refused as stale, so a replay of a forgotten nonce cannot pass: under such
    a load the window narrows instead of the memory growing.
    """

    def __init__(self, limit: int = NONCE_LIMIT, clock: Callable[[], float] = time.time) -> None:
        self._lock = threading.Lock()
        self._stamps: OrderedDict[int, int] = OrderedDict()  # nonce as a number -> its request's ts
        self._limit = limit
        self._clock = clock
        self._floor = 0  # the latest stamp of a forgotten nonce

    def __len__(self) -> int:
        return len(self._stamps)

    def admit(self, nonce: str, ts: int) -> None:
        """Remembers the nonce of a fresh request; a Refusal for a malformed, stale or replayed one."""
        if NONCE.fullmatch(nonce) is None:
            raise Refusal(400, "bad_request", "the request's nonce is not 32 hex digits")
        key = int(nonce, 16)
        now = self._clock()
        with self._lock:
            stamps = self._stamps
            while stamps and next(iter(stamps.values())) < now - protocol.FRESHNESS_SECONDS:
                stamps.popitem(last=False)
            if abs(ts - now) > protocol.FRESHNESS_SECONDS or ts <= self._floor:
                raise Refusal(401, "stale_request", "the request's time stamp is outside the window")
            if key in stamps:
                raise Refusal(401, "replayed_request", "the request's nonce was seen before")
            if len(stamps) >= self._limit:
                _, forgotten = stamps.popitem(last=False)
                self._floor = max(self._floor, forgotten)
            stamps[key] = ts


Handler = Callable[[dict[str, Any]], dict[str, Any]]


class SimState:
    """What both apps share: configuration, store, faults and a count of requests per path."""

    def __init__(self, config: ZorvConfig, store: Store) -> None:
        self.config = config
        self.store = store
        self.faults = Faults()
        self.requests: Counter[str] = Counter()
        self.nonces = Nonces()


def _field(data: dict[str, Any], key: str, kind: type) -> Any:
    value = data.get(key)
    if type(value) is not kind:
        raise Refusal(400, "bad_request", f"the request's {key!r} is missing or not {kind.__name__}")
    return value


def _wrong_envelope(envelope_salt: str, aes: ZorvAES | None) -> protocol.Envelope:
    if aes is None:  # the login service: a wrong salt
        return protocol.Envelope(envelope_salt + "-wrong")
    other_key = hashlib.sha256(aes.key).digest()[: len(aes.key)]
    return protocol.Envelope(envelope_salt, ZorvAES(other_key, aes.iv))  # right salt, wrong cipher key


def _app(state: SimState, salt: str, aes: ZorvAES | None, handlers: dict[str, Handler]) -> Starlette:
    envelope = protocol.Envelope(salt, aes)
    wrong = _wrong_envelope(salt, aes)

    async def endpoint(request: Request) -> Response:
        path = request.url.path
        state.requests[path] += 1
        body = b""
        async for chunk in request.stream():
            body += chunk
            if len(body) > MAX_BODY:
                return error_response(413, "too_large", f"request bodies are limited to {MAX_BODY} bytes")
        try:
            message = envelope.open(body, protocol.request_context(path))
        except ZorvProtocolError:
            return error_response(401, "unauthenticated", "the request failed authentication")
        try:
            state.nonces.admit(message.nonce, message.ts)
            fault = state.faults.take(path)
            if fault is not None and fault.kind == "slow":
                await asyncio.sleep(fault.delay)
            if fault is not None and fault.kind == "error_500":
                return error_response(500, "internal_error", "the service failed (injected fault)")
            data = handlers[path](message.data)
        except Refusal as refusal:
            return error_response(refusal.status, refusal.code, refusal.message)
        context = protocol.answer_context(path, message.tag)
        if fault is not None and fault.kind == "garbage":
            answer = GARBAGE
        elif fault is not None and fault.kind == "wrong_key":
            answer, _ = wrong.seal(data, context)
        else:
            answer, _ = envelope.seal(data, context)
            if fault is not None and fault.kind == "forged_mac":
                answer = answer[:1] + bytes([answer[1] ^ 1]) + answer[2:]
        return Response(answer, media_type=protocol.CONTENT_TYPE)

    async def http_error(request: Request, error: Exception) -> Response:
        status = error.status_code if isinstance(error, HTTPException) else 500
        code = {404: "not_found", 405: "method_not_allowed"}.get(status, "bad_request")
        return error_response(status, code, f"{request.method} {request.url.path} is not an endpoint")

    routes = [Route(path, endpoint, methods=["POST"]) for path in handlers]
    return Starlette(routes=routes, exception_handlers={HTTPException: http_error})


def _check_keychip(state: SimState, data: dict[str, Any], key: str = "keychip") -> None:
    if _field(data, key, str) != state.config.keychip:
        raise Refusal(403, "unknown_keychip", "this keychip is not registered")


def login_app(state: SimState) -> Starlette:
    def health(data: dict[str, Any]) -> dict[str, Any]:
        _check_keychip(state, data)
        return {"status": "ok"}

    def qrcode(data: dict[str, Any]) -> dict[str, Any]:
        _check_keychip(state, data)
        return {"userId": state.store.resolve(_field(data, "token", str))}

    def issue(data: dict[str, Any]) -> dict[str, Any]:
        # Only this service's operator holds its keychip and salt, which every request proves.
        _check_keychip(state, data)
        user_id = None if data.get("userId") is None else _field(data, "userId", int)
        try:
            return {"qrcode": state.store.issue_qrcode(user_id)}
        except UnknownUser as error:
            raise Refusal(404, "unknown_user", str(error)) from None

    handlers: dict[str, Handler] = {protocol.LOGIN_HEALTH: health, protocol.LOGIN_QRCODE: qrcode, protocol.LOCAL_QRCODE: issue}
    return _app(state, state.config.kelvo_salt, None, handlers)


def title_app(state: SimState) -> Starlette:
    store = state.store

    def user(data: dict[str, Any]) -> Any:
        found = store.user(_field(data, "userId", int))
        if found is None:
            raise Refusal(404, "unknown_user", "no such user")
        return found

    def ping(data: dict[str, Any]) -> dict[str, Any]:
        return {"serverTime": int(time.time())}

    def testmode(data: dict[str, Any]) -> dict[str, Any]:
        _check_keychip(state, data, "userId")
        place_id, client_id = _field(data, "placeId", int), _field(data, "clientId", str)
        if place_id < 0 or not 0 < len(client_id) <= CLIENT_ID_LIMIT:
            raise Refusal(400, "bad_request", f"placeId must be >= 0 and clientId 1 to {CLIENT_ID_LIMIT} characters")
        store.set_testmode(client_id, place_id)
        return {"placeId": place_id, "clientId": client_id, "testMode": True}

    def preview(data: dict[str, Any]) -> dict[str, Any]:
        return dict(user(data)["preview"])

    def user_data(data: dict[str, Any]) -> dict[str, Any]:
        return dict(user(data)["data"])

    def logout(data: dict[str, Any]) -> dict[str, Any]:
        store.logout(user(data)["userId"])
        return {"loggedOut": True}

    aes = ZorvAES(key=state.config.aes_key, iv=state.config.aes_iv)
    handlers: dict[str, Handler] = {
        protocol.TITLE_PING: ping,
        protocol.TITLE_TESTMODE: testmode,
        protocol.TITLE_PREVIEW: preview,
        protocol.TITLE_USER_DATA: user_data,
        protocol.TITLE_LOGOUT: logout,
    }
    return _app(state, state.config.zorv2_salt, aes, handlers)
