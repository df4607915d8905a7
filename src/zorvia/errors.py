"""Exception classes of the package's configuration, network and login code.

Every class derives from `ZorvError`. Transport failures (nothing usable came back from the peer)
derive from `ZorvNetworkError`; a peer that answered with a non-2xx status raises
`ZorvServiceError`; an answer that came back but cannot be trusted or read raises
`ZorvProtocolError`. The clients' errors of these three kinds name the service and the endpoint
in their text and carry the endpoint's URL (without the credentials a URL may hold) as `url`.
"""

from __future__ import annotations

from collections.abc import Iterable


class ZorvError(Exception):
    """Base class of every error raised by the package's companions."""


class _DefaultMessage(ZorvError):
    """An error that, raised bare (no arguments, so `args` stays empty), still says what went wrong."""

    default_message = ""

    def __str__(self) -> str:
        return super().__str__() or self.default_message


class ZorvConfigError(ZorvError, ValueError):
    """Configuration that cannot be read, parsed or validated: a file, or the environment.

    `path` is the file (or "the environment"); `fields` names the offending fields (empty when
    the file itself is at fault).
    """

    def __init__(self, path: object, message: str, fields: Iterable[str] = ()) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path
        self.fields = tuple(fields)

    @classmethod
    def invalid(cls, path: object, problems: Iterable[tuple[str, str]]) -> ZorvConfigError:
        """The error for values refused by validation, given as (field, what is wrong) pairs."""
        found = list(problems)
        detail = "; ".join(f"field {field!r}: {message}" for field, message in found)
        return cls(path, detail, [field for field, _ in found])


class _Exchange(ZorvError):
    """An error about one exchange with a service; `url` is the endpoint's (None when unknown)."""

    def __init__(self, *args: object, url: str | None = None) -> None:
        super().__init__(*args)
        self.url = url


class ZorvNetworkError(_Exchange):
    """No usable answer came back over the network: the base of the transport failures."""


class ZorvRefusedError(ZorvNetworkError):
    """The service's address refused the connection (nothing listens there)."""


class ZorvTimeoutError(ZorvNetworkError):
    """The service did not connect or answer within the client's timeout."""


class ZorvProxyError(ZorvNetworkError):
    """The configured proxy could not be reached or would not forward the request."""


class ZorvServiceError(_Exchange):
    """The service answered with a non-2xx status.

    `status` is the HTTP status, `code` the service's own error code (None when the answer carried
    none); `service` names who answered in the text.
    """

    def __init__(
        self,
        status: int,
        code: str | None = None,
        message: str = "",
        *,
        service: str = "the service",
        url: str | None = None,
    ) -> None:
        text = f"{service} answered {status}"
        if code:
            text += f" ({code})"
        if message:
            text += f": {message}"
        super().__init__(text, url=url)
        self.status = status
        self.code = code


class ZorvProtocolError(_Exchange):
    """An answer that is malformed, fails authentication or does not fit the protocol."""


class ZorvQrCodeError(_DefaultMessage):
    """A login QR code the manager refuses before asking the login service; raised as this very
    class, a code without the expected prefix."""

    default_message = "the login QR code does not start with the expected prefix"


class ZorvQrCodeTimeoutError(ZorvQrCodeError):
    """A login QR code whose embedded time stamp is too old (a `ZorvQrCodeError` too)."""

    default_message = "the login QR code has expired"


class CatalogError(ZorvError):
    """A catalog that cannot be used: unreadable, malformed, or with an ID used twice in a kind.

    `source` names the file (or the object) the bad rows came from, `kind` the kind (None when
    the fault is not in one kind's rows), `index` the record's position in its kind's list,
    `record_id` its ID (None when it has none), `field` the field at fault, dotted ("name.ID");
    `problems` holds one line per fault found, the first of them being the error's text.
    """

    def __init__(
        self,
        source: object,
        problem: str,
        *,
        kind: str | None = None,
        index: int | None = None,
        record_id: object = None,
        field: str | None = None,
    ) -> None:
        super().__init__(f"{source}: {problem}")
        self.source = source
        self.kind, self.index, self.record_id, self.field = kind, index, record_id, field
        self.problems: tuple[str, ...] = (str(self),)
