"""Configuration files, the cipher and the sealed envelope, without a network."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from pydantic import ValidationError

from zorvia import protocol
from zorvia.aes import ZorvAES
from zorvia.errors import ZorvConfigError, ZorvError, ZorvProtocolError
from zorvia.sim import SAMPLE_CONFIG
from zorvia.zorvtypes import ZorvConfig

GOOD: dict[str, Any] = {
    "keychip": "A63E-01E00000002",
    "kelvo_salt": "kelvo",
    "zorv2_salt": "zorv2",
    "aes_key": "0123456789abcdef",
    "aes_iv": "fedcba9876543210",
    "proxy": "",
    "https_verify": False,
    "retry": 0,
    "place_id": 0,
    "client_id": "C1",
}


def write(tmp_path: Path, suffix: str, values: dict[str, Any]) -> Path:
    path = tmp_path / f"zorvia{suffix}"
    if suffix == ".json":
        path.write_text(json.dumps(values), encoding="utf-8")
    else:  # JSON scalars are TOML scalars for these values
        path.write_text("".join(f"{key} = {json.dumps(value)}\n" for key, value in values.items()), encoding="utf-8")
    return path


class TestConfigFiles:
    def test_the_sample_configuration_is_valid(self) -> None:
        config = ZorvConfig.from_file(SAMPLE_CONFIG)
        assert (config.https_verify, config.proxy, type(config.retry)) == (True, "", int)

    @pytest.mark.parametrize("suffix", [".toml", ".json", ".TOML"])
    def test_a_good_file_gives_the_same_configuration_in_either_format(self, tmp_path: Path, suffix: str) -> None:
        assert ZorvConfig.from_file(write(tmp_path, suffix, GOOD)) == ZorvConfig(**GOOD)

    @pytest.mark.parametrize("suffix", [".toml", ".json"])
    @pytest.mark.parametrize(
        ("change", "field"),
        [
            ({"aes_key": None}, "aes_key"),  # missing
            ({"retry": "3"}, "retry"),
            ({"retry": 2.0}, "retry"),
            ({"https_verify": 1}, "https_verify"),
            ({"https_verify": "yes"}, "https_verify"),
            ({"place_id": True}, "place_id"),
            ({"client_id": 5}, "client_id"),
            ({"retyr": 3}, "retyr"),  # a misspelt name is not silently ignored
            ({"retry": -1}, "retry"),
            ({"place_id": -5}, "place_id"),
            ({"aes_key": "0123456789abcde"}, "aes_key"),
            ({"aes_key": "\u00e9" * 12}, "aes_key"),  # 12 characters, 24 bytes: accepted below
            ({"aes_iv": "0123456789abcdef0"}, "aes_iv"),
            ({"kelvo_salt": ""}, "kelvo_salt"),
            ({"proxy": "proxy.local:3128"}, "proxy"),
            ({"proxy": "socks5://proxy.local"}, "proxy"),
        ],
    )
    def test_a_missing_or_mistyped_field_names_the_file_and_the_field(
        self, tmp_path: Path, suffix: str, change: dict[str, Any], field: str
    ) -> None:
        values = {key: value for key, value in {**GOOD, **change}.items() if value is not None}
        path = write(tmp_path, suffix, values)
        if change.get("aes_key") == "\u00e9" * 12:
            assert len(ZorvConfig.from_file(path).aes_key.encode()) == 24
            return
        with pytest.raises(ZorvConfigError) as caught:
            ZorvConfig.from_file(path)
        assert caught.value.fields == (field,) and caught.value.path == path
        assert str(caught.value).startswith(f"{path}: field '{field}': ")
        assert isinstance(caught.value.__cause__, ValidationError)

    @pytest.mark.parametrize(
        ("name", "text", "message"),
        [
            ("broken.toml", "retry = \n", "is not valid TOML"),
            ("broken.json", '{"retry": 3,', "is not valid JSON"),
            ("list.json", "[1, 2]", "must hold a table of settings, not list"),
            ("config.yaml", "retry: 3", "unknown configuration format '.yaml'"),
            ("config", "", "unknown configuration format '(none)'"),
        ],
    )
    def test_an_unreadable_file_names_the_file(self, tmp_path: Path, name: str, text: str, message: str) -> None:
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        with pytest.raises(ZorvConfigError) as caught:
            ZorvConfig.from_file(path)
        assert str(caught.value).startswith(f"{path}: ") and message in str(caught.value)
        assert caught.value.fields == ()

    def test_a_missing_file_is_a_config_error_and_a_value_error(self, tmp_path: Path) -> None:
        with pytest.raises(ZorvConfigError, match="cannot be read") as caught:
            ZorvConfig.from_file(tmp_path / "absent.toml")
        assert isinstance(caught.value, ValueError) and isinstance(caught.value, ZorvError)

    def test_assignments_are_validated_too(self) -> None:
        config = ZorvConfig(**GOOD)
        with pytest.raises(ValidationError):
            config.retry = -1
        assert config.retry == 0


class TestCipher:
    def test_a_known_answer(self) -> None:
        # AES-128-CBC test vector (first block); PKCS#7 then adds one block of padding.
        cipher = ZorvAES(key=bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c"), iv=bytes(range(16)))
        sealed = cipher.encrypt(bytes.fromhex("6bc1bee22e409f96e93d7e117393172a"))
        assert sealed[:16].hex() == "7649abac8119b246cee98e9b12e9197d" and len(sealed) == 32

    @given(
        key=st.sampled_from([16, 24, 32]).flatmap(lambda n: st.binary(min_size=n, max_size=n)),
        iv=st.binary(min_size=16, max_size=16),
        data=st.binary(max_size=200),
    )
    def test_round_trip(self, key: bytes, iv: bytes, data: bytes) -> None:
        cipher = ZorvAES(key=key, iv=iv)
        sealed = cipher.encrypt(data)
        assert len(sealed) % 16 == 0 and len(data) < len(sealed) <= len(data) + 16
        assert cipher.decrypt(sealed) == data

    @pytest.mark.parametrize("data", [b"", b"x" * 15, b"x" * 17], ids=["empty", "short", "ragged"])
    def test_a_ciphertext_of_partial_blocks_is_refused(self, data: bytes) -> None:
        with pytest.raises(ValueError, match="multiple of 16"):
            ZorvAES(b"k" * 16, b"i" * 16).decrypt(data)


def title_envelope() -> protocol.Envelope:
    return protocol.Envelope("salt", ZorvAES(b"k" * 32, b"i" * 16))


class TestEnvelope:
    CONTEXT = protocol.request_context(protocol.TITLE_PING)

    @pytest.mark.parametrize("envelope", [title_envelope(), protocol.Envelope("salt")], ids=["title", "login"])
    def test_equal_messages_never_look_alike(self, envelope: protocol.Envelope) -> None:
        (first, first_tag), (second, second_tag) = (envelope.seal({"userId": 1}, self.CONTEXT) for _ in range(2))
        assert first_tag != second_tag  # each carries its own nonce
        assert envelope.open(first, self.CONTEXT).data == envelope.open(second, self.CONTEXT).data == {"userId": 1}

    def test_a_fixed_iv_does_not_link_encrypted_messages(self) -> None:
        def blocks(body: bytes) -> set[bytes]:
            payload = body[1 + protocol.TAG_SIZE :]
            return {payload[i : i + 16] for i in range(0, len(payload), 16)}

        envelope = title_envelope()
        first, second = (envelope.seal({"userId": 1, "padding": "x" * 64}, self.CONTEXT)[0] for _ in range(2))
        assert not blocks(first) & blocks(second)

    @given(position=st.integers(min_value=0), flip=st.integers(min_value=1, max_value=255))
    def test_any_changed_byte_fails_authentication_before_decryption(self, position: int, flip: int) -> None:
        envelope = title_envelope()
        body, _ = envelope.seal({"userId": 7, "name": "x" * 40}, self.CONTEXT)
        index = position % len(body)
        changed = body[:index] + bytes([body[index] ^ flip]) + body[index + 1 :]
        with pytest.raises(ZorvProtocolError, match="failed authentication" if index else "not a version 1"):
            envelope.open(changed, self.CONTEXT)

    @given(body=st.binary(max_size=300))
    def test_arbitrary_bytes_are_a_protocol_error_only(self, body: bytes) -> None:
        with pytest.raises(ZorvProtocolError):
            title_envelope().open(body, self.CONTEXT)

    @pytest.mark.parametrize(
        "envelope",
        [protocol.Envelope("other"), protocol.Envelope("salt", ZorvAES(b"j" * 32, b"i" * 16))],
        ids=["other-salt", "same-salt-other-key"],
    )
    def test_a_message_opens_only_with_its_keys_and_context(self, envelope: protocol.Envelope) -> None:
        body, _ = title_envelope().seal({"userId": 7}, self.CONTEXT)
        with pytest.raises(ZorvProtocolError):
            envelope.open(body, self.CONTEXT)
        with pytest.raises(ZorvProtocolError, match="failed authentication"):
            title_envelope().open(body, protocol.request_context(protocol.TITLE_LOGOUT))

    @pytest.mark.parametrize(
        "plain", [b"[1, 2]", b'{"ts": "1", "nonce": "n", "data": {}}', b'{"ts": true, "nonce": "n", "data": {}}']
    )
    def test_an_authentic_message_of_the_wrong_shape_is_refused(self, plain: bytes) -> None:
        envelope = protocol.Envelope("salt")
        tag = envelope._tag(self.CONTEXT, plain)
        with pytest.raises(ZorvProtocolError, match="not a protocol message"):
            envelope.open(bytes([protocol.VERSION]) + tag + plain, self.CONTEXT)
