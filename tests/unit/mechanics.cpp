#include "mechanics.h"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <utility>

Constants c;

namespace globals {
Global Meta{c.Meta}, MetaModule{c.MetaModule}, MetaSource{c.MetaSource}, ZetoData{c.ZetoData},
    NODE{c.NODE}, time{c.time};
}

namespace detail {
PyObject* g_module_dict = nullptr;
PyObject* g_builtins_dict = nullptr;
TypeCache<Py_ssize_t> g_slot_reads;
TypeCache<PyObject*> g_type_lookups;
PyTypeObject* g_tag_witness = nullptr;  // made when first needed, never released
uint64_t g_tag_epoch = 0;

uint64_t renew_tag_epoch() {
    if (const uint64_t epoch = tag_epoch()) return epoch;
    if (!g_tag_witness) {
        if (PyErr_Occurred()) return 0;
        PyType_Slot slots[] = {{0, nullptr}};
        PyType_Spec spec = {"test_zeto_data.tag_witness", static_cast<int>(sizeof(PyObject)), 0,
                            Py_TPFLAGS_DEFAULT, slots};
        g_tag_witness = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        // The caches are only a shortcut: without them the reads take the long way.
        if (!g_tag_witness) {
            PyErr_Clear();
            return 0;
        }
    }
    // A look-up gives the witness a tag of the new epoch.
    _PyType_Lookup(g_tag_witness, c.dunder_init);
    if (!compat::type_version(g_tag_witness)) return 0;
    return ++g_tag_epoch;
}

PyObject* type_lookup_miss(PyTypeObject* type, PyObject* name) {
    // The look-up gives the type a valid version tag if it can have one.
    PyObject* found = _PyType_Lookup(type, name);
    if (const unsigned int version = compat::type_version(type)) g_type_lookups.remember(type, name, version, found);
    return found;
}
}  // namespace detail

PyObject* g_assertion_error = nullptr;

namespace {

using detail::g_builtins_dict;
using detail::g_module_dict;

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

// The constants in the order they are made; each slot is filled by one step
// and may be used by the steps after it.
constexpr size_t kTexts = 0
#define ZETO_COUNT(id, text) +1
    ZETO_TEXTS(ZETO_COUNT)
#undef ZETO_COUNT
    ;
constexpr size_t kConstants = sizeof(Constants) / sizeof(PyObject*);
static_assert(sizeof(Constants) == kConstants * sizeof(PyObject*), "Constants holds object pointers only");

struct Text {
    const char* text;
    size_t length;
};
constexpr Text kTextValues[] = {
#define ZETO_TEXT(id, text) {text, sizeof(text) - 1},
    ZETO_TEXTS(ZETO_TEXT)
#undef ZETO_TEXT
};

// Fills `made` in place; returns how many slots it filled before a failure
// (all of them on success).
size_t fill_constants(Constants& made) {
    PyObject** slots = reinterpret_cast<PyObject**>(&made);
    size_t n = 0;
    for (; n < kTexts; ++n) {
        if (!(slots[n] = intern(kTextValues[n].text, kTextValues[n].length))) return n;
    }
    PyObject* (*const steps[])(const Constants&) = {
        [](const Constants&) { return PyLong_FromLong(0); },
        [](const Constants&) { return PyLong_FromLong(1); },
        [](const Constants&) { return PyLong_FromLong(2); },
        [](const Constants&) { return PyLong_FromLong(3); },
        [](const Constants&) { return PyLong_FromLong(42); },
        [](const Constants&) { return PyTuple_New(0); },
        [](const Constants& m) { return tuple_of({m.ts, m.source, m.module, m.frame_format}); },
        [](const Constants& m) { return tuple_of({m.src_node, m.src_output_port}); },
        [](const Constants& m) { return tuple_of({m.cur_node, m.feed_port_idx}); },
        [](const Constants& m) { return tuple_of({m.cur_node, m.feed_idx, m.src_node, m.src_port, m.src_name}); },
        [](const Constants& m) { return tuple_of({m.feed_idx, m.cur_node, m.src_node, m.src_port}); },
        [](const Constants& m) { return tuple_of({m.result}); },
        [](const Constants& m) { return tuple_of({m.version}); },
    };
    static_assert(kTexts + sizeof(steps) / sizeof(steps[0]) == kConstants, "one step per constant");
    for (auto step : steps) {
        if (!(slots[n] = step(made))) return n;
        ++n;
    }
    return n;
}

}  // namespace

PyObject* intern(const char* text, size_t length) {
    // Made as ASCII directly, which spares decoding the text as UTF-8.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (!str) return nullptr;
    std::memcpy(PyUnicode_DATA(str), text, length);
    PyUnicode_InternInPlace(&str);
    return str;
}

