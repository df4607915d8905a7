"""The native functions and the class look like ordinary Python ones from the outside."""

import gc
import inspect
import pickle
import pydoc
import re
import types
import weakref
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from loguru import logger as loguru_logger
from manager_support import functions, load_native, load_reference

pytest_plugins = ["manager_fixtures"]

LOGGER = repr(loguru_logger)
METHOD_NAMES = ["__init__", "generate_user_id", "check_db_alive", "ping", "client_test", "generate_zorv2"]


# key: (__name__, __qualname__, __defaults__, __annotations__ items in order, parameters, signature)
EXPECTED: dict[str, tuple[str, str, tuple | None, list[tuple[str, str]], tuple[str, ...], str]] = {
    "setup_logger": ("setup_logger", "setup_logger", None, [], (), "()"),
    "zorv_net_generator": (
        "zorv_net_generator",
        "zorv_net_generator",
        (None, loguru_logger, "", False, 3),
        [("salt", "str"), ("aes", "ZorvAES"), ("logger", "Logger"), ("return", "Callable[[int, int], ZorvNet]")],
        ("salt", "aes", "logger", "proxy", "verify", "retry"),
        f"(salt: 'str', aes: 'ZorvAES' = None, logger: 'Logger' = {LOGGER}, proxy='', verify=False, retry=3)"
        " -> 'Callable[[int, int], ZorvNet]'",
    ),
    "insider": (
        "insider",
        "zorv_net_generator.<locals>.insider",
        None,
        [("userId", "int"), ("ping", "int"), ("return", "ZorvNet")],
        ("userId", "ping"),
        "(userId: 'int', ping: 'int') -> 'ZorvNet'",
    ),
    "__init__": (
        "__init__",
        "ZorvManager.__init__",
        (loguru_logger,),
        [("config", "ZorvConfig"), ("logger", "Logger")],
        ("self", "config", "logger"),
        f"(self, config: 'ZorvConfig', logger: 'Logger' = {LOGGER})",
    ),
    "generate_user_id": (
        "generate_user_id",
        "ZorvManager.generate_user_id",
        (None, None),
        [("qrcode", "str"), ("userId", "int"), ("return", "UserId | None")],
        ("self", "qrcode", "userId"),
        "(self, qrcode: 'str' = None, userId: 'int' = None) -> 'UserId | None'",
    ),
    "check_db_alive": (
        "check_db_alive",
        "ZorvManager.check_db_alive",
        None,
        [("return", "bool")],
        ("self",),
        "(self) -> 'bool'",
    ),
    "ping": ("ping", "ZorvManager.ping", None, [("return", "int")], ("self",), "(self) -> 'int'"),
    "client_test": (
        "client_test",
        "ZorvManager.client_test",
        None,
        [("return", "Dict")],
        ("self",),
        "(self) -> 'Dict'",
    ),
    "generate_zorv2": (
        "generate_zorv2",
        "ZorvManager.generate_zorv2",
        None,
        [("I_userId", "UserId"), ("return", "Zorv2")],
        ("self", "I_userId"),
        "(self, I_userId: 'UserId') -> 'Zorv2'",
    ),
    "filter": ("<lambda>", "setup_logger.<locals>.<lambda>", None, [], ("record",), "(record)"),
}


@pytest.fixture(params=list(EXPECTED))
def named(request: pytest.FixtureRequest, native: ModuleType) -> tuple[str, Callable[..., Any]]:
    return request.param, functions(native)[request.param]


