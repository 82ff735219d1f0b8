/* Callables that break the calling convention, for the checks only: they are
 * handed to the compiled test module as classes or methods of the module
 * under test, to see that a broken callee is reported and nothing crashes.
 *
 *   NullCall()        instances return NULL from tp_call, with no exception set
 *   NullVectorcall()  the same through the vectorcall protocol
 *   ValueWithError()  instances return a value while an exception is set
 *   version_tag(t)    the version tag of type t while it is valid, else 0
 *   reuse_block(t)    the block that holds class t is kept when t is freed and
 *                     handed to the next class of the same size, which so
 *                     lands at t's address; reuse_block(None) ends that
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

/* reuse_block: a hook on the object allocator that passes every call on to
 * the allocator it wraps, except for the free of the watched class's block,
 * which it keeps, and the next request of that block's size, which it serves
 * with the kept block. The allocator below never sees either, so the block
 * stays its own. */
static PyMemAllocatorEx wrapped;
static int hooked;
static uintptr_t watched;  /* the class's address */
static size_t watched_size; /* what the class's allocation asked for, less its header */
static void *kept;
static size_t kept_size;

static void unhook(void) {
    if (hooked) PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &wrapped);
    hooked = 0;
}

static void *hook_malloc(void *ctx, size_t size) {
    (void)ctx;
    if (kept && size == kept_size) {
        void *block = kept;
        kept = NULL;
        unhook();
        return block;
    }
    return wrapped.malloc(wrapped.ctx, size);
}

static void *hook_calloc(void *ctx, size_t count, size_t size) {
    (void)ctx;
    return wrapped.calloc(wrapped.ctx, count, size);
}

static void *hook_realloc(void *ctx, void *ptr, size_t size) {
    (void)ctx;
    return wrapped.realloc(wrapped.ctx, ptr, size);
}

static void hook_free(void *ctx, void *ptr) {
    (void)ctx;
    /* The class's block starts at most a header's length before the class. */
    const uintptr_t at = (uintptr_t)ptr;
    if (watched && at <= watched && watched - at < 64) {
        kept = ptr;
        kept_size = watched_size + (watched - at);
        watched = 0;
        return;
    }
    wrapped.free(wrapped.ctx, ptr);
}

static PyObject *reuse_block(PyObject *self, PyObject *arg) {
    (void)self;
    if (arg == Py_None) {
        unhook();
        watched = 0;
        if (kept) PyObject_Free(kept);
        kept = NULL;
        Py_RETURN_NONE;
    }
    if (!PyType_Check(arg) || hooked || kept) {
        PyErr_SetString(PyExc_TypeError, "reuse_block() needs a class, one at a time");
        return NULL;
    }
    /* What PyType_GenericAlloc asks for the class, beside the header in front
     * of it: its metaclass's size with one more item than the class has. */
    PyTypeObject *meta = Py_TYPE(arg);
    const size_t size = (size_t)meta->tp_basicsize + (size_t)(Py_SIZE(arg) + 1) * (size_t)meta->tp_itemsize;
    watched_size = (size + sizeof(void *) - 1) & ~(sizeof(void *) - 1);
    watched = (uintptr_t)arg;
    PyMemAllocatorEx hook = {NULL, hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &wrapped);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &hook);
    hooked = 1;
    Py_RETURN_NONE;
}

static PyMethodDef functions[] = {
    {"version_tag", version_tag, METH_O, NULL},
    {"reuse_block", reuse_block, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

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
