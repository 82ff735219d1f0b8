"""The compiled tests run other people's code in the middle of their own:
constructors, comparisons, truth tests, item access, membership tests and
finalizers of the module under test.  None of it may crash the interpreter,
leave a stale value behind, or turn into a wrong verdict."""

import builtins
import gc
import importlib
import importlib.machinery
import importlib.util
import runpy
import subprocess
import sys
import textwrap
import threading
import weakref
from pathlib import Path

import pytest

from listing import LISTING
from recursion import endless_recursion_unbounded

ROOT = Path(__file__).resolve().parents[1]
MODULE = "tests.unit.test_zeto_data"
BUILT = ROOT / "tests" / "unit" / f"test_zeto_data{importlib.machinery.EXTENSION_SUFFIXES[0]}"

pytestmark = pytest.mark.skipif(not BUILT.exists(), reason=f"{BUILT.name} not built (make build)")

TESTS = LISTING.tests
TEST = {name: (cls, name) for cls, name in TESTS}


def _node_readers():
    for m in LISTING.methods():
        for statement in m.statements:
            if "NODE" in statement.names:
                made = next(name for name in statement.calls if name in LISTING.sdk_names)
                yield (m.cls, m.name), made, statement.line
                break


# Tests that hand NODE to a class of the module under test: (test, class, line
# of that call).
NODE_READERS = list(_node_readers())
# The test that makes a MetaSource of NODE first.
SOURCE_TEST = TEST["test_init_with_node_sets_fields"]


def built_at(test, cls):
    """The line of the statement of ``test`` that makes a ``cls``."""
    return LISTING.method(test[1]).statement(calls=cls).line


assertion = LISTING.assertion_line


def ids(cases):
    return [case[0][1] for case in cases]


@pytest.fixture(scope="module")
def mod():
    return importlib.import_module(MODULE)


@pytest.fixture
def ns(mod):
    """The test module; its namespace is put back as it was, order included."""
    saved = dict(mod.__dict__)
    yield mod
    mod.__dict__.clear()
    mod.__dict__.update(saved)


def run(mod, test):
    """Runs one test once; None when it passes, else its exception."""
    cls, method = test
    try:
        getattr(getattr(mod, cls)(), method)()
    except Exception as exc:  # noqa: BLE001 - the failure is the result
        return exc
    return None


