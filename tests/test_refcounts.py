"""A million calls through the native functions leave reference counts and traced memory flat.

Nothing here is timed; the counts only have to come back to where they started.
"""

import sys
import tracemalloc
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any

import pytest
from catalog_support import UNKNOWN_ID, build_schema, serializer_of, stored, validator_of

import zorvia.catalog_types as catalog_types

pytest_plugins = ["manager_fixtures"]

CALLS = 1_000_000
ERROR_CALLS = 100_000
MEMORY_SLACK = 64 * 1024


class Client:
    __slots__ = ("args",)

    def __init__(self, *args: Any) -> None:
        self.args = args


class User:
    __slots__ = ("userId",)

    def __init__(self, userId: int) -> None:
        self.userId = userId


@pytest.fixture
def traced() -> Iterator[Callable[[], int]]:
    tracemalloc.start()
    yield lambda: tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()


def refcounts(objects: list[object]) -> list[int]:
    return [sys.getrefcount(obj) for obj in objects]


def assert_flat(
    run: Callable[[int], None], objects: list[object], traced: Callable[[], int], calls: int = CALLS
) -> None:
    run(1000)  # warm up caches and free lists before measuring
    counts, memory = refcounts(objects), traced()
    run(calls)
    assert refcounts(objects) == counts
    assert traced() - memory < MEMORY_SLACK


def test_a_million_insider_calls(
    native: ModuleType, monkeypatch: pytest.MonkeyPatch, traced: Callable[[], int]
) -> None:
    monkeypatch.setattr(native, "ZorvNet", Client)
    salt, aes, log, proxy, retry = "salt-" + str(id(native)), object(), object(), "proxy-x", 10**12 + 3
    user, ping = 10**15 + 7, 10**15 + 9
    insider = native.zorv_net_generator(salt, aes, log, proxy, True, retry)

    def run(count: int) -> None:
        for _ in range(count // 2):
            insider(user, ping)
            insider(userId=user, ping=ping)

    assert_flat(run, [salt, aes, log, proxy, retry, user, ping, insider, Client], traced)


def test_a_million_user_id_calls(
    native: ModuleType, monkeypatch: pytest.MonkeyPatch, traced: Callable[[], int]
) -> None:
    monkeypatch.setattr(native, "UserId", User)
    manager = native.ZorvManager.__new__(native.ZorvManager)
    method = native.ZorvManager.generate_user_id
    user = 10**15 + 11

    def run(count: int) -> None:
        for _ in range(count):
            manager.generate_user_id(userId=user)

    assert_flat(run, [manager, method, user, User], traced)


def test_refused_calls_do_not_leak(native: ModuleType, traced: Callable[[], int]) -> None:
    insider = native.zorv_net_generator("salt")
    manager = native.ZorvManager.__new__(native.ZorvManager)
    bad, user = 10**15 + 0.5, 10**15 + 13
    calls: list[Callable[[], Any]] = [
        lambda: insider(user, bad),
        lambda: insider(user),
        lambda: insider(user, ping=bad, other=user),
        lambda: insider(user, user, userId=user),
        lambda: manager.generate_user_id(userId=bad),
        lambda: native.setup_logger(user),
    ]

    def run(count: int) -> None:
        for call in calls:
            for _ in range(count // len(calls)):
                try:
                    call()
                except TypeError:
                    pass

    assert_flat(run, [insider, manager, bad, user], traced, ERROR_CALLS)


def test_a_million_catalog_validations(traced: Callable[[], int]) -> None:
    schema = build_schema(catalog_types, "Music")
    validate, serialize = validator_of(schema), serializer_of(schema)
    records = stored(catalog_types, "Music")
    known_id, record = next(iter(records.items()))
    unknown_id = int(str(UNKNOWN_ID))
    database, getter = catalog_types.other_db, catalog_types.other_db.get_dict

    def run(count: int) -> None:
        for _ in range(count // 4):
            validate(known_id)
            validate(unknown_id)
            serialize(record)
            serialize(unknown_id)

    assert_flat(run, [known_id, unknown_id, record, record.name.ID, records, database, getter], traced)
