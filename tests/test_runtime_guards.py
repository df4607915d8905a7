"""Remembered lookups of the native runtime against plain Python while what they depend on changes.

The native modules remember module globals, slot offsets, instance-dict values and small-dict
lookups between calls. Every test here changes what such a fact depends on, between calls and
during a lookup (a dict key whose `__eq__` is user code), and expects what the plain-Python
reference gives. A read that could crash runs in a child interpreter.
"""

from __future__ import annotations

import builtins
import gc
import json
import re
import sys
import threading
import weakref
from collections.abc import Callable
from datetime import datetime
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from catalog_support import build_schema, load_reference, run_python, serializer_of, validator_of
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from manager_support import TESTS_DIR, load_native
from manager_support import load_reference as load_manager_reference

import zorvia.catalog_types as catalog_types

CATALOGS = {"native": catalog_types, "reference": load_reference()}
MANAGERS = {"native": load_native(), "reference": load_manager_reference()}
WORLDS = ("native", "reference")

# Repeatable and quick: a fixed sequence of examples, a few steps each.
MACHINE_SETTINGS = settings(
    derandomize=True,
    max_examples=300,
    stateful_step_count=20,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
)


def outcome(function: Callable[..., Any], *args: Any) -> tuple[str, str]:
    try:
        return "ok", repr(function(*args))
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error).__name__, str(error)


# ---------------------------------------------------------------------------------------
# Slots read only for instances of the slot's class


# The serializer reads `.ID` of an object whose class got the `ID` slot of another class, where
# Python raises the descriptor's TypeError. Twice in each module, so that the second read is the
# remembered one; in a child, in case it crashes.
MEMBER_OF_ANOTHER_CLASS = """
import json
import zorvia.catalog_types as native
from catalog_support import build_schema, load_reference, serializer_of
class Owner:
    __slots__ = ("pad", "ID")
class Stranger(float):
    ID = Owner.__dict__["ID"]
class Holder:
    name = Stranger(99.5)
def outcome(module):
    try:
        return ["ok", repr(serializer_of(build_schema(module, "Music"))(Holder()))]
    except Exception as error:
        return [type(error).__name__, str(error)]
reference = load_reference()
print(json.dumps([[outcome(native), outcome(native)], [outcome(reference), outcome(reference)]]))
"""


def test_member_descriptor_of_another_class() -> None:
    native, plain = json.loads(run_python(MEMBER_OF_ANOTHER_CLASS, TESTS_DIR).splitlines()[-1])
    assert native == plain


# ---------------------------------------------------------------------------------------
# First calls: nothing is made on first use that could run Python or let the GIL go

# The first calls of a fresh interpreter with the collector running at every allocation: a gc callback
# calls into the module during the first call (re-entry), and, with a second thread, lets the GIL go
# while that thread makes its own first call. Python gives both calls' results; nothing may abort or hang.
FIRST_CALLS = """
import gc, json, sys, threading, time
import zorvia.zorvmanager as native
from manager_child import load_reference

class Service:
    def check_alive(self):
        return "alive"

class Holder:
    def __init__(self):
        self.kelvo_net = Service()

def first_calls(module, threaded):
    holders = [Holder() for _ in range(3)]
    results = []
    armed = [True]
    handed_over = threading.Event()
    entered = threading.Event()

    def second_thread():
        handed_over.wait()
        entered.set()
        results.append(["thread", module.ZorvManager.check_db_alive(holders[2])])

    def in_collection(phase, info):
        if armed[0]:
            armed[0] = False
            if threaded:
                handed_over.set()
                entered.wait()
                time.sleep(0.1)  # the GIL goes to the second thread
            else:
                results.append(["callback", module.ZorvManager.check_db_alive(holders[1])])

    thread = threading.Thread(target=second_thread)
    if threaded:
        thread.start()
    gc.callbacks.append(in_collection)
    gc.set_threshold(1)
    try:
        results.append(["first", module.ZorvManager.check_db_alive(holders[0])])
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(in_collection)
        handed_over.set()
    if threaded:
        thread.join()
    return sorted(results)

threaded = sys.argv[-1] == "threaded"
print(json.dumps([first_calls(native, threaded), first_calls(load_reference(), threaded)]))
"""


