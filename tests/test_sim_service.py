"""The local service as a peer sees it: raw HTTP requests that are replayed, stale, forged or
sent where no endpoint is, and the service's own lifecycle."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
from typing import Any

import httpx
import pytest
from loguru import logger

from zorvia import protocol
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvRefusedError
from zorvia.sim import DEFAULT_LOGIN_PORT, DEFAULT_TITLE_PORT, SimService
from zorvia.userid import KelvoNet
from zorvia.zorv2 import BaseZorvNet

pytest_plugins = ["net_fixtures"]


def title_envelope(sim: SimService) -> protocol.Envelope:
    return protocol.Envelope(sim.config.zorv2_salt, ZorvAES(key=sim.config.aes_key, iv=sim.config.aes_iv))


def post(sim: SimService, path: str, body: bytes) -> httpx.Response:
    return httpx.post(sim.title_url + path, content=body, timeout=5, trust_env=False)


def test_a_sealed_request_is_answered_bound_to_it(sim: SimService) -> None:
    envelope = title_envelope(sim)
    body, tag = envelope.seal({"userId": sim.config.keychip}, protocol.request_context(protocol.TITLE_PING))
    response = post(sim, protocol.TITLE_PING, body)
    assert response.status_code == 200 and response.headers["content-type"] == protocol.CONTENT_TYPE
    message = envelope.open(response.content, protocol.answer_context(protocol.TITLE_PING, tag))
    assert type(message.data["serverTime"]) is int and abs(message.ts - time.time()) < 60
    with pytest.raises(Exception, match="failed authentication"):  # not an answer to another request
        envelope.open(response.content, protocol.answer_context(protocol.TITLE_PING, bytes(32)))


def _replayed(sim: SimService) -> list[bytes]:
    body, _ = title_envelope(sim).seal({}, protocol.request_context(protocol.TITLE_PING))
    return [body, body]


def _stale(sim: SimService) -> list[bytes]:
    stamp = int(time.time()) - protocol.FRESHNESS_SECONDS - 5
    body, _ = title_envelope(sim).seal({}, protocol.request_context(protocol.TITLE_PING), ts=stamp)
    return [body]


def _forged(sim: SimService) -> list[bytes]:
    body, _ = title_envelope(sim).seal({}, protocol.request_context(protocol.TITLE_PING))
    return [body[:-1] + bytes([body[-1] ^ 0x80])]


def _other_path(sim: SimService) -> list[bytes]:
    body, _ = title_envelope(sim).seal({"userId": 1}, protocol.request_context(protocol.TITLE_LOGOUT))
    return [body]


@pytest.mark.parametrize(
    ("make", "code"),
    [
        (_replayed, "replayed_request"),
        (_stale, "stale_request"),
        (_forged, "unauthenticated"),
        (_other_path, "unauthenticated"),
        (lambda sim: [b""], "unauthenticated"),
    ],
    ids=["replayed", "stale", "forged", "sealed-for-another-path", "empty"],
)
def test_requests_the_service_refuses(sim: SimService, make: Any, code: str) -> None:
    bodies = make(sim)
    *accepted, refused = [post(sim, protocol.TITLE_PING, body) for body in bodies]
    assert [response.status_code for response in accepted] == [200] * len(accepted)
    assert refused.status_code == 401
    assert refused.json() == {"v": 1, "error": code, "message": refused.json()["message"]}


@pytest.mark.parametrize(
    ("method", "path", "status", "code"),
    [("POST", "/title/v1/nothing", 404, "not_found"), ("GET", protocol.TITLE_PING, 405, "method_not_allowed")],
)
def test_no_endpoint_answers_a_json_error(sim: SimService, method: str, path: str, status: int, code: str) -> None:
    response = httpx.request(method, sim.title_url + path, timeout=5, trust_env=False)
    assert response.status_code == status and response.json()["error"] == code


def test_an_oversized_request_is_refused(sim: SimService) -> None:
    response = post(sim, protocol.TITLE_PING, b"\x01" * (64 * 1024 + 1))
    assert (response.status_code, response.json()["error"]) == (413, "too_large")


def test_the_service_listens_on_loopback_only_and_stops(sim: SimService) -> None:
    with SimService.start() as service:
        ports = []
        for url in (service.login_url, service.title_url):
            host, port = url.removeprefix("http://").split(":")
            assert host == "127.0.0.1"
            ports.append(int(port))
        assert ports[0] != ports[1]
    for closed in ports:  # both closed again
        with socket.socket() as sock, pytest.raises(OSError):
            sock.connect(("127.0.0.1", closed))


def test_a_busy_port_makes_start_fail(sim: SimService) -> None:
    taken = int(sim.title_url.rsplit(":", 1)[1])
    with pytest.raises(OSError):
        SimService.start(title_port=taken)


@pytest.mark.parametrize("fault", ["unknown", ""])
def test_an_unknown_fault_is_refused(sim: SimService, fault: str) -> None:
    with pytest.raises(ValueError, match="unknown fault"):
        sim.inject(fault)


def test_issuing_a_code_for_an_unknown_user_fails(sim: SimService) -> None:
    with pytest.raises(KeyError):
        sim.issue_qrcode(-1)


def test_a_placeholder_user_list_can_stand_in() -> None:
    users = [{"userId": 5, "preview": {"userId": 5}, "data": {"userId": 5}}]
    with SimService.start(users=users) as service:
        assert service.user_ids() == [5]
    with pytest.raises(ValueError):
        SimService.start(users=[{"userId": "5", "preview": {}, "data": {}}])


def test_the_clients_default_to_the_local_service_ports(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv(protocol.LOGIN_URL_ENV, raising=False)
    monkeypatch.delenv(protocol.TITLE_URL_ENV, raising=False)
    login = KelvoNet(keychip="chip", kelvo_salt="salt")
    title = BaseZorvNet(salt="salt", userId="chip", logger=logger, aes=ZorvAES(b"k" * 16, b"i" * 16))
    assert login.base_url == f"http://127.0.0.1:{DEFAULT_LOGIN_PORT}"
    assert title.base_url == f"http://127.0.0.1:{DEFAULT_TITLE_PORT}"
    login.close()
    title.close()


def test_a_client_reads_its_address_when_it_is_built(sim: SimService, down_url: str, monkeypatch: pytest.MonkeyPatch) -> None:
    with KelvoNet(keychip=sim.config.keychip, kelvo_salt=sim.config.kelvo_salt) as early:
        monkeypatch.setenv(protocol.LOGIN_URL_ENV, down_url)
        with KelvoNet(keychip=sim.config.keychip, kelvo_salt=sim.config.kelvo_salt) as late:
            assert early.check_alive() is True
            with pytest.raises(ZorvRefusedError):
                late.get_user_id_by_qrcode("token")


def test_the_clients_need_no_service_libraries() -> None:
    code = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {"starlette", "uvicorn"}:
            raise ImportError(name)
sys.meta_path.insert(0, Block())
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import ZorvConfig
from zorvia.errors import ZorvRefusedError
import zorvia.models
config = ZorvConfig(keychip="c", kelvo_salt="k", zorv2_salt="z", aes_key="k" * 16, aes_iv="i" * 16)
manager = ZorvManager(config)
assert not {"starlette", "uvicorn"} & set(sys.modules)
try:
    import zorvia.sim
except ImportError as error:
    print("sim needs", error)
"""
    env = {**os.environ, protocol.LOGIN_URL_ENV: "http://127.0.0.1:9", protocol.TITLE_URL_ENV: "http://127.0.0.1:9"}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("sim needs ")
