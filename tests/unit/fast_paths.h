// Shortcuts through the interpreter's private structures and functions.
//
// Each gives the same result as the public API it stands in for, with less
// work, and says which invariant of the interpreter it relies on. Private
// structures change without notice, and a read that still compiles after its
// meaning changed is worse than a compile error; so every one of them lives
// here, behind one switch, ZETO_FAST_PATHS. It is on by default for the
// versions the shortcuts were checked on and off for any newer one, where the
// module then uses the public API alone and behaves the same. The rest of the
// module calls what is here and never asks which way it went.
//
// A build with ZETO_COUNT_SLOW_PATHS counts each time a shortcut did not
// apply, and checks each direct read of the thread state against the public
// API; the checks assert which counts stay at zero on each version.
#pragma once

#include "constants.h"
#include "ref.h"

#include <cstring>
#include <iterator>

// The newest version the shortcuts were checked on (major, minor). They were
// never checked on a free-threaded build (Py_GIL_DISABLED), whose objects and
// thread states are laid out otherwise: off there, as on a newer version.
#define ZETO_FAST_PATHS_CHECKED_UP_TO 0x030F0000
#ifndef ZETO_FAST_PATHS
#if defined(Py_GIL_DISABLED)
#define ZETO_FAST_PATHS 0
#else
#define ZETO_FAST_PATHS (PY_VERSION_HEX < ZETO_FAST_PATHS_CHECKED_UP_TO + 0x00010000)
#endif
#endif

// A function the interpreter may or may not export can be referenced weakly
// (null where it is missing) by GCC and clang in ELF objects; elsewhere
// (Mach-O, PE, other compilers) the shortcuts that would need that are left out.
#if defined(__ELF__) && defined(__GNUC__)
#define ZETO_WEAK_IMPORTS 1
#else
#define ZETO_WEAK_IMPORTS 0
#endif

namespace detail {
// The positional arguments as a tuple and the keywords as a dictionary, for
// callables that take them in that form (defined with the calls).
bool pack_arguments(PyObject* const* args, size_t nargs, PyObject* kwnames, Ref* tuple, Ref* kwargs);
}  // namespace detail

