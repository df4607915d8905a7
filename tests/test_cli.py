"""The command line as a user runs it: `python -m zorvia demo`, `serve` and `qrcode` in child processes."""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest

import zorvia
from zorvia import cli
from zorvia.sim import SimService
from zorvia.zorvmanager import ZorvManager
from zorvia.zorvtypes import UserId

pytest_plugins = ["net_fixtures"]

PACKAGE_ROOT = Path(zorvia.__file__).resolve().parent.parent
FIRST_USER = ["AOI (user 10000001)", "Icon Meadow", "Title Meadow", "Plate Meadow", "Frame Meadow",
              "Partner Meadow", "Class Meadow", "Map Meadow", "Chara Meadow (level 35)", "Chara Dawn (level 12)",
              "Music Meadow: 100.4512%", "Favourites  Music Meadow, Music Dawn"]


def child_environment() -> dict[str, str]:
    """The test's environment with this very package importable and no service addresses set."""
    environment = {k: v for k, v in os.environ.items() if k not in {"ZORVIA_LOGIN_URL", "ZORVIA_TITLE_URL"}}
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), os.environ.get("PYTHONPATH")]))
    return environment


def run_zorvia(cwd: Path, *args: str, **environ: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "zorvia", *args],
        cwd=cwd, env=child_environment() | environ, capture_output=True, text=True, timeout=120,
    )


def test_demo_walks_the_road_and_prints_catalog_names(tmp_path: Path) -> None:
    result = run_zorvia(tmp_path, "demo")
    assert result.returncode == 0, result.stderr
    for text in [*FIRST_USER, "Login       alive", "Ping        ", "Test mode   ", "Logged out"]:
        assert text in result.stdout
    assert "Traceback" not in result.stdout + result.stderr
    assert "demo: QR code resolved to user 1000000" in (tmp_path / "log" / "debug.log").read_text(encoding="utf-8")
    assert "demo: QR code resolved" in result.stderr and "| INFO" not in result.stdout  # the log stays out of the report


def fresh_stamp() -> str:
    return datetime.now().strftime("%y%m%d%H%M%S")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("--qrcode", "NOTALOGINCODE"), "the login QR code does not start with the expected prefix"),
        (("--qrcode", "QZTRVXKD000101000000abcdef"), "the login QR code has expired"),
        (("--qrcode", "QZTRVXKDnotastampatallabc"), "the login QR code's time stamp is not readable: "),
        (("--qrcode", f"QZTRVXKD{fresh_stamp()}no-such-token"), "the login service does not know this QR code"),
        (("--user-id", "5"), "the local service has no user 5 (its users: 10000001, 10000002, 10000003)"),
        (("--config", "broken.toml"), "broken.toml: field 'aes_iv'"),
    ],
    ids=["prefix", "expired", "stamp", "unknown", "user", "config"],
)
def test_demo_failure_is_one_clear_line(tmp_path: Path, args: tuple[str, ...], message: str) -> None:
    (tmp_path / "broken.toml").write_text('keychip = "K"\nkelvo_salt = "s"\nzorv2_salt = "s"\naes_key = "0123456789abcdef"\n')
    result = run_zorvia(tmp_path, "demo", *args)
    assert result.returncode == 1
    *logged, line = result.stderr.splitlines()  # the demo's log records come first, on standard error too
    assert line.startswith(f"zorvia demo: error: {message}")
    assert all(" | INFO     | zorvia.cli:run_demo:" in record for record in logged)
    assert "Logged out" not in result.stdout


def test_serve_on_a_taken_port_is_one_clear_line(tmp_path: Path) -> None:
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = run_zorvia(tmp_path, "serve", "--login-port", str(port), "--title-port", "0")
    assert result.returncode == 1
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"zorvia serve: error: cannot start the local service on ports {port}/0: ")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "terminate"])
def test_serve_prints_a_qrcode_that_a_real_client_resolves(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, stop: signal.Signals
) -> None:
    if signal.getsignal(stop) is signal.SIG_IGN:
        pytest.skip(f"{stop.name} is ignored in this process, and so in its children")
    from zorvia.zorvmanager import ZorvManager
    from zorvia.zorvtypes import UserId, ZorvConfig

    process = subprocess.Popen(
        [sys.executable, "-m", "zorvia", "serve", "--login-port", "0", "--title-port", "0"],
        cwd=tmp_path, env=child_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    watchdog = threading.Timer(60, process.kill)  # a child that never prints ends the read below
    watchdog.start()
    try:
        lines = []
        for line in process.stdout:  # type: ignore[union-attr]
            lines.append(line.rstrip("\n"))
            if line.startswith("  export ZORVIA_TITLE_URL="):
                break
        printed = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in lines if re.match(r"\S.*\s{2,}\S", line))
        exports = dict(line.split()[1].split("=", 1) for line in lines if line.startswith("  export "))
        assert exports == {"ZORVIA_LOGIN_URL": printed["Login service"], "ZORVIA_TITLE_URL": printed["Title server"]}
        for variable, url in exports.items():
            assert url.startswith("http://127.0.0.1:")
            monkeypatch.setenv(variable, url)

        manager = ZorvManager(ZorvConfig.from_file(printed["Configuration"]))
        assert manager.check_db_alive() is True
        user_id = manager.generate_user_id(qrcode=printed["QR code"])
        assert user_id == UserId(userId=10000001)
        with manager.generate_zorv2(user_id) as zorv2:
            assert zorv2.user_data().icon.name.str == "Icon Meadow"  # type: ignore[union-attr]

        process.send_signal(stop)
        rest, errors = process.communicate(timeout=30)
        assert (process.returncode, rest, errors) == (0, "stopped\n", "")
    finally:
        watchdog.cancel()
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=10)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (["--version"], f"zorvia {zorvia.__version__}"),
        (["--help"], "zorvia logs a player in from a login QR code"),
        (["demo", "--help"], "walk the whole road once"),
    ],
    ids=["version", "help", "command-help"],
)
def test_version_and_help_say_what_each_command_does(
    capsys: pytest.CaptureFixture[str], args: list[str], expected: str
) -> None:
    with pytest.raises(SystemExit) as caught:
        cli.main(args)
    assert caught.value.code == 0
    assert expected in " ".join(capsys.readouterr().out.split())


