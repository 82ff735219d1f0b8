"""Reference-leak check of the compiled test module, run by a debug interpreter.

    PYTHONPATH=<project root> python3-dbg checks/leaks/refcounts.py

Each test of the listing is run against a stand-in of the module under test
whose every operation (construction, method call, attribute read, ``==``,
``<=``, truth test, item access, membership test, and the ``json`` calls of
the parse test) can be told to behave, to give a wrong value or to raise.
The operations each test performs, and the line of the listing each is
reached at, are recorded from a passing run of the listing; every such
operation gets a "raise" and a "wrong" behaviour, every item access and
membership test a "missing key" one; values come as objects with their own
comparisons or as plain built-in values, results as dict subclasses or exact
dicts, classes as callables or as real classes (own, inherited or non-function
``__init__``, abstract); the first callee of each test also recurses without
end or breaks the calling convention (returns NULL without an exception, or a
value with one: the C helper of checks/capi_null); every global a test reads
gets a "missing" behaviour, and the methods are also called in the wrong ways.  For each (behaviour,
test) pair:

* the outcome (passed, or exception type and line of the failure record) must
  be the one the interpreted copy of the suite gives for the same behaviour;
  an injected exception must leave at the line of its operation;
* the test is run N and 2N times; the total reference count may grow by the
  same constant both times (caches), but not with the number of runs.

Failed imports of the test module, followed by a good one, are checked the
same way in a fresh interpreter (``--imports``), and so are loads failed at
each allocation in turn (``--allocation-failures``), whose failure records
must name the listing's statement that was being run.  A deliberate leak is run
through the same measurement first, to show that it catches one.

Exits non-zero on any leak, wrong outcome or crash.
"""

import functools
import gc
import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import json as real_json
import runpy
import subprocess
import sys
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "checks"))
from listing import LISTING, PATH  # noqa: E402
from recursion import endless_recursion_unbounded  # noqa: E402
MODULE = "tests.unit.test_zeto_data"
SDK = LISTING.sdk_module
SDK_NAMES = LISTING.sdk_names
TESTS = LISTING.tests
ROUNDS = 30          # N; every pair is measured over N and 2N runs
TOLERANCE = 2        # allowed difference of growth between 2N and N runs
# From 3.14 on the interpreter's own import system keeps a little more at
# each failed import, for the first several hundred and then less and less,
# whatever the module (a plain Python one, an extension that only fails):
# failed imports are measured after a warm-up, as the least growth of a few
# measurements, which a leak of even one reference per import never gets
# below. A single failed load cannot be measured apart from that at all.
WARM_IMPORTS = 300
IMPORT_MEASUREMENTS = 5
SINGLE_LOADS_JUDGED = sys.version_info < (3, 14)

if not hasattr(sys, "gettotalrefcount"):
    sys.exit("refcounts.py needs a debug build of the interpreter (sys.gettotalrefcount)")


# ---- the instrumented stand-in of the module under test ---------------------------

class Injected(Exception):
    """The exception a "raise" behaviour throws; its argument names the operation."""


PLAN = {}        # operation -> "raise" | "wrong" | "missing" | "leak"
COUNTS = {}      # operation name -> times reached in the current run
TRACE = None     # list of operations reached, while recording
LINES = {}       # operation -> line of the listing it was reached at, while recording the listing
LEAKED = []      # where the deliberate leak puts its objects
WRONG = "<wrong value>"


def hit(name):
    """Reach operation `name`; True when it must give a wrong value.

    The second and later times one name is reached in a run it is a separate
    operation, "name#2" and so on.
    """
    n = COUNTS.get(name, 0) + 1
    COUNTS[name] = n
    op = name if n == 1 else f"{name}#{n}"
    if TRACE is not None:
        TRACE.append(op)
        frame = sys._getframe(1)
        while frame is not None and frame.f_code.co_filename != str(PATH):
            frame = frame.f_back
        if frame is not None:
            LINES[op] = frame.f_lineno
    how = PLAN.get(op)
    if how is None:
        return False
    if how == "raise":
        raise Injected(op)
    if how == "leak":
        LEAKED.append(object())
        return False
    return True


class Res:
    """Result of a comparison, whose truth test is an operation. Once told
    to test false it stays false, however often it is asked."""

    __slots__ = ("site", "flag")

    def __init__(self, site, flag):
        self.site, self.flag = site, flag

    def __bool__(self):
        if hit(self.site + " bool"):
            self.flag = False
        return self.flag


