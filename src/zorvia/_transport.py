"""The clients' HTTP side, on httpx2: what every exchange keeps to, and the synchronous client.

The rules of an exchange are kept apart from its I/O, so that a client of another kind (an async
one over `httpx2.AsyncClient`) keeps to the same rules without copying them:

- `Endpoint`: where an exchange goes, as every error about it names it;
- `deadline`: the time one exchange may take, which every connect, read and write beneath it
  keeps to (`budget`: the network streams of both clients ask it before each operation);
- `AnswerBody`: an answer read chunk by chunk and refused once it outgrows the size bound;
- `transport_error`, `service_error`: failures as the package's errors;
- `retry_policy`: the title-server clients' retries, as arguments of tenacity's `Retrying`,
  which takes over after a first attempt made without it (`replaying`).

`SealedClient` and `AsyncSealedClient` are the two clients built on them, over httpx2's
transports with network streams that keep the deadline: they differ only in how the bytes move.
The protocol itself (`protocol.Envelope`) does no I/O.
"""

from __future__ import annotations

import inspect
import json
import ssl
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from functools import cache, lru_cache
from typing import Any, ClassVar, Self

import anyio
import httpcore2
import httpx2
from loguru import logger as zorvia_logger
from tenacity import RetryCallState, retry_if_exception, stop_after_attempt, wait_exponential_jitter

from zorvia import protocol
from zorvia.errors import (
    ZorvError,
    ZorvNetworkError,
    ZorvProtocolError,
    ZorvProxyError,
    ZorvRefusedError,
    ZorvServiceError,
    ZorvTimeoutError,
)
from zorvia.settings import NetSettings

# The longest wait between two attempts, however many retries came before.
BACKOFF_MAX = 8.0
HEADERS = {"content-type": protocol.CONTENT_TYPE}


@cache
def ssl_context(verify: bool) -> ssl.SSLContext:
    """One TLS context per verification setting, shared by every client: building one (and
    loading the CA bundle) costs far more than a loopback request. SSL_CERT_FILE / SSL_CERT_DIR
    are honoured."""
    return httpx2.create_ssl_context(verify=verify, trust_env=True)


@lru_cache(maxsize=16)
def http_timeout(seconds: float) -> httpx2.Timeout:
    """httpx2's timeout of `seconds` for connecting and each read and write, one per value and
    shared by the clients (which never change it): making one costs about as much as the rest of
    a client's own set-up, and a per-user client is made for every road."""
    return httpx2.Timeout(seconds)


@dataclass(frozen=True)
class Endpoint:
    """One service's endpoint as errors name it: "title server at http://host/title/v1/ping"."""

    service: str
    url: str  # without credentials

    def __str__(self) -> str:
        return f"{self.service} at {self.url}"

    def protocol_error(self, problem: str) -> ZorvProtocolError:
        return ZorvProtocolError(f"{self}: {problem}", url=self.url)


# --- The deadline: the point in time by which the current exchange must be over ---------------

_DEADLINE: ContextVar[float | None] = ContextVar("zorvia_deadline", default=None)


class deadline:
    """Within the block, every connect, read and write of this thread (or task) made through a
    deadline-keeping stream ends `seconds` from now at the latest; gives that monotonic time.
    (A class rather than a generator: it runs at every exchange, and costs a third as much.)"""

    __slots__ = ("_token", "_until")

    def __init__(self, seconds: float) -> None:
        self._until = time.monotonic() + seconds

    def __enter__(self) -> float:
        self._token = _DEADLINE.set(self._until)
        return self._until

    def __exit__(self, *exc_info: object) -> None:
        _DEADLINE.reset(self._token)


def budget(timeout: float | None, expired: type[Exception]) -> float | None:
    """The time one network operation may take: its own timeout, cut to what the deadline leaves."""
    until = _DEADLINE.get()
    if until is None:
        return timeout
    left = until - time.monotonic()
    if left <= 0:
        raise expired("the exchange's deadline has passed")
    return left if timeout is None else min(timeout, left)


# --- Where a blocking exchange may not wait: on an event loop ---------------------------------

_ON_LOOP: ContextVar[bool] = ContextVar("zorvia_on_loop", default=False)


class WouldBlock(Exception):
    """A blocking client was asked for an exchange within `not_blocking()`; nothing was sent."""


@contextmanager
def not_blocking() -> Iterator[None]:
    """Within the block, a blocking client's exchange raises WouldBlock instead of waiting for
    the network: code on an event loop runs a blocking call there when the call needs no
    exchange, and on a worker thread when it does."""
    token = _ON_LOOP.set(True)
    try:
        yield
    finally:
        _ON_LOOP.reset(token)


