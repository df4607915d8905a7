"""The `zorvia` command line.

`zorvia demo` walks the whole road against a local service on free loopback ports: a login QR
code becomes a `UserId`, the manager checks the services, and a `Zorv2` fetches the player's
preview and data, which are printed with their catalog names. `zorvia serve` runs the local
service in the foreground for code of one's own, and `zorvia qrcode` asks it for another login
QR code. `zorvia catalog` checks a catalog file or folder, or prints one of its records.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING

from loguru import logger

from zorvia import __version__, protocol
from zorvia.db import CATALOG_ENV
from zorvia.errors import CatalogError, ZorvError, ZorvNetworkError, ZorvServiceError
from zorvia.models import UserData, UserPreview, record_name
from zorvia.userid import KelvoNet

if TYPE_CHECKING:
    from zorvia.sim import SimService
    from zorvia.zorvtypes import ZorvConfig


class CommandError(Exception):
    """A failure the command reports as one line on standard error."""


def load_sim() -> ModuleType:
    """The local service package, or a CommandError that names the missing extra."""
    try:
        import zorvia.sim as sim
    except ModuleNotFoundError as error:
        if error.name in {"starlette", "uvicorn"}:
            raise CommandError(f"the local service needs {error.name}: pip install 'zorvia[sim]'") from error
        raise
    return sim


@contextmanager
def service_environment(service: SimService) -> Iterator[None]:
    """Point the clients built inside the block at `service`; the previous values come back after."""
    variables = service.environ()
    saved = {name: os.environ.get(name) for name in variables}
    os.environ.update(variables)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def start_service(sim: ModuleType, config: ZorvConfig, login_port: int = 0, title_port: int = 0) -> SimService:
    try:
        service: SimService = sim.SimService.start(login_port=login_port, title_port=title_port, config=config)
    except (OSError, RuntimeError) as error:
        raise CommandError(f"cannot start the local service on ports {login_port}/{title_port}: {error}") from error
    return service


def issue_qrcode(sim: ModuleType, service: SimService, user_id: int | None) -> str:
    try:
        return service.issue_qrcode(user_id)
    except sim.UnknownUser as error:
        raise CommandError(str(error)) from error


@contextmanager
def building_clients() -> Iterator[None]:
    """Inside the block, a CA bundle that cannot be loaded is a CommandError naming where it was looked for."""
    try:
        yield
    except OSError as error:  # ssl.SSLError and a missing file alike
        named = [f"{name}={os.environ[name]}" for name in ("SSL_CERT_FILE", "SSL_CERT_DIR") if os.environ.get(name)]
        where = f" ({', '.join(named)})" if named else ""
        raise CommandError(f"cannot load the TLS certificates{where}: {one_line(error)}") from error


def log_to_stderr() -> None:
    """`setup_logger()`'s two sinks, the console one on standard error, away from the report."""
    from zorvia import zorvmanager

    stdout = zorvmanager.stdout
    zorvmanager.stdout = sys.stderr
    try:
        zorvmanager.setup_logger()
    except OSError as error:
        raise CommandError(f"cannot write the debug log {Path('log', 'debug.log').absolute()}: {one_line(error)}") from error
    finally:
        zorvmanager.stdout = stdout


class LocalOperator(KelvoNet):
    """A login-service client that may also ask the local service for login QR codes: its requests
    carry the keychip and are sealed with the salt, which only the service's operator holds."""

    def issue_qrcode(self, user_id: int | None) -> str:
        answer = self._client.exchange(protocol.LOCAL_QRCODE, {"keychip": self.keychip, "userId": user_id})
        qrcode: str = answer.field("qrcode", str)
        return qrcode


def summary(preview: UserPreview, data: UserData) -> list[str]:
    """The player's preview and data as a few readable lines, catalog records by name."""
    characters = ", ".join(f"{record_name(c.chara)} (level {c.level})" for c in data.characters)
    music = [
        f"{record_name(m.music)}: {m.achievement / 10000:.4f}%, level {m.level}, {m.play_count} plays"
        for m in data.music_records
    ]
    favourites = ", ".join(record_name(music_id) for music_id in data.favorite_music)
    return [
        f"Player      {preview.user_name} (user {preview.user_id}), level {preview.level}, "
        f"rating {preview.rating}, last played {preview.last_play_date:%Y-%m-%d %H:%M}",
        f"Icon        {record_name(preview.icon)}",
        f"Title       {record_name(preview.title)}",
        f"Plate       {record_name(preview.plate)}",
        f"Frame       {record_name(preview.frame)}",
        f"Partner     {record_name(preview.partner)}",
        f"Class       {record_name(data.class_rank)}",
        f"Map         {record_name(data.current_map)}",
        f"Plays       {data.play_count}",
        f"Characters  {characters or '(none)'}",
        *(f"{'Music' if i == 0 else '':<12}{line}" for i, line in enumerate(music)),
        f"Favourites  {favourites or '(none)'}",
    ]


