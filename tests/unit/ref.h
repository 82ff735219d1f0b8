// Owned references to interpreter objects.
#pragma once

#include "compat.h"

#include <utility>

// Holds one strong reference and releases it when destroyed. steal() takes
// over a reference the caller owns, borrow() adds one of its own.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Another reference to the same object, as the interpreter pushes a local
    // variable onto its stack: whoever is handed it releases it, while the
    // variable keeps its own. Runs no code, so it may be sequenced freely.
    Ref share() const { return borrow(p_); }
    explicit operator bool() const { return p_ != nullptr; }

    // Gives the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Drops the reference now. The slot is emptied before the object is
    // released, so code run by its destructor never sees a dangling pointer.
    void reset() {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};