namespace fast {

constexpr bool kOn = ZETO_FAST_PATHS;

// ---- counts of the slow paths --------------------------------------------------

#define ZETO_SLOW_PATHS(X)                                                                              \
    X(global_read)        /* a global read that its cached value did not serve */                     \
    X(type_lookup)        /* a look-up on a type that the type cache did not serve */                 \
    X(attr_read)          /* an attribute read that the cache of direct reads did not serve */        \
    X(method_lookup)      /* a method read through getattr() (a bound method, or a method look-up) */ \
    X(tuple_call)         /* a call through tp_call, its arguments packed into a tuple */             \
    X(class_call)         /* a class called through type.__call__, not constructed step by step */    \
    X(recursion_guard)    /* the recursion guard taken through the public functions */                \
    X(pending_mismatch)   /* the direct read of the pending exception disagreed with PyErr_Occurred */ \
    X(guard_mismatch)     /* the counter read directly is not the one the public recursion guard moves */ \
    X(read_mismatch)      /* a direct read of inline values disagreed with the generic read */

enum Slow {
#define ZETO_SLOW_ENUM(name) k_##name,
    ZETO_SLOW_PATHS(ZETO_SLOW_ENUM)
#undef ZETO_SLOW_ENUM
    kSlowPaths
};

// Counts a slow path; only where the shortcuts are on, for only there could
// one have served it.
#ifdef ZETO_COUNT_SLOW_PATHS
inline uint64_t g_slow[kSlowPaths];
inline const char* const kSlowNames[] = {
#define ZETO_SLOW_NAME(name) #name,
    ZETO_SLOW_PATHS(ZETO_SLOW_NAME)
#undef ZETO_SLOW_NAME
};
static_assert(std::size(kSlowNames) == kSlowPaths, "one name per count");
inline void slow(Slow what) {
    if (kOn) ++g_slow[what];
}
#else
inline void slow(Slow) {}
#endif

// ---- the calling thread ----------------------------------------------------------

#if ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
// From 3.11 to 3.13 the recursion guard of calls from C counts a field of the
// thread state down on entry and up on exit, and raises RecursionError when
// it would reach zero: far from zero the count is moved here directly.
// (3.14 replaced the count by a comparison of stack addresses.)
#if PY_VERSION_HEX >= 0x030C0000
inline int& guard_count(PyThreadState* ts) { return ts->c_recursion_remaining; }
#else
inline int& guard_count(PyThreadState* ts) { return ts->recursion_remaining; }
#endif
inline bool enter_call(PyThreadState* ts, const char* where) {
#ifdef ZETO_COUNT_SLOW_PATHS
    const int before = guard_count(ts);
    if (Py_EnterRecursiveCall(where) == 0) {
        if (guard_count(ts) != before - 1) slow(k_guard_mismatch);
        Py_LeaveRecursiveCall();
    } else {
        PyErr_Clear();
    }
#endif
    if (guard_count(ts) > 1) {
        --guard_count(ts);
        return true;
    }
    slow(k_recursion_guard);
    return Py_EnterRecursiveCall(where) == 0;
}
inline void leave_call(PyThreadState* ts) { ++guard_count(ts); }
#else
inline bool enter_call(PyThreadState*, const char* where) { return Py_EnterRecursiveCall(where) == 0; }
inline void leave_call(PyThreadState*) { Py_LeaveRecursiveCall(); }
#endif

// PyErr_Occurred() for the calling thread `ts`, read where the interpreter
// keeps it: the raised exception from 3.12 on, its type before.
inline bool error_pending(PyThreadState* ts) {
#if ZETO_FAST_PATHS
#if PY_VERSION_HEX >= 0x030C0000
    const bool pending = ts->current_exception != nullptr;
#else
    const bool pending = ts->curexc_type != nullptr;
#endif
#ifdef ZETO_COUNT_SLOW_PATHS
    if (pending != (PyErr_Occurred() != nullptr)) slow(k_pending_mismatch);
#endif
    return pending;
#else
    (void)ts;
    return PyErr_Occurred() != nullptr;
#endif
}

// ---- global reads ------------------------------------------------------------

// A stamp of the module's and the built-in namespace that changes whenever
// either changes, so that a global's cached value holds while the stamp is
// the same. From 3.12 on the public dictionary watchers give it. Before,
// every dictionary keeps a version taken from one process-wide counter at
// each change (ma_version_tag), so that versions only grow and the sum of the
// two grows whenever either changes. Without either, globals are not cached.
constexpr bool kGlobalCache = compat::kDictWatchers || kOn;
inline uint64_t namespaces_stamp(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX < 0x030C0000 && ZETO_FAST_PATHS
    return reinterpret_cast<PyDictObject*>(a)->ma_version_tag + reinterpret_cast<PyDictObject*>(b)->ma_version_tag;
#else
    (void)a;
    (void)b;
    return compat::dict_changes();
#endif
}

// ---- text --------------------------------------------------------------------

// Whether two str objects are known to differ by their cached hashes (-1
// while not computed), kept in the ASCII header of every str.
inline bool hashes_differ(PyObject* a, PyObject* b) {
#if ZETO_FAST_PATHS
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    return ha != -1 && hb != -1 && ha != hb;
#else
    (void)a;
    (void)b;
    return false;
#endif
}

// ---- calls -----------------------------------------------------------------------

#if ZETO_FAST_PATHS && PY_VERSION_HEX < 0x03080000
// The "fast call" of 3.6 and 3.7 takes the vectorcall's arguments without its
// offset flag; functions written in Python and in C have it.
inline PyObject* fast_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

// The vectorcall entry of `callable`, or null when it is called through
// tp_call. From 3.8 on read as PyVectorcall_Function reads it (a function
// call of its own from 3.11 on): the entry lies at the type's
// tp_vectorcall_offset in the instance when the type has the flag.
inline vectorcallfunc vectorcall_of(PyObject* callable) {
#if ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x03080000
    PyTypeObject* type = Py_TYPE(callable);
#if PY_VERSION_HEX >= 0x03090000
    if (!(type->tp_flags & Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
#else
    if (!(type->tp_flags & _Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
#endif
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof(entry));
    return entry;
#elif ZETO_FAST_PATHS
    return PyFunction_Check(callable) || PyCFunction_Check(callable) ? fast_call : nullptr;
#else
    return compat::vectorcall_function(callable);
#endif
}

// ---- code objects ------------------------------------------------------------

// compat::code_like(), made directly from the empty code object's fields
// (its byte code, line table, constants and stack size, which an empty body
// has in this version), sparing code.replace() its keyword call and checks.
// The line table holds lines relative to the first line, so one serves every
// first line.
inline PyObject* code_like(PyCodeObject* empty, PyObject* name, int first_line, int argcount, PyObject* varnames,
                           int flags) {
#if ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x03080000
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
        no_names, empty->co_filename, name, name, first_line, empty->co_linetable, empty->co_exceptiontable);
    Py_DECREF(code);
#else
#if PY_VERSION_HEX >= 0x030A0000
    PyObject* lines = empty->co_linetable;
#else
    PyObject* lines = empty->co_lnotab;
#endif
    PyCodeObject* made = PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, empty->co_stacksize, flags, empty->co_code,
                                                   empty->co_consts, no_names, varnames, no_names, no_names,
                                                   empty->co_filename, name, first_line, lines);
#endif
    return reinterpret_cast<PyObject*>(made);
#else
    return compat::code_like(empty, name, first_line, argcount, varnames, flags);
#endif
}

#if ZETO_FAST_PATHS

// ---- type caches -------------------------------------------------------------------

// The version tag of `type` while it is valid, else 0. Any change to the type
// or to one of its bases gives it a new tag or none, so what was found on the
// type holds while its tag is the same. Up to 3.12 a valid tag is flagged;
// from 3.13 on the flag is gone and an invalid tag is 0.
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

// Where tags can be handed out again, the caches below hold only within one
// epoch: the time during which a type of the module's own, which nothing else
// modifies, keeps its valid tag. All tags are invalidated together before any
// is handed out again, the witness's too.
inline PyTypeObject* g_tag_witness = nullptr;  // made when first needed, never released
inline uint64_t g_tag_epoch = 0;

// The current epoch's number, or 0 when it has ended.
inline uint64_t tag_epoch() { return g_tag_witness && type_version(g_tag_witness) ? g_tag_epoch : 0; }

// The current epoch's number, a new one begun if the last has ended; 0 when
// none can be (no memory for the witness, or no tag for it).
inline uint64_t renew_tag_epoch() {
    if (const uint64_t epoch = tag_epoch()) return epoch;
    if (!g_tag_witness) {
        if (PyErr_Occurred()) return 0;
        PyType_Slot slots[] = {{0, nullptr}};
        PyType_Spec spec = {"test_zeto_data.tag_witness", static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT,
                            slots};
        g_tag_witness = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        // The caches are only a shortcut: without them the reads take the long way.
        if (!g_tag_witness) {
            PyErr_Clear();
            return 0;
        }
    }
    // A look-up gives the witness a tag of the new epoch.
    _PyType_Lookup(g_tag_witness, c.dunder_init);
    if (!type_version(g_tag_witness)) return 0;
    return ++g_tag_epoch;
}

// What holds for `name` on `type` while the type keeps the same valid version
// tag (within one epoch, where tags can be handed out again). A few entries
// per set, the set chosen by a multiplicative hash of the pair.
template <class Value>
class TypeCache {
public:
    const Value* find(PyTypeObject* type, PyObject* name) const {
        if (kTagsHandedOutAgain && epoch_ != tag_epoch()) return nullptr;
        const Entry* set = sets_[set_of(type, name)];
        const unsigned int version = type_version(type);
        for (size_t way = 0; way < kWays; ++way) {
            if (set[way].type == type && set[way].name == name && set[way].version == version) return &set[way].value;
        }
        return nullptr;
    }
    // Remembers `value` for the type at `version` (not 0); the oldest entry
    // of the set makes room. Entries of an ended epoch are all dropped first.
    void remember(PyTypeObject* type, PyObject* name, unsigned int version, Value value) {
        if (kTagsHandedOutAgain) {
            const uint64_t epoch = renew_tag_epoch();
            if (epoch == 0) return;
            if (epoch != epoch_) {
                for (auto& set : sets_) {
                    for (Entry& entry : set) entry = Entry{};
                }
                epoch_ = epoch;
            }
            // Tagging the witness may have wrapped the counter round, which
            // invalidates every tag, the type's too.
            if (type_version(type) != version) return;
        }
        Entry* set = sets_[set_of(type, name)];
        for (size_t way = kWays - 1; way > 0; --way) set[way] = set[way - 1];
        set[0] = Entry{type, name, version, value};
    }

private:
    struct Entry {
        PyTypeObject* type;
        PyObject* name;
        unsigned int version;  // never 0 in a filled entry
        Value value;
    };
    // 2^kSetBits sets, chosen by the top bits of the hash, of kWays entries
    // each: as many pairs as a test uses can share a set without pushing one
    // another out at every run, whatever addresses they got.
    static constexpr unsigned kSetBits = 6;
    static constexpr size_t kWays = 4;
    static size_t set_of(PyTypeObject* type, PyObject* name) {
        const uint64_t key = reinterpret_cast<uintptr_t>(type) ^ (reinterpret_cast<uintptr_t>(name) >> 3);
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits));
    }
    Entry sets_[size_t{1} << kSetBits][kWays] = {};
    uint64_t epoch_ = 0;
};