@pytest.mark.parametrize("threaded", [False, True], ids=["re-entered from a finalizer", "a second thread meanwhile"])
def test_first_calls_during_a_collection(threaded: bool) -> None:
    code = FIRST_CALLS.replace("sys.argv[-1]", repr("threaded" if threaded else ""))
    native, plain = json.loads(run_python(code, TESTS_DIR).splitlines()[-1])
    assert native == plain


# ---------------------------------------------------------------------------------------
# The serializer's int test


class Name:
    ID = 31


class ClaimsInt:
    __class__ = property(lambda self: int)  # type: ignore[assignment]
    name = Name()


class RealInt(int):
    name = Name()


class LaterMro(type):
    """A metaclass whose classes, once their bases are set again, have an MRO of their own."""

    own = False

    def mro(cls) -> list[type]:
        return [cls, object] if LaterMro.own else type.mro(cls)


class IntByLayout(int, metaclass=LaterMro):
    """Built on int, with an MRO that leaves int out: not a subclass of int, as issubclass says."""

    name = Name()


NOT_AN_INT_BY_MRO = IntByLayout(4)
LaterMro.own = True
IntByLayout.__bases__ = (int,)  # the MRO is computed again, by the metaclass


@pytest.mark.parametrize("world", WORLDS)
@pytest.mark.parametrize(
    ("value", "expected"),
    [(ClaimsInt(), 31), (RealInt(4), 4), (True, True), (NOT_AN_INT_BY_MRO, 31)],
    ids=["claims int", "int subclass", "bool", "int left out of the MRO"],
)
def test_serializer_int_test_is_on_the_type(world: str, value: object, expected: object) -> None:
    assert serializer_of(build_schema(CATALOGS[world], "Music"))(value) == expected


# ---------------------------------------------------------------------------------------
# Lookups that run code: one scenario run on each module in turn, the outcomes compared


class Sneaky:
    """A dict key that collides with `name` and runs `action` when a lookup first compares it.

    The action runs once per world (`world()` tells which one is running): a key that kept changing
    the dict it sits in would restart that lookup for ever. Only the test's own thread counts: a key
    placed in the shared builtins is also met by lookups of the loopback service's thread.
    """

    placed: weakref.WeakValueDictionary[int, Sneaky] = weakref.WeakValueDictionary()  # by id: no hashing

    def __init__(self, name: str, action: Callable[[], None] = lambda: None, world: Callable[[], int] = lambda: 0):
        self.hash = hash(name)
        Sneaky.placed[id(self)] = self
        self.action = action
        self.world = world
        self.fired: set[int] = set()
        self.compared = 0
        self.thread = threading.get_ident()

    @classmethod
    def rearm_all(cls) -> None:
        """Lets every key act once more: called before each world's step."""
        for key in cls.placed.values():
            key.fired.clear()

    def __hash__(self) -> int:
        return self.hash

    def __eq__(self, other: object) -> bool:
        if threading.get_ident() != self.thread:
            return False
        self.compared += 1
        world = self.world()
        if world not in self.fired:
            self.fired.add(world)
            self.action()
        return False


def three_calls(call: Callable[[], Any]) -> list[tuple[str, str]]:
    return [outcome(call) for _ in range(3)]


def str_subclass_key_in_instance_dict(module: ModuleType) -> list[Any]:
    compared = []

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other: object) -> bool:
            compared.append(other)
            return str.__eq__(self, other)

    class Holder:
        pass

    holder = Holder()
    holder.__dict__[Key("get_dict")] = lambda name: {5: "found"}
    saved = module.other_db
    module.other_db = holder
    try:
        validate = validator_of(build_schema(module, "Music"))
        return [*three_calls(lambda: validate(5)), len(compared)]
    finally:
        module.other_db = saved


