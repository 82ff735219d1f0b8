/* Callables that break the calling convention, for the checks only: they are
 * handed to the compiled test module as classes or methods of the module
 * under test, to see that a broken callee is reported and nothing crashes.
 *
 *   NullCall()        instances return NULL from tp_call, with no exception set
 *   NullVectorcall()  the same through the vectorcall protocol
 *   ValueWithError()  instances return a value while an exception is set
 *   version_tag(t)    the version tag of type t while it is valid, else 0
 *
 * The interpreter's own callers would check these results; the compiled
 * module calls its callees directly and must check them itself.
 *
 * Before 3.8 there is no vectorcall: NullVectorcall is a second NullCall.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

#if PY_VERSION_HEX < 0x03080000
typedef void *vectorcallfunc;
#define VECTORCALL_FIELDS .tp_flags = Py_TPFLAGS_DEFAULT, .tp_call = null_call
#else
#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#define VECTORCALL_FIELDS .tp_vectorcall_offset = offsetof(Broken, vectorcall), \
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, .tp_call = PyVectorcall_Call
#endif

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
} Broken;

static PyObject *null_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self; (void)args; (void)kwargs;
    return NULL;
}

#if PY_VERSION_HEX >= 0x03080000
static PyObject *null_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    (void)self; (void)args; (void)nargsf; (void)kwnames;
    return NULL;
}
#endif

static PyObject *value_with_error(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self; (void)args; (void)kwargs;
    PyErr_SetString(PyExc_ValueError, "left pending by the callee");
    Py_RETURN_NONE;
}

static PyObject *broken_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    (void)args; (void)kwargs;
    Broken *self = (Broken *)type->tp_alloc(type, 0);
#if PY_VERSION_HEX >= 0x03080000
    if (self && type->tp_vectorcall_offset) self->vectorcall = null_vectorcall;
#endif
    return (PyObject *)self;
}

static PyTypeObject NullCallType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_capi_null.NullCall",
    .tp_basicsize = sizeof(Broken),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_call = null_call,
    .tp_new = broken_new,
};

static PyTypeObject NullVectorcallType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_capi_null.NullVectorcall",
    .tp_basicsize = sizeof(Broken),
    VECTORCALL_FIELDS,
    .tp_new = broken_new,
};

static PyTypeObject ValueWithErrorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_capi_null.ValueWithError",
    .tp_basicsize = sizeof(Broken),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_call = value_with_error,
    .tp_new = broken_new,
};

static PyObject *version_tag(PyObject *self, PyObject *arg) {
    (void)self;
    if (!PyType_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "version_tag() needs a type");
        return NULL;
    }
    PyTypeObject *type = (PyTypeObject *)arg;
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromUnsignedLong(type->tp_version_tag);
#else
    return PyLong_FromUnsignedLong(PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0);
#endif
}

static PyMethodDef functions[] = {{"version_tag", version_tag, METH_O, NULL}, {NULL, NULL, 0, NULL}};

static int exec_module(PyObject *module) {
    PyTypeObject *types[] = {&NullCallType, &NullVectorcallType, &ValueWithErrorType};
    for (size_t i = 0; i < sizeof types / sizeof *types; ++i) {
        if (PyType_Ready(types[i]) < 0) return -1;
        Py_INCREF(types[i]);
        if (PyModule_AddObject(module, strrchr(types[i]->tp_name, '.') + 1, (PyObject *)types[i]) < 0) {
            Py_DECREF(types[i]);
            return -1;
        }
    }
    return 0;
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, exec_module}, {0, NULL}};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, .m_name = "_capi_null", .m_size = 0, .m_methods = functions, .m_slots = slots,
};

PyMODINIT_FUNC PyInit__capi_null(void) { return PyModuleDef_Init(&module_def); }