// What `name` resolves to on `type` (its MRO), as _PyType_Lookup gives it: a
// borrowed reference, or null when no class along the MRO defines it.
inline TypeCache<PyObject*> g_type_lookups;
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    if (PyObject* const* found = g_type_lookups.find(type, name)) return *found;
    slow(k_type_lookup);
    // The look-up gives the type a valid version tag if it can have one.
    PyObject* found = _PyType_Lookup(type, name);
    if (const unsigned int version = type_version(type)) g_type_lookups.remember(type, name, version, found);
    return found;
}

#endif  // ZETO_FAST_PATHS

// ---- attributes of instances ---------------------------------------------------

#if ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x030B0000
// From 3.11 on, the instances of most classes written in Python keep their
// attributes not in a dictionary but in an array of values, in the order of
// the keys that all instances of the class share (the class's
// ht_cached_keys). The interpreter's own attribute caches read them there; so
// do the reads below. The layouts, as the interpreter's internal headers give
// them on builds with the GIL, 3.11 to 3.15:
//
// The shared keys: this header, a hash table of 1 << log2_index_bytes bytes,
// then the entries (key, value) in insertion order; keys are only ever added,
// so an entry keeps its index for the life of the keys.
struct SharedKeys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // kSplitKeys for keys shared by instances
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
constexpr uint8_t kSplitKeys = 2;  // DICT_KEYS_SPLIT
struct SharedKeyEntry {
    PyObject* key;
    PyObject* value;
};
#if PY_VERSION_HEX >= 0x030D0000
// 3.13 on: the values lie right after the object's basic size, behind a
// header whose `valid` says whether they still hold the instance's attributes
// (cleared when a dictionary that cannot share the keys takes them over).
struct InlineValues {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
#endif

// The class's shared keys, or null when its instances keep no inline values
// (only a class made at run time has the field that holds them).
inline const SharedKeys* shared_keys(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    const unsigned long flags = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_INLINE_VALUES;
#else
    const unsigned long flags = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_MANAGED_DICT;
#endif
    if ((type->tp_flags & flags) != flags) return nullptr;
    return reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}

// The values of `obj` while they hold its attributes, else null (then its
// dictionary does, and the generic read decides); at least `count` of them.
inline PyObject* const* inline_values(PyObject* obj, Py_ssize_t count) {
#if PY_VERSION_HEX >= 0x030D0000
    const auto* values = reinterpret_cast<const InlineValues*>(reinterpret_cast<char*>(obj) + Py_TYPE(obj)->tp_basicsize);
    return values->valid && count <= values->capacity ? values->values : nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    // 3.12: the third word before the object holds either the dictionary or,
    // tagged by its lowest bit, the values' address less one. The values have
    // room for every key the shared keys can ever hold.
    (void)count;
    const uintptr_t dict_or_values = reinterpret_cast<const uintptr_t*>(obj)[-3];
    return dict_or_values & 1 ? reinterpret_cast<PyObject* const*>(dict_or_values + 1) : nullptr;
#else
    // 3.11: the fourth word before the object holds the values' address, null
    // once a dictionary has taken them over; room as in 3.12.
    (void)count;
    return reinterpret_cast<PyObject* const* const*>(obj)[-4];
#endif
}

// The index of the key equal to `name` among the shared keys, or -1.
inline Py_ssize_t key_index(const SharedKeys* keys, PyObject* name) {
    const auto* entries = reinterpret_cast<const SharedKeyEntry*>(reinterpret_cast<const char*>(keys + 1) +
                                                                  (size_t{1} << keys->log2_index_bytes));
    // Names are interned, so the key is mostly the very same object; an
    // equal one is the same key all the same (comparing two str runs no code).
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (entries[i].key == name) return i;
    }
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (PyUnicode_Compare(entries[i].key, name) == 0) return i;
    }
    return -1;
}
#define ZETO_INLINE_VALUES 1
#else
#define ZETO_INLINE_VALUES 0
#endif

