"""The local service as a peer sees it: raw requests that are replayed, stale or forged; the
bounds of what callers make it keep; and the clients' independence from the service's libraries."""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import secrets
import subprocess
import sys
import time
from typing import Any

import httpx2
import pytest
from net_support import title_cipher

from zorvia import protocol
from zorvia.errors import ZorvServiceError
from zorvia.sim import SimService
from zorvia.sim import store as sim_store
from zorvia.sim.apps import Nonces, Refusal
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId

pytest_plugins = ["net_fixtures"]


def sealed(sim: SimService, path: str = protocol.TITLE_PING, ts: int | None = None) -> bytes:
    envelope = protocol.Envelope(sim.config.zorv2_salt, title_cipher(sim))
    return envelope.seal({"userId": 1}, protocol.request_context(path), ts=ts)[0]


def flipped(body: bytes) -> bytes:
    return body[:-1] + bytes([body[-1] ^ 1])


@pytest.mark.parametrize(
    ("make", "code"),
    [
        (lambda sim: [sealed(sim)] * 2, "replayed_request"),
        (lambda sim: [sealed(sim, ts=int(time.time()) - protocol.FRESHNESS_SECONDS - 5)], "stale_request"),
        (lambda sim: [flipped(sealed(sim))], "unauthenticated"),
        (lambda sim: [sealed(sim, protocol.TITLE_LOGOUT)], "unauthenticated"),  # sealed for another path
    ],
    ids=["replayed", "stale", "forged", "other-path"],
)
def test_requests_the_service_refuses(sim: SimService, make: Any, code: str) -> None:
    url = sim.title_url + protocol.TITLE_PING
    *accepted, refused = [httpx2.post(url, content=body, trust_env=False) for body in make(sim)]
    assert [response.status_code for response in accepted] == [200] * len(accepted)
    assert (refused.status_code, refused.json()["error"]) == (401, code)


def login_request(sim: SimService, nonce: str) -> bytes:
    """A health request sealed by hand for the login service (whose payload is clear JSON), with any nonce."""
    payload = json.dumps({"ts": int(time.time()), "nonce": nonce, "data": {"keychip": sim.config.keychip}}).encode()
    signed = bytes([protocol.VERSION]) + protocol.request_context(protocol.LOGIN_HEALTH) + b"\0" + payload
    return bytes([protocol.VERSION]) + hmac.new(sim.config.kelvo_salt.encode(), signed, hashlib.sha256).digest() + payload


@pytest.mark.parametrize("nonce", ["f" * 60_000, "0x" + "f" * 30], ids=["60000-characters", "hex-prefix"])
def test_an_authentic_request_whose_nonce_is_not_32_hex_digits_is_refused(sim: SimService, nonce: str) -> None:
    response = httpx2.post(sim.login_url + protocol.LOGIN_HEALTH, content=login_request(sim, nonce), trust_env=False)
    assert (response.status_code, response.json()["error"]) == (400, "bad_request")


def test_the_nonce_table_drops_stale_nonces_and_refuses_replays_of_those_it_forgets() -> None:
    clock = [1_800_000_000.0]
    nonces = Nonces(limit=3, clock=lambda: clock[0])
    ts = int(clock[0])
    sent = [(secrets.token_hex(16), ts + second) for second in range(4)]
    for nonce, stamp in sent:  # the fourth makes the full table forget the first
        nonces.admit(nonce, stamp)
    assert len(nonces) == 3
    for (nonce, stamp), code in zip(sent[:2], ["stale_request", "replayed_request"], strict=True):
        with pytest.raises(Refusal) as caught:
            nonces.admit(nonce, stamp)
        assert caught.value.code == code
    nonces.admit(secrets.token_hex(16), ts + 1)  # a new request stamped after the forgotten one passes
    clock[0] += protocol.FRESHNESS_SECONDS + 10  # every stamp so far has left the window
    nonces.admit(secrets.token_hex(16), int(clock[0]))
    assert len(nonces) == 1


def test_login_tokens_and_test_mode_clients_stay_bounded(sim: SimService, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sim_store, "TOKEN_LIMIT", 2)
    monkeypatch.setattr(sim_store, "TESTMODE_LIMIT", 2)
    codes = [sim.issue_qrcode() for _ in range(3)]
    manager = ZorvManager(sim.config)
    first_user = UserId(userId=sim.user_ids()[0])
    assert [manager.generate_user_id(qrcode=code) for code in codes] == [None, first_user, first_user]
    for client_id in ["A1", "A2", "A3"]:
        manager.base_net.upsert_client_testmode(placeId=1, clientId=client_id)
    assert list(sim.store.testmode) == ["A2", "A3"]
    with pytest.raises(ZorvServiceError) as caught:
        manager.base_net.upsert_client_testmode(placeId=1, clientId="A" * 65)
    assert (caught.value.status, caught.value.code) == (400, "bad_request")
    assert "A" * 65 not in sim.store.testmode


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
import zorvia.models
ZorvManager(ZorvConfig(keychip="c", kelvo_salt="k", zorv2_salt="z", aes_key="k" * 16, aes_iv="i" * 16))
try:
    import zorvia.sim
except ImportError as error:
    print("sim needs", error)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=dict(os.environ))
    assert (done.returncode, done.stderr, done.stdout.split()[:2]) == (0, "", ["sim", "needs"])
