"""The road over real loopback HTTP: a ZorvManager from the sample configuration, the local
service behind it, login QR codes good and bad, and the per-user title object."""

from __future__ import annotations

import gc
import warnings
from typing import Any

import pytest
from net_support import Captured

from zorvia import protocol, zorv2
from zorvia.errors import ZorvQrCodeError
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
    logouts = dict(sim.store.logouts)
    for user_id, wire in sim.store.users.items():
        user = manager.generate_user_id(qrcode=sim.issue_qrcode(user_id))
        assert user == UserId(userId=user_id) and type(user.userId) is int
        with manager.generate_zorv2(user) as title:
            preview, data = title.preview(), title.user_data()
            title.logout()
        assert type(preview) is UserPreview and type(data) is UserData
        assert preview.model_dump(mode="json", by_alias=True) == wire["preview"]
        assert data.model_dump(mode="json", by_alias=True) == wire["data"]
        assert sim.store.logouts[user_id] == logouts.get(user_id, 0) + 1
    assert type(manager.ping) is int and sim.requests[protocol.TITLE_PING] == 1  # cached for 900 s


@pytest.mark.parametrize(
    ("make", "outcome"),
    [
        (lambda sim: "qztrvxkd" + sim.issue_qrcode()[8:], ZorvQrCodeError),
        (lambda sim: sim.issue_qrcode()[:20] + "never-issued", None),
        (lambda sim: sim.issue_qrcode()[:20], None),
    ],
    ids=["wrong-prefix", "unknown-token", "no-token"],
)
def test_codes_that_name_no_user(sim: SimService, manager: ZorvManager, make: Any, outcome: Any) -> None:
    if outcome is None:  # the service is asked and does not know the code
        assert manager.generate_user_id(qrcode=make(sim)) is None
    else:  # refused before the service is asked, with a message even though raised bare
        with pytest.raises(outcome) as caught:
            manager.generate_user_id(qrcode=make(sim))
        assert caught.value.args == () and str(caught.value) == outcome.default_message
    assert sim.requests[protocol.LOGIN_QRCODE] == (outcome is None)


def test_a_login_code_works_once(sim: SimService, manager: ZorvManager) -> None:
    code = sim.issue_qrcode(sim.user_ids()[-1])
    assert manager.generate_user_id(qrcode=code) == UserId(userId=sim.user_ids()[-1])
    assert manager.generate_user_id(qrcode=code) is None


@pytest.mark.parametrize("net_log", [True, False])
def test_requests_are_logged_at_debug_while_net_log_says_so(
    sim: SimService, captured: Captured, monkeypatch: pytest.MonkeyPatch, net_log: bool
) -> None:
    monkeypatch.setattr(zorv2, "NET_LOG", net_log)
    with ZorvManager(sim.config, captured.logger).generate_zorv2(UserId(userId=sim.user_ids()[0])) as title:
        title.preview()
    expected = [f"POST {sim.title_url}{path} -> 200" for path in (protocol.TITLE_PING, protocol.TITLE_PREVIEW)]
    assert [line.split(" in ")[0] for line in captured.levels("DEBUG")] == (expected if net_log else [])


def test_dropped_clients_release_their_connections(sim: SimService, captured: Captured) -> None:
    manager = ZorvManager(sim.config, captured.logger)
    assert manager.check_db_alive() is True
    title = manager.generate_zorv2(UserId(userId=sim.user_ids()[0]))
    title.preview()  # the login client, the manager's title client and the user's each hold a connection
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        del manager, title
        gc.collect()
    assert [str(warning.message) for warning in seen if issubclass(warning.category, ResourceWarning)] == []


def test_close_manager_closes_both_of_its_clients(sim: SimService) -> None:
    manager = ZorvManager(sim.config)
    assert manager.check_db_alive() is True and type(manager.ping) is int
    zorv2.close_manager(manager)
    for call in (manager.check_db_alive, manager.client_test):
        with pytest.raises(RuntimeError, match="closed"):
            call()