bool make_constants() {
    if (c.kw_version) return true;
    // Made aside and published whole: a failure releases what was made.
    Constants made{};
    const size_t filled = fill_constants(made);
    if (filled < kConstants) {
        PyObject** slots = reinterpret_cast<PyObject**>(&made);
        for (size_t i = 0; i < filled; ++i) Py_DECREF(slots[i]);
        return false;
    }
    c = made;
    return true;
}

bool set_namespaces(PyObject* module_dict, PyObject* builtins_dict) {
    if (compat::watch_dict(module_dict) < 0 || compat::watch_dict(builtins_dict) < 0) return false;
    Py_INCREF(module_dict);
    Py_INCREF(builtins_dict);
    Py_XSETREF(g_module_dict, module_dict);
    Py_XSETREF(g_builtins_dict, builtins_dict);
    return true;
}

// ---- calls --------------------------------------------------------------------

namespace {

// The positional arguments as a tuple and the keywords as a dictionary, for
// callables that take them in that form.
bool pack_arguments(PyObject* const* args, size_t nargs, PyObject* kwnames, Ref* tuple, Ref* kwargs) {
    *tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
    if (!*tuple) return false;
    for (size_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple->get(), static_cast<Py_ssize_t>(i), args[i]);
    }
    if (!kwnames) return true;
    *kwargs = Ref::steal(PyDict_New());
    if (!*kwargs) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        if (PyDict_SetItem(kwargs->get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<size_t>(i)]) < 0)
            return false;
    }
    return true;
}

// The classic protocol, for callables that have no vectorcall entry.
PyObject* call_with_tuple(PyObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    ternaryfunc call = Py_TYPE(fn)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(fn)->tp_name);
        return nullptr;
    }
    Ref tuple, kwargs;
    if (!pack_arguments(args, nargs, kwnames, &tuple, &kwargs)) return nullptr;
    return call(fn, tuple.get(), kwargs.get());
}

// The init slot of classes whose __init__ is written in Python (the slot
// function itself is not exported). Learnt from the first such class called:
// a class whose own namespace defines __init__ as a Python function has that
// slot, for the interpreter sets it whenever a class defines or is given an
// __init__ that is not a wrapper of a C init slot. Until it is known, classes
// are called through type.__call__.
initproc g_python_init_slot = nullptr;

void learn_python_init_slot(PyTypeObject* cls) {
    PyObject* init = cls->tp_dict ? PyDict_GetItemWithError(cls->tp_dict, c.dunder_init) : nullptr;
    if (!init) {
        PyErr_Clear();
        return;
    }
    if (PyFunction_Check(init) && cls->tp_init != PyBaseObject_Type.tp_init) g_python_init_slot = cls->tp_init;
}

// Whether calling `fn` means type.__call__ with object.__new__ and an
// __init__ found on the class: a class whose metaclass is `type` itself.
bool is_plain_class(PyObject* fn) {
    if (Py_TYPE(fn) != &PyType_Type) return false;  // a metaclass may define __call__
    auto* cls = reinterpret_cast<PyTypeObject*>(fn);
    if (cls->tp_new != PyBaseObject_Type.tp_new) return false;
    if (!g_python_init_slot && (cls->tp_flags & Py_TPFLAGS_HEAPTYPE)) learn_python_init_slot(cls);
    return cls->tp_init == g_python_init_slot && g_python_init_slot;
}

// A callee that returned a value with an exception still pending is broken:
// that is reported rather than let the stray exception surface later.
PyObject* refuse_stray_exception(PyObject* result) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_SystemError, "result with an exception set in PyObject_Call");
    return nullptr;
}

// cls(*args) for a plain class, step by step as type.__call__ takes it, but
// with the keywords handed to a Python __init__ by name instead of packed into
// a dictionary and out again. `stack[1]` is free for the new object.
PyObject* construct(PyThreadState* ts, PyObject* fn, PyObject** stack, size_t nargs, PyObject* kwnames) {
    // object.__new__ passes over the call's arguments when the class has an
    // __init__ of its own, so calling it without them makes the same object,
    // set up the same way (abstract classes refused, attributes prepared).
    auto* cls = reinterpret_cast<PyTypeObject*>(fn);
    Ref obj = Ref::steal(cls->tp_new(cls, c.empty_tuple, nullptr));
    if (!obj) return nullptr;
    // __init__ is looked up now, after __new__, as type.__call__ does.
    PyTypeObject* type = Py_TYPE(obj.get());
    Ref init = Ref::borrow(type->tp_init == g_python_init_slot ? detail::type_lookup(type, c.dunder_init) : nullptr);
    Ref result;
    if (init && PyFunction_Check(init.get())) {
        stack[1] = obj.get();
        result = Ref::steal(compat::vectorcall_of(init.get())(init.get(), stack + 1,
                                                              (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        if (!result) return nullptr;
        if (result.get() != Py_None) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                         Py_TYPE(result.get())->tp_name);
            return nullptr;
        }
    } else if (type->tp_init) {
        Ref tuple, kwargs;
        if (!pack_arguments(stack + 2, nargs, kwnames, &tuple, &kwargs) ||
            type->tp_init(obj.get(), tuple.get(), kwargs.get()) < 0)
            return nullptr;
        if (compat::error_pending(ts)) return refuse_stray_exception(obj.release());
    }
    return obj.release();
}

}  // namespace

