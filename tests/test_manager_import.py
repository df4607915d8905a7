"""Import-time behaviour of the manager module, each case in a fresh interpreter.

`manager_child.install()` serves recording fakes of the companion modules; `manager_child.load(kind)`
imports the native module or executes the plain-Python reference.
"""

import pytest
from manager_support import run_child

NAMESPACE = [
    "timedelta",
    "datetime",
    "stdout",
    "time",
    "Callable",
    "Dict",
    "logger",
    "Logger",
    "ZorvAES",
    "ZorvQrCodeError",
    "ZorvQrCodeTimeoutError",
    "Zorv2",
    "ZorvNet",
    "BaseZorvNet",
    "NET_LOG",
    "ZorvConfig",
    "UserId",
    "KelvoNet",
    "zorvia_logger",
    "setup_logger",
    "zorv_net_generator",
    "ZorvManager",
    "__all__",
]


def imported_and_read(module: str, *names: str) -> list[list[str]]:
    return [["import", module], *(["read", module, name] for name in names)]


COMPANION_LOG = [
    *imported_and_read("zorvia.aes", "ZorvAES"),
    *imported_and_read("zorvia.errors", "ZorvQrCodeError", "ZorvQrCodeTimeoutError"),
    *imported_and_read("zorvia.zorv2", "Zorv2", "ZorvNet", "BaseZorvNet", "NET_LOG"),
    *imported_and_read("zorvia.zorvtypes", "ZorvConfig", "UserId"),
    *imported_and_read("zorvia.userid", "KelvoNet"),
]


def test_namespace_in_order_with_the_real_companions() -> None:
    result = run_child(
        """
        import datetime, io, time, typing
        import loguru, loguru._logger
        from manager_child import report

        real_stdout, sys.stdout = sys.stdout, io.StringIO()
        captured = sys.stdout
        import zorvia.zorvmanager as zm
        sys.stdout = io.StringIO()
        kept = zm.stdout is captured
        sys.stdout = real_stdout

        from zorvia import aes, errors, userid, zorv2, zorvtypes
        sources = {
            "timedelta": datetime.timedelta, "datetime": datetime.datetime, "stdout": captured,
            "time": time.time, "Callable": typing.Callable, "Dict": typing.Dict,
            "logger": loguru.logger, "Logger": loguru._logger.Logger, "ZorvAES": aes.ZorvAES,
            "ZorvQrCodeError": errors.ZorvQrCodeError, "ZorvQrCodeTimeoutError": errors.ZorvQrCodeTimeoutError,
            "Zorv2": zorv2.Zorv2, "ZorvNet": zorv2.ZorvNet, "BaseZorvNet": zorv2.BaseZorvNet,
            "NET_LOG": zorv2.NET_LOG, "ZorvConfig": zorvtypes.ZorvConfig, "UserId": zorvtypes.UserId,
            "KelvoNet": userid.KelvoNet, "zorvia_logger": loguru.logger,
        }
        report({
            "names": [name for name in vars(zm) if not name.startswith("__") or name == "__all__"],
            "different": [name for name, value in sources.items() if getattr(zm, name) is not value],
            "stdout_kept": kept,
            "all": zm.__all__,
            "doc": zm.__doc__,
        })
        """
    )
    assert result == {
        "names": NAMESPACE,
        "different": [],
        "stdout_kept": True,
        "all": ["setup_logger", "ZorvManager", "zorvia_logger"],
        "doc": None,
    }


@pytest.mark.parametrize("kind", ["native", "reference"])
def test_companions_are_imported_and_read_in_order(kind: str) -> None:
    result = run_child(
        f"""
        from manager_child import COMPANION_NAMES, install, load, report
        finder = install()
        zm = load({kind!r})
        report({{
            "log": list(finder.log),
            "different": [
                name for module, names in COMPANION_NAMES.items() for name in names
                if getattr(zm, name) is not getattr(sys.modules[module], name)
            ],
        }})
        """
    )
    assert result == {"log": COMPANION_LOG, "different": []}


def test_a_missing_name_stops_the_import_before_the_later_companions() -> None:
    result = run_child(
        """
        from manager_child import install, report
        finder = install(leave_out=["zorvia.zorv2.NET_LOG"])
        try:
            import zorvia.zorvmanager
        except ImportError as error:
            failure = [type(error).__name__, str(error)]
        first = {
            "failure": failure,
            "imports": finder.imports(),
            "loaded": sorted(name for name in sys.modules if name.startswith("zorvia.")),
        }
        sys.modules["zorvia.zorv2"].NET_LOG = "arrived late"
        import zorvia.zorvmanager as zm
        report({"first": first, "net_log": zm.NET_LOG, "imports": finder.imports()})
        """
    )
    assert result == {
        "first": {
            "failure": ["ImportError", "cannot import name NET_LOG"],
            "imports": ["zorvia.aes", "zorvia.errors", "zorvia.zorv2"],
            "loaded": ["zorvia.aes", "zorvia.errors", "zorvia.zorv2"],
        },
        "net_log": "arrived late",
        "imports": ["zorvia.aes", "zorvia.errors", "zorvia.zorv2", "zorvia.zorvtypes", "zorvia.userid"],
    }