def test_a_str_subclass_key_in_the_instance_dict() -> None:
    assert str_subclass_key_in_instance_dict(catalog_types) == str_subclass_key_in_instance_dict(CATALOGS["reference"])


# A key with code in a module's own dict leaves that dict's keys not all `str` for good, and the
# module's names then always looked up the generic way: in a child, to leave this process's as it is.
KEY_IN_MODULE_GLOBALS = """
import json
import zorvia.zorvmanager as native
from manager_child import load_reference

class Colliding:
    compared = 0
    def __hash__(self):
        return hash("ZorvNet")
    def __eq__(self, other):
        Colliding.compared += 1
        return False

def calls(module):
    saved = vars(module).pop("ZorvNet")
    vars(module)[Colliding()] = None
    vars(module)["ZorvNet"] = lambda *args: "found"
    insider = module.zorv_net_generator("salt")
    before = Colliding.compared
    found = [insider(1, 2) for _ in range(3)]
    by_calls = Colliding.compared - before
    for _ in range(3):  # what three lookups in this very dict compare
        vars(module)["ZorvNet"]
    return [found, by_calls, Colliding.compared - before - by_calls]

print(json.dumps([calls(native), calls(load_reference())]))
"""


def test_a_key_with_code_in_the_module_globals() -> None:
    # How often a lookup compares keys depends on where they sit in that dict (a probe can pass
    # the colliding key twice), so each module's calls are held to one lookup each in its own dict.
    native, plain = json.loads(run_python(KEY_IN_MODULE_GLOBALS, TESTS_DIR).splitlines()[-1])
    assert native[0] == plain[0] == ["found"] * 3
    assert native[1] == native[2] > 0 and plain[1] == plain[2]


# ---------------------------------------------------------------------------------------
# Stateful: two worlds, one per module, changed alike step by step


class Token:
    """A value both worlds can hold: a catalog getter (`token(name)`) and a record name (`token.ID`)."""

    __slots__ = ("ID",)

    def __init__(self, label: str) -> None:
        self.ID = label

    def __call__(self, *args: Any) -> Any:
        return {5: self.ID}

    def __repr__(self) -> str:
        return f"Token({self.ID!r})"


LABELS = st.sampled_from(["a", "b", "c"])
ATTRIBUTES = st.sampled_from(["get_dict", "name"])


CLASS_VALUES = ["property", "plain", "function", "member of another class"]


def class_value(kind: str, name: str, token: Token, setter: Callable[[Any, Any], None] | None = None) -> Any:
    """What a class gains under `name`: a (data) descriptor, a plain value or a non-data one."""
    if kind == "property":
        return property(lambda self: token, setter)
    if kind == "member of another class":
        return type("Elsewhere", (), {"__slots__": (name,)}).__dict__[name]
    return {"plain": token, "function": staticmethod(token)}[kind]


class World:
    """One module's side: the object standing in for `other_db` and its class."""

    def __init__(self, module: ModuleType, slotted: bool) -> None:
        self.module = module
        namespace: dict[str, Any] = {"__slots__": ("get_dict", "name", "__dict__")} if slotted else {}
        self.cls: type = type("Holder", (), namespace)
        self.holder = self.cls()
        schema = build_schema(module, "Music")
        self.validate, self.serialize = validator_of(schema), serializer_of(schema)


class TwoWorlds(RuleBasedStateMachine):
    """A machine with one world per module (an object, or the module's index): every step is made
    in each world in turn, its keys with code rearmed, and the outcomes must agree."""

    worlds: list[Any] = list(range(len(WORLDS)))

    def entering(self, world: Any) -> None:
        Sneaky.rearm_all()

    def same(self, change: Callable[[Any], Any]) -> None:
        results = []
        for world in self.worlds:
            self.entering(world)
            results.append(outcome(change, world))
        assert results[0] == results[1]


