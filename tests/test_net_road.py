"""The road over real loopback HTTP: a ZorvManager from the sample configuration, the local
service behind it, login QR codes good and bad, and the per-user title object."""

from __future__ import annotations

import datetime as dt
from typing import Any

import pytest
from net_support import Captured

from zorvia import protocol, zorv2
from zorvia.errors import ZorvQrCodeError, ZorvQrCodeTimeoutError, ZorvServiceError
from zorvia.models import UserData, UserPreview
from zorvia.sim import SAMPLE_CONFIG, SimService
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId, ZorvConfig

pytest_plugins = ["net_fixtures"]


@pytest.fixture
def manager(sim: SimService, captured: Captured) -> ZorvManager:
    return ZorvManager(ZorvConfig.from_file(SAMPLE_CONFIG), captured.logger)


def test_every_sample_user_walks_the_whole_road(sim: SimService, manager: ZorvManager) -> None:
    assert manager.check_db_alive() is True
    assert manager.client_test() == {"placeId": 1001, "clientId": "A63E01E0001", "testMode": True}
    assert sim.store.testmode["A63E01E0001"] == 1001
    logouts = dict(sim.store.logouts)
    for user_id in sim.user_ids():
        user = manager.generate_user_id(qrcode=sim.issue_qrcode(user_id))
        assert user == UserId(userId=user_id) and type(user.userId) is int
        with manager.generate_zorv2(user) as title:
            preview, data = title.preview(), title.user_data()
            title.logout()
        assert type(preview) is UserPreview and type(data) is UserData
        wire = {entry["userId"]: entry for entry in sim.store.users.values()}[user_id]
        assert preview.model_dump(mode="json", by_alias=True) == wire["preview"]
        assert data.model_dump(mode="json", by_alias=True) == wire["data"]
        assert sim.store.logouts[user_id] == logouts.get(user_id, 0) + 1
    assert type(manager.ping) is int and manager.ping >= 0
    assert sim.requests[protocol.TITLE_PING] == 1  # the manager's cache holds for 900 s


def _expired(sim: SimService) -> str:
    return sim.issue_qrcode(stamp=dt.datetime.now() - dt.timedelta(minutes=15, seconds=1))


def _misprefixed(sim: SimService) -> str:
    return "qztrvxkd" + sim.issue_qrcode()[8:]


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (_expired, ZorvQrCodeTimeoutError, "the login QR code has expired"),
        (_misprefixed, ZorvQrCodeError, "the login QR code does not start with the expected prefix"),
        (lambda sim: "", ZorvQrCodeError, "the login QR code does not start with the expected prefix"),
    ],
    ids=["expired", "wrong-prefix", "empty"],
)
def test_bad_codes_are_refused_before_the_service_is_asked(
    sim: SimService, manager: ZorvManager, make: Any, error: type[Exception], message: str
) -> None:
    with pytest.raises(error) as caught:
        manager.generate_user_id(qrcode=make(sim))
    assert str(caught.value) == message
    assert sim.requests[protocol.LOGIN_QRCODE] == 0


@pytest.mark.parametrize(
    "make",
    [
        lambda sim: sim.issue_qrcode()[:20] + "never-issued",
        lambda sim: sim.issue_qrcode()[:20],
        lambda sim: sim.issue_qrcode()[:20] + sim.issue_qrcode()[20:].upper(),
    ],
    ids=["unknown-token", "no-token", "altered-token"],
)
def test_a_code_the_service_does_not_know_gives_none(sim: SimService, manager: ZorvManager, make: Any) -> None:
    assert manager.generate_user_id(qrcode=make(sim)) is None
    assert sim.requests[protocol.LOGIN_QRCODE] == 1


def test_a_login_code_works_once(sim: SimService, manager: ZorvManager) -> None:
    code = sim.issue_qrcode(sim.user_ids()[-1])
    assert manager.generate_user_id(qrcode=code) == UserId(userId=sim.user_ids()[-1])
    assert manager.generate_user_id(qrcode=code) is None


def test_a_user_the_title_server_does_not_know_is_a_service_error(sim: SimService, manager: ZorvManager) -> None:
    with manager.generate_zorv2(UserId(userId=424242)) as title, pytest.raises(ZorvServiceError) as caught:
        title.user_data()
    assert (caught.value.status, caught.value.code) == (404, "unknown_user")
    assert sim.requests[protocol.TITLE_USER_DATA] == 1  # a 4xx is not retried


@pytest.mark.parametrize("net_log", [True, False])
def test_requests_are_logged_at_debug_while_net_log_says_so(
    sim: SimService, captured: Captured, monkeypatch: pytest.MonkeyPatch, net_log: bool
) -> None:
    monkeypatch.setattr(zorv2, "NET_LOG", net_log)
    manager = ZorvManager(sim.config, captured.logger)
    with manager.generate_zorv2(UserId(userId=sim.user_ids()[0])) as title:
        title.preview()
    debug = captured.levels("DEBUG")
    if net_log:
        assert [line.split(" -> ")[0] for line in debug] == [
            f"POST {sim.title_url}{protocol.TITLE_PING}",
            f"POST {sim.title_url}{protocol.TITLE_PREVIEW}",
        ]
        assert all(" -> 200 in " in line for line in debug)
    else:
        assert debug == []
