"""The cost of the layer itself: each entry point of the two modules in four versions.

Columns: the native module; the plain-Python reference (tests/reference); that reference
compiled by Cython 3.0 (benchmarks/cython_peer.py builds it); and the floor, the companion calls
alone, made straight from the benchmark loop. The companions are C builtins (`SimpleNamespace`,
`dict`, `int`, `slice`, `operator.itemgetter` ...), so what is left above the floor is the layer:
binding, argument tests, module-global and attribute lookups, the calls out.

Every entry point runs in a loop like timeit's (`for _ in range: <statement>`), and an empty
loop of the same length is the baseline subtracted from it.

Usage: python benchmarks/bench_layer.py              instructions per call (callgrind) and time ratios
       python benchmarks/bench_layer.py --quick      every entry point a few times, the versions'
                                                     results compared (no timing; for CI)
       python benchmarks/bench_layer.py --time       time ratios only
       python benchmarks/bench_layer.py --instructions
                                                     instruction counts only
       python benchmarks/bench_layer.py --profile ENTRY VERSION
                                                     callgrind_annotate of one entry point's loop
                                                     (ENTRY a prefix of its title, VERSION native,
                                                     cython, python or floor)
       python benchmarks/bench_layer.py --leaks       memory each native entry point keeps after
                                                     many calls (tracemalloc), and the reference
                                                     counts of what it touches
       python benchmarks/bench_layer.py --import-time
                                                     each module's first import in a fresh
                                                     interpreter: its own time (`-X importtime`,
                                                     what the modules it imports take left out),
                                                     median of 15 runs
"""

from __future__ import annotations

import gc
import operator
import os
import statistics
import subprocess
import tracemalloc
import sys
import tempfile
import timeit
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime, timedelta
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any

import cython_peer  # benchmarks/ is on sys.path when run as a script
from pydantic import BaseModel, create_model

import zorvia.catalog_types
import zorvia.zorvmanager
import tests_path  # noqa: F401  (tests/reference holds the reference modules)
from reference import catalog_types as reference_catalog_types
from reference import zorvmanager as reference_zorvmanager

VERSIONS = ("floor", "native", "cython", "python")
KIND = "Icon"
FIELD_COUNT = 1000
UNKNOWN_ID = 987654


@dataclass
class Entry:
    """One entry point: its statement over the names `setup(module, version)` binds, and the
    floor's statement over the names `floor_setup()` binds."""

    title: str
    module: str  # "manager" or "catalog"
    statement: str
    floor: str
    setup: Callable[[ModuleType, str], dict[str, Any]]
    floor_setup: Callable[[], dict[str, Any]]
    calls: int  # calls per measured loop under callgrind


# ---------------------------------------------------------------------------------------
# The manager module

CONFIG_FIELDS = {
    "keychip": "A63E-01E12345678",
    "kelvo_salt": "kelvo-salt",
    "proxy": "",
    "https_verify": True,
    "zorv2_salt": "zorv2-salt",
    "aes_key": "0123456789abcdef",
    "aes_iv": "fedcba9876543210",
    "retry": 3,
    "place_id": 1234,
    "client_id": "A63E01C1234",
}


class Config:
    """The configuration: a plain class whose fields are instance attributes."""

    def __init__(self) -> None:
        for name, value in CONFIG_FIELDS.items():
            setattr(self, name, value)


MANAGER_COMPANIONS = {
    "KelvoNet": SimpleNamespace,
    "BaseZorvNet": SimpleNamespace,
    "ZorvAES": dict,
    "ZorvNet": operator.itemgetter,  # takes any eight positional arguments and keeps them
    "NET_LOG": False,
}
LOGGER = object()  # the logger handed to the manager


def manager_module(module: ModuleType) -> ModuleType:
    for name, value in MANAGER_COMPANIONS.items():
        setattr(module, name, value)
    return module


