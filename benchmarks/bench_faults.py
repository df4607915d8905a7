"""Time to a clear error, with the default settings, against peers that are no real service.

Runs a loopback peer of each kind (the tests' own, from tests/net_support.py) and times one call
of two title-server clients against it: `BaseZorvNet.ping()` as the manager builds it (one attempt
per call, so `manager.ping` and `generate_zorv2` fail in that time) and `ZorvNet.get_user_data()`
as the manager's factory builds it (retried `--retry` times, the configuration's default 3).
Prints the seconds to the error and the error; then the peak memory traced by tracemalloc while
the manager's client refuses a 50 MiB answer.

Peers: silent (reads the request, never answers), dripping (a byte every 20 ms, forever),
refused (nothing listens), 50 MiB (a 200 answer of 50 MiB, closed after it, no length declared).

Usage: python benchmarks/bench_faults.py [--retry N]   (about 45 s with the defaults)
"""

from __future__ import annotations

import argparse
import socket
import threading
import tracemalloc
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from time import perf_counter
from typing import Any

import tests_path  # noqa: F401  (benchmarks/ is on sys.path when run as a script; this adds tests/)
from loguru import logger
from net_support import HANG, HEAD, Peer, drip, flood

from zorvia.aes import ZorvAES
from zorvia.errors import ZorvError
from zorvia.settings import NetSettings
from zorvia.zorv2 import BaseZorvNet, ZorvNet

MiB = 1024 * 1024


def silent(conn: socket.socket, stop: threading.Event) -> None:
    stop.wait(HANG)


@contextmanager
def refused() -> Iterator[str]:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    yield f"http://127.0.0.1:{port}"


@contextmanager
def peer(behaviour: Any) -> Iterator[str]:
    with Peer(behaviour) as running:
        yield running.url


PEERS: dict[str, Callable[[], Any]] = {
    "silent": lambda: peer(silent),
    "dripping": lambda: peer(drip(HEAD + bytes(1000))),
    "refused": refused,
    "50 MiB": lambda: peer(flood(50 * MiB, declared=False)),
}


def clients(url: str, retry: int) -> dict[str, Callable[[], Any]]:
    settings = NetSettings(title_url=url)  # the defaults for everything else
    aes = ZorvAES("k" * 16, "i" * 16)
    base = BaseZorvNet("salt", "chip", logger, aes, settings=settings)
    user = ZorvNet(0, "salt", 7, logger, aes, "", True, retry, settings=settings)
    return {"manager's (1 attempt)": base.ping, f"per-user (retry {retry})": user.get_user_data}


def time_to_error(call: Callable[[], Any]) -> tuple[float, str]:
    start = perf_counter()
    try:
        call()
    except ZorvError as error:
        return perf_counter() - start, f"{type(error).__name__}: {str(error).split(': ', 1)[1]}"
    raise RuntimeError("the call succeeded against a peer that never answers properly")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--retry", type=int, default=3, help="the per-user client's retry count (default 3)")
    retry = parser.parse_args().retry
    logger.remove()  # the retry warnings would interleave with the table
    print(f"defaults: {NetSettings(title_url='http://127.0.0.1')!r}")
    print(f"{'peer':<10}{'client':<22}{'seconds':>9}  error")
    for name, make in PEERS.items():
        with make() as url:
            for label, call in clients(url, retry).items():
                seconds, error = time_to_error(call)
                print(f"{name:<10}{label:<22}{seconds:>9.3f}  {error}")
    with PEERS["50 MiB"]() as url:
        call = clients(url, retry)["manager's (1 attempt)"]
        tracemalloc.start()
        time_to_error(call)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    print(f"peak traced memory while refusing the 50 MiB answer: {peak / MiB:.2f} MiB")


if __name__ == "__main__":
    main()
