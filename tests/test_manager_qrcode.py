"""`ZorvManager.generate_user_id`: the numeric path, the QR-code checks and the hand-over to the login service."""

import datetime as dt
from types import ModuleType
from typing import Any

import pytest
from manager_support import PREFIX, START, Clock, Companions, Recorder, argument_message, event, qrcode, raiser

from zorvia.errors import ZorvQrCodeError, ZorvQrCodeTimeoutError
from zorvia.zorvtypes import UserId

pytest_plugins = ["manager_fixtures"]

WINDOW = dt.timedelta(minutes=15)


class StrSubclass(str):
    pass


class TestUserIdPath:
    @pytest.mark.parametrize("user", [0, 5, -1, 10**30])
    def test_a_user_id_becomes_a_user_id_object(self, manager: Any, recorder: Recorder, user: int) -> None:
        result = manager.generate_user_id(userId=user)
        assert type(result) is UserId and result.userId == user
        assert recorder.events == []

    @pytest.mark.parametrize("code", ["not a code", "", PREFIX + "garbage"])
    def test_the_user_id_wins_over_any_qrcode(self, manager: Any, recorder: Recorder, code: str) -> None:
        assert manager.generate_user_id(code, 5) == UserId(userId=5)
        assert recorder.events == []

    def test_user_id_is_passed_as_the_one_keyword(
        self, zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        calls = []
        made = object()

        def user_id(*args: Any, **kwargs: Any) -> object:
            calls.append((args, kwargs))
            return made

        monkeypatch.setattr(zm, "UserId", user_id)
        assert manager.generate_user_id(userId=9) is made
        assert calls == [((), {"userId": 9})]

    def test_an_error_from_the_user_id_constructor_propagates(
        self, zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        error = ValueError("bad id")
        monkeypatch.setattr(zm, "UserId", raiser(error))
        with pytest.raises(ValueError) as caught:
            manager.generate_user_id(userId=1)
        assert caught.value is error

    def test_nothing_given_returns_none(self, manager: Any, recorder: Recorder) -> None:
        assert manager.generate_user_id() is None
        assert manager.generate_user_id(None, None) is None
        assert recorder.events == []


class TestArgumentTypes:
    @pytest.mark.parametrize(
        ("kwargs", "name", "expected", "bad"),
        [
            ({"userId": True}, "userId", int, True),
            ({"userId": 5.0}, "userId", int, 5.0),
            ({"userId": "5"}, "userId", int, "5"),
            ({"qrcode": StrSubclass(PREFIX)}, "qrcode", str, StrSubclass(PREFIX)),
            ({"qrcode": b"QZTRVXKD"}, "qrcode", str, b"QZTRVXKD"),
            ({"qrcode": 1, "userId": True}, "qrcode", str, 1),
            ({"qrcode": StrSubclass("x"), "userId": 5}, "qrcode", str, StrSubclass("x")),
            ({"qrcode": "x", "userId": False}, "userId", int, False),
        ],
    )
    def test_arguments_must_be_none_or_exactly_their_type(
        self, manager: Any, recorder: Recorder, kwargs: dict, name: str, expected: type, bad: object
    ) -> None:
        with pytest.raises(TypeError) as caught:
            manager.generate_user_id(**kwargs)
        assert str(caught.value) == argument_message(name, expected, bad)
        with pytest.raises(TypeError) as caught:
            manager.generate_user_id(kwargs.get("qrcode"), kwargs.get("userId"))
        assert str(caught.value) == argument_message(name, expected, bad)
        assert recorder.events == []


class TestQrCode:
    @pytest.mark.parametrize("code", ["", "qztrvxkd240517115000ABC", "QZTRVXK", "XQZTRVXKD240517115000", " " + PREFIX])
    def test_a_wrong_prefix_raises_the_bare_error_class(self, manager: Any, recorder: Recorder, code: str) -> None:
        with pytest.raises(ZorvQrCodeError) as caught:
            manager.generate_user_id(code)
        assert type(caught.value) is ZorvQrCodeError and caught.value.args == ()
        assert recorder.events == []

    @pytest.mark.parametrize(
        "age",
        [
            dt.timedelta(minutes=14, seconds=59),
            dt.timedelta(0),
            dt.timedelta(minutes=-5),
            dt.timedelta(days=-3650),
        ],
        ids=["14m59s", "now", "future", "years-ahead"],
    )
    def test_a_fresh_or_future_stamp_is_accepted(
        self, manager: Any, companions: Companions, recorder: Recorder, age: dt.timedelta
    ) -> None:
        assert manager.generate_user_id(qrcode(START - age)) is companions.user
        assert recorder.events == [event("now"), event("get_user_id_by_qrcode", "ABC")]

    @pytest.mark.parametrize(
        "age",
        [WINDOW, WINDOW + dt.timedelta(seconds=1), dt.timedelta(days=400)],
        ids=["exactly-15m", "15m01s", "a-year"],
    )
    def test_an_old_stamp_raises_the_bare_timeout_class(
        self, manager: Any, recorder: Recorder, age: dt.timedelta
    ) -> None:
        with pytest.raises(ZorvQrCodeTimeoutError) as caught:
            manager.generate_user_id(qrcode(START - age))
        assert type(caught.value) is ZorvQrCodeTimeoutError and caught.value.args == ()
        assert recorder.events == [event("now")]

    def test_the_boundary_follows_the_clock_to_the_microsecond(self, manager: Any, clock: Clock) -> None:
        code = qrcode(START)
        clock.now = START + WINDOW - dt.timedelta(microseconds=1)
        manager.generate_user_id(code)
        clock.now = START + WINDOW
        with pytest.raises(ZorvQrCodeTimeoutError):
            manager.generate_user_id(code)

    def test_a_two_digit_year_is_read_in_the_twenty_first_century(self, manager: Any, companions: Companions) -> None:
        assert manager.generate_user_id(PREFIX + "991231235959") is companions.user

    @pytest.mark.parametrize(
        ("code", "remainder"),
        [
            (qrcode(START, ""), ""),
            (qrcode(START, "ABC"), "ABC"),
            (qrcode(START, " spaced\tremainder \u00e9\u4e2d "), " spaced\tremainder \u00e9\u4e2d "),
            (qrcode(START, PREFIX * 3), PREFIX * 3),
        ],
        ids=["empty", "ABC", "unicode", "prefix-again"],
    )
    def test_the_remainder_is_handed_on_unchanged(
        self, manager: Any, recorder: Recorder, code: str, remainder: str
    ) -> None:
        manager.generate_user_id(qrcode=code)
        assert recorder.events[-1] == event("get_user_id_by_qrcode", remainder)
        assert type(recorder.events[-1][1][0]) is str

    @pytest.mark.parametrize("result", [None, UserId(userId=3), "anything"], ids=repr)
    def test_the_service_result_is_returned_unchanged(
        self, manager: Any, companions: Companions, result: object
    ) -> None:
        companions.replies["get_user_id_by_qrcode"] = lambda text: result
        assert manager.generate_user_id(qrcode(START)) is result

    def test_a_service_error_propagates(self, manager: Any, companions: Companions) -> None:
        error = ConnectionError("login service down")
        companions.replies["get_user_id_by_qrcode"] = raiser(error)
        with pytest.raises(ConnectionError) as caught:
            manager.generate_user_id(qrcode(START))
        assert caught.value is error

    @pytest.mark.parametrize(
        "code",
        [
            PREFIX + "ABCDEFGHIJKL",
            PREFIX + "2405",
            PREFIX,
            PREFIX + "241317120000",
            PREFIX + "240230120000",
            PREFIX + "24051712000 X",
        ],
        ids=["letters", "short", "prefix-only", "month-13", "feb-30", "space"],
    )
    def test_an_unparsable_stamp_raises_the_parsers_own_error(
        self, manager: Any, recorder: Recorder, code: str
    ) -> None:
        with pytest.raises(ValueError) as expected:
            dt.datetime.strptime("20" + code[8:20], "%Y%m%d%H%M%S")
        with pytest.raises(ValueError) as caught:
            manager.generate_user_id(code)
        assert type(caught.value) is ValueError and str(caught.value) == str(expected.value)
        assert not isinstance(caught.value, ZorvQrCodeError)
        assert recorder.events == []

    def test_one_digit_fields_are_accepted_as_the_parser_accepts_them(
        self, manager: Any, companions: Companions, recorder: Recorder
    ) -> None:
        # "20" + "2451712000" reads as 2024, 5, 17, 12, 00, 0: the code is too short for a remainder.
        assert manager.generate_user_id(PREFIX + "2451712000") is companions.user
        assert recorder.events == [event("now"), event("get_user_id_by_qrcode", "")]

    def test_the_error_classes_are_looked_up_at_each_call(
        self, zm: ModuleType, manager: Any, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        class OtherPrefixError(Exception):
            pass

        class OtherTimeoutError(Exception):
            pass

        monkeypatch.setattr(zm, "ZorvQrCodeError", OtherPrefixError)
        monkeypatch.setattr(zm, "ZorvQrCodeTimeoutError", OtherTimeoutError)
        with pytest.raises(OtherPrefixError):
            manager.generate_user_id("nope")
        with pytest.raises(OtherTimeoutError):
            manager.generate_user_id(qrcode(START - WINDOW))