# --- The answer and what can go wrong with it -----------------------------------------------


class AnswerBody:
    """An answer's body gathered chunk by chunk, holding at most `limit` bytes.

    `add` returns False once the body is known to be larger (stop reading then); `over` says so,
    and is set from the start when the declared length is already larger.
    """

    def __init__(self, limit: int, declared_length: str | None) -> None:
        self._limit = limit
        self._chunks: list[bytes] = []
        self._size = 0
        self.over = declared_length is not None and declared_length.isdigit() and int(declared_length) > limit

    def add(self, chunk: bytes) -> bool:
        self._size += len(chunk)
        if self._size > self._limit:
            self.over = True
            self._chunks.clear()
            return False
        self._chunks.append(chunk)
        return True

    def content(self) -> bytes:
        return b"" if self.over else b"".join(self._chunks)


def _refused(error: BaseException) -> bool:
    seen: BaseException | None = error
    while seen is not None:
        if isinstance(seen, ConnectionRefusedError):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


def transport_error(
    error: httpx2.RequestError, endpoint: Endpoint, settings: NetSettings, *, proxied: bool, expired: bool
) -> ZorvError:
    """The package's error for an httpx2 failure of one exchange; `expired`: its deadline had passed."""
    url = endpoint.url
    if isinstance(error, httpx2.TimeoutException):
        if expired:
            return ZorvTimeoutError(f"{endpoint}: no complete answer within the {settings.deadline:g} s deadline", url=url)
        kind = type(error).__name__
        return ZorvTimeoutError(f"{endpoint}: no answer in time ({kind} after {settings.timeout:g} s)", url=url)
    if isinstance(error, httpx2.ProxyError) or (proxied and isinstance(error, httpx2.ConnectError)):
        return ZorvProxyError(f"{endpoint}: the proxy failed: {error}", url=url)
    if isinstance(error, httpx2.ConnectError) and _refused(error):
        return ZorvRefusedError(f"{endpoint}: connection refused", url=url)
    if isinstance(error, httpx2.DecodingError):
        return endpoint.protocol_error(f"the answer's content encoding cannot be decoded: {error}")
    return ZorvNetworkError(f"{endpoint}: {error}", url=url)


def service_error(status: int, content: bytes, endpoint: Endpoint) -> ZorvServiceError:
    """The package's error for a non-2xx answer, with the service's code when its body has one."""
    try:
        body = json.loads(content)
    except (ValueError, RecursionError):  # not JSON, or nested deeper than can be parsed
        body = None
    fields = body if isinstance(body, dict) else {}
    code, message = fields.get("error"), fields.get("message")
    return ZorvServiceError(
        status,
        code if isinstance(code, str) else None,
        message if isinstance(message, str) else "",
        service=str(endpoint),
        url=endpoint.url,
    )


def transient(error: BaseException) -> bool:
    """Whether another attempt may succeed: a transport failure or a server error (5xx)."""
    return isinstance(error, ZorvNetworkError) or (isinstance(error, ZorvServiceError) and error.status >= 500)


def retry_policy(retry: int, backoff: float, before_sleep: Callable[[RetryCallState], None]) -> dict[str, Any]:
    """Arguments of tenacity's `Retrying` (or `AsyncRetrying`): `retry` more attempts after a
    transient failure, the first after `backoff` seconds and each later one twice as long (at most
    BACKOFF_MAX), each plus a random part of up to `backoff`; the last failure is re-raised."""
    return {
        "stop": stop_after_attempt(retry + 1),
        "wait": wait_exponential_jitter(multiplier=backoff, max=BACKOFF_MAX, jitter=backoff),
        "retry": retry_if_exception(transient),
        "before_sleep": before_sleep,
        "reraise": True,
    }


def replaying(failed: ZorvError, exchange: Callable[..., Any]) -> Callable[..., Any]:
    """`exchange`, except that its first call raises `failed` again: hands tenacity a first attempt
    made (and failed) outside it, so that it counts, waits and logs the retries as if it had made
    that attempt. Most requests succeed at once, and a call through tenacity costs more than an
    exchange's own work on the client side. `exchange` may be a coroutine function."""
    pending = [failed]
    if inspect.iscoroutinefunction(exchange):

        async def attempt_async(*args: Any) -> Any:
            if pending:
                raise pending.pop()
            return await exchange(*args)

        return attempt_async

    def attempt(*args: Any) -> Any:
        if pending:
            raise pending.pop()
        return exchange(*args)

    return attempt


