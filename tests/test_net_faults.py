"""Faults across the wire: services that are down, slow, failing or answering what cannot be
trusted. Each ends in one of the package's own errors, after exactly the retries it deserves."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from net_support import Captured, title_cipher, user_net

from zorvia import protocol, zorv2
from zorvia.aes import ZorvAES
from zorvia.errors import (
    ZorvNetworkError,
    ZorvProtocolError,
    ZorvProxyError,
    ZorvRefusedError,
    ZorvServiceError,
    ZorvTimeoutError,
)
from zorvia.sim import SimService
from zorvia.userid import KelvoNet
from zorvia.zorv2 import BaseZorvNet, Zorv2
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId

pytest_plugins = ["net_fixtures"]

RETRY = 2

# Fault kind -> (error class, text the error carries, whether a title request is retried after it).
Expected = tuple[type[Exception], str, bool]
FAULTS: dict[str, Expected] = {
    "garbage": (ZorvProtocolError, "not a version 1 message", False),
    "forged_mac": (ZorvProtocolError, "failed authentication", False),
    "error_500": (ZorvServiceError, "internal_error", True),
}
# The title server's wrong key is a wrong AES key under the right salt: the tag passes and the
# body must still be refused without a padding error; the login service's is a wrong salt.
TITLE_FAULTS: dict[str, Expected] = {**FAULTS, "wrong_key": (ZorvProtocolError, "could not be read", False)}
LOGIN_FAULTS: dict[str, Expected] = {**FAULTS, "wrong_key": (ZorvProtocolError, "failed authentication", False)}


def login_client(sim: SimService, **extra: Any) -> KelvoNet:
    config = sim.config
    return KelvoNet(keychip=config.keychip, kelvo_salt=config.kelvo_salt, proxy="", verify=True, **extra)


def title_object(sim: SimService, captured: Captured, **extra: Any) -> Zorv2:
    net = user_net(sim, captured.logger, retry=RETRY, **extra)
    return Zorv2(net=net, userId=UserId(userId=net.userId), timestamp=0, config=sim.config, logger=captured.logger)


def assert_error(caught: pytest.ExceptionInfo[Exception], error: type[Exception], text: str) -> None:
    assert type(caught.value) is error
    assert text in str(caught.value) and "padding" not in str(caught.value).lower()


@pytest.mark.parametrize("kind", list(TITLE_FAULTS))
@pytest.mark.parametrize(
    ("call", "path"),
    [(Zorv2.preview, protocol.TITLE_PREVIEW), (Zorv2.user_data, protocol.TITLE_USER_DATA)],
    ids=["preview", "user_data"],
)
def test_title_answers_that_cannot_be_used(
    sim: SimService, captured: Captured, kind: str, call: Callable[[Zorv2], Any], path: str
) -> None:
    error, text, retried = TITLE_FAULTS[kind]
    sim.inject(kind, path=path)
    with title_object(sim, captured) as title, pytest.raises(error) as caught:
        call(title)
    assert_error(caught, error, text)
    attempts = RETRY + 1 if retried else 1
    assert sim.requests[path] == attempts
    assert len(captured.levels("WARNING")) == attempts - 1
    if error is ZorvServiceError:
        assert (caught.value.status, caught.value.code) == (500, "internal_error")  # type: ignore[attr-defined]


def test_a_transient_failure_is_retried_into_success(sim: SimService, captured: Captured) -> None:
    sim.inject("error_500", path=protocol.TITLE_USER_DATA, times=RETRY)
    with title_object(sim, captured) as title:
        assert title.user_data().user_id == sim.user_ids()[0]
    assert sim.requests[protocol.TITLE_USER_DATA] == RETRY + 1
    warnings = captured.levels("WARNING")
    assert [line.split("; ")[-1].split(" in ")[0] for line in warnings] == ["retry 1 of 2", "retry 2 of 2"]
    assert all(protocol.TITLE_USER_DATA in line and "internal_error" in line for line in warnings)


@pytest.mark.parametrize("kind", list(LOGIN_FAULTS))
def test_login_answers_that_cannot_be_used(sim: SimService, kind: str) -> None:
    error, text, _ = LOGIN_FAULTS[kind]
    sim.inject(kind, path=protocol.LOGIN_QRCODE)
    with login_client(sim) as client, pytest.raises(error) as caught:
        client.get_user_id_by_qrcode(sim.issue_qrcode()[20:])
    assert_error(caught, error, text)
    assert sim.requests[protocol.LOGIN_QRCODE] == 1  # the login client never retries


@pytest.mark.parametrize(
    ("kind", "alive"), [("error_500", False), ("garbage", ZorvProtocolError), ("forged_mac", ZorvProtocolError)]
)
def test_liveness_is_false_for_an_unhealthy_service_but_untrusted_answers_raise(
    sim: SimService, kind: str, alive: bool | type[Exception]
) -> None:
    sim.inject(kind, path=protocol.LOGIN_HEALTH)
    with login_client(sim) as client:
        if isinstance(alive, bool):
            assert client.check_alive() is alive
        else:
            with pytest.raises(alive):
                client.check_alive()


class TestDown:
    def test_login_service_down(self, sim: SimService, down_url: str, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv(protocol.LOGIN_URL_ENV, down_url)
        manager = ZorvManager(sim.config)
        assert manager.check_db_alive() is False
        with pytest.raises(ZorvRefusedError) as caught:
            manager.generate_user_id(qrcode=sim.issue_qrcode())
        assert down_url in str(caught.value) and isinstance(caught.value, ZorvNetworkError)

    def test_title_server_down_after_the_configured_retries_each_logged(
        self, sim: SimService, captured: Captured, down_url: str, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setenv(protocol.TITLE_URL_ENV, down_url)
        manager = ZorvManager(sim.config, captured.logger)  # the sample configuration retries twice
        net = manager.zorv_net_maker(sim.user_ids()[0], 0)
        title = Zorv2(net=net, userId=UserId(userId=net.userId), timestamp=0, config=sim.config, logger=captured.logger)
        with title, pytest.raises(ZorvRefusedError):
            title.user_data()
        warnings = captured.levels("WARNING")
        assert len(warnings) == sim.config.retry == 2
        assert all("connection refused" in line and protocol.TITLE_USER_DATA in line for line in warnings)

    def test_the_manager_ping_fails_cleanly_when_the_title_server_is_down(
        self, sim: SimService, captured: Captured, down_url: str, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setenv(protocol.TITLE_URL_ENV, down_url)
        manager = ZorvManager(sim.config, captured.logger)
        with pytest.raises(ZorvRefusedError):
            manager.generate_zorv2(UserId(userId=sim.user_ids()[0]))
        assert manager.last_ping == 0  # the cache stays stale: the next read tries again
        assert len(captured.levels("WARNING")) == 3  # the base client's default retry count

    def test_an_unreachable_proxy_is_a_proxy_error(self, sim: SimService, down_url: str) -> None:
        config = sim.config
        with KelvoNet(keychip=config.keychip, kelvo_salt=config.kelvo_salt, proxy=down_url, verify=True) as client:
            assert client.check_alive() is False
            with pytest.raises(ZorvProxyError):
                client.get_user_id_by_qrcode("token")


class TestLogout:
    def test_logout_is_not_retried_after_a_server_error(self, sim: SimService, captured: Captured) -> None:
        sim.inject("error_500", path=protocol.TITLE_LOGOUT)
        with title_object(sim, captured) as title, pytest.raises(ZorvServiceError):
            title.logout()
        assert sim.requests[protocol.TITLE_LOGOUT] == 1 and captured.levels("WARNING") == []

    def test_logout_is_not_retried_when_the_server_is_down(
        self, sim: SimService, captured: Captured, down_url: str, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setenv(protocol.TITLE_URL_ENV, down_url)
        with title_object(sim, captured) as title, pytest.raises(ZorvRefusedError):
            title.logout()
        assert captured.levels("WARNING") == []


class TestSlow:
    DELAY = 0.6
    TIMEOUT = 0.2

    def test_a_title_answer_slower_than_the_timeout(self, sim: SimService, captured: Captured) -> None:
        sim.inject("slow", path=protocol.TITLE_PREVIEW, delay=self.DELAY)
        with title_object(sim, captured, timeout=self.TIMEOUT) as title, pytest.raises(ZorvTimeoutError):
            title.preview()
        assert sim.requests[protocol.TITLE_PREVIEW] == RETRY + 1
        assert len(captured.levels("WARNING")) == RETRY

    def test_a_login_answer_slower_than_the_timeout(self, sim: SimService) -> None:
        sim.inject("slow", path=protocol.LOGIN_QRCODE, delay=self.DELAY)
        sim.inject("slow", path=protocol.LOGIN_HEALTH, delay=self.DELAY)
        with login_client(sim, timeout=self.TIMEOUT) as client:
            with pytest.raises(ZorvTimeoutError):
                client.get_user_id_by_qrcode("token")
            assert client.check_alive() is False


@pytest.mark.parametrize(
    ("salt", "key", "code"),
    [
        ("another-salt", None, "unauthenticated"),
        (None, b"k" * 32, "unauthenticated"),
    ],
    ids=["wrong-salt", "wrong-aes-key"],
)
def test_a_misconfigured_client_is_refused_by_the_service(
    sim: SimService, captured: Captured, salt: str | None, key: bytes | None, code: str
) -> None:
    cipher = title_cipher(sim) if key is None else ZorvAES(key=key, iv=sim.config.aes_iv)
    base = BaseZorvNet(
        salt=salt or sim.config.zorv2_salt, userId=sim.config.keychip, logger=captured.logger, aes=cipher, retry=0
    )
    with base, pytest.raises(ZorvServiceError) as caught:
        base.ping()
    assert (caught.value.status, caught.value.code) == (401, code)


def test_another_keychip_is_refused(sim: SimService) -> None:
    with KelvoNet(keychip="A63E-01E99999999", kelvo_salt=sim.config.kelvo_salt) as client:
        with pytest.raises(ZorvServiceError) as caught:
            client.get_user_id_by_qrcode(sim.issue_qrcode()[20:])
        assert (caught.value.status, caught.value.code) == (403, "unknown_keychip")
        with pytest.raises(ZorvServiceError):  # refused is not down
            client.check_alive()


def test_net_log_counts_the_retried_attempts(sim: SimService, captured: Captured, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(zorv2, "NET_LOG", True)
    sim.inject("error_500", path=protocol.TITLE_TESTMODE, times=1)
    base = BaseZorvNet(salt=sim.config.zorv2_salt, userId=sim.config.keychip, logger=captured.logger, aes=title_cipher(sim))
    with base:
        answer = base.upsert_client_testmode(placeId=7, clientId="C7")
    assert type(answer) is dict and answer["placeId"] == 7
    assert [line.split(" -> ")[1].split()[0] for line in captured.levels("DEBUG")] == ["500", "200"]
