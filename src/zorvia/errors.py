"""Exception classes shared by the package's network and login code."""


class ZorvError(Exception):
    """Base class of every error raised by the package's companions."""


class ZorvNetworkError(ZorvError):
    """A network transport that this build of the package cannot reach."""


class ZorvQrCodeError(ZorvError):
    """A login QR code without the expected prefix."""


class ZorvQrCodeTimeoutError(ZorvError):
    """A login QR code whose embedded time stamp is too old."""