@pytest.mark.parametrize("kind", ["native", "reference"])
def test_a_missing_name_falls_back_to_a_loaded_submodule(kind: str) -> None:
    result = run_child(
        f"""
        import types
        from manager_child import install, load, report
        install(leave_out=["zorvia.zorv2.NET_LOG"])
        submodule = types.ModuleType("zorvia.zorv2.NET_LOG")
        sys.modules[submodule.__name__] = submodule
        report(load({kind!r}).NET_LOG is submodule)
        """
    )
    assert result is True


@pytest.mark.parametrize("kind", ["native", "reference"])
def test_a_failed_import_can_be_retried(kind: str) -> None:
    result = run_child(
        f"""
        from manager_child import install, load, report
        error = LookupError("userid is broken")
        finder = install(fail={{"zorvia.userid": error}})
        try:
            load({kind!r})
        except LookupError as caught:
            failure = [caught is error, str(caught)]
        registered = "zorvia.zorvmanager" in sys.modules
        zm = load({kind!r})
        report({{
            "failure": failure,
            "registered_after_failure": registered,
            "all": zm.__all__,
            "kelvo_net": zm.KelvoNet is sys.modules["zorvia.userid"].KelvoNet,
            "imports": finder.imports(),
        }})
        """
    )
    assert result == {
        "failure": [True, "userid is broken"],
        "registered_after_failure": False,
        "all": ["setup_logger", "ZorvManager", "zorvia_logger"],
        "kelvo_net": True,
        "imports": [
            "zorvia.aes",
            "zorvia.errors",
            "zorvia.zorv2",
            "zorvia.zorvtypes",
            "zorvia.userid",
            "zorvia.userid",
        ],
    }


@pytest.mark.parametrize("kind", ["native", "reference"])
def test_an_unavailable_loguru_stops_the_import_before_any_companion(kind: str) -> None:
    result = run_child(
        f"""
        from manager_child import install, load, report
        finder = install()
        sys.modules["loguru"] = None
        try:
            load({kind!r})
        except ImportError as error:
            failure = type(error).__name__
        report({{"failure": failure, "imports": finder.imports()}})
        """
    )
    assert result == {"failure": "ModuleNotFoundError", "imports": []}


def test_reload_and_reimport_return_the_same_module_without_running_the_body() -> None:
    result = run_child(
        """
        import importlib
        from manager_child import install, report
        finder = install()
        import zorvia.zorvmanager as zm
        seen = len(finder.log)
        zm.zorvia_logger = "set after the import"
        reloaded = importlib.reload(zm)
        del sys.modules["zorvia.zorvmanager"]
        fresh = importlib.import_module("zorvia.zorvmanager")
        report({
            "reload_same": reloaded is zm,
            "reimport_same": fresh is zm,
            "registered": sys.modules["zorvia.zorvmanager"] is zm,
            "zorvia_logger": fresh.zorvia_logger,
            "new_log": finder.log[seen:],
        })
        """
    )
    assert result == {
        "reload_same": True,
        "reimport_same": True,
        "registered": True,
        "zorvia_logger": "set after the import",
        "new_log": [],
    }


def test_the_body_runs_on_one_module_object_only() -> None:
    result = run_child(
        """
        import importlib.util
        from manager_child import install, report
        finder = install()
        spec = importlib.util.find_spec("zorvia.zorvmanager")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        seen = len(finder.log)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            failure = str(error)
        import zorvia.zorvmanager as imported
        report({
            "distinct": first is not second,
            "failure": failure,
            "registered": sys.modules["zorvia.zorvmanager"] is first,
            "imported": imported is first,
            "first_all": first.__all__,
            "second_names": [name for name in vars(second) if not name.startswith("__")],
            "new_log": finder.log[seen:],
        })
        """
    )
    assert result == {
        "distinct": True,
        "failure": "Module 'zorvmanager' has already been imported. Re-initialisation is not supported.",
        "registered": True,
        "imported": True,
        "first_all": ["setup_logger", "ZorvManager", "zorvia_logger"],
        "second_names": [],
        "new_log": [],
    }


def test_a_second_interpreter_is_refused() -> None:
    result = run_child(
        """
        import os
        import _xxsubinterpreters as interpreters
        from manager_child import install, report
        install()
        import zorvia.zorvmanager
        read_end, write_end = os.pipe()
        interpreter = interpreters.create()
        interpreters.run_string(interpreter, f'''
        import os
        try:
            import zorvia.zorvmanager
            outcome = "imported"
        except ImportError as error:
            outcome = type(error).__name__ + ": " + str(error)
        os.write({write_end}, outcome.encode())
        ''')
        interpreters.destroy(interpreter)
        os.close(write_end)
        report(os.read(read_end, 4096).decode())
        """
    )
    assert result == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