namespace {

}  // namespace

PyObject* detail::invoke(PyThreadState* ts, PyObject* fn, PyObject* self, PyObject* const* args, size_t n,
                 PyObject* kwnames) {
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    size_t nargs = n - nkw;
    // stack[0] stays free so that a callee may put a bound `self` in front of
    // the arguments without copying them; stack[1] holds our own `self`.
    PyObject* stack[9];
    if (n > 7) {  // the test bodies pass at most five arguments
        PyErr_SetString(PyExc_SystemError, "too many arguments for a compiled call");
        return nullptr;
    }
    stack[0] = nullptr;
    stack[1] = self;
    std::copy(args, args + n, stack + 2);
    PyObject** first = stack + 2;
    if (self) {
        first = stack + 1;
        ++nargs;
    }

    if (!compat::enter_recursive_call(ts, " while calling a Python object")) return nullptr;
    PyObject* result;
    // Whether the callee may leave an exception pending with a result: not
    // a function written in Python, which the interpreter runs, nor a plain
    // class made here (which checks its own C parts).
    bool checked = true;
    if (vectorcallfunc vectorcall = compat::vectorcall_of(fn)) {
        result = vectorcall(fn, first, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
        checked = PyFunction_Check(fn);
    } else if (!self && is_plain_class(fn)) {
        result = construct(ts, fn, stack, nargs, kwnames);
    } else {
        result = call_with_tuple(fn, first, nargs, kwnames);
        checked = false;
    }
    compat::leave_recursive_call(ts);

    if (!result) {
        if (!compat::error_pending(ts))
            PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    } else if (!checked && compat::error_pending(ts)) {
        result = refuse_stray_exception(result);
    }
    return result;
}

namespace {

}  // namespace

PyObject* import_module(PyObject* name, PyObject* globals) {
    // sys.modules is read directly: the C API's own look-up also checks the
    // spec, differently from one version to the next.
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    Py_XINCREF(module);
    if (module && module != Py_None) {
        // A module whose spec says it is still initialising is handed to the
        // import system, which waits for it or reports the circular import.
        // A spec that cannot tell (any error on the way) does not hold it up.
        bool initializing = false;
        if (PyObject* spec = PyObject_GetAttr(module, c.dunder_spec)) {
            if (PyObject* flag = PyObject_GetAttr(spec, c.initializing)) {
                initializing = PyObject_IsTrue(flag) > 0;
                Py_DECREF(flag);
            }
            Py_DECREF(spec);
        }
        PyErr_Clear();
        if (!initializing) return module;
    } else if (!module && PyErr_Occurred()) {
        return nullptr;
    }
    // No usable entry (none, a None entry that blocks the import, or one still
    // initialising): the import system decides, as for the import statement.
    Py_XDECREF(module);
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, globals, locals.get(), nullptr, 0);
}

// ---- the operations of a test ---------------------------------------------------

Ref Run::global_lookup(Global& g) {
    const uint64_t stamp = compat::dicts_stamp(g_module_dict, g_builtins_dict);
    PyObject* value = PyDict_GetItemWithError(g_module_dict, g.name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(g_builtins_dict, g.name);
    if (!value) {
        g.value = nullptr;
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g.name);
        fail();
        return Ref();
    }
    g.value = value;
    g.stamp = stamp;
    return Ref::borrow(value);
}

namespace {

// Remembers `name` on `type` when the generic read would come down to reading
// an object slot of the instance: plain attribute lookup on the type, and the
// name found there first as a member descriptor of an object slot.
void remember_slot_read(PyTypeObject* type, PyObject* name) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return;
    PyObject* descr = detail::type_lookup(type, name);
    const unsigned int version = compat::type_version(type);
    if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type || version == 0) return;
    // A member describes a slot of its own class: borrowed by an unrelated
    // class it refuses to read, and that refusal is the generic read's to make.
    if (!PyType_IsSubtype(type, PyDescr_TYPE(descr))) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READ_RESTRICTED)) return;
    detail::g_slot_reads.remember(type, name, version, member->offset);
}

}  // namespace

Ref Run::attr_lookup(const Ref& obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj.get());
    if (!detail::g_slot_reads.find(type, name)) remember_slot_read(type, name);
    return own(PyObject_GetAttr(obj.get(), name));
}

