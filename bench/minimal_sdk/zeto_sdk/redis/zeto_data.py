"""The least that the unit tests of ``zeto_sdk.redis.zeto_data`` need.

Every record is a plain ``__slots__`` class doing as little work as the tests
allow, so that a benchmark of the test module measures the test module and
not the SDK.  Not a usable SDK: ``to_dict`` reports only the entries the tests
read, and ``parse_zeto_data`` trusts its input.
"""

from json import loads
from time import time


class MetaSource:
    __slots__ = ("id", "type", "name", "output_port_idx", "frame_id", "source_key")

    def __init__(self, src_node=None, src_output_port=None):
        if src_node is None:
            self.id = self.type = self.name = self.source_key = None
        else:
            self.id = src_node["id"]
            self.type = src_node["type"]
            self.name = src_node["name"]
            self.source_key = f"{self.id}_{src_output_port}"
        self.output_port_idx = src_output_port
        self.frame_id = None

    def update(self, values):
        for key, value in values.items():
            if value is not None:
                setattr(self, key, value)

    def to_dict(self):
        return {"id": self.id, "source_key": self.source_key}


class MetaModule:
    __slots__ = ("id", "type", "feed_port_idx")

    def __init__(self, cur_node=None, feed_port_idx=None):
        if cur_node is None:
            self.id = self.type = None
        else:
            self.id = cur_node["id"]
            self.type = cur_node["type"]
        self.feed_port_idx = feed_port_idx

    def to_dict(self):
        return {"id": self.id}


class MetaFrameFormat:
    __slots__ = ()


class Meta:
    __slots__ = ("ts",)

    def __init__(self, cur_node=None, feed_idx=None, src_node=None, src_port=None, src_name=None):
        self.ts = time()

    def to_dict(self):
        return {"ts": self.ts, "source": None, "module": None, "frame_format": None}


class ZetoData:
    __slots__ = ()

    def __init__(self, feed_idx=None, cur_node=None, src_node=None, src_port=None):
        pass

    def create_zeto_data(self, frame=None, result=None):
        return {"meta": None, "frame": frame, "result": [] if result is None else result}

    @staticmethod
    def parse_zeto_data(raw, version=1):
        data = loads(raw)
        return {"meta": data.get("meta"), "frame": data.get("frame"), "result": data.get("result")}