class TestFunctionAttributes:
    def test_names_defaults_and_annotations(self, named: tuple[str, Callable[..., Any]]) -> None:
        key, function = named
        name, qualname, defaults, annotations, _, _ = EXPECTED[key]
        assert function.__name__ == name
        assert function.__qualname__ == qualname
        assert function.__module__ == "zorvia.zorvmanager"
        assert function.__doc__ is None
        assert function.__kwdefaults__ is None
        assert function.__defaults__ == defaults
        if defaults is not None:
            assert all(got is want for got, want in zip(function.__defaults__, defaults, strict=True))
        assert type(function.__annotations__) is dict
        assert list(function.__annotations__.items()) == annotations

    def test_globals_are_the_module_dict(self, named: tuple[str, Callable[..., Any]], native: ModuleType) -> None:
        assert named[1].__globals__ is vars(native)

    def test_code_object_describes_the_parameters(self, named: tuple[str, Callable[..., Any]]) -> None:
        key, function = named
        name, qualname, _, _, parameters, _ = EXPECTED[key]
        code = function.__code__
        assert type(code) is types.CodeType
        assert code.co_name == name
        assert code.co_qualname == qualname
        assert code.co_argcount == len(parameters)
        assert code.co_varnames[: code.co_argcount] == parameters
        assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
        assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
        assert isinstance(code.co_filename, str) and code.co_filename

    def test_signature_and_help_show_the_true_parameters(self, named: tuple[str, Callable[..., Any]]) -> None:
        key, function = named
        expected = EXPECTED[key][5]
        assert str(inspect.signature(function)) == expected

    def test_signature_and_help_match_the_reference(self, named: tuple[str, Callable[..., Any]]) -> None:
        key, function = named
        reference = functions(load_reference())[key]
        assert str(inspect.signature(function)) == str(inspect.signature(reference))
        help_text, reference_help = (pydoc.plain(pydoc.render_doc(f)).splitlines()[2] for f in (function, reference))
        assert help_text == reference_help

    def test_repr_is_a_functions_repr(self, named: tuple[str, Callable[..., Any]]) -> None:
        key, function = named
        qualname = re.escape(EXPECTED[key][1])
        assert re.fullmatch(rf"<function {qualname} at 0x[0-9a-f]+>", repr(function))

    def test_weak_references_and_gc_tracking(self, named: tuple[str, Callable[..., Any]]) -> None:
        function = named[1]
        assert gc.is_tracked(function)
        ref = weakref.ref(function)
        assert ref() is function

    def test_instance_dict_takes_attributes(self, native: ModuleType) -> None:
        insider = native.zorv_net_generator("salt")
        insider.tag = "mine"
        assert insider.__dict__ == {"tag": "mine"}
        assert native.zorv_net_generator("salt").__dict__ == {}

    def test_a_dropped_factory_dies(self, native: ModuleType) -> None:
        marker = type("Marker", (), {})()
        insider = native.zorv_net_generator("salt", marker)
        refs = weakref.ref(insider), weakref.ref(marker)
        del insider, marker
        gc.collect()
        assert [ref() for ref in refs] == [None, None]

    def test_the_type_cannot_be_instantiated_from_python(self, named: tuple[str, Callable[..., Any]]) -> None:
        with pytest.raises(TypeError):
            type(named[1])()

    def test_the_type_binds_as_a_method_descriptor(self, native: ModuleType) -> None:
        method_descriptor = 1 << 17
        assert type(native.setup_logger).__flags__ & method_descriptor


class TestPickle:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("key", ["setup_logger", "zorv_net_generator", *METHOD_NAMES[:3], *METHOD_NAMES[4:]])
    def test_module_functions_and_methods_pickle_by_reference(
        self, native: ModuleType, key: str, protocol: int
    ) -> None:
        function = functions(native)[key]
        assert pickle.loads(pickle.dumps(function, protocol)) is function

    def test_a_local_function_does_not_pickle(self, native: ModuleType) -> None:
        with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
            pickle.dumps(native.zorv_net_generator("salt"))


class TestClass:
    def test_class_statement(self, native: ModuleType) -> None:
        cls = native.ZorvManager
        assert cls.__name__ == cls.__qualname__ == "ZorvManager"
        assert cls.__module__ == "zorvia.zorvmanager"
        assert cls.__doc__ is None
        assert cls.__bases__ == (object,) and type(cls) is type
        assert not hasattr(cls, "__slots__")

    def test_namespace_holds_the_members_in_order(self, native: ModuleType) -> None:
        names = list(vars(native.ZorvManager))
        assert names == ["__module__", *METHOD_NAMES, "__dict__", "__weakref__", "__doc__"]
        assert names == list(vars(load_reference().ZorvManager))

    def test_methods_bind_to_instances(self, native: ModuleType) -> None:
        cls = native.ZorvManager
        instance = cls.__new__(cls)
        for name in ("__init__", "generate_user_id", "check_db_alive", "client_test", "generate_zorv2"):
            function = cls.__dict__[name]
            assert getattr(cls, name) is function
            bound = getattr(instance, name)
            assert type(bound) is types.MethodType
            assert bound.__func__ is function and bound.__self__ is instance

    def test_ping_is_a_read_only_property(self, native: ModuleType) -> None:
        ping = native.ZorvManager.__dict__["ping"]
        assert type(ping) is property
        assert ping.fset is None and ping.fdel is None
        assert ping.__doc__ is None
        assert native.ZorvManager.ping is ping

    def test_instances_have_a_plain_dict(self, native: ModuleType) -> None:
        instance = native.ZorvManager.__new__(native.ZorvManager)
        instance.anything = 1
        assert vars(instance) == {"anything": 1}


class TestModule:
    def test_exports(self, native: ModuleType) -> None:
        assert native.__all__ == ["setup_logger", "ZorvManager", "zorvia_logger"]
        assert type(native.__all__) is list
        assert native.zorvia_logger is native.logger is loguru_logger
        assert native.__doc__ is None

    def test_star_import_binds_exactly_the_exports(self) -> None:
        namespace: dict[str, Any] = {}
        exec("from zorvia.zorvmanager import *", namespace)
        del namespace["__builtins__"]
        assert namespace == {name: getattr(load_native(), name) for name in load_native().__all__}