class Val:
    """A value from the module under test; its == and <= are operations."""

    __slots__ = ("site", "value")
    __hash__ = None

    def __init__(self, site, value):
        self.site, self.value = site, value

    def _compare(self, other, symbol, compare):
        site = f"{self.site} {symbol}"
        if hit(site):
            return False
        return Res(site, compare(self.value, other.value if isinstance(other, Val) else other))

    def __eq__(self, other):
        return self._compare(other, "==", lambda a, b: a == b)

    def __le__(self, other):
        return self._compare(other, "<=", lambda a, b: a <= b)


# How values and dictionaries are handed out: as Val objects or as the plain
# built-in values (which the compiled tests may compare without a call), and
# as dict subclasses or exact dicts (looked up without a call).
MODE = {"plain": False, "exact": False}


def value(site, good):
    """What an attribute read or item access hands out: `None` itself (the
    tests check it by identity), else the value; a wrong value differs from both."""
    if good is None or MODE["plain"]:
        return good
    return Val(site, good)


def wrong_value(site, good):
    if good is None:
        return 0
    return WRONG if MODE["plain"] else Val(site, WRONG)


def make_dict(site, items):
    """A result dictionary. A key whose item access or membership test is
    planned as "missing" is left out."""
    items = {k: v for k, v in items.items()
             if PLAN.get(f"{site}[{k!r}]") != "missing" and PLAN.get(f"{site} contains {k!r}") != "missing"}
    if MODE["exact"]:
        return {k: value(f"{site}[{k!r}]", v) for k, v in items.items()}
    return FakeDict(site, items)


class FakeDict(dict):
    """A dict subclass: item access and membership go through its methods."""

    def __init__(self, site, items):
        super().__init__(items)
        self.site = site

    def __getitem__(self, key):
        site = f"{self.site}[{key!r}]"
        good = dict.__getitem__(self, key)
        return wrong_value(site, good) if hit(site) else value(site, good)

    def __contains__(self, key):
        if hit(f"{self.site} contains {key!r}"):
            return False
        return dict.__contains__(self, key)


class Method:
    """A callable of the module under test (a class, a method, the clock);
    calling it is an operation."""

    __slots__ = ("site", "fn")

    def __init__(self, site, fn):
        self.site, self.fn = site, fn

    def __call__(self, *args, **kwargs):
        if hit(self.site + "()"):
            return object()
        return self.fn(*args, **kwargs)


class Record:
    """An object of the module under test. Every attribute read is an
    operation; the fields are kept aside so that each read reaches __getattr__."""

    __slots__ = ("_kind", "_fields")

    def __init__(self, kind, fields):
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_fields", fields)

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        site = f"{object.__getattribute__(self, '_kind')}.{name}"
        good = fields[name]
        wrong = hit(site)
        if callable(good):
            return None if wrong else Method(site, good)
        return wrong_value(site, good) if wrong else value(site, good)


def node_entry(node, key):
    return None if node is None else node.get(key)


def make_meta_source(src_node=None, src_output_port=None):
    fields = {
        "id": node_entry(src_node, "id"), "type": node_entry(src_node, "type"),
        "name": node_entry(src_node, "name"), "output_port_idx": src_output_port, "frame_id": None,
    }
    fields["source_key"] = (None if fields["id"] is None or src_output_port is None
                            else f"{fields['id']}_{src_output_port}")

    def update(values):
        for key, v in values.items():
            if v is not None:
                fields[key] = v

    def to_dict():
        return make_dict("MetaSource.to_dict()", {k: v for k, v in fields.items() if not callable(v)})

    fields.update(update=update, to_dict=to_dict)
    return Record("MetaSource", fields)


def make_meta_module(cur_node=None, feed_port_idx=None):
    fields = {"id": node_entry(cur_node, "id"), "type": node_entry(cur_node, "type"),
              "feed_port_idx": feed_port_idx}
    fields["to_dict"] = lambda: make_dict("MetaModule.to_dict()", {"id": fields["id"]})
    return Record("MetaModule", fields)


def meta_dict():
    return {"ts": 2.0, "source": {}, "module": {}, "frame_format": {}}


