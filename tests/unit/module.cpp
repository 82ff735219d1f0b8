// The module tests.unit.test_zeto_data: its entry point, the create and
// execute slots of its initialisation, and the module body.
#include "record.h"
#include "suite.h"

#include <algorithm>
#include <iterator>

namespace {

// Process-wide state: one interpreter, one module object.
int64_t g_interpreter = -1;
PyObject* g_module = nullptr;  // kept from the start of a successful execute slot

// The per-method tables below have a row per class, as long as the longest
// class: a method added to any class's table is made room for.
constexpr size_t kClassCount = std::size(kClasses);
constexpr size_t most_methods() {
    size_t most = 0;
    for (const ClassDef& cls : kClasses) most = std::max(most, cls.count);
    return most;
}
constexpr size_t kMaxMethods = most_methods();

MethodParts g_parts[kClassCount][kMaxMethods];  // what each test method's objects share
bool g_parts_made = false;

// ---- create slot ----------------------------------------------------------------

// Copies spec.<from> to the module's <to>. A spec without the attribute is
// skipped; with `skip_none`, so is a None value.
bool copy_spec_attribute(PyObject* spec, PyObject* from, PyObject* module_dict, PyObject* to, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItem(module_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t interpreter = compat::current_interpreter_id();
    if (g_interpreter == -1) {
        g_interpreter = interpreter;
    } else if (interpreter != g_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    if (!make_constants()) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(spec, c.name));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || !copy_spec_attribute(spec, c.loader, dict, c.dunder_loader, false) ||
        !copy_spec_attribute(spec, c.origin, dict, c.dunder_file, false) ||
        !copy_spec_attribute(spec, c.parent, dict, c.dunder_package, false) ||
        !copy_spec_attribute(spec, c.submodule_search_locations, dict, c.dunder_path, true))
        return nullptr;
    return module.release();
}

// ---- execute slot -----------------------------------------------------------------

// The decimal number at the start of *text, which is moved past it. (Not
// strtol: newer C libraries' headers turn it into a symbol that only they
// export, which would tie the build to them.)
long leading_number(const char** text) {
    long value = 0;
    for (; **text >= '0' && **text <= '9' && value < 100000; ++*text) value = value * 10 + (**text - '0');
    return value;
}

// Warns when the interpreter's major.minor differs from the headers the module
// was compiled against.
bool check_version() {
    const char* text = Py_GetVersion();
    const long major = leading_number(&text);
    const long minor = *text == '.' ? (++text, leading_number(&text)) : 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "tests.unit.test_zeto_data", "does not match",
                            static_cast<int>(major), static_cast<int>(minor)) == 0;
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, c.module_name);
    if (existing) return true;
    return !PyErr_Occurred() && PyDict_SetItem(modules, c.module_name, module) == 0;
}

// The names of all test methods, made aside and published together: a
// failure part-way releases those already made.
bool make_method_parts() {
    if (g_parts_made) return true;
    MethodParts made[kClassCount][kMaxMethods] = {};
    bool ok = true;
    for (size_t k = 0; k < kClassCount && ok; ++k) {
        for (size_t i = 0; i < kClasses[k].count && ok; ++i)
            ok = make_method_parts(kClasses[k].methods[i], kClasses[k].name, &made[k][i]);
    }
    for (size_t k = 0; k < kClassCount; ++k) {
        for (size_t i = 0; i < kMaxMethods; ++i) {
            if (ok) {
                g_parts[k][i] = made[k][i];
            } else {
                Py_XDECREF(made[k][i].name);
                Py_XDECREF(made[k][i].qualname);
                Py_XDECREF(made[k][i].fullname);
            }
        }
    }
    g_parts_made = ok;
    return ok;
}

// `from zeto_sdk.redis.zeto_data import Meta, MetaFrameFormat, MetaModule, MetaSource, ZetoData`
bool import_module_under_test(PyObject* globals) {
    PyObject* const names[] = {c.Meta, c.MetaFrameFormat, c.MetaModule, c.MetaSource, c.ZetoData};
    Ref module;
    {
        Ref fromlist = Ref::steal(PyList_New(0));
        Ref locals = Ref::steal(PyDict_New());
        if (!fromlist || !locals) return false;
        for (PyObject* name : names) {
            if (PyList_Append(fromlist.get(), name) < 0) return false;
        }
        module = Ref::steal(PyImport_ImportModuleLevelObject(c.zeto_data_module, globals, locals.get(), fromlist.get(), 0));
        if (!module) return false;
    }
    for (PyObject* name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // A submodule that is imported but not yet an attribute.
            PyErr_Clear();
            if (PyObject* module_name = PyModule_GetNameObject(module.get())) {
                Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
                Py_DECREF(module_name);
                if (full) value = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()));
                if (value.get() == Py_None) value.reset();
            }
        }
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            return false;
        }
        if (PyDict_SetItem(globals, name, value.get()) < 0) return false;
    }
    return true;
}

// `NODE = {"id": "node-1", "type": "object-detection", "name": "OD Node"}`
bool bind_node(PyObject* globals) {
    Ref node = Ref::steal(PyDict_New());
    return node && PyDict_SetItem(node.get(), c.id, c.node_1) == 0 &&
           PyDict_SetItem(node.get(), c.type, c.object_detection) == 0 &&
           PyDict_SetItem(node.get(), c.name, c.od_node) == 0 && PyDict_SetItem(globals, c.NODE, node.get()) == 0;
}

