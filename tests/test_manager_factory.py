"""The network-client factory: `zorv_net_generator` and the `insider` functions it returns."""

from types import ModuleType

import pytest
from loguru import logger as loguru_logger
from manager_support import Companions, Recorder, argument_message, event, raiser

pytest_plugins = ["manager_fixtures"]


class StrSubclass(str):
    pass


class IntSubclass(int):
    pass


def test_salt_alone_builds_clients_from_the_defaults(
    zm: ModuleType, companions: Companions, recorder: Recorder
) -> None:
    client = zm.zorv_net_generator("salt")(7, 5)
    assert recorder.events == [event("ZorvNet", 5, "salt", 7, loguru_logger, None, "", False, 3)]
    assert client.args[3] is loguru_logger


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda insider: insider(7, 5), id="positional"),
        pytest.param(lambda insider: insider(userId=7, ping=5), id="keywords"),
        pytest.param(lambda insider: insider(ping=5, userId=7), id="keywords-reversed"),
        pytest.param(lambda insider: insider(7, ping=5), id="mixed"),
    ],
)
def test_insider_passes_eight_positional_arguments_ping_first(
    zm: ModuleType, companions: Companions, recorder: Recorder, call
) -> None:
    aes, log = object(), object()
    insider = zm.zorv_net_generator("salt", aes, log, "proxy", True, 9)
    client = call(insider)
    assert recorder.events == [event("ZorvNet", 5, "salt", 7, log, aes, "proxy", True, 9)]
    assert client.kwargs == {}


def test_generator_parameters_bind_by_keyword(zm: ModuleType, companions: Companions, recorder: Recorder) -> None:
    aes, log = object(), object()
    zm.zorv_net_generator(retry=1, verify=None, proxy="p", logger=log, aes=aes, salt="s")(2, 3)
    assert recorder.events == [event("ZorvNet", 3, "s", 2, log, aes, "p", None, 1)]


def test_clients_of_one_factory_share_the_captured_objects(zm: ModuleType, companions: Companions) -> None:
    aes = object()
    insider = zm.zorv_net_generator("salt", aes)
    first, second = insider(1, 2), insider(1, 2)
    assert first is not second
    assert first.args[4] is aes and second.args[4] is aes


def test_every_call_returns_a_new_factory(zm: ModuleType) -> None:
    first, second = zm.zorv_net_generator("salt"), zm.zorv_net_generator("salt")
    assert first is not second
    assert first.__qualname__ == "zorv_net_generator.<locals>.insider"


def test_insider_returns_the_client_unchanged(zm: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    made = object()
    monkeypatch.setattr(zm, "ZorvNet", lambda *args: made)
    assert zm.zorv_net_generator("salt")(1, 2) is made


def test_a_failing_client_constructor_propagates_and_the_factory_stays_usable(
    zm: ModuleType, companions: Companions, monkeypatch: pytest.MonkeyPatch
) -> None:
    insider = zm.zorv_net_generator("salt")
    error = ConnectionError("refused")
    monkeypatch.setattr(zm, "ZorvNet", raiser(error))
    with pytest.raises(ConnectionError) as caught:
        insider(1, 2)
    assert caught.value is error
    monkeypatch.setattr(zm, "ZorvNet", companions.classes["ZorvNet"])
    assert insider(1, 2).args[:3] == (2, "salt", 1)


@pytest.mark.parametrize("salt", [StrSubclass("salt"), None, b"salt", 1], ids=type)
def test_salt_must_be_exactly_str(zm: ModuleType, salt: object) -> None:
    with pytest.raises(TypeError) as caught:
        zm.zorv_net_generator(salt)
    assert str(caught.value) == argument_message("salt", str, salt)


@pytest.mark.parametrize(
    ("args", "name", "bad"),
    [
        ((True, 5), "userId", True),
        ((IntSubclass(7), 5), "userId", IntSubclass(7)),
        ((None, 5), "userId", None),
        ((7, 5.0), "ping", 5.0),
        ((7, False), "ping", False),
        ((7, "5"), "ping", "5"),
        ((7, None), "ping", None),
        ((True, 5.0), "userId", True),
    ],
)
def test_insider_arguments_must_be_exactly_int(
    zm: ModuleType, companions: Companions, recorder: Recorder, args: tuple, name: str, bad: object
) -> None:
    insider = zm.zorv_net_generator("salt")
    with pytest.raises(TypeError) as caught:
        insider(*args)
    assert str(caught.value) == argument_message(name, int, bad)
    with pytest.raises(TypeError) as caught:
        insider(userId=args[0], ping=args[1])
    assert str(caught.value) == argument_message(name, int, bad)
    assert recorder.events == []