Callable Run::method(const Ref& obj, PyObject* name) {
    if (failed_) return Callable{};
    PyTypeObject* type = Py_TYPE(obj.get());
    if (type->tp_getattro == PyObject_GenericGetAttr && compat::without_instance_dict(type)) {
        // Nothing on the instance can shadow what the type has: a function
        // found there is taken unbound, as the generic method look-up does;
        // any other descriptor gives what its __get__ gives, and a plain
        // class attribute is itself, as the generic attribute read has it.
        if (PyObject* descr = detail::type_lookup(type, name)) {
            if (compat::is_method_descriptor(descr)) return Callable{Ref::borrow(descr), Ref::borrow(obj.get())};
            descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
            if (!get) return Callable{Ref::borrow(descr), Ref()};
            return Callable{own(get(descr, obj.get(), reinterpret_cast<PyObject*>(type))), Ref()};
        }
    } else if (type == &PyModule_Type && !detail::type_lookup(type, name)) {
        // A module's attribute, when the module type itself has none of that
        // name, is the entry of its dictionary; a missing one takes the
        // generic way (its __getattr__, the error message).
        if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj.get()), name))
            return Callable{Ref::borrow(value), Ref()};
        if (PyErr_Occurred()) {
            fail();
            return Callable{};
        }
    }
    PyObject* fn = nullptr;
    const bool unbound = compat::get_method(obj.get(), name, &fn) == 1;
    Callable callable{own(fn), Ref()};
    if (unbound) callable.self = Ref::borrow(obj.get());
    return callable;
}

Ref Run::item(const Ref& obj, PyObject* key) {
    if (failed_) return Ref();
    if (PyDict_CheckExact(obj.get())) {
        PyObject* value = PyDict_GetItemWithError(obj.get(), key);
        if (!value) {
            if (!PyErr_Occurred()) {
                // KeyError with the key as its only argument, even a tuple key.
                Ref args = Ref::steal(PyTuple_Pack(1, key));
                if (args) PyErr_SetObject(PyExc_KeyError, args.get());
            }
            fail();
            return Ref();
        }
        return Ref::borrow(value);
    }
    return own(PyObject_GetItem(obj.get(), key));
}

Ref Run::import(PyObject* name) {
    if (failed_) return Ref();
    return own(import_module(name, g_module_dict));
}

Ref Run::list(std::initializer_list<PyObject*> items) {
    if (failed_) return Ref();
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyList_SET_ITEM(list.get(), i++, item);
    }
    return list;
}

Ref Run::dict(std::initializer_list<PyObject*> keys_and_values) {
    if (failed_) return Ref();
    Ref dict = own(PyDict_New());
    for (auto it = keys_and_values.begin(); it != keys_and_values.end() && !failed_; it += 2) store(dict, it[0], it[1]);
    return failed_ ? Ref() : std::move(dict);
}

void Run::store(const Ref& dict, PyObject* key, PyObject* value) {
    if (!failed_ && PyDict_SetItem(dict.get(), key, value) < 0) fail();
}

bool Run::truth(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fail();
    return truth != 0;
}

bool Run::compare(const Ref& left, PyObject* right, int op) {
    if (failed_) return false;
    Ref result = own(PyObject_RichCompare(left.get(), right, op));
    return result && truth(result.get());
}

namespace {

// Equality of two exact str objects by content, as str.__eq__ decides it:
// equal texts have the same length and the same (canonical) kind, so the
// characters can be compared as bytes. Differing cached hashes settle it
// early. -1 with an exception set when a legacy text cannot be readied.
int same_text(PyObject* a, PyObject* b) {
    if (!compat::text_ready(a) || !compat::text_ready(b)) return -1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return 0;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace

bool Run::equals(const Ref& value, PyObject* constant) {
    if (failed_) return false;
    PyObject* v = value.get();
    if (v == constant) return true;
    if (PyUnicode_CheckExact(constant)) {
        if (v == Py_None) return false;
        if (PyUnicode_CheckExact(v)) {
            const int same = same_text(v, constant);
            return same < 0 ? fail() : same != 0;
        }
    }
    return compare(value, constant, Py_EQ);
}

bool Run::contains(const Ref& container, PyObject* key) {
    if (failed_) return false;
    const int found = PySequence_Contains(container.get(), key);
    if (found < 0) return fail();
    return found != 0;
}

void Run::assertion_failed() {
    PyErr_SetNone(g_assertion_error);
    fail();
}

// ---- dictionary watchers ------------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
namespace compat {
uint64_t g_dict_changes = 1;

namespace {
int g_watcher = -1;
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_dict_changes;
    return 0;
}
}  // namespace

int watch_dict(PyObject* dict) {
    if (g_watcher < 0 && (g_watcher = PyDict_AddWatcher(on_dict_change)) < 0) return -1;
    return PyDict_Watch(g_watcher, dict);
}
}  // namespace compat
#endif
