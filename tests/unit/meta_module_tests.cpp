// class TestMetaModule: MetaModule takes id and type from the node,
// keeps the feed port index, and reports its id in its dictionary form.
#include "suite.h"

namespace {

// MetaModule(cur_node=NODE, feed_port_idx=<port>)
Ref new_meta_module(Run& t, PyObject* port) {
    Ref cls = t.global(globals::MetaModule);
    Ref node = t.global(globals::NODE);
    return t.call(std::move(cls), {node.get(), port}, c.kw_meta_module);
}

}  // namespace

namespace meta_module_tests {

void test_init_with_node(Run& t) {
    Ref mod;
    Locals locals(mod);
    mod = new_meta_module(t.at(45), c.int2);
    t.check(46, [&] { return t.equals(t.attr(mod, c.id), c.node_1); });
    t.check(47, [&] { return t.equals(t.attr(mod, c.type), c.object_detection); });
    t.check(48, [&] { return t.equals(t.attr(mod, c.feed_port_idx), c.int2); });
}

void test_init_without_node(Run& t) {
    Ref mod;
    Locals locals(mod);
    t.at(51);
    mod = t.call(t.global(globals::MetaModule));
    t.check(52, [&] { return t.is_none(t.attr(mod, c.id)); });
}

void test_to_dict(Run& t) {
    Ref mod, d;
    Locals locals(mod, d);
    mod = new_meta_module(t.at(55), c.int0);
    t.at(56);
    d = t.call_method(mod, c.to_dict);
    t.check(57, [&] { return t.equals(t.item(d, c.id), c.node_1); });
}

}  // namespace meta_module_tests
