"""The clients' network settings: where they connect, how long they wait, how much they read.

Read from the environment (variables `ZORVIA_<FIELD>`, such as `ZORVIA_DEADLINE=2.5`) or set in
code. A client takes the settings in force when it is built, so the clients that a `ZorvManager`
builds take them too:

    from zorvia import settings
    settings.configure(settings.NetSettings(deadline=2.0))   # fields not given: environment, default
    manager = ZorvManager(config)
    settings.configure(None)                                  # back to the environment alone
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Annotated, Any

import httpx2
from pydantic import AfterValidator, Field, ValidationError
from pydantic_settings import BaseSettings, SettingsConfigDict

from zorvia import protocol
from zorvia.errors import ZorvConfigError

ENV_PREFIX = "ZORVIA_"
HTTP_SCHEMES = ("http", "https")


def http_url(value: str) -> str:
    """`value` if it is an http:// or https:// URL with a host, else ValueError (that names no value)."""
    scheme, _, rest = value.partition("://")
    if scheme.lower() not in HTTP_SCHEMES or not rest.split("/", 1)[0].rpartition("@")[2]:
        raise ValueError(f"must be a URL with one of the schemes {', '.join(HTTP_SCHEMES)} and a host")
    return value


def without_credentials(url: str) -> str:
    """`url` without the user name and password it may carry, for messages, reprs and logs."""
    parsed = httpx2.URL(url)
    return str(parsed.copy_with(username=None, password=None)) if parsed.userinfo else url


class NetSettings(BaseSettings):
    """What every client of the package keeps to: addresses, timeouts, retry wait, answer size.

    `timeout` bounds connecting and each read or write; `deadline` one whole exchange (connection,
    request and the complete answer), whatever the peer does. `backoff` is the wait before a
    title-server client's first retry; each later one waits twice as long (at most 8 s), plus a
    random part of up to `backoff` so that many clients do not retry in step. An answer over
    `max_answer` bytes is refused, after reading at most that much of it.
    """

    model_config = SettingsConfigDict(
        env_prefix=ENV_PREFIX, env_ignore_empty=True, frozen=True, hide_input_in_errors=True
    )

    login_url: Annotated[str, AfterValidator(http_url)] = f"http://127.0.0.1:{protocol.DEFAULT_LOGIN_PORT}"
    title_url: Annotated[str, AfterValidator(http_url)] = f"http://127.0.0.1:{protocol.DEFAULT_TITLE_PORT}"
    net_log: bool = False
    timeout: float = Field(default=2.0, gt=0)
    deadline: float = Field(default=5.0, gt=0)
    backoff: float = Field(default=0.25, ge=0)
    max_answer: int = Field(default=1024 * 1024, gt=0)

    def __repr_args__(self) -> Iterator[tuple[str | None, Any]]:
        for name, value in super().__repr_args__():
            yield name, without_credentials(value) if name in {"login_url", "title_url"} else value


_configured: NetSettings | None = None
# Settings read from the environment, by the ZORVIA_ variables they were read from: reading them
# costs more than the rest of building a client, and every per-user client is built with them.
_from_environment: dict[tuple[tuple[str, str], ...], NetSettings] = {}
_FROM_ENVIRONMENT_LIMIT = 16


def configure(settings: NetSettings | None) -> None:
    """Makes `settings` the ones every client built from now on takes; None: the environment's."""
    global _configured
    if settings is not None and not isinstance(settings, NetSettings):
        raise TypeError(f"expected NetSettings or None, got {type(settings).__name__}")
    _configured = settings


def _variables() -> tuple[tuple[str, str], ...]:
    """The environment's ZORVIA_ variables (their names in any case, as they are read)."""
    environ = os.environ  # only the names of the others are decoded: this runs for every client built
    return tuple((name, environ[name]) for name in environ if name[:1] in "Zz" and name[:7].upper() == ENV_PREFIX)


def current() -> NetSettings:
    """The settings set by `configure`, else those of the environment as it is now.

    A variable with a value that is not valid raises ZorvConfigError naming the variable.
    """
    if _configured is not None:
        return _configured
    variables = _variables()
    found = _from_environment.get(variables)
    if found is not None:
        return found
    try:
        found = NetSettings()
    except ValidationError as error:
        problems = [(ENV_PREFIX + str(item["loc"][0]).upper(), item["msg"]) for item in error.errors()]
        raise ZorvConfigError.invalid("the environment", problems) from error
    if _variables() == variables:  # not changed while they were read
        if len(_from_environment) >= _FROM_ENVIRONMENT_LIMIT:
            _from_environment.clear()
        _from_environment[variables] = found
    return found