#if ZETO_FAST_PATHS
// Attribute reads that come down to one place in the instance: an object
// slot of a __slots__ member, at an offset, or an entry of the inline values,
// at the index of its key in the class's shared keys (kept with it).
struct DirectRead {
    Py_ssize_t where;  // kGenericRead for a read that comes down to no one place
    const void* keys;  // null for an object slot
};
constexpr Py_ssize_t kGenericRead = -1;
inline TypeCache<DirectRead> g_direct_reads;
#endif  // ZETO_FAST_PATHS

// Remembers where reading `name` on an instance of `type` comes down to, if
// it is one place in the instance, or else that it is a generic read. The generic
// read looks up the name on the type first: when it finds a member
// descriptor of an object slot there, that slot is read; when it finds
// nothing at all there, the instance's own attributes decide, and those are
// the inline values while they are valid.
ZETO_COLD inline void learn_direct_read(PyTypeObject* type, PyObject* name) {
#if ZETO_FAST_PATHS
    slow(k_attr_read);
    // The look-up gives the type a valid version tag if it can have one.
    PyObject* descr = type_lookup(type, name);
    const unsigned int version = type_version(type);
    if (version == 0) return;
    DirectRead read{kGenericRead, nullptr};
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        // Whatever the type's own attribute access does.
    } else if (!descr) {
#if ZETO_INLINE_VALUES
        const SharedKeys* keys = shared_keys(type);
        const Py_ssize_t index = keys && keys->kind == kSplitKeys ? key_index(keys, name) : -1;
        if (index >= 0) read = DirectRead{index, keys};
#endif
    } else if (Py_TYPE(descr) == &PyMemberDescr_Type && PyType_IsSubtype(type, PyDescr_TYPE(descr))) {
        // A member describes a slot of its own class: borrowed by an unrelated
        // class it refuses to read, and that refusal is the generic read's.
        const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        if (member->type == T_OBJECT_EX && !(member->flags & READ_RESTRICTED)) read = DirectRead{member->offset, nullptr};
    }
    g_direct_reads.remember(type, name, version, read);
