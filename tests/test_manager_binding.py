"""Argument binding of the native functions and its exact messages."""

import ctypes
from collections.abc import Callable
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from manager_support import functions

pytest_plugins = ["manager_fixtures"]

SELF = object()  # stands for a ZorvManager instance in the tables below


def arity(name: str, how: str, bound: int, given: int) -> str:
    plural = "" if bound == 1 else "s"
    return f"{name}() takes {how} {bound} positional argument{plural} ({given} given)"


def unexpected(name: str, keyword: str) -> str:
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def multiple(name: str, keyword: str) -> str:
    return f"{name}() got multiple values for keyword argument '{keyword}'"


CASES: list[tuple[str, tuple, dict[str, Any], str]] = [
    # (a) too many positional arguments, whatever the keywords
    ("zorv_net_generator", ("s",) * 7, {}, arity("zorv_net_generator", "at most", 6, 7)),
    ("zorv_net_generator", ("s",) * 7, {"bogus": 1}, arity("zorv_net_generator", "at most", 6, 7)),
    ("insider", (1, 2, 3), {}, arity("insider", "exactly", 2, 3)),
    ("insider", (1, 2, 3), {"userId": 1}, arity("insider", "exactly", 2, 3)),
    ("__init__", (SELF, 1, 2, 3), {}, arity("__init__", "at most", 3, 4)),
    ("generate_user_id", (SELF, 1, 2, 3), {}, arity("generate_user_id", "at most", 3, 4)),
    ("check_db_alive", (SELF, 1), {}, arity("check_db_alive", "exactly", 1, 2)),
    ("ping", (SELF, SELF), {}, arity("ping", "exactly", 1, 2)),
    ("client_test", (SELF, 1, 2), {}, arity("client_test", "exactly", 1, 3)),
    ("generate_zorv2", (SELF, 1, 2), {}, arity("generate_zorv2", "exactly", 2, 3)),
    ("filter", (1, 2), {}, arity("<lambda>", "exactly", 1, 2)),
    # (c) the first required parameter missing from the keywords: "given" counts the parameters before it
    ("zorv_net_generator", (), {}, arity("zorv_net_generator", "at least", 1, 0)),
    ("zorv_net_generator", (), {"aes": None}, arity("zorv_net_generator", "at least", 1, 0)),
    ("zorv_net_generator", (), {"bogus": 1}, arity("zorv_net_generator", "at least", 1, 0)),
    ("insider", (), {}, arity("insider", "exactly", 2, 0)),
    ("insider", (7,), {}, arity("insider", "exactly", 2, 1)),
    ("insider", (), {"userId": 7}, arity("insider", "exactly", 2, 1)),
    ("insider", (), {"ping": 5}, arity("insider", "exactly", 2, 0)),
    ("insider", (7,), {"bogus": 1}, arity("insider", "exactly", 2, 1)),
    ("insider", (True,), {}, arity("insider", "exactly", 2, 1)),
    ("__init__", (), {}, arity("__init__", "at least", 2, 0)),
    ("__init__", (SELF,), {}, arity("__init__", "at least", 2, 1)),
    ("__init__", (SELF,), {"logger": 1}, arity("__init__", "at least", 2, 1)),
    ("__init__", (), {"config": 1}, arity("__init__", "at least", 2, 0)),
    ("generate_user_id", (), {}, arity("generate_user_id", "at least", 1, 0)),
    ("generate_user_id", (), {"qrcode": None, "userId": 1}, arity("generate_user_id", "at least", 1, 0)),
    ("check_db_alive", (), {}, arity("check_db_alive", "exactly", 1, 0)),
    ("ping", (), {}, arity("ping", "exactly", 1, 0)),
    ("client_test", (), {"x": 1}, arity("client_test", "exactly", 1, 0)),
    ("generate_zorv2", (SELF,), {}, arity("generate_zorv2", "exactly", 2, 1)),
    ("generate_zorv2", (SELF,), {"userId": 1}, arity("generate_zorv2", "exactly", 2, 1)),
    ("generate_zorv2", (), {"I_userId": 1}, arity("generate_zorv2", "exactly", 2, 0)),
    ("filter", (), {}, arity("<lambda>", "exactly", 1, 0)),
    ("filter", (), {"rec": 1}, arity("<lambda>", "exactly", 1, 0)),
    # (e) keywords left over, checked in call order
    ("zorv_net_generator", ("s",), {"bogus": 1}, unexpected("zorv_net_generator", "bogus")),
    ("zorv_net_generator", ("s",), {"salt": "t"}, multiple("zorv_net_generator", "salt")),
    ("zorv_net_generator", ("s", None), {"aes": 1}, multiple("zorv_net_generator", "aes")),
    ("zorv_net_generator", ("s",), {"bogus": 1, "salt": "t"}, unexpected("zorv_net_generator", "bogus")),
    ("zorv_net_generator", ("s",), {"salt": "t", "bogus": 1}, multiple("zorv_net_generator", "salt")),
    ("zorv_net_generator", ("s",), {"retry": 1, "Retry": 1}, unexpected("zorv_net_generator", "Retry")),
    ("insider", (7, 5), {"userId": 1}, multiple("insider", "userId")),
    ("insider", (7,), {"ping": 5, "extra": 1}, unexpected("insider", "extra")),
    ("insider", (), {"userId": 7, "ping": 5, "Ping": 1}, unexpected("insider", "Ping")),
    ("__init__", (SELF, 1), {"config": 1}, multiple("__init__", "config")),
    ("__init__", (SELF,), {"self": 1, "config": 2}, multiple("__init__", "self")),
    ("generate_user_id", (SELF,), {"qr": 1}, unexpected("generate_user_id", "qr")),
    ("generate_user_id", (SELF, None), {"qrcode": None}, multiple("generate_user_id", "qrcode")),
    ("check_db_alive", (SELF,), {"x": 1}, unexpected("check_db_alive", "x")),
    ("check_db_alive", (SELF,), {"self": 1}, multiple("check_db_alive", "self")),
    ("generate_zorv2", (SELF, 1), {"I_userId": 1}, multiple("generate_zorv2", "I_userId")),
    ("filter", ({},), {"record": 1}, multiple("<lambda>", "record")),
    # functions without parameters: the keyword message first
    ("setup_logger", (1,), {}, "setup_logger() takes no arguments (1 given)"),
    ("setup_logger", (1, 2), {}, "setup_logger() takes no arguments (2 given)"),
    ("setup_logger", (), {"x": 1}, "setup_logger() takes no keyword arguments"),
    ("setup_logger", (1,), {"x": 1}, "setup_logger() takes no keyword arguments"),
]


