"""The compiled module as a test runner sees it: its namespace, its classes,
the test-method objects (attributes, binding, calls, argument checking) and
the traceback record of a failure."""

import builtins
import copy
import ctypes
import gc
import inspect
import pickle
import time
import traceback
import warnings
import weakref

import pytest

import support
from support import LISTING, SOURCE, TESTS as ALL, World, compiled, failure_of
from zeto_sdk.redis import zeto_data as sdk

interpreted = support.interpreted()
METHODS = {cls: [m.name for m in methods] for cls, (_, methods) in LISTING.classes.items()}
IDS = [name for _, name in ALL]


# ---- the module namespace ---------------------------------------------------------------

def test_the_namespace_holds_the_imports_fixture_and_classes():
    # (Their order is checked on a fresh import, in test_import.py.)
    assert compiled.__name__ == support.MODULE and compiled.__doc__ == "Tests for zeto_sdk.redis.zeto_data"
    assert compiled.__builtins__ is builtins and compiled.time is time
    for name in LISTING.sdk_names:
        assert getattr(compiled, name) is getattr(sdk, name)
    assert type(compiled.__test__) is dict and compiled.__test__ == {}
    assert type(compiled.NODE) is dict
    assert list(compiled.NODE.items()) == [("id", "node-1"), ("type", "object-detection"), ("name", "OD Node")]


@pytest.mark.parametrize("cls", list(METHODS))
def test_classes_are_plain_classes_holding_only_their_tests(cls):
    made = getattr(compiled, cls)
    assert type(made) is type and made.__bases__ == (object,)
    assert (made.__name__, made.__qualname__, made.__module__, made.__doc__) == (cls, cls, support.MODULE, None)
    assert [k for k in vars(made) if not k.startswith("__")] == METHODS[cls]
    # The same entries, in the same order, as a class statement makes (but
    # for what newer class statements record of their source).
    source_only = {"__firstlineno__", "__static_attributes__"}
    assert list(vars(made)) == [k for k in vars(getattr(interpreted, cls)) if k not in source_only]
    assert made.__init__ is object.__init__
    made()


# ---- test-method objects ------------------------------------------------------------------

@pytest.mark.parametrize("cls, name", ALL, ids=IDS)
def test_method_attributes_and_code(cls, name):
    m = vars(getattr(compiled, cls))[name]
    assert (m.__name__, m.func_name, m.__qualname__, m.__module__) == (name, name, f"{cls}.{name}", support.MODULE)
    assert m.__doc__ is None and m.func_doc is None
    assert type(m.__dict__) is dict and m.func_dict is m.__dict__
    assert m.__globals__ is vars(compiled) and m.func_globals is m.__globals__
    assert m.__closure__ is None and m.func_closure is None
    assert m.__defaults__ is None and m.func_defaults is None and m.__kwdefaults__ is None
    assert m.__annotations__ == {} and m._is_coroutine is False
    assert not inspect.iscoroutinefunction(m) and str(inspect.signature(m)) == "(self)"
    # The code object describes the source as a def statement's would.
    code, source = m.__code__, vars(getattr(interpreted, cls))[name].__code__
    assert m.func_code is code and code.co_filename == SOURCE
    fields = ("co_name", "co_firstlineno", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount",
              "co_varnames", "co_nlocals", "co_freevars", "co_cellvars")
    fields = [f for f in fields if hasattr(source, f)]  # no positional-only arguments before 3.8
    assert [getattr(code, f) for f in fields] == [getattr(source, f) for f in fields]
    no_free = 0x40  # added by interpreters before 3.11 to code without free variables
    assert code.co_flags & ~no_free == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS


@pytest.fixture
def method():
    """TestMetaModule.test_to_dict, its writable attributes restored afterwards."""
    m = compiled.TestMetaModule.test_to_dict
    names = ("__name__", "__qualname__", "__doc__", "__module__", "__dict__", "__defaults__", "__kwdefaults__",
             "__annotations__")
    saved = {n: getattr(m, n) for n in names}
    yield m
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for n, v in saved.items():
            setattr(m, n, v)


