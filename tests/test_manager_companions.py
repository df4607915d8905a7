"""The companion modules the manager imports: errors, aes, zorvtypes, userid, zorv2.

They are simple but honest: settings are validated and kept, and nothing that needs a network
transport or a cipher backend pretends to succeed.
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
    @pytest.mark.parametrize("cls", [ZorvQrCodeError, ZorvQrCodeTimeoutError, ZorvNetworkError])
    def test_error_classes_are_package_errors_creatable_without_arguments(self, cls: type[Exception]) -> None:
        assert issubclass(cls, ZorvError) and issubclass(ZorvError, Exception)
        assert cls().args == ()

    def test_the_two_qr_errors_are_distinct(self) -> None:
        assert not issubclass(ZorvQrCodeTimeoutError, ZorvQrCodeError)
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

    @pytest.mark.parametrize("method", ["encrypt", "decrypt"])
    def test_ciphering_says_it_is_unavailable(self, method: str) -> None:
        with pytest.raises(NotImplementedError, match="cipher backend"):
            getattr(ZorvAES("k" * 16, "i" * 16), method)(b"data")


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
    def test_login_client_keeps_its_settings_and_is_honest(self) -> None:
        client = KelvoNet(keychip="chip", kelvo_salt="salt", proxy="p", verify=False)
        assert (client.keychip, client.kelvo_salt, client.proxy, client.verify) == ("chip", "salt", "p", False)
        with pytest.raises(ZorvNetworkError):
            client.get_user_id_by_qrcode("ABC")
        with pytest.raises(ZorvNetworkError):
            client.check_alive()

    def test_title_clients_take_their_arguments_in_order(self) -> None:
        aes = ZorvAES("k" * 16, "i" * 16)
        net = ZorvNet(5, "salt", 7, logger, aes, "p", True, 2)
        assert (net.ping, net.salt, net.userId, net.logger, net.aes, net.proxy, net.verify, net.retry) == (
            5,
            "salt",
            7,
            logger,
            aes,
            "p",
            True,
            2,
        )
        base = BaseZorvNet("salt", "chip", logger, aes)
        assert (base.proxy, base.verify, base.retry) == ("", False, 3)

    def test_base_client_is_honest(self) -> None:
        base = BaseZorvNet(salt="salt", userId="chip", logger=logger, aes=None)
        with pytest.raises(ZorvNetworkError):
            base.ping()
        with pytest.raises(ZorvNetworkError):
            base.upsert_client_testmode(placeId=1, clientId="c")

    def test_title_object_stores_its_arguments(self) -> None:
        net, user, config = object(), UserId(userId=1), object()
        title = Zorv2(net=net, userId=user, timestamp=5, config=config, logger=logger)
        assert (title.net, title.userId, title.timestamp, title.config, title.logger) == (net, user, 5, config, logger)

    def test_net_log_exists(self) -> None:
        assert NET_LOG is False
