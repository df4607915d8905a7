"""The local service run by uvicorn in a background thread, on 127.0.0.1 only."""

from __future__ import annotations

import asyncio
import socket
import threading
import time
from collections import Counter
from collections.abc import Iterable, Mapping
from datetime import datetime
from importlib.resources import files
from pathlib import Path
from types import TracebackType
from typing import Any

import uvicorn

from zorvia import protocol
from zorvia.sim.apps import SimState, login_app, title_app
from zorvia.sim.store import Store
from zorvia.zorvtypes import ZorvConfig

SAMPLE_CONFIG = Path(str(files("zorvia") / "data" / "sample_config.toml"))
HOST = "127.0.0.1"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0


def _listening_socket(port: int) -> socket.socket:
    # Named as TCP so that asyncio turns Nagle's algorithm off on the connections it accepts;
    # otherwise every later answer on a kept-alive connection waits for a delayed ACK (~40 ms).
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((HOST, port))
    except OSError:
        sock.close()
        raise
    return sock


class SimService:
    """A login service and a title server for local use and tests.

    `start()` returns once both accept connections; `stop()` (or leaving the `with` block) shuts
    them down. `issue_qrcode()` makes a fresh login QR code. For tests, `inject()` makes endpoints
    misbehave and `requests` counts the requests each path received.
    """

    def __init__(self, state: SimState, sockets: tuple[socket.socket, socket.socket]) -> None:
        self._state = state
        self._sockets = sockets
        self.config: ZorvConfig = state.config
        self.login_url = f"http://{HOST}:{sockets[0].getsockname()[1]}"
        self.title_url = f"http://{HOST}:{sockets[1].getsockname()[1]}"
        self._servers = [
            uvicorn.Server(
                uvicorn.Config(
                    app, log_level="warning", access_log=False, lifespan="off", timeout_graceful_shutdown=1
                )
            )
            for app in (login_app(state), title_app(state))
        ]
        self._thread = threading.Thread(target=self._run, name="zorvia-sim", daemon=True)

    @classmethod
    def start(
        cls,
        *,
        login_port: int = 0,
        title_port: int = 0,
        config: ZorvConfig | None = None,
        users: Iterable[Mapping[str, Any]] | None = None,
    ) -> SimService:
        """Starts both servers (port 0: a free port) speaking `config` (default: the sample
        configuration) and serving `users` (default: the package's sample users)."""
        config = ZorvConfig.from_file(SAMPLE_CONFIG) if config is None else config
        state = SimState(config, Store(users))
        login_sock = _listening_socket(login_port)
        try:
            title_sock = _listening_socket(title_port)
        except OSError:
            login_sock.close()
            raise
        service = cls(state, (login_sock, title_sock))
        service._thread.start()
        deadline = time.monotonic() + START_TIMEOUT
        while not all(server.started for server in service._servers):
            if not service._thread.is_alive() or time.monotonic() > deadline:
                service.stop()
                raise RuntimeError("the local service did not start")
            time.sleep(0.01)
        return service

    def _run(self) -> None:
        async def serve() -> None:
            await asyncio.gather(
                *(server.serve(sockets=[sock]) for server, sock in zip(self._servers, self._sockets, strict=True))
            )

        asyncio.run(serve())

    def stop(self) -> None:
        for server in self._servers:
            server.should_exit = True
        if self._thread.is_alive():
            self._thread.join(STOP_TIMEOUT)
        for sock in self._sockets:
            sock.close()

    def run_forever(self) -> None:
        """Blocks until Ctrl-C (or until the servers stop), then stops the service."""
        try:
            while self._thread.is_alive():
                self._thread.join(0.5)
        except KeyboardInterrupt:
            pass
        finally:
            self.stop()

    def __enter__(self) -> SimService:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.stop()

    def environ(self) -> dict[str, str]:
        """The environment variables that point the clients at this service."""
        return {protocol.LOGIN_URL_ENV: self.login_url, protocol.TITLE_URL_ENV: self.title_url}

    def issue_qrcode(self, user_id: int | None = None, *, stamp: datetime | None = None) -> str:
        """A fresh login QR code for the user (default: the first sample user), stamped now or at
        `stamp`; UnknownUser for a user the service does not serve."""
        return self._state.store.issue_qrcode(user_id, stamp)

    def user_ids(self) -> list[int]:
        return list(self._state.store.users)

    @property
    def store(self) -> Store:
        return self._state.store

    @property
    def requests(self) -> Counter[str]:
        """Requests received per path, counted before anything is checked."""
        return self._state.requests

    def inject(self, kind: str, *, path: str | None = None, times: int | None = None, delay: float = 1.0) -> None:
        """Makes `path` (default: every path) misbehave `times` times (default: until cleared).

        Kinds: "garbage" (random bytes), "wrong_key" (sealed under another key: another AES key
        on the title server, another salt on the login service), "forged_mac" (a tag with one
        bit flipped), "error_500" (the internal-error answer), "slow" (the answer `delay` seconds late).
        """
        self._state.faults.add(kind, path, times, delay)

    def clear_faults(self) -> None:
        self._state.faults.clear()