def make_meta(cur_node=None, feed_idx=None, src_node=None, src_port=None, src_name=None):
    return Record("Meta", {"ts": 2.0, "to_dict": lambda: make_dict("Meta.to_dict()", meta_dict())})


def make_zeto_data(feed_idx=None, cur_node=None, src_node=None, src_port=None):
    def create_zeto_data(frame=None, result=None):
        return make_dict("payload", {"meta": meta_dict(), "frame": frame,
                                    "result": [] if result is None else result})

    def parse_zeto_data(raw, version=1):
        data = real_json.loads(raw)
        return make_dict("parsed", {"meta": meta_dict(), "frame": data["frame"], "result": data["result"]})

    return Record("ZetoData", {"create_zeto_data": create_zeto_data, "parse_zeto_data": parse_zeto_data})


class FakeClock:
    """Stands in for the module `time`: time.time() gives 1.0, then 3.0."""

    def __getattr__(self, name):
        if hit(f"time.{name}"):
            return None
        n = COUNTS.get("time.time()", 0)
        return Method("time.time", lambda: value("clock", 1.0 + 2.0 * n))


class FakeText:
    """What json.dumps gives: its `encode` is an operation."""

    def __init__(self, text):
        self.text = text

    def __getattr__(self, name):
        if hit(f"text.{name}"):
            return None
        return Method("text.encode", self.text.encode)


class FakeJson(types.ModuleType):
    """Stands in for the module `json` in sys.modules."""

    def __getattr__(self, name):
        if hit(f"json.{name}"):
            return None
        return Method("json.dumps", lambda obj: FakeText(real_json.dumps(obj)))


FAKES = {
    "MetaSource": Method("MetaSource", make_meta_source),
    "MetaModule": Method("MetaModule", make_meta_module),
    "Meta": Method("Meta", make_meta),
    "ZetoData": Method("ZetoData", make_zeto_data),
    "time": FakeClock(),
}


class BoundInit:
    """An __init__ that is not a function: a descriptor binding a callable."""

    def __init__(self, fn):
        self.fn = fn

    def __get__(self, obj, cls=None):
        return functools.partial(self.fn, obj)


def record_class(kind, make, style):
    """The class `kind` as a real class whose construction is an operation;
    "wrong" makes its __init__ return a value. `style` says where __init__
    comes from: "function" (its own), "inherited" (a base class's),
    "descriptor" (a non-function), "abstract" (its own, on an abstract class)."""

    def __init__(self, *args, **kwargs):
        if hit(kind + "()"):
            return 1
        made = make(*args, **kwargs)
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_fields", object.__getattribute__(made, "_fields"))

    init = BoundInit(__init__) if style == "descriptor" else __init__
    if style == "inherited":
        base = type(kind + "Base", (Record,), {"__slots__": (), "__init__": init})
        return type(kind, (base,), {"__slots__": ()})
    cls = type(kind, (Record,), {"__slots__": (), "__init__": init})
    if style == "abstract":
        cls.__abstractmethods__ = frozenset({"missing"})
    return cls


CLASS_STYLES = ("function", "inherited", "descriptor", "abstract")
CLASS_FAKES = {
    style: {kind: record_class(kind, make, style)
            for kind, make in (("MetaSource", make_meta_source), ("MetaModule", make_meta_module),
                               ("Meta", make_meta), ("ZetoData", make_zeto_data))}
    for style in CLASS_STYLES
}


# ---- what each test does ------------------------------------------------------------

def globals_read(test):
    """The names of the module body that ``test`` reads."""
    return [name for _, name in LISTING.method(test[1]).global_reads(LISTING.module_names())]


# Ways of calling a method: (name, call). The first three are right.
CALL_FORMS = [
    ("bound", lambda cls, name, inst: getattr(inst, name)()),
    ("through class", lambda cls, name, inst: getattr(cls, name)(inst)),
    ("self by keyword", lambda cls, name, inst: getattr(cls, name)(self=inst)),
    ("extra positional", lambda cls, name, inst: getattr(inst, name)(1)),
    ("unknown keyword", lambda cls, name, inst: getattr(inst, name)(x=1)),
    ("self twice", lambda cls, name, inst: getattr(inst, name)(self=inst)),
    ("no self", lambda cls, name, inst: getattr(cls, name)()),
]


