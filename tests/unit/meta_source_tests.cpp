// class TestMetaSource: MetaSource takes its fields from the node,
// forms its source key from id and port, and its update skips None values.
#include "suite.h"

namespace {

// MetaSource(src_node=NODE, src_output_port=<port>)
Ref new_meta_source(Run& t, PyObject* port) {
    Ref cls = t.global(globals::MetaSource);
    Ref node = t.global(globals::NODE);
    return t.call(std::move(cls), {node.get(), port}, c.kw_meta_source);
}

// src.update({<key>: <value>}); the result is dropped unread.
void update(Run& t, const Ref& src, PyObject* key, PyObject* value) {
    Callable method = t.method(src, c.update);
    Ref values = t.dict({key, value});
    t.call(std::move(method), {values.get()});
}

}  // namespace

namespace meta_source_tests {

void test_init_with_node_sets_fields(Run& t) {
    Ref src;
    Locals locals(src);
    src = new_meta_source(t.at(12), c.int0);
    t.check(13, [&] { return t.equals(t.attr(src, c.id), c.node_1); });
    t.check(14, [&] { return t.equals(t.attr(src, c.type), c.object_detection); });
    t.check(15, [&] { return t.equals(t.attr(src, c.name), c.od_node); });
    t.check(16, [&] { return t.equals(t.attr(src, c.source_key), c.node_1_0); });
    t.check(17, [&] { return t.equals(t.attr(src, c.output_port_idx), c.int0); });
}

void test_init_without_node_leaves_none(Run& t) {
    Ref src;
    Locals locals(src);
    t.at(20);
    src = t.call(t.global(globals::MetaSource));
    t.check(21, [&] { return t.is_none(t.attr(src, c.id)); });
    t.check(22, [&] { return t.is_none(t.attr(src, c.type)); });
}

void test_to_dict_returns_dict_with_id(Run& t) {
    Ref src, d;
    Locals locals(src, d);
    src = new_meta_source(t.at(25), c.int1);
    t.at(26);
    d = t.call_method(src, c.to_dict);
    t.check(27, [&] { return PyDict_Check(d.get()) != 0; });
    t.check(28, [&] { return t.equals(t.item(d, c.id), c.node_1); });
    t.check(29, [&] { return t.equals(t.item(d, c.source_key), c.node_1_1); });
}

void test_update_sets_new_values(Run& t) {
    Ref src;
    Locals locals(src);
    src = new_meta_source(t.at(32), c.int0);
    update(t.at(33), src, c.frame_id, c.int42);
    t.check(34, [&] { return t.equals(t.attr(src, c.frame_id), c.int42); });
}

void test_update_ignores_none_values(Run& t) {
    Ref src, original_id;
    Locals locals(src, original_id);
    src = new_meta_source(t.at(37), c.int0);
    t.at(38);
    original_id = t.attr(src, c.id);
    update(t.at(39), src, c.id, Py_None);
    // Both sides come from the module under test: no identity shortcut.
    t.check(40, [&] { return t.compare(t.attr(src, c.id), original_id.share(), Py_EQ); });
}

}  // namespace meta_source_tests
