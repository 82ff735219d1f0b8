#include "constants.h"

#include <cstring>
#include <initializer_list>
#include <iterator>

Constants c;
PyObject* g_assertion_error = nullptr;

namespace {

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

// The constants in the order they are made; each slot is filled by one step
// and may be used by the steps after it.
constexpr size_t kTexts = 0
#define ZETO_COUNT(id, text) +1
    ZETO_TEXTS(ZETO_COUNT)
#undef ZETO_COUNT
    ;
constexpr size_t kConstants = sizeof(Constants) / sizeof(PyObject*);
static_assert(sizeof(Constants) == kConstants * sizeof(PyObject*), "Constants holds object pointers only");

struct Text {
    const char* text;
    size_t length;
};
constexpr Text kTextValues[] = {
#define ZETO_TEXT(id, text) {text, sizeof(text) - 1},
    ZETO_TEXTS(ZETO_TEXT)
#undef ZETO_TEXT
};

// Fills `made` in place; returns how many slots it filled before a failure
// (all of them on success).
size_t fill_constants(Constants& made) {
    PyObject** slots = reinterpret_cast<PyObject**>(&made);
    size_t n = 0;
    for (; n < kTexts; ++n) {
        if (!(slots[n] = intern(kTextValues[n].text, kTextValues[n].length))) return n;
    }
    PyObject* (*const steps[])(const Constants&) = {
        [](const Constants&) { return PyLong_FromLong(0); },
        [](const Constants&) { return PyLong_FromLong(1); },
        [](const Constants&) { return PyLong_FromLong(2); },
        [](const Constants&) { return PyLong_FromLong(3); },
        [](const Constants&) { return PyLong_FromLong(42); },
        [](const Constants&) { return PyTuple_New(0); },
        [](const Constants& m) { return tuple_of({m.ts, m.source, m.module, m.frame_format}); },
        [](const Constants& m) { return tuple_of({m.src_node, m.src_output_port}); },
        [](const Constants& m) { return tuple_of({m.cur_node, m.feed_port_idx}); },
        [](const Constants& m) { return tuple_of({m.cur_node, m.feed_idx, m.src_node, m.src_port, m.src_name}); },
        [](const Constants& m) { return tuple_of({m.feed_idx, m.cur_node, m.src_node, m.src_port}); },
        [](const Constants& m) { return tuple_of({m.result}); },
        [](const Constants& m) { return tuple_of({m.version}); },
    };
    static_assert(kTexts + std::size(steps) == kConstants, "one step per constant of Constants after the texts");
    for (auto step : steps) {
        if (!(slots[n] = step(made))) return n;
        ++n;
    }
    return n;
}

}  // namespace

PyObject* intern(const char* text, size_t length) {
    // Made as ASCII directly, which spares decoding the text as UTF-8.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (!str) return nullptr;
    std::memcpy(PyUnicode_DATA(str), text, length);
    PyUnicode_InternInPlace(&str);
    return str;
}

bool make_constants() {
    if (c.kw_version) return true;
    // Made aside and published whole: a failure releases what was made.
    Constants made{};
    const size_t filled = fill_constants(made);
    if (filled < kConstants) {
        PyObject** slots = reinterpret_cast<PyObject**>(&made);
        for (size_t i = 0; i < filled; ++i) Py_DECREF(slots[i]);
        return false;
    }
    c = made;
    return true;
}

