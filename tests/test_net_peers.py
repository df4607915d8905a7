"""Peers of the tests' own that no real service would be: silent, dripping, flooding, answering
what cannot be parsed. Each ends in one of the package's errors, within the settings' bounds."""

from __future__ import annotations

import base64
import json
import tracemalloc
from pathlib import Path
from typing import Any

import pytest
from loguru import logger
from net_support import HEAD, Peer, answer, drip, finished, flood, tls_server_context

from zorvia import errors, protocol
from zorvia.aes import ZorvAES
from zorvia.settings import NetSettings
from zorvia.userid import KelvoNet
from zorvia.zorv2 import BaseZorvNet

MiB = 1024 * 1024
NESTED = b'{"error": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"


def title_client(url: str, **settings: Any) -> BaseZorvNet:
    """A title client as the manager builds it (one attempt per call) for the peer at `url`."""
    aes = ZorvAES("k" * 16, "i" * 16)  # verify=False: the TLS peer's certificate is its own
    return BaseZorvNet("salt", "chip", logger, aes, "", False, settings=NetSettings(title_url=url, **settings))


def login_client(url: str) -> KelvoNet:
    return KelvoNet(keychip="chip", kelvo_salt="salt", settings=NetSettings(login_url=url))


@pytest.mark.parametrize(
    ("behaviour", "tls"),
    [(drip(HEAD), False), (drip(HEAD + bytes(1000), keep=len(HEAD)), False), (drip(HEAD), True)],
    ids=["dripping-head", "dripping-body", "dripping-over-tls"],
)
def test_an_exchange_ends_with_a_timeout_however_slowly_the_peer_answers(
    tmp_path: Path, behaviour: Any, tls: bool
) -> None:
    # Each byte comes well within the per-read timeout: only the deadline can end the drip.
    with (
        Peer(behaviour, tls_server_context(tmp_path) if tls else None) as peer,
        title_client(peer.url, timeout=0.4, deadline=0.8) as client,
    ):
        error = finished(client.ping)
    assert type(error) is errors.ZorvTimeoutError and len(peer.requests) == 1
    assert error.url == peer.url + protocol.TITLE_PING
    assert str(error).startswith(f"title server at {error.url}: ")


@pytest.mark.parametrize("declared", [True, False], ids=["declared-length", "until-close"])
def test_an_answer_over_the_bound_is_refused_having_held_about_the_bound(declared: bool) -> None:
    with Peer(flood(50 * MiB, declared=declared)) as peer, title_client(peer.url) as client:
        tracemalloc.start()
        try:
            error = finished(client.ping)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
    assert type(error) is errors.ZorvProtocolError and "larger than 1048576 bytes" in str(error)
    assert peak < 3 * MiB  # the default bound, and the chunk in hand


@pytest.mark.parametrize(
    ("behaviour", "error", "alive"),
    [
        (answer(503, NESTED), errors.ZorvServiceError, False),
        (answer(503, bytes(2 * MiB)), errors.ZorvServiceError, False),  # down, however much it says
        (answer(200, b"\x1f\x8b not gzip", "Content-Encoding: gzip"), errors.ZorvProtocolError, None),
    ],
    ids=["nested-json-503", "huge-503", "bad-gzip"],
)
def test_answers_that_cannot_be_read_are_package_errors(behaviour: Any, error: type[Exception], alive: bool | None) -> None:
    with Peer(behaviour) as peer, login_client(peer.url) as client:
        caught = finished(lambda: client.get_user_id_by_qrcode("token"))
        assert type(caught) is error and caught.url == peer.url + protocol.LOGIN_QRCODE
        if alive is None:  # an answer that cannot be trusted is no verdict
            assert type(finished(client.check_alive)) is error
        else:
            assert finished(client.check_alive) is alive


def test_errors_name_the_endpoint_and_keep_the_address_credentials_out() -> None:
    body = json.dumps(protocol.error_body("maintenance", "back soon")).encode()
    with Peer(answer(503, body)) as peer:
        url = peer.url.replace("//", "//player:hunter2@")
        with title_client(url) as client:
            error = finished(client.ping)
    assert type(error) is errors.ZorvServiceError and (error.status, error.code) == (503, "maintenance")
    assert error.url == peer.url + protocol.TITLE_PING
    assert str(error) == f"title server at {error.url} answered 503 (maintenance): back soon"
    headers = dict(line.split(b": ", 1) for line in peer.requests[0].splitlines()[1:])
    assert {name.lower(): value for name, value in headers.items()}[b"authorization"] == (
        b"Basic " + base64.b64encode(b"player:hunter2")  # the credentials still reach the service
    )
