"""Benchmark of the whole road over loopback HTTP: QR code -> UserId -> Zorv2 -> user_data().

Starts the local service (zorvia.sim) in a background thread on free 127.0.0.1 ports, builds one
`ZorvManager` from the sample configuration and times, per round, `generate_user_id(qrcode=...)`
(one login-service request), `generate_zorv2(...)` (the first round also pings the title server)
and `user_data()` (one title-server request on the new per-user client, connection set-up
included). Issuing the QR code beforehand and logging out and closing the client afterwards are
not timed. Prints the median, mean, minimum and maximum milliseconds of each step and of the road.

Usage: python benchmarks/bench_road.py [ROUNDS [WARM_UP]]   (defaults 200 and 10)
Needs the local service's dependencies: pip install '.[sim]'
"""

from __future__ import annotations

import os
import statistics
import sys
from time import perf_counter

from loguru import logger

from zorvia.sim import SAMPLE_CONFIG, SimService
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import ZorvConfig

STEPS = ("login (QR code -> UserId)", "generate_zorv2", "user_data()", "whole road")


def one_round(manager: ZorvManager, qrcode: str) -> list[float]:
    """Seconds of each timed step, the road last."""
    start = perf_counter()
    user_id = manager.generate_user_id(qrcode=qrcode)
    logged_in = perf_counter()
    if user_id is None:
        raise RuntimeError("the local service did not know its own QR code")
    with manager.generate_zorv2(user_id) as zorv2:
        created = perf_counter()
        zorv2.user_data()
        fetched = perf_counter()
        zorv2.logout()
    return [logged_in - start, created - logged_in, fetched - created, fetched - start]


def main(rounds: int = 200, warm_up: int = 10) -> None:
    logger.remove()  # the clients' request logs would swamp the figures
    config = ZorvConfig.from_file(SAMPLE_CONFIG)
    with SimService.start(config=config) as service:
        os.environ.update(service.environ())
        manager = ZorvManager(config)
        for _ in range(warm_up):
            one_round(manager, service.issue_qrcode())
        samples = [one_round(manager, service.issue_qrcode()) for _ in range(rounds)]

    print(f"road over loopback, {rounds} rounds after {warm_up} warm-up rounds, milliseconds")
    print(f"{'step':<28}{'median':>9}{'mean':>9}{'min':>9}{'max':>9}")
    for index, step in enumerate(STEPS):
        values = [sample[index] * 1000 for sample in samples]
        figures = (statistics.median(values), statistics.fmean(values), min(values), max(values))
        print(f"{step:<28}" + "".join(f"{figure:>9.2f}" for figure in figures))


if __name__ == "__main__":
    main(*(int(argument) for argument in sys.argv[1:3]))