class AttributeMachine(TwoWorlds):
    """`other_db.get_dict` and `instance.name.ID` while the holder, its dict and its class change."""

    @initialize(slotted=st.booleans())
    def start(self, slotted: bool) -> None:
        self.worlds = [World(CATALOGS[name], slotted) for name in WORLDS]
        self.saved = [world.module.other_db for world in self.worlds]
        for world in self.worlds:
            world.module.other_db = world.holder

    @rule(attribute=ATTRIBUTES, label=LABELS)
    def set_on_instance(self, attribute: str, label: str) -> None:
        self.same(lambda w: setattr(w.holder, attribute, Token(label)))

    @rule(attribute=ATTRIBUTES)
    def delete_from_instance(self, attribute: str) -> None:
        self.same(lambda w: delattr(w.holder, attribute))

    @rule(attribute=ATTRIBUTES, label=LABELS)
    def set_in_dict_in_place(self, attribute: str, label: str) -> None:
        self.same(lambda w: w.holder.__dict__.__setitem__(attribute, Token(label)))

    @rule(attribute=ATTRIBUTES, label=LABELS, keep=st.booleans())
    def swap_instance_dict(self, attribute: str, label: str, keep: bool) -> None:
        def swap(w: World) -> None:
            w.holder.__dict__ = {**(vars(w.holder) if keep else {}), attribute: Token(label)}

        self.same(swap)

    @rule(
        attribute=ATTRIBUTES,
        label=LABELS,
        kind=st.sampled_from(CLASS_VALUES),
    )
    def class_gains(self, attribute: str, label: str, kind: str) -> None:
        self.same(lambda w: setattr(w.cls, attribute, class_value(kind, attribute, Token(label))))

    @rule(attribute=ATTRIBUTES)
    def class_loses(self, attribute: str) -> None:
        self.same(lambda w: delattr(w.cls, attribute))

    @rule(
        attribute=ATTRIBUTES,
        label=LABELS,
        action=st.sampled_from(["nothing", "class property", "instance value", "delete instance value"]),
    )
    def key_with_code(self, attribute: str, label: str, action: str) -> None:
        def insert(w: World) -> None:
            dict_ = vars(w.holder)

            def act() -> None:
                if action == "class property" and attribute not in vars(w.cls):
                    token = Token(label)
                    setattr(w.cls, attribute, property(lambda self: token))
                elif action == "instance value":
                    dict_[attribute] = Token(label)
                elif action == "delete instance value":
                    dict_.pop(attribute, None)

            dict_[Sneaky(attribute, act)] = None

        self.same(insert)

    @rule()
    def validate(self) -> None:
        self.same(lambda w: w.validate(5))
        self.same(lambda w: w.validate(5))

    @rule()
    def serialize(self) -> None:
        self.same(lambda w: w.serialize(w.holder))
        self.same(lambda w: w.serialize(w.holder))

    def teardown(self) -> None:
        for world, saved in zip(getattr(self, "worlds", []), getattr(self, "saved", [])):
            world.module.other_db = saved