def configuration(args: argparse.Namespace, sim: ModuleType) -> tuple[Path, ZorvConfig]:
    """The configuration file the command was given (default: the sample one), read."""
    from zorvia.zorvtypes import ZorvConfig

    path = Path(sim.SAMPLE_CONFIG if args.config is None else args.config)
    return path, ZorvConfig.from_file(path)


def run_demo(args: argparse.Namespace) -> int:
    sim = load_sim()
    from zorvia import zorv2 as title_clients
    from zorvia.zorvmanager import ZorvManager

    _, config = configuration(args, sim)
    if args.net_log:
        title_clients.NET_LOG = True
    with start_service(sim, config) as service, service_environment(service):
        with building_clients():
            manager = ZorvManager(config)
        log_to_stderr()
        logger.info("demo: local service at {} (login) and {} (title)", service.login_url, service.title_url)
        qrcode = args.qrcode if args.qrcode is not None else issue_qrcode(sim, service, args.user_id)
        try:
            user_id = manager.generate_user_id(qrcode=qrcode)
        except ValueError as error:
            raise CommandError(f"the login QR code's time stamp is not readable: {error}") from error
        if user_id is None:
            raise CommandError("the login service does not know this QR code")
        logger.info("demo: QR code resolved to user {}", user_id.userId)
        if not manager.check_db_alive():
            raise CommandError(f"the login service at {service.login_url} is not healthy")
        ping = manager.ping
        test_mode = manager.client_test()
        with manager.generate_zorv2(user_id) as zorv2:
            preview = zorv2.preview()
            data = zorv2.user_data()
            zorv2.logout()
        logger.info("demo: user {} logged out", user_id.userId)
        lines = [
            f"Services    login {service.login_url}, title {service.title_url}",
            f"QR code     {qrcode}",
            f"User ID     {user_id.userId}",
            "Login       alive",
            f"Ping        {ping} ms",
            f"Test mode   {test_mode}",
            *summary(preview, data),
            "Logged out",
        ]
    print("\n".join(lines), flush=True)
    return 0


def run_serve(args: argparse.Namespace) -> int:
    sim = load_sim()
    config_path, config = configuration(args, sim)
    login_port = sim.DEFAULT_LOGIN_PORT if args.login_port is None else args.login_port
    title_port = sim.DEFAULT_TITLE_PORT if args.title_port is None else args.title_port
    with start_service(sim, config, login_port, title_port) as service:
        qrcode = issue_qrcode(sim, service, args.user_id)
        more = "zorvia qrcode [--user-id ID]" + ("" if args.config is None else f" --config {args.config}")
        print(
            "\n".join(
                [
                    "zorvia local service (Ctrl-C stops it)",
                    f"Login service  {service.login_url}",
                    f"Title server   {service.title_url}",
                    f"Configuration  {config_path.resolve()}",
                    f"QR code        {qrcode}",
                    f"More codes     {more}",
                    "Clients find the service through:",
                    *(f"  export {name}={value}" for name, value in service.environ().items()),
                ]
            ),
            flush=True,
        )
        # A termination request stops the service the way Ctrl-C does.
        previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
        try:
            service.run_forever()
        finally:
            signal.signal(signal.SIGTERM, previous)
    print("stopped", flush=True)
    return 0


def run_qrcode(args: argparse.Namespace) -> int:
    sim = load_sim()
    _, config = configuration(args, sim)
    with building_clients():
        operator = LocalOperator(config.keychip, config.kelvo_salt, "", config.https_verify)
    with operator:
        try:
            qrcode = operator.issue_qrcode(args.user_id)
        except ZorvNetworkError as error:
            raise CommandError(f"{error} (is `zorvia serve` running there? {protocol.LOGIN_URL_ENV} says where)") from error
        except ZorvServiceError as error:
            if error.code in {"unauthenticated", "unknown_keychip"}:
                raise CommandError(f"{error} (give --config the file `zorvia serve` speaks with)") from error
            raise
    print(qrcode, flush=True)
    return 0


