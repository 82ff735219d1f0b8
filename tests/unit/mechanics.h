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

#include "ref.h"

#include <cstdint>
#include <initializer_list>

// The module's import name.
constexpr char kModuleName[] = "tests.unit.test_zeto_data";

// Every text the module uses, as (C++ name, text), all ASCII. Made once, interned.
#define ZETO_TEXTS(X)                                                                   \
    X(time, "time") X(json, "json") X(zeto_data_module, "zeto_sdk.redis.zeto_data")     \
    X(Meta, "Meta") X(MetaFrameFormat, "MetaFrameFormat") X(MetaModule, "MetaModule")   \
    X(MetaSource, "MetaSource") X(ZetoData, "ZetoData") X(NODE, "NODE")                 \
    X(TestMetaSource, "TestMetaSource") X(TestMetaModule, "TestMetaModule")             \
    X(TestMeta, "TestMeta") X(TestZetoData, "TestZetoData") X(test_marker, "__test__")  \
    X(builtins, "builtins") X(dunder_builtins, "__builtins__") X(dunder_module, "__module__")                   \
    X(dunder_qualname, "__qualname__") X(dunder_loader, "__loader__")                   \
    X(dunder_file, "__file__") X(dunder_package, "__package__") X(dunder_path, "__path__") \
    X(dunder_spec, "__spec__") X(dunder_init, "__init__") X(initializing, "_initializing") \
    X(loader, "loader") X(origin, "origin") X(parent, "parent")                         \
    X(submodule_search_locations, "submodule_search_locations")                         \
    X(AssertionError, "AssertionError") X(self, "self")                                 \
    X(module_name, kModuleName)                                                         \
    X(init_funcname, "init tests.unit.test_zeto_data")                                  \
    X(id, "id") X(type, "type") X(name, "name") X(source_key, "source_key")             \
    X(output_port_idx, "output_port_idx") X(frame_id, "frame_id") X(to_dict, "to_dict") \
    X(update, "update") X(src_node, "src_node") X(src_output_port, "src_output_port")   \
    X(cur_node, "cur_node") X(feed_port_idx, "feed_port_idx") X(feed_idx, "feed_idx")   \
    X(src_port, "src_port") X(src_name, "src_name") X(ts, "ts") X(source, "source")     \
    X(module, "module") X(frame_format, "frame_format")                                 \
    X(create_zeto_data, "create_zeto_data") X(parse_zeto_data, "parse_zeto_data")       \
    X(result, "result") X(version, "version") X(dumps, "dumps") X(encode, "encode")     \
    X(label, "label") X(car, "car") X(frame, "frame") X(meta, "meta")                   \
    X(encoder, "encoder") X(with_base64, "with_base64") X(node_1, "node-1")             \
    X(object_detection, "object-detection") X(od_node, "OD Node")                       \
    X(node_1_0, "node-1_0") X(node_1_1, "node-1_1")

// The module's constants: created once per process and never released.
struct Constants {
#define ZETO_DECLARE(id, text) PyObject* id;
    ZETO_TEXTS(ZETO_DECLARE)
#undef ZETO_DECLARE
    PyObject *int0, *int1, *int2, *int3, *int42;
    PyObject* empty_tuple;
    PyObject* required_keys;  // ("ts", "source", "module", "frame_format")
    // Keyword names of the calls, in source order.
    PyObject* kw_meta_source;  // (src_node, src_output_port)
    PyObject* kw_meta_module;  // (cur_node, feed_port_idx)
    PyObject* kw_meta;         // (cur_node, feed_idx, src_node, src_port, src_name)
    PyObject* kw_zeto_data;    // (feed_idx, cur_node, src_node, src_port)
    PyObject* kw_result;       // (result,)
    PyObject* kw_version;      // (version,)
};
extern Constants c;

// The interned str of the ASCII text `text`, `length` bytes long: a new
// reference, or null with an exception set.
PyObject* intern(const char* text, size_t length);
// The built-in AssertionError, read once.
extern PyObject* g_assertion_error;

// Makes the constants, all or none: a failure leaves none made (and an
// exception set), so that the next call starts afresh. A second call after a
// successful one does nothing.
bool make_constants();

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

// Where tags can be handed out again (compat::kTagsHandedOutAgain), the
// caches below hold only within one epoch: the time during which a type of
// the module's own, which nothing else modifies, keeps its valid tag. All tags
// are invalidated together before any is handed out again, the witness's too.
extern PyTypeObject* g_tag_witness;
extern uint64_t g_tag_epoch;
// The current epoch's number, or 0 when it has ended.
inline uint64_t tag_epoch() {
    return g_tag_witness && compat::type_version(g_tag_witness) ? g_tag_epoch : 0;
}
// The current epoch's number, a new one begun if the last has ended; 0 when
// none can be (no memory for the witness, or no tag for it).
uint64_t renew_tag_epoch();

