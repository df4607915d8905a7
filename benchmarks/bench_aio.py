"""Benchmark of the road from an event loop, and of what a road costs beyond its HTTP exchanges.

The local service runs in a process of its own (so that it takes no time from the clients' GIL),
with a third server beside it on the same stack (Starlette on uvicorn) whose one endpoint answers
a POST with two bytes: the floor's "bare HTTP exchange".

1. Concurrency: ROADS roads (QR code -> UserId -> title object -> preview, user data, logout,
   close) started together from one asyncio loop, in three ways, each in a fresh process:
   - `aio`: awaitable roads (`zorvia.aio.AsyncZorvManager`), gathered;
   - `threads`: blocking roads on a pool of ROADS threads (`loop.run_in_executor`);
   - `sequential`: blocking roads one after another, called on the loop.
   For each: the wall time (median of the rounds), the loop's worst tick delay (a task asks to
   sleep 1 ms; the delay is how much later it wakes), the most threads of the process and its
   resident memory's growth over the run (both sampled at each tick and at the end).
2. Instructions (callgrind): one road through logout and close against its floor, the same four
   exchanges bare (httpx2) to a trivial endpoint, on connections used as the road uses them.
   The blocking road: one on a client kept across rounds (as the login client is) and three on
   a fresh client closed after them (as the user's is). The awaited road: all four on one kept
   `httpx2.AsyncClient` (as the awaitable manager's users share its pool). Counted twice: in
   the client process alone, and for the whole system, in a process that also runs the three
   servers, where every thread counts (less the servers' idle ticks). Also the client by the clock.

Usage: python benchmarks/bench_aio.py [--roads N] [--rounds N] [--only concurrency|instructions]
Needs the local service's dependencies (pip install '.[sim]') and, for instructions, valgrind.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

MODES = ("aio", "threads", "sequential")
FLOOR_PATH = "/floor"
PAGE = os.sysconf("SC_PAGE_SIZE")


# --- The service process ------------------------------------------------------------------------


@contextmanager
def servers() -> Iterator[tuple[Any, dict[str, str]]]:
    """Runs the local service and the floor's server in threads of this process; yields the
    service and the environment that points clients at them (the floor's URL as "floor_url")."""
    import threading

    import uvicorn
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import Response
    from starlette.routing import Route

    from zorvia.sim import SimService
    from zorvia.sim.service import _listening_socket

    async def trivial(request: Request) -> Response:
        await request.body()
        return Response(b"ok")

    floor_socket = _listening_socket(0)
    floor = uvicorn.Server(
        uvicorn.Config(Starlette(routes=[Route(FLOOR_PATH, trivial, methods=["POST"])]), log_level="warning", access_log=False, lifespan="off")
    )
    threading.Thread(target=floor.run, kwargs={"sockets": [floor_socket]}, daemon=True).start()
    try:
        with SimService.start() as service:
            while not floor.started:
                time.sleep(0.01)
            floor_url = f"http://127.0.0.1:{floor_socket.getsockname()[1]}{FLOOR_PATH}"
            yield service, {**service.environ(), "floor_url": floor_url}
    finally:
        floor.should_exit = True


def fresh_codes(service: Any, count: int) -> list[str]:
    users = service.user_ids()
    return [service.issue_qrcode(users[index % len(users)]) for index in range(count)]


def serve() -> None:
    """Runs the servers; prints the environment that points clients at them as one JSON line,
    then answers each line "N" on stdin with N fresh QR codes (one JSON line) until stdin ends."""
    with servers() as (service, environ):
        print(json.dumps(environ), flush=True)
        for line in sys.stdin:
            print(json.dumps(fresh_codes(service, int(line))), flush=True)


class Service:
    def __init__(self) -> None:
        self._process = subprocess.Popen(
            [sys.executable, __file__, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        assert self._process.stdout is not None and self._process.stdin is not None
        self.environ: dict[str, str] = json.loads(self._process.stdout.readline())

    def codes(self, count: int) -> list[str]:
        assert self._process.stdout is not None and self._process.stdin is not None
        self._process.stdin.write(f"{count}\n")
        self._process.stdin.flush()
        codes: list[str] = json.loads(self._process.stdout.readline())
        return codes

    def stop(self) -> None:
        assert self._process.stdin is not None
        self._process.stdin.close()
        self._process.wait(30)


def child(service: Service, arguments: list[str], codes: int, wrap: list[str] | None = None) -> Any:
    """Runs this script with `arguments` in a fresh process pointed at the service, handing it
    `codes` QR codes on stdin; its last line of output, as JSON."""
    done = subprocess.run(
        [*(wrap or []), sys.executable, __file__, *arguments],
        input=json.dumps(service.codes(codes)), capture_output=True, text=True, check=True,
        env={**os.environ, **service.environ, "PYTHONHASHSEED": "0"},
    )  # fmt: skip
    return json.loads(done.stdout.splitlines()[-1])


# --- The roads ----------------------------------------------------------------------------------


def road(manager: Any, qrcode: str) -> None:
    user_id = manager.generate_user_id(qrcode=qrcode)
    with manager.generate_zorv2(user_id) as zorv2:
        zorv2.preview()
        zorv2.user_data()
        zorv2.logout()


async def awaited_road(manager: Any, qrcode: str) -> None:
    user_id = await manager.generate_user_id(qrcode=qrcode)
    async with await manager.generate_zorv2(user_id) as zorv2:
        await zorv2.preview()
        await zorv2.user_data()
        await zorv2.logout()


def floor(kept: Any, url: str) -> None:
    import httpx2

    from zorvia._transport import ssl_context  # built once, as the clients' is

    kept.post(url, content=b"{}")
    with httpx2.Client(verify=ssl_context(True), trust_env=False) as client:
        for _ in range(3):
            client.post(url, content=b"{}")


# --- 1. Concurrency -----------------------------------------------------------------------------


def threads_now() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def resident() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * PAGE


class Ticker:
    """The loop's worst tick delay, and the most threads and resident memory seen, while it runs."""

    def __init__(self) -> None:
        self.worst = 0.0
        self.threads = threads_now()
        self.base = self.peak = resident()
        self._running = True

    def sample(self) -> None:
        self.threads = max(self.threads, threads_now())
        self.peak = max(self.peak, resident())

    async def run(self) -> None:
        while self._running:
            start = time.perf_counter()
            await asyncio.sleep(0.001)
            self.worst = max(self.worst, time.perf_counter() - start - 0.001)
            self.sample()

    def stop(self) -> None:
        self._running = False
        self.sample()


async def one_round(mode: str, codes: list[str], managers: dict[str, Any]) -> dict[str, float]:
    ticker = Ticker()
    ticking = asyncio.create_task(ticker.run())
    await asyncio.sleep(0.005)  # the ticker's first tick
    loop = asyncio.get_running_loop()
    start = time.perf_counter()
    if mode == "aio":
        await asyncio.gather(*(awaited_road(managers["aio"], code) for code in codes))
    elif mode == "threads":
        with ThreadPoolExecutor(len(codes)) as pool:
            await asyncio.gather(*(loop.run_in_executor(pool, road, managers["sync"], code) for code in codes))
    else:
        for code in codes:
            road(managers["sync"], code)
    wall = time.perf_counter() - start
    await asyncio.sleep(0)  # one more tick: what the loop waited for during a blocking run
    ticker.stop()
    await ticking
    return {"wall": wall, "worst_tick": ticker.worst, "threads": ticker.threads, "memory": ticker.peak - ticker.base}


async def concurrency(mode: str, roads: int, rounds: int) -> list[dict[str, float]]:
    from loguru import logger

    from zorvia.aio import AsyncZorvManager
    from zorvia.sim import SAMPLE_CONFIG
    from zorvia.zorvmanager import ZorvManager
    from zorvia.zorvtypes import ZorvConfig

    logger.remove()
    codes: list[str] = json.loads(sys.stdin.read())
    config = ZorvConfig.from_file(SAMPLE_CONFIG)
    managers: dict[str, Any] = {"sync": ZorvManager(config)}
    async with AsyncZorvManager(config) as managers["aio"]:
        await one_round(mode, codes[:roads], managers)  # warm-up: imports, the ping cache, the first connections
        return [await one_round(mode, codes[roads * turn : roads * (turn + 1)], managers) for turn in range(1, rounds + 1)]


# --- 2. Instructions ----------------------------------------------------------------------------


RUNS = ("road", "floor", "awaited road", "awaited floor")
IDLE_SECONDS = 2.0


def measured(count: int, clocked: bool, whole: bool = False) -> dict[str, float]:
    """`count` of each of RUNS after a warm-up; under callgrind each batch inside sys.call_tracing,
    whose return dumps the count; by the clock, the best of 5 turns of each. `whole`: the servers
    run in threads of this process, so that a count holds their work too."""
    with ExitStack() as stack:
        if whole:
            service, environ = stack.enter_context(servers())
            os.environ.update(environ)
            codes = fresh_codes(service, len(RUNS) * (count + 5))
        else:
            codes = json.loads(sys.stdin.read())
        return measured_runs(codes, count, clocked)


def measured_runs(codes: list[str], count: int, clocked: bool) -> dict[str, float]:
    import httpx2
    from loguru import logger

    from zorvia._transport import ssl_context
    from zorvia.aio import AsyncZorvManager
    from zorvia.sim import SAMPLE_CONFIG
    from zorvia.zorvmanager import ZorvManager
    from zorvia.zorvtypes import ZorvConfig

    logger.remove()
    config = ZorvConfig.from_file(SAMPLE_CONFIG)
    url = os.environ["floor_url"]
    manager = ZorvManager(config)
    kept = httpx2.Client(verify=ssl_context(True), trust_env=False)
    loop = asyncio.new_event_loop()
    awaited = AsyncZorvManager(config)
    awaited_kept = httpx2.AsyncClient(verify=ssl_context(True), trust_env=False)

    async def awaited_roads(batch: list[str]) -> None:
        for code in batch:
            await awaited_road(awaited, code)

    async def awaited_floors(number: int) -> None:
        for _ in range(4 * number):  # the awaited road's four exchanges, all on the manager's kept pool
            await awaited_kept.post(url, content=b"{}")

    def roads(batch: list[str]) -> None:
        for code in batch:
            road(manager, code)

    def floors(batch: list[str]) -> None:
        for _ in batch:
            floor(kept, url)

    runs: dict[str, Callable[[list[str]], object]] = {
        "road": roads,
        "floor": floors,
        "awaited road": lambda batch: loop.run_until_complete(awaited_roads(batch)),
        "awaited floor": lambda batch: loop.run_until_complete(awaited_floors(len(batch))),
    }
    for run in runs.values():  # warm-up: imports, the ping cache, the first connections
        run(codes[:5])
        codes = codes[5:]
    best: dict[str, float] = {name: float("inf") for name in runs}
    if not clocked:  # the first count holds more than its call (a throwaway); then the servers
        sys.call_tracing(time.sleep, (0.1,))  # idle: what they spend per second while nothing is asked
        sys.call_tracing(time.sleep, (IDLE_SECONDS,))
    for _ in range(5 if clocked else 1):
        for name, run in runs.items():
            batch, codes = codes[:count], codes[count:]
            start = time.perf_counter()
            if clocked:
                run(batch)
            else:
                sys.call_tracing(run, (batch,))
            best[name] = min(best[name], (time.perf_counter() - start) / count)
    loop.run_until_complete(awaited.aclose())
    loop.run_until_complete(awaited_kept.aclose())
    loop.close()
    return best


def instructions(service: Service, count: int, whole: bool = False) -> list[float]:
    """Instructions of one of each of RUNS: in the client process, or (`whole`) in a process that
    also runs the servers, counting every thread's work from the start of a batch to its end.

    The servers wake up every 0.1 s even when idle (uvicorn's tick), and under valgrind a batch
    takes many times as long as it would: their idle rate, measured first in the same process, is
    taken off each batch in proportion to the batch's time, so that a slower batch is not charged
    for the ticks it lasted through."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        valgrind = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-after=_PyEval_CallTracing"]
        if whole:  # collecting in every thread; the counts start again at each batch
            valgrind += ["--collect-atstart=yes", "--zero-before=_PyEval_CallTracing"]
        else:  # collecting only in the thread that runs the batch, while it does
            valgrind += ["--collect-atstart=no", "--toggle-collect=_PyEval_CallTracing"]
        arguments = ["--measure", str(count), *(["--whole"] if whole else [])]
        seconds = child(service, arguments, 0 if whole else len(RUNS) * (count + 5), wrap=valgrind)
        dumps = sorted(Path(folder).glob("callgrind.out.*"), key=lambda path: int(path.name.rsplit(".", 1)[1]))
        totals = [
            int([line for line in dump.read_text().splitlines() if line.startswith(("totals:", "summary:"))][-1].split()[1])
            for dump in dumps
        ]
    idle, totals = totals[1] / IDLE_SECONDS, totals[2:]
    return [total / count - (idle * seconds[name] if whole else 0) for total, name in zip(totals, RUNS)]


# --- Report -------------------------------------------------------------------------------------


def report_concurrency(service: Service, roads: int, rounds: int) -> None:
    print(f"{roads} roads from one asyncio loop, against the local service in its own process; median of {rounds} rounds")
    print(f"{'mode':<12}{'wall ms':>10}{'worst tick ms':>15}{'peak threads':>14}{'memory MiB':>12}")
    for mode in MODES:
        results: list[dict[str, float]] = child(service, ["--mode", mode, str(roads), str(rounds)], roads * (rounds + 1))
        wall = statistics.median(result["wall"] for result in results) * 1000
        worst = max(result["worst_tick"] for result in results) * 1000
        threads = max(result["threads"] for result in results)
        memory = max(result["memory"] for result in results) / 2**20
        print(f"{mode:<12}{wall:>10.1f}{worst:>15.1f}{threads:>14.0f}{memory:>12.1f}")


def report_instructions(service: Service, count: int) -> None:
    counts = dict(zip(RUNS, instructions(service, count)))
    whole = dict(zip(RUNS, instructions(service, count, whole=True)))
    clock = child(service, ["--measure", str(count), "--clock"], len(RUNS) * (5 * count + 5))
    print(f"one road through logout and close vs its floor (the same 4 exchanges, bare); {count} of each")
    print(f"{'':<40}{'road':>14}{'floor':>14}{'ratio':>8}")
    for kind in ("", "awaited "):
        rows = (
            ("instructions, client", counts, 1.0),
            ("instructions, client + servers", whole, 1.0),
            ("microseconds, client", clock, 1e6),
        )
        for label, figures, scale in rows:
            road, floor = figures[kind + "road"] * scale, figures[kind + "floor"] * scale
            print(f"{kind + label:<40}{road:>14,.0f}{floor:>14,.0f}{road / floor:>8.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--roads", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=20, help="roads measured under callgrind")
    parser.add_argument("--only", choices=["concurrency", "instructions"])
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mode", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--measure", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--clock", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--whole", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()
    if args.mode:
        mode, roads, rounds = args.mode[0], int(args.mode[1]), int(args.mode[2])
        return print(json.dumps(asyncio.run(concurrency(mode, roads, rounds))))
    if args.measure:
        return print(json.dumps(measured(args.measure, args.clock, args.whole)))
    service = Service()
    try:
        runs: list[Callable[[], None]] = []
        if args.only != "instructions":
            runs.append(lambda: report_concurrency(service, args.roads, args.rounds))
        if args.only != "concurrency":
            runs.append(lambda: report_instructions(service, args.count))
        for run in runs:
            run()
            print()
    finally:
        service.stop()


if __name__ == "__main__":
    main()
