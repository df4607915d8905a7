"""Secrets stay out of reprs, error messages and what loguru's `diagnose` prints of a failure."""

from __future__ import annotations

import io
import traceback
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest
from loguru import logger

from zorvia import protocol
from zorvia.errors import ZorvConfigError, ZorvError
from zorvia.sim import SAMPLE_CONFIG
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import ZorvConfig

pytest_plugins = ["net_fixtures"]

CONFIG = ZorvConfig.from_file(SAMPLE_CONFIG)
SECRETS = ("keychip", "kelvo_salt", "zorv2_salt", "aes_key", "aes_iv")
REJECTED = "rejected-secret-0123456789abcdef0"  # a value no secret field takes: too long for a key or IV


def revealed(text: str, *extra: str) -> list[str]:
    """The secrets of CONFIG, and `extra`, that occur in `text`."""
    return [value for value in (*(getattr(CONFIG, name) for name in SECRETS), *extra) if value in text]


def test_neither_the_configuration_nor_the_clients_show_a_secret_yet_code_reads_each() -> None:
    assert revealed(repr(CONFIG) + str(CONFIG)) == [] and "retry=2" in repr(CONFIG)
    assert all(type(getattr(CONFIG, name)) is str for name in SECRETS)  # as the manager's factory requires
    manager = ZorvManager(CONFIG)
    kept = [
        (manager.kelvo_net.keychip, CONFIG.keychip),
        (manager.kelvo_net.kelvo_salt, CONFIG.kelvo_salt),
        (manager.base_net.userId, CONFIG.keychip),
        (manager.base_net.salt, CONFIG.zorv2_salt),
        (manager.base_net.aes.key, CONFIG.aes_key.encode()),
        (manager.base_net.aes.iv, CONFIG.aes_iv.encode()),
    ]
    assert all(value == plain and repr(value) == "<hidden>" for value, plain in kept)


@pytest.mark.parametrize("how", ["built", "file"])
def test_a_rejected_value_is_in_no_message_nor_traceback(tmp_path: Path, how: str) -> None:
    values = {**CONFIG.model_dump(), "aes_key": REJECTED}
    with pytest.raises(ValueError) as caught:
        if how == "built":
            ZorvConfig(**values)
        else:
            path = tmp_path / "zorvia.toml"
            path.write_text("".join(f'{key} = "{value}"\n' for key, value in values.items() if type(value) is str))
            ZorvConfig.from_file(path)
    assert "aes_key" in str(caught.value) and (how != "file" or type(caught.value) is ZorvConfigError)
    assert revealed("".join(traceback.format_exception(caught.value)), REJECTED) == []


def test_a_logged_failure_shows_no_secret_even_with_the_values_of_variables(
    down_url: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    url = down_url.replace("//", "//player:hunter2@")
    monkeypatch.setenv(protocol.LOGIN_URL_ENV, url)
    monkeypatch.setenv(protocol.TITLE_URL_ENV, url)
    stream = io.StringIO()
    sink = logger.add(stream, backtrace=True, diagnose=True, filter=lambda record: "secrets" in record["extra"])
    log = logger.bind(secrets=True)
    manager = ZorvManager(CONFIG, log)
    calls: list[Any] = [
        lambda: manager.ping,
        manager.client_test,
        lambda: manager.generate_user_id(qrcode=f"QZTRVXKD{datetime.now():%y%m%d%H%M%S}token"),
    ]
    try:
        for call in calls:
            try:
                call()
            except ZorvError:
                log.exception("the call failed")
    finally:
        logger.remove(sink)
    text = stream.getvalue()
    assert text.count("the call failed") == len(calls) and "<hidden>" in text  # the values were shown
    assert revealed(text, "hunter2") == []