@pytest.mark.parametrize("attr, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("func_name", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
])
def test_names_take_only_text(method, attr, message):
    setattr(method, attr, "renamed")
    assert getattr(method, attr) == "renamed"
    for bad in (None, b"renamed"):
        with pytest.raises(TypeError) as info:
            setattr(method, attr, bad)
        assert info.value.args == (message,)
    with pytest.raises(TypeError) as info:
        delattr(method, attr)
    assert info.value.args == (message,)
    assert getattr(method, attr) == "renamed"


@pytest.mark.parametrize("attr, alias", [("__doc__", "func_doc"), ("__module__", "__module__")])
def test_doc_and_module_take_any_value(method, attr, alias):
    for v in ("text", 3, None):
        setattr(method, attr, v)
        assert getattr(method, alias) == v


def test_the_attribute_dictionary(method):
    method.tag = 1
    assert method.__dict__ == {"tag": 1}
    replacement = {"other": 2}
    method.func_dict = replacement
    assert method.__dict__ is replacement and method.other == 2
    for bad in (None, []):
        with pytest.raises(TypeError) as info:
            method.__dict__ = bad
        assert info.value.args == ("setting function's dictionary to a non-dict",)
    with pytest.raises(TypeError) as info:
        del method.__dict__
    assert info.value.args == ("function's dictionary may not be deleted",)


