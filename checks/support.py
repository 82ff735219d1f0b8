"""Shared by the checks: how a call of a test method ends, and a stand-in for
the module under test that logs what a test does with it and can be told to
misbehave at any point.

The compiled tests and their listing (tests/unit/test_zeto_data.py, run as
plain Python under another name) read
their globals from their own module namespace when a statement runs, so a
``World`` is installed by replacing those globals for the length of a run.
"""

import gc
import importlib.util
import json
import sys
import time
import types
import weakref
from collections.abc import Mapping
from contextlib import contextmanager
from functools import partialmethod
from pathlib import Path

import tests.unit.test_zeto_data as compiled
from listing import LISTING, PATH
from zeto_sdk.redis import zeto_data as sdk

ROOT = Path(__file__).resolve().parent.parent
SOURCE = "tests/unit/test_zeto_data.py"
MODULE = "tests.unit.test_zeto_data"
# (class name, method name) of every test, in source order.
TESTS = LISTING.tests
_MISSING = object()


# Where the interpreter running the checks does otherwise than the compiled
# tests, which behave alike on every version. The checks that compare the two
# allow for these differences alone, on these versions alone.
INTERPRETER_DIFFERS = {
    # 3.6 asks a false first comparison of a chained comparison for its truth
    # twice: once to end the chain, once for the assertion.
    "chained truth asked twice": sys.version_info < (3, 7),
    # Before 3.8 a call that spans lines is reported at the line its
    # arguments end on, not the line it starts on.
    "call at its last line": sys.version_info < (3, 8),
    # Before 3.10 a failure within a statement that spans lines is reported
    # at any of the statement's lines, not at the operation's own.
    "statement at any of its lines": sys.version_info < (3, 10),
    # From 3.13 on, an import statement reports a loaded module whose
    # __spec__._initializing cannot be read or tested, where earlier versions
    # (and the compiled tests) pass over it and use the module.
    "import reports unreadable flag": sys.version_info >= (3, 13),
    # From 3.14 on, a function's local variables are released last to first
    # when it returns (``def f(): a = A(); b = A()`` releases b, then a); the
    # compiled tests release them first to last, as before.
    "locals released last to first": sys.version_info >= (3, 14),
}


def interpreted():
    """The listing, loaded once under a private name so that no import hook
    (pytest's assertion rewriting) touches its assertions."""
    module = sys.modules.get("_interpreted_suite")
    if module is None:
        spec = importlib.util.spec_from_file_location("_interpreted_suite", PATH)
        module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return module


class Failure:
    """An exception and its traceback entries (function name, file name,
    line) below the frame that caught it."""

    def __init__(self, exc, entries):
        self.exc = exc
        self.entries = entries

    def lines_in(self, filename):
        return [line for _, name, line in self.entries if name == filename]


def failure_of(func, *args, **kwargs):
    """``None`` when ``func(*args, **kwargs)`` returns ``None``, else the Failure."""
    here = sys._getframe()
    try:
        result = func(*args, **kwargs)
    except Exception as exc:
        tb, entries = exc.__traceback__, []
        while tb is not None:
            if tb.tb_frame is not here:
                code = tb.tb_frame.f_code
                entries.append((code.co_name, code.co_filename, tb.tb_lineno))
            tb = tb.tb_next
        return Failure(exc, entries)
    if result is not None:
        raise AssertionError(f"a test returned {result!r}")
    return None


def run_test(module, cls, name):
    return failure_of(getattr(getattr(module, cls)(), name))


def line_of(test, slot, gives=None):
    """The line of the listing at which ``test`` fails when the slot ``slot``
    raises (``gives`` None), or gives what raises from every comparison, truth
    test, item access and membership test: itself (``gives`` True), or as its
    item ``gives``. A slot raises where it is first used; such a value, where
    it is compared or tested, in an assertion about the attribute or the item
    (any assertion for the result of a call)."""
    method = LISTING.method(test)
    owner, _, member = slot.partition(".")
    if isinstance(gives, str):
        return method.assertion(about=gives).line
    if gives:
        return method.assertion(about=None if member.endswith("()") else member).line
    if member.endswith("()"):
        return method.statement(calls=member[:-2]).line
    if member:
        return method.statement(reads=member).line
    return method.statement(calls=owner[:-2]).line


