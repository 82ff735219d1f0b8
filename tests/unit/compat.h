// Everything that differs between the CPython versions this module builds
// for (3.8 to 3.13) lives here; the rest of the code reads the same on all.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03080000
#error "this module needs CPython 3.8 or newer"
#endif

// The entry point must stay visible although the module is built with hidden
// symbols; before 3.9 PyMODINIT_FUNC does not say so itself.
#if PY_VERSION_HEX < 0x03090000
#define ZETO_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define ZETO_MODINIT_FUNC PyMODINIT_FUNC
#endif

namespace compat {

// ---- calls ------------------------------------------------------------------

#if PY_VERSION_HEX < 0x03090000
inline vectorcallfunc vectorcall_of(PyObject* callable) { return _PyVectorcall_Function(callable); }
constexpr unsigned long kHaveVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline vectorcallfunc vectorcall_of(PyObject* callable) { return PyVectorcall_Function(callable); }
constexpr unsigned long kHaveVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// Looks `name` up for a call, as the interpreter's own method calls do: a
// function found on the type comes back unbound (returns 1; the caller passes
// `obj` as the first argument), anything else comes back as getattr() gives
// it (returns 0). Where the interpreter does not export this lookup, it is
// plain getattr(), with the same outcome at the cost of a bound method.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030D0000
    return _PyObject_GetMethod(obj, name, method);
#else
    *method = PyObject_GetAttr(obj, name);
    return 0;
#endif
}

// ---- the interpreter --------------------------------------------------------

inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX < 0x03090000
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#else
    return PyInterpreterState_GetID(PyInterpreterState_Get());
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

// A stamp that changes whenever a watched dictionary changes. Before 3.12 every
// dictionary carries such a version; from 3.12 on that field is deprecated and
// a dictionary watcher bumps one process-wide counter on any change of any
// dictionary passed to watch_dict().
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t g_dict_changes;
int watch_dict(PyObject* dict);
inline uint64_t dict_stamp(PyObject*) { return g_dict_changes; }
#else
inline int watch_dict(PyObject*) { return 0; }
inline uint64_t dict_stamp(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

}  // namespace compat