def fresh_manager(module: ModuleType) -> Any:
    """A manager whose services answer with C builtins and whose ping is fresh for a year."""
    manager = manager_module(module).ZorvManager(Config(), LOGGER)
    manager.kelvo_net.check_alive = int
    manager.base_net.upsert_client_testmode = dict
    manager.last_ping_datetime = datetime.now() + timedelta(days=365)
    manager.last_ping = 42
    return manager


def construction_setup(module: ModuleType, version: str) -> dict[str, Any]:
    return {"ZorvManager": manager_module(module).ZorvManager, "config": Config(), "logger": LOGGER}


def construction_floor() -> dict[str, Any]:
    return {**CONFIG_FIELDS, **MANAGER_COMPANIONS, "logger": LOGGER, "now": datetime.now, "timedelta": timedelta}


def manager_setup(module: ModuleType, version: str) -> dict[str, Any]:
    manager = fresh_manager(module)
    return {"manager": manager, "insider": manager.zorv_net_maker}


def manager_floor() -> dict[str, Any]:
    manager = fresh_manager(zorvia.zorvmanager)
    return {
        "kelvo_net": manager.kelvo_net,
        "base_net": manager.base_net,
        "config": manager.config,
        "last": manager.last_ping_datetime,
        "now": datetime.now,
        "ZorvNet": operator.itemgetter,
        **{name: CONFIG_FIELDS[name] for name in ("zorv2_salt", "proxy", "https_verify", "retry")},
        "logger": LOGGER,
        "aes": {},
    }


# ---------------------------------------------------------------------------------------
# The catalog module

# A core_schema module made of C builtins: every builder keeps what it is given.
BUILTIN_CORE_SCHEMA = ModuleType("core_schema")
BUILTIN_CORE_SCHEMA.__dict__.update(
    int_schema=dict,
    chain_schema=tuple,
    no_info_plain_validator_function=slice,
    is_instance_schema=slice,
    union_schema=tuple,
    plain_serializer_function_ser_schema=slice,
    json_or_python_schema=dict,
)
REAL_GLOBALS = {
    name: {"core_schema": module.core_schema, "other_db": module.other_db}
    for name, module in (("native", zorvia.catalog_types), ("python", reference_catalog_types))
}


class Catalog:
    """A catalog whose `get_dict` is a Python method."""

    def __init__(self) -> None:
        self.dicts = {f"{KIND}_dict": {5: "record 5", 6: "record 6"}}

    def get_dict(self, name: str) -> dict[int, str]:
        return self.dicts[name]


CATALOG = Catalog()


def catalog_module(module: ModuleType, version: str, *, real: bool) -> ModuleType:
    """The module with pydantic's core_schema and the package's catalog, or with C builtins."""
    if real:
        for name, value in REAL_GLOBALS[version if version in REAL_GLOBALS else "python"].items():
            setattr(module, name, value)
    else:
        module.core_schema = BUILTIN_CORE_SCHEMA
        module.other_db = CATALOG
    return module


def annotation(module: ModuleType) -> type:
    return getattr(module, f"_{KIND}PydanticAnnotation")


def hook_setup(module: ModuleType, version: str) -> dict[str, Any]:
    return {"annotation": annotation(catalog_module(module, version, real=False)), "source": int}


def validator_setup(module: ModuleType, version: str) -> dict[str, Any]:
    schema = annotation(catalog_module(module, version, real=False)).__get_pydantic_core_schema__(int, None)
    return {"validate": schema["json_schema"][1].stop}


def hook_floor() -> dict[str, Any]:
    return {
        "schema": BUILTIN_CORE_SCHEMA,
        "record": getattr(zorvia.catalog_types, KIND),
        "validator": len,
        "serializer": len,
        "get_dict": CATALOG.get_dict,
        "name": f"{KIND}_dict",
    }


def field_kinds() -> list[tuple[str, str]]:
    kinds = [alias.removeprefix("Pydantic") for alias in zorvia.catalog_types.__all__]
    return [(f"field{index}", kinds[index % len(kinds)]) for index in range(FIELD_COUNT)]