class CatalogMachine(TwoWorlds):
    """`other_db.get_dict(name)` where get_dict is a catalog dict's `__getitem__`, the dict changing."""

    @initialize(missing=st.booleans())
    def start(self, missing: bool) -> None:
        namespace = {"__missing__": lambda self, name: {5: "missing"}} if missing else {}
        catalog_class = type("Catalog", (dict,), namespace)
        self.catalogs = [catalog_class() for _ in WORLDS]
        self.holders = [type("Holder", (), {})() for _ in WORLDS]
        self.keys: list[list[Sneaky]] = [[] for _ in WORLDS]
        for holder, catalog in zip(self.holders, self.catalogs):
            holder.get_dict = catalog.__getitem__
        self.validators = [validator_of(build_schema(CATALOGS[name], "Music")) for name in WORLDS]
        self.saved = [CATALOGS[name].other_db for name in WORLDS]
        for name, holder in zip(WORLDS, self.holders):
            CATALOGS[name].other_db = holder

    @rule(label=LABELS)
    def bind(self, label: str) -> None:
        self.same(lambda i: self.catalogs[i].__setitem__("Music_dict", {5: label}))

    @rule()
    def delete(self) -> None:
        self.same(lambda i: self.catalogs[i].__delitem__("Music_dict"))

    @rule(count=st.integers(0, 70))
    def fill(self, count: int) -> None:
        self.same(lambda i: self.catalogs[i].update({f"Other{n}_dict": {} for n in range(count)}))

    @rule()
    def clear(self) -> None:
        self.same(lambda i: self.catalogs[i].clear())

    @rule()
    def swap_catalog(self) -> None:
        def swap(i: int) -> None:
            self.catalogs[i] = type(self.catalogs[i])(self.catalogs[i])
            self.holders[i].get_dict = self.catalogs[i].__getitem__

        self.same(swap)

    @rule(label=LABELS, action=st.sampled_from(["nothing", "bind", "delete"]))
    def key_with_code(self, label: str, action: str) -> None:
        def insert(i: int) -> None:
            catalog = self.catalogs[i]

            def act() -> None:
                if action == "bind":
                    catalog["Music_dict"] = {5: label}
                elif action == "delete":
                    catalog.pop("Music_dict", None)

            key = Sneaky("Music_dict", act)
            self.keys[i].append(key)
            catalog[key] = None

        self.same(insert)

    @rule()
    def validate(self) -> None:
        self.same(lambda i: self.validators[i](5))

    @invariant()
    def keys_compared_alike(self) -> None:
        native, plain = ([key.compared for key in keys] for keys in getattr(self, "keys", [[], []]))
        assert native == plain

    def teardown(self) -> None:
        for name, saved in zip(WORLDS, getattr(self, "saved", [])):
            CATALOGS[name].other_db = saved


class GlobalsMachine(TwoWorlds):
    """The module global `ZorvNet` as `insider` uses it, while module globals and builtins change.

    Each world's module is given builtins of its own (a copy, as its `__builtins__`, which the
    factories made afterwards use): keys with code placed there stay out of the interpreter's
    builtins, whose keys would never be all `str` again.
    """

    def __init__(self) -> None:
        super().__init__()
        self.saved = [{key: vars(MANAGERS[name])[key] for key in ("ZorvNet", "__builtins__")} for name in WORLDS]
        self.builtins = [dict(vars(builtins)) for _ in WORLDS]
        for name, own in zip(WORLDS, self.builtins):
            vars(MANAGERS[name])["__builtins__"] = own
        self.keys: list[list[Sneaky]] = [[] for _ in WORLDS]
        self.insiders = [MANAGERS[name].zorv_net_generator("salt") for name in WORLDS]

    def globals_of(self, i: int) -> dict[str, Any]:
        return vars(MANAGERS[WORLDS[i]])

    # Each change of the names is met by calls before and after it: the change meets what the calls
    # before it remembered.
    def changed(self, change: Callable[[int], Any]) -> None:
        self.call()
        self.same(change)
        self.call()

    @rule(label=LABELS)
    def bind_global(self, label: str) -> None:
        self.changed(lambda i: self.globals_of(i).__setitem__("ZorvNet", Token(label)))

    @rule()
    def delete_global(self) -> None:
        self.changed(lambda i: self.globals_of(i).pop("ZorvNet", None))

    @rule(label=LABELS)
    def bind_builtin(self, label: str) -> None:
        self.changed(lambda i: self.builtins[i].__setitem__("ZorvNet", Token(label)))

    @rule()
    def delete_builtin(self) -> None:
        self.changed(lambda i: self.builtins[i].pop("ZorvNet", None))

    @rule(label=LABELS, action=st.sampled_from(["nothing", "bind", "delete"]))
    def key_with_code_in_builtins(self, label: str, action: str) -> None:
        def place(i: int) -> None:
            namespace = self.globals_of(i)

            def act() -> None:
                if action == "bind":
                    namespace["ZorvNet"] = Token(label)
                elif action == "delete":
                    namespace.pop("ZorvNet", None)

            key = Sneaky("ZorvNet", act)
            self.keys[i].append(key)
            self.builtins[i][key] = None

        self.changed(place)

    @rule()
    def call(self) -> None:
        # With the comparisons the call makes with the keys that have code, and no collection
        # meanwhile, whose finalizers could make lookups of their own.
        def call(i: int) -> Any:
            before = [key.compared for key in self.keys[i]]
            gc.disable()
            try:
                result = outcome(self.insiders[i], 1, 2)
            finally:
                gc.enable()
            return result, [key.compared - count for key, count in zip(self.keys[i], before)]

        self.same(call)

    def teardown(self) -> None:
        for i, saved in enumerate(self.saved):
            self.globals_of(i).update(saved)