// What holds for `name` on `type` while the type keeps the same valid version
// tag: any change to the type or to one of its bases gives it a new tag (or
// none), and within one epoch a tag is never handed to another type, so what
// was found on the type then is still what its dictionaries hold. Two entries
// per set, the set chosen by a multiplicative hash of the pair.
template <class Value>
class TypeCache {
public:
    const Value* find(PyTypeObject* type, PyObject* name) const {
        if (compat::kTagsHandedOutAgain && epoch_ != tag_epoch()) return nullptr;
        const Entry* set = sets_[set_of(type, name)];
        const unsigned int version = compat::type_version(type);
        if (set[0].type == type && set[0].name == name && set[0].version == version) return &set[0].value;
        if (set[1].type == type && set[1].name == name && set[1].version == version) return &set[1].value;
        return nullptr;
    }
    // Remembers `value` for the type at `version` (not 0); the older entry of
    // the set makes room. Entries of an ended epoch are all dropped first.
    void remember(PyTypeObject* type, PyObject* name, unsigned int version, Value value) {
        if (compat::kTagsHandedOutAgain) {
            const uint64_t epoch = renew_tag_epoch();
            if (epoch == 0) return;
            if (epoch != epoch_) {
                for (auto& set : sets_) set[0] = set[1] = Entry{};
                epoch_ = epoch;
            }
            // Tagging the witness may have wrapped the counter round, which
            // invalidates every tag, the type's too.
            if (compat::type_version(type) != version) return;
        }
        Entry* set = sets_[set_of(type, name)];
        set[1] = set[0];
        set[0] = Entry{type, name, version, value};
    }

private:
    struct Entry {
        PyTypeObject* type;
        PyObject* name;
        unsigned int version;  // never 0 in a filled entry
        Value value;
    };
    static size_t set_of(PyTypeObject* type, PyObject* name) {
        const uint64_t key = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(name) >> 3);
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 58);  // 64 sets
    }
    Entry sets_[64][2] = {};
    uint64_t epoch_ = 0;
};

// Reads of __slots__ members: the offset of the object slot that reading
// `name` on an instance comes down to (the interpreter's own attribute
// caches read such slots directly too).
extern TypeCache<Py_ssize_t> g_slot_reads;

// What `name` resolves to on `type` (its MRO), as _PyType_Lookup gives it:
// a borrowed reference, or null when no class along the MRO defines it.
extern TypeCache<PyObject*> g_type_lookups;
PyObject* type_lookup_miss(PyTypeObject* type, PyObject* name);
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    if (PyObject* const* found = g_type_lookups.find(type, name)) return *found;
    return type_lookup_miss(type, name);
}

// Calls `fn` with `args`, the last len(kwnames) of which are keyword values,
// under the recursion guard; a non-null `self` goes first, as the object of an
// unbound method. Returns a new reference or null with an exception set.
PyObject* invoke(PyThreadState* ts, PyObject* fn, PyObject* self, PyObject* const* args, size_t n,
                 PyObject* kwnames);
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
        if (g.value && g.stamp == compat::dicts_stamp(detail::g_module_dict, detail::g_builtins_dict))
            return Ref::borrow(g.value);
        return global_lookup(g);
    }
    Ref attr(const Ref& obj, PyObject* name) {
        if (failed_) return Ref();
        if (const Py_ssize_t* offset = detail::g_slot_reads.find(Py_TYPE(obj.get()), name)) {
            PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.get()) + *offset);
            if (value) return Ref::borrow(value);  // an empty slot takes the generic read and its error
        }
        return attr_lookup(obj, name);
    }
    // obj.name, read in order to call it.
    Callable method(const Ref& obj, PyObject* name);
    // Calls fn(*positional, **dict(zip(kwnames, keyword values))); `args` holds
    // the positional values followed by the keyword values. The callable is
    // released as soon as the call returns.
    Ref call(Callable fn, std::initializer_list<PyObject*> args = {}, PyObject* kwnames = nullptr) {
        if (failed_) return Ref();
        PyObject* result = detail::invoke(ts_, fn.fn.get(), fn.self.get(), args.begin(), args.size(), kwnames);
        fn.fn.reset();
        fn.self.reset();
        return own(result);
    }
    Ref call(Ref fn, std::initializer_list<PyObject*> args = {}, PyObject* kwnames = nullptr) {
        if (failed_) return Ref();
        PyObject* result = detail::invoke(ts_, fn.get(), nullptr, args.begin(), args.size(), kwnames);
        fn.reset();
        return own(result);
    }
    // obj.name(*args): the attribute is read first, then called.
    Ref call_method(const Ref& obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                    PyObject* kwnames = nullptr) {
        return call(method(obj, name), args, kwnames);
    }
    // obj[key]: an exact dict is looked up directly, anything else subscribed.
    Ref item(const Ref& obj, PyObject* key);
    Ref import(PyObject* name);
    Ref list(std::initializer_list<PyObject*> items);
    Ref dict(std::initializer_list<PyObject*> keys_and_values);
    // dict[key] = value
    void store(const Ref& dict, PyObject* key, PyObject* value);

    // value == constant, the value on the left. Exact built-in operands are
    // compared directly, with the same outcome as the rich comparison.
    bool equals(const Ref& value, PyObject* constant);
    // left OP right by rich comparison, then the truth test of the result.
    bool compare(const Ref& left, PyObject* right, int op);
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
class Locals {
public:
    template <class... R>
    explicit Locals(R&... refs) : refs_{&refs...}, count_(sizeof...(R)) {}
    ~Locals() {
        for (int i = 0; i < count_; ++i) refs_[i]->reset();
    }
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;

private:
    Ref* refs_[6];
    int count_;
};