def test_qrcode_prints_a_fresh_code_from_the_running_service(sim: SimService, tmp_path: Path) -> None:
    user = sim.user_ids()[1]
    result = run_zorvia(tmp_path, "qrcode", "--user-id", str(user), ZORVIA_LOGIN_URL=sim.login_url)
    assert (result.returncode, result.stderr) == (0, "")
    (code,) = result.stdout.splitlines()
    manager = ZorvManager(sim.config)
    assert manager.generate_user_id(qrcode=code) == UserId(userId=user)
    assert manager.generate_user_id(qrcode=code) is None  # it served its one login


@pytest.mark.parametrize(
    ("args", "where", "message"),
    [
        (("--user-id", "5"), "sim", "the local service has no user 5 (its users: "),
        (("--config", "other.toml"), "sim", " (give --config the file `zorvia serve` speaks with)"),
        ((), "down", " (is `zorvia serve` running there? ZORVIA_LOGIN_URL says where)"),
    ],
    ids=["unknown-user", "other-configuration", "no-service"],
)
def test_qrcode_failure_is_one_clear_line(
    sim: SimService, down_url: str, tmp_path: Path, args: tuple[str, ...], where: str, message: str
) -> None:
    (tmp_path / "other.toml").write_text(
        'keychip = "K"\nkelvo_salt = "s"\nzorv2_salt = "s"\naes_key = "0123456789abcdef"\naes_iv = "0123456789abcdef"\n'
    )
    result = run_zorvia(tmp_path, "qrcode", *args, ZORVIA_LOGIN_URL=sim.login_url if where == "sim" else down_url)
    assert (result.returncode, result.stdout) == (1, "")
    (line,) = result.stderr.splitlines()
    assert line.startswith("zorvia qrcode: error: ") and message in line


def test_demo_ends_quietly_when_its_reader_has_gone(tmp_path: Path) -> None:
    process = subprocess.Popen(
        [sys.executable, "-m", "zorvia", "demo"],
        cwd=tmp_path, env=child_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    process.stdout.close()  # type: ignore[union-attr]  # `| head` that stopped reading before the report
    _, errors = process.communicate(timeout=120)
    assert process.returncode == 1
    assert "Traceback" not in errors and "Error" not in errors
    assert "demo: user 10000001 logged out" in errors  # it got that far: only the report went nowhere


@pytest.mark.parametrize(
    ("prepare", "environ", "message"),
    [
        (lambda cwd: (cwd / "log").write_text("a file where the log folder goes"), {}, "cannot write the debug log "),
        (lambda cwd: (cwd / "bad.pem").write_text("not a certificate"), {"SSL_CERT_FILE": "bad.pem"}, "certificate"),
    ],
    ids=["log-folder", "ssl-cert-file"],
)
def test_demo_in_a_broken_environment_is_one_line(
    tmp_path: Path, prepare: Any, environ: dict[str, str], message: str
) -> None:
    prepare(tmp_path)
    result = run_zorvia(tmp_path, "demo", **environ)
    assert (result.returncode, result.stdout) == (1, "")
    (line,) = result.stderr.splitlines()
    assert line.startswith("zorvia demo: error: ") and message in line.lower()


@pytest.mark.parametrize(
    ("args", "status", "out", "err"),
    [
        ([], 0, ["Icon                    3", "Records                63"], []),
        (["Icon", "108"], 0, ["Icon(name=RecordName(ID=108, str='Icon Meadow'), genre='Special')"], []),
        (["Icon", "7"], 1, [], ["catalog.json: Icon has no record with ID 7"]),
        (
            ["own.json"],
            1,
            [],
            ["own.json: Icon record 1 (ID 5): field 'genre': Input should be a valid string",
             "own.json: Map record 0: Input should be an object",
             "zorvia catalog: error: own.json: 2 problems"],
        ),
        (["folder"], 0, ["Icon                    1", "Music             missing", "Records                 1"], []),
        (["a", "b", "c", "d"], 1, [], ["zorvia catalog: error: give a catalog PATH, a KIND and an ID, or both"]),
    ],
    ids=["sample", "record", "unknown-id", "bad", "folder", "arguments"],
)
def test_catalog_checks_a_catalog_or_prints_a_record(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch,
    args: list[str], status: int, out: list[str], err: list[str],
) -> None:
    (tmp_path / "own.json").write_text(
        '{"Icon": [{"name": {"ID": 4, "str": "a"}, "genre": "g"}, {"name": {"ID": 5, "str": "b"}, "genre": 1}],'
        ' "Map": [7]}'
    )
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "Icon.json").write_text('[{"name": {"ID": 4, "str": "a"}, "genre": "g"}]')
    monkeypatch.chdir(tmp_path)
    assert cli.main(["catalog", *args]) == status
    printed = capsys.readouterr()
    assert all(line in printed.out for line in out), printed.out
    assert all(line in printed.err for line in err), printed.err
