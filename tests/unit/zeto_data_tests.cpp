// class TestZetoData: payloads made by create_zeto_data and parsed
// back from JSON bytes by parse_zeto_data.
#include "suite.h"

namespace {

// ZetoData(feed_idx=0, cur_node=NODE, src_node=NODE, src_port=0)
Ref new_zeto_data(Run& t) {
    Ref cls = t.global(globals::ZetoData);
    Ref cur_node = t.global(globals::NODE);
    Ref src_node = t.global(globals::NODE);
    return t.call(std::move(cls), {c.int0, cur_node.get(), src_node.get(), c.int0}, c.kw_zeto_data);
}

// [{"label": "car"}]
Ref car_list(Run& t) {
    Ref car = t.dict({c.label, c.car});
    return t.list({car.get()});
}

// {"meta": {"source": {"id": "node-1"}, "frame_format": {"encoder": None,
// "with_base64": False}}, "frame": None, "result": [1, 2, 3]}, built at the
// line of its opening brace, the list [1, 2, 3] at the line it is written on.
Ref payload_dict(Run& t) {
    t.at(98);
    Ref outer = t.dict({});
    {
        Ref meta = t.dict({});
        {
            Ref source = t.dict({c.id, c.node_1});
            t.store(meta, c.source, source.get());
        }
        {
            Ref frame_format = t.dict({c.encoder, Py_None, c.with_base64, Py_False});
            t.store(meta, c.frame_format, frame_format.get());
        }
        t.store(outer, c.meta, meta.get());
    }
    t.store(outer, c.frame, Py_None);
    Ref numbers = t.at(100).list({c.int1, c.int2, c.int3});
    t.at(98).store(outer, c.result, numbers.get());
    return outer;
}

}  // namespace

namespace zeto_data_tests {

void test_create_without_frame_returns_none_frame(Run& t) {
    Ref vd, payload;
    Locals locals(vd, payload);
    vd = new_zeto_data(t.at(83));
    t.at(84);
    {
        Callable create = t.method(vd, c.create_zeto_data);
        Ref result = car_list(t);
        payload = t.call(std::move(create), {result.get()}, c.kw_result);
    }
    t.check(85, [&] { return t.is_none(t.item(payload, c.frame)); });
    t.check(86, [&] {
        Ref value = t.item(payload, c.result);
        Ref expected = car_list(t);
        return t.compare(std::move(value), std::move(expected), Py_EQ);
    });
    t.check(87, [&] { return t.contains(payload, c.meta); });
}

void test_create_empty_result_defaults_to_list(Run& t) {
    Ref vd, payload;
    Locals locals(vd, payload);
    vd = new_zeto_data(t.at(90));
    t.at(91);
    payload = t.call_method(vd, c.create_zeto_data);
    t.check(92, [&] {
        Ref value = t.item(payload, c.result);
        Ref expected = t.list({});
        return t.compare(std::move(value), std::move(expected), Py_EQ);
    });
}

void test_parse_bytes_payload(Run& t) {
    Ref json, vd, raw, result;
    Locals locals(json, vd, raw, result);
    t.at(95);
    json = t.import(c.json);
    vd = new_zeto_data(t.at(96));
    {
        // raw = json.dumps(<payload>).encode()
        Callable dumps = t.at(97).method(json, c.dumps);
        Ref payload = payload_dict(t);
        Ref text = t.at(97).call(std::move(dumps), {payload.get()});
        payload.reset();
        Callable encode = t.at(101).method(text, c.encode);
        text.reset();
        raw = t.call(std::move(encode));
    }
    t.at(102);
    {
        Callable parse = t.method(vd, c.parse_zeto_data);
        result = t.call(std::move(parse), {raw.get(), c.int1}, c.kw_version);
    }
    t.check(103, [&] { return t.is_none(t.item(result, c.frame)); });
    t.check(104, [&] {
        Ref value = t.item(result, c.result);
        Ref expected = t.list({c.int1, c.int2, c.int3});
        return t.compare(std::move(value), std::move(expected), Py_EQ);
    });
}

}  // namespace zeto_data_tests