def outcome(failure, module):
    """(exception type, args, lines) of a failing run, ``None`` of a passing
    one. The lines are those of the traceback entries in the module's source:
    the failure record of the compiled module, the method's own frame of the
    interpreted one; one line each when all is well."""
    if failure is None:
        return None
    filename = SOURCE if module is compiled else module.__file__
    return type(failure.exc), failure.exc.args, failure.lines_in(filename)


# ---- a stand-in for the module under test ----------------------------------------

# A behaviour replaces one slot of the module under test: an attribute read
# ("MetaSource.id"), a call ("MetaSource.to_dict()") or a construction
# ("MetaSource()"). It is called as behaviour(world, real, *args, **kwargs),
# where real() gives what the bundled SDK gives.

def value(v):
    return lambda world, real, *args, **kwargs: v


def raising(make):
    """Raises ``make`` itself when it is an exception (the same object each
    time), else a new ``make()``."""

    def behaviour(world, real, *args, **kwargs):
        raise make if isinstance(make, BaseException) else make()

    return behaviour


def transform(f):
    return lambda world, real, *args, **kwargs: f(world, real())


class LoggedDict(dict):
    """A dict subclass: item access and membership take the generic path."""

    def __del__(self):
        if self.world.releases:
            self.world.log.append(("del", "mapping"))

    def __getitem__(self, key):
        self.log.append(("getitem", key))
        return super().__getitem__(key)

    def __contains__(self, key):
        self.log.append(("contains", key))
        return super().__contains__(key)


class WithMissing(dict):
    """A dict subclass whose missing keys have defaults."""

    def __missing__(self, key):
        return {"id": "node-1", "result": []}.get(key)


class LoggedMapping(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, items, log):
        self._items, self.log = dict(items), log

    def __getitem__(self, key):
        self.log.append(("getitem", key))
        return self._items[key]

    def __contains__(self, key):
        self.log.append(("contains", key))
        return key in self._items

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


def reshaped(world, mapping, dropped=(), items=(), kind="dictsub"):
    """``mapping`` without the keys ``dropped``, with ``items`` added, as a
    "dict", a logging "dictsub", a "missing" (a dict with __missing__), a
    "lying" dict subclass, a logging "mapping" that is not a dict, or a dict
    whose keys are "ownkeys" (OwnStr, logging their comparisons)."""
    result = {k: v for k, v in dict(mapping).items() if k not in dropped}
    result.update(items)
    if kind == "dict":
        return result
    if kind == "ownkeys":
        return {OwnStr.make(k, world.log): v for k, v in result.items()}
    if kind == "lying":
        return LyingDict(result)
    if kind == "missing":
        return WithMissing(result)
    if kind == "mapping":
        return LoggedMapping(result, world.log)
    result = LoggedDict(result)
    result.log, result.world = world.log, world
    return result


# ---- values made to defeat shortcuts ------------------------------------------------

class Answer:
    """A comparison's result that is not a bool: its truth test is logged."""

    def __init__(self, truth, log):
        self.truth, self.log = truth, log

    def __bool__(self):
        self.log.append(("truth", self.truth))
        return self.truth


