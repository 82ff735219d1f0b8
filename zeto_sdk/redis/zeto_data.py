"""Data records that pipeline nodes exchange.

A node that produces output (a detection result, optionally with the frame it
was computed on) wraps it in a payload: a plain ``dict`` with the items
"meta", "frame" and "result".  "meta" describes where the data came from
(``MetaSource``), which node produced it (``MetaModule``), when (a wall-clock
timestamp) and how the frame is encoded (``MetaFrameFormat``).

``ZetoData`` builds payloads for one node and parses payloads received as
UTF-8 JSON.  A node description is a ``dict`` with the entries "id", "type"
and "name"; the records read it and never change it.
"""

import json
import time

#: Payload layout versions that ``ZetoData.parse_zeto_data`` understands.
SUPPORTED_VERSIONS = (1,)


def _node_entry(node, key):
    """Entry ``key`` of an optional node description (``None`` when absent)."""
    return None if node is None else node.get(key)


def _section(data, key):
    """The JSON object under ``key`` of ``data``: ``{}`` when absent or null."""
    value = data.get(key)
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise ValueError(f"{key!r} must be a JSON object, not {type(value).__name__}")
    return value


class MetaSource:
    """Where a piece of data came from: a node and one of its output ports.

    ``source_key`` ("<id>_<port>") names the stream of one output port and is
    derived from ``id`` and ``output_port_idx``, so it follows ``update``.
    """

    FIELDS = ("id", "type", "name", "output_port_idx", "frame_id")

    def __init__(self, src_node=None, src_output_port=None):
        self.id = _node_entry(src_node, "id")
        self.type = _node_entry(src_node, "type")
        self.name = _node_entry(src_node, "name")
        self.output_port_idx = src_output_port
        self.frame_id = None

    @property
    def source_key(self):
        if self.id is None or self.output_port_idx is None:
            return None
        return f"{self.id}_{self.output_port_idx}"

    def update(self, values):
        """Set the fields named in ``values``, passing over ``None`` values.

        Unknown names are rejected before any field changes.
        """
        unknown = [key for key in values if key not in self.FIELDS]
        if unknown:
            raise AttributeError(f"MetaSource has no field(s) {', '.join(map(repr, unknown))}")
        for key, value in values.items():
            if value is not None:
                setattr(self, key, value)

    def to_dict(self):
        data = {key: getattr(self, key) for key in self.FIELDS}
        data["source_key"] = self.source_key
        return data

    @classmethod
    def from_dict(cls, data):
        """Rebuild from ``to_dict`` output; unknown and derived keys are ignored."""
        source = cls()
        source.update({key: value for key, value in data.items() if key in cls.FIELDS})
        return source


class MetaModule:
    """The pipeline node that handles the data, and the input port it reads."""

    FIELDS = ("id", "type", "name", "feed_port_idx")

    def __init__(self, cur_node=None, feed_port_idx=None):
        self.id = _node_entry(cur_node, "id")
        self.type = _node_entry(cur_node, "type")
        self.name = _node_entry(cur_node, "name")
        self.feed_port_idx = feed_port_idx

    def to_dict(self):
        return {key: getattr(self, key) for key in self.FIELDS}

    @classmethod
    def from_dict(cls, data):
        """Rebuild from ``to_dict`` output; unknown keys are ignored."""
        module = cls()
        for key in cls.FIELDS:
            setattr(module, key, data.get(key))
        return module


class MetaFrameFormat:
    """How the payload's frame is encoded: the encoder name (``None`` for a
    raw frame) and whether the encoded bytes are base64 text."""

    FIELDS = ("encoder", "with_base64")

    def __init__(self, encoder=None, with_base64=False):
        self.encoder = encoder
        self.with_base64 = with_base64

    def __eq__(self, other):
        if not isinstance(other, MetaFrameFormat):
            return NotImplemented
        return self.to_dict() == other.to_dict()

    def __repr__(self):
        return f"MetaFrameFormat(encoder={self.encoder!r}, with_base64={self.with_base64!r})"

    def to_dict(self):
        return {"encoder": self.encoder, "with_base64": self.with_base64}

    @classmethod
    def from_dict(cls, data):
        """Rebuild from ``to_dict`` output; unknown keys are ignored."""
        return cls(**{key: data[key] for key in cls.FIELDS if key in data})