def model_input() -> dict[str, Any]:
    """Known IDs, unknown IDs and records in turn."""
    data: dict[str, Any] = {}
    for index, (name, kind) in enumerate(field_kinds()):
        records = REAL_GLOBALS["native"]["other_db"].get_dict(f"{kind}_dict")
        known_id = next(iter(records))
        data[name] = (known_id, UNKNOWN_ID, records[known_id])[index % 3]
    return data


MODELS: dict[str, type[BaseModel]] = {}


def model(module: ModuleType, version: str) -> type[BaseModel]:
    if version not in MODELS:
        if module is None:
            fields: dict[str, Any] = {name: (int, ...) for name, _ in field_kinds()}
        else:
            fields = {name: (getattr(module, f"Pydantic{kind}"), ...) for name, kind in field_kinds()}
        MODELS[version] = create_model(f"Bench_{version}", **fields)
    return MODELS[version]


def model_setup(module: ModuleType, version: str) -> dict[str, Any]:
    return {"model": model(catalog_module(module, version, real=True), version), "data": model_input()}


def model_floor() -> dict[str, Any]:
    data = model_input()
    return {
        "model": model(None, "floor"),
        "data": {name: value if isinstance(value, int) else value.name.ID for name, value in data.items()},
    }


ENTRIES = [
    Entry(
        "ZorvManager(cfg)",
        "manager",
        "ZorvManager(config)",
        "KelvoNet(keychip=keychip, kelvo_salt=kelvo_salt, proxy=proxy, verify=https_verify);"
        " ZorvAES(key=aes_key, iv=aes_iv); ZorvAES(key=aes_key, iv=aes_iv);"
        " BaseZorvNet(salt=zorv2_salt, userId=keychip, logger=logger, aes={}, proxy=proxy, verify=https_verify);"
        " now() - timedelta(hours=1)",
        construction_setup,
        construction_floor,
        100,
    ),
    Entry(
        "check_db_alive()",
        "manager",
        "manager.check_db_alive()",
        "kelvo_net.check_alive()",
        manager_setup,
        manager_floor,
        1000,
    ),
    Entry(
        "client_test()",
        "manager",
        "manager.client_test()",
        "base_net.upsert_client_testmode(placeId=config.place_id, clientId=config.client_id)",
        manager_setup,
        manager_floor,
        1000,
    ),
    Entry(
        "validate_from_int(5)",
        "catalog",
        "validate(5)",
        "get_dict(name).get(5, 5)",
        validator_setup,
        hook_floor,
        1000,
    ),
    Entry(
        "__get_pydantic_core_schema__",
        "catalog",
        "annotation.__get_pydantic_core_schema__(source, None)",
        "from_int = schema.chain_schema([schema.int_schema(), schema.no_info_plain_validator_function(validator)]);"
        " schema.json_or_python_schema(json_schema=from_int,"
        " python_schema=schema.union_schema([schema.is_instance_schema(record), from_int]),"
        " serialization=schema.plain_serializer_function_ser_schema(serializer))",
        hook_setup,
        hook_floor,
        200,
    ),
    Entry(
        "ping (fresh)",
        "manager",
        "manager.ping",
        "(now() - last).total_seconds() > 900",
        manager_setup,
        manager_floor,
        500,
    ),
    Entry(
        "insider(7, 5)",
        "manager",
        "insider(7, 5)",
        "ZorvNet(5, zorv2_salt, 7, logger, aes, proxy, https_verify, retry)",
        manager_setup,
        manager_floor,
        1000,
    ),
    Entry(
        "1,000-field model validate",
        "catalog",
        "model.model_validate(data)",
        "model.model_validate(data)",
        model_setup,
        model_floor,
        4,
    ),
]


# ---------------------------------------------------------------------------------------
# Running

