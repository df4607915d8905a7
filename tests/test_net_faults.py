"""Faults across the wire: services that are down, slow, failing or answering what cannot be
trusted. Each ends in one of the package's own errors, after exactly the retries it deserves."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from net_support import Captured, title_cipher, user_net

from zorvia import errors, protocol
from zorvia.settings import NetSettings
from zorvia.sim import SimService
from zorvia.userid import KelvoNet
from zorvia.zorv2 import Zorv2, ZorvNet
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId

pytest_plugins = ["net_fixtures"]

RETRY = 2
Expected = tuple[type[Exception], str, bool]
# Fault kind -> (error class, text the error carries, whether a title request is retried after it).
FAULTS: dict[str, Expected] = {
    "garbage": (errors.ZorvProtocolError, "not a version 1 message", False),
    "forged_mac": (errors.ZorvProtocolError, "failed authentication", False),
    "error_500": (errors.ZorvServiceError, "(internal_error)", True),
    "slow": (errors.ZorvTimeoutError, "no answer in time", True),
}
# The title server's wrong key is a wrong AES key under the right salt: the tag passes and the
# body must still be refused without a padding error. The login service's is a wrong salt.
TITLE_FAULTS: dict[str, Expected] = {**FAULTS, "wrong_key": (errors.ZorvProtocolError, "could not be read", False)}
LOGIN_FAULTS: dict[str, Expected] = {**FAULTS, "wrong_key": (errors.ZorvProtocolError, "failed authentication", False)}
TIMEOUT, DELAY = 0.2, 0.6


def title_object(sim: SimService, captured: Captured) -> Zorv2:
    net = user_net(sim, captured.logger, retry=RETRY, settings=NetSettings(timeout=TIMEOUT))
    return Zorv2(net=net, userId=UserId(userId=net.userId), timestamp=0, config=sim.config, logger=captured.logger)


def login_client(sim: SimService, proxy: str = "") -> KelvoNet:
    settings = NetSettings(timeout=TIMEOUT)
    return KelvoNet(keychip=sim.config.keychip, kelvo_salt=sim.config.kelvo_salt, proxy=proxy, settings=settings)


def assert_error(caught: pytest.ExceptionInfo[Exception], error: type[Exception], text: str, where: str, url: str) -> None:
    """The error's class and text, and that it names the service and the endpoint."""
    assert type(caught.value) is error and getattr(caught.value, "url", None) == url
    assert str(caught.value).startswith(f"{where} at {url}")
    assert text in str(caught.value) and "padding" not in str(caught.value).lower()


@pytest.mark.parametrize("kind", list(TITLE_FAULTS))
@pytest.mark.parametrize(
    ("call", "path"),
    [(Zorv2.user_data, protocol.TITLE_USER_DATA), (Zorv2.logout, protocol.TITLE_LOGOUT)],
    ids=["user_data", "logout"],
)
def test_title_answers_that_cannot_be_used(
    sim: SimService, captured: Captured, kind: str, call: Callable[[Zorv2], Any], path: str
) -> None:
    error, text, transient = TITLE_FAULTS[kind]
    sim.inject(kind, path=path, delay=DELAY)
    with title_object(sim, captured) as title, pytest.raises(error) as caught:
        call(title)
    assert_error(caught, error, text, "title server", sim.title_url + path)
    retried = transient and path != protocol.TITLE_LOGOUT  # a logout is sent once, whatever happens
    assert sim.requests[path] == (RETRY + 1 if retried else 1)
    assert len(captured.levels("WARNING")) == (RETRY if retried else 0)


def test_a_transient_failure_is_retried_into_success(sim: SimService, captured: Captured) -> None:
    sim.inject("error_500", path=protocol.TITLE_USER_DATA, times=RETRY)
    with title_object(sim, captured) as title:
        assert title.user_data().user_id == sim.user_ids()[0]
    warnings = captured.levels("WARNING")
    assert [line.split("; ")[-1].split(" in ")[0] for line in warnings] == ["retry 1 of 2", "retry 2 of 2"]
    assert all(protocol.TITLE_USER_DATA in line and "internal_error" in line for line in warnings)
    # ZORVIA_BACKOFF (0.01 s here) is the first wait; the next is twice as long; each gains up to as much again
    pauses = [float(line.rsplit(" in ", 1)[1].removesuffix(" s")) for line in warnings]
    assert 0.01 <= pauses[0] <= 0.02 <= pauses[1] <= 0.03


