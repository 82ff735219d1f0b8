#include "record.h"

#include <algorithm>

namespace {

// The empty code objects of the records, made once per (line, function) and
// kept for the life of the process, sorted for bisection. The function name is
// part of the key because a method's first line names both the method (when
// its arguments are wrong) and the module body (when making it fails).
struct Entry {
    int line;
    PyObject* funcname;  // an interned constant; compared by identity
    PyObject* code;
};
constexpr size_t kGrowth = 64;
Entry* g_entries = nullptr;
size_t g_count = 0;
size_t g_capacity = 0;

bool before(const Entry& e, int line, PyObject* funcname) {
    return e.line < line || (e.line == line && e.funcname < funcname);
}

PyObject* code_for(PyObject* funcname, int line) {
    Entry* end = g_entries + g_count;
    Entry* pos = std::lower_bound(g_entries, end, line, [funcname](const Entry& e, int l) {
        return before(e, l, funcname);
    });
    if (pos != end && pos->line == line && pos->funcname == funcname) return pos->code;

    const char* name = PyUnicode_AsUTF8(funcname);
    if (!name) return nullptr;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourcePath, name, line));
    if (!code) return nullptr;
    if (g_count == g_capacity) {
        const size_t index = static_cast<size_t>(pos - g_entries);
        auto* grown = PyMem_Realloc(g_entries, (g_capacity + kGrowth) * sizeof(Entry));
        if (!grown) {
            Py_DECREF(code);
            PyErr_NoMemory();
            return nullptr;
        }
        g_entries = static_cast<Entry*>(grown);
        g_capacity += kGrowth;
        pos = g_entries + index;
        end = g_entries + g_count;
    }
    std::move_backward(pos, end, end + 1);
    Py_INCREF(funcname);
    *pos = Entry{line, funcname, code};
    ++g_count;
    return code;
}

}  // namespace

void add_failure_record(PyObject* funcname, int line, PyObject* globals) {
    PyObject* frame = nullptr;
    {
        // Build the frame with the exception held aside, so that no call runs
        // while it is pending; a failure here keeps the original exception.
        compat::SavedError saved;
        PyObject* code = code_for(funcname, line);
        if (code)
            frame = reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
        PyErr_Clear();
    }
    if (!frame) return;
    // A fresh frame reports its code's first line, which is the failing line.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
}
