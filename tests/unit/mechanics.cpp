#include "mechanics.h"

#include <cstring>
#include <utility>

namespace globals {
Global Meta{c.Meta}, MetaModule{c.MetaModule}, MetaSource{c.MetaSource}, ZetoData{c.ZetoData},
    NODE{c.NODE}, time{c.time};
}

namespace detail {
PyObject* g_module_dict = nullptr;
PyObject* g_builtins_dict = nullptr;
}  // namespace detail

using detail::g_builtins_dict;
using detail::g_module_dict;

bool set_namespaces(PyObject* module_dict, PyObject* builtins_dict) {
    if (compat::watch_dict(module_dict) < 0 || compat::watch_dict(builtins_dict) < 0) return false;
    Py_INCREF(module_dict);
    Py_INCREF(builtins_dict);
    Py_XSETREF(g_module_dict, module_dict);
    Py_XSETREF(g_builtins_dict, builtins_dict);
    return true;
}

// ---- calls --------------------------------------------------------------------

bool detail::pack_arguments(PyObject* const* args, size_t nargs, PyObject* kwnames, Ref* tuple, Ref* kwargs) {
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

namespace {

// The classic protocol, for callables that have no vectorcall entry.
PyObject* call_with_tuple(PyObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    fast::slow(fast::k_tuple_call);
    ternaryfunc call = Py_TYPE(fn)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(fn)->tp_name);
        return nullptr;
    }
    Ref tuple, kwargs;
    if (!detail::pack_arguments(args, nargs, kwnames, &tuple, &kwargs)) return nullptr;
    return call(fn, tuple.get(), kwargs.get());
}

}  // namespace

PyObject* detail::invoke(PyThreadState* ts, PyObject* fn, PyObject* self, PyObject** stack, size_t n,
                         PyObject* kwnames) {
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    size_t nargs = n - nkw;
    // stack[0] stays free so that a callee may put a bound `self` in front of
    // the arguments without copying them; stack[1] holds our own `self`.
    stack[0] = nullptr;
    stack[1] = self;
    PyObject** first = stack + 2;
    if (self) {
        first = stack + 1;
        ++nargs;
    }

    if (!fast::enter_call(ts, " while calling a Python object")) return nullptr;
    PyObject* result;
    // Whether the callee may leave an exception pending with a result: not a
    // function written in Python, which the interpreter runs.
    bool checked = true;
    if (vectorcallfunc vectorcall = fast::vectorcall_of(fn)) {
        result = vectorcall(fn, first, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
        checked = PyFunction_Check(fn);
    } else if (!self && fast::is_plain_class(fn)) {
        result = fast::construct(fn, stack + 1, nargs, kwnames);
        checked = false;
    } else {
        result = call_with_tuple(fn, first, nargs, kwnames);
        checked = false;
    }
    fast::leave_call(ts);

    if (!result) {
        if (!fast::error_pending(ts))
            PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    } else if (!checked && fast::error_pending(ts)) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_SystemError, "result with an exception set in PyObject_Call");
        result = nullptr;
    }
    return result;
}

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
    fast::slow(fast::k_global_read);
    const uint64_t stamp = fast::namespaces_stamp(g_module_dict, g_builtins_dict);
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

Ref Run::attr_lookup(const Ref& obj, PyObject* name) { return own(PyObject_GetAttr(obj.get(), name)); }

Callable Run::method(const Ref& obj, PyObject* name) {
    if (failed_) return Callable{};
    PyObject* fn = nullptr;
    const int found = fast::find_method(obj.get(), name, &fn);
    Callable callable{own(fn), Ref()};
    if (found == 2) callable.self = Ref::borrow(obj.get());
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

namespace {

// a OP b for two doubles, as float's own comparison takes it (C's operators,
// so that a NaN is unequal to everything, itself included).
bool compare_doubles(double a, double b, int op) {
    switch (op) {
    case Py_LT: return a < b;
    case Py_LE: return a <= b;
    case Py_EQ: return a == b;
    case Py_NE: return a != b;
    case Py_GT: return a > b;
    default: return a >= b;
    }
}

// Equality of two exact str objects by content, as str.__eq__ decides it:
// equal texts have the same length and the same (canonical) kind, so the
// characters can be compared as bytes. Differing cached hashes settle it
// early where they can be read. -1 with an exception set when a legacy text
// cannot be readied.
int same_text(PyObject* a, PyObject* b) {
    if (!compat::text_ready(a) || !compat::text_ready(b)) return -1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
    if (fast::hashes_differ(a, b)) return 0;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace

bool Run::compare(Ref left, Ref right, int op) {
    if (failed_) return false;
    PyObject* a = left.get();
    PyObject* b = right.get();
    // Exact floats, and exact str for (in)equality, are compared directly:
    // their own comparison does nothing else and answers a bool.
    int holds = -1;  // 1 or 0 when decided so, -1 when not, -2 when that failed
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        holds = compare_doubles(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
    } else if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        const int same = a == b ? 1 : same_text(a, b);
        holds = same < 0 ? -2 : (op == Py_EQ) == (same != 0);
    }
    if (holds != -1) {
        left.reset();
        right.reset();
        return holds >= 0 ? holds != 0 : fail();
    }
    Ref result = own(PyObject_RichCompare(a, b, op));
    left.reset();
    right.reset();
    return result && truth(result.get());
}

bool Run::equals(Ref value, PyObject* constant) {
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
    return compare(std::move(value), Ref::borrow(constant), Py_EQ);
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
