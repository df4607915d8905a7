"""AES key material for the title-server protocol."""

from __future__ import annotations

KEY_SIZES = (16, 24, 32)
IV_SIZE = 16


def _as_bytes(name: str, value: str | bytes) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, bytes):
        return value
    raise TypeError(f"{name} must be str or bytes, not {type(value).__name__}")


class ZorvAES:
    """Holds a validated AES key and IV for one client."""

    def __init__(self, key: str | bytes, iv: str | bytes) -> None:
        self.key = _as_bytes("key", key)
        self.iv = _as_bytes("iv", iv)
        if len(self.key) not in KEY_SIZES:
            raise ValueError(f"AES key must be 16, 24 or 32 bytes long, got {len(self.key)}")
        if len(self.iv) != IV_SIZE:
            raise ValueError(f"AES IV must be {IV_SIZE} bytes long, got {len(self.iv)}")

    def encrypt(self, data: bytes) -> bytes:
        raise NotImplementedError("AES encryption needs a cipher backend, which this build does not ship")

    def decrypt(self, data: bytes) -> bytes:
        raise NotImplementedError("AES decryption needs a cipher backend, which this build does not ship")