def record(exc):
    """(method name, line) of the failure record: the first traceback entry
    below this file's frames, which must be the compiled module's."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == __file__:
        tb = tb.tb_next
    assert tb is not None, f"{exc!r} carries no failure record"
    code = tb.tb_frame.f_code
    assert code.co_filename == "tests/unit/test_zeto_data.py"
    assert code.co_name.startswith(MODULE + ".")
    return code.co_name.rsplit(".", 1)[1], tb.tb_lineno


def fails(mod, test, error, line, message=None):
    exc = run(mod, test)
    assert type(exc) is error, f"{test[1]}: expected {error.__name__}, got {exc!r}"
    assert record(exc) == (test[1], line)
    if message is not None:
        assert str(exc) == message
    return exc


class OnDelete:
    """Runs `action` when it is finalized."""

    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def spy(mod, name, hook=None):
    """Replaces the class `name` by a wrapper that records the keyword
    arguments of each call and lets `hook` see the object it makes."""
    real = getattr(mod, name)
    calls = []

    def make(*args, **kwargs):
        calls.append(kwargs)
        obj = real(*args, **kwargs)
        if hook is not None:
            hook(obj)
        return obj

    setattr(mod, name, make)
    return calls


# ---- finalizers that change the namespace -------------------------------------------

def on_release(ns, cls):
    """Wraps the class `cls`; an action put on the returned list runs when the
    next object the class makes is released (by the test, as it returns)."""
    actions = []
    calls = spy(ns, cls, lambda obj: actions and setattr(obj, "hostile", OnDelete(actions.pop())))
    return actions, calls


@pytest.mark.parametrize("case", NODE_READERS, ids=ids(NODE_READERS))
def test_node_changed_by_a_finalizer_is_seen_by_the_next_read(ns, case):
    test, cls, line = case
    other = dict(ns.NODE)
    actions, calls = on_release(ns, cls)
    assert run(ns, test) is None  # a cached NODE, if any, is the original
    actions.append(lambda: setattr(ns, "NODE", other))
    assert run(ns, test) is None
    assert ns.NODE is other
    del calls[:]
    actions.append(lambda: ns.__dict__.pop("NODE"))
    assert run(ns, test) is None
    nodes = [value for kwargs in calls for key, value in kwargs.items() if key in ("src_node", "cur_node")]
    assert nodes and all(node is other for node in nodes)
    fails(ns, test, NameError, line, "name 'NODE' is not defined")


@pytest.mark.parametrize("case", NODE_READERS, ids=ids(NODE_READERS))
def test_class_changed_by_a_finalizer_is_seen_by_the_next_read(ns, case):
    test, cls, line = case
    actions, _ = on_release(ns, cls)
    assert run(ns, test) is None
    replacement = []
    actions.append(lambda: replacement.append(spy(ns, cls)))
    assert run(ns, test) is None
    assert run(ns, test) is None
    assert len(replacement) == 1 and len(replacement[0]) == 1  # the new class made the second object
    actions.append(lambda: ns.__dict__.pop(cls))
    assert run(ns, test) is None
    fails(ns, test, NameError, line, f"name '{cls}' is not defined")


@pytest.mark.parametrize("case", NODE_READERS, ids=ids(NODE_READERS))
def test_class_that_removes_itself_when_called(ns, case):
    """The test's own reference is then the last one: dropping it after the
    call runs a finalizer, which deletes NODE while the test goes on."""
    test, cls, line = case
    real = getattr(ns, cls)

    class OneShot:
        def __call__(self, **kwargs):
            del ns.__dict__[cls]
            return real(**kwargs)

        def __del__(self):
            ns.__dict__.pop("NODE")
            gc.collect()

    setattr(ns, cls, OneShot())
    assert run(ns, test) is None
    assert "NODE" not in ns.__dict__ and cls not in ns.__dict__
    fails(ns, test, NameError, line, f"name '{cls}' is not defined")


# The first of each test class.
ONE_PER_CLASS = [next(case for case in NODE_READERS if case[0][0] == cls) for cls in LISTING.classes]


@pytest.mark.parametrize("case", ONE_PER_CLASS, ids=ids(ONE_PER_CLASS))
def test_class_whose_init_removes_itself_and_the_class(ns, case):
    """While __init__ runs, the class loses its __init__ and its global name,
    and the collector runs: what the test holds must still be valid, and the
    class must be freed once the test is done with it."""
    test, cls, line = case

    class Vanishing(getattr(ns, cls)):
        def __init__(self, **kwargs):
            del type(self).__init__
            del ns.__dict__[cls]
            gc.collect()
            super().__init__(**kwargs)

    gone = weakref.ref(Vanishing)
    setattr(ns, cls, Vanishing)
    del Vanishing
    assert run(ns, test) is None
    gc.collect()
    assert gone() is None
    fails(ns, test, NameError, line, f"name '{cls}' is not defined")


def test_finalizer_runs_a_failing_test_while_a_test_fails(ns):
    """The test's objects are released as its failure leaves it: a finalizer
    that runs another, failing, test must not disturb either failure."""
    inner = []

    class Module:
        def __init__(self, **kwargs):
            self.id = "other"

        def __del__(self):
            if not inner:
                inner.append(None)
                inner.append(run(ns, TEST["test_init_without_node"]))

    ns.MetaModule = Module
    outer = fails(ns, TEST["test_init_with_node"], AssertionError, assertion("test_init_with_node", "id"))
    assert outer.__context__ is None and outer.args == ()
    assert type(inner[1]) is AssertionError
    assert record(inner[1]) == ("test_init_without_node", assertion("test_init_without_node", "id"))


class Clock:
    """Stands in for the module `time`; `on_call` runs at each reading."""

    def __init__(self, readings, on_call=None):
        self.readings, self.on_call, self.calls = list(readings), on_call, 0

    def time(self):
        self.calls += 1
        if self.on_call is not None:
            self.on_call()
        return self.readings.pop(0)


CLOCK_TEST = TEST["test_ts_is_set_at_construction_time"]
CLOCK = LISTING.method(CLOCK_TEST[1])


def test_clock_rebound_during_the_first_reading_is_used_for_the_second(ns):
    late = Clock([float("inf")])
    ns.time = Clock([0.0], on_call=lambda: OnDelete(lambda: setattr(ns, "time", late)))
    assert run(ns, CLOCK_TEST) is None
    assert late.calls == 1


def test_clock_deleted_during_the_first_reading(ns):
    ns.time = Clock([0.0], on_call=lambda: OnDelete(lambda: ns.__dict__.pop("time")))
    fails(ns, CLOCK_TEST, NameError, CLOCK.statement(calls="time", nth=1).line, "name 'time' is not defined")


def test_meta_deleted_during_the_first_reading(ns):
    ns.time = Clock([0.0, float("inf")], on_call=lambda: OnDelete(lambda: ns.__dict__.pop("Meta", None)))
    fails(ns, CLOCK_TEST, NameError, CLOCK.statement(calls="Meta").line, "name 'Meta' is not defined")


class CollidesWith:
    """A key with the hash of `text` whose first comparison runs `action`."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        action, self.action = self.action, lambda: None
        action()
        return False


