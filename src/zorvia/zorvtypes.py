"""Configuration and user-identity models."""

from __future__ import annotations

import json
import os
import tomllib
from pathlib import Path
from typing import Annotated, Any, Self

from pydantic import AfterValidator, BaseModel, ConfigDict, Field, StrictInt, StrictStr, ValidationError

from zorvia.aes import IV_SIZE, KEY_SIZES
from zorvia.errors import ZorvConfigError
from zorvia.settings import http_url


def _byte_length(field: str, sizes: tuple[int, ...]) -> AfterValidator:
    def check(value: str) -> str:
        length = len(value.encode("utf-8"))
        if length not in sizes:
            wanted = " or ".join(map(str, sizes))
            raise ValueError(f"{field} must be {wanted} bytes long in UTF-8, got {length}")
        return value

    return AfterValidator(check)


def _proxy_url(value: str) -> str:
    return http_url(value) if value else value


# A secret stays a plain str (code reads it as one) that no repr of the configuration shows.
Secret = Annotated[StrictStr, Field(min_length=1, repr=False)]


class ZorvConfig(BaseModel):
    """Settings from which a manager builds its network clients.

    Strict: every value must have its field's own type (no "3" for 3, no 1 for true), unknown
    fields are refused so a misspelt name is an error, and assignments are validated too. The
    keychip, the salts and the AES key and IV are left out of the repr, and no validation error
    shows a value it refused.
    """

    model_config = ConfigDict(strict=True, extra="forbid", validate_assignment=True, hide_input_in_errors=True)

    keychip: Secret
    kelvo_salt: Secret
    zorv2_salt: Secret
    aes_key: Annotated[StrictStr, _byte_length("aes_key", KEY_SIZES), Field(repr=False)]
    aes_iv: Annotated[StrictStr, _byte_length("aes_iv", (IV_SIZE,)), Field(repr=False)]
    proxy: Annotated[StrictStr, AfterValidator(_proxy_url)] = ""
    https_verify: bool = True
    retry: StrictInt = Field(default=3, ge=0)
    place_id: StrictInt = Field(default=0, ge=0)
    client_id: StrictStr = ""

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Self:
        """The configuration in a .toml or .json file (top-level keys are the fields).

        Every failure is a ZorvConfigError naming the file and, for a bad value, the fields.
        """
        source = Path(path)
        suffix = source.suffix.lower()
        if suffix not in {".toml", ".json"}:
            raise ZorvConfigError(source, f"unknown configuration format {suffix or '(none)'!r}, expected .toml or .json")
        try:
            text = source.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            raise ZorvConfigError(source, f"cannot be read: {error}") from error
        try:
            data: Any = tomllib.loads(text) if suffix == ".toml" else json.loads(text)
        except ValueError as error:  # TOMLDecodeError and JSONDecodeError
            raise ZorvConfigError(source, f"is not valid {suffix[1:].upper()}: {error}") from error
        if not isinstance(data, dict):
            raise ZorvConfigError(source, f"must hold a table of settings, not {type(data).__name__}")
        try:
            return cls.model_validate(data)
        except ValidationError as error:
            problems = [(".".join(map(str, item["loc"])) or "(file)", item["msg"]) for item in error.errors()]
            raise ZorvConfigError.invalid(source, problems) from error


class UserId(BaseModel):
    """A player's numeric identity."""

    userId: StrictInt
