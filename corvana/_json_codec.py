"""The "json" serializer of quillmap: what it stores are the UTF-8 bytes of json.dumps (ASCII, since
json.dumps escapes every other character), and json.loads reads them back. Every process that
shares a map under "json" stores the same bytes for the same object, so keys compare as they should.
"""
from json import dumps as _json_dumps
from json import loads


def dumps(obj):
    return _json_dumps(obj).encode("utf-8")


__all__ = ["dumps", "loads"]
