"""vardimont: a distributed actor runtime; its networking core is vardimont._core."""

from vardimont._core import Node, __version__, decode_payload, encode_payload

__all__ = ["__version__", "Node", "encode_payload", "decode_payload"]
