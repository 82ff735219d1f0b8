// The differences of the public C API (and its PyUnstable_ part) between the
// CPython versions this module builds for, 3.6 on; the rest of the code reads
// the same on all. Shortcuts through the interpreter's private structures
// live apart, in fast_paths.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x03060000
#error "this module needs CPython 3.6 or newer"
#endif

// The entry point must stay visible although the module is built with hidden
// symbols. PyMODINIT_FUNC exports it with MSVC (dllexport) on every version,
// and with GCC and clang from 3.9 on; before, they are told by their own
// attribute.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__) && !defined(_WIN32)
#define ZETO_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define ZETO_MODINIT_FUNC PyMODINIT_FUNC
#endif

// A function of a rarely taken path, kept out of the hot code that calls it.
#if defined(__GNUC__)
#define ZETO_COLD __attribute__((noinline, cold))
#elif defined(_MSC_VER)
#define ZETO_COLD __declspec(noinline)
#else
#define ZETO_COLD
#endif

// ---- the vectorcall protocol --------------------------------------------------

// Before 3.8 there is no vectorcall; its names stand for the "fast call" of
// those versions (a C array of arguments and a tuple of keyword names), which
// takes the same arguments without the offset flag.
#if PY_VERSION_HEX < 0x03080000
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
    return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
#endif

namespace compat {

// Names in the C API's definition tables (PyGetSetDef, PyMethodDef) are
// `char*` before 3.7, `const char*` after.
#if PY_VERSION_HEX < 0x03070000
using DefName = char*;
#else
using DefName = const char*;
#endif
constexpr DefName def_name(const char* name) { return const_cast<DefName>(name); }

// ---- calls ------------------------------------------------------------------

// The vectorcall entry of `callable`, or null when it has none (it is then
// called through tp_call). Provisional in 3.8, under an underscore name;
// before 3.8 every callable is called through tp_call.
inline vectorcallfunc vectorcall_function(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return PyVectorcall_Function(callable);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyVectorcall_Function(callable);
#else
    (void)callable;
    return nullptr;
#endif
}

// Lets a type's instances be called through the vectorcall entry stored at
// `offset`, and be taken unbound by method look-ups, as functions are. Before
// 3.8 they are called through tp_call and bound as usual.
inline void enable_vectorcall(PyTypeObject* type, Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = offset;
#if PY_VERSION_HEX >= 0x03090000
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    type->tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
#else
    (void)type;
    (void)offset;
#endif
}

// ---- types --------------------------------------------------------------------

// Where a heap type's instances keep their vectorcall entry, their attribute
// dictionary and their weak references.
struct SpecialOffsets {
    Py_ssize_t vectorcall, dict, weaklist;
};

#if PY_VERSION_HEX < 0x030A0000
// tp_new of a type that cannot be instantiated from Python, with the message
// the interpreter gives for built-in types of that kind.
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
    return nullptr;
}
#endif

// A type whose instances behave as functions do (called through vectorcall,
// taken unbound by method look-ups, not made from Python, the type itself
// immutable where the version can say so), made from `slots` (ending with a
// zero slot) and the special offsets: new reference or null.
template <size_t N>
PyTypeObject* new_function_like_type(const char* name, int basicsize, const PyType_Slot (&slots)[N],
                                     SpecialOffsets offsets) {
    // The given slots, the members and the refusing tp_new that may be added
    // (not both on every version), and the zero slot.
    PyType_Slot all[N + 2];
    int n = 0;
    while (slots[n].slot) {
        all[n] = slots[n];
        ++n;
    }
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03090000
    // PyMemberDef names its fields without const before 3.11.
    static PyMemberDef members[] = {
        {const_cast<char*>("__vectorcalloffset__"), T_PYSSIZET, 0, READONLY, nullptr},
        {const_cast<char*>("__dictoffset__"), T_PYSSIZET, 0, READONLY, nullptr},
        {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET, 0, READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    members[0].offset = offsets.vectorcall;
    members[1].offset = offsets.dict;
    members[2].offset = offsets.weaklist;
    all[n++] = PyType_Slot{Py_tp_members, members};
    flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
#if PY_VERSION_HEX >= 0x030A0000
    flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
    all[n++] = PyType_Slot{Py_tp_new, reinterpret_cast<void*>(refuse_new)};
#endif
    all[n] = PyType_Slot{0, nullptr};
    PyType_Spec spec = {name, basicsize, 0, flags, all};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // An allocation failure inside it can go unreported (seen on 3.11).
    if (!type && !PyErr_Occurred()) PyErr_NoMemory();
#if PY_VERSION_HEX < 0x03090000
    // Before 3.9 the module part of the type's name is stored as the type's
    // __module__ over the instances' own __module__ attribute; it is put back.
    for (int i = 0; type && slots[i].slot; ++i) {
        if (slots[i].slot != Py_tp_getset) continue;
        for (PyGetSetDef* def = static_cast<PyGetSetDef*>(slots[i].pfunc); def->name; ++def) {
            if (std::strcmp(def->name, "__module__") != 0) continue;
            PyObject* descr = PyDescr_NewGetSet(type, def);
            if (!descr || PyDict_SetItemString(type->tp_dict, "__module__", descr) < 0) {
                Py_XDECREF(descr);
                Py_CLEAR(type);
                return nullptr;
            }
            Py_DECREF(descr);
        }
    }
    // Before 3.9 the offsets cannot be given as members of the new type.
    // They are read when instances are used, so setting them on the type
    // once it is made is enough.
    if (type) {
        type->tp_dictoffset = offsets.dict;
        type->tp_weaklistoffset = offsets.weaklist;
        enable_vectorcall(type, offsets.vectorcall);
        PyType_Modified(type);
    }
#endif
    return type;
}

// Instances of heap types hold a reference to their type from 3.8 on: it is
// released after the instance, and shown to the cycle collector from 3.9 on.
inline void release_type_of_instance(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#else
    (void)type;
#endif
}
inline int visit_type_of(PyObject* self, visitproc visit, void* arg) {
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#else
    (void)self;
    (void)visit;
    (void)arg;
#endif
    return 0;
}

// ---- text -----------------------------------------------------------------------

// Readies a text object for reading its characters directly (up to 3.11 a
// text made by the legacy API may not be); false with an exception set.
inline bool text_ready(PyObject* text) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)text;
    return true;
#else
    return PyUnicode_READY(text) == 0;
#endif
}