def modules(peer: dict[str, ModuleType] | None) -> dict[str, dict[str, ModuleType | None]]:
    """The module of every version, by entry kind ("manager" or "catalog")."""
    found = {
        "native": {"manager": zorvia.zorvmanager, "catalog": zorvia.catalog_types},
        "python": {"manager": reference_zorvmanager, "catalog": reference_catalog_types},
    }
    if peer is not None:
        found["cython"] = {"manager": peer["zorvmanager"], "catalog": peer["catalog_types"]}
    return found


def timer(entry: Entry, version: str, found: dict[str, dict[str, ModuleType | None]], empty: bool = False) -> timeit.Timer:
    """A timer of the entry's statement for `version`, its names bound as locals of the loop."""
    if version == "floor":
        names, statement = entry.floor_setup(), entry.floor
    else:
        names, statement = entry.setup(found[version][entry.module], version), entry.statement
    setup = "; ".join(f"{name} = _names[{name!r}]" for name in names) or "pass"
    return timeit.Timer("pass" if empty else statement, setup, globals={"_names": names})


def results(entry: Entry, found: dict[str, dict[str, ModuleType | None]]) -> dict[str, Any]:
    """What one call of the entry point gives in every version but the floor, made comparable."""
    outcome = {}
    for version in found:
        names = entry.setup(found[version][entry.module], version)
        outcome[version] = comparable(eval(entry.statement, {}, names))
    return outcome


def comparable(value: Any) -> Any:
    """The value with the parts that differ by version alone (functions, times, classes) named by kind."""
    if callable(value) and not isinstance(value, type) and not isinstance(value, operator.itemgetter):
        return "<function>"
    if isinstance(value, datetime):
        return "<datetime>"
    if isinstance(value, BaseModel):
        return comparable(value.model_dump())
    if isinstance(value, dict):
        return {key: comparable(item) for key, item in value.items()}
    if type(value) in (tuple, list):
        return type(value)(comparable(item) for item in value)
    if isinstance(value, slice):
        return ("slice", comparable(value.stop))
    if isinstance(value, operator.itemgetter):
        return ("itemgetter", comparable(value.__reduce__()[1]))
    if isinstance(value, SimpleNamespace):
        return ("namespace", comparable(vars(value)))
    if isinstance(value, Config):
        return ("Config", vars(value))
    if type(value).__name__ == "ZorvManager":
        return ("ZorvManager", comparable(vars(value)))
    return value


def quick(found: dict[str, dict[str, ModuleType | None]]) -> None:
    for entry in ENTRIES:
        outcome = results(entry, found)
        for version in VERSIONS:
            if version in found or version == "floor":
                timer(entry, version, found).timeit(3)
        first = outcome["native"]
        different = [version for version, value in outcome.items() if value != first]
        if different:
            raise SystemExit(f"{entry.title}: {', '.join(different)} differ from native: {outcome}")
        print(f"  {entry.title:<30} {', '.join(outcome)} agree")


def leaks(found: dict[str, dict[str, ModuleType | None]]) -> None:
    """Bytes of traced memory, and references of the objects the statement names, that each native
    entry point keeps after its calls: what is left after a warm-up, then after many more calls."""
    print("memory and references kept by the native version of each entry point (warm-up, then more calls)")
    for entry in ENTRIES:
        names = entry.setup(found["native"][entry.module], "native")
        loop = timeit.Timer(entry.statement, "; ".join(f"{name} = _names[{name!r}]" for name in names), globals={"_names": names})
        calls = entry.calls * 20
        loop.timeit(calls)
        gc.collect()
        tracemalloc.start()
        counts = [sys.getrefcount(value) for value in names.values()]
        before = tracemalloc.get_traced_memory()[0]
        loop.timeit(calls)
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        after = [sys.getrefcount(value) for value in names.values()]
        references = sum(after) - sum(counts)
        print(f"  {entry.title:<30} {calls:>7} calls: {kept:>6} bytes, {references} references kept")