# ---- running a behaviour ------------------------------------------------------------

def load_suites():
    compiled = importlib.import_module(MODULE)
    spec = importlib.util.spec_from_file_location("interpreted_suite", str(PATH))
    interpreted = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(interpreted)
    return compiled, interpreted


class Behaviour:
    """How the module under test behaves for one run: which fakes stand in
    the test module's namespace, which globals are missing, what `import
    json` finds ("fake", "real" or "blocked"), the plan, the call form."""

    def __init__(self, label, plan=None, fakes=True, missing=(), json="fake", form=CALL_FORMS[0],
                 plain=False, exact=False, classes=None, broken=None, expect=None):
        self.label, self.plan, self.fakes, self.missing = label, plan or {}, fakes, missing
        self.json, self.form, self.mode = json, form, {"plain": plain, "exact": exact}
        self.classes, self.broken, self.expect = classes, broken, expect

    def runner(self, module, test):
        """A function that runs `test` once, and one that undoes the set-up."""
        cls_name, method = test
        cls = getattr(module, cls_name)
        inst = cls()
        names = (list(FAKES) if self.fakes else []) + list(self.missing)
        missing = object()
        saved = {name: module.__dict__.get(name, missing) for name in names}
        if self.fakes:
            module.__dict__.update(FAKES)
            if self.classes:
                module.__dict__.update(CLASS_FAKES[self.classes])
            if self.broken:
                module.__dict__.update(self.broken)
        for name in self.missing:
            module.__dict__.pop(name, None)
        saved_json = sys.modules.get("json")
        sys.modules["json"] = {"fake": FakeJson("json"), "real": real_json, "blocked": None}[self.json]
        PLAN.clear()
        PLAN.update(self.plan)
        MODE.update(self.mode)
        form = self.form[1]

        def run():
            COUNTS.clear()
            form(cls, method, inst)

        def undo():
            PLAN.clear()
            MODE.update(plain=False, exact=False)
            sys.modules["json"] = saved_json
            for name, old in saved.items():
                if old is missing:
                    module.__dict__.pop(name, None)
                else:
                    module.__dict__[name] = old

        return run, undo


def outcome(run, compiled):
    """None when the run passes, else (exception type, line of the failure
    record, message): the first traceback entry below this script's frames."""
    try:
        run()
    except Exception as exc:  # noqa: BLE001 - any failure is an outcome
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_filename == __file__:
            tb = tb.tb_next
        line = None
        if tb is not None:
            code = tb.tb_frame.f_code
            if compiled and not (code.co_filename == "tests/unit/test_zeto_data.py"
                                 and code.co_name.startswith(MODULE + ".")):
                raise AssertionError(f"unexpected first traceback entry {code.co_name} {code.co_filename}")
            line = tb.tb_lineno
        return type(exc).__name__, line, str(exc)
    return None


def growth(run, n):
    settle()
    before = sys.gettotalrefcount()
    for _ in range(n):
        try:
            run()
        except Exception:  # noqa: BLE001
            pass
    settle()
    return sys.gettotalrefcount() - before


def leak_of(run, rounds=ROUNDS, warm=5):
    for _ in range(warm):  # warm up caches
        try:
            run()
        except Exception:  # noqa: BLE001
            pass
    return growth(run, 2 * rounds) - growth(run, rounds)


def record_trace(behaviour, module, test):
    global TRACE
    run, undo = behaviour.runner(module, test)
    TRACE = []
    try:
        run()
        return TRACE
    finally:
        TRACE = None
        undo()


def operations(interpreted, test):
    """[(line, operation)] of a passing run of the listing's ``test``: what it
    reaches, in order, and the line of the listing it reaches each at."""
    LINES.clear()
    return [(LINES[op], op) for op in record_trace(Behaviour("trace"), interpreted, test)]


def is_lookup(op):
    """An item access or membership test of a result dictionary."""
    return op.endswith("]") or " contains " in op


def is_comparison(op):
    return op.endswith((" ==", " <=", " bool"))


MODES = {  # label -> (plain, exact, operations of the table reached in that mode)
    "": (False, False, lambda op: True),
    "plain values, ": (True, False, lambda op: not is_comparison(op)),
    "exact dicts, ": (False, True, lambda op: not is_lookup(op)),
    "plain values in exact dicts, ": (True, True, lambda op: not is_lookup(op) and not is_comparison(op)),
}


