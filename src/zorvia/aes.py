"""AES-CBC with PKCS#7 padding, the cipher of the title-server protocol."""

from __future__ import annotations

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from zorvia._masked import MaskedBytes

KEY_SIZES = (16, 24, 32)
IV_SIZE = 16


def as_bytes(name: str, value: str | bytes) -> MaskedBytes:
    """Key material as bytes that never show in a repr: a str counts by its UTF-8 encoding."""
    if isinstance(value, str):
        return MaskedBytes(value.encode("utf-8"))
    if isinstance(value, bytes):
        return MaskedBytes(value)
    kind = type(value).__name__  # the value itself stays off the line a traceback shows
    raise TypeError(f"{name} must be str or bytes, not {kind}")


class ZorvAES:
    """One AES key and IV; `encrypt` pads and encrypts, `decrypt` decrypts and unpads.

    `key` and `iv` are kept as bytes that never show in a repr.

    The IV is fixed per object, so equal plaintext prefixes give equal ciphertext prefixes:
    callers that need unlinkable messages start each plaintext with a random block, as
    `zorvia.protocol` does.
    """

    def __init__(self, key: str | bytes, iv: str | bytes) -> None:
        self.key = as_bytes("key", key)
        self.iv = as_bytes("iv", iv)
        if len(self.key) not in KEY_SIZES:
            raise ValueError(f"AES key must be 16, 24 or 32 bytes long, got {len(self.key)}")
        if len(self.iv) != IV_SIZE:
            raise ValueError(f"AES iv must be {IV_SIZE} bytes long, got {len(self.iv)}")
        self._cipher = Cipher(algorithms.AES(self.key), modes.CBC(self.iv))

    def encrypt(self, data: bytes) -> bytes:
        padder = padding.PKCS7(algorithms.AES.block_size).padder()
        encryptor = self._cipher.encryptor()
        return encryptor.update(padder.update(data) + padder.finalize()) + encryptor.finalize()

    def decrypt(self, data: bytes) -> bytes:
        """The plaintext; ValueError for a length that is not whole blocks or for bad padding."""
        if not data or len(data) % IV_SIZE:
            raise ValueError(f"AES-CBC ciphertext must be a positive multiple of {IV_SIZE} bytes, got {len(data)}")
        decryptor = self._cipher.decryptor()
        unpadder = padding.PKCS7(algorithms.AES.block_size).unpadder()
        padded = decryptor.update(data) + decryptor.finalize()
        return unpadder.update(padded) + unpadder.finalize()
