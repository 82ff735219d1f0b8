// The test-method object: a function-like object through which a runner
// reaches one compiled test body.
#pragma once

#include "mechanics.h"

#include <cstddef>

struct MethodDef {
    const char* name;
    int first_line;
    const char* const* locals;  // local variable names, `self` first; null-terminated
    void (*body)(Run&);
};

struct ClassDef {
    PyObject* const& name;
    int line;
    const MethodDef* methods;
    size_t count;
};

// The four test classes, in the order of the module body.
extern const ClassDef meta_source_tests, meta_module_tests, meta_tests, zeto_data_tests;

// Readies the type; a second call does nothing.
bool ready_test_method_type();

// The code object of a test method, made from `empty`, an empty code object
// of the module's source file (made once per process).
PyObject* make_code(const MethodDef& def, PyObject* empty);

// A new test method object for `def` of class `owner` (whose qualified name
// is the class name), with `globals` as its namespace.
PyObject* new_test_method(const MethodDef& def, PyObject* owner, PyObject* globals, PyObject* code);