def endless(*args, **kwargs):
    return endless(*args, **kwargs)


def behaviours_for(test, table):
    yield Behaviour("bundled SDK", fakes=False, json="real")
    for mode, (plain, exact, reached) in MODES.items():
        yield Behaviour(f"{mode}passing", plain=plain, exact=exact)
        for line, op in table:
            if not mode:
                yield Behaviour(f"raise at {op}", {op: "raise"})
            if reached(op) and not is_comparison(op) or not mode:
                yield Behaviour(f"{mode}wrong at {op}", {op: "wrong"}, plain=plain, exact=exact)
            if is_lookup(op):
                yield Behaviour(f"{mode}missing key at {op}", {op: "missing"}, plain=plain, exact=exact)
    for style in CLASS_STYLES:
        if style == "abstract":
            yield Behaviour("abstract classes", classes=style)
            continue
        yield Behaviour(f"classes with {style} __init__, passing", classes=style)
        for line, op in table:
            if op.endswith("()") and op[:-2] in CLASS_FAKES[style]:
                yield Behaviour(f"classes with {style} __init__, raise at {op}", {op: "raise"}, classes=style)
                yield Behaviour(f"classes with {style} __init__, wrong at {op}", {op: "wrong"}, classes=style)
    for name in globals_read(test):
        yield Behaviour(f"missing {name}", missing=(name,))
    if test[1] == "test_parse_bytes_payload":
        yield Behaviour("json not importable", json="blocked")
    for line, op in table[:1] + [entry for entry in table if entry[1] == "time.time()"]:
        name = op[:-2].split(".")[0]

        def wrap(callee, name=name):
            return types.SimpleNamespace(time=callee) if name == "time" else callee

        if not endless_recursion_unbounded():
            yield Behaviour(f"endless recursion at {op}", broken={name: wrap(endless)})
        for kind in ("NullCall", "NullVectorcall", "ValueWithError") if CAPI_NULL else ():
            yield Behaviour(f"broken callee at {op}: {kind}", broken={name: wrap(getattr(CAPI_NULL, kind)())},
                            expect=("SystemError", line))
    for form in CALL_FORMS[1:]:
        yield Behaviour(f"call {form[0]}", form=form)


def check_pairs(compiled, interpreted):
    pairs = leaked = 0
    problems = []
    kinds = {}
    for test in TESTS:
        table = operations(interpreted, test)
        # In each mode both modules reach what a passing run of the listing
        # reaches, in order.
        for mode, (plain, exact, reached) in MODES.items():
            expected = [op for _, op in table if reached(op)]
            for module in (compiled, interpreted):
                trace = record_trace(Behaviour("trace", plain=plain, exact=exact), module, test)
                if trace != expected:
                    problems.append(f"{test} {mode}: {module.__name__} reaches {trace}, the listing {expected}")
        lines = {op: line for line, op in table}
        for behaviour in behaviours_for(test, table):
            results = []
            # A debug interpreter treats a broken callee as a fatal error: such
            # a behaviour states the outcome expected of the compiled test.
            for module in (compiled,) if behaviour.expect else (compiled, interpreted):
                run, undo = behaviour.runner(module, test)
                try:
                    results.append(outcome(run, module is compiled))
                    if module is compiled:
                        leak = leak_of(run)
                finally:
                    undo()
            pairs += 1
            if behaviour.expect:
                results.append(behaviour.expect)
            got, want = results
            kind = got[0] if got else "passed"
            kinds[kind] = kinds.get(kind, 0) + 1
            where = f"{test[0]}.{test[1]} / {behaviour.label}"
            if leak > TOLERANCE:
                leaked += 1
                problems.append(f"LEAK {where}: {leak} references per {ROUNDS} runs")
            if behaviour.label.startswith("endless "):
                got, want = got and got[:2], want and want[:2]
            if behaviour.label.startswith("call "):
                # Argument errors are raised before a Python frame exists, and
                # word their message differently: compare the type only.
                got, want = got and got[0], want and want[0]
            elif behaviour.expect:
                got = got and got[:2]
            if got != want:
                problems.append(f"OUTCOME {where}: compiled {got}, interpreted {want}")
            op = next(iter(behaviour.plan), None)
            if behaviour.plan.get(op) == "raise" and (not got or got[:2] != ("Injected", lines[op])):
                problems.append(f"OUTCOME {where}: injected exception left as {got}, expected line {lines[op]}")
    print("outcomes:", ", ".join(f"{kind} {n}" for kind, n in sorted(kinds.items(), key=lambda kv: -kv[1])))
    return pairs, leaked, problems


