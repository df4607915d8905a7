"""The parts of the typing stubs that follow from `zorvia.dmr.KIND_FIELDS`.

The record classes are made at run time from the kind table, so the stub lines for them (in
`dmr.pyi` the record classes, in `catalog_types.pyi` the aliases and annotation classes) are
written from the same table, below a marker line; the rest of each stub is written by hand.
`test_stubs.py` checks the installed stubs against the table. After a change to the table,
rewrite the stubs from the checkout with `python tests/stub_sources.py`.
"""

from pathlib import Path

from zorvia.dmr import KIND_FIELDS

MARKER = "# Below: written by tests/stub_sources.py from zorvia.dmr.KIND_FIELDS (edit the table, then run it).\n"


def _listing(names: list[str]) -> str:
    return "__all__ = [\n" + "".join(f'    "{name}",\n' for name in names) + "]\n"


def _slots(fields: dict[str, type]) -> str:
    names = ", ".join(f'"{field}"' for field in fields)
    return f"({names},)" if len(fields) == 1 else f"({names})"


def dmr_section() -> str:
    records = "".join(
        f"\n@dataclass(frozen=True)\nclass {kind}(Record):\n    __slots__ = {_slots(fields)}\n"
        + "".join(f"    {field}: {tp.__name__}\n" for field, tp in fields.items())
        for kind, fields in KIND_FIELDS.items()
    )
    return f"{records}\n{_listing(['DBManager', *KIND_FIELDS])}"


def catalog_types_section() -> str:
    imports = "".join(f"from zorvia.dmr import {kind} as {kind}\n" for kind in KIND_FIELDS)
    kinds = "".join(
        f"\nclass _{kind}PydanticAnnotation(_ReferenceAnnotation): ...\n\n"
        f"Pydantic{kind}: TypeAlias = Annotated[int | {kind}, _{kind}PydanticAnnotation]\n"
        f'"""A field holding a `{kind}` record of the catalog, or the integer ID the catalog lacks."""\n'
        for kind in KIND_FIELDS
    )
    return f"{imports}\n{_listing([f'Pydantic{kind}' for kind in KIND_FIELDS])}{kinds}"


SECTIONS = {"dmr.pyi": dmr_section, "catalog_types.pyi": catalog_types_section}


def written_section(stub_text: str) -> str:
    """What follows the marker line in a stub's text."""
    return stub_text.partition(MARKER)[2]


if __name__ == "__main__":
    package = Path(__file__).resolve().parents[1] / "src" / "zorvia"
    for file_name, section in SECTIONS.items():
        path = package / file_name
        head = path.read_text(encoding="utf-8").partition(MARKER)[0]
        path.write_text(head + MARKER + section(), encoding="utf-8")
        print(f"wrote {path}")