class Service:
    """A stand-in for the manager's clients, shown alike in both worlds."""

    def __init__(self, **kwargs: Any) -> None:
        self.kwargs = sorted(kwargs)

    def check_alive(self) -> str:
        return "alive"

    def ping(self) -> int:
        return 7

    def upsert_client_testmode(self, **kwargs: Any) -> dict[str, Any]:
        return dict(sorted(kwargs.items()))

    def __repr__(self) -> str:
        return "Service"


MANAGER_COMPANIONS = {"KelvoNet": Service, "BaseZorvNet": Service, "ZorvAES": dict, "NET_LOG": True}
STORED = ["net_log", "config", "kelvo_net", "last_ping"]  # stored by __init__, read by the methods
CONFIG = SimpleNamespace(**{name: f"<{name}>" for name in ("keychip", "kelvo_salt", "proxy", "aes_key", "aes_iv")},
                         zorv2_salt="salt", https_verify=True, retry=3, place_id=1, client_id="client")


def shown(value: Any) -> str:
    return repr(value) if isinstance(value, (str, int, Token, Service, type(None))) else type(value).__name__


class ManagerWorld:
    """One module's side: two subclasses of its ZorvManager (so that the module's own class stays
    as it is) and the manager the steps work on, never given a __dict__ unless a step asks."""

    def __init__(self, module: ModuleType) -> None:
        self.module = module
        self.classes = [type("Manager", (module.ZorvManager,), {}), type("Other", (module.ZorvManager,), {})]
        self.stores: list[tuple[str, str]] = []
        self.manager: Any = None

    def construct(self, with_dict: bool) -> list[tuple[str, str]]:
        self.manager = self.classes[0].__new__(self.classes[0])
        if with_dict:
            vars(self.manager)
        self.manager.__init__(CONFIG, "the logger")
        return self.observed()

    def observed(self) -> list[tuple[str, str]]:
        found = [(name, shown(getattr(self.manager, name, "<missing>"))) for name in STORED]
        return [*found, *self.stores]


