"""Helpers of the network tests: a logger whose records a test can read, clients built from the
local service's configuration, and peers that misbehave on purpose. The fixtures built on them live
in net_fixtures.py."""

from __future__ import annotations

import itertools
import socket
import socketserver
import ssl
import threading
import uuid
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from loguru import logger

from zorvia import zorv2
from zorvia.aes import ZorvAES
from zorvia.sim import SimService


class Captured:
    """A logger bound to one test, and the records it wrote as (level, message)."""

    def __init__(self) -> None:
        self.key = uuid.uuid4().hex
        self.logger: Any = logger.bind(test_key=self.key)
        self.records: list[tuple[str, str]] = []

    def sink(self, message: Any) -> None:
        record = message.record
        self.records.append((record["level"].name, record["message"]))

    def mine(self, record: Any) -> bool:
        return bool(record["extra"].get("test_key") == self.key)

    def levels(self, level: str) -> list[str]:
        return [text for name, text in self.records if name == level]


def title_cipher(service: SimService) -> ZorvAES:
    return ZorvAES(key=service.config.aes_key, iv=service.config.aes_iv)


def user_net(service: SimService, log: Any, *, retry: int = 2, user_id: int | None = None, **extra: Any) -> zorv2.ZorvNet:
    """A per-user title client for the service's configuration, positional as the manager's factory builds it."""
    config = service.config
    uid = service.user_ids()[0] if user_id is None else user_id
    return zorv2.ZorvNet(0, config.zorv2_salt, uid, log, title_cipher(service), "", True, retry, **extra)


# --- Peers of the tests' own: loopback HTTP servers that misbehave on purpose -------------------

# How long a test waits for a call that should end by itself; only there so that a fault cannot hang the suite.
HANG = 30.0

Behaviour = Callable[[socket.socket, threading.Event], None]


class Peer(socketserver.ThreadingTCPServer):
    """A loopback server that reads each request (its head kept in `requests`) and answers it by
    `behaviour`, one thread per connection, over TLS when given a server context; leaving the
    `with` block stops and joins them all."""

    def __init__(self, behaviour: Behaviour, tls: ssl.SSLContext | None = None) -> None:
        super().__init__(("127.0.0.1", 0), _PeerHandler)
        self.behaviour, self.requests, self.stop, self.tls = behaviour, list[bytes](), threading.Event(), tls
        self.url = f"http{'s' if tls else ''}://127.0.0.1:{self.server_address[1]}"
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop.set()
        self.shutdown()
        self.server_close()  # joins the connections' threads


class _PeerHandler(socketserver.StreamRequestHandler):
    server: Peer
    timeout = HANG

    def setup(self) -> None:
        if self.server.tls is not None:
            self.request.settimeout(HANG)
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def finish(self) -> None:
        super().finish()
        self.request.close()  # the server closes only the socket it accepted, which TLS took over

    def handle(self) -> None:
        head = self.rfile.readline()
        while (line := self.rfile.readline()) not in (b"\r\n", b""):
            head += line
        length = next((int(line[15:]) for line in head.lower().splitlines() if line.startswith(b"content-length:")), 0)
        self.rfile.read(length)
        self.server.requests.append(head)
        try:
            self.server.behaviour(self.connection, self.server.stop)
        except OSError:  # the client hung up, as it should
            pass


# The head of a 200 answer with a body of 1,000 bytes: dripped with its body, it lasts 20 s and more.
HEAD = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"


def tls_server_context(folder: Path) -> ssl.SSLContext:
    """A server context with a fresh self-signed certificate for 127.0.0.1 (kept in `folder`)."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.now(timezone.utc)
    certificate = (
        x509.CertificateBuilder(name, name, key.public_key(), 1, now, now + timedelta(days=1))
        .sign(key, hashes.SHA256())
    )
    (folder / "cert.pem").write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    (folder / "key.pem").write_bytes(
        key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    )
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(folder / "cert.pem", folder / "key.pem")
    return context


def drip(answer: bytes, keep: int = 0) -> Behaviour:
    """Sends the first `keep` bytes of `answer` at once and the rest a byte every 20 ms, forever."""

    def behave(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(answer[:keep])
        for index in itertools.cycle(range(keep, len(answer))):
            if stop.wait(0.02):
                return
            conn.sendall(answer[index : index + 1])

    return behave


def flood(size: int, *, declared: bool) -> Behaviour:
    """A 200 answer of `size` zero bytes, its length declared or the connection closed after it."""
    head = f"Content-Length: {size}" if declared else "Connection: close"
    chunk = bytes(65536)

    def behave(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(f"HTTP/1.1 200 OK\r\n{head}\r\n\r\n".encode())
        for _ in range(size // len(chunk)):
            if stop.is_set():
                return
            conn.sendall(chunk)

    return behave


def answer(status: int, body: bytes, *headers: str) -> Behaviour:
    """One whole answer, then the connection closed."""
    lines = [f"HTTP/1.1 {status} X", f"Content-Length: {len(body)}", "Connection: close", *headers]

    def behave(conn: socket.socket, stop: threading.Event) -> None:
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)

    return behave


def finished(call: Callable[[], Any]) -> BaseException | Any:
    """What `call` raised, or returned, run in a thread that must end within HANG seconds."""
    outcome: list[Any] = []

    def run() -> None:
        try:
            outcome.append(call())
        except BaseException as error:  # noqa: BLE001  (handed to the test)
            outcome.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(HANG)
    assert not thread.is_alive(), f"the call still runs after {HANG} s"
    return outcome[0]
