"""Module-level names are looked up at each call; the logger defaults were captured at import.

Also: replaced `__defaults__` and `__annotations__`, a wrong `self` and deleted module attributes end
in ordinary exceptions.
"""

import builtins
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from loguru import logger as loguru_logger
from manager_support import START, Clock, Companions, argument_message, qrcode

from zorvia.errors import ZorvQrCodeError, ZorvQrCodeTimeoutError

pytest_plugins = ["manager_fixtures"]

# Each case: a name, a call that needs it (given the module and a manager), and what the call raises
# when it completes with the name in place.
USES: list[tuple[str, Callable[[ModuleType, Any], Any], type[BaseException] | None]] = [
    ("logger", lambda zm, m: zm.setup_logger(), None),
    ("ZorvNet", lambda zm, m: zm.zorv_net_generator("salt")(1, 2), None),
    ("ZorvNet", lambda zm, m: m.zorv_net_maker(1, 2), None),
    ("NET_LOG", lambda zm, m: zm.ZorvManager(m.config), None),
    ("KelvoNet", lambda zm, m: zm.ZorvManager(m.config), None),
    ("zorv_net_generator", lambda zm, m: zm.ZorvManager(m.config), None),
    ("ZorvAES", lambda zm, m: zm.ZorvManager(m.config), None),
    ("BaseZorvNet", lambda zm, m: zm.ZorvManager(m.config), None),
    ("datetime", lambda zm, m: zm.ZorvManager(m.config), None),
    ("timedelta", lambda zm, m: zm.ZorvManager(m.config), None),
    ("UserId", lambda zm, m: m.generate_user_id(userId=1), None),
    ("ZorvQrCodeError", lambda zm, m: m.generate_user_id("bad prefix"), ZorvQrCodeError),
    ("datetime", lambda zm, m: m.generate_user_id(qrcode(START)), None),
    ("timedelta", lambda zm, m: m.generate_user_id(qrcode(START)), None),
    (
        "ZorvQrCodeTimeoutError",
        lambda zm, m: m.generate_user_id(qrcode(START.replace(year=2000))),
        ZorvQrCodeTimeoutError,
    ),
    ("datetime", lambda zm, m: m.ping, None),
    ("time", lambda zm, m: m.generate_zorv2(m), None),
    ("Zorv2", lambda zm, m: m.generate_zorv2(m), None),
]
USE_IDS = [f"{name}-{i}" for i, (name, _, _) in enumerate(USES)]


@pytest.fixture
def user_manager(manager: Any) -> Any:
    """The manager, given a `userId` attribute so that it can stand in as its own user."""
    manager.userId = 5
    return manager


