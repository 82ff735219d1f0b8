// class TestMeta: Meta reads its timestamp from the clock while it
// is built, keeps it, and reports it with the required keys in to_dict().
#include "suite.h"

namespace {

// Meta(cur_node=NODE, feed_idx=0, src_node=NODE, src_port=0, src_name=None)
Ref new_meta(Run& t) {
    Ref cls = t.global(globals::Meta);
    Ref cur_node = t.global(globals::NODE);
    Ref src_node = t.global(globals::NODE);
    return t.call(std::move(cls), {cur_node.get(), c.int0, src_node.get(), c.int0, Py_None}, c.kw_meta);
}

// time.time()
Ref read_clock(Run& t) {
    Ref time = t.global(globals::time);
    return t.call_method(time, c.time);
}

}  // namespace

namespace meta_tests {

void test_to_dict_uses_stored_ts_not_fresh_time(Run& t) {
    Ref meta, stored_ts, d;
    Locals locals(meta, stored_ts, d);
    meta = new_meta(t.at(63));
    t.at(64);
    stored_ts = t.attr(meta, c.ts);
    t.at(65);
    d = t.call_method(meta, c.to_dict);
    t.check(66, [&] { return t.compare(t.item(d, c.ts), stored_ts.share(), Py_EQ); });
}

void test_to_dict_has_required_keys(Run& t) {
    Ref meta, d, key;
    Locals locals(meta, d, key);
    meta = new_meta(t.at(69));
    t.at(70);
    d = t.call_method(meta, c.to_dict);
    const Py_ssize_t n = PyTuple_GET_SIZE(c.required_keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        t.at(71);
        key = Ref::borrow(PyTuple_GET_ITEM(c.required_keys, i));
        t.check(72, [&] { return t.contains(d, key.get()); });
    }
}

void test_ts_is_set_at_construction_time(Run& t) {
    Ref t_before, meta, t_after;
    Locals locals(t_before, meta, t_after);
    t_before = read_clock(t.at(75));
    meta = new_meta(t.at(76));
    t_after = read_clock(t.at(77));
    // t_before <= meta.ts <= t_after, reading ts once and releasing it with
    // the second comparison, before that result is tested. A false first
    // comparison decides the condition; its truth is asked once, as Python's
    // chained comparison does, so a result that answers differently the
    // second time cannot turn a failure into a pass.
    t.check(78, [&] {
        Ref ts = t.attr(meta, c.ts);
        return t.compare(t_before.share(), ts.share(), Py_LE) && t.compare(std::move(ts), t_after.share(), Py_LE);
    });
}

}  // namespace meta_tests
