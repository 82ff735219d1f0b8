// Failure records: the traceback entry added to an exception that leaves a
// test method or the module body.
#pragma once

#include "compat.h"

// The file name that the records and the test methods' code objects carry.
constexpr const char* kSourcePath = "tests/unit/test_zeto_data.py";

// Adds one traceback entry to the pending exception: function `funcname`,
// file kSourcePath, line `line`, with the module dictionary as its globals.
// The pending exception is left as it was if the entry cannot be made.
void add_failure_record(PyObject* funcname, int line, PyObject* globals);
