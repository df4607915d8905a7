"""Keyword names bind as in a Python function: by identity, else by string equality.

Each case calls a native function and a plain `def` of the same signature with the same keyword
objects: interned names, equal strings that are other objects, and `str` subclasses with their
own `__eq__`. The outcomes (the bound values, or the kind of error) and the
comparisons the keywords were asked to make must be the same.
"""

from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from manager_support import load_native

PARAMS = ("salt", "aes", "logger", "proxy", "verify", "retry")


class Always(str):
    """Equal to every name it is compared with."""

    def __eq__(self, other: object) -> bool:
        COMPARED.append((str(self), other))
        return True

    __hash__ = str.__hash__


class Never(str):
    """Equal to nothing, its own text included."""

    def __eq__(self, other: object) -> bool:
        COMPARED.append((str(self), other))
        return False

    __hash__ = str.__hash__


class Alias(str):
    """Equal to one other name ("proxy"), and to nothing else."""

    def __eq__(self, other: object) -> bool:
        COMPARED.append((str(self), other))
        return other == "proxy"

    __hash__ = str.__hash__


class Raising(str):
    def __eq__(self, other: object) -> bool:
        raise LookupError(f"compared with {other}")

    __hash__ = str.__hash__


COMPARED: list[tuple[str, object]] = []


def fresh(text: str) -> str:
    """An equal string that is not the interned one."""
    made = "".join(list(text))
    assert made == text and made is not text
    return made


@pytest.fixture(scope="module")
def native() -> ModuleType:
    return load_native()


def native_generator(native: ModuleType) -> Callable[..., Any]:
    """zorv_net_generator, giving back what it bound in parameter order."""

    def call(*args: Any, **kwargs: Any) -> tuple:
        insider = native.zorv_net_generator(*args, **kwargs)
        ping, salt, user_id, logger, aes, proxy, verify, retry = insider(1, 2)
        return salt, aes, logger, proxy, verify, retry

    return call


def plain_generator(native: ModuleType) -> Callable[..., Any]:
    def zorv_net_generator(salt, aes=None, logger=native.zorvia_logger, proxy="", verify=False, retry=3):
        return salt, aes, logger, proxy, verify, retry

    return zorv_net_generator


def outcome(function: Callable[..., Any], args: tuple, kwargs: dict) -> tuple:
    COMPARED.clear()
    try:
        result: tuple = ("bound", function(*args, **kwargs))
    except TypeError as exc:
        kinds = ("multiple values", "unexpected keyword", "positional argument", "must be strings")
        result = ("TypeError", [kind for kind in kinds if kind in str(exc)])
    except LookupError as exc:
        result = ("LookupError", str(exc))
    return result, list(COMPARED)


CASES = [
    ("interned names", ("s",), {"proxy": "p", "retry": 5}),
    ("equal strings, other objects", (), {fresh("salt"): "s", fresh("retry"): 9}),
    ("equal to everything: the first parameter", (), {Always("zzz"): "s"}),
    ("equal to everything, first parameter given", ("s",), {Always("zzz"): "t"}),
    ("equal to nothing, its own text included", ("s",), {Never("proxy"): "p"}),
    ("equal to one other name", ("s",), {Alias("elsewhere"): "p"}),
    ("comparison raises", ("s",), {Raising("retry"): 1}),
    ("mixed kinds in one call", (), {"salt": "s", fresh("aes"): "k", Alias("x"): "p"}),
    ("an equal string given twice", ("s",), {"proxy": "p", Alias("x"): "q"}),
]


@pytest.mark.parametrize(("args", "kwargs"), [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_keywords_bind_as_in_a_python_function(native: ModuleType, monkeypatch: pytest.MonkeyPatch, args, kwargs) -> None:
    monkeypatch.setattr(native, "ZorvNet", lambda *values: values)
    expected = outcome(plain_generator(native), args, kwargs)
    assert outcome(native_generator(native), args, kwargs) == expected
