"""Validate and serialise a pydantic model with 1,000 catalog reference fields.

Three versions of the same model: fields typed with the native `Pydantic<Kind>` aliases of
`zorvia.catalog_types`, with the plain-Python reference aliases (same algorithm, same
`DBManager`), and with plain `int` (the floor). A round validates the input and serialises
the model; "python" rounds start from a dict holding known IDs, unknown IDs and records,
"python-ids" rounds from a dict of the same IDs with IDs in place of the records, "json" rounds
from JSON text holding those IDs.

The models run in turns, in alternating order, each for ROUNDS rounds per turn: the ratios are
taken turn by turn, so that the machine's speed drifting over the run cancels out.

Usage: python benchmarks/bench_catalog.py [ROUNDS] [REPEATS]
       python benchmarks/bench_catalog.py --instructions [ROUNDS]   (instruction counts, needs valgrind)
"""

import gc
import itertools
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

from pydantic import BaseModel, create_model
import tests_path  # noqa: F401  (benchmarks/ is on sys.path when run as a script; this adds tests/)
from reference import catalog_types as reference  # tests/reference

import zorvia.catalog_types as native

FIELD_COUNT = 1000
KINDS = [alias.removeprefix("Pydantic") for alias in native.__all__]
UNKNOWN_ID = 987654
TARGET = 1.3  # the native module must be at least this much faster than the reference
RATIOS = [("reference", "native"), ("native", "int"), ("reference", "int")]


def field_kinds() -> list[tuple[str, str]]:
    return [(f"field{index}", kind) for index, kind in zip(range(FIELD_COUNT), itertools.cycle(KINDS))]


def reference_model(module: ModuleType) -> type[BaseModel]:
    fields: dict[str, Any] = {name: (getattr(module, f"Pydantic{kind}"), ...) for name, kind in field_kinds()}
    return create_model(f"Bench_{module.__name__.replace('.', '_')}", **fields)


def int_model() -> type[BaseModel]:
    fields: dict[str, Any] = {name: (int, ...) for name, _ in field_kinds()}
    return create_model("BenchInt", **fields)


def python_input() -> dict[str, Any]:
    """Known IDs, unknown IDs and records in turn."""
    data: dict[str, Any] = {}
    for index, (name, kind) in enumerate(field_kinds()):
        records = native.other_db.get_dict(f"{kind}_dict")
        known_id = next(iter(records))
        data[name] = (known_id, UNKNOWN_ID, records[known_id])[index % 3]
    return data


def as_ids(data: dict[str, Any]) -> dict[str, int]:
    return {name: value if isinstance(value, int) else value.name.ID for name, value in data.items()}


def python_round(model: type[BaseModel], data: dict[str, Any]) -> Callable[[], object]:
    return lambda: model.model_validate(data).model_dump()


def json_round(model: type[BaseModel], text: str) -> Callable[[], object]:
    return lambda: model.model_validate_json(text).model_dump_json()


def per_round(run: Callable[[], object], rounds: int) -> float:
    start = time.perf_counter()
    for _ in range(rounds):
        run()
    return (time.perf_counter() - start) / rounds