// `class <name>: <test methods>`, made by calling `type`. Sets *line to the
// line a failure is reported at.
bool bind_class(size_t k, PyObject* globals, int* line) {
    const ClassDef& cls = kClasses[k];
    *line = cls.line;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), c.dunder_module, c.module_name) < 0 ||
        PyDict_SetItem(ns.get(), c.dunder_qualname, cls.name) < 0)
        return false;
    for (size_t i = 0; i < cls.count; ++i) {
        const MethodDef& def = cls.methods[i];
        *line = def.first_line;
        Ref method = Ref::steal(new_test_method(def, g_parts[k][i], globals));
        if (!method || PyDict_SetItemString(ns.get(), def.name, method.get()) < 0) return false;
    }
    *line = cls.line;
    Ref type = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), cls.name,
                                                       c.empty_tuple, ns.get(), nullptr));
    return type && PyDict_SetItem(globals, cls.name, type.get()) == 0;
}

// The module body; on failure sets *line to the line of the failing statement.
bool run_module_body(PyObject* globals, int* line) {
    *line = 3;
    Ref time = Ref::steal(import_module(c.time, globals));
    if (!time || PyDict_SetItem(globals, c.time, time.get()) < 0) return false;
    *line = 5;
    if (!import_module_under_test(globals)) return false;
    *line = 7;
    if (!bind_node(globals)) return false;
    for (size_t k = 0; k < kClassCount; ++k) {
        if (!bind_class(k, globals, line)) return false;
    }
    *line = 1;
    Ref test_marker = Ref::steal(PyDict_New());
    return test_marker && PyDict_SetItem(globals, c.test_marker, test_marker.get()) == 0;
}

// The built-in AssertionError, read once from the built-in names.
bool look_up_assertion_error(PyObject* builtins_dict) {
    if (g_assertion_error) return true;
    PyObject* value = PyDict_GetItemWithError(builtins_dict, c.AssertionError);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", c.AssertionError);
        return false;
    }
    Py_INCREF(value);
    g_assertion_error = value;
    return true;
}

// The builtins module as the import system has it: the entry in sys.modules,
// or, in the unusual case that there is none, what importing it gives.
Ref builtins_module() {
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), c.builtins);
    if (module) return Ref::borrow(module);
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyImport_Import(c.builtins));
}

#ifdef ZETO_COUNT_SLOW_PATHS
// Builds that count their slow paths only: _slow_paths() gives the counts so
// far by name, and under "fast_paths" whether the shortcuts are built in.
PyObject* slow_path_counts(PyObject*, PyObject*) {
    Ref counts = Ref::steal(PyDict_New());
    for (size_t i = 0; counts && i < fast::kSlowPaths; ++i) {
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(fast::g_slow[i]));
        if (!count || PyDict_SetItemString(counts.get(), fast::kSlowNames[i], count.get()) < 0) return nullptr;
    }
    if (!counts || PyDict_SetItemString(counts.get(), "fast_paths", fast::kOn ? Py_True : Py_False) < 0) return nullptr;
    return counts.release();
}
PyMethodDef slow_path_counts_def = {"_slow_paths", slow_path_counts, METH_NOARGS, nullptr};

bool add_slow_path_counts(PyObject* module) {
    Ref fn = Ref::steal(PyCFunction_New(&slow_path_counts_def, nullptr));
    return fn && PyObject_SetAttrString(module, "_slow_paths", fn.get()) == 0;
}
#else
bool add_slow_path_counts(PyObject*) { return true; }
#endif

// From sys.modules registration on, a failure carries a record of the module
// body: line 1 for the preparations, else the failing statement's line.
bool initialise(PyObject* module, PyObject* globals, PyObject* builtins_dict) {
    int line = 1;
    const bool ok = register_in_sys_modules(module) && look_up_assertion_error(builtins_dict) &&
                    ready_test_method_type() && make_method_parts() && run_module_body(globals, &line);
    if (!ok) add_failure_record(c.init_funcname, line, globals);
    return ok;
}

int exec_module(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'test_zeto_data' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    g_module = module;
    // The constants are normally made by the create slot already.
    PyObject* globals = PyModule_GetDict(module);
    Ref builtins = globals && make_constants() ? builtins_module() : Ref();
    PyObject* builtins_dict = builtins ? PyModule_GetDict(builtins.get()) : nullptr;
    // The tests read their globals through the namespaces once the body has
    // run; a failed body leaves the namespaces of the last good import.
    const bool ok = builtins_dict && PyObject_SetAttr(module, c.dunder_builtins, builtins.get()) == 0 &&
                    check_version() && initialise(module, globals, builtins_dict) &&
                    set_namespaces(globals, builtins_dict) && add_slow_path_counts(module);
    // A failed module is forgotten, so that the next import starts afresh.
    if (!ok) Py_CLEAR(g_module);
    return ok ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "test_zeto_data",
    "Tests for zeto_sdk.redis.zeto_data",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

ZETO_MODINIT_FUNC PyInit_test_zeto_data() { return PyModuleDef_Init(&module_def); }
