"""A catalog at the size of a real game: 200,000 generated records in 21 kinds, one kind of 50,000.

Loading: the time from nothing (a fresh `DBManager` over a fresh `zorvia.db.Catalog`) to a kind's
dictionary ready for validation, against the floor, the bare `json.loads` of that kind's file.
"before" is how the package loaded a kind until now (`json.loads`, then pydantic validating the
rows as Python objects); "after" is `zorvia.db.Catalog`, pydantic validating the JSON text
straight into records. The loads run in turns, in alternating order, and each ratio is the median
of the turns' ratios. The folder catalog is timed kind by kind (the largest and a common one),
the one-file catalog whole. Memory per record is what the kind's dictionary holds once built
(tracemalloc), beside what `json.loads` of its rows holds.

Validation: seconds per validation of a model of 1,000 `PydanticMusic` fields from known IDs,
`other_db` holding the dictionary each loader built, beside the same model with `int` fields:
loading differently must leave the cost per field where it was.

Usage: python benchmarks/bench_catalog_load.py [REPEATS]
"""

import gc
import json
import random
import statistics
import sys
import tempfile
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Any

from bench_catalog import measure
from pydantic import create_model

from zorvia import catalog_types, db, dmr

TOTAL = 200_000
LARGEST = ("Music", 50_000)
COMMON = "Icon"
FIELDS = 1000
WORDS = ["Dawn", "Harbor", "Meadow", "Ember", "Tide", "Aurora", "Cinder", "Lumen", "Quartz", "Willow"]
VALUES: dict[type, Callable[[random.Random, int], Any]] = {
    int: lambda rng, i: rng.randrange(1, 10_000),
    str: lambda rng, i: f"{rng.choice(WORDS)} {rng.choice(WORDS)}",
    bool: lambda rng, i: i % 3 == 0,
}


def sizes() -> dict[str, int]:
    others = [kind for kind in dmr.KIND_FIELDS if kind != LARGEST[0]]
    each = (TOTAL - LARGEST[1]) // len(others)
    return {kind: LARGEST[1] if kind == LARGEST[0] else each for kind in dmr.KIND_FIELDS}


def generate(folder: Path) -> tuple[Path, Path]:
    """The catalog as a folder of one file per kind and as one file; a fixed seed, so every run
    reads the same text."""
    rng = random.Random(20261208)
    document: dict[str, list[dict[str, Any]]] = {}
    for kind, count in sizes().items():
        fields = dmr.KIND_FIELDS[kind]
        document[kind] = [
            {"name": {"ID": 1000 + i, "str": f"{kind} {rng.choice(WORDS)} {i}"}}
            | {field: VALUES[kind_type](rng, i) for field, kind_type in fields.items()}
            for i in range(count)
        ]
    (folder / "kinds").mkdir()
    for kind, rows in document.items():
        (folder / "kinds" / f"{kind}.json").write_text(json.dumps(rows), encoding="utf-8")
    (folder / "catalog.json").write_text(json.dumps(document), encoding="utf-8")
    return folder / "kinds", folder / "catalog.json"


class RowsSource:
    """The loading of old: a kind's rows from `json.loads`, validated by the manager as Python objects."""

    def __init__(self, catalog: db.Catalog) -> None:
        self.catalog = catalog
        self.documents: dict[Path, Any] = {}  # the one file of a one-file catalog is read once

    def records(self, kind: str) -> list[dict[str, Any]]:
        path = self.catalog.where(kind)
        if path not in self.documents:
            self.documents[path] = json.loads(path.read_bytes())
        rows: list[dict[str, Any]] = self.documents[path] if path.stem == kind else self.documents[path][kind]
        return rows


def manager_over(source: object) -> dmr.DBManager:
    manager = dmr.DBManager()
    manager.db_module = source
    return manager


