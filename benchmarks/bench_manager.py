"""Benchmark of the manager flow: `generate_user_id(qrcode=...)` then `generate_zorv2(...)`.

Runs the flow with trivial companions (bound over the module attributes) on the native
`zorvia.zorvmanager` and on the plain-Python reference in tests/reference, prints flows per
second, the speed ratio and the resident set size before and after the timed run. It then runs the flow
again under tracemalloc, which slows every allocation down a great deal, and prints the traced memory
before and after, to show that memory stays flat.

Usage: python benchmarks/bench_manager.py [iterations [traced_iterations]]
       (defaults 1,000,000 and a tenth of the iterations)
"""

from __future__ import annotations

import datetime as dt
import importlib
import os
import sys
import time
import tracemalloc
from types import ModuleType
from typing import Any

import tests_path  # noqa: F401  (benchmarks/ is on sys.path when run as a script; this adds tests/)

WARM_UP = 1_000
MODULES = {"native": "zorvia.zorvmanager", "reference": "reference.zorvmanager"}  # tests/reference


class Trivial:
    """Stands for a companion class: accepts any arguments and keeps none."""

    __slots__ = ()

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass


class User:
    __slots__ = ("userId",)

    def __init__(self, userId: int) -> None:
        self.userId = userId


USER = User(12_345_678)


class LoginService(Trivial):
    __slots__ = ()

    def get_user_id_by_qrcode(self, text: str) -> User:
        return USER


class TitleServer(Trivial):
    __slots__ = ()

    def ping(self) -> int:
        return 42


class Config:
    keychip = "A63E-01E12345678"
    kelvo_salt = "kelvo-salt"
    proxy = ""
    https_verify = True
    zorv2_salt = "zorv2-salt"
    aes_key = "0123456789abcdef"
    aes_iv = "fedcba9876543210"
    retry = 3

    def model_copy(self, *, deep: bool = False) -> Config:
        return self


COMPANIONS = {
    "KelvoNet": LoginService,
    "BaseZorvNet": TitleServer,
    "ZorvAES": Trivial,
    "ZorvNet": Trivial,
    "Zorv2": Trivial,
}


def prepare(module: ModuleType) -> Any:
    for name, value in COMPANIONS.items():
        setattr(module, name, value)
    return module.ZorvManager(Config())


def flow(manager: Any, code: str, iterations: int) -> None:
    generate_user_id, generate_zorv2 = manager.generate_user_id, manager.generate_zorv2
    for _ in range(iterations):
        generate_zorv2(generate_user_id(qrcode=code))


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


def timed(manager: Any, code: str, iterations: int) -> tuple[float, int, int]:
    """Flows per second, and the RSS (KiB) before and after the run."""
    flow(manager, code, WARM_UP)
    rss_before = rss_kib()
    start = time.perf_counter()
    flow(manager, code, iterations)
    rate = iterations / (time.perf_counter() - start)
    return rate, rss_before, rss_kib()


def traced(manager: Any, code: str, iterations: int) -> tuple[int, int]:
    """Traced bytes before and after `iterations` flows."""
    tracemalloc.start()
    flow(manager, code, WARM_UP)
    before = tracemalloc.get_traced_memory()[0]
    flow(manager, code, iterations)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return before, after


def main() -> None:
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    traced_iterations = int(sys.argv[2]) if len(sys.argv) > 2 else iterations // 10
    code = "QZTRVXKD" + dt.datetime.now().strftime("%y%m%d%H%M%S") + "ABC"
    modules = {name: importlib.import_module(module) for name, module in MODULES.items()}
    managers = {name: prepare(module) for name, module in modules.items()}

    print(f"flow generate_user_id(qrcode=...) -> generate_zorv2(...), {iterations:,} iterations")
    rates = {}
    for name, manager in managers.items():
        rates[name], rss_before, rss_after = timed(manager, code, iterations)
        print(f"  {name:<9} {rates[name]:>12,.0f} flows/s   RSS {rss_before:,} -> {rss_after:,} KiB")
    print(f"  native is {rates['native'] / rates['reference']:.2f} times as fast as the reference")

    print(f"traced memory over {traced_iterations:,} more flows:")
    for name, manager in managers.items():
        before, after = traced(manager, code, traced_iterations)
        print(f"  {name:<9} {before:,} -> {after:,} bytes")


if __name__ == "__main__":
    main()
