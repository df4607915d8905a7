"""Secrets that code reads as ordinary values but that never show in a repr.

A traceback renderer that prints variables (loguru's `diagnose`, which `setup_logger()` turns on)
shows each value by its repr, so the clients and the cipher keep their salts, keys and keychip in
these: equal to, hashed and encoded as the plain value, printed as "<hidden>".
"""

from __future__ import annotations


class MaskedStr(str):
    __slots__ = ()

    def __repr__(self) -> str:
        return "<hidden>"


class MaskedBytes(bytes):
    __slots__ = ()

    def __repr__(self) -> str:
        return "<hidden>"
