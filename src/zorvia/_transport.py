"""The HTTP side of the clients: one httpx connection pool per client, failures as package errors."""

from __future__ import annotations

import json
import os
import ssl
import time
from collections.abc import Callable
from functools import cache
from typing import Any, Self

import httpx
from loguru import logger as zorvia_logger

from zorvia import protocol
from zorvia.errors import (
    ZorvNetworkError,
    ZorvProtocolError,
    ZorvProxyError,
    ZorvRefusedError,
    ZorvServiceError,
    ZorvTimeoutError,
)

# Seconds to wait for a connection, and for each read or write of one exchange.
CONNECT_TIMEOUT = 2.0
DEFAULT_TIMEOUT = 5.0


@cache
def ssl_context(verify: bool) -> ssl.SSLContext:
    """One TLS context per verification setting, shared by every client: building one (and
    loading the CA bundle) costs far more than a loopback request. SSL_CERT_FILE / SSL_CERT_DIR
    are honoured."""
    return httpx.create_ssl_context(verify=verify, trust_env=True)


def net_log_from_env() -> bool:
    return os.environ.get(protocol.NET_LOG_ENV, "").strip().lower() in {"1", "true", "yes", "on"}


def _refused(error: BaseException) -> bool:
    seen: BaseException | None = error
    while seen is not None:
        if isinstance(seen, ConnectionRefusedError):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


def transport_error(error: httpx.TransportError, url: str, proxied: bool) -> ZorvNetworkError:
    """The package's error for an httpx transport failure."""
    if isinstance(error, httpx.TimeoutException):
        return ZorvTimeoutError(f"{url}: no answer in time ({type(error).__name__})")
    if isinstance(error, httpx.ProxyError) or (proxied and isinstance(error, httpx.ConnectError)):
        return ZorvProxyError(f"{url}: the proxy failed: {error}")
    if isinstance(error, httpx.ConnectError) and _refused(error):
        return ZorvRefusedError(f"{url}: connection refused")
    return ZorvNetworkError(f"{url}: {error}")


def service_error(response: httpx.Response) -> ZorvServiceError:
    """The package's error for a non-2xx answer, with the service's code when its body has one."""
    try:
        body = json.loads(response.content)
    except ValueError:
        body = None
    fields = body if isinstance(body, dict) else {}
    code, message = fields.get("error"), fields.get("message")
    return ZorvServiceError(
        response.status_code, code if isinstance(code, str) else None, message if isinstance(message, str) else ""
    )


class Closing:
    """An object that `with` closes on the way out."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class SealedClient:
    """Exchanges sealed messages with one service over one pooled httpx client.

    `proxy` "" means a direct connection; the environment's proxy settings are not used, so the
    configuration alone decides where traffic goes.
    """

    def __init__(
        self,
        base_url: str,
        envelope: protocol.Envelope,
        *,
        proxy: str,
        verify: bool,
        timeout: float | None,
        logger: Any,
        net_log: Callable[[], bool],
    ) -> None:
        self.base_url = base_url.rstrip("/")
        self._envelope = envelope
        self._proxied = bool(proxy)
        self._logger = logger if logger is not None else zorvia_logger
        self._net_log = net_log
        read = DEFAULT_TIMEOUT if timeout is None else timeout
        self._http = httpx.Client(
            base_url=self.base_url,
            proxy=proxy or None,
            verify=ssl_context(bool(verify)),
            timeout=httpx.Timeout(read, connect=min(CONNECT_TIMEOUT, read)),
            trust_env=False,
        )

    def exchange(self, path: str, data: dict[str, Any]) -> tuple[dict[str, Any], float]:
        """One request to `path`: the answer's data and the round trip in seconds."""
        body, tag = self._envelope.seal(data, protocol.request_context(path))
        url = self.base_url + path
        start = time.perf_counter()
        try:
            response = self._http.post(path, content=body, headers={"content-type": protocol.CONTENT_TYPE})
        except httpx.TransportError as error:
            raise transport_error(error, url, self._proxied) from error
        elapsed = time.perf_counter() - start
        if self._net_log():
            self._logger.debug("POST {} -> {} in {:.1f} ms", url, response.status_code, elapsed * 1000)
        if not response.is_success:
            raise service_error(response)
        message = self._envelope.open(response.content, protocol.answer_context(path, tag))
        return message.data, elapsed

    def close(self) -> None:
        self._http.close()


def expect(data: dict[str, Any], key: str, kind: type | tuple[type, ...], path: str) -> Any:
    """`data[key]` if its type is exactly one of `kind`, else a protocol error naming the field."""
    kinds = kind if isinstance(kind, tuple) else (kind,)
    value = data.get(key)
    if type(value) not in kinds:
        raise ZorvProtocolError(f"{path}: the answer's {key!r} is missing or mistyped")
    return value