def test_the_managers_own_title_client_makes_one_attempt(sim: SimService, captured: Captured) -> None:
    sim.inject("error_500", path=protocol.TITLE_PING)
    with pytest.raises(errors.ZorvServiceError):
        ZorvManager(sim.config, captured.logger).ping  # noqa: B018  (the property asks the server)
    assert sim.requests[protocol.TITLE_PING] == 1 and captured.levels("WARNING") == []


@pytest.mark.parametrize("kind", list(LOGIN_FAULTS))
def test_login_answers_that_cannot_be_used(sim: SimService, kind: str) -> None:
    error, text, transient = LOGIN_FAULTS[kind]
    sim.inject(kind, delay=DELAY)
    with login_client(sim) as client:
        with pytest.raises(error) as caught:
            client.get_user_id_by_qrcode(sim.issue_qrcode()[20:])
        assert_error(caught, error, text, "login service", sim.login_url + protocol.LOGIN_QRCODE)
        assert sim.requests[protocol.LOGIN_QRCODE] == 1  # the login client never retries
        if transient:  # unhealthy is not alive; an answer that cannot be trusted is no verdict
            assert client.check_alive() is False
        else:
            with pytest.raises(error):
                client.check_alive()


class TestDown:
    def test_login_service_down(self, sim: SimService, down_url: str, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv(protocol.LOGIN_URL_ENV, down_url)
        manager = ZorvManager(sim.config)
        assert manager.check_db_alive() is False
        with pytest.raises(errors.ZorvRefusedError) as caught:
            manager.generate_user_id(qrcode=sim.issue_qrcode())
        assert down_url in str(caught.value) and isinstance(caught.value, errors.ZorvNetworkError)

    def test_title_server_down_after_the_configured_retries_each_logged(
        self, sim: SimService, captured: Captured, down_url: str, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setenv(protocol.TITLE_URL_ENV, down_url)
        manager = ZorvManager(sim.config, captured.logger)  # the sample configuration retries twice
        net = manager.zorv_net_maker(sim.user_ids()[0], 0)
        title = Zorv2(net=net, userId=UserId(userId=net.userId), timestamp=0, config=sim.config, logger=captured.logger)
        with title, pytest.raises(errors.ZorvRefusedError):
            title.user_data()
        warnings = captured.levels("WARNING")
        assert len(warnings) == sim.config.retry == 2
        assert all("connection refused" in line and protocol.TITLE_USER_DATA in line for line in warnings)
        with pytest.raises(errors.ZorvRefusedError):  # the manager's ping: nothing cached, nothing made
            manager.generate_zorv2(UserId(userId=net.userId))
        assert manager.last_ping == 0

    def test_an_unreachable_proxy_is_a_proxy_error(self, sim: SimService, down_url: str) -> None:
        with login_client(sim, proxy=down_url) as client:
            assert client.check_alive() is False
            with pytest.raises(errors.ZorvProxyError):
                client.get_user_id_by_qrcode("token")


def test_a_client_with_another_salt_or_keychip_is_refused(sim: SimService, captured: Captured) -> None:
    net = ZorvNet(0, "another-salt", sim.user_ids()[0], captured.logger, title_cipher(sim), "", True, RETRY)
    with net, pytest.raises(errors.ZorvServiceError) as caught:
        net.get_user_data()
    assert (caught.value.status, caught.value.code, sim.requests[protocol.TITLE_USER_DATA]) == (401, "unauthenticated", 1)
    with KelvoNet(keychip="A63E-01E99999999", kelvo_salt=sim.config.kelvo_salt) as client:
        with pytest.raises(errors.ZorvServiceError) as caught:
            client.check_alive()  # refused is not down
        assert (caught.value.status, caught.value.code) == (403, "unknown_keychip")