#else
    (void)type;
    (void)name;
#endif
}

// The value of `name` on `obj` when the cache knows where reading it comes
// down to and a value is there (a borrowed reference), else null: the generic
// read decides, with its error for an empty slot or a missing attribute. A
// read the cache does not know yet is learnt, for the next time.
inline PyObject* direct_value(PyObject* obj, PyObject* name) {
#if ZETO_FAST_PATHS
    PyTypeObject* type = Py_TYPE(obj);
    const DirectRead* read = g_direct_reads.find(type, name);
    if (!read) {
        learn_direct_read(type, name);
        return nullptr;
    }
    if (read->where == kGenericRead) {
        slow(k_attr_read);
        return nullptr;
    }
    if (!read->keys) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + read->where);
#if ZETO_INLINE_VALUES
    if (shared_keys(type) != read->keys) return nullptr;
    PyObject* const* values = inline_values(obj, read->where + 1);
    PyObject* value = values ? values[read->where] : nullptr;
#ifdef ZETO_COUNT_SLOW_PATHS
    if (value) {
        PyObject* generic = PyObject_GetAttr(obj, name);
        if (generic != value) slow(k_read_mismatch);
        if (!generic) PyErr_Clear();
        Py_XDECREF(generic);
    }
#endif
    return value;
#endif
#else
    (void)obj;
    (void)name;
