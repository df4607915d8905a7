"""The local service as a peer sees it: raw requests that are replayed, stale or forged; and the
clients' independence from the service's libraries."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from typing import Any

import httpx2
import pytest
from net_support import title_cipher

from zorvia import protocol
from zorvia.sim import SimService

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