// ---- code objects ---------------------------------------------------------------

// A code object like `empty` (made by PyCode_NewEmpty, which gives the file
// name and what an empty body consists of in this version) for a function
// `name` at `first_line`, taking `argcount` positional arguments and having
// the local variables `varnames`: new reference or null. From 3.8 on
// through code.replace(); before, the code object's fields are public.
inline PyObject* code_like(PyCodeObject* empty, PyObject* name, int first_line, int argcount, PyObject* varnames,
                           int flags) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX >= 0x03080000
    PyObject* replace = PyObject_GetAttrString(reinterpret_cast<PyObject*>(empty), "replace");
    if (!replace) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* kwargs = Py_BuildValue("{sOsOsisisisOsi}", "co_name", name, "co_qualname", name, "co_firstlineno",
                                     first_line, "co_argcount", argcount, "co_nlocals", nlocals, "co_varnames",
                                     varnames, "co_flags", flags);
#else
    PyObject* kwargs = Py_BuildValue("{sOsisisisOsi}", "co_name", name, "co_firstlineno", first_line, "co_argcount",
                                     argcount, "co_nlocals", nlocals, "co_varnames", varnames, "co_flags", flags);
#endif
    PyObject* no_args = kwargs ? PyTuple_New(0) : nullptr;
    PyObject* made = no_args ? PyObject_Call(replace, no_args, kwargs) : nullptr;
    Py_XDECREF(no_args);
    Py_XDECREF(kwargs);
    Py_DECREF(replace);
    return made;
#else
    PyObject* no_names = empty->co_names;  // an empty tuple
    return reinterpret_cast<PyObject*>(PyCode_New(argcount, 0, nlocals, empty->co_stacksize, flags, empty->co_code,
                                                  empty->co_consts, no_names, varnames, no_names, no_names,
                                                  empty->co_filename, name, first_line, empty->co_lnotab));
#endif
}

// ---- the interpreter --------------------------------------------------------

// Identifies the interpreter of the calling thread. 3.6 has no interpreter
// ids; there the interpreter's address serves, which only the main
// interpreter keeps for the life of the process.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#elif PY_VERSION_HEX >= 0x03070000
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#else
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(PyThreadState_Get()->interp));
#endif
}

// The -O flag, read anew at every assertion. Newer headers mark the legacy
// variable deprecated, but the interpreter still keeps it in step with its
// configuration, and it is the one value an embedding application can change.
inline bool optimizing() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    return Py_OptimizeFlag != 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
}

// ---- the pending exception --------------------------------------------------

// Holds the pending exception aside while a failure record is being built, so
// that no C API call runs with an exception set; puts it back when destroyed.
class SavedError {
public:
    SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// ---- dictionary watchers ------------------------------------------------------

// From 3.12 on a dictionary watcher can tell every change of a dictionary:
// watch_dict() has one process-wide counter bumped on any change of any
// dictionary passed to it. Before 3.12 there are no watchers.
constexpr bool kDictWatchers = PY_VERSION_HEX >= 0x030C0000;
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t g_dict_changes;
int watch_dict(PyObject* dict);
inline uint64_t dict_changes() { return g_dict_changes; }
#else
inline int watch_dict(PyObject*) { return 0; }
inline uint64_t dict_changes() { return 0; }
#endif

}  // namespace compat