@dataclass(frozen=True)
class Answer:
    """An answer's data, the time the exchange took in seconds, and where it came from."""

    data: dict[str, Any]
    elapsed: float
    endpoint: Endpoint

    def field(self, key: str, *kinds: type) -> Any:
        """`data[key]` if its type is exactly one of `kinds`, else a protocol error naming the field."""
        value = self.data.get(key)
        if type(value) not in kinds:
            raise self.endpoint.protocol_error(f"the answer's {key!r} is missing or mistyped")
        return value


# --- The synchronous client --------------------------------------------------------------------


class _DeadlineStream(httpcore2.NetworkStream):
    """A connection whose every operation keeps to the deadline of the exchange using it, so that
    a peer that drips its answer a byte at a time cannot hold the client longer."""

    def __init__(self, stream: httpcore2.NetworkStream) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._stream.read(max_bytes, budget(timeout, httpcore2.ReadTimeout))

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._stream.write(buffer, budget(timeout, httpcore2.WriteTimeout))

    def close(self) -> None:
        self._stream.close()

    def start_tls(
        self, ssl_context: ssl.SSLContext, server_hostname: str | None = None, timeout: float | None = None
    ) -> httpcore2.NetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _DeadlineStream(self._stream.start_tls(ssl_context, server_hostname, seconds))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _DeadlineBackend(httpcore2.NetworkBackend):
    def __init__(self) -> None:
        self._backend = httpcore2.SyncBackend()

    def connect_tcp(
        self,
        host: str,
        port: int,
        timeout: float | None = None,
        local_address: str | None = None,
        socket_options: Iterable[httpcore2.SOCKET_OPTION] | None = None,
    ) -> httpcore2.NetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_tcp(host, port, seconds, local_address, socket_options))

    def connect_unix_socket(
        self, path: str, timeout: float | None = None, socket_options: Iterable[httpcore2.SOCKET_OPTION] | None = None
    ) -> httpcore2.NetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_unix_socket(path, seconds, socket_options))

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


class _AsyncDeadlineStream(httpcore2.AsyncNetworkStream):
    """The async twin of `_DeadlineStream`, over anyio's streams (asyncio or trio)."""

    def __init__(self, stream: httpcore2.AsyncNetworkStream) -> None:
        self._stream = stream

    async def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return await self._stream.read(max_bytes, budget(timeout, httpcore2.ReadTimeout))

    async def write(self, buffer: bytes, timeout: float | None = None) -> None:
        await self._stream.write(buffer, budget(timeout, httpcore2.WriteTimeout))

    async def aclose(self) -> None:
        await self._stream.aclose()

    async def start_tls(
        self, ssl_context: ssl.SSLContext, server_hostname: str | None = None, timeout: float | None = None
    ) -> httpcore2.AsyncNetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _AsyncDeadlineStream(await self._stream.start_tls(ssl_context, server_hostname, seconds))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _AsyncDeadlineBackend(httpcore2.AsyncNetworkBackend):
    def __init__(self) -> None:
        self._backend = httpcore2.AnyIOBackend()

    async def connect_tcp(
        self,
        host: str,
        port: int,
        timeout: float | None = None,
        local_address: str | None = None,
        socket_options: Iterable[httpcore2.SOCKET_OPTION] | None = None,
    ) -> httpcore2.AsyncNetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _AsyncDeadlineStream(await self._backend.connect_tcp(host, port, seconds, local_address, socket_options))

    async def connect_unix_socket(
        self, path: str, timeout: float | None = None, socket_options: Iterable[httpcore2.SOCKET_OPTION] | None = None
    ) -> httpcore2.AsyncNetworkStream:
        seconds = budget(timeout, httpcore2.ConnectTimeout)
        return _AsyncDeadlineStream(await self._backend.connect_unix_socket(path, seconds, socket_options))

    async def sleep(self, seconds: float) -> None:
        await self._backend.sleep(seconds)


def _keep_deadlines(pool: Any, default: type, backend: Any) -> None:
    """Hands an httpx2 transport's pool a deadline-keeping network backend before the pool has
    made any connection (httpx2's transports take no backend; httpcore2's pools do)."""
    if not isinstance(getattr(pool, "_network_backend", None), default):
        raise RuntimeError(f"httpx2 {httpx2.__version__} keeps its network backend elsewhere")
    pool._network_backend = backend


class _Transport(httpx2.HTTPTransport):
    """httpx2's own transport (pool, proxies, TLS, error mapping) over deadline-keeping connections."""

    def __init__(self, verify: ssl.SSLContext, proxy: str | None) -> None:
        super().__init__(verify=verify, proxy=proxy, trust_env=False)
        _keep_deadlines(self._pool, httpcore2.SyncBackend, _DeadlineBackend())