def put_in_front(mapping, text, key):
    """Puts `key` where a look-up of `text` probes first, ahead of `text`; its
    action is held back until it is in place."""
    action, key.action = key.action, lambda: None
    value = mapping.pop(text)
    mapping[key] = None
    mapping[text] = value
    key.action = action
    return mapping


def test_namespace_changed_during_the_lookup_of_node(ns):
    # The colliding key sits in NODE's first slot, so looking NODE up compares
    # with it, and that comparison deletes NODE.
    node = ns.NODE
    key = CollidesWith("NODE", lambda: ns.__dict__.pop("NODE", None))
    put_in_front(ns.__dict__, "NODE", key)
    try:
        fails(ns, SOURCE_TEST, NameError, built_at(SOURCE_TEST, "MetaSource"), "name 'NODE' is not defined")
    finally:
        del ns.__dict__[key]
    ns.NODE = node
    assert run(ns, SOURCE_TEST) is None


def test_node_from_the_builtins_follows_their_changes(ns, monkeypatch):
    calls = spy(ns, "MetaSource")
    first = dict(ns.NODE)
    second = dict(first)
    del ns.NODE
    monkeypatch.setattr(builtins, "NODE", first, raising=False)
    assert run(ns, SOURCE_TEST) is None
    builtins.NODE = second
    assert run(ns, SOURCE_TEST) is None
    assert [kw["src_node"] for kw in calls] == [first, second]
    assert calls[0]["src_node"] is first and calls[1]["src_node"] is second
    monkeypatch.delattr(builtins, "NODE")
    fails(ns, SOURCE_TEST, NameError, built_at(SOURCE_TEST, "MetaSource"), "name 'NODE' is not defined")


# ---- results that change while they are read ----------------------------------------

class ClearedOnRead(dict):
    """A payload that empties itself when "frame" is read."""

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        if key == "frame":
            self.clear()
        return value


class EqualAndClear:
    """A result list stand-in whose == empties the payload holding it."""

    def __init__(self, payload):
        self.payload = payload

    def __eq__(self, other):
        self.payload.clear()
        return True


def without_frame(payload):
    del payload["frame"]
    return payload


def collide_clear(payload):
    return put_in_front(payload, "frame", CollidesWith("frame", payload.clear))


def collide_regrow(payload):
    def regrow():
        del payload["frame"]
        for i in range(100):  # the table is rebuilt while it is searched
            payload[f"k{i}"] = i
        payload["frame"] = None
    return put_in_front(payload, "frame", CollidesWith("frame", regrow))


def equal_and_clear(payload):
    payload["result"] = EqualAndClear(payload)
    return payload


CREATE = TEST["test_create_without_frame_returns_none_frame"]
PAYLOADS = [
    # (how the payload is made, error, exception args, what the failing assertion is about)
    (lambda p: ClearedOnRead(p), KeyError, ("result",), "result"),
    (without_frame, KeyError, ("frame",), "frame"),
    (collide_clear, KeyError, ("frame",), "frame"),
    (collide_regrow, None, None, None),
    (equal_and_clear, AssertionError, (), "meta"),
]


