"""The companion modules the manager imports: errors, aes, zorvtypes, userid, zorv2.

What the manager relies on when it builds them: the keywords and positional orders it uses, the
settings they keep, and errors that can be raised bare. Their traffic is tested over loopback in
tests/test_net_*.py.
"""

from typing import Any

import pytest
from loguru import logger
from manager_support import CONFIG_VALUES
from pydantic import ValidationError

from zorvia import errors
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvError, ZorvNetworkError, ZorvQrCodeError, ZorvQrCodeTimeoutError
from zorvia.userid import KelvoNet
from zorvia.zorv2 import NET_LOG, BaseZorvNet, Zorv2, ZorvNet
from zorvia.zorvtypes import UserId, ZorvConfig


class TestErrors:
    @pytest.mark.parametrize(
        ("cls", "message"),
        [
            (ZorvQrCodeError, "the login QR code does not start with the expected prefix"),
            (ZorvQrCodeTimeoutError, "the login QR code has expired"),
            (ZorvNetworkError, ""),
        ],
    )
    def test_error_classes_are_package_errors_creatable_without_arguments(
        self, cls: type[Exception], message: str
    ) -> None:
        assert issubclass(cls, ZorvError) and issubclass(ZorvError, Exception)
        assert cls().args == () and str(cls()) == message
        assert str(cls("given")) == "given"

    def test_an_expired_code_is_a_qr_code_error_and_not_the_reverse(self) -> None:
        assert issubclass(ZorvQrCodeTimeoutError, ZorvQrCodeError)
        assert not issubclass(ZorvQrCodeError, ZorvQrCodeTimeoutError)
        assert errors.ZorvQrCodeError is ZorvQrCodeError


class TestAes:
    @pytest.mark.parametrize("key", ["k" * 16, "k" * 24, b"k" * 32])
    def test_valid_key_sizes_are_kept_as_bytes(self, key: str | bytes) -> None:
        cipher = ZorvAES(key=key, iv="i" * 16)
        assert cipher.key == (key.encode() if isinstance(key, str) else key)
        assert cipher.iv == b"i" * 16

    @pytest.mark.parametrize(
        ("key", "iv", "error"),
        [
            ("k" * 15, "i" * 16, ValueError),
            ("k" * 33, "i" * 16, ValueError),
            ("k" * 16, "i" * 15, ValueError),
            ("\u00e9" * 8, "i" * 16, None),
            (16, "i" * 16, TypeError),
            ("k" * 16, None, TypeError),
        ],
    )
    def test_bad_key_material_is_refused(self, key: Any, iv: Any, error: type[Exception] | None) -> None:
        if error is None:
            assert len(ZorvAES(key=key, iv=iv).key) == 16  # sizes count UTF-8 bytes
        else:
            with pytest.raises(error):
                ZorvAES(key=key, iv=iv)

    @pytest.mark.parametrize(("key", "iv", "field"), [("k" * 20, "i" * 16, "key"), ("k" * 16, "i" * 8, "iv")])
    def test_a_bad_length_names_the_field(self, key: str, iv: str, field: str) -> None:
        with pytest.raises(ValueError, match=f"^AES {field} must be"):
            ZorvAES(key=key, iv=iv)

    def test_str_and_bytes_keys_cipher_alike(self) -> None:
        assert ZorvAES("k" * 16, "i" * 16).encrypt(b"data") == ZorvAES(b"k" * 16, b"i" * 16).encrypt(b"data")


class TestTypes:
    def test_config_defaults(self) -> None:
        required = ("keychip", "kelvo_salt", "zorv2_salt", "aes_key", "aes_iv")
        config = ZorvConfig(**{key: CONFIG_VALUES[key] for key in required})
        assert (config.proxy, config.https_verify, config.retry) == ("", True, 3)

    def test_config_deep_copy_is_independent(self) -> None:
        config = ZorvConfig(**CONFIG_VALUES)
        copy = config.model_copy(deep=True)
        assert copy == config and copy is not config
        copy.retry = 0
        assert config.retry == CONFIG_VALUES["retry"]

    @pytest.mark.parametrize("value", [0, 7, -3])
    def test_user_id_takes_exact_ints(self, value: int) -> None:
        user = UserId(userId=value)
        assert user.userId == value and type(user.userId) is int

    @pytest.mark.parametrize("value", [True, "7", 7.0, None])
    def test_user_id_refuses_anything_else(self, value: object) -> None:
        with pytest.raises(ValidationError):
            UserId(userId=value)


class TestNetwork:
    def test_login_client_keeps_its_settings(self) -> None:
        proxy = "http://127.0.0.1:9"
        with KelvoNet(keychip="chip", kelvo_salt="salt", proxy=proxy, verify=False) as client:
            assert (client.keychip, client.kelvo_salt, client.proxy, client.verify) == ("chip", "salt", proxy, False)

    def test_title_clients_take_their_arguments_in_order(self) -> None:
        aes = ZorvAES("k" * 16, "i" * 16)
        net = ZorvNet(5, "salt", 7, logger, aes, "http://127.0.0.1:9", True, 2)
        assert (net.ping, net.salt, net.userId, net.logger, net.aes, net.proxy, net.verify, net.retry) == (
            5,
            "salt",
            7,
            logger,
            aes,
            "http://127.0.0.1:9",
            True,
            2,
        )
        base = BaseZorvNet("salt", "chip", logger, aes)  # as the manager builds it: one attempt per call
        assert (base.proxy, base.verify, base.retry) == ("", True, 0)

    @pytest.mark.parametrize(
        ("aes", "retry", "error"),
        [(None, 3, TypeError), (ZorvAES("k" * 16, "i" * 16), -1, ValueError), (ZorvAES("k" * 16, "i" * 16), True, ValueError)],
    )
    def test_title_clients_refuse_what_cannot_work(self, aes: Any, retry: Any, error: type[Exception]) -> None:
        with pytest.raises(error):
            BaseZorvNet(salt="salt", userId="chip", logger=logger, aes=aes, retry=retry)
        with pytest.raises(error):
            ZorvNet(5, "salt", 7, logger, aes, "", True, retry)

    def test_title_object_stores_its_arguments(self) -> None:
        net, user, config = object(), UserId(userId=1), object()
        title = Zorv2(net=net, userId=user, timestamp=5, config=config, logger=logger)
        assert (title.net, title.userId, title.timestamp, title.config, title.logger) == (net, user, 5, config, logger)

    def test_net_log_is_off_until_someone_turns_it_on(self) -> None:
        assert NET_LOG is False
