"""Importing `zorvia.catalog_types`, each case in a fresh interpreter.

Fake `zorvia.dmr` modules are entered in `sys.modules` before the import; the module body then
star-imports them in place of the real one.
"""

import json
import textwrap
from pathlib import Path
from typing import Any

import pytest
from catalog_support import ALIASES, KINDS, run_python

PRELUDE = f"""
import json, sys, types

KINDS = {list(KINDS)!r}


class FakeDBManager:
    created = []

    def __init__(self, *args, **kwargs):
        FakeDBManager.created.append([list(args), kwargs])
        object.__setattr__(self, "assigned", [])

    def __setattr__(self, name, value):
        self.assigned.append((name, value))


def install_dmr(kinds=KINDS, with_all=True, **extra):
    dmr = types.ModuleType("zorvia.dmr", "fake record module")
    names = {{"DBManager": FakeDBManager, **{{kind: type(kind, (), {{}}) for kind in kinds}}, **extra}}
    vars(dmr).update(names)
    if with_all:
        dmr.__all__ = list(names)
    sys.modules["zorvia.dmr"] = dmr
    return dmr


def import_catalog():
    try:
        import zorvia.catalog_types
    except Exception as error:
        return [type(error).__name__, str(error)]
    return None


def body_names(module):
    return [name for name in vars(module) if name == "__all__" or not name.startswith("__")]


def report(**values):
    print(json.dumps(values))
"""

# Run in a second interpreter: the refusal must come before the body imports anything.
SUBINTERPRETER_IMPORT = """
import sys

requested = []


class Spy:
    @staticmethod
    def find_spec(name, path=None, target=None):
        requested.append(name)


sys.meta_path.insert(0, Spy)
try:
    import zorvia.catalog_types
finally:
    assert not {"pydantic", "pydantic_core", "zorvia.db", "zorvia.dmr"} & set(requested), requested
"""

BODY_NAMES = [
    "Any",
    "Annotated",
    "GetCoreSchemaHandler",
    "GetJsonSchemaHandler",
    "JsonSchemaValue",
    "core_schema",
    "db",
    "DBManager",
    *KINDS,
    "other_db",
    *[name for kind in KINDS for name in (f"_{kind}PydanticAnnotation", f"Pydantic{kind}")],
    "__all__",
]


def run_case(code: str, tmp_path: Path) -> dict[str, Any]:
    """Run the prelude and `code` in a fresh interpreter; `code` ends with one `report(...)`."""
    output: dict[str, Any] = json.loads(run_python(PRELUDE + textwrap.dedent(code), tmp_path).splitlines()[-1])
    return output


class TestSuccessfulImport:
    def test_body_binds_its_names_in_order(self, tmp_path: Path) -> None:
        result = run_case(
            """
            import zorvia.catalog_types as catalog_types
            from zorvia import db
            report(
                names=body_names(catalog_types),
                registered=sys.modules["zorvia.catalog_types"] is catalog_types,
                catalog_read=db.default_catalog.cache_info().currsize,
                all=catalog_types.__all__,
            )
            """,
            tmp_path,
        )
        assert result == {"names": BODY_NAMES, "registered": True, "catalog_read": 0, "all": ALIASES}

    def test_database_object_created_once_and_given_db(self, tmp_path: Path) -> None:
        result = run_case(
            """
            install_dmr()
            import zorvia.catalog_types as catalog_types
            from zorvia import db
            other_db = catalog_types.other_db
            report(
                created=FakeDBManager.created,
                assigned=[[name, value is db] for name, value in other_db.assigned],
                is_instance=type(other_db) is FakeDBManager,
            )
            """,
            tmp_path,
        )
        assert result == {"created": [[[], {}]], "assigned": [["db_module", True]], "is_instance": True}

    def test_second_import_and_reload_reuse_the_module(self, tmp_path: Path) -> None:
        result = run_case(
            """
            import importlib, importlib.util
            from zorvia import dmr

            created = []

            class CountingDBManager(dmr.DBManager):
                def __init__(self):
                    created.append(self)
                    super().__init__()

            dmr.DBManager = CountingDBManager
            import zorvia.catalog_types as first
            other_db, icon_class = first.other_db, first._IconPydanticAnnotation
            import zorvia.catalog_types as second
            third = importlib.reload(first)
            fourth = importlib.import_module("zorvia.catalog_types")
            spec = importlib.util.find_spec("zorvia.catalog_types")
            fifth = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(fifth)
            report(
                same=[module is first for module in (second, third, fourth, fifth)],
                created=len(created),
                kept=[first.other_db is other_db is created[0], first._IconPydanticAnnotation is icon_class],
                names=body_names(first),
            )
            """,
            tmp_path,
        )
        assert result == {"same": [True] * 4, "created": 1, "kept": [True, True], "names": BODY_NAMES}

    def test_dmr_all_decides_names_and_order(self, tmp_path: Path) -> None:
        result = run_case(
            """
            dmr = install_dmr(Extra=1)
            dmr.__all__.reverse()
            dmr.Unlisted = 2
            import zorvia.catalog_types as catalog_types
            report(names=body_names(catalog_types))
            """,
            tmp_path,
        )
        taken_over = list(reversed(["DBManager", *KINDS, "Extra"]))
        assert result["names"] == [*BODY_NAMES[:7], *taken_over, *BODY_NAMES[7 + 1 + len(KINDS) :]]

    def test_dmr_without_all_gives_its_public_names(self, tmp_path: Path) -> None:
        result = run_case(
            """
            install_dmr(with_all=False, Extra=1, _private=2)
            import zorvia.catalog_types as catalog_types
            report(
                extra="Extra" in vars(catalog_types),
                private="_private" in vars(catalog_types),
                doc=catalog_types.__doc__,
                names=body_names(catalog_types),
            )
            """,
            tmp_path,
        )
        assert result["extra"] and not result["private"]
        assert result["doc"] != "fake record module"
        assert result["names"][7 : 7 + 2 + len(KINDS)] == ["DBManager", *KINDS, "Extra"]

    def test_module_imported_during_the_body_sees_the_partial_module(self, tmp_path: Path) -> None:
        result = run_case(
            """
            import importlib, importlib.abc, importlib.util

            seen = {}

            class DbFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
                def find_spec(self, name, path, target=None):
                    return importlib.util.spec_from_loader(name, self) if name == "zorvia.db" else None

                def create_module(self, spec):
                    return None

                def exec_module(self, module):
                    seen["partial"] = importlib.import_module("zorvia.catalog_types")
                    seen["names"] = body_names(seen["partial"])

            sys.meta_path.insert(0, DbFinder())
            install_dmr()
            import zorvia.catalog_types as catalog_types
            report(
                same=seen["partial"] is catalog_types,
                names=seen["names"],
                db=catalog_types.db is sys.modules["zorvia.db"] is catalog_types.other_db.assigned[0][1],
            )
            """,
            tmp_path,
        )
        assert result == {"same": True, "names": BODY_NAMES[:6], "db": True}

    def test_second_interpreter_is_refused(self, tmp_path: Path) -> None:
        result = run_case(
            f"""
            import _xxsubinterpreters as interpreters
            import zorvia.catalog_types
            interpreter = interpreters.create()
            try:
                interpreters.run_string(interpreter, {SUBINTERPRETER_IMPORT!r})
                error = None
            except interpreters.RunFailedError as failure:
                error = str(failure)
            interpreters.destroy(interpreter)
            report(error=error, still_usable=zorvia.catalog_types.__all__[0])
            """,
            tmp_path,
        )
        assert result["error"] == (
            "<class 'ImportError'>: Interpreter change detected - "
            "this module can only be loaded into one interpreter per process."
        )
        assert result["still_usable"] == "PydanticChallenge"