class Own:
    """A subclass of a built-in type (first after Own among its bases) with
    its own comparisons, hash and truth, which log each call into ``log``
    and answer as the built-in type would, comparisons with an Answer; the
    opposite where ``lies``. A shortcut that skips a call the interpreter
    makes, comparing by the built-in value, logs less, or passes where the
    interpreter's assertion fails."""

    lies = False
    log = []  # the running world's, where one made it

    @classmethod
    def make(cls, value, log=None, lies=False):
        made = cls(value)
        made.lies = lies
        if log is not None:
            made.log = log
        return made

    def _builtin(self):
        return type(self).__mro__[2]  # after the class itself and Own

    def _compare(self, op, other):
        self.log.append((op, type(self).__name__, type(other).__name__))
        result = getattr(self._builtin(), op)(self, other)
        return result if result is NotImplemented else Answer(result != self.lies, self.log)

    __eq__ = partialmethod(_compare, "__eq__")
    __ne__ = partialmethod(_compare, "__ne__")
    __lt__ = partialmethod(_compare, "__lt__")
    __le__ = partialmethod(_compare, "__le__")
    __gt__ = partialmethod(_compare, "__gt__")
    __ge__ = partialmethod(_compare, "__ge__")

    def __hash__(self):
        self.log.append(("hash", type(self).__name__))
        return self._builtin().__hash__(self)

    def __bool__(self):
        self.log.append(("bool", type(self).__name__))
        return (len(self) if hasattr(self, "__len__") else self._builtin().__bool__(self)) != self.lies

    def __repr__(self):
        return f"{type(self).__name__}({self._builtin().__repr__(self)})"


class OwnStr(Own, str):
    pass


class OwnInt(Own, int):
    pass


class OwnFloat(Own, float):
    pass


class OwnList(Own, list):
    __hash__ = None  # as list's


def fresh(cls, v, lies=False):
    """A behaviour that gives a new ``cls.make(v)`` at each use, logging into
    the running world's log and handed over to the test."""
    return lambda world, real, *args, **kwargs: world.hand_over(cls.make(v, world.log, lies))


class LyingDict(dict):
    """A dict subclass whose own item access and membership say otherwise."""

    def __getitem__(self, key):
        return "otherwise"

    def __contains__(self, key):
        return False


class LoggedStr(str):
    def encode(self, *args):
        self.log.append(("call", "str.encode", args))
        return str.encode(self, *args)


class Fake:
    """An object of the module under test: attribute reads are logged and
    may be overridden; its methods come back wrapped, so that their calls
    are logged and may be overridden too."""

    __slots__ = ("_world", "_cls", "_real", "__weakref__")
    METHODS = ("to_dict", "update", "create_zeto_data", "parse_zeto_data")

    def __init__(self, world, cls, real):
        object.__setattr__(self, "_world", world)
        object.__setattr__(self, "_cls", cls)
        object.__setattr__(self, "_real", real)

    def __del__(self):
        world = object.__getattribute__(self, "_world")
        if world.releases:
            world.log.append(("del", object.__getattribute__(self, "_cls")))

    def __getattribute__(self, attr):
        world = object.__getattribute__(self, "_world")
        real = object.__getattribute__(self, "_real")
        slot = f"{object.__getattribute__(self, '_cls')}.{attr}"
        world.log.append(("get", slot))
        result = world.apply(slot, lambda: getattr(real, attr))
        if callable(result) and not isinstance(result, type) and attr in Fake.METHODS:
            return world.method(slot, result)
        return result


