// What every test body is made of: the module's constants, global reads,
// calls, item access, comparisons and assertions.
//
// The module uses no C++ exceptions (it is built without them). A failing
// operation leaves its interpreter exception pending and puts the running
// test into a failed state: from then on every operation does nothing and
// gives an empty handle or false, and the line stays at the failing
// statement, so that a test body reads as its statements one after another
// and the test-method object adds the failure record when the body returns.
#pragma once

#include "fast_paths.h"

#include <cstdint>
#include <initializer_list>

// The dictionaries that global reads consult: the module's, then the
// built-in names. Set once the module body has run.
bool set_namespaces(PyObject* module_dict, PyObject* builtins_dict);

// A global name and its cached value. The value is borrowed from whichever
// dictionary held it and is reused only while neither dictionary has changed.
struct Global {
    PyObject* const& name;
    PyObject* value = nullptr;
    uint64_t stamp = 0;  // of the two dictionaries when the value was read
};
namespace globals {
extern Global Meta, MetaModule, MetaSource, ZetoData, NODE, time;
}
namespace detail {
extern PyObject* g_module_dict;
extern PyObject* g_builtins_dict;

// Calls `fn` with the n arguments at stack + 2, the last len(kwnames) of
// which are keyword values, under the recursion guard; a non-null `self` goes
// first, as the object of an unbound method. stack[0] and stack[1] are free
// (for `self`, and for a callee that puts its own in front of the
// arguments). Returns a new reference or null with an exception set.
PyObject* invoke(PyThreadState* ts, PyObject* fn, PyObject* self, PyObject** stack, size_t n, PyObject* kwnames);
}  // namespace detail

// Something read to be called: a plain callable, or a function found on an
// object's type together with that object (spares making a bound method).
struct Callable {
    Ref fn;
    Ref self;
};

// Imports a top-level module as the `import` statement does, reusing the
// entry in sys.modules unless that module is still initialising.
PyObject* import_module(PyObject* name, PyObject* globals);

// One running test: the line of the statement being run, whether it has
// failed, and the operations its statements are made of.
class Run {
public:
    explicit Run(int first_line) : line_(first_line), ts_(PyThreadState_Get()) {}
    int line() const { return failed_ ? failed_line_ : line_; }
    bool failed() const { return failed_; }
    // Marks the start of the statement at `line`; failures from now on report
    // it. Once the test has failed the line stays where the failure was.
    Run& at(int line) {
        line_ = line;
        return *this;
    }

    Ref global(Global& g) {
        if (failed_) return Ref();
        if (fast::kGlobalCache && g.value &&
            g.stamp == fast::namespaces_stamp(detail::g_module_dict, detail::g_builtins_dict))
            return Ref::borrow(g.value);
        return global_lookup(g);
    }
    Ref attr(const Ref& obj, PyObject* name) {
        if (failed_) return Ref();
        if (PyObject* value = fast::direct_value(obj.get(), name)) return Ref::borrow(value);
        return attr_lookup(obj, name);
    }
    // obj.name, read in order to call it.
    Callable method(const Ref& obj, PyObject* name);
    // Calls fn(*positional, **dict(zip(kwnames, keyword values))); `args` holds
    // the positional values followed by the keyword values. The callable is
    // released as soon as the call returns.
    template <size_t N>
    Ref call(Callable fn, PyObject* const (&args)[N], PyObject* kwnames = nullptr) {
        // The arguments go where invoke() wants them, two slots in front
        // free; a copy of known length is a few moves.
        PyObject* stack[2 + N];
        for (size_t i = 0; i < N; ++i) stack[2 + i] = args[i];
        return call_with(std::move(fn), stack, N, kwnames);
    }
    Ref call(Callable fn) {
        PyObject* stack[2];
        return call_with(std::move(fn), stack, 0, nullptr);
    }
    template <size_t N>
    Ref call(Ref fn, PyObject* const (&args)[N], PyObject* kwnames = nullptr) {
        return call(Callable{std::move(fn), Ref()}, args, kwnames);
    }
    Ref call(Ref fn) { return call(Callable{std::move(fn), Ref()}); }
    // obj.name(): the attribute is read first, then called.
    Ref call_method(const Ref& obj, PyObject* name) { return call(method(obj, name)); }
    // obj[key]: an exact dict is looked up directly, anything else subscribed.
    Ref item(const Ref& obj, PyObject* key);
    Ref import(PyObject* name);
    Ref list(std::initializer_list<PyObject*> items);
    Ref dict(std::initializer_list<PyObject*> keys_and_values);
    // dict[key] = value
    void store(const Ref& dict, PyObject* key, PyObject* value);

    // value == constant, the value on the left. Exact built-in operands are
    // compared directly, with the same outcome as the rich comparison.
    bool equals(Ref value, PyObject* constant);
    // left OP right by rich comparison, then the truth test of the result;
    // exact floats, and exact str for == and !=, directly, with the same outcome.
    // The comparison owns its operands (a local variable lends its value with
    // share()) and releases them, left then right, before it asks the result
    // for its truth, as the interpreter does.
    bool compare(Ref left, Ref right, int op);
    bool contains(const Ref& container, PyObject* key);
    bool is_none(const Ref& obj) const { return obj.get() == Py_None; }

    // An assertion at `line`: skipped under -O; otherwise `cond` is evaluated
    // and a false result raises AssertionError(). A condition that failed
    // with an exception of its own leaves that exception.
    template <class Cond>
    void check(int line, Cond cond) {
        if (at(line).failed_ || compat::optimizing()) return;
        if (!cond() && !failed_) assertion_failed();
    }

private:
    Ref call_with(Callable fn, PyObject** stack, size_t n, PyObject* kwnames) {
        if (failed_) return Ref();
        PyObject* result = detail::invoke(ts_, fn.fn.get(), fn.self.get(), stack, n, kwnames);
        fn.fn.reset();
        fn.self.reset();
        return own(result);
    }
    Ref global_lookup(Global& g);
    Ref attr_lookup(const Ref& obj, PyObject* name);
    bool truth(PyObject* obj);
    void assertion_failed();
    // Takes a new reference from the C API; a null one means the call failed.
    Ref own(PyObject* p) {
        if (!p) fail();
        return Ref::steal(p);
    }
    bool fail() {
        failed_ = true;
        failed_line_ = line_;
        return false;
    }

    int line_;
    int failed_line_ = 0;
    bool failed_ = false;
    PyThreadState* ts_;  // the calling thread's, for the length of the test
};

// Releases a test's local variables, in the order given, when the test returns.
// Sized by the variables it is given: `Locals locals(a, b);` holds two.
template <size_t N>
class Locals {
public:
    template <class... R>
    explicit Locals(R&... refs) : refs_{&refs...} {}
    ~Locals() {
        for (Ref* ref : refs_) ref->reset();
    }
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;

private:
    Ref* refs_[N];
};
template <class... R>
Locals(R&...) -> Locals<sizeof...(R)>;