#endif
    return nullptr;
}

#if ZETO_FAST_PATHS
// Where a name sits among a class's shared keys: its index, or -1 when it is
// none of the first `nentries` (all there were when this was found; keys are
// only ever added).
struct KeyIndex {
    const void* keys;
    Py_ssize_t nentries;
    Py_ssize_t index;
};
inline TypeCache<KeyIndex> g_key_indexes;
#endif

// Whether `obj` is known to have no attribute `name` of its own: its inline
// values hold its attributes and have none of that name. false when that
// cannot be told this way.
inline bool without_own_attribute(PyObject* obj, PyObject* name) {
#if ZETO_INLINE_VALUES
    PyTypeObject* type = Py_TYPE(obj);
    const SharedKeys* keys = shared_keys(type);
    if (!keys || keys->kind != kSplitKeys) return false;
    const KeyIndex* known = g_key_indexes.find(type, name);
    KeyIndex at = known ? *known : KeyIndex{};
    if (at.keys != keys || at.nentries != keys->nentries) {
        const unsigned int version = type_version(type);
        if (version == 0) return false;
        at = KeyIndex{keys, keys->nentries, key_index(keys, name)};
        g_key_indexes.remember(type, name, version, at);
    }
    PyObject* const* values = inline_values(obj, at.index + 1);
    return values && (at.index < 0 || !values[at.index]);
#else
    (void)obj;
    (void)name;
    return false;
#endif
}

// ---- method look-ups ------------------------------------------------------------

// Exported from 3.7 on, but declared in the public headers only from 3.9 to
// 3.12; where it is not declared it is referenced weakly, and an interpreter
// that does not export it leaves it null.
#if ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x03070000 && (PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000)
#define ZETO_GET_METHOD ZETO_WEAK_IMPORTS
#if ZETO_GET_METHOD
extern "C" __attribute__((weak, visibility("default"))) int _PyObject_GetMethod(PyObject*, PyObject*, PyObject**);
#endif
#else
#define ZETO_GET_METHOD (ZETO_FAST_PATHS && PY_VERSION_HEX >= 0x03070000)
#endif

// obj.name, read in order to call it, as the interpreter's own method calls
// read it: 2 with *fn a function found on the type, to be called unbound with
// `obj` in front of the arguments; 1 with *fn the callable as getattr() gives
// it; -1 with an exception set. *fn is a new reference.
inline int find_method(PyObject* obj, PyObject* name, PyObject** fn) {
#if ZETO_FAST_PATHS
    PyTypeObject* type = Py_TYPE(obj);
    bool without_instance_dict = type->tp_dictoffset == 0;
#if PY_VERSION_HEX >= 0x030B0000
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) without_instance_dict = false;
#endif
    if (type->tp_getattro == PyObject_GenericGetAttr && (without_instance_dict || without_own_attribute(obj, name))) {
        // Nothing on the instance can shadow what the type has: a method
        // descriptor (a function, a method of a built-in type) found there is
        // taken unbound, as the generic method look-up does; any other
        // descriptor gives what its __get__ gives, and a plain class
        // attribute is itself, as the generic attribute read has it.
        if (PyObject* descr = type_lookup(type, name)) {
#if PY_VERSION_HEX >= 0x03080000
            const bool method = (Py_TYPE(descr)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) != 0;
#else
            const bool method = PyFunction_Check(descr) || Py_TYPE(descr) == &PyMethodDescr_Type;
#endif
            Py_INCREF(descr);
            *fn = descr;
            if (method) return 2;
            descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
            if (!get) return 1;
            *fn = get(descr, obj, reinterpret_cast<PyObject*>(type));
            Py_DECREF(descr);
            return *fn ? 1 : -1;
        }
    } else if (type == &PyModule_Type && !type_lookup(type, name)) {
        // A module's attribute, when the module type itself has none of that
        // name, is the entry of its dictionary; a missing one takes the
        // generic way (its __getattr__, the error message).
        if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj), name)) {
            Py_INCREF(value);
            *fn = value;
            return 1;
        }
        if (PyErr_Occurred()) return -1;
    }
    slow(k_method_lookup);
#if ZETO_GET_METHOD
#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
    if (&_PyObject_GetMethod != nullptr)