def load_runs(path: Path, kinds: list[str]) -> dict[str, Callable[[], object]]:
    """Each loader, from nothing to the dictionaries of `kinds` ready."""

    def floor() -> object:
        catalog = db.Catalog(path)
        return [json.loads(file.read_bytes()) for file in dict.fromkeys(catalog.where(kind) for kind in kinds)]

    def before() -> object:
        manager = manager_over(RowsSource(db.Catalog(path)))
        return [manager.get_dict(f"{kind}_dict") for kind in kinds]

    def after() -> object:
        manager = manager_over(db.Catalog(path))
        return [manager.get_dict(f"{kind}_dict") for kind in kinds]

    return {"json.loads": floor, "before": before, "after": after}


def retained_per_record(build: Callable[[], object], records: int) -> float:
    gc.collect()
    tracemalloc.start()
    kept = build()
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del kept
    return size / records


def turns_ratio(times: dict[str, list[float]], label: str) -> float:
    return statistics.median(a / b for a, b in zip(times[label], times["json.loads"]))


def report_loads(title: str, runs: dict[str, Callable[[], object]], records: int, repeats: int) -> None:
    times = measure(runs, 1, repeats)
    print(f"\n{title}: {records:,} records")
    print(f"  {'loader':<11}{'best ms':>9}{'x floor':>9}{'bytes/record':>14}")
    for label in runs:
        ratio = "" if label == "json.loads" else f"{turns_ratio(times, label):8.2f}x"
        memory = retained_per_record(runs[label], records)
        print(f"  {label:<11}{min(times[label]) * 1e3:9.1f}{ratio:>9}{memory:14.0f}")


def report_validation(folder: Path, repeats: int) -> None:
    kind = LARGEST[0]
    ids = list(range(1000, 1000 + FIELDS * 50, 50))
    data = {f"f{i}": record_id for i, record_id in enumerate(ids)}
    reference = create_model("Refs", **{name: (catalog_types.PydanticMusic, ...) for name in data})  # type: ignore[call-overload]
    plain = create_model("Ints", **{name: (int, ...) for name in data})  # type: ignore[call-overload]
    saved = catalog_types.other_db
    runs: dict[str, Callable[[], object]] = {"int": lambda: plain.model_validate(data)}
    try:
        for label, source in (("before", RowsSource(db.Catalog(folder))), ("after", db.Catalog(folder))):
            manager = manager_over(source)
            manager.get_dict(f"{kind}_dict")
            catalog_types.other_db = manager
            assert reference.model_validate(data).f0.name.ID == ids[0]  # type: ignore[attr-defined]
            # Each run validates against its own loader's dictionary.
            runs[label] = lambda manager=manager: swap_and_validate(manager, reference, data)
        times = measure(runs, 20, repeats)
    finally:
        catalog_types.other_db = saved
    print(f"\nvalidation of {FIELDS:,} {kind} fields from known IDs (per field, best of {repeats} turns)")
    for label, samples in times.items():
        extra = "" if label == "int" else f"   {statistics.median(a / b for a, b in zip(samples, times['int'])):.2f}x int"
        print(f"  {label:<8}{min(samples) / FIELDS * 1e9:8.1f} ns{extra}")


def swap_and_validate(manager: dmr.DBManager, model: Any, data: dict[str, int]) -> object:
    catalog_types.other_db = manager
    return model.model_validate(data)


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    print(f"Python {sys.version.split()[0]}, {repeats} turns, catalog of {TOTAL:,} records in {len(dmr.KIND_FIELDS)} kinds")
    with tempfile.TemporaryDirectory() as scratch:
        folder, single = generate(Path(scratch))
        counts = sizes()
        for kind in (LARGEST[0], COMMON):
            report_loads(f"folder catalog, kind {kind}", load_runs(folder, [kind]), counts[kind], repeats)
        report_loads("one-file catalog, every kind", load_runs(single, list(dmr.KIND_FIELDS)), TOTAL, max(3, repeats // 3))
        report_validation(folder, repeats)


if __name__ == "__main__":
    main()
