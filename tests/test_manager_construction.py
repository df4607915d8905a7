"""`ZorvManager(config, logger)`: what the constructor reads, builds and sets, in which order."""

import datetime as dt
from collections import Counter
from types import ModuleType
from typing import Any

import pytest
from loguru import logger as loguru_logger
from manager_support import (
    CONFIG_VALUES,
    START,
    Clock,
    Companions,
    CountingConfig,
    Recorder,
    argument_message,
    event,
    reads,
)

from zorvia import aes, userid, zorv2, zorvtypes

pytest_plugins = ["manager_fixtures"]

ATTRIBUTES = [
    "net_log",
    "config",
    "logger",
    "kelvo_net",
    "zorv_net_maker",
    "base_net",
    "last_ping_datetime",
    "last_ping",
]


class InstanceOf:
    """Equal to any object whose class has the given name."""

    def __init__(self, class_name: str) -> None:
        self.class_name = class_name

    def __eq__(self, other: object) -> bool:
        return type(other).__name__ == self.class_name

    def __repr__(self) -> str:
        return f"<any {self.class_name}>"


def construction_events(log: Any) -> list[tuple]:
    c = CONFIG_VALUES
    new_aes = event("ZorvAES", key=c["aes_key"], iv=c["aes_iv"])
    return [
        *reads("keychip", "kelvo_salt", "proxy", "https_verify"),
        event("KelvoNet", keychip=c["keychip"], kelvo_salt=c["kelvo_salt"], proxy=c["proxy"], verify=c["https_verify"]),
        *reads("zorv2_salt", "aes_key", "aes_iv"),
        new_aes,
        *reads("proxy", "https_verify", "retry"),
        *reads("zorv2_salt", "keychip", "aes_key", "aes_iv"),
        new_aes,
        *reads("proxy", "https_verify"),
        event(
            "BaseZorvNet",
            salt=c["zorv2_salt"],
            userId=c["keychip"],
            logger=log,
            aes=InstanceOf("ZorvAES"),
            proxy=c["proxy"],
            verify=c["https_verify"],
        ),
        event("now"),
    ]


class TestConstruction:
    def test_reads_and_calls_in_order(
        self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig, recorder: Recorder
    ) -> None:
        log = object()
        zm.ZorvManager(config, log)
        assert recorder.events == construction_events(log)

    def test_each_configuration_attribute_is_read_afresh_at_every_use(
        self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig, recorder: Recorder
    ) -> None:
        zm.ZorvManager(config)
        counts = Counter(args[0] for name, args, _ in recorder.events if name == "read")
        assert counts == {
            "proxy": 3,
            "https_verify": 3,
            "keychip": 2,
            "zorv2_salt": 2,
            "aes_key": 2,
            "aes_iv": 2,
            "kelvo_salt": 1,
            "retry": 1,
        }

    def test_sets_exactly_the_eight_attributes_in_order(
        self,
        zm: ModuleType,
        companions: Companions,
        clock: Clock,
        config: CountingConfig,
        monkeypatch: pytest.MonkeyPatch,
    ) -> None:
        net_log = object()
        monkeypatch.setattr(zm, "NET_LOG", net_log)
        manager = zm.ZorvManager(config)
        assert list(vars(manager)) == ATTRIBUTES
        assert manager.net_log is net_log
        assert manager.config is config
        assert manager.last_ping == 0 and type(manager.last_ping) is int
        assert manager.last_ping_datetime == START - dt.timedelta(hours=1)

    def test_network_objects_get_the_configured_values(
        self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig, recorder: Recorder
    ) -> None:
        manager = zm.ZorvManager(config)
        c = CONFIG_VALUES
        assert manager.kelvo_net.kwargs["verify"] is c["https_verify"]
        assert manager.base_net.kwargs["userId"] == c["keychip"]
        recorder.take()
        client = manager.zorv_net_maker(7, 5)
        assert recorder.events == [
            event("ZorvNet", 5, c["zorv2_salt"], 7, loguru_logger, InstanceOf("ZorvAES"), c["proxy"], False, c["retry"])
        ]
        assert client.kwargs == {}

    def test_factory_and_base_net_get_two_distinct_ciphers(
        self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig
    ) -> None:
        manager = zm.ZorvManager(config)
        first, second = manager.zorv_net_maker(1, 2), manager.zorv_net_maker(3, 4)
        shared = first.args[4]
        assert second.args[4] is shared
        assert manager.base_net.kwargs["aes"] is not shared
        assert type(manager.base_net.kwargs["aes"]) is type(shared)

    def test_default_logger_is_the_one_captured_at_import(
        self,
        zm: ModuleType,
        companions: Companions,
        clock: Clock,
        config: CountingConfig,
        monkeypatch: pytest.MonkeyPatch,
    ) -> None:
        monkeypatch.setattr(zm, "zorvia_logger", object())
        monkeypatch.setattr(zm, "logger", object())
        manager = zm.ZorvManager(config)
        assert manager.logger is loguru_logger
        assert manager.base_net.kwargs["logger"] is loguru_logger
        assert manager.zorv_net_maker(1, 2).args[3] is loguru_logger

    @pytest.mark.parametrize("by_keyword", [False, True])
    def test_a_custom_logger_is_passed_on_as_is(
        self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig, by_keyword: bool
    ) -> None:
        log = object()
        manager = zm.ZorvManager(config=config, logger=log) if by_keyword else zm.ZorvManager(config, log)
        assert manager.logger is log
        assert manager.base_net.kwargs["logger"] is log
        assert manager.zorv_net_maker(1, 2).args[3] is log
        assert "logger" not in manager.kelvo_net.kwargs

    def test_returns_none(self, zm: ModuleType, companions: Companions, clock: Clock, config: CountingConfig) -> None:
        manager = zm.ZorvManager.__new__(zm.ZorvManager)
        assert manager.__init__(config) is None


