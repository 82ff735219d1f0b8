// The module's constants: every text it uses, the integers, the tuples of
// keyword names. Made once per process and never released.
#pragma once

#include "compat.h"

#include <cstddef>

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
