"""Liveness, the cached `ping` property and client test mode."""

import datetime as dt
from collections import OrderedDict
from typing import Any

import pytest
from manager_support import START, Clock, Companions, CountingConfig, Recorder, event, raiser, reads, result_message

pytest_plugins = ["manager_fixtures"]

SERVER_PING = [event("now"), event("ping"), event("now")]


class DictSubclass(dict):
    pass


class TestCheckDbAlive:
    @pytest.mark.parametrize("answer", [True, False, 1, "alive", None], ids=repr)
    def test_returns_the_service_answer_unchanged(
        self, manager: Any, companions: Companions, recorder: Recorder, answer: object
    ) -> None:
        companions.replies["check_alive"] = lambda: answer
        assert manager.check_db_alive() is answer
        assert recorder.events == [event("check_alive")]

    def test_a_service_error_propagates(self, manager: Any, companions: Companions) -> None:
        error = TimeoutError("no answer")
        companions.replies["check_alive"] = raiser(error)
        with pytest.raises(TimeoutError) as caught:
            manager.check_db_alive()
        assert caught.value is error


class TestPing:
    def test_first_read_asks_the_server_and_the_second_does_not(
        self, manager: Any, recorder: Recorder, clock: Clock
    ) -> None:
        assert manager.ping == 42
        assert recorder.take() == SERVER_PING
        assert manager.last_ping == 42 and manager.last_ping_datetime == START
        assert manager.ping == 42
        assert recorder.take() == [event("now")]

    def test_the_stamp_is_taken_after_the_server_answered(
        self, manager: Any, companions: Companions, clock: Clock
    ) -> None:
        def slow_ping() -> int:
            clock.advance(7)
            return 1

        companions.replies["ping"] = slow_ping
        assert manager.ping == 1
        assert manager.last_ping_datetime == START + dt.timedelta(seconds=7)

    @pytest.mark.parametrize(
        ("elapsed", "asks"),
        [(0, False), (899.999999, False), (900, False), (900.000001, True), (900.5, True), (3600, True)],
    )
    def test_the_cache_is_fresh_for_900_seconds(
        self, manager: Any, recorder: Recorder, clock: Clock, companions: Companions, elapsed: float, asks: bool
    ) -> None:
        assert manager.ping == 42
        companions.replies["ping"] = lambda: 7
        clock.advance(elapsed)
        recorder.take()
        assert manager.ping == (7 if asks else 42)
        assert recorder.events == (SERVER_PING if asks else [event("now")])

    def test_a_clock_set_back_keeps_the_cache_until_900_seconds_after_the_stamp(
        self, manager: Any, recorder: Recorder, clock: Clock, companions: Companions
    ) -> None:
        companions.replies["ping"] = lambda: 1
        assert manager.ping == 1
        companions.replies["ping"] = lambda: 2
        clock.advance(-3600)
        recorder.take()
        assert manager.ping == 1
        clock.advance(3600 + 900)
        assert manager.ping == 1
        assert recorder.take() == [event("now"), event("now")]
        clock.advance(0.5)
        assert manager.ping == 2
        assert recorder.take() == SERVER_PING

    def test_none_is_returned_and_cached(self, manager: Any, recorder: Recorder, companions: Companions) -> None:
        companions.replies["ping"] = lambda: None
        assert manager.ping is None
        assert manager.ping is None
        assert recorder.events == [*SERVER_PING, event("now")]

    @pytest.mark.parametrize("answer", [True, 42.0, "42", 10**40 + 0.5], ids=repr)
    def test_a_value_that_is_not_exactly_int_is_cached_then_refused(
        self, manager: Any, recorder: Recorder, companions: Companions, clock: Clock, answer: object
    ) -> None:
        companions.replies["ping"] = lambda: answer
        clock.advance(30)
        for _ in range(2):
            with pytest.raises(TypeError) as caught:
                _ = manager.ping
            assert str(caught.value) == result_message(int, answer)
        assert manager.last_ping is answer
        assert manager.last_ping_datetime == START + dt.timedelta(seconds=30)
        assert recorder.events == [*SERVER_PING, event("now")]

    def test_a_server_error_leaves_the_cache_stale(
        self, manager: Any, recorder: Recorder, companions: Companions
    ) -> None:
        error = ConnectionResetError("reset")
        companions.replies["ping"] = raiser(error)
        for _ in range(2):
            with pytest.raises(ConnectionResetError) as caught:
                _ = manager.ping
            assert caught.value is error
        assert manager.last_ping == 0
        assert manager.last_ping_datetime == START - dt.timedelta(hours=1)
        assert recorder.take() == [event("now"), event("ping")] * 2
        companions.replies["ping"] = lambda: 3
        assert manager.ping == 3

    def test_the_cache_lives_in_the_two_instance_attributes(
        self, manager: Any, recorder: Recorder, clock: Clock
    ) -> None:
        manager.last_ping = 11
        manager.last_ping_datetime = START
        assert manager.ping == 11
        assert recorder.take() == [event("now")]
        manager.last_ping_datetime = START - dt.timedelta(seconds=901)
        assert manager.ping == 42

    def test_ping_cannot_be_set_or_deleted(self, manager: Any, recorder: Recorder) -> None:
        with pytest.raises(AttributeError):
            manager.ping = 5
        with pytest.raises(AttributeError):
            del manager.ping
        assert "ping" not in vars(manager)
        assert recorder.events == []


class TestClientTest:
    def test_passes_place_and_client_as_the_two_keywords(
        self, manager: Any, recorder: Recorder, config: CountingConfig
    ) -> None:
        assert manager.client_test() == {"placeId": 1234, "clientId": "A63E01E1234"}
        assert recorder.events == [
            *reads("place_id", "client_id"),
            event("upsert_client_testmode", placeId=1234, clientId="A63E01E1234"),
        ]

    @pytest.mark.parametrize("answer", [{}, {"result": True}, None], ids=repr)
    def test_a_dict_or_none_is_returned_unchanged(self, manager: Any, companions: Companions, answer: object) -> None:
        companions.replies["upsert_client_testmode"] = lambda **kwargs: answer
        assert manager.client_test() is answer

    @pytest.mark.parametrize("answer", [OrderedDict(a=1), DictSubclass(), [("a", 1)], True, "{}"], ids=repr)
    def test_anything_else_is_refused(self, manager: Any, companions: Companions, answer: object) -> None:
        companions.replies["upsert_client_testmode"] = lambda **kwargs: answer
        with pytest.raises(TypeError) as caught:
            manager.client_test()
        assert str(caught.value) == result_message(dict, answer)

    @pytest.mark.parametrize("missing", ["place_id", "client_id"])
    def test_a_missing_setting_fails_before_the_server_is_called(
        self, manager: Any, recorder: Recorder, missing: str
    ) -> None:
        error = AttributeError(missing)
        manager.config = CountingConfig(recorder, **{missing: error})
        with pytest.raises(AttributeError) as caught:
            manager.client_test()
        assert caught.value is error
        assert "upsert_client_testmode" not in recorder.names()

    def test_the_configuration_is_read_by_reference(self, manager: Any, config: CountingConfig) -> None:
        config._values["place_id"] = 99
        assert manager.client_test()["placeId"] == 99

    def test_a_server_error_propagates(self, manager: Any, companions: Companions) -> None:
        error = PermissionError("no test mode")
        companions.replies["upsert_client_testmode"] = raiser(error)
        with pytest.raises(PermissionError) as caught:
            manager.client_test()
        assert caught.value is error