def substitute_self(args: tuple, instance: object) -> tuple:
    return tuple(instance if arg is SELF else arg for arg in args)


@pytest.fixture
def instance(native: ModuleType) -> Any:
    return native.ZorvManager.__new__(native.ZorvManager)


@pytest.mark.parametrize(("key", "args", "kwargs", "message"), CASES)
def test_binding_errors(native: ModuleType, instance: Any, key: str, args: tuple, kwargs: dict, message: str) -> None:
    function = functions(native)[key]
    with pytest.raises(TypeError) as caught:
        function(*substitute_self(args, instance), **kwargs)
    assert str(caught.value) == message
    assert type(caught.value) is TypeError


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda cls, m: cls(), arity("__init__", "at least", 2, 1)),
        (lambda cls, m: cls(1, 2, 3), arity("__init__", "at most", 3, 4)),
        (lambda cls, m: cls(logger=1), arity("__init__", "at least", 2, 1)),
        (lambda cls, m: cls(1, cfg=1), unexpected("__init__", "cfg")),
        (lambda cls, m: m.generate_user_id(1, 2, 3), arity("generate_user_id", "at most", 3, 4)),
        (lambda cls, m: m.check_db_alive(1), arity("check_db_alive", "exactly", 1, 2)),
        (lambda cls, m: m.client_test(x=1), unexpected("client_test", "x")),
        (lambda cls, m: m.generate_zorv2(), arity("generate_zorv2", "exactly", 2, 1)),
        (lambda cls, m: m.generate_zorv2(1, 2), arity("generate_zorv2", "exactly", 2, 3)),
        (lambda cls, m: m.generate_zorv2(self=1), arity("generate_zorv2", "exactly", 2, 1)),
        (lambda cls, m: m.generate_zorv2(2, self=1), multiple("generate_zorv2", "self")),
    ],
)
def test_calls_through_the_class_and_bound_methods_count_self(
    native: ModuleType, instance: Any, call: Callable, message: str
) -> None:
    with pytest.raises(TypeError) as caught:
        call(native.ZorvManager, instance)
    assert str(caught.value) == message


def test_self_may_be_given_by_keyword(native: ModuleType) -> None:
    stand = SimpleNamespace(kelvo_net=SimpleNamespace(check_alive=lambda: "alive"))
    assert native.ZorvManager.check_db_alive(self=stand) == "alive"


def test_every_parameter_binds_by_keyword(native: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(native, "ZorvNet", lambda *args: args)
    insider = native.zorv_net_generator(retry=1, verify=2, proxy=3, logger=4, aes=5, salt="s")
    assert insider(ping=6, userId=7) == (6, "s", 7, 4, 5, 3, 2, 1)
    assert functions(native)["filter"](record={"level": SimpleNamespace(no=10)}) is True


def vectorcall(function: Callable, args: tuple, kwnames: tuple) -> Any:
    """Calls through the C vectorcall protocol, which lets keyword names be any objects."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + 1))(*args, None)
    return api(function, stack, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize(
    ("key", "args", "kwnames", "message"),
    [
        ("zorv_net_generator", ("s", 1), (1,), "zorv_net_generator() keywords must be strings"),
        ("zorv_net_generator", ("s", 1, 2), (1, "bogus"), "zorv_net_generator() keywords must be strings"),
        ("zorv_net_generator", ("s", 1, 2), ("bogus", 1), unexpected("zorv_net_generator", "bogus")),
        ("zorv_net_generator", ("s", 1, 2), ("salt", 1), multiple("zorv_net_generator", "salt")),
        ("insider", (7, 5, 1), ("ping", b"x"), "insider() keywords must be strings"),
        ("generate_user_id", (SELF, 1), (None,), "generate_user_id() keywords must be strings"),
        ("setup_logger", (1,), (1,), "setup_logger() takes no keyword arguments"),
    ],
)
def test_keyword_names_that_are_not_strings(
    native: ModuleType, instance: Any, key: str, args: tuple, kwnames: tuple, message: str
) -> None:
    with pytest.raises(TypeError) as caught:
        vectorcall(functions(native)[key], substitute_self(args, instance), kwnames)
    assert str(caught.value) == message


def test_vectorcall_with_string_keywords_binds_normally(native: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(native, "ZorvNet", lambda *args: args)
    insider = native.zorv_net_generator("s")
    assert vectorcall(insider, (5, 7), ("ping",)) == (7, "s", 5, native.zorvia_logger, None, "", False, 3)