class Meta:
    """Metadata of one payload: source, producing module, frame format and
    the wall-clock time (``time.time()``) at which the record was made.

    ``src_name``, when given, replaces the source node's display name.
    """

    def __init__(self, cur_node=None, feed_idx=None, src_node=None, src_port=None, src_name=None):
        self.ts = time.time()
        self.source = MetaSource(src_node=src_node, src_output_port=src_port)
        if src_name is not None:
            self.source.name = src_name
        self.module = MetaModule(cur_node=cur_node, feed_port_idx=feed_idx)
        self.frame_format = MetaFrameFormat()

    def to_dict(self):
        return {
            "ts": self.ts,
            "source": self.source.to_dict(),
            "module": self.module.to_dict(),
            "frame_format": self.frame_format.to_dict(),
        }

    @classmethod
    def from_dict(cls, data):
        """Rebuild from ``to_dict`` output.  Every section is optional; a
        missing "ts" stays ``None`` rather than taking the current time."""
        ts = data.get("ts")
        if ts is not None and (isinstance(ts, bool) or not isinstance(ts, (int, float))):
            raise ValueError(f"'ts' must be a number, not {type(ts).__name__}")
        meta = cls()
        meta.ts = ts
        meta.source = MetaSource.from_dict(_section(data, "source"))
        meta.module = MetaModule.from_dict(_section(data, "module"))
        meta.frame_format = MetaFrameFormat.from_dict(_section(data, "frame_format"))
        return meta


class ZetoData:
    """Builds and parses the payloads of one node.

    ``cur_node`` and ``feed_idx`` describe the producing node and the input
    port it read; ``src_node`` and ``src_port`` the node and output port the
    input came from.
    """

    def __init__(self, feed_idx=None, cur_node=None, src_node=None, src_port=None):
        self.feed_idx = feed_idx
        self.cur_node = cur_node
        self.src_node = src_node
        self.src_port = src_port

    def create_zeto_data(self, frame=None, result=None):
        """A new payload stamped with the current time; ``result`` defaults
        to a new empty list."""
        meta = Meta(cur_node=self.cur_node, feed_idx=self.feed_idx, src_node=self.src_node, src_port=self.src_port)
        return {"meta": meta.to_dict(), "frame": frame, "result": [] if result is None else result}

    @staticmethod
    def parse_zeto_data(raw, version=1):
        """Parse a payload from UTF-8 JSON (``bytes`` or ``str``).

        Returns a dict with "meta" (normalised as ``Meta.to_dict`` gives it),
        "frame" and "result" (a list, empty when absent).  Raises ``TypeError``
        for other input types and ``ValueError`` for an unsupported
        ``version`` or text that is not a valid payload.
        """
        if isinstance(raw, (bytes, bytearray)):
            try:
                text = bytes(raw).decode("utf-8")
            except UnicodeDecodeError as err:
                raise ValueError(f"payload is not UTF-8 text: {err}") from err
        elif isinstance(raw, str):
            text = raw
        else:
            raise TypeError(f"payload must be bytes or str, not {type(raw).__name__}")
        if version not in SUPPORTED_VERSIONS:
            raise ValueError(f"unsupported payload version {version!r} (supported: {SUPPORTED_VERSIONS})")
        try:
            data = json.loads(text)
        except json.JSONDecodeError as err:
            raise ValueError(f"payload is not valid JSON: {err}") from err
        if not isinstance(data, dict):
            raise ValueError(f"payload must be a JSON object, not {type(data).__name__}")
        result = data.get("result")
        if result is None:
            result = []
        elif not isinstance(result, list):
            raise ValueError(f"'result' must be a JSON array, not {type(result).__name__}")
        meta = Meta.from_dict(_section(data, "meta"))
        return {"meta": meta.to_dict(), "frame": data.get("frame"), "result": result}
