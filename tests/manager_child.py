"""Fake companion modules for the manager's import-time tests, used inside a fresh interpreter.

`FakeCompanions` is a meta-path finder that serves a recording fake for each companion module of the
manager, so that a module shows up in `sys.modules` only once something imported it. The fakes log the
import itself and every read of a public attribute, in one list.
"""

from __future__ import annotations

import importlib.abc
import importlib.util
import json
import sys
import types
from collections.abc import Iterable
from importlib.machinery import ModuleSpec
from typing import Any

import reference_modules

COMPANION_NAMES: dict[str, tuple[str, ...]] = {
    "zorvia.aes": ("ZorvAES",),
    "zorvia.errors": ("ZorvQrCodeError", "ZorvQrCodeTimeoutError"),
    "zorvia.zorv2": ("Zorv2", "ZorvNet", "BaseZorvNet", "NET_LOG"),
    "zorvia.zorvtypes": ("ZorvConfig", "UserId"),
    "zorvia.userid": ("KelvoNet",),
}

def fake_value(name: str) -> Any:
    if name == "NET_LOG":
        return "net-log-value"
    bases = (Exception,) if name.endswith("Error") else ()
    return type(name, bases, {})


class RecordingModule(types.ModuleType):
    def __init__(self, name: str, log: list[list[str]]) -> None:
        super().__init__(name)
        self._log = log

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("_"):
            get = types.ModuleType.__getattribute__
            get(self, "_log").append(["read", get(self, "__name__"), name])
        return types.ModuleType.__getattribute__(self, name)


class FakeCompanions(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Serves the fake companions. `leave_out` holds "module.name" entries the fakes lack; `fail` maps a
    module name to the exception its first import raises."""

    def __init__(self, leave_out: Iterable[str] = (), fail: dict[str, BaseException] | None = None) -> None:
        self.leave_out = set(leave_out)
        self.fail = dict(fail or {})
        self.log: list[list[str]] = []

    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> ModuleSpec | None:
        if fullname not in COMPANION_NAMES:
            return None
        return importlib.util.spec_from_loader(fullname, self)

    def create_module(self, spec: ModuleSpec) -> types.ModuleType:
        return RecordingModule(spec.name, self.log)

    def exec_module(self, module: types.ModuleType) -> None:
        name = module.__name__
        self.log.append(["import", name])
        if name in self.fail:
            raise self.fail.pop(name)
        for attribute in COMPANION_NAMES[name]:
            if f"{name}.{attribute}" not in self.leave_out:
                setattr(module, attribute, fake_value(attribute))

    def imports(self) -> list[str]:
        return [entry[1] for entry in self.log if entry[0] == "import"]


def install(**options: Any) -> FakeCompanions:
    finder = FakeCompanions(**options)
    sys.meta_path.insert(0, finder)
    return finder


def load_reference() -> types.ModuleType:
    return reference_modules.load_reference("zorvmanager")


def load(kind: str) -> types.ModuleType:
    """Imports the native module ("native") or executes the reference, with whatever companions are set."""
    if kind == "native":
        return importlib.import_module("zorvia.zorvmanager")
    return load_reference()


def report(result: Any) -> None:
    print(json.dumps(result))