class _AsyncTransport(httpx2.AsyncHTTPTransport):
    """The same over httpx2's async transport."""

    def __init__(self, verify: ssl.SSLContext, proxy: str | None, **options: Any) -> None:
        super().__init__(verify=verify, proxy=proxy, trust_env=False, **options)  # options: limits
        _keep_deadlines(self._pool, httpcore2.AsyncNetworkBackend, _AsyncDeadlineBackend())


class Closing:
    """An object that `with` closes on the way out."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class AsyncClosing:
    """An object that `async with` closes on the way out."""

    async def aclose(self) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


class AsyncPool:
    """Connections that many awaitable clients with this `proxy` and `verify` share, whatever
    service they reach: one `httpx2.AsyncClient` (each request carries its own URL, credentials
    and timeouts) holding at most `connections` connections.

    An exchange takes one of `connections` slots before it seals its request and gives it back
    once the answer is read, so that at most that many exchanges are in flight and the others
    wait with no work done, within their deadline. Its owner closes it (`await aclose()`).
    """

    def __init__(self, proxy: str, verify: bool, connections: int) -> None:
        transport = _AsyncTransport(ssl_context(bool(verify)), proxy or None, limits=httpx2.Limits(max_connections=connections))
        self.http = httpx2.AsyncClient(transport=transport, trust_env=False)
        self.connections = connections
        self.slots = anyio.Semaphore(connections)

    async def slot(self, endpoint: Endpoint, settings: NetSettings, until: float) -> None:
        """Takes a slot: at once when one is free, else waiting until `until` at most."""
        try:
            self.slots.acquire_nowait()
        except anyio.WouldBlock:
            with anyio.move_on_after(until - time.monotonic()) as waiting:
                await self.slots.acquire()
            if waiting.cancelled_caught:
                problem = f"none of the {self.connections} connections was free within the {settings.deadline:g} s deadline"
                raise ZorvTimeoutError(f"{endpoint}: {problem}", url=endpoint.url) from None

    async def aclose(self) -> None:
        with anyio.CancelScope(shield=True):  # closed even by a task that is being cancelled
            await self.http.aclose()


class _Sealed:
    """What both clients do around the I/O of an exchange: seal the request, bound the answer,
    map failures and open the answer. Subclasses hold the httpx2 client and move the bytes.

    `proxy` "" means a direct connection; the environment's proxy settings are not used, so the
    configuration alone decides where traffic goes. The client sends through a pool of
    connections of its own, or through `pool` (an awaitable client only), which others share and
    its owner closes.
    """

    _client_class: ClassVar[type[Any]]  # httpx2.Client or AsyncClient
    _transport_class: ClassVar[type[Any]]  # the transport of that kind

    def __init__(
        self,
        service: str,
        base_url: str,
        envelope: protocol.Envelope,
        *,
        proxy: str,
        verify: bool,
        settings: NetSettings,
        logger: Any,
        net_log: Callable[[], bool],
        pool: AsyncPool | None = None,
    ) -> None:
        address = base_url.rstrip("/")
        given = httpx2.URL(address)  # credentials in it go as basic auth, off every URL shown
        self.service = service
        self.base_url = str(given.copy_with(username=None, password=None)) if given.userinfo else address
        self.settings = settings
        self.closed = False
        self._envelope = envelope
        self._proxied = bool(proxy)
        self._logger = logger if logger is not None else zorvia_logger
        self._net_log = net_log
        # Each path's endpoint and absolute URL, made once: merging a path into the base URL
        # costs httpx2 a parse of the whole URL at every request.
        self._targets: dict[str, tuple[Endpoint, httpx2.URL]] = {}
        self._auth = httpx2.BasicAuth(given.username, given.password) if given.userinfo else None
        self._timeout = http_timeout(settings.timeout)
        self._pool = pool
        if pool is None:
            transport = self._transport_class(ssl_context(bool(verify)), proxy or None)
            self._http: Any = self._client_class(transport=transport, trust_env=False)
        elif isinstance(pool.http, self._client_class):
            self._http = pool.http
        else:
            raise TypeError(f"a {type(self).__name__} cannot send through an {type(pool).__name__}")

    def _target(self, path: str) -> tuple[Endpoint, httpx2.URL]:
        target = self._targets.get(path)
        if target is None:
            url = self.base_url + path
            target = self._targets[path] = (Endpoint(self.service, url), httpx2.URL(url))
        return target

    def endpoint(self, path: str) -> Endpoint:
        return self._target(path)[0]

    def _seal(self, path: str, data: dict[str, Any]) -> tuple[Endpoint, httpx2.URL, bytes, bytes]:
        if self.closed:
            raise RuntimeError(f"this {self.service} client has been closed")
        body, tag = self._envelope.seal(data, protocol.request_context(path))
        return *self._target(path), body, tag

    def _failed(self, error: httpx2.RequestError, endpoint: Endpoint, until: float) -> ZorvError:
        expired = time.monotonic() >= until
        return transport_error(error, endpoint, self.settings, proxied=self._proxied, expired=expired)

    def _opened(
        self, path: str, tag: bytes, endpoint: Endpoint, response: httpx2.Response, answer: AnswerBody, elapsed: float
    ) -> Answer:
        """The answer's data once the bytes are in: a service error, an oversized or unreadable
        answer are the package's errors."""
        if self._net_log():
            self._logger.debug("POST {} -> {} in {:.1f} ms", endpoint.url, response.status_code, elapsed * 1000)
        if not response.is_success:
            raise service_error(response.status_code, answer.content(), endpoint)
        if answer.over:
            raise endpoint.protocol_error(f"the answer is larger than {self.settings.max_answer} bytes")
        try:
            message = self._envelope.open(answer.content(), protocol.answer_context(path, tag))
        except ZorvProtocolError as error:
            raise endpoint.protocol_error(str(error)) from error
        return Answer(message.data, elapsed, endpoint)

    def _answer_body(self, response: httpx2.Response) -> AnswerBody:
        return AnswerBody(self.settings.max_answer, response.headers.get("content-length"))