FAILURES = [
    pytest.param(
        "install_dmr(kinds=[kind for kind in KINDS if kind != 'Challenge'])",
        ["NameError", "name 'Challenge' is not defined"],
        id="missing-first-record-class",
    ),
    pytest.param(
        "install_dmr(kinds=[kind for kind in KINDS if kind != 'Icon'])",
        ["NameError", "name 'Icon' is not defined"],
        id="missing-record-class",
    ),
    pytest.param(
        "dmr = install_dmr(); del dmr.DBManager; dmr.__all__.remove('DBManager')",
        ["NameError", "name 'DBManager' is not defined"],
        id="missing-db-manager",
    ),
    pytest.param(
        "install_dmr(Icon=5)",
        ["TypeError", "unsupported operand type(s) for |: 'type' and 'int'"],
        id="record-not-a-class",
    ),
    pytest.param(
        "sys.modules['zorvia.dmr'] = 5",
        ["ImportError", "from-import-* object has no __dict__ and no __all__"],
        id="no-dict-no-all",
    ),
    pytest.param(
        """
class Broken(Exception):
    pass

def refuse(*args):
    raise Broken("no database")

install_dmr(DBManager=refuse)
""",
        ["Broken", "no database"],
        id="db-manager-raises",
    ),
    pytest.param(
        """
class ReadOnly:
    def __setattr__(self, name, value):
        raise AttributeError(f"cannot set {name}")

install_dmr(DBManager=ReadOnly)
""",
        ["AttributeError", "cannot set db_module"],
        id="db-module-refused",
    ),
]


class TestFailedImport:
    @pytest.mark.parametrize(("setup", "error"), FAILURES)
    def test_failure_propagates_and_a_retry_starts_afresh(self, tmp_path: Path, setup: str, error: list[str]) -> None:
        result = run_case(
            setup
            + """
error = import_catalog()
registered = "zorvia.catalog_types" in sys.modules
install_dmr()
import zorvia.catalog_types as catalog_types
report(error=error, registered=registered, retry=body_names(catalog_types)[-1])
""",
            tmp_path,
        )
        assert result == {"error": error, "registered": False, "retry": "__all__"}

    def test_missing_all_entry_binds_no_dmr_name(self, tmp_path: Path) -> None:
        result = run_case(
            """
            dmr = install_dmr()
            dmr.__all__.insert(2, "Missing")
            captured = []

            def __getattr__(name):
                captured.append(sys.modules["zorvia.catalog_types"])
                raise AttributeError(f"module 'zorvia.dmr' has no attribute {name!r}")

            dmr.__getattr__ = __getattr__
            error = import_catalog()
            partial_names = body_names(captured[0])
            del dmr.__getattr__
            plain_error = import_catalog()
            report(error=error, plain_error=plain_error, names=partial_names, created=len(FakeDBManager.created))
            """,
            tmp_path,
        )
        message = ["AttributeError", "module 'zorvia.dmr' has no attribute 'Missing'"]
        assert result == {"error": message, "plain_error": message, "names": BODY_NAMES[:7], "created": 0}
