"""An exception leaving a native function shows that function in the traceback, as Python code would."""

from __future__ import annotations

import traceback
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest
from catalog_support import build_schema, validator_of
from manager_support import Companions, load_native, raiser

import zorvia.catalog_types as catalog_types
from zorvia.errors import ZorvQrCodeError
from zorvia.zorvtypes import UserId

pytest_plugins = ["manager_fixtures"]

ROOT = Path(__file__).resolve().parents[1]
SOURCE = "native/zorvmanager.cpp"


@pytest.fixture
def zm() -> ModuleType:
    """The manager fixtures on the native module alone: the reference's frames are Python's own."""
    return load_native()


def caught(call: Any, *args: Any) -> BaseException:
    with pytest.raises(BaseException) as raised:
        call(*args)
    return raised.value


def frames_after_this_test(error: BaseException) -> list[tuple[str, str]]:
    """(file, function name) of each traceback entry below the test function's own frame."""
    return [(frame.filename, frame.name) for frame in traceback.extract_tb(error.__traceback__)[1:]]


def native(name: str) -> tuple[str, str]:
    return (SOURCE, name)


@pytest.mark.parametrize(
    ("failing", "inner"),
    [
        ("ZorvNet", [native("zorv_net_generator.<locals>.insider")]),
        ("Zorv2", []),
        ("ping", [native("ZorvManager.ping")]),
    ],
)
def test_companion_failure_inside_generate_zorv2(
    zm: ModuleType,
    manager: Any,
    companions: Companions,
    monkeypatch: pytest.MonkeyPatch,
    failing: str,
    inner: list[tuple[str, str]],
) -> None:
    failure = ConnectionError("title server down")
    if failing == "ping":
        manager.last_ping_datetime -= __import__("datetime").timedelta(hours=1)
        companions.replies["ping"] = raiser(failure)
    else:
        monkeypatch.setattr(zm, failing, raiser(failure))
    error = caught(manager.generate_zorv2, UserId(userId=7))
    assert error is failure
    frames = frames_after_this_test(error)
    assert [f for f in frames if f[0] == SOURCE] == [native("ZorvManager.generate_zorv2"), *inner]
    assert frames[-1][1] in ("reply", "call")  # the companion that raised is the innermost entry


def test_qrcode_error_names_generate_user_id(manager: Any) -> None:
    error = caught(manager.generate_user_id, "NOTAPREFIX0000000000abc")
    assert type(error) is ZorvQrCodeError
    assert frames_after_this_test(error) == [native("ZorvManager.generate_user_id")]


def test_catalog_validator_is_named_by_its_qualified_name(monkeypatch: pytest.MonkeyPatch) -> None:
    class Broken:
        def get_dict(self, name: str) -> Any:
            raise RuntimeError("catalog unavailable")

    monkeypatch.setattr(catalog_types, "other_db", Broken())
    error = caught(validator_of(build_schema(catalog_types, "Music")), 5)
    assert [name for _, name in frames_after_this_test(error)] == [
        "_MusicPydanticAnnotation.__get_pydantic_core_schema__.<locals>.validate_from_int",
        "get_dict",
    ]
    assert frames_after_this_test(error)[0][0] == "native/catalog_types.cpp"


def test_the_line_is_the_functions_table_row(zm: ModuleType) -> None:
    """The line named ends the table row of that function in the module's source."""
    qualname = "zorv_net_generator.<locals>.insider"
    error = caught(zm.zorv_net_generator("salt"), 1, "not an int")
    entry = next(f for f in traceback.extract_tb(error.__traceback__) if f.name == qualname)
    row = (ROOT / SOURCE).read_text().splitlines()[: entry.lineno][-10:]
    assert row[-1] == "};" and f'    .qualname = "{qualname}",' in row