class World:
    """The stand-in module under test for one run of one test.

    ``overrides``: slot -> behaviour. ``clock``: ``None`` for the real
    ``time.time``, else the successive results of ``time.time()`` (exceptions
    among them are raised). ``json``: what ``sys.modules["json"]`` holds
    during the run: "logged" (the real ``dumps``, logged, returning a ``str``
    whose ``encode`` is logged), "blocked" (``None``), or a module object.
    ``missing``: globals removed from the test module for the run.
    ``releases``: whether the objects it makes log their release.
    """

    # The classes of the module under test that the tests make.
    CLASSES = {name: getattr(sdk, name) for name in LISTING.sdk_names
               if any(name in s.calls for m in LISTING.methods() for s in m.statements)}

    def __init__(self, overrides=None, clock=None, json="logged", missing=(), releases=False):
        self.overrides = dict(overrides or {})
        self.clock = None if clock is None else list(clock)
        self.json = json
        self.missing = missing
        self.releases = releases
        self.log = []
        self.node = None
        self.made = []  # weak references to what was handed to the test

    def show(self, *args, **kwargs):
        def one(v):
            return "NODE" if v is self.node else repr(v)

        return tuple(map(one, args)), tuple((k, one(v)) for k, v in kwargs.items())

    def apply(self, slot, real, *args, **kwargs):
        behaviour = self.overrides.get(slot)
        return real() if behaviour is None else behaviour(self, real, *args, **kwargs)

    def hand_over(self, obj):
        try:
            self.made.append(weakref.ref(obj))
        except TypeError:
            pass
        return obj

    def method(self, slot, fn):
        def call(*args, **kwargs):
            self.log.append(("call", slot, *self.show(*args, **kwargs)))
            return self.hand_over(self.apply(slot + "()", lambda: fn(*args, **kwargs), *args, **kwargs))

        return call

    def constructor(self, name):
        def construct(*args, **kwargs):
            self.log.append(("call", name, *self.show(*args, **kwargs)))
            real = lambda: Fake(self, name, self.CLASSES[name](*args, **kwargs))  # noqa: E731
            return self.hand_over(self.apply(name + "()", real, *args, **kwargs))

        return construct

    def read_clock(self):
        self.log.append(("call", "time.time"))
        if self.clock is None:
            return time.time()
        reading = self.clock.pop(0)
        if isinstance(reading, BaseException) or isinstance(reading, type):
            raise reading
        return reading

    def json_module(self):
        if self.json != "logged":
            return None if self.json == "blocked" else self.json
        module = types.ModuleType("json")

        def dumps(obj):
            self.log.append(("call", "json.dumps", repr(obj)))
            text = LoggedStr(json.dumps(obj))
            text.log = self.log
            return text

        module.dumps = dumps
        return module

    @contextmanager
    def installed(self, module):
        namespace = module.__dict__
        snapshot = dict(namespace)  # restored as it was, order included
        saved_json = sys.modules.get("json", _MISSING)
        self.node = namespace.get("NODE")
        namespace.update({name: self.constructor(name) for name in self.CLASSES})
        namespace["time"] = types.SimpleNamespace(time=self.read_clock)
        for name in self.missing:
            namespace.pop(name, None)
        sys.modules["json"] = self.json_module()
        try:
            yield self
        finally:
            namespace.clear()
            namespace.update(snapshot)
            if saved_json is _MISSING:
                sys.modules.pop("json", None)
            else:
                sys.modules["json"] = saved_json

    def run(self, module, cls, name):
        with self.installed(module):
            return run_test(module, cls, name)


def compare_runs(make_world, cls, name):
    """Runs one test in both modules, each in a fresh world: the (outcome,
    log, what it was given that outlives the run and its failure) of the
    compiled and of the interpreted run."""
    results = []
    for module in (compiled, interpreted()):
        world = make_world()
        ended = outcome(world.run(module, cls, name), module)
        if any(ref() is not None for ref in world.made):
            gc.collect()
        results.append((ended, world.log, [ref() for ref in world.made if ref() is not None]))
    return results


def assertions_fail():
    """A world in which every assertion of every test fails, while each
    statement outside the assertions succeeds."""
    nan = float("nan")
    wrong = {f"MetaSource.{a}": value("x") for a in ("type", "name", "source_key", "output_port_idx", "frame_id")}
    wrong.update({
        "MetaSource.id": value(nan), "MetaSource.to_dict()": value(None), "MetaModule.id": value(nan),
        "MetaModule.type": value("x"), "MetaModule.feed_port_idx": value("x"), "MetaModule.to_dict()": value({}),
        "Meta.ts": value(nan), "Meta.to_dict()": value({}), "ZetoData.create_zeto_data()": value({}),
        "ZetoData.parse_zeto_data()": value({}),
    })
    return World(wrong)