@pytest.mark.parametrize("make, error, args, about", PAYLOADS,
                         ids=["subclass clears itself", "exact dict without frame", "lookup clears the dict",
                              "lookup regrows the dict", "comparison clears the payload"])
def test_payload_that_changes_while_it_is_read(ns, make, error, args, about):
    real = ns.ZetoData

    class Data(real):
        def create_zeto_data(self, **kwargs):
            return make(real.create_zeto_data(self, **kwargs))

    ns.ZetoData = Data
    if error is None:
        assert run(ns, CREATE) is None
    else:
        assert fails(ns, CREATE, error, assertion(CREATE[1], about)).args == args


# ---- recursion -------------------------------------------------------------------------

def at_depth(depth, fn):
    """Calls `fn` `depth` frames further down; its exception, or None."""
    if depth > 0:
        return at_depth(depth - 1, fn)
    try:
        fn()
    except Exception as exc:  # noqa: BLE001
        return exc
    return None


def test_called_at_the_recursion_limit(ns):
    limit = sys.getrecursionlimit()
    test = TEST["test_init_without_node_leaves_none"]
    bound = getattr(getattr(ns, test[0])(), test[1])
    outcomes = {}
    for depth in range(limit - 80, limit):
        try:
            outcomes[depth] = at_depth(depth, bound)
        except RecursionError:
            continue  # the limit was met before the test was reached
    others = [exc for exc in outcomes.values() if exc is not None and type(exc) is not RecursionError]
    assert not others
    at_call = [exc for exc in outcomes.values()
               if exc is not None and str(exc).endswith(" while calling a Python object")]
    # Only 3.11 lets a caller stop right below the test's own guard: before,
    # the callee's frame meets the limit at the same depth, and from 3.12 on
    # the guard of C calls counts C depth apart from Python's.
    if sys.version_info[:2] == (3, 11):
        assert at_call, "no depth made the test's own call meet the limit"
    assert all(record(exc) == (test[1], built_at(test, "MetaSource")) for exc in at_call)
    assert None in outcomes.values(), "no depth left the test room to pass"
    assert run(ns, test) is None


def endless(**kwargs):
    return endless(**kwargs)


class Endless:
    def __init__(self, **kwargs):
        type(self)(**kwargs)


@pytest.mark.parametrize("constructor", [endless, Endless], ids=["function", "class"])
@pytest.mark.parametrize("case", ONE_PER_CLASS, ids=ids(ONE_PER_CLASS))
def test_constructor_that_recurses_without_end(ns, case, constructor):
    if constructor is endless and endless_recursion_unbounded():
        pytest.skip(endless_recursion_unbounded())
    test, cls, line = case
    setattr(ns, cls, constructor)
    fails(ns, test, RecursionError, line)


def test_constructor_that_reenters_the_test_until_the_limit(ns):
    depth = []
    real = ns.MetaModule
    test = TEST["test_init_with_node"]

    def reenter(**kwargs):
        depth.append(1)
        exc = run(ns, test)
        if exc is not None:
            raise exc
        return None

    ns.MetaModule = reenter
    exc = fails(ns, test, RecursionError, built_at(test, "MetaModule"))
    assert len(depth) > 10
    del exc
    ns.MetaModule = real
    assert run(ns, test) is None


# ---- callees that break the calling convention ----------------------------------------