def measured_loops(found: dict[str, dict[str, ModuleType | None]], versions: list[str], entries: list[Entry]) -> None:
    """Under callgrind: for every entry and version, the loop and the empty loop, each inside
    sys.call_tracing, whose every return dumps the count of what ran inside it."""
    for entry in entries:
        for version in versions:
            loops = (timer(entry, version, found), timer(entry, version, found, empty=True))
            for loop in loops:
                loop.timeit(max(3, entry.calls // 10))  # what is learnt on the first calls
            for loop in loops:
                sys.call_tracing(loop.timeit, (entry.calls,))


def callgrind(folder: str, versions: list[str], entry: str = "") -> list[Path]:
    """The dumps of one run of the measured loops under callgrind, in order."""
    out = Path(folder) / "callgrind.out"
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
        "--toggle-collect=_PyEval_CallTracing", "--dump-after=_PyEval_CallTracing",
        sys.executable, __file__, "--measured-loops", ",".join(versions), entry,
    ]  # fmt: skip
    # A fixed hash seed: string hashes decide how dict lookups probe, and so the counts.
    environment = {**os.environ, "PYTHONHASHSEED": "0"}
    subprocess.run(command, check=True, capture_output=True, env=environment)
    return sorted(Path(folder).glob("callgrind.out.*"), key=lambda path: int(path.name.rsplit(".", 1)[1]))


def profile(entry: str, version: str) -> None:
    """The functions of one entry point's loop by inclusive instructions."""
    with tempfile.TemporaryDirectory() as folder:
        loop = callgrind(folder, [version], entry)[0]
        report = subprocess.run(
            ["callgrind_annotate", "--inclusive=yes", "--threshold=99", str(loop)], check=True, capture_output=True, text=True
        )
    print(report.stdout)


def instructions(versions: list[str]) -> dict[tuple[str, str], float]:
    """Instructions per call of every entry and version: the loop minus the empty loop."""
    with tempfile.TemporaryDirectory() as folder:
        dumps = callgrind(folder, versions)
        totals = []
        for dump in dumps:
            lines = [line for line in dump.read_text().splitlines() if line.startswith(("totals:", "summary:"))]
            totals.append(int(lines[-1].split()[1]))
    counts: dict[tuple[str, str], float] = {}
    position = 0
    for entry in ENTRIES:
        for version in versions:
            loop, empty = totals[position], totals[position + 1]
            counts[entry.title, version] = (loop - empty) / entry.calls
            position += 2
    return counts


def wall_clock(found: dict[str, dict[str, ModuleType | None]]) -> dict[tuple[str, str], float]:
    """Seconds per call: the best loop minus the best empty loop, of 9 turns in which every
    version runs about 20 ms, so that the machine's drift over a turn touches all alike."""
    seconds: dict[tuple[str, str], float] = {}
    for entry in ENTRIES:
        versions = [version for version in VERSIONS if version == "floor" or version in found]
        loops = {version: (timer(entry, version, found), timer(entry, version, found, empty=True)) for version in versions}
        numbers = {}
        for version, (loop, _) in loops.items():
            once = loop.timeit(entry.calls) / entry.calls
            numbers[version] = max(entry.calls, int(0.02 / max(once, 1e-9)))
        best = {version: [float("inf"), float("inf")] for version in versions}
        for _ in range(9):
            for version, timers in loops.items():
                for index, loop in enumerate(timers):
                    best[version][index] = min(best[version][index], loop.timeit(numbers[version]) / numbers[version])
        for version in versions:
            seconds[entry.title, version] = best[version][0] - best[version][1]
    return seconds


def table(values: dict[tuple[str, str], float], versions: list[str], unit: Callable[[float], str]) -> None:
    labels = {"floor": "floor", "native": "native", "cython": "Cython 3.0", "python": "plain Python"}
    print("| entry point | " + " | ".join(labels[version] for version in versions) + " | native overhead / Cython's |")
    print("|---" * (len(versions) + 2) + "|")
    for entry in ENTRIES:
        row = [unit(values[entry.title, version]) for version in versions]
        ratio = "-"
        if "cython" in versions:
            floor = values[entry.title, "floor"]
            cython_overhead = values[entry.title, "cython"] - floor
            if cython_overhead > 0:
                ratio = f"{(values[entry.title, 'native'] - floor) / cython_overhead:.2f}"
        print(f"| {entry.title} | " + " | ".join(row) + f" | {ratio} |")


def kilo(count: float) -> str:
    return f"{count / 1e6:.2f} M" if count >= 1e5 else f"{count / 1e3:.2f} K"


IMPORT_RUNS = 15


def import_times(peer: dict[str, ModuleType] | None) -> None:
    """Milliseconds of each module's own import time (what the modules it imports take left out): the
    median of IMPORT_RUNS fresh interpreters per version, the versions' runs taken in turn."""
    names = {"native": {"manager": "zorvia.zorvmanager", "catalog": "zorvia.catalog_types"}}
    path = {"native": os.environ.get("PYTHONPATH", "")}
    if peer is not None:
        names["cython"] = {kind: peer[module].__name__ for kind, module in (("manager", "zorvmanager"), ("catalog", "catalog_types"))}
        path["cython"] = os.pathsep.join(filter(None, [str(Path(peer["zorvmanager"].__file__).parent), path["native"]]))

    def own_time(version: str, module: str) -> int:
        command = [sys.executable, "-X", "importtime", "-c", f"import {module}"]
        run = subprocess.run(command, check=True, capture_output=True, text=True, env={**os.environ, "PYTHONPATH": path[version]})
        line = next(line for line in run.stderr.splitlines() if line.rsplit("|", 1)[-1].strip() == module)
        return int(line.split(":", 1)[1].split("|")[0])

    print(f"own import time, median of {IMPORT_RUNS} runs of `python -X importtime -c 'import <module>'`")
    print("| module | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    for kind in ("manager", "catalog"):
        samples: dict[str, list[int]] = {version: [] for version in names}
        for _ in range(IMPORT_RUNS):
            for version, modules in names.items():
                samples[version].append(own_time(version, modules[kind]))
        medians = [f"{statistics.median(samples[version]) / 1000:.2f} ms" for version in names]
        print(f"| {names['native'][kind]} | " + " | ".join(medians) + " |")


def main() -> None:
    gc.collect()
    if sys.argv[1:2] == ["--measured-loops"]:
        peer, _ = cython_peer.load() if "cython" in sys.argv[2] else (None, "")
        gc.disable()
        entries = [entry for entry in ENTRIES if entry.title.startswith(sys.argv[3])]
        measured_loops(modules(peer), sys.argv[2].split(","), entries)
        return
    if sys.argv[1:2] == ["--profile"]:
        profile(sys.argv[2], sys.argv[3])
        return
    peer, description = cython_peer.load()
    if peer is None:
        print(f"The Cython column is left out: {description}")
    found = modules(peer)
    if sys.argv[1:2] == ["--import-time"]:
        import_times(peer)
        return
    if sys.argv[1:2] == ["--leaks"]:
        leaks(found)
        return
    if sys.argv[1:2] == ["--quick"]:
        print(f"quick run of every entry point (Python {sys.version.split()[0]}, {description})")
        quick(found)
        return
    versions = [version for version in VERSIONS if version == "floor" or version in found]
    if sys.argv[1:2] != ["--time"]:
        print(f"instructions per call (callgrind, PYTHONHASHSEED=0, empty loop subtracted; Python {sys.version.split()[0]}, {description})")
        table(instructions(versions), versions, kilo)
    if sys.argv[1:2] == ["--instructions"]:
        return
    print("\nseconds per call (best of 9 turns, best empty loop subtracted)")
    seconds = wall_clock(found)
    table(seconds, versions, lambda value: f"{value * 1e6:.2f} µs")
    print("\ntime ratios: native / cython, native / python")
    for entry in ENTRIES:
        native = seconds[entry.title, "native"]
        ratios = [f"{native / seconds[entry.title, version]:.2f}" for version in ("cython", "python") if version in versions]
        print(f"  {entry.title:<30} " + "   ".join(ratios))


if __name__ == "__main__":
    main()
