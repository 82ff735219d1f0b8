// Everything that differs between the CPython versions this module builds
// for (3.6 to 3.13) lives here; the rest of the code reads the same on all.
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
// symbols; before 3.9 PyMODINIT_FUNC does not say so itself.
#if PY_VERSION_HEX < 0x03090000
#define ZETO_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define ZETO_MODINIT_FUNC PyMODINIT_FUNC
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

// _PyObject_GetMethod is exported by every interpreter from 3.7 on, but
// declared in the public headers only from 3.9 to 3.12. Where it is not
// declared it is referenced weakly: an interpreter that does not export it
// leaves it null, and method look-ups fall back to getattr().
#if PY_VERSION_HEX >= 0x03070000 && (PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000)
extern "C" __attribute__((weak, visibility("default"))) int _PyObject_GetMethod(PyObject*, PyObject*, PyObject**);
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

#if PY_VERSION_HEX < 0x03080000
inline PyObject* fast_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

// The vectorcall entry of `callable`, or null when it has none (it is then
// called through tp_call). Before 3.8 functions written in Python or in C
// have the fast call instead.
inline vectorcallfunc vectorcall_of(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03080000
    // As PyVectorcall_Function reads it (an exported function from 3.11 on).
    PyTypeObject* type = Py_TYPE(callable);
#if PY_VERSION_HEX >= 0x03090000
    if (!(type->tp_flags & Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
#else
    if (!(type->tp_flags & _Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
#endif
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof(entry));
    return entry;
#else
    return PyFunction_Check(callable) || PyCFunction_Check(callable) ? fast_call : nullptr;
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

// Looks `name` up for a call, as the interpreter's own method calls do: a
// function found on the type comes back unbound (returns 1; the caller passes
// `obj` as the first argument), anything else comes back as getattr() gives
// it (returns 0). 3.6 has no such look-up: its own calls bind the method too.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x03070000 && (PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000)
    if (&_PyObject_GetMethod != nullptr) return _PyObject_GetMethod(obj, name, method);
#elif PY_VERSION_HEX >= 0x03090000
    return _PyObject_GetMethod(obj, name, method);
#endif
    *method = PyObject_GetAttr(obj, name);
    return 0;
}

// Whether the unbound method look-up is there (a check of the fast path).
inline bool have_unbound_methods() {
#if PY_VERSION_HEX >= 0x03070000 && (PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000)
    return &_PyObject_GetMethod != nullptr;
#else
    return PY_VERSION_HEX >= 0x03070000;
#endif
}

// ---- types --------------------------------------------------------------------

// The version tag of `type` while it is valid, else 0. The tag changes (or is
// invalidated) whenever the type or one of its bases is modified, so a cached
// look-up on the type holds while the tag is the same. Up to 3.12 a valid tag
// is flagged; from 3.13 on the flag is no longer kept and an invalid tag is 0.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Before 3.11, sys._clear_type_cache() (and a wrap-around of the counter)
// invalidates the tags of all types at once and then hands tags out again
// from the start: a tag seen before can come back, on a type made where a
// freed one was, or on the same type after a change. From 3.11 on a tag is
// never handed out twice.
constexpr bool kTagsHandedOutAgain = PY_VERSION_HEX < 0x030B0000;

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
// zero slot, at most 15) and the special offsets: new reference or null.
inline PyTypeObject* new_function_like_type(const char* name, int basicsize, const PyType_Slot* slots,
                                            SpecialOffsets offsets) {
    PyType_Slot all[20];
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

// Whether instances of `type` have no attribute dictionary of their own.
inline bool without_instance_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return false;
#endif
    return type->tp_dictoffset == 0;
}

// Whether a descriptor found on a type is one that method calls take unbound
// (a function, a method of a built-in type), as the interpreter decides it.
inline bool is_method_descriptor(PyObject* descr) {
#if PY_VERSION_HEX >= 0x03080000
    return (Py_TYPE(descr)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) != 0;
#else
    return PyFunction_Check(descr) || Py_TYPE(descr) == &PyMethodDescr_Type;
#endif
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

// A code object for a function `name` at `first_line`, taking `argcount`
// positional arguments and having the local variables `varnames`, with no
// byte code of its own: `empty` (made by PyCode_NewEmpty) gives the file name
// and what an empty body consists of in this version. Its line table holds
// lines relative to the first line, so one serves every first line.
inline PyObject* code_like(PyCodeObject* empty, PyObject* name, int first_line, int argcount, PyObject* varnames,
                           int flags) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    PyObject* no_names = empty->co_names;  // an empty tuple
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* code = PyCode_GetCode(empty);
    if (!code) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject* made = PyUnstable_Code_NewWithPosOnlyArgs(
#else
    PyCodeObject* made = PyCode_NewWithPosOnlyArgs(
#endif
        argcount, 0, 0, nlocals, empty->co_stacksize, flags, code, empty->co_consts, no_names, varnames, no_names,
        no_names, empty->co_filename, name, name, first_line, empty->co_linetable,
        empty->co_exceptiontable);
    Py_DECREF(code);
#elif PY_VERSION_HEX >= 0x030A0000
    PyCodeObject* made = PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, empty->co_stacksize, flags, empty->co_code,
                                                   empty->co_consts, no_names, varnames, no_names, no_names,
                                                   empty->co_filename, name, first_line, empty->co_linetable);
#elif PY_VERSION_HEX >= 0x03080000
    PyCodeObject* made = PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, empty->co_stacksize, flags, empty->co_code,
                                                   empty->co_consts, no_names, varnames, no_names, no_names,
                                                   empty->co_filename, name, first_line, empty->co_lnotab);
#else
    PyCodeObject* made = PyCode_New(argcount, 0, nlocals, empty->co_stacksize, flags, empty->co_code, empty->co_consts,
                                    no_names, varnames, no_names, no_names, empty->co_filename, name,
                                    first_line, empty->co_lnotab);
#endif
    return reinterpret_cast<PyObject*>(made);
}

// ---- the calling thread -------------------------------------------------------

// The recursion guard of a call from C, as Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall keep it. From 3.11 on they count a field of the thread
// state down and up again; far from the limit that is done here directly, and
// near it the interpreter's own function decides and raises RecursionError.
inline bool enter_recursive_call(PyThreadState* ts, const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    if (ts->c_recursion_remaining > 1) {
        --ts->c_recursion_remaining;
        return true;
    }
#elif PY_VERSION_HEX >= 0x030B0000
    if (ts->recursion_remaining > 1) {
        --ts->recursion_remaining;
        return true;
    }
#else
    (void)ts;
#endif
    return Py_EnterRecursiveCall(where) == 0;
}
inline void leave_recursive_call(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030C0000
    ++ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    ++ts->recursion_remaining;
#else
    (void)ts;
    Py_LeaveRecursiveCall();
#endif
}

// PyErr_Occurred() of the thread `ts`, read as the interpreter reads it.
inline bool error_pending(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030C0000
    return ts->current_exception != nullptr;
#else
    return ts->curexc_type != nullptr;
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
#endif
    return Py_OptimizeFlag != 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
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

// ---- dictionary change stamps -----------------------------------------------

// A stamp that changes whenever either of two watched dictionaries changes.
// Before 3.12 every dictionary carries a version, taken from one process-wide
// counter at each change, so that versions only grow: the sum of the two
// grows whenever either changes. From 3.12 on that field is deprecated and a
// dictionary watcher bumps one process-wide counter on any change of any
// dictionary passed to watch_dict().
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t g_dict_changes;
int watch_dict(PyObject* dict);
inline uint64_t dicts_stamp(PyObject*, PyObject*) { return g_dict_changes; }
#else
inline int watch_dict(PyObject*) { return 0; }
inline uint64_t dicts_stamp(PyObject* a, PyObject* b) {
    return reinterpret_cast<PyDictObject*>(a)->ma_version_tag + reinterpret_cast<PyDictObject*>(b)->ma_version_tag;
}
#endif

}  // namespace compat