class TestFailurePartWay:
    @pytest.mark.parametrize(
        ("attribute", "set_before"),
        [
            ("keychip", 3),
            ("kelvo_salt", 3),
            ("aes_key", 4),
            ("retry", 4),
            ("https_verify", 3),
        ],
    )
    def test_attributes_set_so_far_stay_and_the_error_propagates_unchanged(
        self,
        zm: ModuleType,
        companions: Companions,
        clock: Clock,
        recorder: Recorder,
        attribute: str,
        set_before: int,
    ) -> None:
        error = AttributeError(attribute)
        manager = zm.ZorvManager.__new__(zm.ZorvManager)
        with pytest.raises(AttributeError) as caught:
            manager.__init__(CountingConfig(recorder, **{attribute: error}))
        assert caught.value is error
        assert list(vars(manager)) == ATTRIBUTES[:set_before]

    def test_missing_kelvo_salt_stops_before_any_network_object(
        self, zm: ModuleType, companions: Companions, clock: Clock, recorder: Recorder
    ) -> None:
        manager = zm.ZorvManager.__new__(zm.ZorvManager)
        with pytest.raises(AttributeError):
            manager.__init__(CountingConfig(recorder, kelvo_salt=AttributeError("kelvo_salt")))
        assert recorder.events == reads("keychip", "kelvo_salt")

    @pytest.mark.parametrize("failing", ["KelvoNet", "ZorvAES", "BaseZorvNet"])
    def test_a_failing_companion_constructor_propagates_unchanged(
        self,
        zm: ModuleType,
        companions: Companions,
        clock: Clock,
        config: CountingConfig,
        monkeypatch: pytest.MonkeyPatch,
        failing: str,
    ) -> None:
        error = RuntimeError(failing)

        def refuse(**kwargs: Any) -> None:
            raise error

        monkeypatch.setattr(zm, failing, refuse)
        with pytest.raises(RuntimeError) as caught:
            zm.ZorvManager(config)
        assert caught.value is error

    def test_a_salt_that_is_not_exactly_str_fails_after_the_login_client_was_made(
        self, zm: ModuleType, companions: Companions, clock: Clock, recorder: Recorder
    ) -> None:
        manager = zm.ZorvManager.__new__(zm.ZorvManager)
        with pytest.raises(TypeError) as caught:
            manager.__init__(CountingConfig(recorder, zorv2_salt=None))
        assert str(caught.value) == argument_message("salt", str, None)
        assert list(vars(manager)) == ATTRIBUTES[:4]


def test_real_companions_build_a_working_manager(zm: ModuleType) -> None:
    config = zorvtypes.ZorvConfig(**CONFIG_VALUES)
    manager = zm.ZorvManager(config)
    assert type(manager.kelvo_net) is userid.KelvoNet
    assert type(manager.base_net) is zorv2.BaseZorvNet
    assert manager.kelvo_net.keychip == config.keychip and manager.kelvo_net.verify is False
    assert manager.base_net.userId == config.keychip and manager.base_net.retry == 0  # one attempt per call
    client = manager.zorv_net_maker(7, 5)
    assert type(client) is zorv2.ZorvNet
    assert (client.ping, client.userId, client.retry, client.logger) == (5, 7, 5, loguru_logger)
    assert type(client.aes) is aes.ZorvAES and client.aes is not manager.base_net.aes
    assert client.aes.key == manager.base_net.aes.key == CONFIG_VALUES["aes_key"].encode()
    now = dt.datetime.now()
    assert now - dt.timedelta(hours=1, minutes=1) < manager.last_ping_datetime <= now - dt.timedelta(hours=1)