class InstanceMachine(TwoWorlds):
    """ZorvManager's stores and reads of its own attributes while its class and instances change."""

    @initialize(with_dict=st.booleans())
    def start(self, with_dict: bool) -> None:
        self.saved = [{key: vars(MANAGERS[name])[key] for key in [*MANAGER_COMPANIONS, "datetime"]} for name in WORLDS]
        # The clients' class, shared by both worlds: what it gains belongs to neither.
        self.service: type = type("Service", (Service,), {})
        for name in WORLDS:
            vars(MANAGERS[name]).update(MANAGER_COMPANIONS, KelvoNet=self.service, BaseZorvNet=self.service)
        self.worlds = [ManagerWorld(MANAGERS[name]) for name in WORLDS]
        self.same(lambda w: w.construct(with_dict))

    def read_services(self, w: ManagerWorld) -> tuple[tuple[str, str], ...]:
        return outcome(w.manager.check_db_alive), outcome(lambda: w.manager.base_net.ping())

    # The clients' methods are read before and after each change, so that the change meets what the
    # reads before it remembered.
    @rule(name=st.sampled_from(["check_alive", "ping"]), label=st.sampled_from(["", *"abc"]))
    def service_class_changes(self, name: str, label: str) -> None:
        self.same(self.read_services)
        if label:
            setattr(self.service, name, lambda service: f"{name} {label}")
        elif name in vars(self.service):
            delattr(self.service, name)
        self.same(self.read_services)

    @rule(change=st.sampled_from(["shadowed by the instance", "shadow deleted", "dict made"]), label=LABELS)
    def service_instance_changes(self, change: str, label: str) -> None:
        def apply(w: ManagerWorld) -> Any:
            before = self.read_services(w)
            service = getattr(w.manager, "kelvo_net", None)
            if type(service) is self.service:
                if change == "shadowed by the instance":
                    service.check_alive = Token(label)
                elif change == "dict made":
                    vars(service)
                else:
                    try:
                        del service.check_alive
                    except AttributeError:
                        pass
            return before, self.read_services(w)

        self.same(apply)

    @rule(with_dict=st.booleans())
    def construct(self, with_dict: bool) -> None:
        self.same(lambda w: w.construct(with_dict))

    @rule()
    def init_again(self) -> None:
        self.same(lambda w: (w.manager.__init__(CONFIG, "the logger"), w.observed()))

    @rule(name=st.sampled_from(STORED), label=LABELS)
    def set_on_instance(self, name: str, label: str) -> None:
        self.same(lambda w: setattr(w.manager, name, Token(label)))

    @rule(name=st.sampled_from(STORED))
    def delete_from_instance(self, name: str) -> None:
        self.same(lambda w: delattr(w.manager, name))

    @rule(
        name=st.sampled_from(STORED),
        label=LABELS,
        kind=st.sampled_from(["property with a setter", *CLASS_VALUES]),
        which=st.sampled_from([0, 1]),
    )
    def class_gains(self, name: str, label: str, kind: str, which: int) -> None:
        def gain(w: ManagerWorld) -> None:
            if kind == "property with a setter":
                value = class_value("property", name, Token(label), lambda self, v: w.stores.append((name, shown(v))))
            else:
                value = class_value(kind, name, Token(label))
            setattr(w.classes[which], name, value)

        self.same(gain)

    @rule(name=st.sampled_from(STORED), which=st.sampled_from([0, 1]))
    def class_loses(self, name: str, which: int) -> None:
        self.same(lambda w: delattr(w.classes[which], name))

    @rule()
    def swap_class(self) -> None:
        def swap(w: ManagerWorld) -> None:
            w.manager.__class__ = w.classes[1] if type(w.manager) is w.classes[0] else w.classes[0]

        self.same(swap)

    @rule()
    def read(self) -> None:
        self.same(lambda w: (outcome(w.manager.check_db_alive), outcome(w.manager.client_test), outcome(lambda: w.manager.ping)))

    @rule(clock=st.sampled_from(["builtin", "fixed", "far ahead"]))
    def clock(self, clock: str) -> None:
        # The manager's datetime: the builtin class, whose `now` the runtime may remember, or a
        # class of the test's whose `now` it must call.
        def bind(w: ManagerWorld) -> None:
            at = {"fixed": datetime(2024, 1, 1), "far ahead": datetime(2999, 1, 1)}.get(clock)
            now = classmethod(lambda cls: at)
            vars(w.module)["datetime"] = datetime if at is None else type("Clock", (datetime,), {"now": now})

        self.same(bind)

    @rule()
    def order(self) -> None:
        self.same(lambda w: [(key, shown(value)) for key, value in vars(w.manager).items()])

    def teardown(self) -> None:
        for name, saved in zip(WORLDS, getattr(self, "saved", [])):
            vars(MANAGERS[name]).update(saved)