def check_teeth(compiled):
    """The measurement must catch a fake that keeps one object per run."""
    test = ("TestMetaSource", "test_init_with_node_sets_fields")
    run, undo = Behaviour("leaking", {"MetaSource.id": "leak"}).runner(compiled, test)
    try:
        leak = leak_of(run)
    finally:
        undo()
        LEAKED.clear()
    return leak


# ---- failed imports -------------------------------------------------------------------

class BrokenFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Serves a module under test whose body raises."""

    def find_spec(self, name, path, target=None):
        if name == SDK:
            return importlib.machinery.ModuleSpec(name, self)
        return None

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        raise ValueError("the module under test is broken")


class GuardedModule(types.ModuleType):
    """A module under test whose attribute MetaModule cannot be read."""

    def __getattribute__(self, name):
        if name == "MetaModule":
            raise RuntimeError("no MetaModule here")
        return super().__getattribute__(name)


def import_variants():
    import zeto_sdk.redis.zeto_data as good

    def without_frame_format():
        fake = types.ModuleType(SDK)
        for name in SDK_NAMES:
            if name != "MetaFrameFormat":
                setattr(fake, name, getattr(good, name))
        return fake

    def guarded():
        fake = GuardedModule(SDK)
        for name in SDK_NAMES:
            setattr(fake, name, getattr(good, name))
        return fake

    # name -> (sys.modules entries to put in place, meta path finder, expected message part, line)
    sdk_line, time_line = LISTING.binding(SDK_NAMES[0]).line, LISTING.binding("time").line
    return {
        "module under test missing": ({SDK: None}, None, "halted; None in sys.modules", sdk_line),
        "module under test raises": ({}, BrokenFinder(), "the module under test is broken", sdk_line),
        "a name missing": ({SDK: without_frame_format()}, None, "cannot import name MetaFrameFormat", sdk_line),
        "a name unreadable": ({SDK: guarded()}, None, "cannot import name MetaModule", sdk_line),
        "time missing": ({"time": None}, None, "halted; None in sys.modules", time_line),
    }


def failing_import(entries, finder):
    saved = {name: sys.modules.pop(name, None) for name in entries}
    sys.modules.update(entries)
    if finder is not None:
        saved.setdefault(SDK, sys.modules.pop(SDK, None))
        sys.meta_path.insert(0, finder)
    try:
        importlib.import_module(MODULE)
    except ImportError as exc:
        return exc
    except Exception as exc:  # noqa: BLE001 - the body's own exception passes out
        return exc
    finally:
        if finder is not None:
            sys.meta_path.remove(finder)
        for name, old in saved.items():
            if old is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = old
    raise AssertionError("the import did not fail")


def check_imports():
    """Run in a fresh interpreter: failed imports leak nothing, and the import
    after them runs the module body from the start."""
    problems = []
    rounds = 20
    for label, (entries, finder, message, line) in import_variants().items():
        exc = failing_import(entries, finder)
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_name != "init " + MODULE:
            tb = tb.tb_next
        if message not in str(exc) or tb is None or tb.tb_lineno != line:
            problems.append(f"OUTCOME import, {label}: {type(exc).__name__}: {exc} "
                            f"(record line {tb and tb.tb_lineno}, expected {line})")
        if MODULE in sys.modules:
            problems.append(f"OUTCOME import, {label}: the failed module stays in sys.modules")
        del exc, tb

        def run(entries=entries, finder=finder):
            failing_import(entries, finder)

        leak = leak_of(run, rounds, warm=WARM_IMPORTS)
        leak = min([leak] + [leak_of(run, rounds, warm=0) for _ in range(IMPORT_MEASUREMENTS - 1)])
        print(f"  import, {label}: growth difference {leak} over {rounds} imports")
        if leak > TOLERANCE:
            problems.append(f"LEAK import, {label}: {leak} references per {rounds} imports")

    # A leaking import is caught too.
    def leaking(entries={SDK: None}):
        LEAKED.append(object())
        failing_import(entries, None)
    teeth = leak_of(leaking, rounds)
    LEAKED.clear()
    if teeth <= TOLERANCE:
        problems.append(f"the measurement missed a deliberate import leak ({teeth})")

    module = importlib.import_module(MODULE)
    names = LISTING.module_names()
    missing = [n for n in names if n not in module.__dict__]
    if missing:
        problems.append(f"the good import after failed ones lacks {missing}")
    for cls_name, method in TESTS:
        cls = getattr(module, cls_name)
        try:
            getattr(cls(), method)()
        except Exception as exc:  # noqa: BLE001
            problems.append(f"after failed imports, {cls_name}.{method} fails: {exc!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


# ---- allocation failures during the import ----------------------------------------------

def settle():
    """Collects garbage and empties the interpreter's type-attribute cache,
    which on some versions holds the names it last looked up: which entries
    survive depends on what else was imported, not on the module."""
    gc.collect()
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()


def load_after_failure(spec, point):
    """Loads the module by its create and execute slots, as the import system
    calls them, after one load failed at its ``point``-th allocation (none
    for 0; for -1 a load expected to fail by itself); returns what the total
    reference count grew by, the line of the failed load's record (and, as
    "record", that line followed by the names the module body had bound), and
    the tests that do not pass afterwards. None when the load did not fail at
    that point, for it needs fewer."""
    import _imp
    import _testcapi

    def load():
        _imp.exec_dynamic(_imp.create_dynamic(spec))

    settle()
    before = sys.gettotalrefcount()
    line = record = None
    if point:
        time_module = sys.modules["time"]
        if point > 0:
            _testcapi.set_nomemory(point, point + 1)
        else:
            sys.modules["time"] = None
        try:
            load()
        except Exception as exc:  # noqa: BLE001 - MemoryError, or what handling it raised
            tb = exc.__traceback__
            while tb is not None and not tb.tb_frame.f_code.co_name.startswith("init "):
                tb = tb.tb_next
            line = f"{type(exc).__name__} at line {tb.tb_lineno}" if tb else type(exc).__name__
            if tb:
                # One new object, as "line name name ...", as for any failed load.
                record = " ".join([str(tb.tb_lineno), *(k for k in tb.tb_frame.f_globals if not k.startswith("__"))])
            del exc, tb
            sys.modules.pop(MODULE, None)  # as the import system does
        else:
            return None
        finally:
            _testcapi.remove_mem_hooks()
            sys.modules["time"] = time_module
    load()
    module = importlib.import_module(MODULE)
    broken = []
    for cls_name, method in TESTS:
        try:
            getattr(getattr(module, cls_name)(), method)()
        except Exception as exc:  # noqa: BLE001
            broken.append(f"{cls_name}.{method}: {exc!r}")
    del module
    settle()
    return {"growth": sys.gettotalrefcount() - before, "line": line, "record": record, "broken": broken}


def body_statement(bound):
    """The statement of the listing's module body that a load with ``bound``
    bound was running, and the lines a failure in it is recorded at: its own,
    and for a class statement those of its def statements too. Before the
    first statement (the module's preparations) and after the last (its
    ``__test__``), the line of the first statement."""
    first = LISTING.module_statements[0][0]
    for statement, names in LISTING.module_statements:
        if any(name not in bound for name in names):
            lines = {statement.line} | {m.first_line for m in LISTING.classes.get(names[0], (0, []))[1]}
            return statement, lines | ({first.line} if not bound else set())
    return first, {first.line}


def in_child(f, *args):
    """f(*args) in a forked copy of this interpreter: its JSON-able result."""
    import os
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            data = real_json.dumps(f(*args)).encode()
        except BaseException as exc:  # noqa: BLE001 - reported to the parent
            data = real_json.dumps({"crash": repr(exc)}).encode()
        with os.fdopen(write, "wb") as out:
            out.write(data)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as inp:
        data = inp.read()
    _, status = os.waitpid(pid, 0)
    if status != 0 or not data:
        return {"crash": f"exit status {status}"}
    return real_json.loads(data)


def check_allocation_failures():
    """Run in a fresh interpreter. Each allocation of the module's load is
    failed in turn, each time in a fresh copy of the interpreter (forked
    before the module was ever loaded), and the module loaded again: the
    second load succeeds, every test passes, and the references held
    afterwards are those of a load that succeeded at once, and of the failure
    record that the failed load kept for its line."""
    import zeto_sdk.redis.zeto_data  # noqa: F401 - loaded before the copies are made

    spec = importlib.util.find_spec(MODULE)
    clean = in_child(load_after_failure, spec, 0)
    # What a failure record of the module body costs: its empty code object is
    # made once per line and kept. A load failing by itself shows it.
    failing = in_child(load_after_failure, spec, -1)
    for run in (clean, failing):
        if "crash" in run or run["broken"]:
            print(f"FAIL: a plain load: {run}")
            return 1
    record = failing["growth"] - clean["growth"]
    problems = []
    point = passed = failed = 0
    while passed < 30:  # past the last allocation, every load passes
        point += 1
        result = in_child(load_after_failure, spec, point)
        if result is None:
            passed += 1
            continue
        passed = 0
        failed += 1
        where = f"allocation {point} ({result.get('line')})"
        if "crash" in result:
            problems.append(f"CRASH after a failure at {where}: {result['crash']}")
            continue
        leak = result["growth"] - clean["growth"] - (record if "line" in result["line"] else 0)
        if abs(leak) > TOLERANCE and SINGLE_LOADS_JUDGED:
            problems.append(f"LEAK after a failure at {where}: {leak:+} references")
        problems.extend(f"OUTCOME after a failure at {where}: {b}" for b in result["broken"])
        if result["record"]:
            line, *bound = result["record"].split()
            line = int(line)
            statement, lines = body_statement(bound)
            if line not in lines:
                problems.append(f"DRIFT after a failure at {where}: the module body had bound {bound}, so was "
                                f"running `{statement.text}`, listing line(s) {sorted(lines)}; the record says {line}")
    print(f"  loads failed at {failed} of {point - 30} allocations, each then loaded again "
          f"(a kept failure record: {record} references): {len(problems)} problems")
    if not SINGLE_LOADS_JUDGED:
        print(f"  (the growth after each failed load is not judged on Python {sys.version.split()[0]}: "
              f"its import system keeps more at a failed import by itself)")
    if failed < 100:
        problems.append(f"only {failed} loads failed: the allocation failures did not reach the module")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


# ---- main ------------------------------------------------------------------------------------

def load_capi_null():
    """The checks' helper extension with broken callables, built for this
    interpreter; None (and those behaviours left out) without a compiler."""
    build = runpy.run_path(str(ROOT / "checks" / "capi_null" / "build.py"))["build"]
    try:
        path = build(ROOT / "build" / "capi-null")
    except (OSError, subprocess.CalledProcessError) as err:
        print(f"no broken-callee behaviours: cannot build the helper ({err})")
        return None
    spec = importlib.util.spec_from_file_location("_capi_null", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


CAPI_NULL = None


def main():
    global CAPI_NULL
    if "--imports" in sys.argv:
        return check_imports()
    if "--allocation-failures" in sys.argv:
        return check_allocation_failures()
    CAPI_NULL = load_capi_null()

    compiled, interpreted = load_suites()
    if endless_recursion_unbounded():
        print(f"no endless-recursion behaviours: {endless_recursion_unbounded()}")
    teeth = check_teeth(compiled)
    print(f"deliberate leak (one object per run): growth difference {teeth} over {ROUNDS} runs")
    status = 0
    if teeth <= TOLERANCE:
        print("FAIL: the measurement does not catch a deliberate leak")
        status = 1

    pairs, leaked, problems = check_pairs(compiled, interpreted)
    for problem in problems:
        print(problem)
    print(f"(behaviour, test) pairs checked: {pairs}; leaked: {leaked}; other problems: {len(problems) - leaked}")
    if problems:
        status = 1

    print("failed imports, in a fresh interpreter:")
    done = subprocess.run([sys.executable, __file__, "--imports"], cwd=ROOT)
    if done.returncode != 0:
        print(f"FAIL: the import check exited with {done.returncode}")
        status = 1
    print("allocation failures during the import, in a fresh interpreter:")
    done = subprocess.run([sys.executable, __file__, "--allocation-failures"], cwd=ROOT)
    if done.returncode != 0:
        print(f"FAIL: the allocation-failure check exited with {done.returncode}")
        status = 1
    print("leak check:", "FAILED" if status else "passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