def measure(runs: dict[str, Callable[[], object]], rounds: int, repeats: int) -> dict[str, list[float]]:
    """Seconds per round of every run, one turn of each per repeat in alternating order, the
    collector off."""
    gc.collect()
    gc.disable()
    for run in runs.values():
        per_round(run, max(1, rounds // 10))
    times: dict[str, list[float]] = {label: [] for label in runs}
    for repeat in range(repeats):
        labels = list(runs) if repeat % 2 == 0 else list(reversed(runs))
        for label in labels:
            times[label].append(per_round(runs[label], rounds))
    gc.enable()
    return times


def report(scenario: str, times: dict[str, list[float]]) -> None:
    best = {label: min(samples) for label, samples in times.items()}
    median = {label: statistics.median(samples) for label, samples in times.items()}

    def turn_by_turn(numerator: str, denominator: str) -> float:
        return statistics.median(a / b for a, b in zip(times[numerator], times[denominator]))

    print(f"\n{scenario}: seconds per validate+serialise round of {FIELD_COUNT} fields")
    for label in times:
        print(f"  {label:<10} best {best[label] * 1e3:8.3f} ms   median {median[label] * 1e3:8.3f} ms")
    ratios = {
        "best": {pair: best[pair[0]] / best[pair[1]] for pair in RATIOS},
        "turns": {pair: turn_by_turn(*pair) for pair in RATIOS},
    }
    for stat, values in ratios.items():
        print(f"  {stat:<6}" + "".join(f"   {a}/{b} {values[a, b]:5.2f}x" for a, b in RATIOS))
    speedup = ratios["turns"]["reference", "native"]
    verdict = "met" if speedup >= TARGET else "NOT met"
    print(f"  target reference/native >= {TARGET}x (median of turns): {verdict}")


def scenario_runs(models: dict[str, type[BaseModel]]) -> dict[str, dict[str, Callable[[], object]]]:
    """The validate+serialise round of every model, by scenario and label."""
    data = python_input()
    ids = as_ids(data)
    inputs = {"native": data, "reference": data, "int": ids}
    text = models["int"](**ids).model_dump_json()
    for label, model in models.items():
        assert as_ids(model.model_validate(inputs[label]).model_dump()) == ids, label
    return {
        "python": {label: python_round(model, inputs[label]) for label, model in models.items()},
        "python-ids": {label: python_round(model, ids) for label, model in models.items()},
        "json": {label: json_round(model, text) for label, model in models.items()},
    }


def build_models() -> dict[str, type[BaseModel]]:
    return {"native": reference_model(native), "reference": reference_model(reference), "int": int_model()}


def instructions(scenario: str, label: str, rounds: int) -> int:
    """Instructions executed by this script running `rounds` rounds of one model, under callgrind."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__]
        # A fixed hash seed: string hashes decide how dict lookups probe, and so the counts.
        environment = {**os.environ, "PYTHONHASHSEED": "0"}
        subprocess.run(
            [*command, "--rounds-of", scenario, label, str(rounds)], check=True, capture_output=True, env=environment
        )
        totals = [line for line in out.read_text().splitlines() if line.startswith(("totals:", "summary:"))]
        return int(totals[-1].split()[1])


def count_instructions(rounds: int) -> None:
    """Instructions per round: the difference between `rounds` rounds and 2 rounds, which cancels start-up.
    Unlike seconds, the counts do not depend on what else the machine is doing."""
    print(f"instructions per validate+serialise round of {FIELD_COUNT} fields (callgrind, {rounds} - 2 rounds)")
    for scenario in ("python", "python-ids", "json"):
        counts = {
            label: (instructions(scenario, label, rounds) - instructions(scenario, label, 2)) / (rounds - 2)
            for label in ("native", "reference", "int")
        }
        print(
            f"  {scenario:<10} native {counts['native'] / 1e6:.2f} M   reference {counts['reference'] / 1e6:.2f} M"
            f"   int {counts['int'] / 1e6:.2f} M   reference/native {counts['reference'] / counts['native']:.2f}x"
        )


def main() -> None:
    if sys.argv[1:2] == ["--rounds-of"]:  # one model's rounds, counted by callgrind
        scenario, label, rounds = sys.argv[2], sys.argv[3], int(sys.argv[4])
        run = scenario_runs(build_models())[scenario][label]
        gc.disable()
        for _ in range(rounds):
            run()
        return
    if sys.argv[1:2] == ["--instructions"]:
        count_instructions(int(sys.argv[2]) if len(sys.argv) > 2 else 22)
        return
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 201
    runs = scenario_runs(build_models())
    print(f"{rounds} rounds x {repeats} repeats, Python {sys.version.split()[0]}")
    for scenario, labelled_runs in runs.items():
        report(scenario, measure(labelled_runs, rounds, repeats))


if __name__ == "__main__":
    main()
