#include "method.h"

#include "record.h"

#include <structmember.h>

#include <cstring>

namespace {

struct TestMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* name;       // __name__
    PyObject* qualname;   // __qualname__
    PyObject* fullname;   // the function name of failure records
    PyObject* module;     // __module__
    PyObject* doc;        // __doc__
    PyObject* globals;    // __globals__
    MethodParts* parts;   // shared with the method's other objects
    PyObject* code;       // __code__, made when first asked for
    PyObject* dict;       // __dict__, made on first use
    PyObject* annotations;  // __annotations__, made on first use
    PyObject* defaults;   // __defaults__
    PyObject* kwdefaults;  // __kwdefaults__
    PyObject* weakrefs;
};

TestMethod* as_method(PyObject* self) { return reinterpret_cast<TestMethod*>(self); }

// ---- calls --------------------------------------------------------------------

PyObject* run_body(TestMethod* m) {
    Run run(m->def->first_line);
    m->def->body(run);
    if (run.failed()) {
        add_failure_record(m->fullname, run.line(), m->globals);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The method takes `self` alone, by position or as the keyword "self".
bool check_arguments(TestMethod* m, PyObject* args, PyObject* kwargs) {
    const char* name = m->def->name;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    bool self_by_keyword = false;
    if (nkw > 0 && nargs == 0) {
        PyObject* self = PyDict_GetItemWithError(kwargs, c.self);
        if (!self && PyErr_Occurred()) return false;
        self_by_keyword = self != nullptr;
    }
    if (!self_by_keyword && nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                     "exactly", static_cast<Py_ssize_t>(1), "", nargs);
        return false;
    }
    if (self_by_keyword) --nkw;
    if (nkw == 0) return true;

    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        const int is_self = PyUnicode_Compare(key, c.self) == 0;
        if (is_self && self_by_keyword) continue;
        if (is_self)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        return false;
    }
    return true;
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    TestMethod* m = as_method(self);
    if (!check_arguments(m, args, kwargs)) {
        add_failure_record(m->fullname, m->def->first_line, m->globals);
        return nullptr;
    }
    return run_body(m);
}

