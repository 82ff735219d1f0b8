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

// A test class: its name, the line of its class statement, and its methods,
// counted from their table.
struct ClassDef {
    PyObject* const& name;
    int line;
    const MethodDef* methods;
    size_t count;

    template <size_t N>
    constexpr ClassDef(PyObject* const& name, int line, const MethodDef (&methods)[N])
        : name(name), line(line), methods(methods), count(N) {}
};

// Readies the type; a second call does nothing.
bool ready_test_method_type();

// What the objects of one test method share, made once per process: its name,
// its code object (made when first asked for), its qualified name and the
// function name of its failure records.
struct MethodParts {
    PyObject* name;
    PyObject* code;
    PyObject* qualname;
    PyObject* fullname;
};

// The tuple of local variable names `locals` (null-terminated), interned.
PyObject* make_varnames(const char* const* locals);

// Makes the parts of `def`, a method of the class `class_name`, but its code
// object. New references in *parts, or false with an exception set.
bool make_method_parts(const MethodDef& def, PyObject* class_name, MethodParts* parts);

// The code object of `def`, named `name`: a new reference, or null with an
// exception set.
PyObject* make_code(const MethodDef& def, PyObject* name);

// A new test method object for `def`, with `globals` as its namespace; it
// keeps a reference to `parts`, which must live as long as it does.
PyObject* new_test_method(const MethodDef& def, MethodParts& parts, PyObject* globals);