def run_catalog(args: argparse.Namespace) -> int:
    from zorvia import db, dmr

    path, kind_and_id = (None, args.args) if len(args.args) in (0, 2) else (args.args[0], args.args[1:])
    if len(kind_and_id) not in (0, 2):
        raise CommandError("give a catalog PATH, a KIND and an ID, or both")
    catalog = db.default_catalog() if path is None else db.Catalog(path)
    manager = dmr.DBManager()
    manager.db_module = catalog
    if kind_and_id:
        kind, text = kind_and_id
        if kind not in dmr.KIND_FIELDS:
            raise CommandError(f"{kind!r} is not a catalog kind (the kinds: {', '.join(dmr.KIND_FIELDS)})")
        try:
            record = manager.get_dict(f"{kind}_dict")[int(text)]
        except ValueError:
            raise CommandError(f"{text!r} is not an integer ID") from None
        except KeyError:
            raise CommandError(f"{catalog.where(kind)}: {kind} has no record with ID {text}") from None
        print(record, flush=True)
        return 0
    lines: list[str] = []
    problems: list[str] = []
    failed: set[Path] = set()
    total = 0
    for kind in dmr.KIND_FIELDS:
        if catalog.where(kind) in failed:  # one file of every kind, already refused
            continue
        try:
            if not catalog.holds(kind):  # the table says so; no warning in the log besides
                lines.append(f"{kind:<16}{'missing':>9}")
                continue
            count = len(manager.get_dict(f"{kind}_dict"))
            total += count
            lines.append(f"{kind:<16}{count:>9,}")
        except CatalogError as error:
            failed.add(catalog.where(kind))
            problems.extend(error.problems)
    if problems:
        shown = problems[:PROBLEMS_SHOWN]
        more = [f"... and {len(problems) - len(shown)} more"] if len(problems) > len(shown) else []
        print("\n".join([*shown, *more]), file=sys.stderr, flush=True)
        raise CommandError(f"{catalog.path}: {len(problems)} problem{'s' if len(problems) > 1 else ''}")
    print("\n".join([f"Catalog         {catalog.path}", *lines, f"{'Records':<16}{total:>9,}"]), flush=True)
    return 0


PROBLEMS_SHOWN = 10


def port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port number (0 to 65535)")
    return value


DESCRIPTION = """\
zorvia logs a player in from a login QR code and reads the player's data from the title server,
through its ZorvManager; its pydantic field types turn the data's catalog IDs into records.
These commands run it against its local service, a login service and a title server on 127.0.0.1
that speak the same protocol."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zorvia",
        description=DESCRIPTION,
        epilog="'zorvia COMMAND --help' describes a command and its options.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--user-id", type=int, metavar="ID", help="the sample user whose QR code is issued (default: the first)")
    common.add_argument("--config", metavar="PATH", help="configuration file, .toml or .json (default: the sample)")

    demo = commands.add_parser(
        "demo",
        parents=[common],
        help="log in to a local service and print a player's data",
        description="Start the local service on free loopback ports and walk the whole road once through a "
        "ZorvManager: log in with a fresh login QR code, check the login service, ping the title server, "
        "put the client in test mode, fetch the player's preview and data, log out. Print what came back, "
        "catalog names in place of IDs; log to standard error and ./log/debug.log.",
    )
    demo.add_argument("--qrcode", metavar="TEXT", help="log in with this QR code text instead of a fresh one")
    demo.add_argument("--net-log", action="store_true", help="log every request at DEBUG")
    demo.set_defaults(run=run_demo)

    serve = commands.add_parser(
        "serve",
        parents=[common],
        help="run the local service until Ctrl-C",
        description="Run the local service in the foreground until Ctrl-C or a termination signal. Print its "
        "addresses, its configuration file, a fresh login QR code and the variables that point the clients at it.",
    )
    serve.add_argument("--login-port", type=port, metavar="N", help="login service port (default: 38411; 0: any)")
    serve.add_argument("--title-port", type=port, metavar="N", help="title server port (default: 38412; 0: any)")
    serve.set_defaults(run=run_serve)

    qrcode = commands.add_parser(
        "qrcode",
        parents=[common],
        help="print a fresh login QR code from a running local service",
        description=f"Ask the local service that `zorvia serve` runs (at ${protocol.LOGIN_URL_ENV}, default "
        f"http://127.0.0.1:{protocol.DEFAULT_LOGIN_PORT}) for a fresh login QR code and print it. The request "
        "proves the configuration's keychip and salt: give --config the file the service speaks with.",
    )
    qrcode.set_defaults(run=run_qrcode)

    catalog = commands.add_parser(
        "catalog",
        usage="%(prog)s [-h] [PATH] [KIND ID]",
        help="check a catalog, or print one of its records",
        description="Read every kind of a catalog (a JSON file, or a folder of one file per kind) and print "
        f"each kind's count, or the first problems found; with KIND and ID, print that record. Without PATH: "
        f"the catalog in use, ${CATALOG_ENV} or the sample.",
    )
    catalog.add_argument("args", nargs="*", metavar="[PATH] [KIND ID]", help=argparse.SUPPRESS)
    catalog.set_defaults(run=run_catalog)
    return parser


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except BrokenPipeError:
        # Whoever read the output stopped (`zorvia demo | head`): end quietly, and send what is still
        # buffered nowhere, so that the interpreter's last flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (ZorvError, CommandError, OSError) as error:
        print(f"zorvia {args.command}: error: {one_line(error)}", file=sys.stderr, flush=True)
        return 1
    except KeyboardInterrupt:
        return 130
    return status