#endif
    {
        const int unbound = _PyObject_GetMethod(obj, name, fn);
        return *fn ? (unbound ? 2 : 1) : -1;
    }
#endif
#endif
    *fn = PyObject_GetAttr(obj, name);
    if (!*fn) return -1;
    // A method bound to `obj` itself is called as the function it binds, with
    // `obj` in front of the arguments: what calling the bound method does.
    if (PyMethod_Check(*fn) && PyMethod_GET_SELF(*fn) == obj) {
        PyObject* function = PyMethod_GET_FUNCTION(*fn);
        Py_INCREF(function);
        Py_SETREF(*fn, function);
        return 2;
    }
    return 1;
}

// ---- construction --------------------------------------------------------------

#if ZETO_FAST_PATHS
// The init slot of classes whose __init__ is written in Python (the slot
// function itself is not exported). Learnt from the first such class called:
// a class whose own namespace defines __init__ as a Python function has that
// slot, for the interpreter sets it whenever a class defines or is given an
// __init__ that is not a wrapper of a C init slot. Until it is known, classes
// are called through type.__call__.
inline initproc g_python_init_slot = nullptr;

inline void learn_python_init_slot(PyTypeObject* cls) {
    PyObject* init = cls->tp_dict ? PyDict_GetItemWithError(cls->tp_dict, c.dunder_init) : nullptr;
    if (!init) {
        PyErr_Clear();
        return;
    }
    if (PyFunction_Check(init) && cls->tp_init != PyBaseObject_Type.tp_init) g_python_init_slot = cls->tp_init;
}
#endif

// Whether calling `fn` means type.__call__ with object.__new__ and an
// __init__ written in Python found on the class: a class whose metaclass is
// `type` itself, which construct() can make step by step.
inline bool is_plain_class(PyObject* fn) {
    if (Py_TYPE(fn) != &PyType_Type) return false;  // a metaclass may define __call__
#if ZETO_FAST_PATHS
    auto* cls = reinterpret_cast<PyTypeObject*>(fn);
    if (cls->tp_new == PyBaseObject_Type.tp_new) {
        if (!g_python_init_slot && (cls->tp_flags & Py_TPFLAGS_HEAPTYPE)) learn_python_init_slot(cls);
        if (cls->tp_init == g_python_init_slot && g_python_init_slot) return true;
    }
#endif
    slow(k_class_call);
    return false;
}

#if ZETO_FAST_PATHS
// cls(*args) for a plain class, step by step as type.__call__ takes it, but
// with the keywords handed to the Python __init__ by name instead of packed
// into a dictionary and out again. `stack[0]` is free for the new object,
// the arguments follow. object.__new__ passes over the call's arguments when
// the class has an __init__ of its own, so calling it without them makes the
// same object, set up the same way (abstract classes refused, attributes
// prepared). An exception left pending with a result is the caller's to check.
inline PyObject* construct(PyObject* fn, PyObject** stack, size_t nargs, PyObject* kwnames) {
    auto* cls = reinterpret_cast<PyTypeObject*>(fn);
    Ref obj = Ref::steal(cls->tp_new(cls, c.empty_tuple, nullptr));
    if (!obj) return nullptr;
    // __init__ is looked up now, after __new__, as type.__call__ does.
    PyTypeObject* type = Py_TYPE(obj.get());
    Ref init = Ref::borrow(type->tp_init == g_python_init_slot ? type_lookup(type, c.dunder_init) : nullptr);
    Ref result;
    if (init && PyFunction_Check(init.get())) {
        stack[0] = obj.get();
        result = Ref::steal(
            vectorcall_of(init.get())(init.get(), stack, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        if (!result) return nullptr;
        if (result.get() != Py_None) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                         Py_TYPE(result.get())->tp_name);
            return nullptr;
        }
    } else if (type->tp_init) {
        slow(k_class_call);
        Ref tuple, kwargs;
        if (!detail::pack_arguments(stack + 1, nargs, kwnames, &tuple, &kwargs) ||
            type->tp_init(obj.get(), tuple.get(), kwargs.get()) < 0)
            return nullptr;
    }
    return obj.release();
}
#else
inline PyObject* construct(PyObject*, PyObject**, size_t, PyObject*) { return nullptr; }
#endif

}  // namespace fast
