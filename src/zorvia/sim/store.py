"""The local service's in-memory state: sample users, issued login tokens, test-mode clients."""

from __future__ import annotations

import json
import secrets
import threading
import time
from collections import Counter, OrderedDict
from collections.abc import Iterable, Mapping
from datetime import datetime, timedelta
from importlib.resources import files
from typing import Any

QR_PREFIX = "QZTRVXKD"
# A login token is good as long as the QR code that carries it, and only once.
TOKEN_LIFETIME = timedelta(minutes=15)
# The most tokens kept at once: issuing one more forgets the oldest (its code then names nobody).
TOKEN_LIMIT = 10_000
# The most clients kept in test mode: setting one more forgets the one set longest ago.
TESTMODE_LIMIT = 1024


class UnknownUser(LookupError):
    """A user ID the local service does not serve."""


def sample_users() -> list[dict[str, Any]]:
    """The users shipped in the package's data/users.json."""
    users: list[dict[str, Any]] = json.loads((files("zorvia") / "data" / "users.json").read_text(encoding="utf-8"))
    return users


class Store:
    """Users by ID with the preview and data dicts served verbatim; safe to use from any thread."""

    def __init__(self, users: Iterable[Mapping[str, Any]] | None = None) -> None:
        self.users: dict[int, Mapping[str, Any]] = {}
        for user in sample_users() if users is None else users:
            user_id = user["userId"]
            if type(user_id) is not int or not isinstance(user["preview"], Mapping) or not isinstance(user["data"], Mapping):
                raise ValueError(f"a sample user needs an int userId and preview/data objects: {user_id!r}")
            self.users[user_id] = user
        if not self.users:
            raise ValueError("the local service needs at least one user")
        self._lock = threading.Lock()
        # Token -> (user, expiry). Every token lives as long, so the oldest expires first.
        self._tokens: OrderedDict[str, tuple[int, float]] = OrderedDict()
        self.testmode: OrderedDict[str, int] = OrderedDict()
        self.logouts: Counter[int] = Counter()

    def issue_qrcode(self, user_id: int | None = None, stamp: datetime | None = None) -> str:
        """A login QR code text for the user: prefix, local yyMMddHHmmss stamp, fresh token."""
        user_id = next(iter(self.users)) if user_id is None else user_id
        if user_id not in self.users:
            known = ", ".join(map(str, self.users))
            raise UnknownUser(f"the local service has no user {user_id} (its users: {known})")
        stamp = datetime.now() if stamp is None else stamp
        token = secrets.token_urlsafe(18)
        with self._lock:
            now = self._expire_tokens()
            while len(self._tokens) >= TOKEN_LIMIT:
                self._tokens.popitem(last=False)
            self._tokens[token] = (user_id, now + TOKEN_LIFETIME.total_seconds())
        return f"{QR_PREFIX}{stamp:%y%m%d%H%M%S}{token}"

    def resolve(self, token: str) -> int | None:
        """The user a token was issued for, once; None for a token unknown, used or expired."""
        with self._lock:
            self._expire_tokens()
            found = self._tokens.pop(token, None)
        return None if found is None else found[0]

    def _expire_tokens(self) -> float:
        """Drops the expired tokens, oldest first, each once; the monotonic time it went by."""
        now = time.monotonic()
        while self._tokens and next(iter(self._tokens.values()))[1] <= now:
            self._tokens.popitem(last=False)
        return now

    def user(self, user_id: object) -> Mapping[str, Any] | None:
        return self.users.get(user_id) if type(user_id) is int else None

    def set_testmode(self, client_id: str, place_id: int) -> None:
        with self._lock:
            self.testmode[client_id] = place_id
            self.testmode.move_to_end(client_id)
            while len(self.testmode) > TESTMODE_LIMIT:
                self.testmode.popitem(last=False)

    def logout(self, user_id: int) -> None:
        with self._lock:
            self.logouts[user_id] += 1
