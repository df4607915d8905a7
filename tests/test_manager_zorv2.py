"""`ZorvManager.generate_zorv2`: one new title object per call, built from the manager's parts."""

from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from loguru import logger as loguru_logger
from manager_support import (
    CONFIG_VALUES,
    START_UNIX,
    Clock,
    Companions,
    CountingConfig,
    Recorder,
    argument_message,
    event,
    raiser,
)

from zorvia import zorv2, zorvtypes
from zorvia.zorvtypes import UserId

pytest_plugins = ["manager_fixtures"]


def test_steps_run_in_order(manager: Any, recorder: Recorder, companions: Companions, config: CountingConfig) -> None:
    user = UserId(userId=7)
    title = manager.generate_zorv2(user)
    names = recorder.names()
    assert names == ["time", "now", "ping", "now", "ZorvNet", "model_copy", "Zorv2"]
    zorv_net, model_copy, made = recorder.events[4:]
    assert zorv_net[1][:4] == (42, CONFIG_VALUES["zorv2_salt"], 7, loguru_logger)
    assert model_copy == event("model_copy", deep=True)
    assert [key for key, _ in made[2]] == ["net", "userId", "timestamp", "config", "logger"]
    assert made[1] == ()
    kwargs = title.kwargs
    assert kwargs["net"].args[:3] == (42, CONFIG_VALUES["zorv2_salt"], 7)
    assert kwargs["userId"] is user
    assert kwargs["timestamp"] == int(START_UNIX) and type(kwargs["timestamp"]) is int
    assert type(kwargs["config"]) is CountingConfig and kwargs["config"] is not config
    assert kwargs["logger"] is loguru_logger


@pytest.mark.parametrize(("clock_value", "stamp"), [(1_700_000_000.9, 1_700_000_000), (5.0, 5), (0.999, 0)])
def test_the_time_stamp_is_cut_to_whole_seconds(manager: Any, clock: Clock, clock_value: float, stamp: int) -> None:
    clock.unix = clock_value
    timestamp = manager.generate_zorv2(UserId(userId=1)).kwargs["timestamp"]
    assert timestamp == stamp and type(timestamp) is int


def test_the_time_stamp_is_taken_before_a_slow_ping(manager: Any, companions: Companions, clock: Clock) -> None:
    def slow_ping() -> int:
        clock.unix += 30
        return 1

    companions.replies["ping"] = slow_ping
    assert manager.generate_zorv2(UserId(userId=1)).kwargs["timestamp"] == int(START_UNIX)


def test_two_calls_make_two_of_everything_and_ping_once(
    manager: Any, recorder: Recorder, config: CountingConfig
) -> None:
    user = UserId(userId=3)
    first, second = manager.generate_zorv2(user), manager.generate_zorv2(user)
    assert first is not second
    assert first.kwargs["net"] is not second.kwargs["net"]
    copies = first.kwargs["config"], second.kwargs["config"]
    assert copies[0] is not copies[1] and config not in copies
    assert recorder.names().count("ping") == 1
    assert recorder.names().count("model_copy") == 2


def test_the_logger_is_the_managers_own(
    zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig
) -> None:
    log = object()
    manager = zm.ZorvManager(config, log)
    assert manager.generate_zorv2(UserId(userId=1)).kwargs["logger"] is log
    manager.logger = other = object()
    assert manager.generate_zorv2(UserId(userId=1)).kwargs["logger"] is other


def test_any_object_with_a_user_id_attribute_is_accepted(manager: Any, recorder: Recorder) -> None:
    user = SimpleNamespace(userId=12)
    assert manager.generate_zorv2(user).kwargs["userId"] is user
    assert recorder.events[4][1][2] == 12


def test_without_a_user_id_attribute_the_server_is_not_contacted(manager: Any, recorder: Recorder) -> None:
    with pytest.raises(AttributeError):
        manager.generate_zorv2(object())
    assert recorder.names() == ["time"]


def test_a_user_id_that_is_not_exactly_int_is_refused_by_the_factory(manager: Any, recorder: Recorder) -> None:
    with pytest.raises(TypeError) as caught:
        manager.generate_zorv2(SimpleNamespace(userId=True))
    assert str(caught.value) == argument_message("userId", int, True)
    assert "ZorvNet" not in recorder.names()


def test_a_failed_ping_creates_nothing(manager: Any, companions: Companions, recorder: Recorder) -> None:
    error = ConnectionError("title server down")
    companions.replies["ping"] = raiser(error)
    with pytest.raises(ConnectionError) as caught:
        manager.generate_zorv2(UserId(userId=1))
    assert caught.value is error
    assert recorder.names() == ["time", "now", "ping"]


def test_a_ping_that_is_not_an_int_creates_nothing(manager: Any, companions: Companions, recorder: Recorder) -> None:
    companions.replies["ping"] = lambda: 1.5
    with pytest.raises(TypeError, match="^Expected int, got float$"):
        manager.generate_zorv2(UserId(userId=1))
    assert "ZorvNet" not in recorder.names()


@pytest.mark.parametrize("failing", ["zorv_net_maker", "Zorv2"])
def test_errors_of_the_factory_and_the_title_class_propagate(
    zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch, failing: str
) -> None:
    error = RuntimeError(failing)
    if failing == "Zorv2":
        monkeypatch.setattr(zm, "Zorv2", raiser(error))
    else:
        manager.zorv_net_maker = raiser(error)
    with pytest.raises(RuntimeError) as caught:
        manager.generate_zorv2(UserId(userId=1))
    assert caught.value is error


def test_the_title_object_is_returned_unchanged(zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    made = object()
    monkeypatch.setattr(zm, "Zorv2", lambda **kwargs: made)
    assert manager.generate_zorv2(UserId(userId=1)) is made


def test_the_manager_is_left_unchanged_apart_from_the_ping_cache(manager: Any) -> None:
    before = dict(vars(manager))
    manager.generate_zorv2(UserId(userId=1))
    after = dict(vars(manager))
    assert {key for key in before if before[key] is not after[key]} == {"last_ping", "last_ping_datetime"}
    assert list(after) == list(before)


def test_real_companions_make_an_independent_title_object(
    zm: ModuleType, companions: Companions, monkeypatch: pytest.MonkeyPatch
) -> None:
    for name in ("ZorvNet", "Zorv2"):
        monkeypatch.setattr(zm, name, getattr(zorv2, name))
    config = zorvtypes.ZorvConfig(**CONFIG_VALUES)
    manager = zm.ZorvManager(config)
    user = UserId(userId=77)
    title = manager.generate_zorv2(user)
    assert type(title) is zorv2.Zorv2
    assert title.userId is user and title.logger is loguru_logger
    assert type(title.net) is zorv2.ZorvNet and (title.net.ping, title.net.userId) == (42, 77)
    assert title.config == config and title.config is not config
    title.config.retry = 99
    assert config.retry == CONFIG_VALUES["retry"]