// The common case, one positional argument, runs the body at once; anything
// else goes through the full argument check.
PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return run_body(as_method(self));

    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple.get(), i, args[i]);
    }
    Ref kwargs;
    if (kwnames) {
        if (!(kwargs = Ref::steal(PyDict_New()))) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    return method_call(self, tuple.get(), kwargs.get());
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// ---- attributes -----------------------------------------------------------------

PyObject* new_ref(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

// Replaces *slot with `value` (a new reference is taken).
int store(PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

// store() for a value that passed its check, else TypeError(message).
int store_checked(PyObject** slot, PyObject* value, bool ok, const char* message) {
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    return store(slot, value);
}

PyObject* get_name(PyObject* self, void*) { return new_ref(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return store_checked(&as_method(self)->name, value, value && PyUnicode_Check(value),
                         "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return new_ref(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return store_checked(&as_method(self)->qualname, value, value && PyUnicode_Check(value),
                         "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) { return new_ref(as_method(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) { return store(&as_method(self)->doc, value ? value : Py_None); }

PyObject* get_module(PyObject* self, void*) { return new_ref(as_method(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    return store(&as_method(self)->module, value ? value : Py_None);
}

PyObject* get_dict(PyObject* self, void*) {
    TestMethod* m = as_method(self);
    if (!m->dict && !(m->dict = PyDict_New())) return nullptr;
    return new_ref(m->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    return store_checked(&as_method(self)->dict, value, PyDict_Check(value),
                         "setting function's dictionary to a non-dict");
}

PyObject* get_globals(PyObject* self, void*) { return new_ref(as_method(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
// The code object is made when first asked for (only introspection asks),
// once for all objects of the method.
PyObject* get_code(PyObject* self, void*) {
    TestMethod* m = as_method(self);
    if (!m->code) {
        MethodParts& parts = *m->parts;
        if (!parts.code && !(parts.code = make_code(*m->def, parts.name))) return nullptr;
        m->code = new_ref(parts.code);
    }
    return new_ref(m->code);
}
PyObject* get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

// __defaults__ and __kwdefaults__ are kept for introspection only: the test
// bodies take `self` alone, so defaults can never apply to a call.
int set_defaults_slot(PyObject** slot, PyObject* value, bool ok, const char* type_error, const char* attribute) {
    if (!value) value = Py_None;
    if (value != Py_None && !ok) return store_checked(slot, value, false, type_error);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "changes to %s have no effect on calls of a compiled test method",
                         attribute) < 0)
        return -1;
    return store(slot, value);
}

PyObject* get_defaults(PyObject* self, void*) { return new_ref(as_method(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_defaults_slot(&as_method(self)->defaults, value, value && PyTuple_Check(value),
                             "__defaults__ must be set to a tuple object", "__defaults__");
}

PyObject* get_kwdefaults(PyObject* self, void*) { return new_ref(as_method(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_defaults_slot(&as_method(self)->kwdefaults, value, value && PyDict_Check(value),
                             "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) {
    TestMethod* m = as_method(self);
    if (!m->annotations && !(m->annotations = PyDict_New())) return nullptr;
    return new_ref(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    TestMethod* m = as_method(self);
    if (!value || value == Py_None) {
        Py_CLEAR(m->annotations);
        return 0;
    }
    return store_checked(&m->annotations, value, PyDict_Check(value), "__annotations__ must be set to a dict object");
}

PyGetSetDef getset[] = {
    {compat::def_name("__name__"), get_name, set_name, nullptr, nullptr},
    {compat::def_name("func_name"), get_name, set_name, nullptr, nullptr},
    {compat::def_name("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {compat::def_name("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {compat::def_name("func_doc"), get_doc, set_doc, nullptr, nullptr},
    {compat::def_name("__module__"), get_module, set_module, nullptr, nullptr},
    {compat::def_name("__dict__"), get_dict, set_dict, nullptr, nullptr},
    {compat::def_name("func_dict"), get_dict, set_dict, nullptr, nullptr},
    {compat::def_name("__globals__"), get_globals, nullptr, nullptr, nullptr},
    {compat::def_name("func_globals"), get_globals, nullptr, nullptr, nullptr},
    {compat::def_name("__closure__"), get_closure, nullptr, nullptr, nullptr},
    {compat::def_name("func_closure"), get_closure, nullptr, nullptr, nullptr},
    {compat::def_name("__code__"), get_code, nullptr, nullptr, nullptr},
    {compat::def_name("func_code"), get_code, nullptr, nullptr, nullptr},
    {compat::def_name("__defaults__"), get_defaults, set_defaults, nullptr, nullptr},
    {compat::def_name("func_defaults"), get_defaults, set_defaults, nullptr, nullptr},
    {compat::def_name("__kwdefaults__"), get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {compat::def_name("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {compat::def_name("_is_coroutine"), get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Reduced to its qualified name, so that pickle finds it again by reference.
PyObject* method_reduce(PyObject* self, PyObject*) { return new_ref(as_method(self)->qualname); }

PyMethodDef methods[] = {
    {compat::def_name("__reduce__"), method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<compiled test method %U at %p>", as_method(self)->qualname, self);
}

// ---- lifetime ---------------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    TestMethod* m = as_method(self);
    if (int visited = compat::visit_type_of(self, visit, arg)) return visited;
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->fullname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->globals);
    Py_VISIT(m->code);
    Py_VISIT(m->dict);
    Py_VISIT(m->annotations);
    Py_VISIT(m->defaults);
    Py_VISIT(m->kwdefaults);
    return 0;
}

int method_clear(PyObject* self) {
    TestMethod* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->fullname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->kwdefaults);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    PyObject_GC_Del(self);
    compat::release_type_of_instance(type);
}

// Made once per process. A heap type, so that a failure while making it
// leaves nothing behind: the next import makes it anew.
PyTypeObject* g_method_type = nullptr;

}  // namespace

bool ready_test_method_type() {
    if (g_method_type) return true;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
        {Py_tp_call, reinterpret_cast<void*>(method_call)},
        {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
        {0, nullptr},
    };
    const compat::SpecialOffsets offsets{offsetof(TestMethod, vectorcall), offsetof(TestMethod, dict),
                                         offsetof(TestMethod, weakrefs)};
    g_method_type = compat::new_function_like_type("test_zeto_data.compiled_test_method",
                                                   static_cast<int>(sizeof(TestMethod)), slots, offsets);
    return g_method_type != nullptr;
}

PyObject* make_varnames(const char* const* locals) {
    Py_ssize_t n = 0;
    while (locals[n]) ++n;
    Ref varnames = Ref::steal(PyTuple_New(n));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = std::strcmp(locals[i], "self") == 0 ? new_ref(c.self) : intern(locals[i], std::strlen(locals[i]));
        if (!name) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    return varnames.release();
}

bool make_method_parts(const MethodDef& def, PyObject* class_name, MethodParts* parts) {
    // "<module>.<class>.<method>": the qualified name is its tail.
    char text[160];
    Py_ssize_t class_length = 0;
    const char* class_text = PyUnicode_AsUTF8AndSize(class_name, &class_length);
    if (!class_text) return false;
    const size_t module_length = sizeof(kModuleName) - 1;
    const size_t name_length = std::strlen(def.name);
    const size_t length = module_length + 1 + static_cast<size_t>(class_length) + 1 + name_length;
    if (length > sizeof(text)) {
        PyErr_SetString(PyExc_SystemError, "test method name too long");
        return false;
    }
    char* at = text;
    at = static_cast<char*>(std::memcpy(at, kModuleName, module_length)) + module_length;
    *at++ = '.';
    const char* qualname_text = at;
    at = static_cast<char*>(std::memcpy(at, class_text, static_cast<size_t>(class_length))) + class_length;
    *at++ = '.';
    std::memcpy(at, def.name, name_length);

    Ref name = Ref::steal(intern(def.name, name_length));
    Ref qualname = Ref::steal(name ? PyUnicode_FromStringAndSize(qualname_text, text + length - qualname_text) : nullptr);
    // Interned, so that failure records of the method and of the module body
    // (whose code objects are kept per function name) compare it by identity.
    Ref fullname = Ref::steal(qualname ? intern(text, length) : nullptr);
    if (!fullname) return false;
    *parts = MethodParts{name.release(), nullptr, qualname.release(), fullname.release()};
    return true;
}

PyObject* make_code(const MethodDef& def, PyObject* name) {
    // One empty code object of the source file, kept, lends its fields.
    static PyObject* empty = nullptr;
    if (!empty && !(empty = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourcePath, "", 1)))) return nullptr;
    Ref varnames = Ref::steal(make_varnames(def.locals));
    if (!varnames) return nullptr;
    return fast::code_like(reinterpret_cast<PyCodeObject*>(empty), name, def.first_line, 1, varnames.get(),
                           CO_OPTIMIZED | CO_NEWLOCALS);
}

PyObject* new_test_method(const MethodDef& def, MethodParts& parts, PyObject* globals) {
    TestMethod* m = PyObject_GC_New(TestMethod, g_method_type);
    if (!m) return nullptr;
    m->vectorcall = method_vectorcall;
    m->def = &def;
    m->name = new_ref(parts.name);
    m->qualname = new_ref(parts.qualname);
    m->fullname = new_ref(parts.fullname);
    m->module = new_ref(c.module_name);
    m->doc = new_ref(Py_None);
    m->globals = new_ref(globals);
    m->parts = &parts;
    m->code = nullptr;
    m->dict = nullptr;
    m->annotations = nullptr;
    m->defaults = new_ref(Py_None);
    m->kwdefaults = new_ref(Py_None);
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}