class TestLookupAtCallTime:
    @pytest.mark.parametrize(("name", "call", "raises"), USES, ids=USE_IDS)
    def test_a_deleted_name_raises_name_error(
        self, zm: ModuleType, user_manager: Any, monkeypatch: pytest.MonkeyPatch, name: str, call: Callable, raises: Any
    ) -> None:
        monkeypatch.delattr(zm, name)
        with pytest.raises(NameError) as caught:
            call(zm, user_manager)
        assert str(caught.value) == f"name '{name}' is not defined"
        assert caught.value.name == name  # what the traceback's "Did you mean" suggestion reads

    @pytest.mark.parametrize(("name", "call", "raises"), USES[1:], ids=USE_IDS[1:])
    def test_a_name_missing_from_the_module_is_taken_from_builtins(
        self, zm: ModuleType, user_manager: Any, monkeypatch: pytest.MonkeyPatch, name: str, call: Callable, raises: Any
    ) -> None:
        value = getattr(zm, name)
        monkeypatch.delattr(zm, name)
        monkeypatch.setattr(builtins, name, value, raising=False)
        if raises is None:
            call(zm, user_manager)
        else:
            with pytest.raises(raises):
                call(zm, user_manager)

    def test_rebinding_the_client_class_reaches_existing_factories(
        self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        insider = zm.zorv_net_generator("salt")
        monkeypatch.setattr(zm, "ZorvNet", lambda *args: ("first", args))
        assert insider(1, 2)[0] == "first"
        monkeypatch.setattr(zm, "ZorvNet", lambda *args: ("second", args))
        assert insider(1, 2) == ("second", (2, "salt", 1, loguru_logger, None, "", False, 3))

    def test_the_module_stdout_is_read_at_each_call(self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        sinks: list[Any] = []

        class FakeLogger:
            def remove(self) -> None:
                pass

            def add(self, sink: Any, **kwargs: Any) -> None:
                sinks.append(sink)

        monkeypatch.setattr(zm, "logger", FakeLogger())
        for stream in ("first", "second"):
            monkeypatch.setattr(zm, "stdout", stream)
            zm.setup_logger()
        assert sinks == ["first", "./log/debug.log", "second", "./log/debug.log"]
        monkeypatch.delattr(zm, "stdout")
        with pytest.raises(NameError, match="^name 'stdout' is not defined$"):
            zm.setup_logger()


class TestCapturedDefaults:
    def test_rebinding_zorvia_logger_leaves_the_defaults(self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(zm, "zorvia_logger", object())
        assert zm.zorv_net_generator.__defaults__ == (None, loguru_logger, "", False, 3)
        assert zm.zorv_net_generator.__defaults__[1] is loguru_logger
        assert zm.ZorvManager.__init__.__defaults__ == (loguru_logger,)
        assert zm.ZorvManager.__init__.__defaults__[0] is loguru_logger

    def test_replaced_defaults_are_the_ones_calls_use(self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        aes, log = object(), object()
        monkeypatch.setattr(zm.zorv_net_generator, "__defaults__", (aes, log, "p", True, 9))
        monkeypatch.setattr(zm, "ZorvNet", lambda *args: args)
        assert zm.zorv_net_generator("s")(1, 2) == (2, "s", 1, log, aes, "p", True, 9)

    def test_fewer_defaults_make_leading_parameters_required(
        self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(zm.zorv_net_generator, "__defaults__", (9,))
        monkeypatch.setattr(zm, "ZorvNet", lambda *args: args)
        assert zm.zorv_net_generator("s", None, None, "", False)(1, 2)[-1] == 9
        with pytest.raises(TypeError):
            zm.zorv_net_generator("s")

    def test_no_defaults_make_every_parameter_required(
        self, zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(zm.ZorvManager.generate_user_id, "__defaults__", None)
        with pytest.raises(TypeError):
            manager.generate_user_id()
        assert manager.generate_user_id(None, 3).userId == 3

    @pytest.mark.parametrize("value", [[1], 5, "abc"])
    def test_defaults_must_be_a_tuple(self, zm: ModuleType, value: object) -> None:
        with pytest.raises(TypeError):
            zm.zorv_net_generator.__defaults__ = value
        assert zm.zorv_net_generator.__defaults__ == (None, loguru_logger, "", False, 3)

    def test_replaced_annotations_change_no_behaviour(self, zm: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(zm.zorv_net_generator, "__annotations__", {"salt": "int"})
        assert zm.zorv_net_generator.__annotations__ == {"salt": "int"}
        with pytest.raises(TypeError) as caught:
            zm.zorv_net_generator(5)
        assert str(caught.value) == argument_message("salt", str, 5)

    def test_annotations_must_be_a_dict(self, zm: ModuleType) -> None:
        with pytest.raises(TypeError):
            zm.ZorvManager.client_test.__annotations__ = ["return"]
        assert zm.ZorvManager.client_test.__annotations__ == {"return": "Dict"}


class TestWrongSelf:
    @pytest.mark.parametrize(
        "call",
        [
            lambda cls: cls.check_db_alive(object()),
            lambda cls: cls.client_test(None),
            lambda cls: cls.generate_zorv2(5, object()),
            lambda cls: cls.ping.fget("text"),
            lambda cls: cls.__init__(1, object()),
            lambda cls: cls.generate_user_id(None, "QZTRVXKD240517120000"),
        ],
    )
    def test_a_foreign_self_gets_an_attribute_error(
        self, zm: ModuleType, companions: Companions, clock: Clock, call: Callable
    ) -> None:
        with pytest.raises(AttributeError):
            call(zm.ZorvManager)

    def test_methods_work_on_any_object_with_the_attributes(self, zm: ModuleType) -> None:
        class Alive:
            def check_alive(self) -> str:
                return "yes"

        class Stand:
            kelvo_net = Alive()

        assert zm.ZorvManager.check_db_alive(Stand()) == "yes"