BUILDERS = [
    "int_schema", "chain_schema", "no_info_plain_validator_function", "is_instance_schema",
    "union_schema", "plain_serializer_function_ser_schema", "json_or_python_schema",
]  # fmt: skip


def builder(label: str, name: str) -> Callable[..., Any]:
    return lambda *args, **kwargs: (label, name, len(args), sorted(kwargs))


def schema_module(label: str) -> ModuleType:
    module = ModuleType("schemas")
    for name in BUILDERS:
        setattr(module, name, builder(label, name))
    return module


class SchemaModuleMachine(TwoWorlds):
    """The hook's `core_schema.<builder>` reads while that module's attributes change."""

    @initialize()
    def start(self) -> None:
        self.saved = [CATALOGS[name].core_schema for name in WORLDS]
        self.modules = [schema_module("first") for _ in WORLDS]
        for name, module in zip(WORLDS, self.modules):
            CATALOGS[name].core_schema = module

    @rule(name=st.sampled_from(BUILDERS), label=LABELS)
    def bind(self, name: str, label: str) -> None:
        self.same(lambda i: setattr(self.modules[i], name, builder(label, name)))

    @rule(name=st.sampled_from(BUILDERS))
    def delete(self, name: str) -> None:
        self.same(lambda i: delattr(self.modules[i], name))

    @rule(label=LABELS)
    def module_getattr(self, label: str) -> None:
        self.same(lambda i: setattr(self.modules[i], "__getattr__", lambda name: builder(label, name)))

    @rule(label=LABELS)
    def swap_module(self, label: str) -> None:
        def swap(i: int) -> None:
            self.modules[i] = schema_module(label)
            CATALOGS[WORLDS[i]].core_schema = self.modules[i]

        self.same(swap)

    @rule(name=st.sampled_from(BUILDERS), label=LABELS)
    def key_with_code(self, name: str, label: str) -> None:
        def insert(i: int) -> None:
            namespace = vars(self.modules[i])
            namespace[Sneaky(name, lambda: namespace.__setitem__(name, builder(label, name)))] = None

        self.same(insert)

    @rule()
    def build(self) -> None:
        self.same(lambda i: build_schema(CATALOGS[WORLDS[i]], "Music"))

    def teardown(self) -> None:
        for name, saved in zip(WORLDS, getattr(self, "saved", [])):
            CATALOGS[name].core_schema = saved


TestAttributeMachine = AttributeMachine.TestCase
TestCatalogMachine = CatalogMachine.TestCase
TestGlobalsMachine = GlobalsMachine.TestCase
TestInstanceMachine = InstanceMachine.TestCase
TestSchemaModuleMachine = SchemaModuleMachine.TestCase
for machine in (TestAttributeMachine, TestCatalogMachine, TestGlobalsMachine, TestInstanceMachine, TestSchemaModuleMachine):
    machine.settings = MACHINE_SETTINGS


def test_the_table_of_remembered_kinds_names_tests_that_exist() -> None:
    """Each kind in the specializer's table is changed by the tests it names, all of them here."""
    header = (TESTS_DIR.parent / "native" / "runtime" / "specializer.hpp").read_text()
    rows = [line.split("|") for line in header.splitlines() if line.startswith("// |") and "---" not in line][1:]
    kinds: dict[str, list[str]] = {}
    kind = ""
    for row in rows:
        kind = row[1].strip() or kind  # a row's continuation lines leave the kind blank
        kinds.setdefault(kind, []).extend(re.findall(r"[\w.]+", row[4]))
    assert list(kinds) == ["module_global", "builtin", "slot", "inline_value", "dict_entry", "method", "class_method"]
    module = sys.modules[__name__]
    for kind, tests in kinds.items():
        assert tests, kind
        for test in tests:
            owner, _, rule_name = test.rpartition(".")
            assert hasattr(getattr(module, owner) if owner else module, rule_name), (kind, test)