@pytest.fixture(scope="module")
def capi_null():
    """The helper extension, built where `make capi-null` puts it."""
    build = runpy.run_path(str(ROOT / "checks" / "capi_null" / "build.py"))["build"]
    try:
        path = build(ROOT / "build" / "capi-null")
    except (OSError, subprocess.CalledProcessError) as err:
        pytest.skip(f"cannot build the C helper: {err}")
    spec = importlib.util.spec_from_file_location("_capi_null", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def as_class(ns, broken):
    ns.MetaSource = broken
    return SOURCE_TEST, built_at(SOURCE_TEST, "MetaSource")


def as_method(ns, broken):
    real = ns.MetaSource
    test = TEST["test_to_dict_returns_dict_with_id"]

    def make(**kwargs):
        obj = real(**kwargs)
        obj.to_dict = broken
        return obj

    ns.MetaSource = make
    return test, LISTING.method(test[1]).statement(calls="to_dict").line


def as_clock(ns, broken):
    ns.time = type("Clock", (), {"time": broken})()
    return CLOCK_TEST, CLOCK.statement(calls="time").line


@pytest.mark.parametrize("where", [as_class, as_method, as_clock], ids=["class", "method", "clock"])
@pytest.mark.parametrize("kind", ["NullCall", "NullVectorcall"])
def test_callee_returning_null_without_an_exception(ns, capi_null, where, kind):
    test, line = where(ns, getattr(capi_null, kind)())
    fails(ns, test, SystemError, line, "NULL result without error in PyObject_Call")
    assert run(ns, TEST["test_init_without_node"]) is None  # nothing left pending


@pytest.mark.parametrize("where", [as_class, as_method, as_clock], ids=["class", "method", "clock"])
def test_callee_returning_a_value_with_an_exception_set(ns, capi_null, where):
    test, line = where(ns, capi_null.ValueWithError())
    fails(ns, test, SystemError, line)
    assert run(ns, TEST["test_init_without_node"]) is None


# ---- the module's caches of type look-ups --------------------------------------------------

def slotted_meta_source(slots):
    """A MetaSource whose fields are __slots__, laid out in the order given."""
    class MetaSource:
        __slots__ = slots

        def __init__(self, src_node=None, src_output_port=None):
            self.id, self.type, self.name = src_node["id"], src_node["type"], src_node["name"]
            self.output_port_idx, self.frame_id = src_output_port, None

        @property
        def source_key(self):
            return f"{self.id}_{self.output_port_idx}"

    return MetaSource


def test_class_at_a_freed_class_address_after_the_type_cache_is_cleared(ns, capi_null):
    # Before 3.11 clearing the type cache hands version tags out again from
    # the start: a new class at the address of a freed one can carry the same
    # tag. What was cached for the freed class must not be used for it.
    fields = ("id", "type", "name", "output_port_idx", "frame_id")
    ns.MetaSource = slotted_meta_source(fields)
    assert run(ns, SOURCE_TEST) is None
    address, tag = id(ns.MetaSource), capi_null.version_tag(ns.MetaSource)
    # The allocator may not hand the freed class's memory to the next class by
    # itself: the helper keeps the block and hands it on.
    capi_null.reuse_block(ns.MetaSource)
    try:
        ns.MetaSource = None
        gc.collect()
        # Its new name from 3.13 on; the old one is deprecated from 3.14 on.
        (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
        second = slotted_meta_source(fields[1::-1] + fields[2:])
    finally:
        capi_null.reuse_block(None)
    assert id(second) == address
    # Tags up to the freed class's, one at a time by changing a class of our own.
    probe = type("Probe", (), {})
    while capi_null.version_tag(probe) < tag - 1:
        probe.x = None
        probe.x
    second.x = None
    second.x
    if sys.version_info < (3, 11):
        assert capi_null.version_tag(second) == tag
    ns.MetaSource = second
    assert run(ns, SOURCE_TEST) is None


def plain_meta_source(moved):
    """A MetaSource whose fields are ordinary instance attributes; once the
    returned switch is set, ``moved(obj)`` ends each construction. The switch
    lives outside the class, so that setting it leaves the class as it was."""
    switch = []

    class MetaSource:
        def __init__(self, src_node=None, src_output_port=None):
            self.id, self.type, self.name = src_node["id"], src_node["type"], src_node["name"]
            self.output_port_idx, self.frame_id = src_output_port, None
            self.source_key = f"{self.id}_{src_output_port}"
            if switch:
                moved(self)

        def to_dict(self):
            return {"id": self.id, "source_key": self.source_key}

    return MetaSource, switch


def many_attributes(obj):
    for i in range(40):
        setattr(obj, f"a{i}", i)
    obj.id = "node-2"


# Ways an instance's "id" leaves where its class's other instances keep theirs,
# or changes there, with the error the test's first assertion then fails with.
MOVES = {
    "dict replaced": (lambda obj: setattr(obj, "__dict__", dict(vars(obj), id="node-2")), AssertionError),
    "dict written": (lambda obj: vars(obj).update(id="node-2"), AssertionError),
    "dict given a key that is no name": (lambda obj: vars(obj).update({1: None, "id": "node-2"}), AssertionError),
    "more attributes than are shared": (many_attributes, AssertionError),
    "class given a property": (lambda obj: setattr(type(obj), "id", property(lambda self: "node-2")), AssertionError),
    "deleted": (lambda obj: delattr(obj, "id"), AttributeError),
}


@pytest.mark.parametrize("move", sorted(MOVES))
def test_attribute_read_where_it_is_now(ns, move):
    # The attributes of an ordinary instance are read where the class's
    # instances keep them, once a read has found them there; one that has
    # moved since, or changed in a dictionary that took them over, is read
    # where it is now.
    moved, error = MOVES[move]
    ns.MetaSource, switch = plain_meta_source(moved)
    assert run(ns, SOURCE_TEST) is None
    switch.append(True)
    fails(ns, SOURCE_TEST, error, assertion(SOURCE_TEST[1], "id"))


def other_to_dict(obj):
    return lambda: {"id": "node-2", "source_key": obj.source_key}


SHADOWS = {
    "attribute": lambda obj: setattr(obj, "to_dict", other_to_dict(obj)),
    "dict written": lambda obj: vars(obj).update(to_dict=other_to_dict(obj)),
}


@pytest.mark.parametrize("shadow", sorted(SHADOWS))
def test_method_shadowed_by_the_instance(ns, shadow):
    # A method is taken from the class while the instance is known to have
    # no attribute of that name; one given such an attribute, in any way, is
    # called by it. Twice: first the name is new to the class's instances,
    # then it is one they share.
    ns.MetaSource, switch = plain_meta_source(SHADOWS[shadow])
    test = TEST["test_to_dict_returns_dict_with_id"]
    for _ in range(2):
        assert run(ns, test) is None
        switch.append(True)
        fails(ns, test, AssertionError, assertion(test[1], "id"))
        switch.clear()


# ---- cycles and weak references ----------------------------------------------------------

@pytest.fixture
def method(mod):
    method = mod.TestMeta.__dict__["test_to_dict_has_required_keys"]
    original = method.__dict__
    saved = dict(original)
    yield method
    original.clear()
    original.update(saved)
    method.__dict__ = original


def test_method_shows_the_collector_what_it_holds(method):
    assert gc.is_tracked(method)
    # Asked for first: the last two are made when first asked for.
    holds = (method.__globals__, method.__code__, method.__dict__)
    referents = gc.get_referents(method)
    for held in holds:
        assert any(r is held for r in referents)


def test_cycle_through_a_method_and_a_class_made_with_it(mod, method):
    cls = type("Holder", (), {"check": method})
    method.__dict__["owner"] = cls  # class -> method -> its __dict__ -> class
    alive = weakref.ref(cls)
    del cls
    gc.collect()
    assert alive() is not None  # the method is still reachable, and so is the class
    assert alive()().check() is None
    del method.__dict__["owner"]
    gc.collect()
    assert alive() is None


def test_cycle_through_a_bound_method_is_collected(mod):
    inst = mod.TestMetaModule()
    inst.again = inst.test_to_dict  # instance -> bound method -> instance
    inst.again()
    alive = weakref.ref(inst)
    bound = weakref.WeakMethod(inst.test_to_dict)
    del inst
    gc.collect()
    assert alive() is None and bound() is None


def test_weak_reference_to_a_method_outlives_its_holder_class(mod, method):
    ref = weakref.ref(method)
    cls = type("Holder", (), {"check": method})
    assert cls().check() is None
    del cls
    gc.collect()
    assert ref() is method and ref()(mod.TestMeta()) is None


def test_weak_references_at_interpreter_exit():
    code = f"""
        import gc, sys, weakref
        sys.path.insert(0, {str(ROOT)!r})
        import {MODULE} as mod
        seen = []
        keep = [weakref.ref(getattr(getattr(mod, c), m), seen.append) for c, m in {TESTS!r}]
        inst = mod.TestMeta()
        bound = weakref.WeakMethod(inst.test_to_dict_has_required_keys, lambda r: print("bound gone"))
        mod.TestMeta.test_to_dict_has_required_keys.__dict__["cycle"] = mod.TestMeta
        del inst
        gc.collect()
        print("exiting")
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["bound", "gone", "exiting"]


# ---- many runs, many threads, many workers ---------------------------------------------------

@pytest.mark.parametrize("test", TESTS, ids=[t[1] for t in TESTS])
def test_hundred_thousand_runs_keep_memory_flat(mod, test):
    bound = getattr(getattr(mod, test[0])(), test[1])
    for _ in range(1000):
        bound()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(100_000):
        bound()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def test_tests_from_many_threads(ns):
    # A finalizer and a Python-level stand-in make the threads switch inside
    # the tests, in the middle of their reads and calls.
    real = ns.MetaSource

    def make(**kwargs):
        obj = real(**kwargs)
        obj.hostile = OnDelete(lambda: None)
        return obj

    ns.MetaSource = make
    failures = []

    def worker():
        for _ in range(300):
            for test in TESTS:
                exc = run(ns, test)
                if exc is not None:
                    failures.append((test, exc))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures


# Daemon threads that are inside the module when the interpreter ends them: at
# exit a thread that wants the interpreter lock back is unwound where it
# stands, through the frames of the module, which must let that pass. The
# callee sleeps, giving the lock away in the middle of a test (or of the module
# body) so that the threads are inside it whenever the main thread exits.
INSIDE_AT_EXIT = {
    "tests": """
        import {module} as mod
        class MetaSource(mod.MetaSource):
            def __init__(self, *args, **kwargs):
                time.sleep(0)
                super().__init__(*args, **kwargs)
        mod.MetaSource = MetaSource
        def loop(test):
            while True:
                test()
        for test in (mod.TestMetaSource().test_init_with_node_sets_fields,
                     mod.TestMetaSource().test_update_ignores_none_values):
            threading.Thread(target=loop, args=(test,), daemon=True).start()
    """,
    "module body": """
        import importlib.abc, importlib.machinery
        class Endless(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == "zeto_sdk.redis.zeto_data":
                    return importlib.machinery.ModuleSpec(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                while True:
                    time.sleep(0)
        sys.meta_path.insert(0, Endless())
        threading.Thread(target=lambda: __import__("{module}"), daemon=True).start()
    """,
}


@pytest.mark.parametrize("where", list(INSIDE_AT_EXIT))
def test_daemon_threads_inside_the_module_at_exit(where):
    code = textwrap.dedent(f"""
        import sys, threading, time
        sys.path.insert(0, {str(ROOT)!r})
    """) + textwrap.dedent(INSIDE_AT_EXIT[where].format(module=MODULE)) + "time.sleep(0.05)\nprint('exiting')\n"
    for _ in range(5):
        done = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60)
        assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr


def test_suite_under_pytest_xdist():
    pytest.importorskip("xdist")
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-n", "2", "-q",
                           "--zeto-stand-in", "tests/unit"],
                          cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"{len(TESTS)} passed" in done.stdout


# ---- one interpreter per process -------------------------------------------------------------------

def test_second_interpreter_cannot_load_the_module(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "sub.txt"
    inner = f"""
import sys
sys.path.insert(0, {str(ROOT)!r})
try:
    import {MODULE}
except ImportError as exc:
    text = "ImportError: " + str(exc)
else:
    text = "imported"
with open({str(out)!r}, "w") as f:
    f.write(text)
"""
    outer = f"""
import sys, _testcapi
sys.path.insert(0, {str(ROOT)!r})
import {MODULE} as mod
rc = _testcapi.run_in_subinterp({inner!r})
mod.TestMetaModule().test_to_dict()
print(rc)
"""
    done = subprocess.run([sys.executable, "-c", outer], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert out.read_text() == ("ImportError: Interpreter change detected - this module can only be loaded "
                               "into one interpreter per process.")
