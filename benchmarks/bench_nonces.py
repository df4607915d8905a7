"""Benchmark of the local service's cost per request as its table of seen nonces grows.

Starts the local service (zorvia.sim) in a background thread on free 127.0.0.1 ports and sends it
authentic health requests to the login service, one after another on one kept-alive connection
(the standard library's http.client, so that no client library's cost is in the figures). Every
accepted request leaves one live nonce behind for at least 300 s. For each level (default 1,000
and 30,000 live nonces) it fills the table to half MEASURED below the level, sends MEASURED more
(so the table holds the level on average) and reads the CPU time of the service's own thread (the one
that runs both servers' event loop) before and after: the service's CPU per request, in
microseconds, beside the wall-clock round trip as the client saw it.

Usage: python benchmarks/bench_nonces.py [MEASURED [LEVEL ...]]   (defaults 1000, 1000 30000)
Needs the local service's dependencies: pip install '.[sim]'
"""

from __future__ import annotations

import http.client
import sys
import threading
import time
from urllib.parse import urlsplit

from zorvia import protocol
from zorvia.sim import SimService


class Sender:
    """Sealed health requests to one login service over one connection."""

    def __init__(self, service: SimService) -> None:
        url = urlsplit(service.login_url)
        self._connection = http.client.HTTPConnection(url.hostname or "127.0.0.1", url.port)
        self._envelope = protocol.Envelope(service.config.kelvo_salt)
        self._data = {"keychip": service.config.keychip}
        self._context = protocol.request_context(protocol.LOGIN_HEALTH)
        self.sent = 0

    def send(self, count: int) -> float:
        """Sends `count` requests; the seconds spent waiting for their answers."""
        bodies = [self._envelope.seal(self._data, self._context)[0] for _ in range(count)]
        headers = {"content-type": protocol.CONTENT_TYPE}
        waited = 0.0
        for body in bodies:
            start = time.perf_counter()
            self._connection.request("POST", protocol.LOGIN_HEALTH, body=body, headers=headers)
            response = self._connection.getresponse()
            waited += time.perf_counter() - start
            if response.status != 200:
                raise RuntimeError(f"the service refused request {self.sent + 1}: {response.status} {response.read()!r}")
            response.read()
            self.sent += 1
        return waited

    def close(self) -> None:
        self._connection.close()


def service_clock() -> int:
    """The CPU clock of the thread that runs the local service's event loop."""
    (thread,) = [thread for thread in threading.enumerate() if thread.name == "zorvia-sim"]
    assert thread.ident is not None
    return time.pthread_getcpuclockid(thread.ident)


LEVELS = (1000, 30000)


def main(measured: int = 1000, levels: tuple[int, ...] = LEVELS) -> None:
    with SimService.start() as service:
        clock = service_clock()
        sender = Sender(service)
        print(f"local service, login health requests, {measured} measured at each level")
        print(f"{'live nonces':>14}{'service CPU us/request':>25}{'round trip us':>16}")
        started = time.monotonic()
        for level in sorted(levels):
            sender.send(max(0, level - measured // 2 - sender.sent))
            before = time.clock_gettime(clock)
            waited = sender.send(measured)
            cpu = time.clock_gettime(clock) - before
            print(f"{level:>14,}{cpu / measured * 1e6:>25.1f}{waited / measured * 1e6:>16.1f}")
        sender.close()
        if time.monotonic() - started > protocol.FRESHNESS_SECONDS:
            print("note: the run outlasted the freshness window, so fewer nonces may have been live than it says")


if __name__ == "__main__":
    measured, *levels = [int(argument) for argument in sys.argv[1:]] or [1000]
    main(measured, tuple(levels) or LEVELS)
