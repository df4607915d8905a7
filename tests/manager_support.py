"""Shared helpers of the manager tests: module loading, recording fakes, a controllable clock.

The fixtures built on them live in manager_fixtures.py, which the test modules load as a plugin.
"""

from __future__ import annotations

import copy
import datetime as dt
import importlib
import json
import subprocess
import sys
import textwrap
from collections.abc import Callable
from functools import cache
from pathlib import Path
from types import ModuleType
from typing import Any

import manager_child

TESTS_DIR = Path(__file__).resolve().parent

PREFIX = "QZTRVXKD"
START = dt.datetime(2024, 5, 17, 12, 0, 0)
START_UNIX = 1_715_947_200.9

CONFIG_VALUES: dict[str, Any] = {
    "keychip": "A63E-01E12345678",
    "kelvo_salt": "kelvo-salt",
    "proxy": "http://proxy.invalid:3128",
    "https_verify": False,
    "zorv2_salt": "zorv2-salt",
    "aes_key": "0123456789abcdef",
    "aes_iv": "fedcba9876543210",
    "retry": 5,
    "place_id": 1234,
    "client_id": "A63E01E1234",
}

_HEAPTYPE = 1 << 9

Event = tuple[str, tuple[Any, ...], tuple[tuple[str, Any], ...]]


@cache
def load_native() -> ModuleType:
    return importlib.import_module("zorvia.zorvmanager")


load_reference = cache(manager_child.load_reference)


LOADERS: dict[str, Callable[[], ModuleType]] = {"native": load_native, "reference": load_reference}


def setup_filters(module: ModuleType) -> list[Callable[..., Any]]:
    """The two filter functions of one `setup_logger` call, caught by a stand-in logger."""
    filters: list[Callable[..., Any]] = []

    class CatchingLogger:
        def remove(self) -> None:
            pass

        def add(self, sink: Any, **kwargs: Any) -> None:
            filters.append(kwargs["filter"])

    saved = module.logger
    module.logger = CatchingLogger()
    try:
        module.setup_logger()
    finally:
        module.logger = saved
    return filters


def functions(module: ModuleType) -> dict[str, Callable[..., Any]]:
    """Every function of the module by a short key; "insider" and "filter" are made afresh."""
    cls = module.ZorvManager
    return {
        "setup_logger": module.setup_logger,
        "zorv_net_generator": module.zorv_net_generator,
        "insider": module.zorv_net_generator("salt"),
        "__init__": cls.__dict__["__init__"],
        "generate_user_id": cls.__dict__["generate_user_id"],
        "check_db_alive": cls.__dict__["check_db_alive"],
        "ping": cls.__dict__["ping"].fget,
        "client_test": cls.__dict__["client_test"],
        "generate_zorv2": cls.__dict__["generate_zorv2"],
        "filter": setup_filters(module)[0],
    }


def type_name(tp: type) -> str:
    """The name a C-level message gives a type: dotted for static types outside builtins."""
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def argument_message(name: str, expected: type, value: object) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type_name(type(value))})"


def result_message(expected: type, value: object) -> str:
    return f"Expected {expected.__name__}, got {type_name(type(value))}"


def qrcode(stamp: dt.datetime, rest: str = "ABC") -> str:
    return PREFIX + stamp.strftime("%y%m%d%H%M%S") + rest


def raiser(exc: BaseException) -> Callable[..., Any]:
    def reply(*args: Any, **kwargs: Any) -> Any:
        raise exc

    return reply


def event(name: str, *args: Any, **kwargs: Any) -> Event:
    return (name, args, tuple(kwargs.items()))


def reads(*names: str) -> list[Event]:
    return [event("read", name) for name in names]


class Recorder:
    """One ordered log of what the fake companions, the clock and the configuration see."""

    def __init__(self) -> None:
        self.events: list[Event] = []

    def log(self, name: str, *args: Any, **kwargs: Any) -> None:
        self.events.append(event(name, *args, **kwargs))

    def take(self) -> list[Event]:
        taken, self.events = self.events, []
        return taken

    def names(self) -> list[str]:
        return [name for name, _, _ in self.events]


class Companions:
    """Recording stand-ins for the companion classes.

    Each fake class logs its construction with the exact positional and keyword arguments and keeps
    them on the instance; method calls on its instances are logged too and answered by `replies`.
    """

    CLASS_NAMES = ("ZorvAES", "KelvoNet", "BaseZorvNet", "ZorvNet", "Zorv2")

    def __init__(self, recorder: Recorder) -> None:
        self.recorder = recorder
        self.user = object()
        self.replies: dict[str, Callable[..., Any]] = {
            "get_user_id_by_qrcode": lambda text: self.user,
            "check_alive": lambda: True,
            "ping": lambda: 42,
            "upsert_client_testmode": lambda placeId, clientId: {"placeId": placeId, "clientId": clientId},
        }
        self.classes = {name: self._fake_class(name) for name in self.CLASS_NAMES}

    def _fake_class(self, class_name: str) -> type:
        companions = self

        def __init__(obj: Any, *args: Any, **kwargs: Any) -> None:
            obj.args = args
            obj.kwargs = kwargs
            companions.recorder.log(class_name, *args, **kwargs)

        def __getattr__(obj: Any, method: str) -> Callable[..., Any]:
            if method not in companions.replies:
                raise AttributeError(method)

            def call(*args: Any, **kwargs: Any) -> Any:
                companions.recorder.log(method, *args, **kwargs)
                return companions.replies[method](*args, **kwargs)

            return call

        return type(class_name, (), {"__init__": __init__, "__getattr__": __getattr__})


class CountingConfig:
    """A configuration whose attributes are computed on access: every read is logged.

    A value that is an exception instance is raised by the read instead of being returned.
    """

    def __init__(self, recorder: Recorder, **values: Any) -> None:
        self._recorder = recorder
        self._values = {**CONFIG_VALUES, **values}

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or name not in self._values:
            raise AttributeError(name)
        self._recorder.log("read", name)
        value = self._values[name]
        if isinstance(value, BaseException):
            raise value
        return value

    def model_copy(self, *, deep: bool = False) -> CountingConfig:
        self._recorder.log("model_copy", deep=deep)
        return CountingConfig(self._recorder, **copy.deepcopy(self._values))


class Clock:
    """Controls `datetime.now()` and `time()` as the module under test sees them; every read is logged."""

    def __init__(self, recorder: Recorder) -> None:
        self.recorder = recorder
        self.now = START
        self.unix = START_UNIX
        clock = self

        class ClockDatetime(dt.datetime):
            @classmethod
            def now(cls, tz: dt.tzinfo | None = None) -> dt.datetime:
                clock.recorder.log("now")
                return clock.now

        self.datetime = ClockDatetime

    def advance(self, seconds: float) -> None:
        self.now += dt.timedelta(seconds=seconds)

    def time(self) -> float:
        self.recorder.log("time")
        return self.unix


def run_child_process(code: str, cwd: Path = TESTS_DIR) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter, which can import `manager_child`, and checks that it succeeded."""
    prelude = f"import sys\nsys.path.insert(0, {str(TESTS_DIR)!r})\n"
    completed = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    return completed


def run_child(code: str) -> Any:
    """Runs `code` in a fresh interpreter and returns the JSON document it printed last."""
    return json.loads(run_child_process(code).stdout.splitlines()[-1])