class SealedClient(_Sealed, Closing):
    """Exchanges sealed messages with one service over one pooled httpx2 client.

    A pool of its own is closed by `close()`, or when the client is collected; after `close()`,
    an exchange raises RuntimeError.
    """

    _client_class = httpx2.Client
    _transport_class = _Transport

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        if self._pool is None:
            weakref.finalize(self, self._http.close)

    def exchange(self, path: str, data: dict[str, Any]) -> Answer:
        """One request to `path` and its answer, within the deadline and the size bound."""
        if _ON_LOOP.get():
            raise WouldBlock(str(self.endpoint(path)))
        endpoint, url, body, tag = self._seal(path, data)
        start = time.perf_counter()
        try:
            with deadline(self.settings.deadline) as until, self._http.stream(
                "POST", url, content=body, headers=HEADERS, auth=self._auth, timeout=self._timeout
            ) as response:
                answer = self._answer_body(response)
                if not answer.over:
                    for chunk in response.iter_bytes():
                        if not answer.add(chunk):
                            break
        except httpx2.RequestError as error:
            raise self._failed(error, endpoint, until) from error
        return self._opened(path, tag, endpoint, response, answer, time.perf_counter() - start)

    def close(self) -> None:
        self.closed = True
        if self._pool is None:
            self._http.close()


class AsyncSealedClient(_Sealed, AsyncClosing):
    """The same over one pooled `httpx2.AsyncClient`, on asyncio or trio: `await exchange(...)`.

    A pool of its own is closed by `await aclose()`; an async client cannot close itself when
    collected, so one left open warns as httpx2's own do.
    """

    _client_class = httpx2.AsyncClient
    _transport_class = _AsyncTransport

    async def exchange(self, path: str, data: dict[str, Any]) -> Answer:
        """One request to `path` and its answer, within the deadline and the size bound (through
        a shared pool, once a slot is free, within the same deadline)."""
        pool = self._pool
        with deadline(self.settings.deadline) as until:
            if pool is not None:
                await pool.slot(self.endpoint(path), self.settings, until)
            try:
                endpoint, url, body, tag = self._seal(path, data)
                start = time.perf_counter()
                try:
                    async with self._http.stream(
                        "POST", url, content=body, headers=HEADERS, auth=self._auth, timeout=self._timeout
                    ) as response:
                        answer = self._answer_body(response)
                        if not answer.over:
                            async for chunk in response.aiter_bytes():
                                if not answer.add(chunk):
                                    break
                except httpx2.RequestError as error:
                    raise self._failed(error, endpoint, until) from error
            finally:
                if pool is not None:
                    pool.slots.release()
        return self._opened(path, tag, endpoint, response, answer, time.perf_counter() - start)

    async def aclose(self) -> None:
        self.closed = True
        if self._pool is None:
            with anyio.CancelScope(shield=True):  # closed even by a task that is being cancelled
                await self._http.aclose()