@pytest.mark.parametrize("attr, accepted, rejected, message", [
    ("__defaults__", (1,), [], "__defaults__ must be set to a tuple object"),
    ("func_defaults", (), {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", {"self": 1}, (), "__kwdefaults__ must be set to a dict object"),
])
def test_defaults_are_kept_but_never_used(method, attr, accepted, rejected, message):
    with pytest.warns(RuntimeWarning):
        setattr(method, attr, accepted)
    assert getattr(method, attr) == accepted
    with pytest.raises(TypeError) as info:
        setattr(method, attr, rejected)
    assert info.value.args == (message,)
    assert getattr(method, attr) == accepted
    # Neither a default `self` nor anything else reaches a call.
    failure = failure_of(method)
    assert failure.exc.args == ("test_to_dict() takes exactly 1 positional argument (0 given)",)
    with pytest.warns(RuntimeWarning):
        delattr(method, attr)
    assert getattr(method, attr) is None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            setattr(method, attr, accepted)


def test_annotations(method):
    first = method.__annotations__
    assert method.__annotations__ is first
    method.__annotations__ = {"return": None}
    assert method.__annotations__ == {"return": None}
    with pytest.raises(TypeError) as info:
        method.__annotations__ = [("return", None)]
    assert info.value.args == ("__annotations__ must be set to a dict object",)
    for drop in (lambda: setattr(method, "__annotations__", None), lambda: delattr(method, "__annotations__")):
        drop()
        assert method.__annotations__ == {}


@pytest.mark.parametrize("attr", ["__globals__", "func_globals", "__closure__", "func_closure", "__code__",
                                  "func_code", "_is_coroutine"])
def test_read_only_attributes(method, attr):
    before = getattr(method, attr)
    with pytest.raises(AttributeError):
        setattr(method, attr, before)
    with pytest.raises(AttributeError):
        delattr(method, attr)
    assert getattr(method, attr) is before


def test_method_objects_cannot_be_made_from_python():
    kind = type(compiled.TestMeta.test_to_dict_has_required_keys)
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        object.__new__(kind)


@pytest.mark.parametrize("cls, name", ALL, ids=IDS)
def test_pickling_and_copying_go_by_reference(cls, name):
    m = getattr(compiled, cls).__dict__[name]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(m, protocol)) is m
    assert copy.copy(m) is m and copy.deepcopy(m) is m


def test_weak_references_and_garbage_collection(method):
    assert weakref.ref(method)() is method
    assert weakref.WeakValueDictionary({"m": method})["m"] is method
    assert gc.is_tracked(method)
    assert vars(compiled) in gc.get_referents(method) and method.__code__ in gc.get_referents(method)

    class Node:
        pass

    method.__dict__ = {}
    node = Node()
    node.method = method
    method.node = node
    assert method.__dict__ in gc.get_referents(method)
    gone = weakref.ref(node)
    del node
    method.__dict__ = {}
    gc.collect()
    assert gone() is None


# ---- binding and calling ------------------------------------------------------------------

def ran(call):
    """Whether ``call()`` returned None after building the MetaModule of
    test_init_without_node."""
    world = World()
    with world.installed(compiled):
        result = call()
    return result is None and world.log[:1] == [("call", "MetaModule", (), ())]


def test_binding_through_an_instance_and_the_class():
    cls = compiled.TestMetaModule
    instance = cls()
    m = vars(cls)["test_init_without_node"]
    bound = instance.test_init_without_node
    assert bound.__self__ is instance and bound.__func__ is m
    assert cls.test_init_without_node is m and m.__get__(None, cls) is m
    assert ran(bound) and ran(lambda: cls.test_init_without_node(instance))
    assert ran(lambda: m(self=instance)) and ran(lambda: type(m).__call__(m, self=instance))
    # The body never reads `self`.
    assert ran(lambda: m(42))


def call_c(fn, args, kwargs):
    """PyObject_Call(fn, args, kwargs). Given the slot wrapper of ``__call__``,
    which has no vectorcall entry, it hands keyword keys that are not text
    through to the method's own call."""
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    return call(fn, args, kwargs)


INSTANCE = compiled.TestMetaModule()
M = compiled.TestMetaModule.test_to_dict
TAKES = "test_to_dict() takes exactly 1 positional argument ({} given)"


@pytest.mark.parametrize("call, message", [
    (lambda: INSTANCE.test_to_dict(1), TAKES.format(2)),
    (lambda: M(), TAKES.format(0)),
    (lambda: M(INSTANCE, INSTANCE, INSTANCE), TAKES.format(3)),
    (lambda: M(other=INSTANCE), TAKES.format(0)),
    (lambda: M(1, 2, self=INSTANCE), TAKES.format(2)),
    (lambda: type(M).__call__(M), TAKES.format(0)),
    (lambda: INSTANCE.test_to_dict(self=INSTANCE), "test_to_dict() got multiple values for keyword argument 'self'"),
    (lambda: type(M).__call__(M, INSTANCE, self=1), "test_to_dict() got multiple values for keyword argument 'self'"),
    (lambda: M(INSTANCE, other=1), "test_to_dict() got an unexpected keyword argument 'other'"),
    (lambda: M(self=INSTANCE, other=1), "test_to_dict() got an unexpected keyword argument 'other'"),
    (lambda: call_c(type(M).__call__, (M, INSTANCE), {1: 2}), "test_to_dict() keywords must be strings"),
    (lambda: call_c(type(M).__call__, (M,), {"self": INSTANCE, 1: 2}), "test_to_dict() keywords must be strings"),
], ids=lambda v: "" if callable(v) else v)
def test_argument_errors_are_reported_at_the_first_line(call, message):
    world = World()
    with world.installed(compiled):
        failure = failure_of(call)
    first_line = LISTING.method("test_to_dict", "TestMetaModule").first_line
    assert type(failure.exc) is TypeError and failure.exc.args == (message,)
    assert failure.lines_in(SOURCE) == [first_line]
    assert failure.entries[-1] == (f"{support.MODULE}.TestMetaModule.test_to_dict", SOURCE, first_line)
    # Checked before any statement runs.
    assert world.log == []


@pytest.mark.parametrize("cls, name", ALL, ids=IDS)
def test_each_method_checks_its_arguments(cls, name):
    failure = failure_of(getattr(compiled, cls)().__getattribute__(name), None)
    first_line = LISTING.method(name, cls).first_line
    assert failure.exc.args == (f"{name}() takes exactly 1 positional argument (2 given)",)
    assert failure.entries == [(f"{support.MODULE}.{cls}.{name}", SOURCE, first_line)]


def test_the_failure_record():
    world = World({"MetaModule.id": support.value("node-2")})
    with world.installed(compiled):
        try:
            compiled.TestMetaModule().test_init_with_node()
        except AssertionError as exc:
            error = exc
    assert error.args == ()
    line = LISTING.assertion_line("test_init_with_node", "id")
    record = error.__traceback__.tb_next
    assert record.tb_next is None and record.tb_lineno == line and record.tb_frame.f_lineno == line
    assert record.tb_frame.f_globals is vars(compiled)
    assert record.tb_frame.f_code.co_filename == SOURCE
    assert record.tb_frame.f_code.co_name == "tests.unit.test_zeto_data.TestMetaModule.test_init_with_node"
    text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
    assert (f'File "tests/unit/test_zeto_data.py", line {line}, in '
            "tests.unit.test_zeto_data.TestMetaModule.test_init_with_node") in text
