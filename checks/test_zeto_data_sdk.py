"""Behaviour of the bundled zeto_sdk.redis.zeto_data beyond what the compiled
test module checks: payload round trips, parse errors, derived fields."""

import copy
import json

import pytest

from zeto_sdk.redis.zeto_data import Meta, MetaSource, ZetoData

NODE = {"id": "cam-7", "type": "camera", "name": "Gate camera"}
DETECTOR = {"id": "od-1", "type": "object-detection", "name": "OD"}


@pytest.mark.parametrize("encode", [lambda text: text, str.encode], ids=["str", "bytes"])
def test_created_payload_survives_a_json_round_trip(encode):
    data = ZetoData(feed_idx=1, cur_node=DETECTOR, src_node=NODE, src_port=2)
    payload = data.create_zeto_data(frame="abc", result=[{"label": "car"}])
    assert payload["meta"]["source"]["source_key"] == "cam-7_2"
    assert data.parse_zeto_data(encode(json.dumps(payload)), version=1) == payload


def test_records_never_change_the_node_they_are_given():
    before = copy.deepcopy(NODE)
    source = MetaSource(src_node=NODE, src_output_port=0)
    source.update({"id": "other", "name": "renamed"})
    Meta(cur_node=NODE, feed_idx=0, src_node=NODE, src_port=0, src_name="alias").to_dict()
    ZetoData(feed_idx=0, cur_node=NODE, src_node=NODE, src_port=0).create_zeto_data()
    assert NODE == before


@pytest.mark.parametrize(
    "node, port, update, key",
    [(NODE, 3, {}, "cam-7_3"), (NODE, 3, {"id": "cam-8"}, "cam-8_3"),
     (NODE, None, {}, None), (None, 3, {}, None)],
)
def test_source_key_follows_id_and_port(node, port, update, key):
    source = MetaSource(src_node=node, src_output_port=port)
    source.update(update)
    assert source.source_key == key


def test_update_rejects_unknown_fields_without_changing_any():
    source = MetaSource(src_node=NODE, src_output_port=0)
    with pytest.raises(AttributeError, match="'to_dict'"):
        source.update({"frame_id": 5, "to_dict": None})
    assert source.frame_id is None


@pytest.mark.parametrize(
    "raw, version, error, message",
    [
        (b"\xff{}", 1, ValueError, "UTF-8"),
        ("{not json", 1, ValueError, "valid JSON"),
        ("[1, 2]", 1, ValueError, "JSON object"),
        ('{"result": 5}', 1, ValueError, "'result'"),
        ('{"meta": []}', 1, ValueError, "'meta'"),
        ('{"meta": {"ts": "noon"}}', 1, ValueError, "'ts'"),
        ("{}", 2, ValueError, "version 2"),
        (42, 1, TypeError, "bytes or str"),
    ],
)
def test_parse_rejects_bad_input_clearly(raw, version, error, message):
    with pytest.raises(error, match=message):
        ZetoData.parse_zeto_data(raw, version=version)
